// The real program under faults: it keeps going, says why, and loses or repeats no message.
#include "e2e/HomeFixture.h"

namespace lw::test {
namespace {

class FaultsTest : public HomeFixture {
  protected:
    // A message of about `lines` body lines, so that a cut can fall in its middle.
    QByteArray Message(const QString& subject, int lines = 3) const
    {
        return JapaneseMessage(
            "差出人", Address("sender"), subject,
            QString("行目：いつもお世話になっております。資料を送付いたします。\n").repeated(lines));
    }
    // Message files in a folder (hidden temporaries included), the fetch state left out.
    static QStringList Files(const QString& folder)
    {
        QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        files.removeIf([](const QString& f) { return f.contains("uidl", Qt::CaseInsensitive); });
        return files;
    }
};

TEST_F(FaultsTest, Pop3ConnectionCutInTheMiddleOfARetrIsFetchedAgainOnceNextTick)
{
    Forwarding(Address("copy"));
    const QByteArray big = Message("大きな二通目", 4000), big5 = Message("大きな五通目", 4000);
    ASSERT_GT(big.size(), 120000);
    // Each round relays through a fresh proxy that cuts its second RETR after 40000 bytes. In the
    // first round a third RETR fails on the dead connection; in the second the cut message is the
    // tick's last, so only the check after it can show the cut.
    const auto cutRound = [&](const QList<QByteArray>& messages, const QStringList& afterCut,
                              const QStringList& all) {
        PortHelper proxy("pop3_cut_proxy.py", {QString::number(Servers().pop3Port), "2", "40000"});
        ASSERT_GT(proxy.port, 0) << proxy.p.readAllStandardError().toStdString();
        Set("portpop", proxy.Port());
        WriteSettings();
        for (const QByteArray& message : messages)
            Deliver(message);

        const Run cut = PollOnce(kAnyStatus);
        QByteArray said;
        EXPECT_TRUE(ReadUntil(proxy.p, said, "CUT", 1, 1000)) << "no cut";
        EXPECT_NE(cut.status, -2) << "the program must not crash: " << cut.err.toStdString();
        EXPECT_EQ(SortedSubjects(), afterCut);
        EXPECT_EQ(Files(WorkFolder()).size(), afterCut.size()) << Files(WorkFolder()).join(' ').toStdString();

        PollOnce();
        EXPECT_EQ(SortedSubjects(), all);
        EXPECT_EQ(Files(WorkFolder()).size(), all.size());
    };
    cutRound({Message("一通目"), big, Message("三通目")}, {"一通目"}, {"一通目", "三通目", "大きな二通目"});
    EXPECT_EQ(ReadFile(PathOf("大きな二通目")), big) << "the second fetch stores the whole message";
    cutRound({Message("四通目"), big5}, {"一通目", "三通目", "四通目", "大きな二通目"},
             {"一通目", "三通目", "四通目", "大きな二通目", "大きな五通目"});
    EXPECT_EQ(ReadFile(PathOf("大きな五通目")), big5);

    // Nothing comes twice: a last tick finds nothing new, the sink got one forward each.
    Set("portpop", QString::number(Servers().pop3Port));
    WriteSettings();
    EXPECT_TRUE(PollOnce().out.startsWith("0 messages fetched"));
    EXPECT_EQ(Subjects().size(), 5);
    EXPECT_EQ(Servers().SinkMessagesTo(Address("copy")).size(), 5u);
}

TEST_F(FaultsTest, WorkFolderOnAFullFileSystemLosesNothingAndCatchesUpOnceSpaceIsFreed)
{
    Set("Interval", "1000");
    WriteSettings();
    ASSERT_TRUE(QDir().mkpath(WorkFolder()));
    const QByteArray big = Message("満杯時の大きな一通", 1500);
    for (const QByteArray& message : {Message("満杯時の一通目"), big, Message("満杯時の三通目")})
        Deliver(message);

    // A private mount namespace with a full 256 KiB tmpfs over the work folder, seen through
    // /proc/<pid>/root.
    QProcess service;
    service.setProcessEnvironment(m_env);
    service.start("unshare",
                  {"-m", "--propagation", "private", "sh", "-c",
                   "mount -t tmpfs -o size=256k lwfull \"$1\" || exit 77; head -c 1048576 /dev/zero > "
                   "\"$1/filler\" 2>/dev/null; exec \"$2\" --home \"$3\" --service --print-to \"$3/pdf\"",
                   "sh", WorkFolder(), LW_PROGRAM, Home()});
    QByteArray out;
    if (!ReadUntil(service, out, " finished: ", 3, 90000)) {
        service.waitForFinished(1000);
        const QString err = service.readAllStandardError();
        if (service.state() == QProcess::NotRunning && (service.exitCode() == 77 || err.contains("unshare")))
            GTEST_SKIP() << "no private tmpfs mount here: " << err.toStdString();
        FAIL() << "the service did not tick: " << out.toStdString() << err.toStdString();
    }
    const QString root = QString("/proc/%1/root").arg(service.processId()), work = root + WorkFolder();

    // Full: nothing counts as delivered, no partial file is left, the service says why.
    EXPECT_TRUE(Subjects().isEmpty());
    EXPECT_EQ(Files(work), QStringList{"filler"});
    EXPECT_TRUE(service.readAllStandardError().contains("No space left on device"));

    ASSERT_TRUE(QFile::remove(work + "/filler"));
    ASSERT_TRUE(ReadUntil(service, out, " finished: ", int(out.count(" finished: ")) + 2, 90000))
        << out.toStdString();
    EXPECT_EQ(SortedSubjects(), (QStringList{"満杯時の一通目", "満杯時の三通目", "満杯時の大きな一通"}));
    EXPECT_EQ(ReadFile(root + PathOf("満杯時の大きな一通")), big);
    EXPECT_EQ(Files(work).size(), 3) << Files(work).join(' ').toStdString();
    EXPECT_EQ(Finish(service, SIGTERM), 0);
}

TEST_F(FaultsTest, ListDatabaseLockedByAnotherProcessIsRetriedNextTickWithoutLosingRows)
{
    WriteSettings();
    const QString sender = Address("locked");
    AddRule(sender, "001100"); // clear and log: one processing row and one deletion per message
    DeliverJp("施錠", sender, "ロック中の一通目");
    DeliverJp("施錠", sender, "ロック中の二通目");

    // Another process (this one) holds an exclusive transaction and adds a rule row inside it.
    const Peek holder(File("list.db"));
    holder.Exec("BEGIN EXCLUSIVE");
    holder.Exec("INSERT INTO tblList (アドレス) VALUES ('holder@example.jp')");
    EXPECT_NE(PollOnce(kAnyStatus).status, -2);
    EXPECT_TRUE(LogTexts().join('\n').contains("lock", Qt::CaseInsensitive)) << LogTexts().join('\n');
    EXPECT_TRUE(Subjects().isEmpty());

    holder.Exec("COMMIT");
    PollOnce();
    EXPECT_EQ(SortedSubjects(), (QStringList{"ロック中の一通目", "ロック中の二通目"}));
    EXPECT_EQ(History("ボックスクリア"), (QStringList{"1", "1"}));
    EXPECT_EQ(Servers().MailboxCount(User()), 0);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM tblList WHERE アドレス = 'holder@example.jp'"), QStringList{"1"})
        << "the other process's row is kept";
}

TEST_F(FaultsTest, ServiceKilledAtRandomMomentsSkipsNoMessageAndLeavesNoneOnTheServer)
{
    constexpr int kMessages = 150, kKills = 40;
    Set("Interval", "1");
    WriteSettings();
    const QString sender = Address("killed");
    AddRule(sender, "011100"); // save, clear and log
    QStringList subjects;
    for (int i = 0; i < kMessages; ++i) {
        subjects << QString("強制終了%1").arg(i, 3, 10, QChar(u'0'));
        DeliverJp("終了", sender, subjects.back());
    }
    // SIGKILL at random moments of the service's ticks: between fetch and handling, inside the
    // handling, between the recorded deletions and the QUIT.
    QRandomGenerator random(20240521);
    for (int i = 0; i < kKills; ++i) {
        QProcess service;
        Start(service, {"--service"});
        QThread::msleep(30 + random.bounded(400));
        service.kill();
        ASSERT_TRUE(service.waitForFinished(60000)) << "a killed service did not end";
    }
    for (int i = 0; i < kMessages / 10 + 3 && Servers().MailboxCount(User()) > 0; ++i)
        PollOnce();
    PollOnce();

    EXPECT_EQ(Servers().MailboxCount(User()), 0) << "a decided deletion was lost";
    EXPECT_EQ(SortedSubjects(), subjects) << "a message was never handled";
    EXPECT_EQ(History("メール保存 || ボックスクリア"), QStringList(kMessages, "11"));
    // Each message stored and saved under one name: no second copy came in under another.
    EXPECT_EQ(Files(File("mail")).size(), kMessages) << Files(File("mail")).join(' ').toStdString();
    EXPECT_EQ(Files(WorkFolder()).filter(".eml").size(), kMessages);
}

} // namespace
} // namespace lw::test
