// The connection settings of the account tab beyond the 26: TLS required always, and the
// OAuth2 sign-in (provider, client, the browser sign-in, sign-out and the account's state).
#include "ui/MainWindow.h"

#include "config/ConnectionSecurity.h"
#include "config/Settings.h"
#include "ui/MessageBox.h"
#include "ui/OAuthSignIn.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <initializer_list>

namespace lw::ui {

namespace {

QLineEdit* Line(const QWidget* window, const char* name)
{
    return window->findChild<QLineEdit*>(QString::fromLatin1(name));
}

} // namespace

void MainWindow::LoadConnectionSettings()
{
    m_requireTls->setChecked(config::ConnectionSecurity::Load(m_programFolder).RequireTlsAlways());
    const config::OAuthSettings s = config::OAuthSettings::Load(m_programFolder);
    m_oauthProvider->setCurrentIndex(std::max(0, m_oauthProvider->findData(config::ProviderKey(s.provider))));
    Line(this, "txtOAuthClientId")->setText(s.clientId);
    Line(this, "txtOAuthSecret")->setText(s.clientSecret);
    Line(this, "txtOAuthTenant")->setText(s.tenant);
    Line(this, "txtOAuthAuthUrl")->setText(s.authorizeUrl);
    Line(this, "txtOAuthTokenUrl")->setText(s.tokenUrl);
    Line(this, "txtOAuthScope")->setText(s.scope);
    ApplyProviderRule();
}

config::OAuthSettings MainWindow::ShownOAuthSettings() const
{
    // The redirect port is kept only in the settings file.
    config::OAuthSettings s = config::OAuthSettings::Load(m_programFolder);
    s.provider = config::ProviderFromKey(m_oauthProvider->currentData().toString());
    s.clientId = Line(this, "txtOAuthClientId")->text().trimmed();
    s.clientSecret = Line(this, "txtOAuthSecret")->text().trimmed();
    s.tenant = Line(this, "txtOAuthTenant")->text().trimmed();
    s.authorizeUrl = Line(this, "txtOAuthAuthUrl")->text().trimmed();
    s.tokenUrl = Line(this, "txtOAuthTokenUrl")->text().trimmed();
    s.scope = Line(this, "txtOAuthScope")->text().simplified();
    return s;
}

bool MainWindow::SaveConnectionSettings(QString& error)
{
    base::Status saved = config::SetRequireTls(m_programFolder, m_requireTls->isChecked());
    if (saved) saved = config::SaveOAuthSettings(m_programFolder, ShownOAuthSettings());
    if (!saved) error = saved.ErrorText();
    return saved.Ok();
}

void MainWindow::ApplyProviderRule()
{
    const config::OAuthProvider provider = config::ProviderFromKey(m_oauthProvider->currentData().toString());
    const bool on = provider != config::OAuthProvider::None;
    // Rows a provider does not use are hidden as well as disabled: the account tab stays short
    // enough for a screen 768 pixels high.
    const auto offer = [this](std::initializer_list<const char*> names, bool used) {
        for (const char* name : names) {
            auto* widget = findChild<QWidget*>(QString::fromLatin1(name));
            widget->setEnabled(used);
            widget->setVisible(used);
        }
    };
    offer({"txtOAuthClientId", "lblOAuthClientId", "txtOAuthSecret", "lblOAuthSecret"}, on);
    for (const char* name : {"cmdOAuthSignIn", "cmdOAuthSignOut"})
        findChild<QWidget*>(QString::fromLatin1(name))->setEnabled(on);
    offer({"txtOAuthTenant", "lblOAuthTenant"}, provider == config::OAuthProvider::Microsoft);
    offer({"txtOAuthAuthUrl", "lblOAuthAuthUrl", "txtOAuthTokenUrl", "lblOAuthTokenUrl", "txtOAuthScope",
           "lblOAuthScope"},
          provider == config::OAuthProvider::Custom);
}

void MainWindow::ShowSignInState()
{
    if (m_signIn->Running()) {
        m_oauthState->setText(QStringLiteral("ブラウザでサインインしてください（応答の受け取り先 ") + m_signIn->RedirectUri() +
                              QStringLiteral("）"));
        return;
    }
    const engine::SignInStatus status = m_tokens->Status();
    m_signInState = status.state == engine::SignInStatus::State::SignedOut ? QStringLiteral("サインインしてください")
                                                                            : QStringLiteral("もう一度サインインしてください");
    QString text = status.text;
    if (status.state == engine::SignInStatus::State::SignInAgain && !m_signInNote.isEmpty())
        m_oauthState->setToolTip(m_signInNote);
    if (status.state != engine::SignInStatus::State::Off)
        text += QStringLiteral("\nトークンの保管先: ") + status.where;
    m_oauthState->setText(text);
}

void MainWindow::OnSignIn()
{
    if (!FocusedFieldPasses()) return;
    const config::OAuthSettings settings = ShownOAuthSettings();
    QString error = config::OAuthSettingsProblem(settings);
    // The refreshes after the sign-in use these settings: they are kept at once.
    if (error.isEmpty()) {
        if (const base::Status saved = config::SaveOAuthSettings(m_programFolder, settings); !saved)
            error = QStringLiteral("OAuth2の設定を保存できませんでした（") + saved.ErrorText() + QStringLiteral("）。");
    }
    // The POP3 account is the provider's account hint (login_hint).
    if (error.isEmpty())
        (void)m_signIn->Start(settings, Text(config::KeyOf(config::Setting::PopAccount)).trimmed(), error);
    if (!error.isEmpty()) {
        MessageBox::Information(this, error);
        return;
    }
    ApplyProviderRule();
    ShowSignInState();
}

void MainWindow::OnSignOut()
{
    if (!FocusedFieldPasses()) return;
    if (const base::Status signedOut = m_tokens->SignOut(); !signedOut)
        MessageBox::Information(this, QStringLiteral("サインアウトできませんでした（") + signedOut.ErrorText() +
                                          QStringLiteral("）。"));
    m_signInNote.clear();
    ShowSignInState();
    UpdateStatus();
}

} // namespace lw::ui
