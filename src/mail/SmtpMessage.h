#pragma once

// One SMTP send as the transport takes it, and the message built from it.

#include "mail/TlsCheck.h"

#include <optional>
#include <string>
#include <vector>

namespace lw::mail {

struct SmtpMailbox {
    std::string name;
    std::string address;
};

struct SmtpRequest {
    // As the operator typed it: blanks around it, an "smtp://" or "smtps://" prefix and the
    // brackets of an IPv6 literal are allowed. Port 465 or "smtps://" means implicit TLS.
    std::string host;
    int port = 25;
    bool implicitTls = false;
    long timeoutSeconds = 60; // 0: 60
    SmtpMailbox from;         // the envelope sender and the From field
    bool nullReversePath = false; // no sender: MAIL FROM:<> and an empty From group
    std::string account;      // empty: no AUTH
    std::string password;
    std::string mechanism; // "LOGIN", "CRAM-MD5", "PLAIN" or empty for the best offered
    // An OAuth2 access token: set (with account), the login is XOAUTH2 or OAUTHBEARER with it in
    // place of the password and mechanism, and never without TLS.
    std::string bearerToken{};
    std::vector<std::string> to;
    std::vector<std::string> cc;
    std::vector<std::string> bcc;
    std::string contentPath; // the stored message to forward, or empty
    std::string subject;
    std::string forwardMark;
    TlsPolicy tls{};
};

// The addresses of a typed list: separated by ";", "," or blanks, each either bare or the one
// inside "<>" of a "name <address>"; "<>" and repeats left out.
std::vector<std::string> RecipientList(const std::string& typed);

// The request with its server and sender in the form the send uses (host bare, TLS decided,
// time-out given, names trimmed and unquoted). Nothing, with the reason, when no host, a bad
// port or time-out, or no sender address is given (unless the null reverse-path is asked for).
std::optional<SmtpRequest> NormalisedRequest(const SmtpRequest& request, std::string& error);

// The message to send, lines ending in CR LF, under new From/To/Cc/Subject, a fresh Date and
// Message-ID, no Bcc field, and the forward marks of the original plus request.forwardMark.
// A forward (contentPath given) is multipart/mixed: first a text part naming the original's
// sender, date, recipients and subject, then the stored message's Content-* fields and body
// byte for byte (text and attachments intact); Reply-To names the original's sender.
[[nodiscard]] bool BuildOutgoingMessage(const SmtpRequest& request, std::string& message, std::string& error);

// Lone LF and lone CR become CR LF.
std::string ToCrLf(const std::string& text);

} // namespace lw::mail
