#include "ui/Form1.h"

#include "ui/UiTest.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStatusBar>
#include <QTabWidget>

#include <atomic>
#include <memory>

using namespace lw;
using ui::MessageBox;

namespace {

const QString kRunning = QStringLiteral("サービス終了（現在動作中...）");
const QString kStopped = QStringLiteral("サービス開始（現在停止中...）");

class Form1Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_home.File("store"));
        MessageBox::ClearLog();
        m_actions.askPassword = [this](QWidget*) { return ++prompts, unlock; };
        m_actions.openEditor = [this](QWidget*, const config::WorkingCopy&) { Modal("editor"); };
        m_actions.openViewer = [this](QWidget*, const config::WorkingCopy&) { Modal("viewer"); };
        m_actions.chooseFile = [this](QWidget*, const QString& title, const QString& folder,
                                      const QString& filter) {
            chooser = {title, folder, filter};
            return chosen;
        };
        m_actions.importAddressBook = [this](QWidget*, const QString& file, const QString&,
                                             const QString& list) { Modal("import " + file + " " + list); };
        m_actions.openFile = [this](const QString& path) { opened = path; };
    }
    void TearDown() override
    {
        window.reset();
        MessageBox::ClearLog();
    }

    // A program folder with a settings file and a list database, and the window loaded on it.
    void Open(const QByteArray& ini = "[larchwatcher]\nInterval=1\n")
    {
        test::WriteFile(m_home.File("larchwatcher.ini"), ini);
        ASSERT_TRUE(QFile::copy(test::TemplateDatabase(), m_home.File("list.db")));
        window = std::make_unique<ui::Form1>(m_home.Path(), m_home.File("pdf"), m_actions);
        window->Service().SetTickWork([this](const config::SettingsRecord&) {
            ++ticks;
            return engine::CycleSummary{};
        });
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        window->activateWindow();
        (void)QTest::qWaitForWindowActive(window.get(), 2000);
        window->Load();
    }

    // Stands for a modal window: records what it saw while it was "open".
    void Modal(const QString& what)
    {
        opens.append(what);
        runningAtOpen = window->Service().IsRunning();
        const int before = ticks;
        QTest::qWait(80);
        ticksWhileOpen += ticks - before;
    }

    template <typename T> T* W(const char* name) { return test::Find<T>(*window, name); }
    QString T(const char* name) { return W<QLineEdit>(name)->text(); }
    QString Caption() { return W<QPushButton>("Command1")->text(); }
    void Click(const char* button) { test::Click(*window, button); }
    void Tab(int index) { W<QTabWidget>("SSTab1")->setCurrentIndex(index); }
    void ExpectEnabled(std::initializer_list<const char*> names, bool enabled)
    {
        for (const char* name : names) EXPECT_EQ(W<QWidget>(name)->isEnabled(), enabled) << name;
    }

    test::TempHome m_home;
    ui::Form1Actions m_actions;
    std::unique_ptr<ui::Form1> window;
    std::atomic<int> ticks{0};
    bool unlock = true, runningAtOpen = true;
    int prompts = 0, ticksWhileOpen = 0;
    QStringList opens, chooser;
    QString chosen, opened;
};

} // namespace

TEST(Form1Checks, NumbersRangesAndNames)
{
    // field, text, message (empty: passes), text put back (empty: kept)
    const char* const cases[][4] = {
        {"txtIntv", "", "", ""}, {"txtIntv", "65535", "", ""}, {"txtIntv", " +1e3 ", "", ""},
        {"txtIntv", "0", "入力範囲(1-65535)を超えています。", "60000"},
        {"txtIntv", "65535.5", "入力範囲(1-65535)を超えています。", "60000"},
        {"txtIntv", "abc", "数値を入力してください。", "60000"}, {"txtIntv", "inf", "数値を入力してください。", "60000"},
        {"txtKeep", "91", "入力範囲(1-90)を超えています。", "60"},
        {"txtPortsmtp", "10000", "入力範囲(1-9999)を超えています。", "25"},
        {"txtList", "", "入力されていません。", ""}, {"txtLog", "a\\b", "\\マークは使用できません。", ""},
        {"txtStock", "mail/sub", "", ""}, {"txtPortpop", "junk", "", ""}};
    for (const auto& [field, text, message, reset] : cases) {
        SCOPED_TRACE(std::string(field) + " '" + text + "'");
        const auto failure = ui::CheckField(QString::fromLatin1(field), QString::fromUtf8(text));
        ASSERT_EQ(failure.has_value(), *message != 0);
        if (!failure) continue;
        EXPECT_EQ(failure->message, QString::fromUtf8(message));
        EXPECT_EQ(failure->reset, *reset != 0);
        EXPECT_EQ(failure->resetText, QString::fromLatin1(reset));
    }
}

TEST_F(Form1Test, LoadFillsFieldsTogglesTheServiceAndAppliesTheEnablingAndFieldRules)
{
    Open("[larchwatcher]\nInterval=1234\nflgcmd=1\nflgtrstgt=2\nauthtyp=2\npopaccount=taro\n"
         "poppassword=secret\n");
    EXPECT_EQ(Caption(), kRunning);
    EXPECT_EQ(window->Service().IntervalMs(), 1234);
    EXPECT_EQ(T("txtSvpop") + T("txtAcpop"), "popservertaro") << "stored values, defaults for missing keys";
    EXPECT_TRUE(W<QRadioButton>("optTrsTgt_2")->isChecked());
    EXPECT_EQ(W<QComboBox>("cboAuthtyp")->currentText(), QStringLiteral("AUTH CRAM-MD5"));
    EXPECT_FALSE(W<QGroupBox>("fraDtl")->isVisible());
    const QString info = QStringLiteral("作業フォルダは ") + m_home.Path() + " です。";
    EXPECT_TRUE(W<QLabel>("lblInfo")->text().startsWith(info));
    EXPECT_EQ(window->State("flgcmd"), 1); // 1 ticked, 2 greyed
    window->SetState("flgtrs", 2);
    EXPECT_EQ(W<QCheckBox>("chkTrs")->checkState(), Qt::PartiallyChecked);

    Click("Command1");
    EXPECT_EQ(Caption(), kStopped);
    EXPECT_FALSE(window->Service().IsRunning());
    W<QLineEdit>("txtIntv")->setText("777");
    Click("Command1");
    EXPECT_EQ(Caption(), kRunning);
    EXPECT_EQ(window->Service().IntervalMs(), 777);

    // Authentication controls follow their box; the account copy is made once, not kept in step.
    const auto auth = {"cboAuthtyp", "chkAcpwpop", "txtAcsmtp", "txtPwsmtp", "lblAuthtyp", "lblAcsmtp", "lblPwsmtp"};
    ExpectEnabled(auth, false);
    Click("cmdDtl");
    W<QCheckBox>("chkAuth")->click();
    ExpectEnabled(auth, true);
    W<QCheckBox>("chkAcpwpop")->click();
    EXPECT_EQ(T("txtAcsmtp") + T("txtPwsmtp"), "tarosecret");
    W<QLineEdit>("txtAcpop")->setText("jiro");
    EXPECT_EQ(T("txtAcsmtp"), QStringLiteral("taro"));
    const auto command = {"txtAccmd", "txtPwcmd", "lblAccmd", "lblPwcmd"};
    ExpectEnabled(command, true);
    W<QCheckBox>("chkCmd")->click();
    ExpectEnabled(command, false);

    // A button clicked while a field fails its check does nothing but put the text back and keep
    // the focus there; corrected, it saves.
    QLineEdit* timeout = W<QLineEdit>("txtTimeoutsmtp");
    timeout->setFocus();
    timeout->setText("601");
    MessageBox::SetNextAnswer(MessageBox::Ok);
    Click("cmdSet");
    EXPECT_EQ(MessageBox::Log(), QStringList{QStringLiteral("入力範囲(1-600)を超えています。")});
    EXPECT_TRUE(timeout->text() == "120" && timeout->hasFocus());
    const auto saved = [this] {
        QFile ini(m_home.File("larchwatcher.ini"));
        return ini.open(QIODevice::ReadOnly) ? ini.readAll() : QByteArray();
    };
    EXPECT_FALSE(saved().contains("timeoutsmtp")) << "the save must not have run";
    Click("cmdSet");
    EXPECT_TRUE(saved().contains("timeoutsmtp=120"));
}

TEST_F(Form1Test, NoTickWhileModalWorkRunsAndTheServiceComesBackAsItWas)
{
    Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks > 3; }, 5000)) << "interval 1 ms ticks at once";
    QStringList status;
    for (const QLabel* label : window->statusBar()->findChildren<QLabel*>()) status << label->text();
    EXPECT_TRUE(status.join('|').contains(QRegularExpression("最終監視 .*処理 0 件"))) << status.join('|').toStdString();

    Tab(2);
    Click("cmdList");
    EXPECT_EQ(opens, QStringList{"editor"});
    EXPECT_EQ(prompts, 1);
    EXPECT_FALSE(runningAtOpen || ticksWhileOpen > 0) << ticksWhileOpen;
    EXPECT_EQ(Caption(), kRunning);
    const int after = ticks;
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks > after; }, 5000)) << "resumed";

    // A refused prompt opens nothing and does not pause.
    unlock = false;
    Tab(1);
    Click("cmdRead");
    EXPECT_TRUE(opens.size() == 1 && window->Service().IsRunning());
    unlock = true;

    // Stopped before: stopped after.
    Click("Command1");
    Click("cmdRead");
    EXPECT_EQ(opens.last(), QStringLiteral("viewer"));
    EXPECT_FALSE(window->Service().IsRunning());
    Click("Command1");

    // Import: a cancelled choice resumes the service too; a chosen file is imported paused.
    chosen.clear();
    Click("cmdInpAdr");
    EXPECT_EQ(chooser.value(1) + chooser.value(2), m_home.Path() + QStringLiteral("ｱﾄﾞﾚｽ帳ﾌｧｲﾙ (*.csv)"));
    EXPECT_TRUE(window->Service().IsRunning());
    chosen = "/x/book.csv";
    ticksWhileOpen = 0;
    Click("cmdInpAdr");
    EXPECT_EQ(opens.last(), QStringLiteral("import /x/book.csv list"));
    EXPECT_EQ(ticksWhileOpen, 0);
    EXPECT_EQ(Caption(), kRunning);

    // The log button offers the files of the current prefix and opens the one chosen.
    W<QLineEdit>("txtLog")->setText("  mylog ");
    chosen = m_home.File("mylog202401.txt");
    Click("cmdLog");
    EXPECT_EQ(chooser.value(1) + chooser.value(2), m_home.Path() + QStringLiteral("ﾛｸﾞﾌｧｲﾙ (mylog*.txt)"));
    EXPECT_EQ(opened, chosen);
}

TEST_F(Form1Test, WorkingCopyIsSafeFromTheCycleThread)
{
    Open("[larchwatcher]\nInterval=5\ntrsto=old@example.jp\n");
    std::atomic<bool> done{false};
    QString seen;
    window->Service().SetTickWork([&](const config::SettingsRecord&) {
        if (!done) {
            seen = window->Text("trsto");
            window->SetText("trsto", "new@example.jp");
            window->SetState("flgtrs", 1);
            done = true;
        }
        return engine::CycleSummary{};
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 5000));
    EXPECT_EQ(seen, QStringLiteral("old@example.jp"));
    EXPECT_EQ(T("txtTrsto"), QStringLiteral("new@example.jp"));
    EXPECT_TRUE(W<QCheckBox>("chkTrs")->isChecked());
    window.reset(); // before the captured locals go
}

TEST_F(Form1Test, MissingDatabaseRefusedLeavesTheInfoEmptyAndTheServiceRunning)
{
    window = std::make_unique<ui::Form1>(m_home.Path(), QString(), m_actions);
    MessageBox::SetNextAnswer(MessageBox::Cancel); // do not create
    MessageBox::SetNextAnswer(MessageBox::Ok);
    window->Load();
    ASSERT_EQ(MessageBox::Log().size(), 2);
    EXPECT_TRUE(MessageBox::Log().value(1).startsWith(QStringLiteral("ﾃﾞｰﾀﾍﾞｰｽが作成できませんでした。")));
    EXPECT_TRUE(W<QLabel>("lblInfo")->text().isEmpty());
    EXPECT_EQ(Caption(), kRunning);
    EXPECT_EQ(window->Service().IntervalMs(), 60000) << "no settings file: the default interval";
}
