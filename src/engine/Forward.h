#pragma once

#include "config/SettingsRecord.h"
#include "engine/SenderRules.h"
#include "engine/mail/ReceivedMail.h"

#include <QString>

namespace lw::engine {

// The four arguments of one forward, as handed to the transport's SendMail.
struct ForwardArguments {
    QString server;      // smtpserver ":" portsmtp ":" timeoutsmtp
    QString recipients;  // TO TAB ">#xfr " file [TAB "cc" TAB CC] [TAB "bcc" TAB BCC]
    QString sender;      // toName "<" toAddress ">" [TAB account ":" password [TAB mechanism]]
    QString subject;     // "Fw: " + subject
    bool hasRecipient = false;  // at least one of TO, CC, BCC names an address
};

// Builds the forward's arguments: the fixed triple when flgtrsto is set or flgtrstgt is 0 or 1,
// else the rule's destinations; credentials only with flgauth and authtyp 0 to 3.
ForwardArguments BuildForwardArguments(const config::SettingsRecord& settings, const SenderRule& rule,
                                       const mail::ReceivedMail& mail);

// This mailbox's identity in the forward mark of what it sends: lower-case account "@" server.
QString ForwardMarkOf(const config::SettingsRecord& settings);

// Forwards the stored message by SMTP. A failure is logged as "転送エラー[" whatever the rule
// says; a success is logged as "送信者別転送[" only when the rule's log flag is set.
// True when the message was sent.
bool Forward(const config::SettingsRecord& settings, const SenderRule& rule, const mail::ReceivedMail& mail);

} // namespace lw::engine
