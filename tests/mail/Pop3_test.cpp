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
    const QByteArray n = QByteArray::number(i);
    return "From: sender" + n + "@example.jp\r\nTo: box@example.jp\r\nSubject: message " + n + "\r\n\r\n" +
           QByteArray(bodyBytes, 'x') + "\r\n.leading dot\r\nend " + n + "\r\n";
}

QByteArray ReadAll(const std::string& path)
{
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

std::string Base(const std::string& path)
{
    return QFileInfo(QString::fromStdString(path)).fileName().toStdString();
}

struct CaFile {
    explicit CaFile(const QString& path)
    {
        setenv("LARCHWATCHER_CA_FILE", path.toLocal8Bit().constData(), 1);
    }
    ~CaFile() { unsetenv("LARCHWATCHER_CA_FILE"); }
};

// Dovecot's login lines for the user that contain every word; polled until at least `atLeast`
// (the server logs a little later), then settled so that extra lines are counted too.
int LoginLines(const lw::test::TestServers& servers, const QString& user, const QStringList& words,
               int atLeast = -1)
{
    const auto count = [&] {
        QFile f(servers.stateDir + QStringLiteral("/dovecot/dovecot.log"));
        if (!f.open(QIODevice::ReadOnly)) return -1;
        int n = 0;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const QString l = QString::fromUtf8(line);
            bool all = l.contains(QStringLiteral("Login: user=<%1>").arg(user));
            for (const QString& w : words)
                all = all && l.contains(w);
            n += all ? 1 : 0;
        }
        return n;
    };
    if (atLeast < 0) return count();
    QElapsedTimer t;
    t.start();
    while (count() < atLeast && t.elapsed() < 3000)
        QThread::msleep(20);
    QThread::msleep(150);
    return count();
}

// A loopback port that accepts connections but never speaks; closed (refusing) unless listening.
class Listener {
  public:
    explicit Listener(bool listening) : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            m_port = ntohs(a.sin_port);
        if (listening)
            ::listen(m_fd, 8);
        else
            ::close(std::exchange(m_fd, -1));
    }
    ~Listener()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    int m_fd;
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

// One leased mailbox, the test CA and a work folder; Fetch and Delete as the service calls them.
class Pop3Test : public ::testing::Test {
  protected:
    void SetUp() override
    {
        m_loaded = lw::test::TestServers::Load(&m_reason);
        if (!m_loaded) GTEST_SKIP() << m_reason.toStdString();
        auto lease = m_loaded->LeaseMailbox();
        ASSERT_TRUE(lease);
        box.emplace(std::move(*lease));
        user = box->User().toStdString();
        pass = box->Password().toStdString();
        host = servers().host.toStdString();
        folder = work.path().toStdString();
        ca.emplace(m_loaded->caFile);
    }
    const lw::test::TestServers& servers() const { return *m_loaded; }
    void Deliver(int from, int to)
    {
        for (int i = from; i < to; ++i)
            ASSERT_TRUE(servers().Deliver(box->User(), Message(i)));
    }
    std::optional<PartList> Fetch(const std::string& pw = {})
    {
        return RcvMail(host + "\t" + std::to_string(servers().pop3Port), user,
                       "a " + (pw.empty() ? pass : pw), "SAVE 1-10", "<" + folder);
    }
    std::optional<PartList> Delete(const std::string& base)
    {
        return RcvMail(host, user, pass, "DELU " + base, folder);
    }
    int Count() const { return servers().MailboxCount(box->User()); }
    int Leftovers(const QString& suffix) const
    {
        return int(QDir(work.path()).entryList(QDir::Files | QDir::Hidden).filter(suffix).size());
    }

    QString m_reason;
    std::optional<lw::test::TestServers> m_loaded;
    std::optional<lw::test::MailboxLease> box;
    std::optional<CaFile> ca;
    QTemporaryDir work;
    std::string user, pass, host, folder;
};

} // namespace

TEST_F(Pop3Test, FetchesAtMostTenNewMessagesInServerOrderAndNeverTwice)
{
    Deliver(0, 23);
    std::vector<std::string> all;
    for (size_t expected : {10u, 10u, 3u}) {
        const auto got = Fetch();
        ASSERT_TRUE(got) << LastPop3Error();
        ASSERT_EQ(got->size(), expected);
        all.insert(all.end(), got->begin(), got->end());
    }
    for (int i = 0; i < 23; ++i) {
        EXPECT_EQ(QFileInfo(QString::fromStdString(all[i])).absolutePath(),
                  QFileInfo(work.path()).absoluteFilePath());
        EXPECT_TRUE(all[i].ends_with(".eml"));
        EXPECT_EQ(ReadAll(all[i]), Message(i)) << "message " << i << " not byte-exact or out of order";
    }
    // Nothing new: a non-list value, and no temporary leftovers.
    EXPECT_FALSE(Fetch());
    EXPECT_EQ(Leftovers(QStringLiteral(".part")), 0);

    // A restart keeps the state: only later arrivals are delivered.
    EndMailSession();
    Deliver(100, 101);
    const auto later = Fetch();
    ASSERT_TRUE(later);
    ASSERT_EQ(later->size(), 1u);
    EXPECT_EQ(ReadAll(later->front()), Message(100));

    // UIDLs gone from the server are forgotten.
    servers().ClearMailbox(box->User());
    EXPECT_FALSE(Fetch());
    UidlState state;
    std::string error;
    ASSERT_TRUE(state.Load(folder, host, user, error)) << error;
    EXPECT_TRUE(state.Entries().empty());
}

TEST_F(Pop3Test, DeluDeletesExactlyThatMessageAndSessionScopeCommitsAtItsEnd)
{
    Deliver(0, 5);
    const auto got = Fetch();
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 5u);
    // The deletion gets the bare host and the password as it stands.
    const auto deleted = Delete(Base((*got)[2]));
    ASSERT_TRUE(deleted) << LastPop3Error();
    EXPECT_TRUE(deleted->empty());
    EXPECT_EQ(Count(), 4);
    Pop3Session s(Endpoint(host, servers().pop3Port, user, pass));
    std::vector<Pop3Message> listing;
    std::string error;
    ASSERT_TRUE(s.List(listing, error)) << error;
    s.Quit();
    ASSERT_EQ(listing.size(), 4u);
    UidlState state;
    ASSERT_TRUE(state.Load(folder, host, user, error));
    for (const Pop3Message& m : listing) {
        ASSERT_NE(state.FindUidl(m.uid), nullptr);
        EXPECT_NE(state.FindUidl(m.uid)->baseName, Base((*got)[2]));
    }
    EXPECT_FALSE(Fetch());
    EXPECT_FALSE(Delete(Base((*got)[2])));
    EXPECT_FALSE(Delete("no-such.eml"));
    EXPECT_EQ(Count(), 4);

    // Within a scope, deletions reuse the fetch login and wait for its end.
    const int loginsBefore = LoginLines(servers(), box->User(), {}, 0);
    Deliver(10, 11);
    {
        MailSessionScope scope;
        const auto fresh = Fetch();
        ASSERT_TRUE(fresh);
        ASSERT_EQ(fresh->size(), 1u);
        EXPECT_TRUE(Delete(Base(fresh->front())));
        EXPECT_TRUE(Delete(Base((*got)[0])));
        EXPECT_EQ(Count(), 5);
    }
    EXPECT_EQ(Count(), 3);
    EXPECT_EQ(LoginLines(servers(), box->User(), {}, loginsBefore + 1) - loginsBefore, 1)
        << "deletions must reuse the fetch login";

    // EndMailSession commits in the middle of a scope too.
    MailSessionScope scope;
    Deliver(11, 12);
    const auto one = Fetch();
    ASSERT_TRUE(one);
    EXPECT_TRUE(Delete(Base(one->front())));
    EndMailSession();
    EXPECT_EQ(Count(), 3);
}

TEST_F(Pop3Test, LoginMechanismsAndTls)
{
    Deliver(1, 2);
    for (const auto& [options, method] :
         std::vector<std::pair<std::string, QString>>{{"", "method=CRAM-MD5"},
                                                      {"AUTH=+APOP", "method=APOP"},
                                                      {"AUTH=PLAIN", "method=PLAIN"},
                                                      {"AUTH=LOGIN", "method=LOGIN"}}) {
        const QStringList words{method, QStringLiteral("TLS")};
        const int before = LoginLines(servers(), box->User(), words);
        Pop3Session s(Endpoint(host, servers().pop3Port, user, pass, options));
        std::vector<Pop3Message> listing;
        std::string error;
        ASSERT_TRUE(s.List(listing, error)) << options << ": " << error;
        EXPECT_EQ(listing.size(), 1u);
        s.Quit();
        // STARTTLS was taken because the server offers it.
        EXPECT_EQ(LoginLines(servers(), box->User(), words, before + 1) - before, 1) << options;
    }

    // POP3S, certificate checked against the extra CA; its deletion, given the bare host, finds
    // the same implicit-TLS port through the state.
    const auto got = RcvMail("pop3s://localhost\t" + std::to_string(servers().pop3sPort), user, "a " + pass,
                             "SAVE 1-10", "<" + folder);
    ASSERT_TRUE(got) << LastPop3Error();
    EXPECT_EQ(ReadAll(got->front()), Message(1));
    EXPECT_TRUE(RcvMail("localhost", user, pass, "DELU " + Base(got->front()), folder)) << LastPop3Error();
    EXPECT_EQ(Count(), 0);
}

TEST_F(Pop3Test, FailuresAreReportedQuicklyAndFetchNothing)
{
    Deliver(1, 2);
    ca.reset();
    EXPECT_FALSE(Fetch());
    EXPECT_NE(LastPop3Error().find("certificate"), std::string::npos) << LastPop3Error();
    EXPECT_FALSE(RcvMail("pop3s://localhost\t" + std::to_string(servers().pop3sPort), user, "a " + pass,
                         "SAVE 1-10", "<" + folder));
    ca.emplace(servers().caFile);
    EXPECT_FALSE(Fetch(pass + "wrong"));
    EXPECT_FALSE(LastPop3Error().empty());

    // A closed port fails at once; a server that never greets fails within the connect time-out.
    Listener silent(true), closed(false);
    ASSERT_NE(silent.m_port, 0);
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(
        RcvMail("127.0.0.1\t" + std::to_string(closed.m_port), user, "a " + pass, "SAVE 1-10", "<" + folder));
    EXPECT_LT(t.elapsed(), 3000);
    Pop3Endpoint e = Endpoint("127.0.0.1", silent.m_port, user, pass);
    e.connectTimeoutSeconds = 2;
    Pop3Session s(e);
    std::vector<Pop3Message> listing;
    std::string error;
    t.restart();
    EXPECT_FALSE(s.List(listing, error));
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_TRUE(s.Broken());

    EXPECT_EQ(Leftovers(QStringLiteral(".eml")), 0);
    EXPECT_TRUE(Fetch()) << "the message is still to be delivered";
}

TEST_F(Pop3Test, WriteFailureLosesNothingAndDeliversNothingTwice)
{
    ASSERT_TRUE(servers().Deliver(box->User(), Message(1)));
    ASSERT_TRUE(servers().Deliver(box->User(), Message(2, 200000)));
    ASSERT_TRUE(servers().Deliver(box->User(), Message(3)));
    // A file size limit makes the large message's write fail as on a full disk.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto first = Fetch();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    ASSERT_TRUE(first);
    ASSERT_EQ(first->size(), 1u);
    EXPECT_EQ(ReadAll(first->front()), Message(1));
    EXPECT_EQ(Leftovers(QStringLiteral(".part")), 0);
    const auto rest = Fetch();
    ASSERT_TRUE(rest);
    ASSERT_EQ(rest->size(), 2u);
    EXPECT_EQ(ReadAll((*rest)[0]), Message(2, 200000));
    EXPECT_EQ(ReadAll((*rest)[1]), Message(3));
}

TEST(UidlState, BaseNamesAreSafeAndUniqueAndTheFileRoundTrips)
{
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
    const QList<QByteArray> messages{Message(1), same, same, Message(2)};
    for (const QByteArray& m : messages) {
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
    const std::string host = "127.0.0.1", withPort = host + "\t" + std::to_string(port);
    QTemporaryDir work;
    const std::string folder = work.path().toStdString();
    const auto fetch = [&] { return RcvMail(withPort, "old", "a secret", "SAVE 1-10", "<" + folder); };

    const auto got = fetch();
    ASSERT_TRUE(got) << LastPop3Error();
    ASSERT_EQ(got->size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ReadAll((*got)[i]), messages[i]);
    EXPECT_NE((*got)[1], (*got)[2]) << "two identical messages still get two names";
    EXPECT_FALSE(fetch());

    // Deleting the second copy of the twins removes exactly that one.
    EXPECT_TRUE(RcvMail(host, "old", "secret", "DELU " + Base((*got)[2]), folder)) << LastPop3Error();
    QFile remaining(dir.filePath(QStringLiteral("state.remaining")));
    ASSERT_TRUE(remaining.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(remaining.readAll()).split(QLatin1Char('\n')),
              (QStringList{files[0], files[1], files[3]}));
    EXPECT_FALSE(fetch());

    // A mailbox that had real UIDLs is not read by hashes when UIDL fails: nothing is delivered again.
    UidlState state;
    std::string error;
    ASSERT_TRUE(state.Load(folder, host, "old", error));
    state.Add("000000016b16a8a8", "000000016b16a8a8.eml");
    ASSERT_TRUE(state.Save(error));
    EXPECT_FALSE(fetch());
    EXPECT_NE(LastPop3Error().find("UIDL"), std::string::npos) << LastPop3Error();
    ASSERT_TRUE(state.Load(folder, host, "old", error));
    EXPECT_EQ(state.Entries().size(), 4u) << "the state must be left as it was";
    server.kill();
    server.waitForFinished();
}

TEST_F(Pop3Test, DeletionAfterALostSessionNeverHitsAnotherMessage)
{
    Deliver(0, 3);
    {
        MailSessionScope scope;
        const auto got = Fetch();
        ASSERT_TRUE(got);
        ASSERT_EQ(got->size(), 3u);
        // The server drops the kept session; meanwhile another client removes the first message,
        // so every message number shifts down by one.
        QProcess kick;
        kick.start(QStringLiteral("doveadm"),
                   {QStringLiteral("-c"), servers().stateDir + QStringLiteral("/dovecot/dovecot.conf"),
                    QStringLiteral("kick"), box->User()});
        ASSERT_TRUE(kick.waitForFinished(10000));
        ASSERT_EQ(kick.exitCode(), 0);
        QThread::msleep(300); // the close has arrived: libcurl sees a dead connection before sending
        {
            Pop3Session other(Endpoint(host, servers().pop3Port, user, pass));
            std::vector<Pop3Message> listing;
            std::string error;
            ASSERT_TRUE(other.List(listing, error)) << error;
            ASSERT_TRUE(other.Delete(1, error)) << error;
        }
        // Number 2 of the lost session is now the third message: the second must be the one deleted.
        EXPECT_TRUE(Delete(Base((*got)[1]))) << LastPop3Error();
    }
    ASSERT_EQ(Count(), 1);
    Pop3Session check(Endpoint(host, servers().pop3Port, user, pass));
    std::vector<Pop3Message> listing;
    std::string error, content;
    ASSERT_TRUE(check.List(listing, error)) << error;
    ASSERT_EQ(listing.size(), 1u);
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
    const auto got = RcvMail(servers.host.toStdString() + "\t" + std::to_string(servers.pop3Port), "lwapass",
                             "a " + pass, "SAVE 1-10", "<" + work.path().toStdString());
    ASSERT_TRUE(got) << LastPop3Error();
    EXPECT_TRUE(RcvMail(servers.host.toStdString(), "lwapass", pass, "DELU " + Base(got->front()),
                        work.path().toStdString()))
        << LastPop3Error();
    EXPECT_EQ(servers.MailboxCount(user), 0);
}
