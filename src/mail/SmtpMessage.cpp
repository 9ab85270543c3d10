// GMime (through GIO) must come before Qt headers.
#include <gmime/gmime.h>

#include "mail/SmtpMessage.h"

#include "base/TextTrim.h"
#include "mail/GObjectPtr.h"
#include "mail/HeaderDecode.h"
#include "mail/Transport.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <strings.h>

namespace lw::mail {
namespace {

void InitMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

std::string Trimmed(std::string_view text)
{
    return std::string(base::TrimHeaderWhitespace(text));
}

// "Name <addr>" or a bare address; the address inside <> wins.
SmtpMailbox ParseMailbox(const std::string& text)
{
    SmtpMailbox box;
    const auto open = text.rfind('<');
    const auto close = text.rfind('>');
    if (open != std::string::npos && close != std::string::npos && close > open) {
        box.name = Trimmed(text.substr(0, open));
        if (box.name.size() >= 2 && box.name.front() == '"' && box.name.back() == '"')
            box.name = box.name.substr(1, box.name.size() - 2);
        box.address = Trimmed(text.substr(open + 1, close - open - 1));
    } else {
        box.address = Trimmed(text);
    }
    return box;
}

void AddRecipients(std::vector<std::string>& list, const std::string& element)
{
    // Lists arrive TAB-separated; a typed "a; b, c" list is split as well.
    std::string cleaned = element;
    std::replace_if(
        cleaned.begin(), cleaned.end(), [](char c) { return c == ';' || c == ','; }, ' ');
    std::istringstream in(cleaned);
    std::string word;
    while (in >> word) {
        const std::string address = ParseMailbox(word).address;
        if (!address.empty() && address != "<>" && std::find(list.begin(), list.end(), address) == list.end())
            list.push_back(address);
    }
}

std::optional<std::string> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(buffer).str();
}

struct FormatOptionsFree {
    void operator()(GMimeFormatOptions* options) const { g_mime_format_options_free(options); }
};

struct GFree {
    void operator()(char* p) const { g_free(p); }
};

struct DateTimeUnref {
    void operator()(GDateTime* d) const { g_date_time_unref(d); }
};

// One header value on one line: folds undone, ends trimmed.
std::string Unfold(const char* raw)
{
    std::string out;
    for (const char* p = raw; p != nullptr && *p != '\0'; ++p) {
        if (*p == '\r' || *p == '\n') continue;
        out.push_back(*p);
    }
    return Trimmed(out);
}

bool IEquals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool StartsWithI(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// The stored message cut into the header fields it carries over and its body, unchanged.
struct StoredParts {
    std::string contentFields; // Content-* fields, folded as they were, CR LF ends
    std::vector<std::string> marks;
    bool mime = false; // MIME-Version or Content-Type present
    bool multipart = false; // its Content-Type is multipart/*
    std::string body;
};

StoredParts SplitStored(std::string bytes)
{
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
    bytes = ToCrLf(bytes);
    // An mbox separator line ("From addr date") is no part of the message.
    if (bytes.rfind("From ", 0) == 0) bytes.erase(0, std::min(bytes.size(), bytes.find("\r\n") + 2));
    // A continuation line before the first field belongs to no field (the reader skips it too);
    // kept, it would turn the whole header into body text of the forward.
    std::size_t stray = 0;
    while (stray < bytes.size() && (bytes[stray] == ' ' || bytes[stray] == '\t')) {
        const auto end = bytes.find("\r\n", stray);
        stray = end == std::string::npos ? bytes.size() : end + 2;
    }
    bytes.erase(0, stray);
    StoredParts parts;
    // A first line that is no header field means a file without headers: all of it is body.
    const auto firstEnd = bytes.find("\r\n");
    const std::string_view first = std::string_view(bytes).substr(0, firstEnd);
    const auto colon = first.find(':');
    const bool hasHeaders = colon != std::string_view::npos && colon > 0 &&
                            first.substr(0, colon).find_first_of(" \t") == std::string_view::npos;
    if (!hasHeaders) {
        parts.body = std::move(bytes);
        return parts;
    }
    auto headerEnd = bytes.find("\r\n\r\n");
    const std::string header = bytes.substr(0, headerEnd == std::string::npos ? bytes.size() : headerEnd + 2);
    parts.body = headerEnd == std::string::npos ? std::string() : bytes.substr(headerEnd + 4);

    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos < header.size()) {
        // The last line of a file without a blank line may lack its line break: it ends the
        // header there, with one added, instead of wrapping the position round.
        const auto eol = header.find("\r\n", pos);
        const std::string line =
            eol == std::string::npos ? header.substr(pos) + "\r\n" : header.substr(pos, eol - pos + 2);
        pos = eol == std::string::npos ? header.size() : eol + 2;
        if ((line[0] == ' ' || line[0] == '\t') && !fields.empty()) {
            fields.back() += line;
        } else {
            fields.push_back(line);
        }
    }
    for (const std::string& field : fields) {
        const std::string_view name = std::string_view(field).substr(0, field.find(':'));
        if (StartsWithI(name, "Content-")) {
            parts.contentFields += field;
            parts.mime = true;
            if (IEquals(name, "Content-Type"))
                parts.multipart = FieldToken(field.substr(name.size() + 1)).rfind("multipart/", 0) == 0;
        } else if (IEquals(name, "MIME-Version")) {
            parts.mime = true;
        } else if (IEquals(name, kForwardMarkHeader)) {
            const std::string value = Unfold(field.c_str() + name.size() + 1);
            if (!value.empty()) parts.marks.push_back(value);
        }
    }
    return parts;
}

// A value for a header field or a line of text: line breaks and TABs become blanks, ends trimmed.
std::string OneLine(const std::string& text)
{
    std::string line = text;
    std::replace_if(
        line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n' || c == '\t'; }, ' ');
    return Trimmed(line);
}

// An address that can stand in a field as it is: one word with "@", no brackets, quotes or
// control characters.
bool IsPlainAddress(const std::string& address)
{
    if (address.find('@') == std::string::npos) return false;
    return std::none_of(address.begin(), address.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b <= 0x20 || b == 0x7F || c == '<' || c == '>' || c == '"' || c == ',' || c == ';';
    });
}

// A multipart boundary that no line of body starts with.
std::string FreeBoundary(const std::string& body)
{
    std::random_device random;
    for (;;) {
        char text[40];
        std::snprintf(text, sizeof text, "=_LarchWatcher_%08x%08x", random(), random());
        if (body.find(std::string("--") + text) == std::string::npos) return text;
    }
}

// The first part of a forward: the original's sender, date, recipients and subject in a short
// block, as mail programs show a forwarded message; UTF-8 text in base64, ending in CR LF.
std::string IntroPart(const std::optional<MessageOrigin>& origin, GMimeFormatOptions* options)
{
    std::string text = "---------- 転送メッセージ ----------\r\n";
    if (origin) {
        const auto line = [&text](const char* label, const std::string& value, bool always) {
            if (always || !OneLine(value).empty()) text += std::string(label) + ": " + OneLine(value) + "\r\n";
        };
        line("差出人", origin->from, true);
        line("日付", origin->date, true);
        line("宛先", origin->to, true);
        line("Cc", origin->cc, false);
        line("件名", origin->subject, true);
    }
    text += "\r\n";
    auto part = AdoptRef(g_mime_text_part_new_with_subtype("plain"));
    g_mime_text_part_set_text(part.get(), text.c_str());
    g_mime_part_set_content_encoding(GMIME_PART(part.get()), GMIME_CONTENT_ENCODING_BASE64);
    const std::unique_ptr<char, GFree> written(g_mime_object_to_string(GMIME_OBJECT(part.get()), options));
    if (!written) return {};
    std::string intro = ToCrLf(written.get());
    while (intro.ends_with("\r\n")) intro.erase(intro.size() - 2);
    return intro;
}

} // namespace

std::string ToCrLf(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<std::string> RecipientList(const std::string& typed)
{
    std::vector<std::string> list;
    AddRecipients(list, typed);
    return list;
}

std::optional<SmtpRequest> NormalisedRequest(const SmtpRequest& request, std::string& error)
{
    SmtpRequest r = request;
    std::string host = Trimmed(r.host);
    if (host.rfind("smtps://", 0) == 0) {
        r.implicitTls = true;
        host.erase(0, 8);
    } else if (host.rfind("smtp://", 0) == 0) {
        host.erase(0, 7);
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    host = Trimmed(host);
    if (host.empty() || r.port <= 0 || r.port > 65535 || r.timeoutSeconds < 0) {
        error = "SMTP server \"" + request.host + ":" + std::to_string(request.port) + ":" +
                std::to_string(request.timeoutSeconds) + "\" is not host:port:timeout";
        return std::nullopt;
    }
    r.host = host;
    if (r.timeoutSeconds == 0) r.timeoutSeconds = 60;
    if (r.port == 465) r.implicitTls = true;
    r.from.name = Trimmed(r.from.name);
    if (r.from.name.size() >= 2 && r.from.name.front() == '"' && r.from.name.back() == '"')
        r.from.name = r.from.name.substr(1, r.from.name.size() - 2);
    r.from.address = Trimmed(r.from.address);
    if (r.from.address.empty() && !r.nullReversePath) {
        error = "no sender address in \"" + request.from.name + "<" + request.from.address + ">\"";
        return std::nullopt;
    }
    r.mechanism = Trimmed(r.mechanism);
    r.forwardMark = Trimmed(r.forwardMark);
    return r;
}

bool BuildOutgoingMessage(const SmtpRequest& request, std::string& out, std::string& error)
{
    InitMime();
    StoredParts stored;
    std::optional<MessageOrigin> origin;
    const bool forwarding = !request.contentPath.empty();
    if (forwarding) {
        const std::optional<std::string> bytes = ReadFile(request.contentPath);
        if (!bytes) {
            error = "cannot read the message to forward: " + request.contentPath;
            return false;
        }
        stored = SplitStored(*bytes);
        origin = ReadOrigin(request.contentPath);
    }

    // New fields through GMime (it encodes Japanese names and subjects). No value taken from a
    // message keeps a line break, so none can start a field of its own.
    auto message = AdoptRef(g_mime_message_new(FALSE));
    GMimeMessage* m = message.get();
    if (request.nullReversePath) {
        // A null reverse-path has no author to name; an empty group keeps the field well formed.
        g_mime_object_set_header(GMIME_OBJECT(m), "From", "undisclosed-sender:;", nullptr);
    } else {
        g_mime_message_add_mailbox(m, GMIME_ADDRESS_TYPE_FROM, OneLine(request.from.name).c_str(),
                                   OneLine(request.from.address).c_str());
    }
    for (const std::string& a : request.to)
        g_mime_message_add_mailbox(m, GMIME_ADDRESS_TYPE_TO, "", OneLine(a).c_str());
    for (const std::string& a : request.cc)
        g_mime_message_add_mailbox(m, GMIME_ADDRESS_TYPE_CC, "", OneLine(a).c_str());
    // A reply to the forward goes to whoever wrote the original.
    if (origin && IsPlainAddress(origin->senderAddress))
        g_mime_message_add_mailbox(m, GMIME_ADDRESS_TYPE_REPLY_TO, OneLine(origin->senderName).c_str(),
                                   origin->senderAddress.c_str());
    g_mime_message_set_subject(m, OneLine(request.subject).c_str(), "UTF-8");
    const std::unique_ptr<GDateTime, DateTimeUnref> now(g_date_time_new_now_local());
    g_mime_message_set_date(m, now.get());
    const auto at = request.from.address.rfind('@');
    const std::string domain =
        at == std::string::npos ? std::string("localhost") : OneLine(request.from.address.substr(at + 1));
    const std::unique_ptr<char, GFree> id(g_mime_utils_generate_message_id(domain.c_str()));
    g_mime_message_set_message_id(m, id.get());
    if (stored.mime || forwarding) g_mime_object_set_header(GMIME_OBJECT(m), "MIME-Version", "1.0", nullptr);
    std::vector<std::string> marks = stored.marks;
    if (!request.forwardMark.empty()) marks.push_back(request.forwardMark);
    for (const std::string& mark : marks)
        g_mime_object_append_header(GMIME_OBJECT(m), kForwardMarkHeader, OneLine(mark).c_str(), nullptr);

    const std::unique_ptr<GMimeFormatOptions, FormatOptionsFree> options(g_mime_format_options_new());
    g_mime_format_options_set_newline_format(options.get(), GMIME_NEWLINE_FORMAT_DOS);
    const std::unique_ptr<char, GFree> headers(g_mime_object_get_headers(GMIME_OBJECT(m), options.get()));
    if (!headers) {
        error = "cannot build the message to send";
        return false;
    }
    out = ToCrLf(headers.get());
    if (!forwarding) {
        out += "\r\n";
        return true;
    }

    // The forward: a short text naming the original's origin, then the original itself as the
    // second part, its Content-* fields and body byte for byte (text and attachments intact).
    const std::string intro = IntroPart(origin, options.get());
    if (intro.empty()) {
        error = "cannot build the message to send";
        return false;
    }
    const std::string boundary = FreeBoundary(stored.body);
    out += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
    out += "--" + boundary + "\r\n" + intro;
    out += "\r\n--" + boundary + "\r\n";
    out += stored.contentFields;
    out += "\r\n";
    // The line break that ends a multipart body belongs to its closing delimiter, or to the one
    // a cut-short message lacks: the delimiter that follows here takes its place.
    const bool lastBreak = stored.multipart && stored.body.ends_with("\r\n");
    out.append(stored.body, 0, stored.body.size() - (lastBreak ? 2 : 0));
    out += "\r\n--" + boundary + "--\r\n";
    return true;
}

} // namespace lw::mail
