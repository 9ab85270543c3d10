// The settings window over a program folder: its fields and checks, the service it runs, the
// modal work it pauses for, and the OAuth2 sign-in against the test servers.
#include "ui/MainWindow.h"

#include "support/TestServers.h"
#include "ui/UiTest.h"

#include <QMutex>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QThread>

#include <atomic>

using namespace lw;
using ui::MessageBox;

namespace {

const QString kRunning = "サービス終了（現在動作中...）";
const QString kStopped = "サービス開始（現在停止中...）";

class MainWindowTest : public test::ListTest {
  protected:
    void SetUp() override
    {
        ListTest::SetUp();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_home.File("store"));
        m_actions.askPassword = [this](QWidget*) { return ++prompts, unlock; };
        m_actions.openEditor = [this](QWidget*, const config::WorkingCopy&) { Modal("editor"); };
        m_actions.openViewer = [this](QWidget*, const config::WorkingCopy&) { Modal("viewer"); };
        m_actions.chooseFile = [this](QWidget*, const QString&, const QString& dir, const QString& filter) {
            return chooser = dir + u'|' + filter, chosen;
        };
        m_actions.importAddressBook = [this](QWidget*, const QString& file, const QString&,
                                             const QString& list) { Modal("import " + file + " " + list); };
    }
    // The window loaded on the program folder with this settings file.
    void Open(const QByteArray& ini = "[larchwatcher]\nInterval=10\n")
    {
        test::WriteFile(m_home.File("larchwatcher.ini"), ini);
        window = std::make_unique<ui::MainWindow>(m_home.Path(), m_home.File("pdf"), m_actions);
        window->Service().SetTickWork([this](const auto&) { return ++ticks, summary; });
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        window->activateWindow();
        (void)QTest::qWaitForWindowActive(window.get(), 2000);
        window->Load();
    }

    // Stands for a modal window: records what it is and whether the service was paused with no tick
    // in flight (a stopped service starts no tick).
    void Modal(const QString& what)
    {
        opens.append(what + (window->Service().IsRunning() ? " running" : " paused") +
                     (window->Service().IsBusy() ? " in a tick" : ""));
    }

    template <typename T> T* W(const char* name) { return test::Find<T>(*window, name); }
    QString T(const char* name) { return W<QLineEdit>(name)->text(); }
    // The toggle's caption, the interval and whether the service runs.
    void ExpectService(const QString& caption, int intervalMs, bool running)
    {
        EXPECT_EQ(W<QPushButton>("Command1")->text(), caption);
        EXPECT_EQ(window->Service().IntervalMs(), intervalMs);
        EXPECT_EQ(window->Service().IsRunning(), running);
    }
    // Clicks and lets an action that waits for a running tick take place.
    void Click(const char* button)
    {
        test::Click(*window, button);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !window->Service().IsPauseWaiting(); }, 5000));
    }
    void ExpectEnabled(std::initializer_list<const char*> names, bool enabled)
    {
        for (const char* name : names)
            EXPECT_EQ(W<QWidget>(name)->isEnabled(), enabled) << name;
    }

    QProcess browser;
    ui::MainWindowActions m_actions;
    std::atomic<int> ticks{0};
    engine::CycleSummary summary; // what every tick returns
    bool unlock = true;
    int prompts = 0;
    QStringList opens;
    QString chooser, chosen;
    std::unique_ptr<ui::MainWindow> window; // last, so it goes first: its ticks use the members above
};

} // namespace

TEST(MainWindowChecks, NumbersRangesAndNames)
{
    // field, text, message (empty: passes), text put back (empty: kept)
    const char* const cases[][4] = {{"txtIntv", "", "", ""},
                                    {"txtIntv", "65535", "", ""}, {"txtIntv", " +1e3 ", "", ""},
                                    {"txtIntv", "0", "入力範囲(1-65535)を超えています。", "60000"},
                                    {"txtIntv", "abc", "数値を入力してください。", "60000"},
                                    {"txtIntv", "inf", "数値を入力してください。", "60000"},
                                    {"txtKeep", "91", "入力範囲(1-90)を超えています。", "60"},
                                    {"txtPortsmtp", "10000", "入力範囲(1-9999)を超えています。", "25"},
                                    {"txtList", "", "入力されていません。", ""},
                                    {"txtLog", "a\\b", "\\マークは使用できません。", ""},
                                    {"txtStock", "mail/sub", "\\マークは使用できません。", ""},
                                    {"txtList", "../list", "\\マークは使用できません。", ""},
                                    {"txtStock", "..", "\\マークは使用できません。", ""},
                                    {"txtLog", " .. ", "\\マークは使用できません。", ""},
                                    {"txtStock", "mail..old", "", ""}, {"txtPortpop", "65535", "", ""},
                                    {"txtPortpop", "70000", "入力範囲(1-65535)を超えています。", "110"},
                                    {"txtPortpop", "junk", "数値を入力してください。", "110"}};
    for (const auto& [field, text, message, reset] : cases) {
        SCOPED_TRACE(std::string(field) + " '" + text + "'");
        const auto failure = ui::CheckField(QString::fromLatin1(field), QString::fromUtf8(text))
                                 .value_or(ui::FieldCheckFailure{"passes", {}, false});
        EXPECT_EQ(failure.message, *message ? QString::fromUtf8(message) : "passes");
        EXPECT_EQ(failure.reset, *reset != 0);
        EXPECT_EQ(failure.resetText, QString::fromLatin1(reset));
    }
}

// Load fills the fields (a missing key shows its default); authentication controls follow their
// box; the account copy is made once, not kept in step. With a tray: a failed fetch stays in the
// status bar until a poll succeeds; the close hides the window and the program monitors on; the
// quit button still ends it.
TEST_F(MainWindowTest, LoadFillsTheFieldsControlsFollowTheirBoxesAndTheWindowClosesIntoTheTray)
{
    m_actions.hasTray = true;
    Open("[larchwatcher]\nflgcmd=1\nflgtrstgt=2\nauthtyp=2\npopaccount=taro\npoppassword=secret\n");
    EXPECT_EQ(T("txtSvpop"), "popserver");
    EXPECT_TRUE(W<QRadioButton>("optTrsTgt_2")->isChecked());
    EXPECT_EQ(W<QComboBox>("cboAuthtyp")->currentText(), "AUTH CRAM-MD5");
    EXPECT_TRUE(W<QLabel>("lblInfo")->text().startsWith("作業フォルダは " + m_home.Path() + " です。"));
    EXPECT_EQ(window->State("flgcmd"), 1);
    const auto auth = {"cboAuthtyp", "chkAcpwpop", "txtAcsmtp", "txtPwsmtp",
                       "lblAuthtyp", "lblAcsmtp",  "lblPwsmtp"};
    ExpectEnabled(auth, false);
    Click("cmdDtl");
    W<QCheckBox>("chkAuth")->click();
    ExpectEnabled(auth, true);
    W<QCheckBox>("chkAcpwpop")->click();
    EXPECT_EQ(T("txtAcsmtp") + u'|' + T("txtPwsmtp"), "taro|secret");
    W<QLineEdit>("txtAcpop")->setText("jiro");
    EXPECT_EQ(T("txtAcsmtp"), "taro");
    const auto command = {"txtAccmd", "txtPwcmd", "lblAccmd", "lblPwcmd"};
    ExpectEnabled(command, true);
    W<QCheckBox>("chkCmd")->click();
    ExpectEnabled(command, false);

    auto* failure = W<QLabel>("lblFetchFailure");
    summary.fetchError = "login refused";
    (void)window->Service().RunTickNow();
    EXPECT_TRUE(failure->isVisibleTo(window.get()));
    EXPECT_EQ(failure->text(), "受信に失敗しました: login refused");
    summary.fetchError.clear();
    (void)window->Service().RunTickNow();
    EXPECT_FALSE(failure->isVisibleTo(window.get()));

    EXPECT_FALSE(window->close()) << "closed into the tray";
    EXPECT_TRUE(!window->isVisible() && window->Service().IsRunning());
    window->ShowFromTray();
    EXPECT_TRUE(window->isVisible());
    test::Click(*window, "Command2");
    EXPECT_FALSE(window->isVisible() || window->Service().IsRunning()) << "the quit button ends the program";
}

// A button clicked while a field fails its check only puts the text back; corrected, it saves.
TEST_F(MainWindowTest, AFieldThatFailsItsCheckIsPutBackBeforeAButtonOrATabActs)
{
    Open();
    QLineEdit* timeout = W<QLineEdit>("txtTimeoutsmtp");
    timeout->setFocus();
    timeout->setText("601");
    MessageBox::SetNextAnswer(MessageBox::Ok);
    Click("cmdSet");
    EXPECT_EQ(MessageBox::Log(), QStringList{"入力範囲(1-600)を超えています。"});
    EXPECT_TRUE(timeout->text() == "120" && timeout->hasFocus());
    EXPECT_FALSE(test::ReadFile(m_home.File("larchwatcher.ini")).contains("timeoutsmtp")) << "no save";
    Click("cmdSet");
    EXPECT_TRUE(test::ReadFile(m_home.File("larchwatcher.ini")).contains("timeoutsmtp=120"));

    // On the way to another tab: the POP port is refused and put back, and the tab bar and the
    // page shown both stay on the field's tab.
    auto* tabs = W<QTabWidget>("SSTab1");
    QLineEdit* popPort = W<QLineEdit>("txtPortpop");
    popPort->setFocus();
    popPort->setText("70000");
    MessageBox::SetNextAnswer(MessageBox::Ok);
    QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(1).center());
    QCoreApplication::processEvents();
    EXPECT_EQ(MessageBox::Log().value(1), "入力範囲(1-65535)を超えています。");
    EXPECT_TRUE(popPort->text() == "110" && popPort->hasFocus());
    EXPECT_EQ(tabs->tabBar()->currentIndex(), 0);
    EXPECT_TRUE(tabs->widget(0)->isVisible() && !tabs->widget(1)->isVisible()) << "page and tab bar disagree";
}

TEST_F(MainWindowTest, NoTickWhileModalWorkRunsAndTheServiceComesBackAsItWas)
{
    Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks > 3; }, 5000)) << "ticks at its interval";
    W<QTabWidget>("SSTab1")->setCurrentIndex(2);
    Click("cmdList");
    EXPECT_EQ(opens, QStringList{"editor paused"});
    EXPECT_EQ(prompts, 1);
    EXPECT_EQ(W<QPushButton>("Command1")->text(), kRunning);
    const int after = ticks;
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks > after; }, 5000)) << "resumed";

    // A refused prompt opens nothing and does not pause.
    unlock = false;
    W<QTabWidget>("SSTab1")->setCurrentIndex(1);
    Click("cmdRead");
    EXPECT_TRUE(opens.size() == 1 && window->Service().IsRunning());
    unlock = true;

    // Stopped before: stopped after. Started again, the toggle takes the interval typed.
    Click("Command1");
    Click("cmdRead");
    EXPECT_EQ(opens.last(), "viewer paused");
    ExpectService(kStopped, 10, false);
    W<QLineEdit>("txtIntv")->setText("777");
    Click("Command1");
    ExpectService(kRunning, 777, true);

    // Import: a cancelled choice resumes the service too; a chosen file is imported paused.
    Click("cmdInpAdr");
    EXPECT_EQ(chooser, m_home.Path() + "|ｱﾄﾞﾚｽ帳ﾌｧｲﾙ (*.csv)");
    EXPECT_TRUE(window->Service().IsRunning());
    chosen = "/x/book.csv";
    Click("cmdInpAdr");
    EXPECT_EQ(opens.last(), "import /x/book.csv list paused");
    EXPECT_EQ(W<QPushButton>("Command1")->text(), kRunning);
}

TEST_F(MainWindowTest, MissingDatabaseRefusedLeavesTheInfoEmptyAndTheServiceRunning)
{
    ASSERT_TRUE(QFile::remove(m_home.File("list.db")));
    window = std::make_unique<ui::MainWindow>(m_home.Path(), QString(), m_actions);
    MessageBox::SetNextAnswer(MessageBox::Cancel); // do not create
    MessageBox::SetNextAnswer(MessageBox::Ok);
    window->Load();
    EXPECT_TRUE(MessageBox::Log().value(1).startsWith("ﾃﾞｰﾀﾍﾞｰｽが作成できませんでした。"));
    EXPECT_TRUE(W<QLabel>("lblInfo")->text().isEmpty());
    ExpectService(kRunning, 60000, true); // no settings file: the default interval
}

TEST_F(MainWindowTest, TicksUseTheCopyOfTheFieldsAndASaveDuringATickWaitsWithoutHoldingTheWindow)
{
    Open("[larchwatcher]\nInterval=20\ntrsto=old@example.jp\n");
    std::atomic<bool> hold{true};
    QStringList seen; // per tick, on the poll thread: its snapshot and the copy after a command's change
    QMutex mutex;
    // The ticks use this test's locals: release and end them before the locals go, pass or fail.
    const auto end = qScopeGuard([&] {
        hold = false;
        window.reset();
    });
    window->Service().SetTickWork([&](const config::SettingsRecord& s) {
        {
            QMutexLocker lock(&mutex);
            seen << s.forwardTo + u'|' + QString::number(s.forwardEnabled);
            if (seen.size() == 1) {
                // What command mail does from the poll thread.
                window->SetText("trsto", "command@example.jp");
                window->SetState("flgtrs", 1);
                seen << window->Text("trsto");
            }
        }
        while (hold)
            QThread::msleep(5);
        return ++ticks, engine::CycleSummary{};
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->Service().IsBusy(); }, 5000));
    // The fields follow the change while the tick still runs.
    EXPECT_TRUE(QTest::qWaitFor([&] { return T("txtTrsto") == "command@example.jp"; }, 5000));
    EXPECT_TRUE(W<QCheckBox>("chkTrs")->isChecked());

    // A save pressed now waits for the tick with the window closed to input, and returns at once.
    // (Should it wait in the click, the tick ends after 2 s and the checks below fail.)
    QTimer::singleShot(2000, window.get(), [&] { hold = false; });
    test::Click(*window, "cmdSet");
    EXPECT_TRUE(window->Service().IsBusy() && window->Service().IsPauseWaiting());
    EXPECT_FALSE(W<QWidget>("cmdSet")->isEnabled());
    EXPECT_FALSE(test::ReadFile(m_home.File("larchwatcher.ini")).contains("command@")) << "saved in the tick";
    hold = false;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->Service().IsPauseWaiting(); }, 5000));
    const QByteArray saved = test::ReadFile(m_home.File("larchwatcher.ini"));
    EXPECT_TRUE(saved.contains("trsto=command@example.jp") && saved.contains("flgtrs=1")) << saved.data();
    EXPECT_TRUE(W<QWidget>("cmdSet")->isEnabled());
    ExpectService(kRunning, 20, true);

    // Typed and not saved: in the very next tick's snapshot.
    W<QLineEdit>("txtTrsto")->setText("Typed@Example.JP");
    const int before = ticks;
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks > before + 1; }, 5000));
    QMutexLocker lock(&mutex);
    EXPECT_EQ(seen.mid(0, 2), (QStringList{"old@example.jp|0", "command@example.jp"}));
    EXPECT_EQ(seen.last(), "typed@example.jp|1");
}

TEST_F(MainWindowTest, TheBrowserSignInKeepsTokensARefusalIsShownAndSignOutForgetsThem)
{
    QString reason;
    const std::optional<test::TestServers> servers = test::TestServers::Load(&reason);
    if (!servers || servers->oauthUrl.isEmpty()) GTEST_SKIP() << reason;
    const QString user = "signin-" + QString::number(QRandomGenerator::global()->generate());
    m_actions.tokenStore = [](const QString& folder) { return std::make_shared<config::TokenFile>(folder); };
    QUrl opened;
    m_actions.openBrowser = [&](const QUrl& url) {
        opened = url;
        // The browser: follows the redirect to the loopback listener and shows its page.
        browser.start("/usr/bin/python3", {"-c",
                                           "import sys, urllib.request as u; "
                                           "print(u.urlopen(sys.argv[1], timeout=20).read().decode())",
                                           url.toString(QUrl::FullyEncoded)});
        return true;
    };
    Open(("[larchwatcher]\nInterval=60000\npopaccount=" + user + "\n").toUtf8());
    const auto state = [this] { return W<QLabel>("lblOAuthState")->text(); };
    EXPECT_EQ(state(), "OAuth2は使用していません");
    EXPECT_FALSE(W<QWidget>("cmdOAuthSignIn")->isEnabled());
    W<QComboBox>("cboOAuthProvider")->setCurrentIndex(3); // カスタム
    ExpectEnabled({"cmdOAuthSignIn", "txtOAuthTokenUrl"}, true);
    ExpectEnabled({"txtOAuthTenant"}, false);
    W<QLineEdit>("txtOAuthClientId")->setText("lw-test-client");
    W<QLineEdit>("txtOAuthAuthUrl")->setText(servers->oauthUrl + "/authorize");
    W<QLineEdit>("txtOAuthTokenUrl")->setText(servers->oauthUrl + "/token");
    W<QLineEdit>("txtOAuthScope")->setText("pop smtp");

    test::Click(*window, "cmdOAuthSignIn");
    ASSERT_TRUE(QTest::qWaitFor([&] { return state().startsWith("サインイン済み"); }, 20000)) << state();
    // The server refuses a request without S256 PKCE and counts codes per login hint.
    EXPECT_EQ(servers->OAuthStats(user).value("codes").toInt(), 1);
    const QUrlQuery asked(opened);
    EXPECT_EQ(asked.queryItemValue("redirect_uri", QUrl::FullyDecoded).left(17), "http://127.0.0.1:");
    const QString tokens = m_home.File(config::kTokenFileName);
    EXPECT_TRUE(state().contains(tokens)) << state();
    const config::TokenRecord record = config::RecordFromJson(QString::fromUtf8(test::ReadFile(tokens)));
    EXPECT_TRUE(record.refreshToken.startsWith("rt-") && record.accessToken.startsWith("at-"));
    const QByteArray ini = test::ReadFile(m_home.File("larchwatcher.ini"));
    EXPECT_TRUE(ini.contains("[oauth2]\nprovider=custom\nclientid=lw-test-client\n")) << ini.toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return browser.state() == QProcess::NotRunning; }, 5000));
    EXPECT_TRUE(browser.readAllStandardOutput().contains("サインインの応答を受け取りました"));

    // A tick whose sign-in was refused: the status bar and the account tab say to sign in again.
    config::TokenRecord refused;
    refused.refusal = "OAuth2の更新トークンが拒否されたため、ログインを止めました。";
    ASSERT_TRUE(config::TokenFile(m_home.Path()).Write(config::RecordToJson(refused)).Ok());
    summary.signInNeeded = refused.refusal;
    window->Service().RunTickNow();
    EXPECT_TRUE(state().startsWith("もう一度サインインしてください")) << state();
    EXPECT_TRUE(window->statusBar()->findChildren<QLabel*>().first()->text().contains(
        "OAuth2: もう一度サインインしてください"));

    // The user refuses consent: the window says why, and the refusal stays until a sign-in works.
    ASSERT_FALSE(servers->OAuthCall("/test/config", {"deny=" + user}).isEmpty());
    MessageBox::SetNextAnswer(MessageBox::Ok);
    test::Click(*window, "cmdOAuthSignIn");
    ASSERT_TRUE(QTest::qWaitFor([] { return !MessageBox::Log().isEmpty(); }, 20000));
    (void)servers->OAuthCall("/test/config", {"deny="});
    EXPECT_TRUE(MessageBox::Log().value(0).contains("access_denied: The user did not consent.")) << MessageBox::Log();
    EXPECT_TRUE(state().startsWith("もう一度サインインしてください"));

    test::Click(*window, "cmdOAuthSignOut");
    EXPECT_TRUE(state().startsWith("サインインしていません")) << state();
    EXPECT_FALSE(QFile::exists(tokens));
    browser.waitForFinished(5000); // the browser that was refused
}
