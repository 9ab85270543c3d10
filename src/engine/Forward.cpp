#include "engine/Forward.h"

#include "mail/ActivityLog.h"
#include "mail/ForwardMark.h"
#include "mail/SmtpSend.h"

namespace lw::engine {

namespace {

const QChar kTab(u'\t');

bool IsAddress(const QString& text)
{
    return text.contains(u'@') && !text.contains(u'<') && !text.contains(u'>') && !text.contains(kTab);
}

// The recipient of the received message sends its forward. Mail that reached the mailbox by
// Bcc, through a list or with "undisclosed-recipients:;" names no recipient, and a server refuses
// an empty address: the SMTP account, else the POP account, stands in when it is an address,
// else the null reverse-path is sent.
void SetEnvelopeSender(const config::SettingsRecord& settings, const mail::ReceivedMail& mail,
                       mail::SmtpRequest& request)
{
    if (IsAddress(mail.toAddress.trimmed())) {
        request.from = {mail.toName.toStdString(), mail.toAddress.toStdString()};
        return;
    }
    for (const QString& account : {settings.smtpAccount.trimmed(), settings.popAccount.trimmed()}) {
        if (IsAddress(account)) {
            request.from = {std::string(), account.toStdString()};
            return;
        }
    }
    request.from = {};
    request.nullReversePath = true;
}

// The SASL name of a mechanism; empty lets the server's best one be used. Nothing for a value
// the authentication list cannot hold: the forward then goes without a login.
std::optional<std::string> MechanismName(config::SmtpAuthMechanism mechanism)
{
    switch (mechanism) {
    case config::SmtpAuthMechanism::NotChosen:
        return std::string();
    case config::SmtpAuthMechanism::Login:
        return std::string("LOGIN");
    case config::SmtpAuthMechanism::CramMd5:
        return std::string("CRAM-MD5");
    case config::SmtpAuthMechanism::Plain:
        return std::string("PLAIN");
    }
    return std::nullopt;
}

} // namespace

ForwardArguments BuildForwardArguments(const config::SettingsRecord& settings, const SenderRule& rule,
                                       const mail::ReceivedMail& mail)
{
    ForwardArguments arguments;
    mail::SmtpRequest& request = arguments.request;
    request.host = settings.smtpServer.toStdString();
    request.port = settings.smtpPort;
    request.timeoutSeconds = settings.smtpTimeoutSeconds;

    const bool fixed = settings.useFixedForwardAddresses ||
                       settings.forwardTarget == config::ForwardTarget::AllMail ||
                       settings.forwardTarget == config::ForwardTarget::AddressBookSenders;
    const QString to = (fixed ? settings.forwardTo : rule.forwardTo).trimmed();
    const QString cc = (fixed ? settings.forwardCc : rule.forwardCc).trimmed();
    const QString bcc = (fixed ? settings.forwardBcc : rule.forwardBcc).trimmed();

    arguments.recipients = to + kTab + QStringLiteral(">#xfr ") + mail.file;
    if (!cc.isEmpty()) arguments.recipients += kTab + QStringLiteral("cc") + kTab + cc;
    if (!bcc.isEmpty()) arguments.recipients += kTab + QStringLiteral("bcc") + kTab + bcc;
    // A list of only TABs names nobody.
    arguments.hasRecipient = !QString(to + cc + bcc).remove(kTab).trimmed().isEmpty();
    request.to = mail::RecipientList(to.toStdString());
    request.cc = mail::RecipientList(cc.toStdString());
    request.bcc = mail::RecipientList(bcc.toStdString());
    request.contentPath = mail.file.toStdString();

    SetEnvelopeSender(settings, mail, request);
    if (const std::optional<std::string> mechanism = MechanismName(settings.smtpAuthMechanism);
        settings.smtpAuthEnabled && mechanism) {
        request.account = settings.smtpAccount.toStdString();
        request.password = settings.smtpPassword.toStdString();
        request.mechanism = *mechanism;
    }
    request.subject = (QStringLiteral("Fw: ") + mail.subject).toStdString();
    return arguments;
}

QString ForwardMarkOf(const config::SettingsRecord& settings)
{
    return (settings.popAccount.trimmed() + u'@' + settings.popServer.trimmed()).toLower();
}

base::Result<std::string> OpaqueForwardMarkOf(const config::SettingsRecord& settings)
{
    return mail::OpaqueForwardMark(settings.programFolder, ForwardMarkOf(settings).toStdString());
}

namespace {

// Sends with the access token when the request logs in and OAuth2 is set up: a refused token is
// renewed once and the send tried once more (a refused login sent nothing); a refusal of the
// renewed one ends all logins until a new sign-in.
mail::TransportStatus SendWithToken(mail::SmtpRequest& request, OAuthTokens* tokens, AccessGrant& grant)
{
    if (tokens == nullptr || request.account.empty() || !tokens->Enabled()) return mail::SendRequest(request);
    grant = tokens->Current();
    if (grant.token.empty()) return {"OAuth2: " + grant.failure.toStdString()};
    request.bearerToken = grant.token;
    mail::TransportStatus status = mail::SendRequest(request);
    if (!status.loginRefused) return status;
    grant = tokens->RenewAfterRefusal(request.bearerToken);
    if (grant.token.empty()) return {"OAuth2: " + grant.failure.toStdString(), status.tls};
    request.bearerToken = grant.token;
    status = mail::SendRequest(request);
    if (status.loginRefused) {
        grant = tokens->RefusedAfterRenewal(QString::fromStdString(status.error));
        status.error = "OAuth2: " + grant.failure.toStdString();
    }
    return status;
}

} // namespace

bool Forward(const config::SettingsRecord& settings, const SenderRule& rule, const mail::ReceivedMail& mail,
             TlsVerdict* tls, OAuthTokens* tokens, AccessGrant* signIn)
{
    const ForwardArguments arguments = BuildForwardArguments(settings, rule, mail);
    QString result;
    if (!arguments.hasRecipient) {
        result = QStringLiteral("転送先アドレスが指定されていません。");
    } else {
        // Without the secret the forward still goes out, unmarked rather than naming the mailbox.
        mail::SmtpRequest request = arguments.request;
        const base::Result<std::string> mark = OpaqueForwardMarkOf(settings);
        if (!mark) {
            mail::WriteLog(
                settings.programFolder, settings.logBaseName,
                QStringLiteral("転送マークエラー[") + mail.file +
                    QStringLiteral("]:転送マークの鍵を読み書きできないため、転送マークなしで転送します:") +
                    mark.ErrorText());
        }
        request.forwardMark = mark ? *mark : std::string();
        const config::ConnectionSecurity security = config::ConnectionSecurity::Load(settings.programFolder);
        std::string normaliseError;
        const std::optional<mail::SmtpRequest> normal = mail::NormalisedRequest(request, normaliseError);
        const bool bearer = tokens != nullptr && !request.account.empty() && tokens->Enabled();
        const TlsServer server{QStringLiteral("smtp"), QString::fromStdString(normal ? normal->host : std::string()),
                               normal ? normal->port : 0, QString::fromStdString(request.account), bearer};
        if (normal) request.tls = TlsPolicyFor(security, server);
        AccessGrant grant;
        const mail::TransportStatus status = SendWithToken(request, tokens, grant);
        if (signIn != nullptr) *signIn = grant;
        result = QString::fromStdString(status.error);
        if (normal) {
            TlsVerdict verdict = JudgeTlsOutcome(settings.programFolder, security, server, status.tls);
            // The refusal says more than the TLS library's text, and names what to do.
            if (!verdict.refusal.isEmpty()) {
                verdict.refusal = QStringLiteral("SMTP ") + ServerName(server.host, server.port) +
                                  QStringLiteral(": ") + verdict.refusal;
                result = verdict.refusal;
            }
            if (tls != nullptr) *tls = std::move(verdict);
        }
    }
    if (!result.isEmpty()) {
        mail::WriteLog(settings.programFolder, settings.logBaseName,
                       QStringLiteral("転送エラー[") + mail.file + QStringLiteral("]:") + result);
        return false;
    }
    if (rule.log) {
        mail::WriteLog(settings.programFolder, settings.logBaseName,
                       QStringLiteral("送信者別転送[") + mail::BaseName(mail.file) + QStringLiteral("]:") +
                           arguments.recipients);
    }
    return true;
}

} // namespace lw::engine
