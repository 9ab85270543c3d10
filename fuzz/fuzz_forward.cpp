// The forward builder: arbitrary bytes as the stored message of a forward, turned into the
// message to send.
#include "FuzzSupport.h"
#include "mail/SmtpMessage.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first line also goes through the request's normalisation as host, sender and list.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string firstLine = bytes.substr(0, bytes.find('\n'));
    lw::mail::SmtpRequest typed;
    typed.host = firstLine;
    typed.from = {firstLine, firstLine};
    typed.to = lw::mail::RecipientList(firstLine);
    std::string error;
    (void)lw::mail::NormalisedRequest(typed, error);

    lw::mail::SmtpRequest request;
    request.host = "h";
    request.from = {"名前", "t@x.jp"};
    request.to = {"a@x.jp"};
    request.contentPath = lw::fuzz::WriteInput("stored.eml", data, size).toStdString();
    request.subject = "Fw: 件名";
    request.forwardMark = "mark";
    std::string message;
    if (!lw::mail::BuildOutgoingMessage(request, message, error)) return 0;
    // What goes on the wire ends every line in CR LF: curl dot-stuffs only after CR LF.
    for (std::size_t i = 0; i < message.size(); ++i) {
        const bool strayCr = message[i] == '\r' && (i + 1 == message.size() || message[i + 1] != '\n');
        const bool strayLf = message[i] == '\n' && (i == 0 || message[i - 1] != '\r');
        if (strayCr || strayLf) std::abort();
    }
    // The new header ends at the first blank line, carries our mark and no Bcc field.
    const std::size_t headerEnd = message.find("\r\n\r\n");
    if (headerEnd == std::string::npos) std::abort();
    const std::string header = "\r\n" + message.substr(0, headerEnd + 2);
    if (header.find("\r\nBcc:") != std::string::npos ||
        header.find("\r\nX-LarchWatcher-Forwarded: mark\r\n") == std::string::npos)
        std::abort();
    return 0;
}
