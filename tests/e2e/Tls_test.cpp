// TLS that cannot be stripped and certificates the system does not trust, with the real program,
// the loopback servers and relays that strip STARTTLS or present certificates of their own.
#include "e2e/HomeFixture.h"

#include "config/Settings.h"

#include <QCryptographicHash>

namespace lw::test {
namespace {

class TlsTest : public HomeFixture {
  protected:
    // A self-signed certificate of its own (name.pem, name.key); its SHA-256 fingerprint as openssl
    // prints it (empty when none was made).
    QString MakeCertificate(const QString& name) const
    {
        const QString file = File(name);
        QProcess openssl;
        openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                                  "/O=Office " + name + "/CN=mail.office.example", "-keyout", file + ".key",
                                  "-out", file + ".pem"});
        if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) return {};
        const QString pem = ReadFile(file + ".pem");
        const QByteArray der = QByteArray::fromBase64(pem.section("-----", 2, 2).toLatin1());
        return QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex(':').toUpper();
    }
    // Changes one key the way the program does, keeping the other sections.
    void Change(const QString& key, const QString& value, const QString& section = "larchwatcher")
    {
        ASSERT_TRUE(config::WriteSetting(Home(), "larchwatcher.ini", section, key, value));
    }
    // The log entries written since the last call.
    QString NewLog()
    {
        const QStringList all = LogTexts();
        return all.mid(std::exchange(m_seen, all.size())).join(u'\n');
    }

    qsizetype m_seen = 0;
};

TEST_F(TlsTest, ASelfSignedCertificateIsTrustedOnceForItsServerAndAChangedOneIsRefused)
{
    const QString first = MakeCertificate("first"), second = MakeCertificate("second");
    ASSERT_FALSE(first.isEmpty() || second.isEmpty());
    PortHelper relay("tls_relay.py", {"terminate", QString::number(Servers().pop3Port), File("first.pem"),
                                      File("first.key"), File("second.pem"), File("second.key")});
    ASSERT_GT(relay.port, 0);
    const QString server = "127.0.0.1:" + relay.Port();
    Set({{"popserver", "pop3s://127.0.0.1"}, {"portpop", relay.Port()}});
    WriteSettings();

    DeliverJp("差出人", Address("a"), "一通目");
    const Run run = PollOnce(1);
    QString log = NewLog();
    EXPECT_TRUE(log.contains("システムが信頼しない証明書") && log.contains("SHA-256: " + first) &&
                log.contains("--trust-certificate " + server + "=" + first) && log.contains("O=Office first"))
        << log.toStdString();
    EXPECT_TRUE(run.err.contains(first)) << run.err.toStdString();
    EXPECT_TRUE(Subjects().isEmpty());

    // A fingerprint of another form or a bad server name is refused before any connection.
    PollOnce(1, {"--trust-certificate", server + "=" + first.left(90)});
    PollOnce(1, {"--trust-certificate", "127.0.0.1=" + first});
    EXPECT_FALSE(ReadFile(File("larchwatcher.ini")).contains("pin."));

    // Trusted once (in lower case without colons, as some tools print it), then kept.
    PollOnce(0, {"--trust-certificate", server + "=" + first.toLower().remove(u':')});
    EXPECT_EQ(Subjects(), QStringList{"一通目"});

    // The same port on another address is another server: the pin does not reach it.
    Change("popserver", "pop3s://localhost");
    PollOnce(1);
    Change("popserver", "pop3s://127.0.0.1");

    relay.p.write("switch\n");
    QByteArray said;
    ASSERT_TRUE(ReadUntil(relay.p, said, "SWITCHED"));
    NewLog();
    DeliverJp("差出人", Address("a"), "三通目");
    PollOnce(1);
    log = NewLog();
    EXPECT_TRUE(log.contains("証明書が信頼済みのものと異なる") &&
                log.contains("信頼済み SHA-256: " + first) && log.contains("今回 SHA-256: " + second))
        << log;
    EXPECT_EQ(Subjects(), QStringList{"一通目"});
}

TEST_F(TlsTest, StartTlsStrippedAfterATlsSessionRefusesTheLoginAndSendsNothingInClear)
{
    const QString popRecord = File("pop3.seen"), smtpRecord = File("smtp.seen");
    PortHelper popRelay("tls_relay.py", {"strip", QString::number(Servers().pop3Port), popRecord}),
        smtpRelay("tls_relay.py", {"strip", QString::number(Servers().smtpPort), smtpRecord});
    ASSERT_TRUE(popRelay.port > 0 && smtpRelay.port > 0);
    Forwarding(Address("copy"));
    Set("portpop", popRelay.Port());
    WriteSettings();

    // TLS required from the start: the first connection ever is refused already.
    Change("requiretls", "1", "connection");
    DeliverJp("差出人", Address("a"), "一通目");
    PollOnce(1);
    EXPECT_TRUE(NewLog().contains("TLSが必須に設定されていますが、サーバーがSTARTTLSを提供しない"));
    ExpectNothingInClear(popRecord, "CAPA", m_lease->Password());
    EXPECT_TRUE(Subjects().isEmpty());

    // Without the setting, servers that offer STARTTLS are reached over TLS and remembered.
    Change("requiretls", "0", "connection");
    Change("portpop", QString::number(Servers().pop3Port));
    PollOnce();
    EXPECT_EQ(Subjects(), QStringList{"一通目"});
    ASSERT_EQ(Servers().SinkMessagesTo(Address("copy")).size(), 1u);
    EXPECT_TRUE(Servers().SinkMessagesTo(Address("copy")).front().tls);

    // The SMTP server's STARTTLS stripped: each forward is refused before the envelope.
    Change("portsmtp", smtpRelay.Port());
    NewLog();
    DeliverJp("差出人", Address("a"), "二通目");
    DeliverJp("差出人", Address("a"), "二通目の後");
    EXPECT_EQ(PollOnce().status, 0) << "a failed forward is a logged line, not a failed fetch";
    QString log = NewLog();
    EXPECT_EQ(log.count("転送エラー["), 2) << log.toStdString();
    EXPECT_TRUE(log.contains("マクロ転送[") && log.contains("SMTP 127.0.0.1:" + smtpRelay.Port()) &&
                log.contains("STARTTLSが提供されませんでした"))
        << log;
    ExpectNothingInClear(smtpRecord, "EHLO", m_lease->Password());
    EXPECT_EQ(Query("SELECT メール転送 FROM tblHistory WHERE 件名 = '二通目'"), QStringList{"1"})
        << "a failed forward is recorded as tried";
    EXPECT_EQ(Servers().SinkMessagesTo(Address("copy")).size(), 1u);

    // The POP3 server's STLS stripped: no login, and the message stays on the server.
    Change("portpop", popRelay.Port());
    DeliverJp("差出人", Address("a"), "三通目");
    const Run run = PollOnce(1);
    log = NewLog();
    EXPECT_TRUE(log.contains("処理エラー[POP3 127.0.0.1:" + popRelay.Port() + "]") &&
                log.contains("ログインを中止しました（パスワードは送信していません）"))
        << log;
    EXPECT_TRUE(run.err.contains("STARTTLS")) << run.err.toStdString();
    ExpectNothingInClear(popRecord, "CAPA", m_lease->Password());
    EXPECT_EQ(Subjects(), (QStringList{"一通目", "二通目", "二通目の後"}));
}

} // namespace
} // namespace lw::test
