#include "engine/Forward.h"

#include "engine/mail/ActivityLog.h"
#include "engine/mail/ForwardMark.h"
#include "engine/mail/Transport.h"

namespace lw::engine {

namespace {

const QChar kTab(u'\t');

bool IsAddress(const QString& text)
{
    return text.contains(u'@') && !text.contains(u'<') && !text.contains(u'>') && !text.contains(kTab);
}

// The recipient of the received message sends its forward. Mail that reached the mailbox by
// Bcc, through a list or with "undisclosed-recipients:;" names no recipient, and a server refuses
// the empty sender "<>" as an address: the SMTP account, else the POP account, stands in when it
// is an address, else the null reverse-path is sent.
QString EnvelopeSender(const config::SettingsRecord& settings, const mail::ReceivedMail& mail)
{
    if (IsAddress(mail.toAddress.trimmed())) return mail.toName + u'<' + mail.toAddress + u'>';
    for (const QString& account : {settings.smtpaccount.trimmed(), settings.popaccount.trimmed()}) {
        if (IsAddress(account)) return u'<' + account + u'>';
    }
    return QStringLiteral("<>");
}

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

    arguments.sender = EnvelopeSender(settings, mail);
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

std::optional<std::string> OpaqueForwardMarkOf(const config::SettingsRecord& settings, std::string& error)
{
    return mail::OpaqueForwardMark(settings.programFolder, ForwardMarkOf(settings).toStdString(), error);
}

bool Forward(const config::SettingsRecord& settings, const SenderRule& rule, const mail::ReceivedMail& mail)
{
    const ForwardArguments arguments = BuildForwardArguments(settings, rule, mail);
    QString result;
    if (!arguments.hasRecipient) {
        result = QStringLiteral("転送先アドレスが指定されていません。");
    } else {
        // Without the secret the forward still goes out, unmarked rather than naming the mailbox.
        std::string reason;
        const std::optional<std::string> mark = OpaqueForwardMarkOf(settings, reason);
        if (!mark) {
            mail::WriteLog(settings.programFolder, settings.logfile,
                           QStringLiteral("転送マークエラー[") + mail.file +
                               QStringLiteral("]:転送マークの鍵を読み書きできないため、転送マークなしで転送します:") +
                               QString::fromStdString(reason));
        }
        result = QString::fromStdString(mail::SendMail(
            arguments.server.toStdString(), arguments.recipients.toStdString(), arguments.sender.toStdString(),
            arguments.subject.toStdString(), std::string(), std::string(), mark.value_or(std::string())));
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
