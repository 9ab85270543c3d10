#pragma once

#include "config/SettingsRecord.h"
#include "engine/OAuthTokens.h"
#include "engine/SenderRules.h"
#include "engine/TlsRules.h"
#include "mail/ReceivedMail.h"
#include "mail/SmtpMessage.h"

#include <QString>

#include <optional>
#include <string>

namespace lw::engine {

// One forward: the request handed to the transport and the destinations as the log shows them.
struct ForwardArguments {
    // Subject "Fw: " + subject; sender toName <toAddress>, else (no recipient address) the SMTP
    // or POP account that is an address, else the null reverse-path. The forward mark is added
    // when it is sent.
    mail::SmtpRequest request;
    QString recipients;        // for the log: TO TAB ">#xfr " file [TAB "cc" TAB CC] [TAB "bcc" TAB BCC]
    bool hasRecipient = false; // at least one of TO, CC, BCC names an address
};

// Builds the forward: the fixed triple when the fixed addresses are chosen or the target is all
// mail or the address book, else the rule's destinations; credentials only when SMTP
// authentication is on with a mechanism the list holds.
ForwardArguments BuildForwardArguments(const config::SettingsRecord& settings, const SenderRule& rule,
                                       const mail::ReceivedMail& mail);

// This mailbox's identity: lower-case account "@" server. Older versions marked their forwards
// with it in clear.
QString ForwardMarkOf(const config::SettingsRecord& settings);

// The mark this mailbox puts on what it forwards: the identity's keyed hash under the program
// folder's secret; the reason when the secret is unavailable.
base::Result<std::string> OpaqueForwardMarkOf(const config::SettingsRecord& settings);

// Forwards the stored message by SMTP. A failure is logged as "転送エラー[" whatever the rule
// says; a success is logged as "送信者別転送[" only when the rule's log flag is set.
// The connection settings of the program folder apply (TLS required, trusted certificate); a
// connection refused for its TLS is described in tls when given. With tokens given, OAuth2 set
// up and SMTP-AUTH on, the login is the access token's (one renewal and one more send when the
// server refuses it); a sign-in that no longer works is described in signIn when given. True
// when the message was sent.
bool Forward(const config::SettingsRecord& settings, const SenderRule& rule, const mail::ReceivedMail& mail,
             TlsVerdict* tls = nullptr, OAuthTokens* tokens = nullptr, AccessGrant* signIn = nullptr);

} // namespace lw::engine
