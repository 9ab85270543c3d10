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

#include <algorithm>
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

std::string WithPort(const std::string& host, int port)
{
    return host + "\t" + std::to_string(port);
}

struct CaFile {
    explicit CaFile(const QString& path)
    {
        setenv("LARCHWATCHER_CA_FILE", path.toLocal8Bit().constData(), 1);
    }
    ~CaFile() { unsetenv("LARCHWATCHER_CA_FILE"); }
};

// The mailbox as a session of its own lists it (and the first message's text, when asked).
std::vector<Pop3Message> Listing(const Pop3Endpoint& e, std::string* first = nullptr)
{
    Pop3Session s(e);
    std::vector<Pop3Message> listing;
    std::string error;
    EXPECT_TRUE(s.List(listing, error)) << error;
    const auto append = [&](const char* p, size_t n) { return first->append(p, n), true; };
    if (first != nullptr && !listing.empty()) {
        EXPECT_TRUE(s.Retrieve(listing[0].number, append, error)) << error;
    }
    return listing;
}

QString DovecotLog(const lw::test::TestServers& servers)
{
    return servers.stateDir + QStringLiteral("/dovecot/dovecot.log");
}

// Dovecot's login lines for the user that contain every word, logged after offset `from`; polled
// until at least `atLeast` (the server logs a little later), then settled so extra lines count too.
int LoginsSince(const lw::test::TestServers& servers, qint64 from, const QString& user,
                const QStringList& words, int atLeast = 1)
{
    const auto count = [&] {
        QFile f(DovecotLog(servers));
        if (!f.open(QIODevice::ReadOnly) || !f.seek(from)) return -1;
        int n = 0;
        for (const QByteArray& line : f.readAll().split('\n'))
            n += std::all_of(words.begin(), words.end(),
                             [&](const QString& w) { return line.contains(w.toUtf8()); }) &&
                 line.contains("Login: user=<" + user.toUtf8() + ">");
        return n;
    };
    QElapsedTimer t;
    t.start();
    while (count() < atLeast && t.elapsed() < 3000)
        QThread::msleep(20);
    QThread::msleep(150);
    return count();
}

// One leased mailbox, the test CA and a work folder; Fetch and Delete as the service calls them.
class Pop3Test : public ::testing::Test {
  protected:
    void SetUp() override
    {
        QString reason;
        m_loaded = lw::test::TestServers::Load(&reason);
        if (!m_loaded) GTEST_SKIP() << reason.toStdString();
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
    void Deliver(int from, int to, int bodyBytes = 40)
    {
        for (int i = from; i < to; ++i)
            ASSERT_TRUE(servers().Deliver(box->User(), Message(i, bodyBytes)));
    }
    std::optional<PartList> Fetch(const std::string& pw = {}, const std::string& server = {})
    {
        return RcvMail(server.empty() ? WithPort(host, servers().pop3Port) : server, user,
                       "a " + (pw.empty() ? pass : pw), "SAVE 1-10", "<" + folder);
    }
    std::optional<PartList> Delete(const std::string& base)
    {
        return RcvMail(host, user, pass, "DELU " + base, folder);
    }
    Pop3Endpoint Box(int port = 0, const std::string& options = {}) const
    {
        return {.host = host,
                .port = port ? port : servers().pop3Port,
                .account = user,
                .password = pass,
                .loginOptions = options};
    }
    int Count() const { return servers().MailboxCount(box->User()); }
    int Leftovers(const QString& suffix) const
    {
        return int(QDir(work.path()).entryList(QDir::Files | QDir::Hidden).filter(suffix).size());
    }

    std::optional<lw::test::TestServers> m_loaded;
    std::optional<lw::test::MailboxLease> box;
    std::optional<CaFile> ca;
    QTemporaryDir work;
    std::string user, pass, host, folder;
};

} // namespace

TEST_F(Pop3Test, FetchesAtMostTenInServerOrderNeverTwiceAndLosesNothingOnAFailedWrite)
{
    Deliver(0, 1);
    Deliver(1, 2, 200000);
    Deliver(2, 13);
    // A file size limit makes the large message's write fail as on a full disk: the fetch stops
    // there with what it has, and the large message comes next time.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto first = Fetch();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(first && first->size() == 1u);
    EXPECT_EQ(Leftovers(QStringLiteral(".part")), 0);

    std::vector<std::string> all = *first;
    for (size_t expected : {10u, 2u}) {
        const auto got = Fetch();
        ASSERT_TRUE(got) << LastPop3Error();
        ASSERT_EQ(got->size(), expected);
        all.insert(all.end(), got->begin(), got->end());
    }
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(ReadAll(all[i]), Message(i, i == 1 ? 200000 : 40))
            << i << " not byte-exact or out of order";
    EXPECT_FALSE(Fetch()) << "nothing new is a non-list value";

    // Only later arrivals are delivered.
    Deliver(100, 101);
    const auto later = Fetch();
    ASSERT_TRUE(later && later->size() == 1u);
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
    ASSERT_TRUE(got && got->size() == 5u);
    const auto deleted = Delete(Base((*got)[2]));
    ASSERT_TRUE(deleted) << LastPop3Error();
    EXPECT_TRUE(deleted->empty());
    // Had another message gone, the one named would come again or stay in the state.
    EXPECT_FALSE(Fetch());
    UidlState state;
    std::string error;
    ASSERT_TRUE(state.Load(folder, host, user, error));
    EXPECT_EQ(state.Entries().size(), 4u);
    EXPECT_EQ(state.FindBaseName(Base((*got)[2])), nullptr);
    EXPECT_FALSE(Delete(Base((*got)[2]))) << "a name no longer known deletes nothing";
    EXPECT_EQ(Count(), 4);

    // Within a scope, deletions reuse the fetch login and wait for its end.
    const qint64 mark = QFileInfo(DovecotLog(servers())).size();
    Deliver(10, 11);
    {
        MailSessionScope scope;
        const auto fresh = Fetch();
        ASSERT_TRUE(fresh && fresh->size() == 1u);
        EXPECT_TRUE(Delete(Base(fresh->front())));
        EXPECT_TRUE(Delete(Base((*got)[0])));
        EXPECT_EQ(Count(), 5);
    }
    EXPECT_EQ(Count(), 3);
    EXPECT_EQ(LoginsSince(servers(), mark, box->User(), {}), 1) << "deletions must reuse the fetch login";
}

TEST_F(Pop3Test, LoginMechanismsAndTls)
{
    Deliver(1, 2);
    for (const auto& [options, method] :
         std::vector<std::pair<std::string, QString>>{{"", "method=CRAM-MD5"},
                                                      {"AUTH=+APOP", "method=APOP"},
                                                      {"AUTH=PLAIN", "method=PLAIN"},
                                                      {"AUTH=LOGIN", "method=LOGIN"}}) {
        // STARTTLS is taken because the server offers it.
        const qint64 mark = QFileInfo(DovecotLog(servers())).size();
        EXPECT_EQ(Listing(Box(0, options)).size(), 1u) << options;
        EXPECT_EQ(LoginsSince(servers(), mark, box->User(), {method, QStringLiteral("TLS")}), 1) << options;
    }

    // POP3S, certificate checked against the extra CA; its deletion, given the bare host, finds
    // the same implicit-TLS port through the state.
    host = "localhost";
    const auto got = Fetch({}, "pop3s://localhost\t" + std::to_string(servers().pop3sPort));
    ASSERT_TRUE(got) << LastPop3Error();
    EXPECT_EQ(ReadAll(got->front()), Message(1));
    EXPECT_TRUE(Delete(Base(got->front()))) << LastPop3Error();
    EXPECT_EQ(Count(), 0);
}

TEST_F(Pop3Test, FailuresAreReportedQuicklyAndFetchNothing)
{
    Deliver(1, 2);
    ca.reset();
    EXPECT_FALSE(Fetch());
    EXPECT_NE(LastPop3Error().find("certificate"), std::string::npos) << LastPop3Error();
    EXPECT_FALSE(Fetch({}, "pop3s://localhost\t" + std::to_string(servers().pop3sPort)));
    ca.emplace(servers().caFile);
    EXPECT_FALSE(Fetch(pass + "wrong"));
    EXPECT_FALSE(LastPop3Error().empty());

    // A server that accepts but never greets fails within the connect time-out.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    ::listen(fd, 8);
    Pop3Endpoint silent = Box(ntohs(a.sin_port));
    silent.host = "127.0.0.1";
    silent.connectTimeoutSeconds = 2;
    Pop3Session s(silent);
    std::vector<Pop3Message> listing;
    std::string error;
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(s.List(listing, error));
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_TRUE(s.Broken());
    ::close(fd);

    EXPECT_EQ(Leftovers(QStringLiteral(".eml")), 0);
    EXPECT_TRUE(Fetch()) << "the message is still to be delivered";
}

TEST_F(Pop3Test, DeletionAfterALostSessionNeverHitsAnotherMessage)
{
    Deliver(0, 3);
    {
        MailSessionScope scope;
        const auto got = Fetch();
        ASSERT_TRUE(got && got->size() == 3u);
        // The server drops the kept session; meanwhile another client removes the first message,
        // so every message number shifts down by one.
        QProcess kick;
        kick.start(QStringLiteral("doveadm"),
                   {QStringLiteral("-c"), servers().stateDir + "/dovecot/dovecot.conf",
                    QStringLiteral("kick"), box->User()});
        ASSERT_TRUE(kick.waitForFinished(10000));
        ASSERT_EQ(kick.exitCode(), 0);
        QThread::msleep(300); // the close has arrived: libcurl sees a dead connection before sending
        {
            Pop3Session other(Box());
            std::vector<Pop3Message> listing;
            std::string error;
            ASSERT_TRUE(other.List(listing, error)) << error;
            ASSERT_TRUE(other.Delete(1, error)) << error;
        }
        // Number 2 of the lost session is now the third message: the second must be the one deleted.
        EXPECT_TRUE(Delete(Base((*got)[1]))) << LastPop3Error();
    }
    std::string content;
    ASSERT_EQ(Listing(Box(), &content).size(), 1u);
    EXPECT_EQ(QByteArray::fromStdString(content), Message(2));
}

TEST(UidlState, BaseNamesAreSafeAndUniqueAndAForeignFileIsAnError)
{
    EXPECT_EQ(UidlState::SafeName("a/b\\c:d*e"), "a_b_c_d_e");
    EXPECT_EQ(UidlState::SafeName(".hidden"), "m.hidden");
    EXPECT_EQ(UidlState::SafeName(""), "m");
    EXPECT_EQ(UidlState::FileName("mail.example.jp", "tarō/x"),
              "pop3-state-mail.example.jp@tar%C5%8D%2Fx.uidl");
    // A file that is not ours is an error, not an empty state (which would deliver everything again).
    QTemporaryDir dir;
    UidlState s;
    std::string error;
    ASSERT_TRUE(s.Load(dir.path().toStdString(), "h", "a", error));
    // Two UIDLs with one safe form get different names.
    s.Add("a/b", "a_b.eml");
    EXPECT_EQ(s.NewBaseName("a:b", {}), "a_b-2.eml");
    EXPECT_EQ(s.NewBaseName("a:b", {"a_b-2.eml"}), "a_b-3.eml");
    QFile junk(QString::fromStdString(s.Path()));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly) && junk.write("garbage\n") > 0);
    junk.close();
    EXPECT_FALSE(s.Load(dir.path().toStdString(), "h", "a", error));
}

TEST(Pop3, ServerWithoutUidlOrSaslUsesUserPassAndHeaderHashes)
{
    // An old server (tools/pop3-no-uidl-server.py): no CAPA, no UIDL, USER/PASS only.
    QTemporaryDir dir;
    QStringList files;
    const QList<QByteArray> messages{Message(1), Message(7), Message(7), Message(2)};
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
    QTemporaryDir work;
    const std::string host = "127.0.0.1", folder = work.path().toStdString();
    const auto fetch = [&] {
        return RcvMail(WithPort(host, port), "old", "a secret", "SAVE 1-10", "<" + folder);
    };

    const auto got = fetch();
    ASSERT_TRUE(got && got->size() == 4u) << LastPop3Error();
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

TEST_F(Pop3Test, PasswordThatBeginsWithAIsKeptForDeletion)
{
    const QString apass = QStringLiteral("lwapass");
    if (!servers().users.contains(apass)) GTEST_SKIP() << "servers started by an older tools/test-servers";
    user = apass.toStdString();
    pass = servers().Password(apass).toStdString();
    ASSERT_EQ(pass.rfind("a ", 0), 0u);
    servers().ClearMailbox(apass);
    ASSERT_TRUE(servers().Deliver(apass, Message(1)));
    // The fetch gets "a " + password, the deletion the password alone.
    const auto got = Fetch();
    ASSERT_TRUE(got) << LastPop3Error();
    EXPECT_TRUE(Delete(Base(got->front()))) << LastPop3Error();
    EXPECT_EQ(servers().MailboxCount(apass), 0);
}
