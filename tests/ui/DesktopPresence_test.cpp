// The program on the desktop: the tray's state, tooltip and menu, the notices after a tick, and the
// autostart entry.
#include "ui/DesktopPresence.h"

#include "config/InMemoryWorkingCopy.h"
#include "ui/Autostart.h"
#include "ui/UiTest.h"

#include <QAction>
#include <QMenu>

#include <glib.h>

namespace lw::ui {
namespace {

struct RecordingNotifier final : engine::DesktopNotifier {
    QStringList shown; // the bodies
    void Show(const engine::DesktopNotice& notice) override { shown << notice.body; }
};

engine::CycleSummary Cycle(int handled, int actedOnListed, const char* fetchError = "")
{
    engine::CycleSummary cycle;
    cycle.handled = handled;
    cycle.actedOnListed = cycle.actedOnAny = actedOnListed;
    cycle.fetchError = QString::fromUtf8(fetchError);
    return cycle;
}

class DesktopPresenceTest : public ::testing::Test {
  protected:
    void NextTick(const engine::CycleSummary& cycle)
    {
        m_service.SetTickWork([cycle](const config::SettingsRecord&) { return cycle; });
        (void)m_service.RunTickNow();
    }

    test::TempHome m_home;
    config::InMemoryWorkingCopy m_copy{m_home.Folder()};
    engine::Service m_service{m_copy, nullptr, engine::Service::Threading::Inline};
    std::shared_ptr<RecordingNotifier> m_notifier = std::make_shared<RecordingNotifier>();
};

TEST_F(DesktopPresenceTest, TrayFollowsTheServiceAndTheLastPollAndItsMenuCallsTheWindow)
{
    QStringList called;
    const auto call = [&called](const char* what) { return [&called, what] { called << what; }; };
    DesktopPresence presence(m_service, m_home.Folder(), m_notifier, true,
                             {call("show"), call("toggle"), call("log"), call("quit")});

    QStringList names;
    for (QAction* action : presence.Menu()->actions()) {
        if (!action->isSeparator()) names << action->objectName() + u'=' + action->text();
        action->trigger();
    }
    EXPECT_EQ(names, (QStringList{"actShowWindow=ウィンドウを表示", "actToggleService=サービス開始",
                                  "actOpenLog=ログファイルを開く", "actQuit=終了"}));
    EXPECT_EQ(called, (QStringList{"show", "toggle", "log", "quit"}));

    m_service.Start("60000");
    EXPECT_EQ(presence.State().kind, TrayState::Kind::Running);
    EXPECT_EQ(presence.Menu()->actions()[1]->text(), "サービス終了");
    EXPECT_TRUE(presence.State().tooltip.contains("最終監視: まだありません"));

    // A failed fetch shows in the tray and the status text until a poll succeeds; the tooltip
    // keeps the last error and counts the handled messages over the ticks.
    QStringList failures;
    QObject::connect(&presence, &DesktopPresence::failureChanged, [&](const QString& t) { failures << t; });
    NextTick(Cycle(2, 0));
    NextTick(Cycle(0, 0, "connection refused"));
    EXPECT_EQ(presence.State().kind, TrayState::Kind::Failed);
    NextTick(Cycle(0, 0, "connection refused"));
    NextTick(Cycle(3, 0));
    const TrayState after = presence.State();
    EXPECT_EQ(after.kind, TrayState::Kind::Running);
    EXPECT_EQ(failures, (QStringList{"受信に失敗しました: connection refused", ""})) << "once per change";
    EXPECT_TRUE(after.tooltip.startsWith("LarchWatcher（監視中）\n最終監視: 20")) << after.tooltip;
    EXPECT_EQ(after.tooltip.section(u'\n', 2), "処理したメール: 5 件\n最後のエラー: connection refused");
    m_service.Stop();
    EXPECT_EQ(presence.State().kind, TrayState::Kind::Stopped) << "stopped, failed or not";
}

// Notices follow the mail-notice choice, saved in the desktop section at once; the hint that
// closing keeps the program in the tray comes once ever, and never without a tray.
TEST_F(DesktopPresenceTest, NoticesFollowTheChoiceAndTheCloseHintComesOnceWithATray)
{
    {
        DesktopPresence presence(m_service, m_home.Folder(), m_notifier, false, {});
        EXPECT_FALSE(presence.KeepRunningOnClose()) << "no tray: closing ends the program";
        QWidget parent;
        auto* notices = test::Find<QComboBox>(*presence.BuildSettingsBox(&parent), "cboNotice");
        EXPECT_EQ(notices->currentIndex(), 1);
        NextTick(Cycle(1, 1));
        notices->setCurrentIndex(0);
        NextTick(Cycle(1, 1));
    }
    EXPECT_EQ(m_notifier->shown, QStringList{"1通のメールを処理しました（印刷・保存・転送）。"});
    EXPECT_EQ(config::LoadDesktopSettings(m_home.Folder()).mailNotices, config::MailNotices::Off);

    m_notifier->shown.clear();
    for (int run = 0; run < 2; ++run) {
        DesktopPresence presence(m_service, m_home.Folder(), m_notifier, true, {});
        NextTick(Cycle(1, 1));
        EXPECT_TRUE(presence.KeepRunningOnClose() && presence.KeepRunningOnClose());
    }
    EXPECT_TRUE(m_notifier->shown.size() == 1 && m_notifier->shown[0].startsWith("ウィンドウを閉じても"))
        << "the mail notice is off; the hint comes once over two runs: " << m_notifier->shown;
}

// The entry's Exec line, read back by GLib's desktop-entry and shell-quoting parsers, gives the
// program and folder exactly, whatever characters they hold; a line break cannot be written.
TEST(AutostartTest, EntryStartsTheProgramHiddenOnItsFolderAndIsWrittenAndRemoved)
{
    for (const QString& folder : QStringList{"/home/taro/larchwatcher", "/home/taro/監視 フォルダ",
                                             "/tmp/a\"b`c$d\\e%f g;h'i", "/tmp/100%%"}) {
        const std::optional<QString> text = Autostart::EntryText("/opt/lw 1/larchwatcher", folder);
        ASSERT_TRUE(text.has_value());
        g_autoptr(GKeyFile) file = g_key_file_new();
        ASSERT_TRUE(g_key_file_load_from_data(file, text->toUtf8().data(), -1, G_KEY_FILE_NONE, nullptr));
        g_autofree gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
        // Field codes: "%%" is a literal "%"; no other field code may appear.
        QString unescaped = QString::fromUtf8(exec);
        EXPECT_FALSE(QString(unescaped).remove("%%").contains(u'%')) << exec;
        unescaped.replace("%%", "%");
        g_auto(GStrv) argv = nullptr;
        ASSERT_TRUE(g_shell_parse_argv(unescaped.toUtf8().constData(), nullptr, &argv, nullptr)) << exec;
        QStringList args;
        for (gchar** a = argv; *a != nullptr; ++a)
            args << QString::fromUtf8(*a);
        EXPECT_EQ(args, (QStringList{"/opt/lw 1/larchwatcher", "--home", folder, "--hidden"})) << exec;
        EXPECT_TRUE(g_key_file_has_key(file, "Desktop Entry", "Type", nullptr));
    }
    EXPECT_FALSE(Autostart::EntryText("/usr/bin/larchwatcher", "/tmp/a\nb"));

    test::TempHome config;
    qputenv("XDG_CONFIG_HOME", config.Path().toUtf8());
    EXPECT_EQ(Autostart::EntryPath(), config.Path() + "/autostart/larchwatcher.desktop");
    QString error;
    ASSERT_TRUE(Autostart::TurnOn("/usr/bin/larchwatcher", "/srv/lw", error)) << error;
    EXPECT_TRUE(test::ReadFile(Autostart::EntryPath())
                    .contains("Exec=\"/usr/bin/larchwatcher\" --home \"/srv/lw\" --hidden\n"));
    ASSERT_TRUE(Autostart::TurnOff(error));
    EXPECT_FALSE(Autostart::IsOn());
    EXPECT_TRUE(Autostart::TurnOff(error)) << "a missing entry is no failure";
    qunsetenv("XDG_CONFIG_HOME");
}

} // namespace
} // namespace lw::ui
