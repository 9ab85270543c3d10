#include "ui/DesktopPresence.h"

#include "ui/Autostart.h"
#include "ui/MessageBox.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace lw::ui {

namespace {

// A round badge in the state's colour: green running, grey stopped, red when the last poll failed.
QIcon StateIcon(TrayState::Kind kind)
{
    QColor colour(0x2e, 0x7d, 0x32);
    if (kind == TrayState::Kind::Stopped) colour = QColor(0x75, 0x75, 0x75);
    if (kind == TrayState::Kind::Failed) colour = QColor(0xc6, 0x28, 0x28);
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(colour);
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(4, 4, 56, 56);
    painter.setPen(QPen(Qt::white, 6));
    if (kind == TrayState::Kind::Failed) {
        painter.drawLine(32, 16, 32, 38);
        painter.drawPoint(32, 48);
    } else {
        painter.drawPolyline(QPolygon({QPoint(22, 16), QPoint(22, 46), QPoint(44, 46)}));
    }
    return QIcon(pixmap);
}

QString StateName(TrayState::Kind kind)
{
    switch (kind) {
    case TrayState::Kind::Running: return QStringLiteral("監視中");
    case TrayState::Kind::Stopped: return QStringLiteral("停止中");
    case TrayState::Kind::Failed: return QStringLiteral("受信失敗");
    }
    return {};
}

} // namespace

DesktopPresence::DesktopPresence(engine::Service& service, const QString& programFolder,
                                 std::shared_ptr<engine::DesktopNotifier> notifier, bool hasTray,
                                 MenuActions actions, QObject* parent)
    : QObject(parent), m_service(service), m_programFolder(programFolder), m_notifier(std::move(notifier)),
      m_actions(std::move(actions)), m_settings(config::LoadDesktopSettings(programFolder)),
      m_menu(std::make_unique<QMenu>())
{
    auto add = [this](const QString& text, const char* name, const std::function<void()>& action) {
        QAction* item = m_menu->addAction(text);
        item->setObjectName(QString::fromLatin1(name));
        connect(item, &QAction::triggered, this, [action] {
            if (action) action();
        });
        return item;
    };
    add(QStringLiteral("ウィンドウを表示"), "actShowWindow", m_actions.showWindow);
    m_toggleAction = add(engine::Service::Caption(false), "actToggleService", m_actions.toggleService);
    add(QStringLiteral("ログファイルを開く"), "actOpenLog", m_actions.openLog);
    m_menu->addSeparator();
    add(QStringLiteral("終了"), "actQuit", m_actions.quit);

    if (hasTray) {
        m_tray = std::make_unique<QSystemTrayIcon>();
        m_tray->setContextMenu(m_menu.get());
        connect(m_tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger && m_actions.showWindow) m_actions.showWindow();
        });
    }
    connect(&m_service, &engine::Service::stateChanged, this, &DesktopPresence::Refresh);
    connect(&m_service, &engine::Service::tickFinished, this, &DesktopPresence::OnTickFinished);
    Refresh();
    if (m_tray) m_tray->show();
}

DesktopPresence::~DesktopPresence() = default;

TrayState DesktopPresence::State() const
{
    TrayState state;
    if (!m_service.IsRunning())
        state.kind = TrayState::Kind::Stopped;
    else
        state.kind = m_failure.isEmpty() ? TrayState::Kind::Running : TrayState::Kind::Failed;
    QStringList lines{QStringLiteral("LarchWatcher（") + StateName(state.kind) + QStringLiteral("）")};
    lines << QStringLiteral("最終監視: ") +
                 (m_lastPoll.isValid() ? m_lastPoll.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"))
                                       : QStringLiteral("まだありません"));
    lines << QStringLiteral("処理したメール: %1 件").arg(m_handledTotal);
    if (!m_lastError.isEmpty()) lines << QStringLiteral("最後のエラー: ") + m_lastError;
    state.tooltip = lines.join(u'\n');
    return state;
}

void DesktopPresence::OnTickFinished(const engine::TickSummary& summary)
{
    const engine::CycleSummary& cycle = summary.cycle;
    m_lastPoll = summary.finishedAt;
    m_handledTotal += cycle.handled;
    const QString failure =
        cycle.fetchError.isEmpty() ? QString() : QStringLiteral("受信に失敗しました: ") + cycle.fetchError;
    if (!cycle.fetchError.isEmpty()) m_lastError = cycle.fetchError;
    else if (cycle.errors > 0) m_lastError = cycle.firstError;
    if (failure != m_failure) {
        m_failure = failure;
        emit failureChanged(m_failure);
    }
    if (const auto notice = m_rules.AfterTick(cycle, m_settings.mailNotices)) Notify(*notice);
    Refresh();
}

void DesktopPresence::Refresh()
{
    m_toggleAction->setText(m_service.IsRunning() ? QStringLiteral("サービス終了") : QStringLiteral("サービス開始"));
    if (!m_tray) return;
    const TrayState state = State();
    m_tray->setIcon(StateIcon(state.kind));
    m_tray->setToolTip(state.tooltip);
}

void DesktopPresence::Notify(const engine::DesktopNotice& notice)
{
    if (m_notifier) m_notifier->Show(notice);
}

bool DesktopPresence::KeepRunningOnClose()
{
    if (!m_tray) return false;
    if (!m_settings.closeHintShown) {
        Notify({QStringLiteral("LarchWatcher"),
                QStringLiteral("ウィンドウを閉じても、LarchWatcherはトレイで監視を続けます。"
                               "終了するには、トレイのメニューから「終了」を選んでください。"),
                engine::DesktopNotice::Urgency::Normal});
        m_settings.closeHintShown = true;
        SaveDesktopSettings();
    }
    return true;
}

void DesktopPresence::SaveDesktopSettings()
{
    if (const base::Status saved = config::SaveDesktopSettings(m_programFolder, m_settings); !saved)
        qWarning("larchwatcher: the desktop settings were not saved: %s", qPrintable(saved.ErrorText()));
}

bool DesktopPresence::SetAutostart(bool on, const QString& executable, QString& error)
{
    return on ? Autostart::TurnOn(executable, m_programFolder, error) : Autostart::TurnOff(error);
}

QWidget* DesktopPresence::BuildSettingsBox(QWidget* parent)
{
    auto* box = new QGroupBox(QStringLiteral("デスクトップ"), parent);
    box->setObjectName(QStringLiteral("fraDesktop"));
    auto* form = new QFormLayout(box);
    auto* autostart = new QCheckBox(QStringLiteral("ログイン時にトレイに格納して起動する"), box);
    autostart->setObjectName(QStringLiteral("chkAutostart"));
    autostart->setChecked(Autostart::IsOn());
    form->addRow(autostart);
    auto* notices = new QComboBox(box);
    notices->setObjectName(QStringLiteral("cboNotice"));
    notices->addItems({QStringLiteral("通知しない"), QStringLiteral("登録済みの送信者のメール"),
                       QStringLiteral("すべてのメール")});
    notices->setCurrentIndex(static_cast<int>(m_settings.mailNotices));
    form->addRow(new QLabel(QStringLiteral("処理したメールの通知"), box), notices);

    connect(autostart, &QCheckBox::toggled, this, [this, autostart](bool on) {
        QString error;
        if (SetAutostart(on, QCoreApplication::applicationFilePath(), error)) return;
        MessageBox::Information(autostart->window(), error);
        const QSignalBlocker blocker(autostart);
        autostart->setChecked(Autostart::IsOn());
    });
    connect(notices, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_settings.mailNotices = static_cast<config::MailNotices>(index);
        SaveDesktopSettings();
    });
    return box;
}

} // namespace lw::ui
