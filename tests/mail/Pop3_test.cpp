// POP3 fetch and deletion against the loopback Dovecot of tools/test-servers.
#include "engine/mail/Pop3Fetch.h"
#include "engine/mail/Pop3Session.h"
#include "engine/mail/Transport.h"
#include "engine/mail/UidlState.h"
#include "support/TestServers.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace lw::mail;

namespace {

QByteArray Message(int i, int bodyBytes = 40)
{
    QByteArray m = "From: sender" + QByteArray::number(i) +
                   "@example.jp\r\nTo: box@example.jp\r\nSubject: message " + QByteArray::number(i) +
                   "\r\n\r\n";
    m += QByteArray(bodyBytes, 'x') + "\r\n.leading dot\r\nend " + QByteArray::number(i) + "\r\n";
    return m;
}

QByteArray ReadAll(const std::string& path)
{
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Sets LARCHWATCHER_CA_FILE for one test and restores it afterwards.
class CaFile {
  public:
    explicit CaFile(const QString& path)
    {
        setenv("LARCHWATCHER_CA_FILE", path.toLocal8Bit().constData(), 1);
    }
    ~CaFile() { unsetenv("LARCHWATCHER_CA_FILE"); }
};

// Counts Dovecot's login lines that contain every given word.
int LoginLines(const lw::test::TestServers& servers, const QString& user, const QStringList& words)
{
    QFile f(servers.stateDir + QStringLiteral("/dovecot/dovecot.log"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    int n = 0;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QString l = QString::fromUtf8(line);
        if (!l.contains(QStringLiteral("Login: user=<%1>").arg(user))) continue;
        bool all = true;
        for (const QString& w : words)
            all = all && l.contains(w);
        n += all ? 1 : 0;
    }
    return n;
}

// LoginLines once it reaches `atLeast` (the server logs through a separate process, a little
// later), or after 3 s; then a short settle so that extra lines would be counted too.
int LoginLinesAfter(const lw::test::TestServers& servers, const QString& user, const QStringList& words,
                    int atLeast)
{
    QElapsedTimer t;
    t.start();
    while (LoginLines(servers, user, words) < atLeast && t.elapsed() < 3000)
        QThread::msleep(20);
    QThread::msleep(150);
    return LoginLines(servers, user, words);
}

// A loopback port that accepts connections (kernel backlog) but never says a word; closed
// when listening is false, so a connection is refused.
class Listener {
  public:
    explicit Listener(bool listening)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            m_port = ntohs(a.sin_port);
        if (listening) {
            ::listen(m_fd, 8);
        } else {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Listener()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    int Port() const { return m_port; }

  private:
    int m_fd = -1;
    int m_port = 0;
};

Pop3Endpoint Endpoint(std::string host, int port, std::string user, std::string pass,
                      std::string options = {})
{
    Pop3Endpoint e;
    e.host = std::move(host);
    e.port = port;
    e.account = std::move(user);
    e.password = std::move(pass);
    e.loginOptions = std::move(options);
    return e;
}

std::string Plain(const lw::test::TestServers& s)
{
    return s.host.toStdString() + "\t" + std::to_string(s.pop3Port);
}

} // namespace

TEST(Pop3, FetchesAtMostTenNewMessagesInServerOrderAndNeverTwice)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    auto box = servers.LeaseMailbox();
    ASSERT_TRUE(box);
    CaFile ca(servers.caFile);
    QTemporaryDir work;
    const std::string user = box->User().toStdString();
    const std::string pass = "a " + box->Password().toStdString();
    for (int i = 0; i < 23; ++i)
        ASSERT_TRUE(servers.Deliver(box->User(), Message(i)));

    std::vector<std::string> all;
    for (size_t expected : {10u, 10u, 3u}) {
        const auto got = RcvMail(Plain(servers), user, pass, "SAVE 1-10", "<" + work.path().toStdString());
        ASSERT_TRUE(got) << LastPop3Error();
        ASSERT_EQ(got->size(), expected);
        all.insert(all.end(), got->begin(), got->end());
    }
    ASSERT_EQ(all.size(), 23u);
    for (int i = 0; i < 23; ++i) {
        const QFileInfo fi(QString::fromStdString(all[i]));
        EXPECT_EQ(fi.absolutePath(), QFileInfo(work.path()).absoluteFilePath());
        EXPECT_EQ(fi.suffix(), QStringLiteral("eml"));
        EXPECT_EQ(ReadAll(all[i]), Message(i)) << "message " << i << " not byte-exact or out of order";
    }
    // Nothing new: a non-list value, and the work folder holds no temporary leftovers.
    EXPECT_FALSE(RcvMail(Plain(servers), user, pass, "SAVE 1-10", "<" + work.path().toStdString()));
    EXPECT_EQ(QDir(work.path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".part")).size(),
              0);

    // A restart keeps the state: only messages that arrive later are delivered.
    EndMailSession();
    ASSERT_TRUE(servers.Deliver(box->User(), Message(100)));
    const auto later = RcvMail(Plain(servers), user, pass, "SAVE 1-10", "<" + work.path().toStdString());
    ASSERT_TRUE(later);
    ASSERT_EQ(later->size(), 1u);
    EXPECT_EQ(ReadAll(later->front()), Message(100));

    // UIDLs gone from the server are forgotten.
    servers.ClearMailbox(box->User());
    EXPECT_FALSE(RcvMail(Plain(servers), user, pass, "SAVE 1-10", "<" + work.path().toStdString()));
    UidlState state;
    std::string error;
    ASSERT_TRUE(state.Load(work.path().toStdString(), servers.host.toStdString(), user, error)) << error;
    EXPECT_TRUE(state.Entries().empty());
}

TEST(Pop3, DeluDeletesExactlyThatMessage)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    auto box = servers.LeaseMailbox();
    ASSERT_TRUE(box);
    CaFile ca(servers.caFile);
    QTemporaryDir work;
    const std::string user = box->User().toStdString();
    const std::string host = servers.host.toStdString();
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(servers.Deliver(box->User(), Message(i)));
    const auto got = RcvMail(Plain(servers), user, "a " + box->Password().toStdString(), "SAVE 1-10",
                             "<" + work.path().toStdString());
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 5u);
    const std::string third = QFileInfo(QString::fromStdString((*got)[2])).fileName().toStdString();

    // The deletion gets the bare host and the password as it stands.
    const auto deleted =
        RcvMail(host, user, box->Password().toStdString(), "DELU " + third, work.path().toStdString());
    ASSERT_TRUE(deleted) << LastPop3Error();
    EXPECT_TRUE(deleted->empty());
    EXPECT_EQ(servers.MailboxCount(box->User()), 4);

    // The others are still there and are not delivered again; the deleted one cannot be deleted twice.
    Pop3Endpoint e = Endpoint(host, servers.pop3Port, user, box->Password().toStdString());
    Pop3Session s(e);
    std::vector<Pop3Message> listing;
    std::string error;
    ASSERT_TRUE(s.List(listing, error)) << error;
    ASSERT_EQ(listing.size(), 4u);
    UidlState state;
    ASSERT_TRUE(state.Load(work.path().toStdString(), host, user, error));
    for (const Pop3Message& m : listing) {
        const auto* entry = state.FindUidl(m.uid);
        ASSERT_NE(entry, nullptr);
        EXPECT_NE(entry->baseName, third);
    }
    s.Quit();
    EXPECT_FALSE(RcvMail(Plain(servers), user, "a " + box->Password().toStdString(), "SAVE 1-10",
                         "<" + work.path().toStdString()));
    EXPECT_FALSE(
        RcvMail(host, user, box->Password().toStdString(), "DELU " + third, work.path().toStdString()));
    EXPECT_FALSE(
        RcvMail(host, user, box->Password().toStdString(), "DELU no-such.eml", work.path().toStdString()));
    EXPECT_EQ(servers.MailboxCount(box->User()), 4);
}

TEST(Pop3, SessionScopeReusesTheFetchSessionAndCommitsAtItsEnd)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    auto box = servers.LeaseMailbox();
    ASSERT_TRUE(box);
    CaFile ca(servers.caFile);
    QTemporaryDir work;
    const std::string user = box->User().toStdString();
    const std::string host = servers.host.toStdString();
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(servers.Deliver(box->User(), Message(i)));
    const int loginsBefore = LoginLinesAfter(servers, box->User(), {}, 0);
    {
        MailSessionScope scope;
        const auto got = RcvMail(Plain(servers), user, "a " + box->Password().toStdString(), "SAVE 1-10",
                                 "<" + work.path().toStdString());
        ASSERT_TRUE(got);
        ASSERT_EQ(got->size(), 4u);
        for (size_t i : {0u, 3u}) {
            const std::string base = QFileInfo(QString::fromStdString((*got)[i])).fileName().toStdString();
            EXPECT_TRUE(RcvMail(host, user, box->Password().toStdString(), "DELU " + base,
                                work.path().toStdString()));
        }
        // Deletions wait for QUIT at the end of the session.
        EXPECT_EQ(servers.MailboxCount(box->User()), 4);
    }
    EXPECT_EQ(servers.MailboxCount(box->User()), 2);
    EXPECT_EQ(LoginLinesAfter(servers, box->User(), {}, loginsBefore + 1) - loginsBefore, 1)
        << "deletions must reuse the fetch login";

    // EndMailSession commits in the middle of a scope too.
    MailSessionScope scope;
    const auto more = RcvMail(Plain(servers), user, "a " + box->Password().toStdString(), "SAVE 1-10",
                              "<" + work.path().toStdString());
    EXPECT_FALSE(more);
    ASSERT_TRUE(servers.Deliver(box->User(), Message(9)));
    const auto fresh = RcvMail(Plain(servers), user, "a " + box->Password().toStdString(), "SAVE 1-10",
                               "<" + work.path().toStdString());
    ASSERT_TRUE(fresh);
    const std::string base = QFileInfo(QString::fromStdString(fresh->front())).fileName().toStdString();
    EXPECT_TRUE(
        RcvMail(host, user, box->Password().toStdString(), "DELU " + base, work.path().toStdString()));
    EndMailSession();
    EXPECT_EQ(servers.MailboxCount(box->User()), 2);
}

TEST(Pop3, LoginMechanismsAndTls)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    auto box = servers.LeaseMailbox();
    ASSERT_TRUE(box);
    ASSERT_TRUE(servers.Deliver(box->User(), Message(1)));
    CaFile ca(servers.caFile);
    const std::string user = box->User().toStdString();
    const std::string pass = box->Password().toStdString();

    struct Case {
        std::string options;
        QString method;
    };
    for (const Case& c :
         {Case{"", QStringLiteral("method=CRAM-MD5")}, Case{"AUTH=+APOP", QStringLiteral("method=APOP")},
          Case{"AUTH=PLAIN", QStringLiteral("method=PLAIN")},
          Case{"AUTH=LOGIN", QStringLiteral("method=LOGIN")}}) {
        const int before = LoginLines(servers, box->User(), {c.method, QStringLiteral("TLS")});
        Pop3Endpoint e = Endpoint(servers.host.toStdString(), servers.pop3Port, user, pass, c.options);
        Pop3Session s(e);
        std::vector<Pop3Message> listing;
        std::string error;
        ASSERT_TRUE(s.List(listing, error)) << c.options << ": " << error;
        EXPECT_EQ(listing.size(), 1u);
        s.Quit();
        // STARTTLS was taken because the server offers it.
        EXPECT_EQ(
            LoginLinesAfter(servers, box->User(), {c.method, QStringLiteral("TLS")}, before + 1) - before, 1)
            << c.options;
    }

    // POP3S, certificate checked against the extra CA.
    QTemporaryDir work;
    const std::string pop3s = "pop3s://localhost\t" + std::to_string(servers.pop3sPort);
    const auto got = RcvMail(pop3s, user, "a " + pass, "SAVE 1-10", "<" + work.path().toStdString());
    ASSERT_TRUE(got) << LastPop3Error();
    EXPECT_EQ(ReadAll(got->front()), Message(1));
    // Its deletion, given the bare host, finds the same implicit-TLS port through the state.
    EXPECT_TRUE(RcvMail("localhost", user, pass,
                        "DELU " + QFileInfo(QString::fromStdString(got->front())).fileName().toStdString(),
                        work.path().toStdString()))
        << LastPop3Error();
    EXPECT_EQ(servers.MailboxCount(box->User()), 0);
}

TEST(Pop3, FailuresAreReportedQuicklyAndFetchNothing)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    auto box = servers.LeaseMailbox();
    ASSERT_TRUE(box);
    ASSERT_TRUE(servers.Deliver(box->User(), Message(1)));
    QTemporaryDir work;
    const std::string folder = "<" + work.path().toStdString();
    const std::string user = box->User().toStdString();
    const std::string pass = "a " + box->Password().toStdString();
    {
        // Without the test CA the certificate check fails, on STARTTLS and on POP3S alike.
        EXPECT_FALSE(RcvMail(Plain(servers), user, pass, "SAVE 1-10", folder));
        EXPECT_NE(LastPop3Error().find("certificate"), std::string::npos) << LastPop3Error();
        EXPECT_FALSE(RcvMail("pop3s://localhost\t" + std::to_string(servers.pop3sPort), user, pass,
                             "SAVE 1-10", folder));
    }
    CaFile ca(servers.caFile);
    EXPECT_FALSE(RcvMail(Plain(servers), user, pass + "wrong", "SAVE 1-10", folder));
    EXPECT_FALSE(LastPop3Error().empty());

    // A closed port fails at once; a server that never greets fails within the connect time-out.
    Listener silent(true);
    Listener closed(false);
    ASSERT_NE(silent.Port(), 0);
    const int closedPort = closed.Port();
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(RcvMail("127.0.0.1\t" + std::to_string(closedPort), user, pass, "SAVE 1-10", folder));
    EXPECT_LT(t.elapsed(), 3000);
    Pop3Endpoint e = Endpoint("127.0.0.1", silent.Port(), user, box->Password().toStdString());
    e.connectTimeoutSeconds = 2;
    Pop3Session s(e);
    std::vector<Pop3Message> listing;
    std::string error;
    t.restart();
    EXPECT_FALSE(s.List(listing, error));
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_TRUE(s.Broken());

    // Nothing was stored by any of these, and the message is still to be delivered.
    EXPECT_TRUE(
        QDir(work.path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".eml")).isEmpty());
    EXPECT_TRUE(RcvMail(Plain(servers), user, pass, "SAVE 1-10", folder));
}

TEST(Pop3, WriteFailureLosesNothingAndDeliversNothingTwice)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    auto box = servers.LeaseMailbox();
    ASSERT_TRUE(box);
    CaFile ca(servers.caFile);
    QTemporaryDir work;
    const std::string folder = "<" + work.path().toStdString();
    const std::string user = box->User().toStdString();
    const std::string pass = "a " + box->Password().toStdString();
    ASSERT_TRUE(servers.Deliver(box->User(), Message(1)));
    ASSERT_TRUE(servers.Deliver(box->User(), Message(2, 200000)));
    ASSERT_TRUE(servers.Deliver(box->User(), Message(3)));

    // A file size limit makes the large message's write fail as on a full disk.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto first = RcvMail(Plain(servers), user, pass, "SAVE 1-10", folder);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    ASSERT_TRUE(first);
    ASSERT_EQ(first->size(), 1u);
    EXPECT_EQ(ReadAll(first->front()), Message(1));
    EXPECT_EQ(QDir(work.path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".part")).size(),
              0);
    const auto rest = RcvMail(Plain(servers), user, pass, "SAVE 1-10", folder);
    ASSERT_TRUE(rest);
    ASSERT_EQ(rest->size(), 2u);
    EXPECT_EQ(ReadAll((*rest)[0]), Message(2, 200000));
    EXPECT_EQ(ReadAll((*rest)[1]), Message(3));
}

TEST(UidlState, BaseNamesAreSafeAndUniqueAndTheFileRoundTrips)
{
    EXPECT_EQ(UidlState::SafeName("000000016b16a8a8"), "000000016b16a8a8");
    EXPECT_EQ(UidlState::SafeName("a/b\\c:d*e"), "a_b_c_d_e");
    EXPECT_EQ(UidlState::SafeName(".hidden"), "m.hidden");
    EXPECT_EQ(UidlState::SafeName(""), "m");
    EXPECT_EQ(UidlState::FileName("mail.example.jp", "tarō/x"),
              "pop3-state-mail.example.jp@tar%C5%8D%2Fx.uidl");

    QTemporaryDir dir;
    UidlState s;
    std::string error;
    ASSERT_TRUE(s.Load(dir.path().toStdString(), "h", "a", error));
    s.Add("a/b", UidlState::SafeName("a/b") + ".eml");
    // Two UIDLs with one safe form get different names.
    const std::string second = s.NewBaseName("a:b", {});
    EXPECT_EQ(second, "a_b-2.eml");
    EXPECT_EQ(s.NewBaseName("a:b", {second}), "a_b-3.eml");
    s.Add("a:b", second);
    s.port = 995;
    s.implicitTls = true;
    ASSERT_TRUE(s.Save(error)) << error;

    UidlState again;
    ASSERT_TRUE(again.Load(dir.path().toStdString(), "h", "a", error));
    ASSERT_EQ(again.Entries().size(), 2u);
    EXPECT_EQ(again.FindBaseName("a_b-2.eml")->uidl, "a:b");
    EXPECT_EQ(again.port, 995);
    EXPECT_TRUE(again.implicitTls);
    again.Retain({"a:b"});
    EXPECT_EQ(again.FindUidl("a/b"), nullptr);
    EXPECT_NE(again.FindUidl("a:b"), nullptr);

    // A file that is not ours is an error, not an empty state (which would deliver everything again).
    QFile junk(QString::fromStdString(again.Path()));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("garbage\n");
    junk.close();
    EXPECT_FALSE(again.Load(dir.path().toStdString(), "h", "a", error));
}

TEST(Pop3, ServerWithoutUidlOrSaslUsesUserPassAndHeaderHashes)
{
    // An old server (tools/pop3-no-uidl-server.py): no CAPA, no UIDL, USER/PASS only.
    QTemporaryDir dir;
    QStringList files;
    const QByteArray same = Message(7);
    for (const QByteArray& m : {Message(1), same, same, Message(2)}) {
        QFile f(dir.filePath(QStringLiteral("src%1.eml").arg(files.size())));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(m);
        files << f.fileName();
    }
    QProcess server;
    server.start(QStringLiteral("/usr/bin/python3"),
                 QStringList{QStringLiteral(LW_SOURCE_DIR "/tools/pop3-no-uidl-server.py"),
                             QStringLiteral("old"), QStringLiteral("secret"),
                             dir.filePath(QStringLiteral("state"))} +
                     files);
    ASSERT_TRUE(server.waitForReadyRead(10000)) << "the old-server helper did not start";
    const int port = server.readLine().trimmed().toInt();
    ASSERT_GT(port, 0);
    const std::string host = "127.0.0.1";
    QTemporaryDir work;
    const std::string folder = work.path().toStdString();

    const auto got =
        RcvMail(host + "\t" + std::to_string(port), "old", "a secret", "SAVE 1-10", "<" + folder);
    ASSERT_TRUE(got) << LastPop3Error();
    ASSERT_EQ(got->size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ReadAll((*got)[i]), (i == 1 || i == 2) ? same : Message(i == 0 ? 1 : 2));
    // Two identical messages still get two names.
    EXPECT_NE((*got)[1], (*got)[2]);
    EXPECT_FALSE(RcvMail(host + "\t" + std::to_string(port), "old", "a secret", "SAVE 1-10", "<" + folder));

    // Deleting the second copy of the twins removes exactly that one.
    const std::string third = QFileInfo(QString::fromStdString((*got)[2])).fileName().toStdString();
    EXPECT_TRUE(RcvMail(host, "old", "secret", "DELU " + third, folder)) << LastPop3Error();
    QFile remaining(dir.filePath(QStringLiteral("state.remaining")));
    ASSERT_TRUE(remaining.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(remaining.readAll()).split(QLatin1Char('\n')),
              (QStringList{files[0], files[1], files[3]}));
    EXPECT_FALSE(RcvMail(host + "\t" + std::to_string(port), "old", "a secret", "SAVE 1-10", "<" + folder));

    // A mailbox that had real UIDLs is not read by hashes when UIDL fails: nothing is delivered again.
    UidlState state;
    std::string error;
    ASSERT_TRUE(state.Load(folder, host, "old", error));
    state.Add("000000016b16a8a8", "000000016b16a8a8.eml");
    ASSERT_TRUE(state.Save(error));
    EXPECT_FALSE(RcvMail(host + "\t" + std::to_string(port), "old", "a secret", "SAVE 1-10", "<" + folder));
    EXPECT_NE(LastPop3Error().find("UIDL"), std::string::npos) << LastPop3Error();
    ASSERT_TRUE(state.Load(folder, host, "old", error));
    EXPECT_EQ(state.Entries().size(), 4u) << "the state must be left as it was";
    server.kill();
    server.waitForFinished();
}

TEST(Pop3, DeletionAfterALostSessionNeverHitsAnotherMessage)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    auto box = servers.LeaseMailbox();
    ASSERT_TRUE(box);
    CaFile ca(servers.caFile);
    QTemporaryDir work;
    const std::string user = box->User().toStdString();
    const std::string host = servers.host.toStdString();
    const std::string pass = box->Password().toStdString();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(servers.Deliver(box->User(), Message(i)));
    {
        MailSessionScope scope;
        const auto got =
            RcvMail(Plain(servers), user, "a " + pass, "SAVE 1-10", "<" + work.path().toStdString());
        ASSERT_TRUE(got);
        ASSERT_EQ(got->size(), 3u);
        const auto base = [&](int i) {
            return QFileInfo(QString::fromStdString((*got)[i])).fileName().toStdString();
        };

        // The server drops the kept session; meanwhile another client removes the first message,
        // so every message number shifts down by one.
        QProcess kick;
        kick.start(QStringLiteral("doveadm"),
                   {QStringLiteral("-c"), servers.stateDir + QStringLiteral("/dovecot/dovecot.conf"),
                    QStringLiteral("kick"), box->User()});
        ASSERT_TRUE(kick.waitForFinished(10000));
        ASSERT_EQ(kick.exitCode(), 0);
        QThread::msleep(300); // the close has arrived: libcurl sees a dead connection before sending
        {
            Pop3Session other(Endpoint(host, servers.pop3Port, user, pass));
            std::vector<Pop3Message> listing;
            std::string error;
            ASSERT_TRUE(other.List(listing, error)) << error;
            ASSERT_TRUE(other.Delete(1, error)) << error;
        }
        // Number 2 of the lost session is now the third message: the second must be the one deleted.
        EXPECT_TRUE(RcvMail(host, user, pass, "DELU " + base(1), work.path().toStdString()))
            << LastPop3Error();
    }
    ASSERT_EQ(servers.MailboxCount(box->User()), 1);
    Pop3Session check(Endpoint(host, servers.pop3Port, user, pass));
    std::vector<Pop3Message> listing;
    std::string error;
    ASSERT_TRUE(check.List(listing, error)) << error;
    ASSERT_EQ(listing.size(), 1u);
    std::string content;
    ASSERT_TRUE(check.Retrieve(
        listing[0].number, [&](const char* p, size_t n) { return content.append(p, n), true; }, error));
    EXPECT_EQ(QByteArray::fromStdString(content), Message(2));
}

TEST(Pop3, PasswordThatBeginsWithAIsKeptForDeletion)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    const QString user = QStringLiteral("lwapass");
    if (!servers.users.contains(user)) GTEST_SKIP() << "servers started by an older tools/test-servers";
    const std::string pass = servers.Password(user).toStdString();
    ASSERT_EQ(pass.rfind("a ", 0), 0u);
    servers.ClearMailbox(user);
    ASSERT_TRUE(servers.Deliver(user, Message(1)));
    CaFile ca(servers.caFile);
    QTemporaryDir work;
    // The fetch gets "a " + password, the deletion the password alone.
    const auto got =
        RcvMail(Plain(servers), "lwapass", "a " + pass, "SAVE 1-10", "<" + work.path().toStdString());
    ASSERT_TRUE(got) << LastPop3Error();
    EXPECT_TRUE(RcvMail(servers.host.toStdString(), "lwapass", pass,
                        "DELU " + QFileInfo(QString::fromStdString(got->front())).fileName().toStdString(),
                        work.path().toStdString()))
        << LastPop3Error();
    EXPECT_EQ(servers.MailboxCount(user), 0);
}
