// SMTP sending and forwarding against the loopback sink; forwards read back by Python's email package.
#include "mail/SmtpMessage.h"
#include "mail/SmtpSend.h"
#include "support/Files.h"
#include "support/TestServers.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

using namespace lw::mail;

namespace {

// A recipient address no other test (or run) uses.
QString Unique(const QString& local)
{
    return local + "-" + QUuid::createUuid().toString(QUuid::Id128) + "@example.jp";
}

std::string S(const QString& s)
{
    return s.toStdString();
}

// The loopback servers trusted through the test CA, and a one-line message to forward.
class SmtpTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        QString reason;
        servers = lw::test::TestServers::Load(&reason);
        if (!servers) GTEST_SKIP() << reason.toStdString();
        qputenv("LARCHWATCHER_CA_FILE", servers->caFile.toLocal8Bit());
        message = S(lw::test::WriteFile(dir.path(), "m.eml", "Subject: x\r\n\r\nhello\r\n"));
        ASSERT_FALSE(message.empty());
    }
    void TearDown() override { qunsetenv("LARCHWATCHER_CA_FILE"); }
    // A forward of the one-line message to the STARTTLS port, from box@example.jp, without AUTH.
    SmtpRequest To(std::vector<std::string> to) const
    {
        SmtpRequest r;
        r.host = S(servers->host);
        r.port = servers->smtpPort;
        r.timeoutSeconds = 10;
        r.from = {"", "box@example.jp"};
        r.to = std::move(to);
        r.contentPath = message;
        r.subject = "s";
        return r;
    }
    static std::string Send(const SmtpRequest& r) { return SendRequest(r).error; }
    SmtpRequest WithAuth(SmtpRequest r, const QString& mechanism = {}) const
    {
        r.account = S(servers->users.first());
        r.password = S(servers->Password(servers->users.first()));
        r.mechanism = S(mechanism);
        return r;
    }

    std::optional<lw::test::TestServers> servers;
    QTemporaryDir dir;
    std::string message;
};

} // namespace

TEST_F(SmtpTest, AuthMechanismsOverStartTlsAndImplicitTls)
{
    // The mechanism as asked; none: the strongest offered; no credentials: no AUTH; smtps: TLS on its port.
    const struct {
        QString mechanism, expected;
        bool credentials, smtps;
    } cases[] = {{"LOGIN", "LOGIN", true, false},
                 {"PLAIN", "PLAIN", true, false},
                 {"", "CRAM-MD5", true, false},
                 {"", "", false, false},
                 {"CRAM-MD5", "CRAM-MD5", true, true}};
    for (const auto& c : cases) {
        const QString to = Unique("auth");
        SmtpRequest r = To({S(to)});
        r.from.name = "Box";
        if (c.smtps) {
            r.host = " smtps://localhost";
            r.port = servers->smtpsPort;
        }
        EXPECT_EQ(Send(c.credentials ? WithAuth(r, c.mechanism) : r), "");
        const auto got = servers->SinkMessagesTo(to);
        ASSERT_EQ(got.size(), 1u) << S(c.mechanism);
        EXPECT_EQ(QStringList({got[0].authMechanism, got[0].authLogin}),
                  QStringList({c.expected, c.credentials ? servers->users.first() : ""}));
    }

    // A wrong password is an error text naming the server's reply.
    const QString refused = Unique("wrongpw");
    SmtpRequest wrongPassword = WithAuth(To({S(refused)}));
    wrongPassword.password = "no";
    EXPECT_THAT(Send(wrongPassword), testing::HasSubstr("535"));
    EXPECT_TRUE(servers->SinkMessagesTo(refused).empty());
}

TEST_F(SmtpTest, ForwardIsANewMessageWithEveryOriginalPart)
{
    const QString path = TEST_DATA_DIR "/mime/forward-marks-html-alternative.eml"; // two earlier marks
    const QString to1 = Unique("to1"), to2 = Unique("to2"), cc = Unique("cc"), bcc = Unique("secret-bcc");
    SmtpRequest r = WithAuth(To({S(to1), S(to2)}));
    r.cc = {S(cc)};
    r.bcc = {S(bcc)};
    r.contentPath = S(path);
    r.from.name = "受付窓口";
    r.subject = "Fw: 見積の件";
    r.forwardMark = "box@pop.example.jp";
    ASSERT_EQ(Send(r), "");
    const auto got = servers->SinkMessagesTo(bcc);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rcptTos, (QStringList{to1, to2, cc, bcc}));
    EXPECT_FALSE(QByteArray(got[0].data).replace("\r\n", "").contains('\n')) << "lines must end in CR LF";

    // Every fixture, and every real sample when given, is forwarded the same way, its parts unchanged.
    QStringList sources;
    for (const QString& folder : {QStringLiteral(TEST_DATA_DIR "/mime"), QStringLiteral(MAIL_SAMPLES_DIR)}) {
        if (folder.isEmpty()) continue;
        const QDir dir(folder);
        for (const QString& name : dir.entryList({"*.eml"}, QDir::Files, QDir::Name)) sources << dir.filePath(name);
    }
    ASSERT_GE(sources.size(), 8);
    QStringList pairs{path, got[0].file};
    for (const QString& source : sources) {
        const QString to = Unique("sample");
        SmtpRequest sample = To({S(to)});
        sample.contentPath = S(source);
        ASSERT_EQ(Send(sample), "") << S(source);
        const auto sent = servers->SinkMessagesTo(to);
        ASSERT_EQ(sent.size(), 1u) << S(source);
        pairs << source << sent[0].file;
    }
    // Per (original, delivered) pair, as Python's email package reads them (forward_parts.py).
    QProcess python;
    python.start("/usr/bin/python3", QStringList{LW_SOURCE_DIR "/tests/mail/forward_parts.py"} + pairs);
    python.waitForFinished(60000);
    const QJsonArray results = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
    ASSERT_EQ(results.size(), sources.size() + 1);
    // Each forward: the origin, then every original part (Python sees no header in a file with a BOM).
    for (qsizetype i = 0; i < sources.size(); ++i) {
        const QJsonObject r = results[i + 1].toObject();
        EXPECT_TRUE(QFileInfo(sources[i]).fileName().contains("-bom-") ||
                    (r["same_leaves"].toBool() && r["message_id"] != r["original_message_id"]))
            << S(sources[i]);
        EXPECT_TRUE(r["type"].toString() == QStringLiteral("multipart/mixed") && r["intro"].toString().startsWith(u"---------- 転送メッセージ ----------\n差出人: "_qs))
            << S(sources[i]) << S(r["type"].toString()) << S(r["intro"].toString());
    }
    // Nothing a message holds becomes a field: decoded line breaks in name and subject stay in their lines.
    const qsizetype hostile = sources.indexOf(TEST_DATA_DIR "/mime/encoded-line-breaks-in-header-values.eml");
    ASSERT_GE(hostile, 0);
    const QJsonObject h = results[hostile + 1].toObject();
    EXPECT_EQ(h["intro"].toString(), u"---------- 転送メッセージ ----------\n差出人: 山田  Bcc: evil@example.jp <sender@example.jp>\n"
                                      "日付: 2026/12/07 09:30:12\n宛先: 総務課 <office@example.jp>, second@example.jp\n"
                                      "件名: 見積  Bcc: evil2@example.jp    injected body\n\n"_qs);
    EXPECT_EQ(h["fields"].toArray(), (QJsonArray{"content-type", "date", "from", "message-id", "mime-version",
                                                 "reply-to", "subject", "to"}));
    EXPECT_TRUE(h["reply_to"].toString().startsWith(u"\"山田 "_qs) && h["reply_to"].toString().endsWith("\" <sender@example.jp>"))
        << S(h["reply_to"].toString());
    EXPECT_EQ(h["defects"].toInt(), 0);

    const QJsonObject c = results[0].toObject();
    const auto text = [&](const char* key) { return c[QLatin1String(key)].toString(); };
    EXPECT_EQ(QStringList({text("subject"), text("from"), text("to"), text("cc")}),
              QStringList({u"Fw: 見積の件"_qs, u"受付窓口 <box@example.jp>"_qs, to1 + ", " + to2, cc}));
    EXPECT_TRUE(!text("date").contains("10:00:00") && !text("message_id").isEmpty());
    EXPECT_EQ(c["intro"].toString(), u"---------- 転送メッセージ ----------\n差出人: a@example.jp\n"
                                      "日付: 2024/01/04 00:00:00\n宛先: b@example.jp\n件名: marked\n\n"_qs);
    EXPECT_EQ(c["marks"].toArray(),
              (QJsonArray{"first@example.jp", "second@example.jp", "box@pop.example.jp"}));

    // The null reverse-path goes out as MAIL FROM:<>, under a From field that is still well formed.
    const QString nullSender = Unique("null-sender");
    SmtpRequest unsignedForward = To({S(nullSender)});
    unsignedForward.from = {};
    unsignedForward.nullReversePath = true;
    ASSERT_EQ(Send(unsignedForward), "");
    const auto bounced = servers->SinkMessagesTo(nullSender);
    ASSERT_EQ(bounced.size(), 1u);
    EXPECT_EQ(bounced[0].mailFrom, "<>");
    EXPECT_TRUE(bounced[0].data.startsWith("From: undisclosed-sender: ;\r\n")) << bounced[0].data.constData();
}

TEST_F(SmtpTest, RefusalsAreErrorTexts)
{
    EXPECT_FALSE(Send(To({})).empty()) << "no recipient at all";
    // One refused recipient: the others still get it and the text names the refusal.
    const QString good = Unique("good");
    EXPECT_THAT(Send(To({S(good), S(Unique("refuse-rcpt"))})), testing::HasSubstr("550"));
    EXPECT_EQ(servers->SinkMessagesTo(good).size(), 1u);
    // A missing stored message and a bad server text.
    SmtpRequest missing = To({"a@example.jp"});
    missing.contentPath = "/nonexistent/x.eml";
    EXPECT_THAT(Send(missing), testing::HasSubstr("/nonexistent/x.eml"));
    // The whole message refused after DATA; a server that stops answering gives up within twice the time-out.
    EXPECT_THAT(Send(To({S(Unique("refuse-data"))})), testing::HasSubstr("554"));
    SmtpRequest hanging = To({S(Unique("hang"))});
    hanging.timeoutSeconds = 2;
    const QDeadlineTimer limit(2 * 2 * 1000 + 2000);
    EXPECT_FALSE(Send(hanging).empty());
    EXPECT_FALSE(limit.hasExpired()) << "still waiting after twice the time-out and two seconds";

    // Without the test CA (after connections that trusted it) the certificate check fails: nothing sent.
    qunsetenv("LARCHWATCHER_CA_FILE");
    const QString untrusted = Unique("untrusted");
    EXPECT_THAT(Send(To({S(untrusted)})), testing::HasSubstr("certificate"));
    EXPECT_TRUE(servers->SinkMessagesTo(untrusted).empty());
}

TEST(SmtpArguments, ServerSenderAndRecipientListsAsTyped)
{
    std::string error;
    SmtpRequest typed;
    typed.host = " smtps://[::1] ";
    typed.port = 2525;
    typed.timeoutSeconds = 0;
    typed.from = {" \"山田 太郎\" ", " t@x.jp "};
    const auto r = NormalisedRequest(typed, error);
    ASSERT_TRUE(r) << error;
    // A time-out of 0 is the default; smtps:// is implicit TLS.
    EXPECT_EQ(std::tuple(r->host, r->port, r->timeoutSeconds, r->implicitTls, r->from.name, r->from.address),
              std::tuple("::1", 2525, 60L, true, "山田 太郎", "t@x.jp"));
    typed.host = "h";
    typed.port = 465;
    EXPECT_TRUE(NormalisedRequest(typed, error).value_or(SmtpRequest{}).implicitTls)
        << "port 465 is implicit TLS";
    // (host, port, timeout, sender address) that cannot be sent with
    for (const auto& [host, port, timeout, from] : {std::tuple{" ", 25, 60L, "t@x.jp"}, {"h", 99999, 60L, "t@x.jp"},
                                                    {"h", 0, 60L, "t@x.jp"}, {"h", 25, -1L, "t@x.jp"}, {"h", 25, 60L, " "}}) {
        SmtpRequest bad;
        bad.host = host;
        bad.port = port;
        bad.timeoutSeconds = timeout;
        bad.from.address = from;
        EXPECT_FALSE(NormalisedRequest(bad, error)) << host << " " << port << " " << timeout << " " << from;
        bad.nullReversePath = true;
        EXPECT_EQ(NormalisedRequest(bad, error).has_value(), std::string(from) == " " && port == 25 && timeout == 60)
            << "only the null reverse-path goes without a sender address";
    }
    EXPECT_EQ(RecipientList("a@x.jp; <b@x.jp>,c@x.jp\ta@x.jp <>"),
              (std::vector<std::string>{"a@x.jp", "b@x.jp", "c@x.jp"}));

    // Stored messages cut short (no blank line, no final break): the header ends whole where the file does.
    QTemporaryDir dir;
    const struct {
        const char* stored;
        const char* contentFields;
    } shortened[] = {{"Subject: x\nContent-Type: text/plain; charset=utf-8", "Content-Type: text/plain; charset=utf-8\r\n\r\n"},
                     {"Content-Type: text/plain;\r\n charset=utf-8", "Content-Type: text/plain;\r\n charset=utf-8\r\n\r\n"},
                     {"Subject: x", "\r\n"}};
    for (const auto& c : shortened) {
        SmtpRequest forward;
        forward.host = "h";
        forward.from.address = "t@x.jp";
        forward.to = {"a@x.jp"};
        forward.contentPath = S(lw::test::WriteFile(dir.path(), "short.eml", c.stored));
        std::string message;
        ASSERT_TRUE(BuildOutgoingMessage(forward, message, error)) << error;
        // The original is the forward's last part: its fields as they were, then its empty body.
        const auto at = message.find("boundary=\"") + 10;
        const std::string boundary = "--" + message.substr(at, message.find('"', at) - at);
        EXPECT_TRUE(message.ends_with(boundary + "\r\n" + c.contentFields + "\r\n" + boundary + "--\r\n"))
            << message;
    }
}
