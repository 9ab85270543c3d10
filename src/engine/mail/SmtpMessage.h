#pragma once

// The arguments of one SMTP send and the message built from them.

#include <optional>
#include <string>
#include <vector>

namespace lw::mail {

struct SmtpMailbox {
    std::string name;
    std::string address;
};

struct SmtpRequest {
    std::string host;
    int port = 25;
    bool implicitTls = false; // smtps: port 465 or an "smtps://" prefix
    long timeoutSeconds = 60;
    SmtpMailbox from;
    std::string account; // empty: no AUTH
    std::string password;
    std::string mechanism; // "LOGIN", "CRAM-MD5", "PLAIN" or empty for the best offered
    std::vector<std::string> to;
    std::vector<std::string> cc;
    std::vector<std::string> bcc;
    std::string contentPath; // the stored message to forward (">#xfr "), or empty
    std::string subject;
    std::string forwardMark;
};

// Reads the SendMail arguments: server "host:port:timeout"; recipients TAB-joined with
// ">#xfr " path, "cc" and "bcc" elements; sender "name<address>" or the null reverse-path "<>"
// [TAB account:password [TAB mechanism]]. Nothing, with the reason, when the server or sender
// cannot be read.
std::optional<SmtpRequest> ParseSmtpArguments(const std::string& server, const std::string& to,
                                              const std::string& from, const std::string& subject,
                                              const std::string& forwardMark, std::string& error);

// The message to send, lines ending in CR LF: the stored message's body and its Content-*
// fields byte for byte (text and attachments intact), under new From/To/Cc/Subject, a fresh
// Date and Message-ID, no Bcc field, and the forward marks of the original plus
// request.forwardMark.
[[nodiscard]] bool BuildOutgoingMessage(const SmtpRequest& request, std::string& message, std::string& error);

// Lone LF and lone CR become CR LF.
std::string ToCrLf(const std::string& text);

} // namespace lw::mail
