#include "ui/MainWindow.h"

#include "config/Settings.h"
#include "store/Folders.h"
#include "store/ListDatabase.h"
#include "mail/ActivityLog.h"
#include "ui/AddressBookImportUi.h"
#include "ui/DesktopNotifierQt.h"
#include "ui/DesktopOpen.h"
#include "ui/DesktopPresence.h"
#include "ui/DesktopTokenStore.h"
#include "ui/OAuthSignIn.h"
#include "ui/CertificatePrompt.h"
#include "ui/SenderRuleEditor.h"
#include "ui/SavedMailViewer.h"
#include "ui/PasswordPrompt.h"
#include "ui/ChangePasswordDialog.h"
#include "ui/MessageBox.h"
#include "ui/NoticeReport.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGridLayout>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace lw::ui {

namespace {

const QString kOptionKey = config::KeyOf(config::Setting::ForwardTarget);

// The checked fields, in the order they are found when a button asks which one has the focus.
const char* const kCheckedFields[] = {"txtIntv", "txtKeep", "txtPortpop", "txtPortsmtp", "txtTimeoutsmtp",
                                      "txtList", "txtLog", "txtStock"};

bool IsCheckedField(const QObject* object)
{
    for (const char* name : kCheckedFields)
        if (object->objectName() == QLatin1String(name)) return true;
    return false;
}

// The interval text in whole-number form: the field's number rounded, or the text unchanged
// (the service turns anything it cannot read into 60000).
QString WholeNumberText(const QString& text)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || std::fabs(value) > 1e9) return text;
    return QString::number(static_cast<long long>(std::nearbyint(value)));
}

} // namespace

MainWindowActions DefaultMainWindowActions()
{
    MainWindowActions actions;
    actions.openEditor = [](QWidget* parent, const config::WorkingCopy& settings) {
        SenderRuleEditor editor(store::BareFolder(settings.ProgramFolder()),
                                settings.Text(config::KeyOf(config::Setting::ListDatabaseName)).trimmed(),
                                parent);
        editor.exec();
    };
    actions.openViewer = [](QWidget* parent, const config::WorkingCopy& settings) {
        OpenSavedMailViewer(settings, parent);
    };
    actions.importAddressBook = [](QWidget* parent, const QString& file, const QString& folder,
                                   const QString& listName) {
        (void)ImportAddressBookFile(parent, file, folder, listName);
    };
    actions.chooseFile = [](QWidget* parent, const QString& title, const QString& folder, const QString& filter) {
        return QFileDialog::getOpenFileName(parent, title, folder, filter);
    };
    actions.openFile = [](QWidget* parent, const QString& path) { OpenWithDesktop(path, OpenedFile::Log, parent); };
    actions.askPassword = [](QWidget* parent) { return PasswordPrompt::Ask(parent); };
    actions.changePassword = [](QWidget* parent) {
        ChangePasswordDialog dialog(parent);
        dialog.exec();
    };
    actions.notifier = std::make_shared<DesktopNotifierQt>();
    actions.hasTray = QSystemTrayIcon::isSystemTrayAvailable();
    actions.tokenStore = [](const QString& folder) { return std::make_shared<DesktopTokenStore>(folder); };
    actions.openBrowser = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    return actions;
}

MainWindow::MainWindow(const QString& programFolder, const QString& printTo, MainWindowActions actions, QWidget* parent)
    : QMainWindow(parent), m_programFolder(store::BareFolder(programFolder)), m_actions(std::move(actions)),
      m_copy(store::RecordFolder(m_programFolder))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("LarchWatcherのプロパティ"));

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    m_settingsTabs = new QTabWidget(central);
    m_settingsTabs->setObjectName(QStringLiteral("SSTab1"));
    m_settingsTabs->addTab(BuildAccountTab(), QStringLiteral("アカウント"));
    m_settingsTabs->addTab(BuildWatchTab(), QStringLiteral("監視設定"));
    m_settingsTabs->addTab(BuildForwardTab(), QStringLiteral("メール印刷・転送"));
    m_settingsTabs->addTab(BuildCommandTab(), QStringLiteral("コマンド"));
    layout->addWidget(m_settingsTabs, 1);

    m_folderInfoLabel = AddLabel(QString(), "lblInfo");
    m_folderInfoLabel->setWordWrap(true);
    m_folderInfoLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_folderInfoLabel);

    auto* buttons = new QHBoxLayout;
    m_versionLabel = AddLabel(QString(), "lblVersion");
    buttons->addWidget(m_versionLabel);
    buttons->addStretch();
    auto makeButton = [&](const QString& caption, const char* name) {
        auto* button = new QPushButton(caption, central);
        button->setObjectName(QString::fromLatin1(name));
        button->setFocusPolicy(Qt::TabFocus);
        buttons->addWidget(button);
        return button;
    };
    QPushButton* changePasswordButton = makeButton(QStringLiteral("パスワード変更"), "cmdXpw");
    m_serviceToggleButton = makeButton(engine::Service::Caption(false), "Command1");
    QPushButton* saveSettingsButton = makeButton(QStringLiteral("設定の保存"), "cmdSet");
    QPushButton* quitButton = makeButton(QStringLiteral("終了"), "Command2");
    layout->addLayout(buttons);
    setCentralWidget(central);

    m_stateLabel = new QLabel(this);
    m_tickLabel = new QLabel(this);
    m_failureLabel = new QLabel(this);
    m_failureLabel->setObjectName(QStringLiteral("lblFetchFailure"));
    m_failureLabel->setStyleSheet(QStringLiteral("color: #c62828;"));
    m_failureLabel->hide();
    statusBar()->addWidget(m_stateLabel);
    statusBar()->addWidget(m_failureLabel, 1);
    statusBar()->addPermanentWidget(m_tickLabel);

    connect(changePasswordButton, &QPushButton::clicked, this, &MainWindow::OnChangePassword);
    connect(m_serviceToggleButton, &QPushButton::clicked, this, &MainWindow::OnToggle);
    connect(saveSettingsButton, &QPushButton::clicked, this, &MainWindow::OnSave);
    connect(quitButton, &QPushButton::clicked, this, [this] {
        if (FocusedFieldPasses()) QuitProgram();
    });

    KeepCopyInStep();

    // Called on the poll thread: reads the copy, never a field.
    m_printers = std::make_unique<NoticePrinterFactoryQt>(printTo, [this] {
        return store::JoinPath(
            store::JoinPath(m_programFolder,
                            m_copy.Text(config::KeyOf(config::Setting::SaveFolderName)).trimmed()),
            QStringLiteral("print"));
    });
    std::shared_ptr<config::SecretStore> tokenStore = m_actions.tokenStore
                                                          ? m_actions.tokenStore(m_programFolder)
                                                          : std::make_shared<DesktopTokenStore>(m_programFolder);
    m_tokens = std::make_unique<engine::OAuthTokens>(m_programFolder, std::move(tokenStore));
    m_signIn = new OAuthSignIn(*m_tokens, m_actions.openBrowser, this);
    connect(m_signIn, &OAuthSignIn::finished, this, [this](const QString& error) {
        if (error.isEmpty()) m_signInNote.clear();
        ApplyProviderRule();
        ShowSignInState();
        UpdateStatus();
        if (!error.isEmpty()) MessageBox::Information(this, error);
    });
    m_service =
        std::make_unique<engine::Service>(m_copy, m_printers.get(), engine::Service::Threading::Worker);
    m_service->SetTokens(m_tokens.get());
    connect(m_service.get(), &engine::Service::stateChanged, this, [this](bool running) {
        m_serviceToggleButton->setText(engine::Service::Caption(running));
        UpdateStatus();
    });
    connect(m_service.get(), &engine::Service::tickStarted, this, &MainWindow::UpdateStatus);
    connect(m_service.get(), &engine::Service::tickFinished, this, [this](const engine::TickSummary& summary) {
        m_tickLabel->setText(QStringLiteral("最終監視 %1　処理 %2 件")
                                 .arg(summary.finishedAt.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")))
                                 .arg(summary.cycle.handled));
        m_tlsRefusal = summary.cycle.tlsRefusal;
        m_signInNote = summary.cycle.signInNeeded;
        ShowSignInState();
        UpdateStatus();
        // Asked after this signal, so the tick's other listeners are not held by the question.
        for (const engine::RefusedCertificate& refused : summary.cycle.refusedCertificates) {
            const QString key = engine::ServerName(refused.server.host, refused.server.port) + u' ' +
                                QString::fromStdString(refused.certificate.fingerprint);
            if (m_askedFingerprints.contains(key)) continue;
            m_askedFingerprints << key;
            QMetaObject::invokeMethod(
                this,
                [this, refused] {
                    if (!OfferToTrust(this, m_programFolder, refused)) return;
                    m_tlsRefusal = QStringLiteral("証明書を信頼しました。次回の監視から接続します。");
                    UpdateStatus();
                },
                Qt::QueuedConnection);
        }
    });

    DesktopPresence::MenuActions menu;
    menu.showWindow = [this] { ShowFromTray(); };
    menu.toggleService = [this] {
        m_service->Toggle(WholeNumberText(Text(config::KeyOf(config::Setting::IntervalMs))));
    };
    menu.openLog = [this] { OpenCurrentLog(); };
    menu.quit = [this] { QuitProgram(); };
    m_presence = std::make_unique<DesktopPresence>(*m_service, m_programFolder, m_actions.notifier,
                                                   m_actions.hasTray, std::move(menu));
    if (auto* notifier = dynamic_cast<DesktopNotifierQt*>(m_actions.notifier.get()))
        notifier->SetTrayIcon(m_presence->TrayIcon());
    connect(m_presence.get(), &DesktopPresence::failureChanged, this, [this](const QString& text) {
        m_failureLabel->setText(text);
        m_failureLabel->setToolTip(text);
        m_failureLabel->setVisible(!text.isEmpty());
    });
    if (auto* grid = qobject_cast<QGridLayout*>(m_settingsTabs->widget(1)->layout())) {
        grid->addWidget(m_presence->BuildSettingsBox(m_settingsTabs->widget(1)), 2, 0, 1, 2);
        grid->setRowStretch(2, 0);
        grid->setRowStretch(3, 1);
    }
    UpdateStatus();
}

MainWindow::~MainWindow()
{
    // A running cycle still uses the working copy and the printers: let it end first, without
    // telling this half-destroyed window about it.
    m_service->disconnect(this);
    // An exchange in flight uses the tokens; it ends before they go.
    delete m_signIn;
    m_signIn = nullptr;
    m_presence.reset();
    m_service.reset();
    m_copy.SetChangeObserver(nullptr);
}

void MainWindow::Load()
{
    if (m_loaded) return;
    m_loaded = true;
    const QString version = QCoreApplication::applicationVersion();
    m_versionLabel->setText(QStringLiteral("v.") + (version.isEmpty() ? QStringLiteral("0.0.0") : version));

    m_service->Stop();
    config::LoadSettingsIntoWindow(*this, m_programFolder);
    m_service->Start(WholeNumberText(Text(config::KeyOf(config::Setting::IntervalMs))));

    LoadConnectionSettings();
    ShowSignInState();

    m_serverDetailGroup->hide();
    ApplyAuthRule();
    ApplyCommandRule();

    MessageBoxQuestion question(this);
    if (store::EnsureListDatabase(m_programFolder, Text(config::KeyOf(config::Setting::ListDatabaseName)),
                                  question)) {
        m_folderInfoLabel->setText(QStringLiteral("作業フォルダは ") + QDir::toNativeSeparators(m_programFolder) +
                        QStringLiteral(" です。\n監視アドレスリスト、保存メール、ログファイルは作業フォルダ下で管理されています。"));
    } else {
        m_folderInfoLabel->clear();
        MessageBox::Information(this, QStringLiteral("ﾃﾞｰﾀﾍﾞｰｽが作成できませんでした。\n既定の場所に作成してください。"));
    }
}

QWidget* MainWindow::Field(const QString& key) const
{
    for (const config::SettingKey& setting : config::SettingKeys())
        if (key == QLatin1String(setting.key)) return findChild<QWidget*>(QString::fromLatin1(setting.field));
    return nullptr;
}

// The fields tell the copy every change at once, on this thread, so the copy always holds what
// they show; the copy tells the window of changes made elsewhere through a queued signal.
void MainWindow::KeepCopyInStep()
{
    for (const config::SettingKey& setting : config::SettingKeys()) {
        const QString key = QString::fromLatin1(setting.key);
        QWidget* field = Field(key);
        if (auto* line = qobject_cast<QLineEdit*>(field))
            connect(line, &QLineEdit::textChanged, &m_fieldWatch, [this, key] { CopyField(key); });
        else if (auto* box = qobject_cast<QCheckBox*>(field))
            connect(box, &QCheckBox::stateChanged, &m_fieldWatch, [this, key] { CopyField(key); });
        else if (auto* list = qobject_cast<QComboBox*>(field))
            connect(list, &QComboBox::currentIndexChanged, &m_fieldWatch, [this, key] { CopyField(key); });
        CopyField(key);
    }
    connect(m_forwardTargetGroup, &QButtonGroup::idToggled, &m_fieldWatch, [this] { CopyField(kOptionKey); });
    CopyField(kOptionKey);
    connect(this, &MainWindow::settingChanged, this, &MainWindow::ShowSetting, Qt::QueuedConnection);
    m_copy.SetChangeObserver([this](const QString& key) { emit settingChanged(key); });
}

void MainWindow::CopyField(const QString& key)
{
    if (auto* field = qobject_cast<QLineEdit*>(Field(key)))
        m_copy.SetText(key, field->text());
    else
        m_copy.SetState(key, ShownState(key));
}

// Brings a field to what the copy holds; a field already showing it is left alone, so the
// window's own changes coming back here end at once.
void MainWindow::ShowSetting(const QString& key)
{
    if (auto* field = qobject_cast<QLineEdit*>(Field(key))) {
        const QString text = m_copy.Text(key);
        if (field->text() != text) field->setText(text);
        return;
    }
    const int state = m_copy.State(key);
    if (ShownState(key) != state) ShowState(key, state);
}

int MainWindow::ShownState(const QString& key) const
{
    if (key == kOptionKey) return std::max(0, m_forwardTargetGroup->checkedId());
    QWidget* field = Field(key);
    if (auto* box = qobject_cast<QCheckBox*>(field))
        return box->checkState() == Qt::Checked ? 1 : box->checkState() == Qt::PartiallyChecked ? 2 : 0;
    if (auto* list = qobject_cast<QComboBox*>(field)) return list->currentIndex();
    return 0;
}

void MainWindow::ShowState(const QString& key, int state)
{
    if (key == kOptionKey) {
        if (QAbstractButton* option = m_forwardTargetGroup->button(state)) {
            option->setChecked(true);
        } else if (QAbstractButton* checked = m_forwardTargetGroup->checkedButton()) {
            m_forwardTargetGroup->setExclusive(false);
            checked->setChecked(false);
            m_forwardTargetGroup->setExclusive(true);
        }
        return;
    }
    QWidget* field = Field(key);
    if (auto* box = qobject_cast<QCheckBox*>(field)) {
        // States 0 not ticked, 1 ticked, 2 greyed; Qt counts 1 as greyed and 2 as ticked.
        if (state == 2) box->setTristate(true);
        box->setCheckState(state == 1 ? Qt::Checked : state == 2 ? Qt::PartiallyChecked : Qt::Unchecked);
    } else if (auto* list = qobject_cast<QComboBox*>(field)) {
        list->setCurrentIndex(state >= 0 && state < list->count() ? state : -1);
    }
}

QString MainWindow::Text(const QString& key) const
{
    return m_copy.Text(key);
}

void MainWindow::SetText(const QString& key, const QString& text)
{
    if (QThread::currentThread() != thread()) {
        m_copy.SetText(key, text);
        return;
    }
    if (auto* field = qobject_cast<QLineEdit*>(Field(key))) field->setText(text);
}

int MainWindow::State(const QString& key) const
{
    return m_copy.State(key);
}

void MainWindow::SetState(const QString& key, int state)
{
    if (QThread::currentThread() != thread()) {
        m_copy.SetState(key, state);
        return;
    }
    ShowState(key, state);
}

QString MainWindow::ProgramFolder() const
{
    return store::RecordFolder(m_programFolder);
}

void MainWindow::ApplyAuthRule()
{
    const bool on = findChild<QCheckBox*>(QStringLiteral("chkAuth"))->isChecked();
    for (const char* name : {"cboAuthtyp", "chkAcpwpop", "txtAcsmtp", "txtPwsmtp", "lblAuthtyp", "lblAcsmtp", "lblPwsmtp"})
        findChild<QWidget*>(QString::fromLatin1(name))->setEnabled(on);
}

void MainWindow::ApplyCommandRule()
{
    const bool on = findChild<QCheckBox*>(QStringLiteral("chkCmd"))->isChecked();
    for (const char* name : {"txtAccmd", "txtPwcmd", "lblAccmd", "lblPwcmd"})
        findChild<QWidget*>(QString::fromLatin1(name))->setEnabled(on);
}

// Field checks run when the focus leaves a checked field for another field of this window, and
// before every button action while a checked field holds the focus (buttons take no focus
// from a click, so a failed check keeps it where it is and the action is dropped).
bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusOut && IsCheckedField(watched)) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            RunFieldCheck(static_cast<QLineEdit*>(watched));
    }
    return QMainWindow::eventFilter(watched, event);
}

bool MainWindow::RunFieldCheck(QLineEdit* field)
{
    if (m_checking) return true;
    const std::optional<FieldCheckFailure> failure = CheckField(field->objectName(), field->text());
    if (!failure) return true;
    m_checking = true;
    MessageBox::Information(this, failure->message);
    if (failure->reset) field->setText(failure->resetText);
    field->setFocus(Qt::OtherFocusReason);
    // A check met while the tab control changes pages (the field lost the focus as its page was
    // hidden) runs inside that change; a tab chosen here would leave the new page under the old
    // tab. So the field's tab is chosen once the change is over, page and tab bar together.
    QTimer::singleShot(0, field, [this, field] {
        for (int i = 0; i < m_settingsTabs->count(); ++i)
            if (m_settingsTabs->widget(i)->isAncestorOf(field)) m_settingsTabs->setCurrentIndex(i);
        field->setFocus(Qt::OtherFocusReason);
    });
    m_checking = false;
    return false;
}

bool MainWindow::FocusedFieldPasses()
{
    QWidget* focused = QApplication::focusWidget();
    if (focused == nullptr || !IsCheckedField(focused) || !isAncestorOf(focused)) return true;
    return RunFieldCheck(static_cast<QLineEdit*>(focused));
}

void MainWindow::ResumeService(bool wasRunning)
{
    m_service->Resume(wasRunning, WholeNumberText(Text(config::KeyOf(config::Setting::IntervalMs))));
    m_serviceToggleButton->setText(engine::Service::Caption(m_service->IsRunning()));
    UpdateStatus();
}

// While a cycle runs the action waits for its end with the window closed to input, so
// nothing else starts meanwhile; the window's thread is never blocked.
template <typename Action>
void MainWindow::WithServicePaused(Action action)
{
    const bool accepted = m_service->PauseThen([this, action](bool wasRunning) {
        SetWaiting(false);
        action();
        ResumeService(wasRunning);
    });
    if (accepted && m_service->IsPauseWaiting()) SetWaiting(true);
}

void MainWindow::SetWaiting(bool waiting)
{
    if (centralWidget()->isEnabled() != waiting) return;
    centralWidget()->setEnabled(!waiting);
    if (waiting)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
    UpdateStatus();
}

void MainWindow::UpdateStatus()
{
    QString state;
    if (m_service->IsPauseWaiting())
        state = QStringLiteral("監視処理の終了を待っています...");
    else if (m_service->IsBusy())
        state = QStringLiteral("監視処理中...");
    else
        state = m_service->IsRunning() ? QStringLiteral("サービス動作中") : QStringLiteral("サービス停止中");
    if (!m_tlsRefusal.isEmpty()) state += QStringLiteral("　") + m_tlsRefusal;
    if (!m_signInNote.isEmpty()) state += QStringLiteral("　OAuth2: ") + m_signInState;
    m_stateLabel->setText(state);
    m_stateLabel->setToolTip(m_signInNote);
}

void MainWindow::OnToggle()
{
    if (!FocusedFieldPasses()) return;
    m_service->Toggle(WholeNumberText(Text(config::KeyOf(config::Setting::IntervalMs))));
}

void MainWindow::OnSave()
{
    if (!FocusedFieldPasses()) return;
    WithServicePaused([this] {
        if (const base::Status saved = config::SaveSettings(*this); !saved) {
            MessageBox::Information(this, saved.ErrorText());
        } else if (QString error; !SaveConnectionSettings(error)) {
            MessageBox::Information(this, QStringLiteral("接続の設定を保存できませんでした（") + error + QStringLiteral("）。"));
        }
    });
}

void MainWindow::OnEditor()
{
    if (!FocusedFieldPasses() || !m_actions.askPassword || !m_actions.askPassword(this)) return;
    WithServicePaused([this] {
        if (m_actions.openEditor) m_actions.openEditor(this, *this);
    });
}

void MainWindow::OnViewer()
{
    if (!FocusedFieldPasses() || !m_actions.askPassword || !m_actions.askPassword(this)) return;
    WithServicePaused([this] {
        if (m_actions.openViewer) m_actions.openViewer(this, *this);
    });
}

void MainWindow::OnImport()
{
    if (!FocusedFieldPasses() || !m_actions.askPassword || !m_actions.askPassword(this)) return;
    // A cancelled choice resumes the service as well: monitoring must not end silently.
    WithServicePaused([this] {
        const QString file = m_actions.chooseFile(this, QStringLiteral("アドレス帳のインポート"), m_programFolder,
                                                  QStringLiteral("ｱﾄﾞﾚｽ帳ﾌｧｲﾙ (*.csv)"));
        if (!file.isEmpty() && m_actions.importAddressBook)
            m_actions.importAddressBook(this, file, m_programFolder,
                                        Text(config::KeyOf(config::Setting::ListDatabaseName)).trimmed());
    });
}

void MainWindow::OnLog()
{
    if (!FocusedFieldPasses()) return;
    const QString prefix = Text(config::KeyOf(config::Setting::LogBaseName)).trimmed();
    const QString file = m_actions.chooseFile(this, QStringLiteral("ファイルオープン"), m_programFolder,
                                              QStringLiteral("ﾛｸﾞﾌｧｲﾙ (%1*.txt)").arg(prefix));
    if (!file.isEmpty() && m_actions.openFile) m_actions.openFile(this, file);
}

void MainWindow::OnChangePassword()
{
    if (!FocusedFieldPasses()) return;
    if (m_actions.changePassword) m_actions.changePassword(this);
}

void MainWindow::ShowFromTray()
{
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
}

void MainWindow::QuitProgram()
{
    m_quitting = true;
    close();
    // Hidden in the tray, the window's close is no last window closing.
    if (m_presence->HasTray()) QTimer::singleShot(0, qApp, &QCoreApplication::quit);
}

void MainWindow::OpenCurrentLog()
{
    const QString file = mail::LogFilePath(store::RecordFolder(m_programFolder),
                                           Text(config::KeyOf(config::Setting::LogBaseName)).trimmed(),
                                           QDateTime::currentDateTime());
    if (QFileInfo::exists(file) && m_actions.openFile) {
        m_actions.openFile(this, file);
        return;
    }
    ShowFromTray();
    OnLog();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // With a tray, closing the window leaves the program monitoring there.
    if (!m_quitting && m_presence->KeepRunningOnClose()) {
        hide();
        event->ignore();
        return;
    }
    m_quitting = false;
    // Closing ends the program: nothing is saved and nothing is asked, and an action waiting
    // for the running cycle is dropped. The window goes at once; the program ends when that
    // cycle does.
    m_service->DropWaitingPause();
    m_service->Stop();
    SetWaiting(false);
    event->accept();
}

} // namespace lw::ui
