#include "config/Settings.h"

#include "config/DesktopSettings.h"
#include "config/ConnectionSecurity.h"
#include "config/InMemoryWorkingCopy.h"
#include "support/Files.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

using namespace lw::config;
using lw::test::ReadFile;
using lw::test::WriteFile;

namespace {

QString IniPath(const lw::test::TempHome& home) { return home.File("larchwatcher.ini"); }

// Saves as onto a disk that is full once a file reaches `bytes` (EFBIG; root too).
lw::base::Status SaveOnFullDisk(const InMemoryWorkingCopy& copy, rlim_t bytes)
{
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit limit{bytes, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
    const lw::base::Status saved = SaveSettings(copy);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    return saved;
}

} // namespace

TEST(Settings, SaveWritesAllKeysInOrderAndLoadsBack)
{
    lw::test::TempHome home;
    InMemoryWorkingCopy copy = InMemoryWorkingCopy::FromSettingsFile(home.Folder());
    ASSERT_TRUE(SaveSettings(copy).Ok());
    EXPECT_EQ(ReadFile(IniPath(home)),
              QByteArray("[larchwatcher]\npopserver=popserver\npopaccount=popaccount\npoppassword=poppassword\n"
                         "smtpserver=smtpserver\nsmtpaccount=smtpaccount\nsmtppassword=smtppassword\n"
                         "flgauth=0\nauthtyp=0\nflgacpwpop=0\nportpop=110\nportsmtp=25\ntimeoutsmtp=120\n"
                         "Interval=60000\nreffile=list\nsavedir=mail\nlogfile=log\nkeepday=60\nflgtrs=0\n"
                         "flgtrstgt=0\nflgtrsto=0\ntrsto=\ntrscc=\ntrsbcc=\nflgcmd=0\n"
                         "cmdaccount=cmdaccount\ncmdpassword=cmdpassword\n"));

    const QString longPassword = QString::fromUtf8("長いパスワード").repeated(20); // 420 bytes
    copy.SetText("popserver", "");
    copy.SetText("popaccount", "  user one  ");
    copy.SetText("poppassword", longPassword);
    copy.SetText("trsto", " A@X.JP; B@Y.JP ");
    copy.SetState("authtyp", 3);
    copy.SetState("flgcmd", 2);
    ASSERT_TRUE(SaveSettings(copy).Ok());
    const QByteArray file = ReadFile(IniPath(home));
    for (const char* line : {"\npopserver=\n", "\npopaccount=user one\n", "\ntrsto=A@X.JP; B@Y.JP\n", "\nflgcmd=2\n"})
        EXPECT_TRUE(file.contains(line)) << line;

    // The server saved empty loads as the key's default; the password comes back whole.
    const InMemoryWorkingCopy back = InMemoryWorkingCopy::FromSettingsFile(home.Folder());
    EXPECT_EQ((QStringList{back.Text("popserver"), back.Text("popaccount"), back.Text("poppassword")}),
              (QStringList{"popserver", "user one", longPassword}));
    EXPECT_EQ((QList<int>{back.State("authtyp"), back.State("flgcmd")}), (QList<int>{3, 2}));
    EXPECT_EQ(ReadSetting(home.Path(), "larchwatcher.ini", "larchwatcher", "popserver", "d"), "d");
}

TEST(Settings, StatesLoadFromTheLeadingNumberAndTheSnapshotNormalisesAddressesAndNumbers)
{
    lw::test::TempHome home;
    ASSERT_TRUE(WriteFile(IniPath(home), "[larchwatcher]\nflgauth=1abc\nflgacpwpop=abc\nflgtrs= 1.6\nflgtrsto=7\n"
                                        "flgcmd=-1\nauthtyp=2.5\nflgtrstgt=1e0\n"));
    InMemoryWorkingCopy copy = InMemoryWorkingCopy::FromSettingsFile(home.Folder());
    // 1.6 rounds to the greyed state; halves go to the even neighbour; out of range is 0.
    const std::pair<const char*, int> expected[] = {{"flgauth", 1}, {"flgacpwpop", 0}, {"flgtrs", 2}, {"flgtrsto", 0},
                                                    {"flgcmd", 0},  {"authtyp", 2},    {"flgtrstgt", 1}};
    for (const auto& [key, state] : expected) EXPECT_EQ(copy.State(key), state) << key;
    ASSERT_TRUE(WriteFile(IniPath(home), "[larchwatcher]\nauthtyp=4\nflgtrstgt=3\n"));
    const InMemoryWorkingCopy outside = InMemoryWorkingCopy::FromSettingsFile(home.Folder());
    EXPECT_EQ(outside.State("authtyp") + outside.State("flgtrstgt"), 0);

    // The snapshot normalises addresses and falls back to the default numbers.
    const std::pair<const char*, const char*> texts[] = {
        {"trsto", " A@X.JP; B@Y.JP "}, {"cmdaccount", " admin "}, {"portpop", "70000"}, {"portsmtp", ""},
        {"timeoutsmtp", "abc"},        {"keepday", " 2.5 "},      {"Interval", "1.5e3"}};
    for (const auto& [key, text] : texts) copy.SetText(key, text);
    copy.SetState("flgauth", 2);
    copy.SetState("flgtrs", 1);
    copy.SetState("authtyp", -1);
    copy.SetState("flgtrstgt", 5);
    SettingsRecord record = TakeSettingsSnapshot(copy);
    EXPECT_EQ(record.programFolder, home.Folder());
    EXPECT_EQ(record.forwardTo, "a@x.jp\tb@y.jp");
    EXPECT_EQ(record.commandAccount, " admin ");
    EXPECT_EQ(QList<int>({record.popPort, record.smtpPort, record.smtpTimeoutSeconds, record.keepDays,
                          record.intervalMs}),
              QList<int>({110, 25, 120, 2, 1500}));
    EXPECT_TRUE(!record.smtpAuthEnabled && record.forwardEnabled) << "greyed is not ticked";
    EXPECT_EQ(record.smtpAuthMechanism, SmtpAuthMechanism::NotChosen);
    EXPECT_EQ(record.forwardTarget, ForwardTarget::AllMail);

    // Ports above 16 bits' signed range stay reachable.
    copy.SetText("portpop", "50110");
    copy.SetText("portsmtp", "-25");
    copy.SetText("Interval", "x");
    record = TakeSettingsSnapshot(copy);
    EXPECT_EQ(QList<int>({record.popPort, record.smtpPort, record.intervalMs}),
              QList<int>({50110, 25, 60000}));
}

TEST(Settings, AFailedSaveKeepsTheOldFileAndTheMainKeysDesktopAndConnectionSectionsKeepEachOther)
{
    lw::test::TempHome home;
    const QByteArray old = "[other]\nx=1\n[larchwatcher]\npopserver=old.example\nauthtyp=1\n";
    ASSERT_TRUE(WriteFile(IniPath(home), old));
    InMemoryWorkingCopy copy = InMemoryWorkingCopy::FromSettingsFile(home.Folder());
    copy.SetText("popserver", "new.example");

    // A full disk hit inside the authtyp line, which stays where the old file had it.
    const qsizetype authtypAt = QByteArray("[other]\nx=1\n[larchwatcher]\npopserver=new.example\n").size();
    EXPECT_EQ(SaveOnFullDisk(copy, rlim_t(authtypAt + 3)).ErrorText(), "authtypの設定に失敗しました。");
    EXPECT_EQ(ReadFile(IniPath(home)), old);
    EXPECT_FALSE(QFile::exists(IniPath(home) + ".tmp"));

    // A program folder that cannot hold files at all: the first key.
    ASSERT_TRUE(WriteFile(home.File("plain"), "x"));
    InMemoryWorkingCopy nowhere(home.File("plain"));
    LoadSettingsIntoWindow(nowhere, home.File("plain"));
    EXPECT_EQ(SaveSettings(nowhere).ErrorText(), QString::fromUtf8("popserverの設定に失敗しました。"));
    EXPECT_FALSE(WriteSetting(home.File("plain"), "larchwatcher.ini", "larchwatcher", "popserver", "b"));

    EXPECT_TRUE(SaveSettings(copy).Ok());
    EXPECT_TRUE(ReadFile(IniPath(home)).startsWith("[other]\nx=1\n[larchwatcher]\npopserver=new.example\n"));
    // One key alone: the rest of the file is kept, the value stored unchanged.
    EXPECT_TRUE(WriteSetting(home.Path(), "larchwatcher.ini", "larchwatcher", "popserver", "b=c"));
    EXPECT_TRUE(
        ReadFile(IniPath(home)).startsWith("[other]\nx=1\n[larchwatcher]\npopserver=b=c\nauthtyp=1\n"));

    // The desktop section and the 26 keys are written by different saves; each keeps the other's
    // lines as they were, and a desktop value that no setting has reads as the default.
    EXPECT_EQ(LoadDesktopSettings(home.Folder()).mailNotices, MailNotices::ListedSenders);
    copy.SetText("popserver", "pop.example.co.jp");
    ASSERT_TRUE(SaveSettings(copy).Ok());
    const QByteArray mainOnly = ReadFile(IniPath(home));

    ASSERT_TRUE(SaveDesktopSettings(home.Folder(), {MailNotices::EveryMessage, true}).Ok());
    const QByteArray both = ReadFile(IniPath(home));
    EXPECT_TRUE(both.startsWith(mainOnly)) << both.toStdString();
    EXPECT_TRUE(both.endsWith("[desktop]\nmailnotices=2\nclosehintshown=1\n")) << both.toStdString();
    EXPECT_EQ(LoadDesktopSettings(home.Folder()).mailNotices, MailNotices::EveryMessage);
    EXPECT_TRUE(LoadDesktopSettings(home.Folder()).closeHintShown);

    copy.SetText("popserver", "pop2.example.co.jp");
    ASSERT_TRUE(SaveSettings(copy).Ok());
    EXPECT_TRUE(ReadFile(IniPath(home)).endsWith("[desktop]\nmailnotices=2\nclosehintshown=1\n"));
    EXPECT_EQ(ReadSetting(home.Folder(), "larchwatcher.ini", "larchwatcher", "popserver", ""), "pop2.example.co.jp");

    for (const QByteArray bad : {"7", "-1", "x", ""}) {
        ASSERT_TRUE(WriteFile(IniPath(home), "[desktop]\nmailnotices=" + bad + "\nclosehintshown=yes\n"));
        const DesktopSettings loaded = LoadDesktopSettings(home.Folder());
        EXPECT_EQ(loaded.mailNotices, MailNotices::ListedSenders) << bad.constData();
        EXPECT_FALSE(loaded.closeHintShown);
    }

    // Servers that need TLS and pinned certificates are kept in a section of their own.
    ASSERT_TRUE(SaveSettings(copy).Ok());
    const QByteArray keys = ReadFile(IniPath(home));
    // An account with the characters of the file's own structure stays one key.
    const QString odd = QStringLiteral("a=b;[c] 太郎");
    ASSERT_TRUE(RememberTls(home.Path(), "pop3", "Mail.Example.JP", odd).Ok());
    ASSERT_TRUE(TrustCertificate(home.Path(), "mail.example.jp", 995, "AB:CD").Ok());
    ASSERT_TRUE(TrustCertificate(home.Path(), "mail.example.jp", 995, "EF:01").Ok());
    EXPECT_TRUE(ReadFile(IniPath(home)).startsWith(keys + "[connection]\n")) << ReadFile(IniPath(home)).toStdString();

    ASSERT_TRUE(SaveSettings(copy).Ok()); // the window's save keeps the section
    const ConnectionSecurity security = ConnectionSecurity::Load(home.Path());
    EXPECT_FALSE(security.RequireTlsAlways());
    EXPECT_TRUE(security.TlsRequired("pop3", "mail.example.jp", odd));
    EXPECT_FALSE(security.TlsRequired("smtp", "mail.example.jp", odd));
    EXPECT_FALSE(security.TlsRequired("pop3", "mail.example.jp", "a"));
    EXPECT_FALSE(security.TlsRequired("pop3", "other.example.jp", odd));
    EXPECT_EQ(security.PinnedFingerprint("MAIL.example.jp", 995), "EF:01");
    EXPECT_EQ(security.PinnedFingerprint("mail.example.jp", 465), "");
}
