#pragma once

// The connection settings applied to one POP3 or SMTP connection, and what its TLS outcome
// means for the operator: a server remembered as reached over TLS, a login refused because TLS
// went missing, a certificate refused.

#include "config/ConnectionSecurity.h"
#include "mail/TlsCheck.h"

#include <QString>

#include <optional>

namespace lw::engine {

// One server connection as the connection settings know it.
struct TlsServer {
    QString protocol; // "pop3" or "smtp"
    QString host;     // bare, as the transport connects to it
    int port = 0;
    QString account;  // empty: SMTP without AUTH
    bool bearer = false; // logs in with an OAuth2 token, which never goes without TLS
};

// A certificate the transport refused, for the operator to decide on.
struct RefusedCertificate {
    TlsServer server;
    mail::ServerCertificate certificate;
    QString pinnedFingerprint; // the one trusted for this server and port before, or empty
};

// The policy of a connection: TLS required when it is required always or the server and account
// were reached over TLS before; the certificate trusted for the server and port.
mail::TlsPolicy TlsPolicyFor(const config::ConnectionSecurity& security, const TlsServer& server);

// What the outcome of a connection means: a server first reached over TLS is remembered in the
// settings file of folder; a refusal gives the log text and, for a certificate, the details.
struct TlsVerdict {
    QString refusal; // empty: nothing was refused
    std::optional<RefusedCertificate> certificate;
};
TlsVerdict JudgeTlsOutcome(const QString& folder, const config::ConnectionSecurity& security,
                           const TlsServer& server, const mail::TlsOutcome& outcome);

// "host:port" with brackets around an IPv6 literal, as --trust-certificate takes it.
QString ServerName(const QString& host, int port);

} // namespace lw::engine
