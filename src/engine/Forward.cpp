#include "engine/Forward.h"

#include "engine/mail/ActivityLog.h"
#include "engine/mail/Transport.h"

namespace lw::engine {

namespace {

const QChar kTab(u'\t');

} // namespace

ForwardArguments BuildForwardArguments(const config::SettingsRecord& settings, const SenderRule& rule,
                                       const mail::ReceivedMail& mail)
{
    ForwardArguments arguments;
    arguments.server = settings.smtpserver + u':' + QString::number(settings.portsmtp) + u':' +
                       QString::number(settings.timeoutsmtp);

    const bool fixed = settings.flgtrsto || settings.flgtrstgt == 0 || settings.flgtrstgt == 1;
    const QString to = (fixed ? settings.trsto : rule.forwardTo).trimmed();
    const QString cc = (fixed ? settings.trscc : rule.forwardCc).trimmed();
    const QString bcc = (fixed ? settings.trsbcc : rule.forwardBcc).trimmed();

    arguments.recipients = to + kTab + QStringLiteral(">#xfr ") + mail.file;
    if (!cc.isEmpty()) arguments.recipients += kTab + QStringLiteral("cc") + kTab + cc;
    if (!bcc.isEmpty()) arguments.recipients += kTab + QStringLiteral("bcc") + kTab + bcc;
    // A list of only TABs names nobody.
    arguments.hasRecipient = !QString(to + cc + bcc).remove(kTab).trimmed().isEmpty();

    arguments.sender = mail.toName + u'<' + mail.toAddress + u'>';
    if (settings.flgauth && settings.authtyp >= 0 && settings.authtyp <= 3) {
        arguments.sender += kTab + settings.smtpaccount + u':' + settings.smtppassword;
        if (settings.authtyp == 1) arguments.sender += kTab + QStringLiteral("LOGIN");
        if (settings.authtyp == 2) arguments.sender += kTab + QStringLiteral("CRAM-MD5");
        if (settings.authtyp == 3) arguments.sender += kTab + QStringLiteral("PLAIN");
    }
    arguments.subject = QStringLiteral("Fw: ") + mail.subject;
    return arguments;
}

QString ForwardMarkOf(const config::SettingsRecord& settings)
{
    return (settings.popaccount.trimmed() + u'@' + settings.popserver.trimmed()).toLower();
}

bool Forward(const config::SettingsRecord& settings, const SenderRule& rule, const mail::ReceivedMail& mail)
{
    const ForwardArguments arguments = BuildForwardArguments(settings, rule, mail);
    QString result;
    if (!arguments.hasRecipient) {
        result = QStringLiteral("転送先アドレスが指定されていません。");
    } else {
        result = QString::fromStdString(mail::SendMail(
            arguments.server.toStdString(), arguments.recipients.toStdString(), arguments.sender.toStdString(),
            arguments.subject.toStdString(), std::string(), std::string(), ForwardMarkOf(settings).toStdString()));
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
