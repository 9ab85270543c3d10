// The OAuth2 sign-in of the window against the loopback authorization server; the test plays
// the browser: it follows the authorization URL, and the server redirects to the window's
// loopback listener.
#include "ui/MainWindow.h"

#include "support/TestServers.h"
#include "ui/UiTest.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QStatusBar>
#include <QUrlQuery>

#include <memory>

using namespace lw;
using ui::MessageBox;

namespace {

class SignInTest : public test::ListTest {
protected:
    void SetUp() override
    {
        ListTest::SetUp();
        m_loaded = test::TestServers::Load(&m_reason);
        if (!m_loaded || m_loaded->oauthUrl.isEmpty()) GTEST_SKIP() << m_reason.toStdString();
        m_user = "signin-" + QString::number(QRandomGenerator::global()->generate());
        m_actions.tokenStore = [](const QString& folder) { return std::make_shared<config::TokenFile>(folder); };
        m_actions.openBrowser = [this](const QUrl& url) {
            m_opened = url;
            // The browser: follows the redirect to the loopback listener and shows its page.
            m_browser.start("/usr/bin/python3",
                            {"-c", "import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1], timeout=20).read().decode())",
                             url.toString(QUrl::FullyEncoded)});
            return true;
        };
        test::WriteFile(m_home.File("larchwatcher.ini"), ("[larchwatcher]\nInterval=60000\npopaccount=" + m_user + "\n").toUtf8());
        window = std::make_unique<ui::MainWindow>(m_home.Path(), m_home.File("pdf"), m_actions);
        window->Service().SetTickWork([this](const auto&) { return m_summary; });
        window->show();
        window->Load();
    }
    void TearDown() override
    {
        window.reset();
        m_browser.waitForFinished(5000);
        ListTest::TearDown();
    }
    template <typename T> T* W(const char* name) { return test::Find<T>(*window, name); }
    QString State() { return W<QLabel>("lblOAuthState")->text(); }
    void Type(const char* field, const QString& text) { W<QLineEdit>(field)->setText(text); }

    std::optional<test::TestServers> m_loaded;
    QString m_reason, m_user;
    ui::MainWindowActions m_actions;
    std::unique_ptr<ui::MainWindow> window;
    QProcess m_browser;
    QUrl m_opened;
    engine::CycleSummary m_summary;
};

} // namespace

TEST_F(SignInTest, TheBrowserSignInKeepsTokensARefusalIsShownAndSignOutForgetsThem)
{
    const test::TestServers& servers = *m_loaded;
    EXPECT_EQ(State(), QStringLiteral("OAuth2は使用していません"));
    EXPECT_FALSE(W<QWidget>("cmdOAuthSignIn")->isEnabled());
    W<QComboBox>("cboOAuthProvider")->setCurrentIndex(3); // カスタム
    EXPECT_TRUE(W<QWidget>("cmdOAuthSignIn")->isEnabled() && W<QWidget>("txtOAuthTokenUrl")->isEnabled());
    EXPECT_FALSE(W<QWidget>("txtOAuthTenant")->isEnabled());
    Type("txtOAuthClientId", "lw-test-client");
    Type("txtOAuthAuthUrl", servers.oauthUrl + "/authorize");
    Type("txtOAuthTokenUrl", servers.oauthUrl + "/token");
    Type("txtOAuthScope", "pop smtp");

    test::Click(*window, "cmdOAuthSignIn");
    QTRY_VERIFY_WITH_TIMEOUT(State().startsWith(QStringLiteral("サインイン済み")), 20000);
    const QUrlQuery asked(m_opened);
    EXPECT_EQ(asked.queryItemValue("code_challenge_method"), "S256");
    EXPECT_EQ(asked.queryItemValue("login_hint"), m_user);
    EXPECT_EQ(asked.queryItemValue("redirect_uri", QUrl::FullyDecoded).left(17), "http://127.0.0.1:");
    EXPECT_TRUE(State().contains(m_home.File(config::kTokenFileName))) << State().toStdString();
    const config::TokenRecord record = config::RecordFromJson(QString::fromUtf8(test::ReadFile(m_home.File(config::kTokenFileName))));
    EXPECT_TRUE(record.refreshToken.startsWith("rt-") && record.accessToken.startsWith("at-"));
    EXPECT_EQ(servers.OAuthStats(m_user).value("codes").toInt(), 1);
    const QByteArray ini = test::ReadFile(m_home.File("larchwatcher.ini"));
    EXPECT_TRUE(ini.contains("[oauth2]\nprovider=custom\nclientid=lw-test-client\n")) << ini.toStdString();
    QTRY_VERIFY_WITH_TIMEOUT(m_browser.state() == QProcess::NotRunning, 5000);
    EXPECT_TRUE(m_browser.readAllStandardOutput().contains("サインインの応答を受け取りました"));

    // A tick whose sign-in was refused: the status bar and the account tab say to sign in again.
    const QString refusal = QStringLiteral("OAuth2の更新トークンが拒否されたため、ログインを止めました。");
    config::TokenRecord refused;
    refused.refusal = refusal;
    ASSERT_TRUE(config::TokenFile(m_home.Path()).Write(config::RecordToJson(refused)).Ok());
    m_summary.signInNeeded = refusal;
    window->Service().RunTickNow();
    EXPECT_TRUE(State().startsWith(QStringLiteral("もう一度サインインしてください"))) << State().toStdString();
    EXPECT_TRUE(window->statusBar()->findChildren<QLabel*>().first()->text().contains(
        QStringLiteral("OAuth2: もう一度サインインしてください")));

    // The user refuses consent: the window says why, and the refusal stays until a sign-in works.
    ASSERT_FALSE(servers.OAuthCall("/test/config", {"deny=" + m_user}).isEmpty());
    MessageBox::SetNextAnswer(MessageBox::Ok);
    test::Click(*window, "cmdOAuthSignIn");
    QTRY_VERIFY_WITH_TIMEOUT(!MessageBox::Log().isEmpty(), 20000);
    (void)servers.OAuthCall("/test/config", {"deny="});
    EXPECT_TRUE(MessageBox::Log().value(0).contains("access_denied")) << MessageBox::Log().value(0).toStdString();
    EXPECT_TRUE(State().startsWith(QStringLiteral("もう一度サインインしてください")));

    test::Click(*window, "cmdOAuthSignOut");
    EXPECT_TRUE(State().startsWith(QStringLiteral("サインインしていません"))) << State().toStdString();
    EXPECT_FALSE(QFile::exists(m_home.File(config::kTokenFileName)));
}
