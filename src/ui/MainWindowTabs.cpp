// The four tabs of the main window: fields, headings and notes.
#include "ui/MainWindow.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace lw::ui {

namespace {

QGroupBox* Heading(QWidget* parent, const QString& title, const char* name = nullptr)
{
    auto* box = new QGroupBox(title, parent);
    if (name != nullptr) box->setObjectName(QString::fromLatin1(name));
    return box;
}

QPushButton* Button(QWidget* parent, const QString& caption, const char* name)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    // A click leaves the focus in the field being edited, so its check runs before the action.
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

QCheckBox* CheckBox(QWidget* parent, const QString& caption, const char* name)
{
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

// Notes keep their own line breaks: a wrapped label inside a tab is given too little height
// and loses its last line at some widths and scales.
QLabel* Note(QWidget* parent, const QString& text)
{
    return new QLabel(text, parent);
}

} // namespace

QLineEdit* MainWindow::AddLineEdit(const char* name, bool masked)
{
    auto* field = new QLineEdit(this);
    field->setObjectName(QString::fromLatin1(name));
    if (masked) {
        field->setEchoMode(QLineEdit::Password);
        field->setAttribute(Qt::WA_InputMethodEnabled, false);
    } else {
        field->setInputMethodHints(Qt::ImhPreferLatin | Qt::ImhNoPredictiveText);
    }
    field->installEventFilter(this);
    return field;
}

QLabel* MainWindow::AddLabel(const QString& text, const char* name)
{
    auto* label = new QLabel(text, this);
    if (name != nullptr) label->setObjectName(QString::fromLatin1(name));
    return label;
}

QWidget* MainWindow::BuildAccountTab()
{
    auto* page = new QWidget(this);
    auto* row = new QHBoxLayout(page);

    auto* server = Heading(page, QStringLiteral("サーバ情報"));
    auto* serverLayout = new QVBoxLayout(server);
    auto* pop = Heading(server, QStringLiteral("受信メール(POP3/APOP)"));
    auto* popForm = new QFormLayout(pop);
    popForm->addRow(AddLineEdit("txtSvpop"));
    popForm->addRow(AddLabel(QStringLiteral("アカウント名")), AddLineEdit("txtAcpop"));
    popForm->addRow(AddLabel(QStringLiteral("パスワード")), AddLineEdit("txtPwpop", true));
    auto* smtp = Heading(server, QStringLiteral("送信メール(SMTP/SMTP-AUTH)"));
    auto* smtpForm = new QFormLayout(smtp);
    smtpForm->addRow(AddLineEdit("txtSvsmtp"));
    auto* detailButton = Button(smtp, QStringLiteral("詳細設定"), "cmdDtl");
    auto* detailRow = new QHBoxLayout;
    detailRow->addStretch();
    detailRow->addWidget(detailButton);
    smtpForm->addRow(detailRow);
    serverLayout->addWidget(pop);
    serverLayout->addWidget(smtp);
    m_requireTls = CheckBox(server, QStringLiteral("常にTLSを必須にする（STARTTLSのないサーバーにはログインしない）"), "chkRequireTls");
    serverLayout->addWidget(m_requireTls);
    serverLayout->addWidget(BuildSignInBox(server));
    serverLayout->addStretch();

    m_serverDetailGroup = Heading(page, QStringLiteral("詳細設定"), "fraDtl");
    auto* detailLayout = new QVBoxLayout(m_serverDetailGroup);
    auto* popDetail = Heading(m_serverDetailGroup, QStringLiteral("メール受信（POP3）"));
    auto* popDetailForm = new QFormLayout(popDetail);
    popDetailForm->addRow(AddLabel(QStringLiteral("ポート番号")), AddLineEdit("txtPortpop"));
    auto* smtpDetail = Heading(m_serverDetailGroup, QStringLiteral("メール送信（SMTP）"));
    auto* smtpDetailForm = new QFormLayout(smtpDetail);
    smtpDetailForm->addRow(AddLabel(QStringLiteral("ポート番号")), AddLineEdit("txtPortsmtp"));
    smtpDetailForm->addRow(AddLabel(QStringLiteral("タイムアウト（sec）")), AddLineEdit("txtTimeoutsmtp"));
    auto* auth = CheckBox(smtpDetail, QStringLiteral("認証が必要(SMTP-AUTH)"), "chkAuth");
    smtpDetailForm->addRow(auth);
    m_authMechanismList = new QComboBox(smtpDetail);
    m_authMechanismList->setObjectName(QStringLiteral("cboAuthtyp"));
    const QString methods[] = {QString(), QStringLiteral("AUTH-LOGIN"), QStringLiteral("AUTH CRAM-MD5"),
                               QStringLiteral("AUTH-PLAIN")};
    for (int i = 0; i < 4; ++i) m_authMechanismList->addItem(methods[i], i);
    smtpDetailForm->addRow(AddLabel(QStringLiteral("認証方式"), "lblAuthtyp"), m_authMechanismList);
    auto* same = CheckBox(smtpDetail, QStringLiteral("受信サーバと同じアカウント名とパスワードを使う"), "chkAcpwpop");
    smtpDetailForm->addRow(same);
    smtpDetailForm->addRow(AddLabel(QStringLiteral("アカウント名"), "lblAcsmtp"), AddLineEdit("txtAcsmtp"));
    smtpDetailForm->addRow(AddLabel(QStringLiteral("パスワード"), "lblPwsmtp"), AddLineEdit("txtPwsmtp", true));
    detailLayout->addWidget(popDetail);
    detailLayout->addWidget(smtpDetail);
    detailLayout->addStretch();

    row->addWidget(server, 1);
    row->addWidget(m_serverDetailGroup, 1);

    connect(detailButton, &QPushButton::clicked, this, [this] {
        if (FocusedFieldPasses()) m_serverDetailGroup->setVisible(!m_serverDetailGroup->isVisible());
    });
    connect(auth, &QCheckBox::stateChanged, this, [this] { ApplyAuthRule(); });
    connect(same, &QCheckBox::clicked, this, [this, same] {
        if (!same->isChecked()) return;
        findChild<QLineEdit*>(QStringLiteral("txtAcsmtp"))->setText(findChild<QLineEdit*>(QStringLiteral("txtAcpop"))->text());
        findChild<QLineEdit*>(QStringLiteral("txtPwsmtp"))->setText(findChild<QLineEdit*>(QStringLiteral("txtPwpop"))->text());
    });
    return page;
}

QWidget* MainWindow::BuildSignInBox(QWidget* parent)
{
    auto* box = Heading(parent, QStringLiteral("OAuth2 サインイン"), "fraOAuth");
    auto* form = new QFormLayout(box);
    m_oauthProvider = new QComboBox(box);
    m_oauthProvider->setObjectName(QStringLiteral("cboOAuthProvider"));
    // Item data: the provider's name in the settings file.
    m_oauthProvider->addItem(QStringLiteral("使用しない"), QString());
    m_oauthProvider->addItem(QStringLiteral("Microsoft 365"), config::ProviderKey(config::OAuthProvider::Microsoft));
    m_oauthProvider->addItem(QStringLiteral("Google"), config::ProviderKey(config::OAuthProvider::Google));
    m_oauthProvider->addItem(QStringLiteral("カスタム"), config::ProviderKey(config::OAuthProvider::Custom));
    form->addRow(AddLabel(QStringLiteral("プロバイダ")), m_oauthProvider);
    form->addRow(AddLabel(QStringLiteral("クライアントID"), "lblOAuthClientId"), AddLineEdit("txtOAuthClientId"));
    form->addRow(AddLabel(QStringLiteral("クライアントシークレット"), "lblOAuthSecret"), AddLineEdit("txtOAuthSecret", true));
    QLineEdit* tenant = AddLineEdit("txtOAuthTenant");
    tenant->setPlaceholderText(QStringLiteral("common"));
    form->addRow(AddLabel(QStringLiteral("テナント"), "lblOAuthTenant"), tenant);
    form->addRow(AddLabel(QStringLiteral("認可URL"), "lblOAuthAuthUrl"), AddLineEdit("txtOAuthAuthUrl"));
    form->addRow(AddLabel(QStringLiteral("トークンURL"), "lblOAuthTokenUrl"), AddLineEdit("txtOAuthTokenUrl"));
    form->addRow(AddLabel(QStringLiteral("スコープ"), "lblOAuthScope"), AddLineEdit("txtOAuthScope"));
    auto* buttons = new QHBoxLayout;
    auto* signIn = Button(box, QStringLiteral("サインイン"), "cmdOAuthSignIn");
    auto* signOut = Button(box, QStringLiteral("サインアウト"), "cmdOAuthSignOut");
    buttons->addWidget(signIn);
    buttons->addWidget(signOut);
    buttons->addStretch();
    form->addRow(buttons);
    m_oauthState = AddLabel(QString(), "lblOAuthState");
    m_oauthState->setWordWrap(true);
    m_oauthState->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(AddLabel(QStringLiteral("状態")), m_oauthState);

    connect(m_oauthProvider, &QComboBox::currentIndexChanged, this, [this] { ApplyProviderRule(); });
    connect(signIn, &QPushButton::clicked, this, &MainWindow::OnSignIn);
    connect(signOut, &QPushButton::clicked, this, &MainWindow::OnSignOut);
    ApplyProviderRule(); // the window takes its first size without the rows no provider uses
    return box;
}

QWidget* MainWindow::BuildWatchTab()
{
    auto* page = new QWidget(this);
    auto* grid = new QGridLayout(page);

    auto* watch = Heading(page, QStringLiteral("監視メール"));
    auto* watchForm = new QFormLayout(watch);
    watchForm->addRow(AddLabel(QStringLiteral("メール監視インターバル(msec)")), AddLineEdit("txtIntv"));
    watchForm->addRow(AddLabel(QStringLiteral("送信者別の詳細設定リスト")), AddLineEdit("txtList"));
    watchForm->addRow(AddLabel(QStringLiteral("ワークエリアの保持期間（day）")), AddLineEdit("txtKeep"));

    auto* log = Heading(page, QStringLiteral("ログファイル"));
    auto* logForm = new QFormLayout(log);
    logForm->addRow(AddLabel(QStringLiteral("ログファイル接頭子")), AddLineEdit("txtLog"));
    auto* logButton = Button(log, QStringLiteral("ログファイルを開く"), "cmdLog");
    logForm->addRow(logButton);

    auto* saved = Heading(page, QStringLiteral("保存メール"));
    auto* savedForm = new QFormLayout(saved);
    savedForm->addRow(AddLabel(QStringLiteral("保存メールの記録先フォルダ")), AddLineEdit("txtStock"));
    auto* readButton = Button(saved, QStringLiteral("保存メールを開く"), "cmdRead");
    savedForm->addRow(readButton);

    auto* book = Heading(page, QStringLiteral("アドレス帳のインポート"));
    auto* bookLayout = new QVBoxLayout(book);
    auto* importButton = Button(book, QStringLiteral("アドレス帳（CSVファイル）のインポート"), "cmdInpAdr");
    bookLayout->addWidget(importButton, 0, Qt::AlignLeft);
    bookLayout->addWidget(Note(book, QStringLiteral("※アドレス帳の情報はメール転送に利用されます。")));
    bookLayout->addWidget(Note(book, QStringLiteral("※CSVファイルは、カンマ区切り。1行目をタイトル行とし、\n"
                                                    "「表示名」、「電子メール アドレス」が必要です。\n"
                                                    "（Microsoft Outlook Expressのアドレス帳エクスポート準拠。）")));

    grid->addWidget(watch, 0, 0);
    grid->addWidget(log, 0, 1);
    grid->addWidget(saved, 1, 0);
    grid->addWidget(book, 1, 1);
    grid->setRowStretch(2, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);

    connect(logButton, &QPushButton::clicked, this, &MainWindow::OnLog);
    connect(readButton, &QPushButton::clicked, this, &MainWindow::OnViewer);
    connect(importButton, &QPushButton::clicked, this, &MainWindow::OnImport);
    return page;
}

QWidget* MainWindow::BuildForwardTab()
{
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);

    auto* perSender = Heading(page, QStringLiteral("送信者別設定"));
    auto* perSenderLayout = new QHBoxLayout(perSender);
    auto* listButton = Button(perSender, QStringLiteral("メール印刷・転送の送信者別詳細設定"), "cmdList");
    perSenderLayout->addWidget(listButton);
    perSenderLayout->addStretch();

    auto* forward = Heading(page, QStringLiteral("メール転送設定"));
    auto* forwardLayout = new QVBoxLayout(forward);
    forwardLayout->addWidget(CheckBox(forward, QStringLiteral("メール転送を許可する（すべてのメール転送に影響します）"), "chkTrs"));
    auto* target = Heading(forward, QStringLiteral("転送の対象となる受信メール"), "Frame1");
    auto* targetLayout = new QHBoxLayout(target);
    m_forwardTargetGroup = new QButtonGroup(this);
    const QString options[] = {QStringLiteral("すべての受信メール"), QStringLiteral("インポートしたアドレス帳のすべて"),
                               QStringLiteral("送信者別詳細設定リスト")};
    for (int i = 0; i < 3; ++i) {
        auto* option = new QRadioButton(options[i], target);
        // The option array optTrsTgt(0..2) becomes optTrsTgt_0 .. optTrsTgt_2.
        option->setObjectName(QStringLiteral("optTrsTgt_%1").arg(i));
        m_forwardTargetGroup->addButton(option, i);
        targetLayout->addWidget(option);
    }
    targetLayout->addStretch();
    forwardLayout->addWidget(target);
    forwardLayout->addWidget(CheckBox(
        forward, QStringLiteral("転送先アドレスを固定する（送信者別詳細設定リストの転送先を利用しない）"), "chkTrsto"));

    auto* macro = Heading(page, QStringLiteral("マクロ転送メールアドレス"));
    auto* macroForm = new QFormLayout(macro);
    const char* names[] = {"txtTrsto", "txtTrscc", "txtTrsbcc"};
    const QString captions[] = {QStringLiteral("転送先アドレス　TO"), QStringLiteral("CC"), QStringLiteral("BCC")};
    for (int i = 0; i < 3; ++i) {
        QLineEdit* field = AddLineEdit(names[i]);
        field->setMaxLength(255);
        macroForm->addRow(AddLabel(captions[i]), field);
    }
    macroForm->addRow(Note(macro, QStringLiteral("※複数指定の場合はコロン(;)、スペースで区切る")));
    macroForm->addRow(Note(macro, QStringLiteral("マクロ転送メールアドレスは、監視アドレスリスト以外の受信メールの転送、\n"
                                                 "または転送先を固定する場合に利用されます。")));

    layout->addWidget(perSender);
    layout->addWidget(forward);
    layout->addWidget(macro);
    layout->addStretch();

    connect(listButton, &QPushButton::clicked, this, &MainWindow::OnEditor);
    return page;
}

QWidget* MainWindow::BuildCommandTab()
{
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    auto* command = Heading(page, QStringLiteral("オンラインコマンド認証"));
    auto* form = new QFormLayout(command);
    auto* allow = CheckBox(command, QStringLiteral("オンラインコマンドを許可する"), "chkCmd");
    form->addRow(allow);
    form->addRow(AddLabel(QStringLiteral("アカウント名"), "lblAccmd"), AddLineEdit("txtAccmd"));
    form->addRow(AddLabel(QStringLiteral("パスワード"), "lblPwcmd"), AddLineEdit("txtPwcmd", true));
    layout->addWidget(command);
    layout->addStretch();
    connect(allow, &QCheckBox::stateChanged, this, [this] { ApplyCommandRule(); });
    return page;
}

} // namespace lw::ui
