// The real program under faults: it keeps going, says why, and loses or repeats no message.
#include "e2e/HomeFixture.h"

#include <QElapsedTimer>

namespace lw::test {
namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");

class FaultsTest : public HomeFixture {
protected:
    // A message of about `lines` body lines, so that a cut can fall in its middle.
    QByteArray Message(const QString& subject, int lines = 3) const
    {
        QString body;
        for (int i = 0; i < lines; ++i) body += QStringLiteral("%1 行目：いつもお世話になっております。資料を送付いたします。\n").arg(i);
        return JapaneseMessage(QStringLiteral("差出人"), Address("sender"), subject, body);
    }

    // Reads the helper's output until a line starting with prefix comes; the rest of that line.
    static std::optional<QString> WaitForLine(QProcess& p, const QString& prefix, int ms = 15000)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) {
            while (p.canReadLine()) {
                const QString line = QString::fromUtf8(p.readLine()).trimmed();
                if (line.startsWith(prefix)) return line.mid(prefix.size()).trimmed();
            }
            if (p.state() == QProcess::NotRunning) return std::nullopt;
            p.waitForReadyRead(200);
        }
        return std::nullopt;
    }

    // Waits until the service's output has `count` finished ticks; its stdout collects in out.
    static bool WaitForTicks(QProcess& p, QByteArray& out, int count, int ms = 90000)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) {
            out += p.readAllStandardOutput();
            if (out.count(" finished: ") >= count) return true;
            if (p.state() == QProcess::NotRunning) return false;
            p.waitForReadyRead(200);
        }
        return false;
    }

    // Message files in a folder (hidden temporaries included), the fetch state left out.
    static QStringList Files(const QString& folder)
    {
        QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        files.removeIf([](const QString& f) { return f.contains(QStringLiteral("uidl"), Qt::CaseInsensitive); });
        return files;
    }

    QStringList SortedSubjects()
    {
        QStringList subjects = Subjects();
        subjects.sort();
        return subjects;
    }
};

TEST_F(FaultsTest, Pop3ConnectionCutInTheMiddleOfARetrIsFetchedAgainOnceNextTick)
{
    QProcess proxy;
    proxy.start(kPython, {QStringLiteral(LW_SOURCE_DIR "/tests/e2e/pop3_cut_proxy.py"), QStringLiteral("--target-port"),
                          QString::number(Servers().pop3Port), QStringLiteral("--cut-retr"), QStringLiteral("2"),
                          QStringLiteral("--cut-bytes"), QStringLiteral("40000")});
    const auto port = WaitForLine(proxy, QStringLiteral("PORT "));
    ASSERT_TRUE(port.has_value()) << proxy.readAllStandardError().toStdString();
    Set("portpop", *port);
    Set("flgtrs", "1");
    Set("flgtrstgt", "0");
    Set("trsto", Address("copy"));
    WriteSettings();
    const QByteArray big = Message(QStringLiteral("大きな二通目"), 4000);
    ASSERT_GT(big.size(), 120000);
    Deliver(Message(QStringLiteral("一通目")));
    Deliver(big);
    Deliver(Message(QStringLiteral("三通目")));

    // The second RETR is cut after 40000 bytes: the first message stays, the second leaves no trace.
    Run cut = PollOnce();
    EXPECT_TRUE(WaitForLine(proxy, QStringLiteral("CUT"), 1000).has_value()) << "the relay did not cut";
    EXPECT_NE(cut.status, -2) << "the program must not crash: " << cut.err.toStdString();
    EXPECT_EQ(Subjects(), QStringList{QStringLiteral("一通目")});
    EXPECT_EQ(Files(WorkFolder()).size(), 1) << Files(WorkFolder()).join(' ').toStdString();
    EXPECT_EQ(Servers().SinkMessagesTo(Address("copy")).size(), 1u);

    Run next = PollOnce();
    EXPECT_EQ(next.status, 0) << next.err.toStdString();
    EXPECT_EQ(SortedSubjects(), (QStringList{QStringLiteral("一通目"), QStringLiteral("三通目"), QStringLiteral("大きな二通目")}));
    EXPECT_EQ(ReadAll(PathOf(QStringLiteral("大きな二通目"))), big) << "the second fetch stores the whole message";
    EXPECT_EQ(Files(WorkFolder()).size(), 3);

    // Nothing comes twice: a third tick finds nothing new, the sink got one forward each.
    Run quiet = PollOnce();
    EXPECT_EQ(quiet.status, 0) << quiet.err.toStdString();
    EXPECT_TRUE(quiet.out.startsWith(QStringLiteral("0 messages fetched"))) << quiet.out.toStdString();
    EXPECT_EQ(Subjects().size(), 3);
    EXPECT_EQ(Servers().SinkMessagesTo(Address("copy")).size(), 3u);
    proxy.kill();
    proxy.waitForFinished();
}

TEST_F(FaultsTest, SmtpServerRefusingOrHangingGivesAnErrorLineWithinTheTimeOutAndTheCycleGoesOn)
{
    Set("flgtrs", "1");
    Set("flgtrstgt", "0");
    Set("trsto", Address("refuse-data"));
    Set("timeoutsmtp", "3");
    WriteSettings();
    Deliver(Message(QStringLiteral("拒否される一通目")));
    Deliver(Message(QStringLiteral("拒否される二通目")));
    Run refused = PollOnce();
    EXPECT_EQ(refused.status, 0) << refused.err.toStdString();
    const QStringList refusedLog = LogTexts();
    EXPECT_EQ(refusedLog.filter(QStringLiteral("転送エラー[")).size(), 2) << refusedLog.join('\n').toStdString();
    EXPECT_EQ(refusedLog.filter(QStringLiteral("マクロ転送[")).size(), 2);
    EXPECT_EQ(Subjects().size(), 2);

    Set("trsto", Address("hang"));
    WriteSettings();
    Deliver(Message(QStringLiteral("止まる一通目")));
    Deliver(Message(QStringLiteral("止まる二通目")));
    QElapsedTimer timer;
    timer.start();
    Run hung = PollOnce();
    const qint64 elapsed = timer.elapsed();
    EXPECT_EQ(hung.status, 0) << hung.err.toStdString();
    // Each send gives up within twice the time-out (connection plus transfer), plus start-up.
    EXPECT_LT(elapsed, 2 * (2 * 3 + 2) * 1000 + 10000);
    const QStringList log = LogTexts();
    const QStringList errors = log.filter(QStringLiteral("転送エラー["));
    ASSERT_EQ(errors.size(), 4) << log.join('\n').toStdString();
    EXPECT_TRUE(errors[2].contains(PathOf(QStringLiteral("止まる一通目")))) << errors[2].toStdString();
    EXPECT_TRUE(errors[3].contains(PathOf(QStringLiteral("止まる二通目")))) << errors[3].toStdString();
    EXPECT_EQ(Column(QStringLiteral("止まる二通目"), "メール転送"), "1");
    EXPECT_TRUE(Servers().SinkMessagesTo(Address("hang")).empty());
}

TEST_F(FaultsTest, WorkFolderOnAFullFileSystemLosesNothingAndCatchesUpOnceSpaceIsFreed)
{
    Set("Interval", "1000");
    WriteSettings();
    ASSERT_TRUE(QDir().mkpath(WorkFolder()));
    const QByteArray big = Message(QStringLiteral("満杯時の大きな一通"), 1500);
    Deliver(Message(QStringLiteral("満杯時の一通目")));
    Deliver(big);
    Deliver(Message(QStringLiteral("満杯時の三通目")));

    // A private mount namespace with a 256 KiB tmpfs over the work folder, filled up before the
    // program starts; the test sees that file system through /proc/<pid>/root.
    const QString script = QStringLiteral(
        "mount -t tmpfs -o size=256k lwfull \"$1\" || exit 77; "
        "head -c 1048576 /dev/zero > \"$1/filler\" 2>/dev/null; "
        "exec \"$2\" --home \"$3\" --service --print-to \"$3/pdf\"");
    QProcess service;
    service.setProcessEnvironment(Environment());
    service.start(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                                              QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral("sh"),
                                              WorkFolder(), QStringLiteral(LW_PROGRAM), Home()});
    QByteArray out;
    if (!WaitForTicks(service, out, 3)) {
        service.waitForFinished(1000);
        const QString err = QString::fromUtf8(service.readAllStandardError());
        if (service.state() == QProcess::NotRunning && (service.exitCode() == 77 || err.contains(QStringLiteral("unshare"))))
            GTEST_SKIP() << "no private tmpfs mount here: " << err.toStdString();
        FAIL() << "the service did not tick: " << out.toStdString() << err.toStdString();
    }
    const QString work = QStringLiteral("/proc/%1/root%2").arg(service.processId()).arg(WorkFolder());
    ASSERT_TRUE(QFileInfo::exists(work + Sep() + "filler")) << work.toStdString();

    // Full: nothing counts as delivered, no partial file is left, the service says why.
    EXPECT_TRUE(Subjects().isEmpty());
    EXPECT_EQ(Files(work), QStringList{QStringLiteral("filler")});
    const QString err = QString::fromUtf8(service.readAllStandardError());
    EXPECT_TRUE(err.contains(QStringLiteral("No space left on device"))) << err.toStdString();

    ASSERT_TRUE(QFile::remove(work + Sep() + "filler"));
    const int before = static_cast<int>(out.count(" finished: "));
    ASSERT_TRUE(WaitForTicks(service, out, before + 2)) << out.toStdString();
    EXPECT_EQ(SortedSubjects(), (QStringList{QStringLiteral("満杯時の一通目"), QStringLiteral("満杯時の三通目"),
                                     QStringLiteral("満杯時の大きな一通")}));
    const QString bigPath = PathOf(QStringLiteral("満杯時の大きな一通"));
    EXPECT_EQ(ReadAll(QStringLiteral("/proc/%1/root%2").arg(service.processId()).arg(bigPath)), big);
    EXPECT_EQ(Files(work).size(), 3) << Files(work).join(' ').toStdString();
    EXPECT_EQ(StopService(service), 0);
}

TEST_F(FaultsTest, ListDatabaseLockedByAnotherProcessIsRetriedNextTickWithoutLosingRows)
{
    WriteSettings();
    const QString sender = Address("locked");
    AddRule(sender, "001100");  // clear and log: one processing row and one deletion per message
    for (const QString& subject : {QStringLiteral("ロック中の一通目"), QStringLiteral("ロック中の二通目")})
        Deliver(JapaneseMessage(QStringLiteral("施錠"), sender, subject, QStringLiteral("本文")));

    // Another process holds an exclusive transaction and adds a rule row inside it.
    QProcess holder;
    holder.start(kPython, {QStringLiteral("-c"),
                           QStringLiteral("import sqlite3, sys\n"
                                          "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                          "c.execute('BEGIN EXCLUSIVE')\n"
                                          "c.execute(\"INSERT INTO tblList (アドレス) VALUES ('holder@example.jp')\")\n"
                                          "print('LOCKED', flush=True)\n"
                                          "sys.stdin.readline()\n"
                                          "c.execute('COMMIT')\n"),
                           Home() + Sep() + "list.db"});
    ASSERT_TRUE(WaitForLine(holder, QStringLiteral("LOCKED")).has_value()) << holder.readAllStandardError().toStdString();

    Run locked = PollOnce();
    EXPECT_NE(locked.status, -2) << locked.err.toStdString();
    const QStringList lockedLog = LogTexts();
    EXPECT_FALSE(lockedLog.isEmpty()) << "the lock is logged";
    EXPECT_TRUE(lockedLog.join('\n').contains(QStringLiteral("lock"), Qt::CaseInsensitive)) << lockedLog.join('\n').toStdString();
    EXPECT_TRUE(Subjects().isEmpty());

    holder.write("\n");
    holder.closeWriteChannel();
    ASSERT_TRUE(holder.waitForFinished(10000));
    ASSERT_EQ(holder.exitCode(), 0) << holder.readAllStandardError().toStdString();

    Run next = PollOnce();
    EXPECT_EQ(next.status, 0) << next.err.toStdString();
    EXPECT_EQ(SortedSubjects(), (QStringList{QStringLiteral("ロック中の一通目"), QStringLiteral("ロック中の二通目")}));
    EXPECT_EQ(HistoryColumn(QStringLiteral("ボックスクリア")), (QStringList{"1", "1"}));
    EXPECT_EQ(LogTexts().filter(QStringLiteral("メールボックスクリア[")).size(), 2);
    EXPECT_EQ(Servers().MailboxCount(User()), 0);
    QSqlQuery q(Database());
    ASSERT_TRUE(q.exec(QStringLiteral("SELECT COUNT(*) FROM tblList WHERE アドレス = 'holder@example.jp'")));
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.value(0).toInt(), 1) << "the other process's row is kept";
}

TEST_F(FaultsTest, SettingsFileThatIsNotValidText)
{
    const QString ini = Home() + Sep() + QStringLiteral("larchwatcher.ini");
    auto write = [&ini](const QByteArray& bytes) {
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(bytes), bytes.size());
    };

    // Pure noise: a normal exit with a reason, no crash, no hang.
    QByteArray noise;
    for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 7919 + 13) % 256);
    write(noise);
    Run garbage = PollOnce();
    EXPECT_TRUE(garbage.status == 0 || garbage.status == 1) << garbage.status << garbage.err.toStdString();

    // Valid keys between broken lines (NUL bytes, lone CR, invalid UTF-8, Shift_JIS, a 200 KB
    // line, an unclosed section): every valid key is still read and the service runs.
    Set("Interval", "1000");
    WriteSettings();
    QByteArray text = ReadAll(ini);
    const QList<QByteArray> lines = text.split('\n');
    QByteArray mixed;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        mixed += lines[i] + '\n';
        if (i == 1) mixed += QByteArray("\x00\x01junk=\xff\xfe\r", 10) + "\r\n";
        if (i == 3) mixed += "\x83\x65\x83\x58\x83\x67=\x93\xfa\x96\x7b\n";  // Shift_JIS bytes
        if (i == 5) mixed += QByteArray(200000, 'x') + "\n";
    }
    mixed += "\xc3\x28=\xe2\x82\n[unclosed section\n";
    write(mixed);
    Deliver(Message(QStringLiteral("壊れた設定でも届く")));
    QProcess service;
    StartService(service);
    QByteArray out;
    ASSERT_TRUE(WaitForTicks(service, out, 2)) << out.toStdString() << service.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains("interval 1000 ms")) << out.toStdString();
    EXPECT_EQ(Subjects(), QStringList{QStringLiteral("壊れた設定でも届く")});
    EXPECT_EQ(StopService(service), 0);

    // The same settings saved by an editor as UTF-16 with a byte-order mark read the same.
    QString utf16Text = QString::fromUtf8(text);
    QByteArray utf16("\xff\xfe", 2);
    utf16.append(reinterpret_cast<const char*>(utf16Text.utf16()), utf16Text.size() * 2);
    write(utf16);
    Deliver(Message(QStringLiteral("UTF-16の設定でも届く")));
    Run run = PollOnce();
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(Subjects().size(), 2);
}

} // namespace
} // namespace lw::test
