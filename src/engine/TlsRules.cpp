#include "engine/TlsRules.h"

#include <QtGlobal>

namespace lw::engine {

namespace {

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

QString ServerName(const QString& host, int port)
{
    const QString name = host.contains(u':') && !host.startsWith(u'[') ? u'[' + host + u']' : host;
    return name + u':' + QString::number(port);
}

mail::TlsPolicy TlsPolicyFor(const config::ConnectionSecurity& security, const TlsServer& server)
{
    mail::TlsPolicy policy;
    policy.requireTls = security.TlsRequired(server.protocol, server.host, server.account);
    policy.pinnedFingerprint = security.PinnedFingerprint(server.host, server.port).toStdString();
    return policy;
}

TlsVerdict JudgeTlsOutcome(const QString& folder, const config::ConnectionSecurity& security,
                           const TlsServer& server, const mail::TlsOutcome& outcome)
{
    TlsVerdict verdict;
    if (outcome.tlsUsed && !security.TlsRequired(server.protocol, server.host, server.account)) {
        if (const base::Status remembered = config::RememberTls(folder, server.protocol, server.host, server.account);
            !remembered)
            qWarning("cannot record the TLS server %s: %s", qPrintable(server.host), qPrintable(remembered.ErrorText()));
    }
    if (outcome.tlsMissing) {
        const bool remembered = security.TlsRequired(server.protocol, server.host, server.account);
        verdict.refusal =
            server.bearer && !remembered
                ? QStringLiteral("OAuth2のトークンはTLSなしでは送信しませんが、サーバーがSTARTTLSを提供しないため、ログインを中止しました（トークンは送信していません）。")
            : security.RequireTlsAlways()
                ? QStringLiteral("TLSが必須に設定されていますが、サーバーがSTARTTLSを提供しないため、ログインを中止しました（パスワードは送信していません）。")
                : QStringLiteral("このサーバーにはこれまでTLSで接続していましたが、今回はSTARTTLSが提供されませんでした。通信経路で暗号化が外された可能性があるため、ログインを中止しました（パスワードは送信していません）。");
    }
    if (outcome.refused) {
        const mail::ServerCertificate& c = *outcome.refused;
        RefusedCertificate refused{server, c, security.PinnedFingerprint(server.host, server.port)};
        const QString details = QStringLiteral("主体: ") + Text(c.subject) + QStringLiteral("、発行者: ") +
                                Text(c.issuer) + QStringLiteral("、有効期間: ") + Text(c.notBefore) +
                                QStringLiteral(" ～ ") + Text(c.notAfter);
        if (refused.pinnedFingerprint.isEmpty()) {
            verdict.refusal = QStringLiteral("システムが信頼しない証明書のため、接続を中止しました（") +
                              Text(c.problem) + QStringLiteral("、") + details + QStringLiteral("、SHA-256: ") +
                              Text(c.fingerprint) +
                              QStringLiteral("）。この証明書を信頼する場合は、画面で信頼するか、--trust-certificate ") +
                              ServerName(server.host, server.port) + u'=' + Text(c.fingerprint) +
                              QStringLiteral(" を指定して起動してください。");
        } else {
            verdict.refusal = QStringLiteral("証明書が信頼済みのものと異なるため、接続を中止しました（信頼済み SHA-256: ") +
                              refused.pinnedFingerprint + QStringLiteral("、今回 SHA-256: ") + Text(c.fingerprint) +
                              QStringLiteral("、") + details + QStringLiteral("）。");
        }
        verdict.certificate = std::move(refused);
    }
    return verdict;
}

} // namespace lw::engine
