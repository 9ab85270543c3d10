#pragma once

// Access to the loopback mail servers started by tools/test-servers: ports, users, the CA,
// Maildir delivery and the SMTP sink's stored messages.

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <optional>
#include <vector>

namespace lw::test {

// One message the SMTP sink accepted, with its envelope.
struct SinkMessage {
    QString file;    // path of the stored .eml
    QByteArray data; // the message as received
    QString mailFrom;
    QStringList rcptTos;
    QString authLogin;     // empty when the client did not authenticate
    QString authMechanism; // "LOGIN", "PLAIN", "CRAM-MD5" or empty
    bool tls = false;
};

// Exclusive use of one test mailbox for the lifetime of the object, which can be moved but not
// copied (other test processes running in parallel pick another one). The mailbox starts empty.
class MailboxLease {
  public:
    MailboxLease(std::unique_ptr<QFile> lock, QString user, QString password);
    const QString& User() const { return m_user; }
    const QString& Password() const { return m_password; }

  private:
    std::unique_ptr<QFile> m_lock; // holds the flock until it is closed
    QString m_user;
    QString m_password;
};

class TestServers {
  public:
    // Reads the env file written by "tools/test-servers start"; nothing (with the reason) when
    // the servers are not running.
    static std::optional<TestServers> Load(QString* reason = nullptr);

    QString host = QStringLiteral("127.0.0.1");
    int pop3Port = 0;
    int pop3sPort = 0;
    int smtpPort = 0;
    int smtpsPort = 0;
    QString caFile;      // CA that signed the servers' certificate
    QString maildirRoot; // <root>/<user>/Maildir
    QString sinkDir;
    QString oauthUrl; // the OAuth2 authorization server (tools/oauth-server.py)
    QString stateDir;
    int mailUid = -1;
    int mailGid = -1;
    QStringList users;

    QString Password(const QString& user) const { return m_env.value("LW_PASSWORD_" + user); }

    // Takes a free mailbox, waiting up to timeoutMs; nothing when all stay busy.
    std::optional<MailboxLease> LeaseMailbox(int timeoutMs = 60000) const;

    // Puts one message into the user's Maildir (tmp/ then rename into new/), owned by the
    // mail user so the server can read it.
    [[nodiscard]] bool Deliver(const QString& user, const QByteArray& message,
                               QString* error = nullptr) const;
    // Number of messages in the user's Maildir (new/ and cur/).
    int MailboxCount(const QString& user) const;

    // One call of the OAuth2 server: a POST of the form fields ("name=value"), or a GET without
    // any; its JSON answer (empty when it gave none).
    QJsonObject OAuthCall(const QString& path, const QStringList& form = {}) const;
    // The OAuth2 server's counters for user ("introspections", "accepted", "refreshes", ...).
    QJsonObject OAuthStats(const QString& user) const
    {
        return OAuthCall("/test/stats?user=" + QUrl::toPercentEncoding(user));
    }

    // The messages the sink stored with this envelope recipient (case-insensitive), oldest first.
    std::vector<SinkMessage> SinkMessagesTo(const QString& recipient) const;

  private:
    QHash<QString, QString> m_env; // the env file's keys and values
};

} // namespace lw::test
