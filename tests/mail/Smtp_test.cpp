// SMTP sending and forwarding against the loopback sink of tools/test-servers. Delivered
// messages are read back with Python's email package, independent of our own reader.
#include "engine/mail/SmtpMessage.h"
#include "engine/mail/Transport.h"
#include "support/TestServers.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

using namespace lw::mail;

namespace {

struct CaFile {
    explicit CaFile(const QString& path)
    {
        setenv("LARCHWATCHER_CA_FILE", path.toLocal8Bit().constData(), 1);
    }
    ~CaFile() { unsetenv("LARCHWATCHER_CA_FILE"); }
};

// A recipient address no other test (or run) uses.
QString Unique(const QString& local)
{
    static int n = 0;
    return QStringLiteral("%1-%2-%3-%4@example.jp")
        .arg(local)
        .arg(QDateTime::currentMSecsSinceEpoch())
        .arg(::getpid())
        .arg(++n);
}

std::string S(const QString& s)
{
    return s.toStdString();
}

std::string Server(const lw::test::TestServers& s, int timeout = 10)
{
    return S(s.host) + ":" + std::to_string(s.smtpPort) + ":" + std::to_string(timeout);
}

std::string Auth(const lw::test::TestServers& s, const QString& mechanism = {})
{
    const QString user = s.users.first();
    std::string a = "\t" + S(user) + ":" + S(s.Password(user));
    if (!mechanism.isEmpty()) a += "\t" + S(mechanism);
    return a;
}

// Per (original, delivered) pair: the new headers and whether every leaf part is the same.
QJsonArray CompareAll(const QStringList& pairs)
{
    static const QString script = QStringLiteral(R"(
import email, email.policy, json, sys
def load(p):
    with open(p, "rb") as f:
        return email.message_from_binary_file(f, policy=email.policy.default)
def leaves(m):
    out = []
    for part in m.walk():
        if part.is_multipart():
            continue
        out.append([part.get_content_type(), part.get_filename() or "",
                    (part.get_payload(decode=True) or b"").hex()])
    return out
def compare(o, d):
    return {
    "subject": str(d["subject"] or ""), "from": str(d["from"] or ""), "to": str(d["to"] or ""),
    "cc": str(d["cc"] or ""), "bcc_header": d["bcc"] is not None, "date": str(d["date"] or ""),
    "message_id": str(d["message-id"] or ""), "original_message_id": str(o["message-id"] or ""),
    "marks": [str(v) for v in d.get_all("X-LarchWatcher-Forwarded", [])],
    "same_leaves": leaves(o) == leaves(d), "leaf_count": len(leaves(d)),
    "filenames": [l[1] for l in leaves(d) if l[1]], "defects": len(d.defects)}
args = sys.argv[1:]
print(json.dumps([compare(load(args[i]), load(args[i + 1])) for i in range(0, len(args), 2)]))
)");
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral("-c"), script} + pairs);
    p.waitForFinished(60000);
    return QJsonDocument::fromJson(p.readAllStandardOutput()).array();
}

QJsonObject Compare(const QString& original, const QString& delivered)
{
    return CompareAll({original, delivered}).at(0).toObject();
}

QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& data)
{
    QFile f(dir.filePath(name));
    if (!f.open(QIODevice::WriteOnly)) return {};
    f.write(data);
    return f.fileName();
}

// Two attachments (one with an RFC 2231 Japanese name) and a mark from an earlier forward.
QByteArray JapaneseMultipart()
{
    return "From: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <yamada@example.jp>\r\n"
           "To: box@example.jp\r\n"
           "Subject: =?ISO-2022-JP?B?GyRCOVY1QSRORmJNRhsoQg==?=\r\n"
           "Date: Mon, 7 Dec 2026 10:00:00 +0900\r\n"
           "Message-ID: <original-1@example.jp>\r\n"
           "X-LarchWatcher-Forwarded: first@pop.example.jp\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
           "\r\n"
           "--b1\r\n"
           "Content-Type: text/plain; charset=ISO-2022-JP\r\n"
           "Content-Transfer-Encoding: 7bit\r\n"
           "\r\n"
           "\x1b$B$3$s$K$A$O\x1b(B\r\n"
           ".line starting with a dot\r\n"
           "--b1\r\n"
           "Content-Type: application/pdf\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename*=UTF-8''%E8%A6%8B%E7%A9%8D.pdf\r\n"
           "\r\n"
           "JVBERi0xLjQKJcOkw7zDtsOfCjIgMCBvYmoKPDwvTGVuZ3RoIDMgMCBSPj4Kc3RyZWFtCg==\r\n"
           "--b1\r\n"
           "Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
           "\r\n"
           "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\r\n"
           "--b1--\r\n";
}

} // namespace

TEST(Smtp, EachAuthMechanismOverStartTlsAndImplicitTls)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    CaFile ca(servers.caFile);
    QTemporaryDir dir;
    const std::string xfr =
        "\t>#xfr " + S(WriteFile(dir, QStringLiteral("m.eml"), "Subject: x\r\n\r\nhello\r\n"));
    // Mechanism as passed, as the sink saw it; none given means the strongest offered.
    for (const auto& [mechanism, expected] :
         std::vector<std::pair<QString, QString>>{{"LOGIN", "LOGIN"}, {"PLAIN", "PLAIN"}, {"", "CRAM-MD5"}}) {
        const QString to = Unique(QStringLiteral("auth"));
        EXPECT_EQ(SendMail(Server(servers), S(to) + xfr, "Box<box@example.jp>" + Auth(servers, mechanism),
                           "s", "", ""),
                  "");
        const auto got = servers.SinkMessagesTo(to);
        ASSERT_EQ(got.size(), 1u) << S(mechanism);
        EXPECT_EQ(got[0].authMechanism, expected);
        EXPECT_EQ(got[0].authLogin, servers.users.first());
        EXPECT_TRUE(got[0].tls) << "STARTTLS offered, so it must be used";
        EXPECT_EQ(got[0].mailFrom, QStringLiteral("box@example.jp"));
    }

    // No credentials: sent without AUTH. Implicit TLS on its own port.
    const QString anonymous = Unique(QStringLiteral("anon"));
    EXPECT_EQ(SendMail(Server(servers), S(anonymous) + xfr, "<box@example.jp>", "s", "", ""), "");
    ASSERT_EQ(servers.SinkMessagesTo(anonymous).size(), 1u);
    EXPECT_TRUE(servers.SinkMessagesTo(anonymous)[0].authLogin.isEmpty());
    const QString implicit = Unique(QStringLiteral("smtps"));
    EXPECT_EQ(SendMail("smtps://localhost:" + std::to_string(servers.smtpsPort) + ":10", S(implicit) + xfr,
                       "Box<box@example.jp>" + Auth(servers, "CRAM-MD5"), "s", "", ""),
              "");
    const auto viaSmtps = servers.SinkMessagesTo(implicit);
    ASSERT_EQ(viaSmtps.size(), 1u);
    EXPECT_EQ(viaSmtps[0].port, servers.smtpsPort);
    EXPECT_TRUE(viaSmtps[0].tls);
    EXPECT_EQ(viaSmtps[0].authMechanism, QStringLiteral("CRAM-MD5"));

    // A wrong password is an error text naming the server's reply.
    const QString refused = Unique(QStringLiteral("wrongpw"));
    const std::string wrong =
        SendMail(Server(servers), S(refused) + xfr,
                 "Box<box@example.jp>\t" + S(servers.users.first()) + ":nope\tLOGIN", "s", "", "");
    EXPECT_NE(wrong.find("535"), std::string::npos) << wrong;
    EXPECT_TRUE(servers.SinkMessagesTo(refused).empty());
}

TEST(Smtp, ForwardIsANewMessageWithTheOriginalBodyAndNoBccField)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    CaFile ca(servers.caFile);
    QTemporaryDir dir;
    const QString path = WriteFile(dir, QStringLiteral("jp.eml"), JapaneseMultipart());
    const QString to1 = Unique(QStringLiteral("to1"));
    const QString to2 = Unique(QStringLiteral("to2"));
    const QString cc = Unique(QStringLiteral("cc"));
    const QString bcc = Unique(QStringLiteral("secret-bcc"));
    const std::string recipients =
        S(to1) + "\t" + S(to2) + "\t>#xfr " + S(path) + "\tcc\t" + S(cc) + "\tbcc\t" + S(bcc);
    const std::string result =
        SendMail(Server(servers), recipients, "受付窓口<box@example.jp>" + Auth(servers), "Fw: 見積の件", "",
                 "", "box@pop.example.jp");
    ASSERT_EQ(result, "");
    const auto got = servers.SinkMessagesTo(bcc);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rcptTos, (QStringList{to1, to2, cc, bcc}));
    EXPECT_FALSE(got[0].data.contains("secret-bcc")) << "a Bcc recipient must stay in the envelope";
    EXPECT_FALSE(got[0].data.contains("\n\n")) << "lines must end in CR LF";
    EXPECT_FALSE(QByteArray(got[0].data).replace("\r\n", "").contains('\n'));

    const QJsonObject c = Compare(path, got[0].file);
    ASSERT_FALSE(c.isEmpty());
    EXPECT_EQ(c[QStringLiteral("subject")].toString(), QStringLiteral("Fw: 見積の件"));
    EXPECT_EQ(c[QStringLiteral("from")].toString(), QStringLiteral("受付窓口 <box@example.jp>"));
    EXPECT_EQ(c[QStringLiteral("to")].toString(), to1 + QStringLiteral(", ") + to2);
    EXPECT_EQ(c[QStringLiteral("cc")].toString(), cc);
    EXPECT_FALSE(c[QStringLiteral("bcc_header")].toBool());
    EXPECT_FALSE(c[QStringLiteral("date")].toString().contains(QStringLiteral("10:00:00")));
    EXPECT_FALSE(c[QStringLiteral("message_id")].toString().isEmpty());
    EXPECT_NE(c[QStringLiteral("message_id")].toString(),
              c[QStringLiteral("original_message_id")].toString());
    EXPECT_TRUE(c[QStringLiteral("same_leaves")].toBool()) << "body or attachments changed";
    EXPECT_EQ(c[QStringLiteral("filenames")].toArray(),
              (QJsonArray{QStringLiteral("見積.pdf"), QStringLiteral("data.bin")}));
    EXPECT_EQ(c[QStringLiteral("marks")].toArray(),
              (QJsonArray{QStringLiteral("first@pop.example.jp"), QStringLiteral("box@pop.example.jp")}));
    EXPECT_EQ(c[QStringLiteral("defects")].toInt(), 0);

    // Without a forward mark none is added; the original's own marks stay.
    const QString plain = Unique(QStringLiteral("nomark"));
    ASSERT_EQ(SendMail(Server(servers), S(plain) + "\t>#xfr " + S(path), "<box@example.jp>", "Fw: ", "", ""),
              "");
    const auto unmarked = servers.SinkMessagesTo(plain);
    ASSERT_EQ(unmarked.size(), 1u);
    EXPECT_EQ(Compare(path, unmarked[0].file)[QStringLiteral("marks")].toArray(),
              (QJsonArray{QStringLiteral("first@pop.example.jp")}));
}

TEST(Smtp, RealMessagesKeepEveryPartWhenForwarded)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    CaFile ca(servers.caFile);
    const QDir samples(QStringLiteral(MAIL_SAMPLES_DIR));
    const QStringList files = samples.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    ASSERT_GT(files.size(), 20);
    QStringList pairs;
    for (const QString& name : files) {
        const QString to = Unique(QStringLiteral("sample"));
        const QString path = samples.filePath(name);
        ASSERT_EQ(
            SendMail(Server(servers), S(to) + "\t>#xfr " + S(path), "<box@example.jp>", "Fw: s", "", ""), "")
            << S(name);
        const auto got = servers.SinkMessagesTo(to);
        ASSERT_EQ(got.size(), 1u) << S(name);
        pairs << path << got[0].file;
    }
    const QJsonArray results = CompareAll(pairs);
    ASSERT_EQ(results.size(), files.size());
    for (qsizetype i = 0; i < files.size(); ++i) {
        // Python reads a file that starts with a byte-order mark as having no headers at all.
        if (files[i].contains(QStringLiteral("-bom-"))) continue;
        EXPECT_TRUE(results[i].toObject()[QStringLiteral("same_leaves")].toBool()) << S(files[i]);
    }
}

TEST(Smtp, RecipientsRefusalsAndUnreachableServers)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    CaFile ca(servers.caFile);
    QTemporaryDir dir;
    const std::string xfr =
        ">#xfr " + S(WriteFile(dir, QStringLiteral("m.eml"), "Subject: x\r\n\r\nhello\r\n"));
    const auto send = [&](const std::string& recipients, const std::string& server = {}) {
        return SendMail(server.empty() ? Server(servers) : server, recipients, "<box@example.jp>", "s", "",
                        "");
    };

    // An empty TO with only BCC still delivers; no recipient at all is an error.
    const QString bccOnly = Unique(QStringLiteral("bcconly"));
    EXPECT_EQ(send("\t" + xfr + "\tbcc\t" + S(bccOnly)), "");
    EXPECT_EQ(servers.SinkMessagesTo(bccOnly).size(), 1u);
    EXPECT_FALSE(send("\t" + xfr).empty());

    // One refused recipient: the others still get it and the text names the refusal.
    const QString good = Unique(QStringLiteral("good"));
    const std::string partial = send(S(good) + "\t" + S(Unique(QStringLiteral("refuse-rcpt"))) + "\t" + xfr);
    EXPECT_NE(partial.find("550"), std::string::npos) << partial;
    EXPECT_EQ(servers.SinkMessagesTo(good).size(), 1u);
    const std::string dataRefused = send(S(Unique(QStringLiteral("refuse-data"))) + "\t" + xfr);
    EXPECT_NE(dataRefused.find("554"), std::string::npos) << dataRefused;

    // A missing stored message, a bad server text, a server that hangs, and no server at all.
    EXPECT_NE(send("a@example.jp\t>#xfr /nonexistent/x.eml").find("/nonexistent/x.eml"), std::string::npos);
    EXPECT_FALSE(send("a@example.jp\t" + xfr, "no-port-here:x:y").empty());
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(send(S(Unique(QStringLiteral("hang"))) + "\t" + xfr, Server(servers, 2)).empty());
    EXPECT_LT(t.elapsed(), 8000);
    t.restart();
    const std::string down = send("a@example.jp\t" + xfr, "127.0.0.1:1:5");
    EXPECT_NE(down.find("127.0.0.1:1"), std::string::npos) << down;
    EXPECT_LT(t.elapsed(), 3000);

    // Without the test CA the STARTTLS certificate check fails and nothing is sent.
    unsetenv("LARCHWATCHER_CA_FILE");
    const QString untrusted = Unique(QStringLiteral("untrusted"));
    const std::string tls = send(S(untrusted) + "\t" + xfr);
    EXPECT_NE(tls.find("certificate"), std::string::npos) << tls;
    EXPECT_TRUE(servers.SinkMessagesTo(untrusted).empty());
}

TEST(SmtpArguments, ServerRecipientsAndSenderAreRead)
{
    std::string error;
    auto r = ParseSmtpArguments("mail.example.jp:587:30",
                                "a@x.jp\tb@x.jp\t>#xfr /w/m.eml\tcc\tc@x.jp\tbcc\td@x.jp",
                                "山田 太郎<t@x.jp>\tacct:pa:ss\tCRAM-MD5", "Fw: s", "", error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->host + ":" + std::to_string(r->port) + ":" + std::to_string(r->timeoutSeconds),
              "mail.example.jp:587:30");
    EXPECT_FALSE(r->implicitTls);
    EXPECT_EQ(r->to, (std::vector<std::string>{"a@x.jp", "b@x.jp"}));
    EXPECT_EQ(r->cc, (std::vector<std::string>{"c@x.jp"}));
    EXPECT_EQ(r->bcc, (std::vector<std::string>{"d@x.jp"}));
    EXPECT_EQ(r->contentPath, "/w/m.eml");
    EXPECT_EQ(r->from.name + "|" + r->from.address, "山田 太郎|t@x.jp");
    EXPECT_EQ(r->account + "|" + r->password + "|" + r->mechanism, "acct|pa:ss|CRAM-MD5");

    r = ParseSmtpArguments("smtp.example.jp:465:60", "a@x.jp", "<t@x.jp>", "", "", error);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->implicitTls);
    EXPECT_TRUE(r->account.empty());
    r = ParseSmtpArguments("[::1]:25:60", "a@x.jp", "<t@x.jp>", "", "", error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->host, "::1");
    EXPECT_FALSE(ParseSmtpArguments(":25:60", "a@x.jp", "<t@x.jp>", "", "", error));
    EXPECT_FALSE(ParseSmtpArguments("h:99999:60", "a@x.jp", "<t@x.jp>", "", "", error));
    EXPECT_FALSE(ParseSmtpArguments("h:25:60", "a@x.jp", "", "", "", error));

    EXPECT_EQ(ToCrLf("a\nb\r\nc\rd"), "a\r\nb\r\nc\r\nd");
}
