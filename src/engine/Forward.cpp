#include "engine/Forward.h"

#include "engine/mail/ActivityLog.h"
#include "engine/mail/SmtpSend.h"

namespace lw::engine {

namespace {

const QChar kTab(u'\t');

} // namespace

ForwardArguments BuildForwardArguments(const config::SettingsRecord& settings, const SenderRule& rule,
                                       const mail::ReceivedMail& mail)
{
    ForwardArguments arguments;
    mail::SmtpRequest& request = arguments.request;
    request.host = settings.smtpserver.toStdString();
    request.port = settings.portsmtp;
    request.timeoutSeconds = settings.timeoutsmtp;

    const bool fixed = settings.flgtrsto || settings.flgtrstgt == 0 || settings.flgtrstgt == 1;
    const QString to = (fixed ? settings.trsto : rule.forwardTo).trimmed();
    const QString cc = (fixed ? settings.trscc : rule.forwardCc).trimmed();
    const QString bcc = (fixed ? settings.trsbcc : rule.forwardBcc).trimmed();

    arguments.recipients = to + kTab + QStringLiteral(">#xfr ") + mail.file;
    if (!cc.isEmpty()) arguments.recipients += kTab + QStringLiteral("cc") + kTab + cc;
    if (!bcc.isEmpty()) arguments.recipients += kTab + QStringLiteral("bcc") + kTab + bcc;
    // A list of only TABs names nobody.
    arguments.hasRecipient = !QString(to + cc + bcc).remove(kTab).trimmed().isEmpty();
    request.to = mail::RecipientList(to.toStdString());
    request.cc = mail::RecipientList(cc.toStdString());
    request.bcc = mail::RecipientList(bcc.toStdString());
    request.contentPath = mail.file.toStdString();

    request.from = {mail.toName.toStdString(), mail.toAddress.toStdString()};
    if (settings.flgauth && settings.authtyp >= 0 && settings.authtyp <= 3) {
        request.account = settings.smtpaccount.toStdString();
        request.password = settings.smtppassword.toStdString();
        if (settings.authtyp == 1) request.mechanism = "LOGIN";
        if (settings.authtyp == 2) request.mechanism = "CRAM-MD5";
        if (settings.authtyp == 3) request.mechanism = "PLAIN";
    }
    request.subject = (QStringLiteral("Fw: ") + mail.subject).toStdString();
    request.forwardMark = ForwardMarkOf(settings).toStdString();
    return arguments;
}

QString ForwardMarkOf(const config::SettingsRecord& settings)
{
    return (settings.popaccount.trimmed() + u'@' + settings.popserver.trimmed()).toLower();
}

bool Forward(const config::SettingsRecord& settings, const SenderRule& rule, const mail::ReceivedMail& mail,
             TlsVerdict* tls)
{
    ForwardArguments arguments = BuildForwardArguments(settings, rule, mail);
    QString result;
    if (!arguments.hasRecipient) {
        result = QStringLiteral("転送先アドレスが指定されていません。");
    } else {
        const config::ConnectionSecurity security = config::ConnectionSecurity::Load(settings.programFolder);
        std::string normaliseError;
        const std::optional<mail::SmtpRequest> normal = mail::NormalisedRequest(arguments.request, normaliseError);
        const TlsServer server{QStringLiteral("smtp"), QString::fromStdString(normal ? normal->host : std::string()),
                               normal ? normal->port : 0, QString::fromStdString(arguments.request.account)};
        if (normal) arguments.request.tls = TlsPolicyFor(security, server);
        const mail::TransportStatus status = mail::SendRequest(arguments.request);
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
        mail::WriteLog(settings.programFolder, settings.logfile,
                       QStringLiteral("転送エラー[") + mail.file + QStringLiteral("]:") + result);
        return false;
    }
    if (rule.log) {
        mail::WriteLog(settings.programFolder, settings.logfile,
                       QStringLiteral("送信者別転送[") + mail::BaseName(mail.file) + QStringLiteral("]:") +
                           arguments.recipients);
    }
    return true;
}

} // namespace lw::engine
