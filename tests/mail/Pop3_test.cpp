// POP3 fetch and deletion against the loopback Dovecot of tools/test-servers.
#include "mail/Pop3Fetch.h"
#include "mail/Pop3Session.h"
#include "mail/UidlState.h"
#include "support/Files.h"
#include "support/TestServers.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

using namespace lw::mail;

namespace {

QByteArray Message(int i, int bodyBytes = 40)
{
    const QByteArray n = QByteArray::number(i);
    return "From: sender" + n + "@example.jp\r\nTo: box@example.jp\r\nSubject: message " + n + "\r\n\r\n" +
           QByteArray(bodyBytes, 'x') + "\r\n.leading dot\r\nend " + n + "\r\n";
}

std::string Base(const std::string& path)
{
    return QFileInfo(QString::fromStdString(path)).fileName().toStdString();
}

std::vector<SettledMessage> Handled(const std::vector<std::string>& messages)
{
    std::vector<SettledMessage> settled;
    for (const std::string& p : messages)
        settled.push_back({Base(p), Settlement::Handled});
    return settled;
}

// A fetch in a session of its own: the messages stored, settled as handled when settle is set.
std::vector<std::string> FetchOnce(const Pop3Endpoint& endpoint, const std::string& folder,
                                   std::string& error, bool settle = true)
{
    Pop3Mailbox mailbox(endpoint, folder);
    FetchResult got = mailbox.FetchNewMessages(10);
    error = got.error;
    EXPECT_TRUE(!settle || mailbox.Settle(Handled(got.messages)).Ok());
    return got.messages;
}

// One leased mailbox, the test CA and a work folder; Fetch and Delete as the service calls them.
class Pop3Test : public ::testing::Test {
  protected:
    void SetUp() override
    {
        QString reason;
        servers = lw::test::TestServers::Load(&reason);
        if (!servers) GTEST_SKIP() << reason.toStdString();
        box = servers->LeaseMailbox();
        ASSERT_TRUE(box);
        host = servers->host.toStdString();
        qputenv("LARCHWATCHER_CA_FILE", servers->caFile.toLocal8Bit());
    }
    void TearDown() override { qunsetenv("LARCHWATCHER_CA_FILE"); }
    void Deliver(int from, int to, int bodyBytes = 40)
    {
        for (int i = from; i < to; ++i)
            ASSERT_TRUE(servers->Deliver(box->User(), Message(i, bodyBytes)));
    }
    std::vector<std::string> Fetch(std::optional<Pop3Endpoint> endpoint = {}, bool settle = true)
    {
        return FetchOnce(endpoint.value_or(Box()), folder, lastError, settle);
    }
    // A deletion in a session of its own, as the next cycle would carry it out.
    bool Delete(const std::string& base)
    {
        lastError = Pop3Mailbox(Box(), folder).DeleteStoredMessage(base).error;
        return lastError.empty();
    }
    Pop3Endpoint Box(int port = 0) const
    {
        return {.host = host,
                .port = port ? port : servers->pop3Port,
                .account = box->User().toStdString(),
                .password = box->Password().toStdString()};
    }
    size_t Listed(Pop3Session& s)
    {
        std::vector<Pop3Message> listing;
        EXPECT_TRUE(s.List(listing, lastError)) << lastError;
        return listing.size();
    }
    int Count() const { return servers->MailboxCount(box->User()); }
    // The server drops the mailbox's sessions; one lost before its QUIT forgets its DELEs.
    void Kick() const
    {
        const QStringList kick{"-c", servers->stateDir + "/dovecot/dovecot.conf", "kick", box->User()};
        ASSERT_EQ(QProcess::execute("doveadm", kick), 0);
        QThread::msleep(300); // the close has arrived: libcurl sees a dead connection before sending
    }
    size_t StateSize()
    {
        UidlState state;
        EXPECT_TRUE(state.Load(folder, host, box->User().toStdString(), lastError)) << lastError;
        return state.Entries().size();
    }

    std::optional<lw::test::TestServers> servers;
    std::optional<lw::test::MailboxLease> box;
    QTemporaryDir work;
    std::string host, folder = work.path().toStdString();
    std::string lastError; // of the last fetch, deletion, listing or state read
};

} // namespace

TEST_F(Pop3Test, FetchesAtMostTenInServerOrderNeverTwiceAndDeletesExactlyTheOneNamed)
{
    Deliver(0, 1);
    Deliver(1, 2, 200000); // more than one read buffer
    Deliver(2, 13);
    std::vector<std::string> all;
    for (size_t expected : {10u, 3u}) {
        const auto got = Fetch();
        ASSERT_EQ(got.size(), expected) << lastError;
        all.insert(all.end(), got.begin(), got.end());
    }
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(lw::test::ReadFile(QString::fromStdString(all[i])), Message(i, i == 1 ? 200000 : 40))
            << i << " not byte-exact or out of order";
    EXPECT_TRUE(Fetch().empty() && lastError.empty()) << "nothing new is no error";
    ASSERT_TRUE(Delete(Base(all[2]))) << lastError;
    // Had another message gone, the one named would come again or still be known.
    EXPECT_TRUE(Fetch().empty());
    EXPECT_FALSE(Delete(Base(all[2]))) << "a name no longer known deletes nothing";
    EXPECT_EQ(Count(), 12);
}

TEST_F(Pop3Test, ARefusedLoginFetchesNothingAndTheBestLoginStartTlsAndPop3sWork)
{
    Deliver(1, 2);
    Pop3Endpoint wrong = Box();
    wrong.password += "wrong";
    EXPECT_TRUE(Fetch(wrong).empty());
    EXPECT_FALSE(lastError.empty());
    Pop3Session refused(wrong);
    std::vector<Pop3Message> listing;
    EXPECT_TRUE(!refused.List(listing, lastError) && refused.Broken());
    EXPECT_TRUE(QDir(work.path()).entryList(QDir::Files).filter(".eml").isEmpty());
    EXPECT_EQ(Fetch().size(), 1u) << "the message is still to be delivered";

    // The best login the server offers, over STARTTLS because the server offers it.
    const QString log = servers->stateDir + "/dovecot/dovecot.log";
    const qint64 mark = QFileInfo(log).size();
    Pop3Session s(Box());
    EXPECT_EQ(Listed(s), 1u);
    // Dovecot's login lines for this user over TLS with CRAM-MD5, logged a little later.
    const auto logins = [&] {
        int n = 0;
        for (const QByteArray& line : lw::test::ReadFile(log).mid(mark).split('\n'))
            n += line.contains("Login: user=<" + box->User().toUtf8() + ">") &&
                 line.contains("method=CRAM-MD5") && line.contains("TLS");
        return n;
    };
    (void)QTest::qWaitFor([&] { return logins() > 0; }, 3000);
    QThread::msleep(150); // so that extra lines count too
    EXPECT_EQ(logins(), 1);
    // A later STARTTLS session resumes an earlier one's TLS; under another extra CA file it verifies anew.
    const auto resumed = [&] {
        Pop3Session s(Box());
        Listed(s);
        return s.TlsResumed();
    };
    (void)resumed();
    EXPECT_TRUE(resumed());
    QTemporaryDir other;
    ASSERT_TRUE(QFile::copy(servers->caFile, other.filePath("ca.pem")));
    qputenv("LARCHWATCHER_CA_FILE", other.filePath("ca.pem").toLocal8Bit());
    EXPECT_FALSE(resumed());
    EXPECT_TRUE(resumed());
    qputenv("LARCHWATCHER_CA_FILE", servers->caFile.toLocal8Bit());
    // POP3S against the extra CA; the deletion, given the plain port, finds the port through the state.
    host = "localhost";
    Pop3Endpoint pop3s = Box(servers->pop3sPort);
    pop3s.implicitTls = true;
    const auto got = Fetch(pop3s);
    ASSERT_EQ(got.size(), 1u) << lastError;
    EXPECT_EQ(lw::test::ReadFile(QString::fromStdString(got.front())), Message(1));
    EXPECT_TRUE(Delete(Base(got.front()))) << lastError;
    EXPECT_EQ(Count(), 0);
}

TEST_F(Pop3Test, DeletionAfterALostSessionNeverHitsAnotherMessage)
{
    Deliver(0, 3);
    {
        Pop3Mailbox mailbox(Box(), folder);
        const auto got = mailbox.FetchNewMessages(10).messages;
        ASSERT_EQ(got.size(), 3u);
        // The server drops the kept session; another client removes the first message: numbers shift down.
        Kick();
        {
            Pop3Session other(Box());
            ASSERT_EQ(Listed(other), 3u);
            ASSERT_TRUE(other.Delete(1, lastError)) << lastError;
        }
        // Number 2 of the lost session is now the third message: the second must be the one deleted.
        std::vector<SettledMessage> settled = Handled(got);
        settled[1].settlement = Settlement::HandledDelete;
        EXPECT_EQ(mailbox.Settle(settled).error, "");
    }
    // Had the third gone instead, the second (no longer in the state) would come again.
    EXPECT_EQ(Count(), 1);
    EXPECT_TRUE(Fetch().empty()) << "the wrong message was deleted";
}

TEST_F(Pop3Test, UnsettledMessagesComeFirstAndARecordedDeletionOutlivesItsSession)
{
    Deliver(0, 4);
    // Never settled (the program ended meanwhile): handed out first again, within the ten, not stored twice.
    const auto first = Fetch({}, false);
    ASSERT_EQ(first.size(), 4u) << lastError;
    Deliver(4, 12);
    {
        Pop3Mailbox mailbox(Box(), folder);
        const FetchResult again = mailbox.FetchNewMessages(10);
        ASSERT_EQ(again.messages.size(), 10u) << again.error;
        EXPECT_EQ(std::vector<std::string>(again.messages.begin(), again.messages.begin() + 4), first);
        std::vector<SettledMessage> settled = Handled(again.messages);
        settled[0].settlement = Settlement::HandledDelete;
        settled[1].settlement = Settlement::Left;
        EXPECT_TRUE(mailbox.Settle(settled).Ok());
        Kick(); // the session is lost before its QUIT
    }
    EXPECT_EQ(Count(), 12);
    // The next fetch carries the recorded deletion out; the message left comes again.
    const auto third = Fetch({}, false);
    EXPECT_EQ(Count(), 11) << "the recorded deletion was not carried out";
    ASSERT_EQ(third.size(), 3u) << lastError;
    EXPECT_EQ(third[0], first[1]);
    // A message left is no failed hand-out: handed out kMaxHandOuts times more, then never again.
    for (int i = 1; i < kMaxHandOuts; ++i)
        EXPECT_EQ(Fetch({}, false).size(), 3u) << i;
    const FetchResult last = Pop3Mailbox(Box(), folder).FetchNewMessages(10);
    EXPECT_TRUE(last.messages.empty());
    EXPECT_EQ(last.abandoned, third);
    EXPECT_TRUE(Fetch().empty());
    EXPECT_EQ(StateSize(), 11u);
}

TEST(UidlState, BaseNamesAreSafeAndUniqueAndAForeignFileIsAnError)
{
    QTemporaryDir dir;
    EXPECT_EQ(UidlState::SafeName("a/b\\c:d*e"), "a_b_c_d_e");
    EXPECT_EQ(UidlState::SafeName(".hidden"), "m.hidden");
    UidlState s;
    std::string error;
    ASSERT_TRUE(s.Load(dir.path().toStdString(), "h", "a", error));
    s.Add("a/b", "a_b.eml");
    EXPECT_EQ(s.NewBaseName("a:b", {}), "a_b-2.eml") << "two UIDLs with one safe form get different names";
    EXPECT_EQ(s.NewBaseName("a:b", {"a_b-2.eml"}), "a_b-3.eml");
    // Lookups stay right after messages leave the server and others arrive.
    s.Add("u2", "u2.eml");
    s.Add("u3", "u3.eml");
    s.Retain({"u2", "u3"});
    s.Add("u4", "u4.eml");
    EXPECT_EQ(s.FindUidl("a/b"), nullptr);
    EXPECT_EQ(s.FindBaseName("a_b.eml"), nullptr);
    for (const std::string u : {"u2", "u3", "u4"}) {
        ASSERT_NE(s.FindUidl(u), nullptr) << u;
        EXPECT_EQ(s.FindUidl(u)->baseName, u + ".eml");
        EXPECT_EQ(s.FindBaseName(u + ".eml")->uidl, u);
    }
    EXPECT_EQ(s.NewBaseName("a:b", {}), "a_b.eml") << "a forgotten name is free again";
    // A file that is not ours is an error, not an empty state (which would deliver everything again).
    ASSERT_TRUE(lw::test::WriteFile(QString::fromStdString(s.Path()), "garbage\n"));
    EXPECT_FALSE(s.Load(dir.path().toStdString(), "h", "a", error));
}

TEST(Pop3, ServerWithoutUidlOrSaslUsesUserPassAndHeaderHashes)
{
    // An old server (tools/pop3-no-uidl-server.py): no CAPA, no UIDL, USER/PASS only.
    QTemporaryDir dir, work;
    std::string lastError;
    QStringList files;
    const QList<QByteArray> messages{Message(1), Message(7), Message(7), Message(2)};
    for (const QByteArray& m : messages)
        files << lw::test::WriteFile(dir.path(), QStringLiteral("src%1.eml").arg(files.size()), m);
    QProcess server; // prints its port, then serves until killed
    server.start("/usr/bin/python3", QStringList{LW_SOURCE_DIR "/tools/pop3-no-uidl-server.py", "old",
                                                 "secret", dir.filePath("state")} +
                                         files);
    ASSERT_TRUE(server.waitForReadyRead(10000)) << "the old-server helper did not start";
    const std::string host = "127.0.0.1", folder = work.path().toStdString();
    Pop3Endpoint old = *MakePop3Endpoint(host, server.readLine().trimmed().toInt());
    old.account = "old";
    old.password = "secret";
    const auto fetch = [&] { return FetchOnce(old, folder, lastError); };

    const auto got = fetch();
    ASSERT_EQ(got.size(), 4u) << lastError;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(lw::test::ReadFile(QString::fromStdString(got[i])), messages[i]);
    EXPECT_NE(got[1], got[2]) << "two identical messages still get two names";

    // Deleting the second copy of the twins removes exactly that one.
    EXPECT_EQ(Pop3Mailbox(old, folder).DeleteStoredMessage(Base(got[2])).error, "");
    EXPECT_EQ(lw::test::ReadFile(dir.filePath("state.remaining")),
              (files[0] + "\n" + files[1] + "\n" + files[3]).toUtf8());
    EXPECT_TRUE(fetch().empty());

    // A mailbox that had real UIDLs is not read by hashes when UIDL fails: nothing is delivered again.
    UidlState state;
    ASSERT_TRUE(state.Load(folder, host, "old", lastError));
    state.Add("000000016b16a8a8", "000000016b16a8a8.eml");
    ASSERT_TRUE(state.Save(lastError));
    EXPECT_TRUE(fetch().empty());
    EXPECT_NE(lastError.find("UIDL"), std::string::npos) << lastError;
    ASSERT_TRUE(state.Load(folder, host, "old", lastError));
    EXPECT_EQ(state.Entries().size(), 4u) << "the state must be left as it was";
    server.kill();
    server.waitForFinished();
}
