// Reading stored messages: the part list of ReadMail and the forward marks.
// GMime gives the MIME structure; header values, parameters and charsets are decoded by our own
// code (HeaderDecode, Charset), which reads real Japanese mail the way Windows does.

// GMime (through GIO) must come before Qt, whose "signals" keyword clashes with a GIO field name.
#include <gmime/gmime.h>

#include "mail/Charset.h"
#include "mail/GMimeInit.h"
#include "mail/GObjectPtr.h"
#include "mail/HeaderDecode.h"
#include "base/PosixFile.h"
#include "mail/Transport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <memory>
#include <sstream>

namespace lw::mail {

namespace {

struct ParserOptionsFree {
    void operator()(GMimeParserOptions* options) const { g_mime_parser_options_free(options); }
};

// The whole file, or nothing when it is missing, not a regular file or unreadable.
std::optional<std::string> ReadWholeFile(const std::string& path)
{
    if (path.empty()) return std::nullopt;
    QFile file(QString::fromStdString(path));
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly)) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(file.size()), '\0');
    const qint64 read = file.read(bytes.data(), static_cast<qint64>(bytes.size()));
    if (read < 0) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(read));
    return bytes;
}

// A UTF-8 byte-order mark hides the first header; a file with CR line ends only reads as one
// header line unless each CR becomes a line end.
void PrepareBytes(std::string& bytes)
{
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
    // Blank lines before the first header would make the whole message a body.
    bytes.erase(0, std::min(bytes.find_first_not_of("\r\n"), bytes.size()));
    if (bytes.find('\n') == std::string::npos) std::replace(bytes.begin(), bytes.end(), '\r', '\n');
    // A continuation line before the first field belongs to no field; left in place it would make
    // the whole message a body. It is dropped, and the fields after it are read as they stand.
    std::size_t stray = 0;
    while (stray < bytes.size() && (bytes[stray] == ' ' || bytes[stray] == '\t')) {
        const std::size_t end = bytes.find('\n', stray);
        stray = end == std::string::npos ? bytes.size() : end + 1;
    }
    bytes.erase(0, stray);
}

GObjectPtr<GMimeMessage> ParseMessage(const std::string& bytes)
{
    static const char* fallback[] = {"UTF-8", "CP932", "EUC-JP", nullptr};
    const std::unique_ptr<GMimeParserOptions, ParserOptionsFree> options(g_mime_parser_options_new());
    g_mime_parser_options_set_fallback_charsets(options.get(), fallback);
    g_mime_parser_options_set_rfc2047_compliance_mode(options.get(), GMIME_RFC_COMPLIANCE_LOOSE);
    auto stream = AdoptRef(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    auto parser = AdoptRef(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    return AdoptRef(g_mime_parser_construct_message(parser.get(), options.get()));
}

// The message stored in file, made ready as every reader needs it; null when the file cannot be
// read or holds no message.
GObjectPtr<GMimeMessage> ParseMessageFile(const std::string& file)
{
    auto bytes = ReadWholeFile(file);
    if (!bytes) return nullptr;
    PrepareBytes(*bytes);
    EnsureGMime();
    return ParseMessage(*bytes);
}

// Raw value of the first field of that name (the library's getters merge or take the last).
std::string_view RawHeader(GMimeObject* object, const char* name)
{
    GMimeHeaderList* list = g_mime_object_get_header_list(object);
    if (list == nullptr) return {};
    GMimeHeader* header = g_mime_header_list_get_header(list, name);
    if (header == nullptr) return {};
    const char* raw = g_mime_header_get_raw_value(header);
    return raw == nullptr ? std::string_view() : std::string_view(raw);
}

bool HasFields(GMimeObject* object)
{
    GMimeHeaderList* list = object == nullptr ? nullptr : g_mime_object_get_header_list(object);
    return list != nullptr && g_mime_header_list_get_count(list) > 0;
}

// A header of any size is a header: the library files the Content-* fields under the message's
// top part, so a message whose only field is "Content-Type" has them there.
bool HasHeaderField(GMimeMessage* message)
{
    return HasFields(GMIME_OBJECT(message)) || HasFields(g_mime_message_get_mime_part(message));
}

bool IsType(GMimeObject* object, const char* type, const char* subtype)
{
    GMimeContentType* contentType = g_mime_object_get_content_type(object);
    if (contentType == nullptr) return false;
    const char* media = g_mime_content_type_get_media_type(contentType);
    const char* sub = g_mime_content_type_get_media_subtype(contentType);
    return media != nullptr && g_ascii_strcasecmp(media, type) == 0 &&
           (subtype == nullptr || (sub != nullptr && g_ascii_strcasecmp(sub, subtype) == 0));
}

std::string StripAngles(std::string_view id)
{
    while (!id.empty() && (id.front() == '<' || id.front() == ' '))
        id.remove_prefix(1);
    while (!id.empty() && (id.back() == '>' || id.back() == ' '))
        id.remove_suffix(1);
    return std::string(id);
}

struct Leaf {
    GMimeObject* object = nullptr;
    bool mayBeBody = false; // not a side part of multipart/related
};

void CollectLeaves(GMimeObject* object, bool mayBeBody, std::vector<Leaf>& leaves, int depth)
{
    if (object == nullptr || depth > 64) return;
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        const int count = g_mime_multipart_get_count(multipart);
        int start = 0;
        if (IsType(object, "multipart", "related")) {
            // Only the start part (named by "start", else the first) is the message text.
            const std::string wanted =
                StripAngles(FieldParameter(RawHeader(object, "Content-Type"), "start"));
            for (int i = 0; !wanted.empty() && i < count; ++i) {
                const char* id = g_mime_object_get_content_id(g_mime_multipart_get_part(multipart, i));
                if (id != nullptr && StripAngles(id) == wanted) start = i;
            }
        }
        const bool related = IsType(object, "multipart", "related");
        for (int i = 0; i < count; ++i)
            CollectLeaves(g_mime_multipart_get_part(multipart, i), mayBeBody && (!related || i == start),
                          leaves, depth + 1);
        return;
    }
    leaves.push_back({object, mayBeBody});
}

std::string DecodedContent(GMimeObject* object)
{
    auto stream = AdoptRef(g_mime_stream_mem_new());
    if (GMIME_IS_PART(object)) {
        GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(object));
        if (content == nullptr) return {};
        g_mime_data_wrapper_write_to_stream(content, stream.get());
    } else if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (inner == nullptr) return {};
        g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, stream.get());
    } else {
        return {};
    }
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
    if (bytes == nullptr || bytes->len == 0) return {};
    std::string content(reinterpret_cast<const char*>(bytes->data), bytes->len);
    // In CRLF mail the parser leaves the CR of the line break that belongs to the next boundary.
    if (GMIME_IS_PART(object) && !content.empty() && content.back() == '\r') {
        const GMimeContentEncoding encoding = g_mime_part_get_content_encoding(GMIME_PART(object));
        if (encoding == GMIME_CONTENT_ENCODING_DEFAULT || encoding == GMIME_CONTENT_ENCODING_7BIT ||
            encoding == GMIME_CONTENT_ENCODING_8BIT || encoding == GMIME_CONTENT_ENCODING_BINARY)
            content.pop_back();
    }
    return content;
}

bool IsAttachmentDisposition(GMimeObject* object)
{
    return FieldToken(RawHeader(object, "Content-Disposition")) == "attachment";
}

std::string BodyText(GMimeObject* part)
{
    std::string text =
        DecodeCharset(DecodedContent(part), FieldParameter(RawHeader(part, "Content-Type"), "charset"));
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string AttachmentName(GMimeObject* object)
{
    std::string name = FieldParameter(RawHeader(object, "Content-Disposition"), "filename");
    if (name.empty()) name = FieldParameter(RawHeader(object, "Content-Type"), "name");
    return name;
}

std::string DefaultName(GMimeObject* object)
{
    static const std::array<std::array<const char*, 3>, 8> kKnown = {{
        {"text", "plain", "attachment.txt"},
        {"text", "html", "attachment.html"},
        {"message", "rfc822", "attachment.eml"},
        {"image", "jpeg", "attachment.jpg"},
        {"image", "png", "attachment.png"},
        {"image", "gif", "attachment.gif"},
        {"application", "pdf", "attachment.pdf"},
        {"text", nullptr, "attachment.txt"},
    }};
    for (const auto& known : kKnown)
        if (IsType(object, known[0], known[1])) return known[2];
    return "attachment.bin";
}

std::size_t Utf8Boundary(const std::string& text, std::size_t limit)
{
    if (limit >= text.size()) return text.size();
    while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80)
        --limit;
    return limit;
}

// A name that is safe in any file system: no folders, no reserved characters, not hidden,
// not a device name, at most about 180 bytes with its extension kept.
std::string SafeFileName(std::string name, const std::string& fallback)
{
    if (const std::size_t slash = name.find_last_of("/\\"); slash != std::string::npos)
        name.erase(0, slash + 1);
    for (char& c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos)
            c = '_';
    }
    const auto strip = [](char c) { return c == ' ' || c == '.'; };
    while (!name.empty() && strip(name.front()))
        name.erase(0, 1);
    while (!name.empty() && strip(name.back()))
        name.pop_back();
    if (name.empty()) name = fallback;
    std::string stem = name.substr(0, name.find('.'));
    for (char& c : stem)
        c = static_cast<char>(g_ascii_toupper(c));
    static const std::array<const char*, 4> kDevices = {"CON", "PRN", "AUX", "NUL"};
    const bool device = std::find(kDevices.begin(), kDevices.end(), stem) != kDevices.end() ||
                        (stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) &&
                         stem[3] >= '0' && stem[3] <= '9');
    if (device) name = "_" + name;
    constexpr std::size_t kMaxBytes = 180;
    if (name.size() > kMaxBytes) {
        const std::size_t dot = name.rfind('.');
        const std::string extension =
            (dot != std::string::npos && name.size() - dot <= 16) ? name.substr(dot) : std::string();
        name = name.substr(0, Utf8Boundary(name, kMaxBytes - extension.size())) + extension;
    }
    return name;
}

// True when the file at path holds exactly content.
bool HoldsExactly(const QString& path, const std::string& content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != static_cast<qint64>(content.size())) return false;
    return file.readAll() == QByteArray::fromRawData(content.data(), static_cast<qsizetype>(content.size()));
}

// Writes content under a name not yet used in folder ("name (2).ext" and so on); the full path,
// or empty when the folder cannot take the file. A file left there by an earlier read of the
// same message, with the same name and exactly this content, is that attachment already: it is
// used again, so reading a message twice does not pile up numbered copies. written holds the
// files of this read, which are never used twice.
std::string WriteAttachment(const QString& folder, const std::string& safeName, const std::string& content,
                            std::vector<std::string>& written)
{
    const QString name = QString::fromStdString(safeName);
    const qsizetype dot = name.lastIndexOf(u'.');
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    const QDir dir(folder);
    for (int attempt = 1; attempt < 10000; ++attempt) {
        const QString candidate =
            attempt == 1 ? name : QStringLiteral("%1 (%2)%3").arg(stem).arg(attempt).arg(extension);
        QFile file(dir.filePath(candidate));
        // NewOnly creates atomically, so two readers never share one name.
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
            if (!file.exists()) return {};
            const QFileInfo existing(file.fileName());
            std::string path = QDir::toNativeSeparators(file.fileName()).toStdString();
            if (!existing.isSymLink() && existing.isFile() &&
                std::find(written.begin(), written.end(), path) == written.end() &&
                HoldsExactly(file.fileName(), content)) {
                written.push_back(path);
                return path;
            }
            continue;
        }
        const qint64 bytes = file.write(content.data(), static_cast<qint64>(content.size()));
        if (bytes != static_cast<qint64>(content.size()) || !file.flush()) {
            file.close();
            file.remove();
            return {};
        }
        file.close();
        written.push_back(QDir::toNativeSeparators(file.fileName()).toStdString());
        return written.back();
    }
    return {};
}

std::string MailboxPart(std::string_view raw, const DeclaredCharsets& declared)
{
    const auto box = FirstMailbox(raw, declared);
    if (!box) return {};
    if (box->name.empty()) return box->address;
    // The extractors cut the name between the first two quotes and the address between the
    // first "<" and ">": those characters of the name itself (decoded from encoded-words or
    // written as quoted pairs) stay visible as their full-width forms.
    std::string name;
    for (const char c : box->name) {
        if (c == '"')
            name += "\xEF\xBC\x82"; // ＂
        else if (c == '<')
            name += "\xEF\xBC\x9C"; // ＜
        else if (c == '>')
            name += "\xEF\xBC\x9E"; // ＞
        else
            name += c;
    }
    return "\"" + name + "\" <" + box->address + ">";
}

std::string DatePart(std::string_view raw, const DeclaredCharsets& declared)
{
    if (raw.empty()) return {};
    if (const auto moment = ParseMailDate(raw))
        return moment->toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")).toStdString();
    return DecodeUnstructured(raw, declared);
}

std::vector<std::string> HeaderKeywords(const std::string& partList)
{
    static const std::array<const char*, 4> kHeaders = {"subject", "from", "to", "date"};
    std::vector<std::string> wanted;
    std::string token;
    std::istringstream in(partList);
    while (std::getline(in, token, ':')) {
        std::string lowered;
        for (const char c : token)
            if (c != ' ' && c != '\t') lowered += static_cast<char>(g_ascii_tolower(c));
        if (std::find(kHeaders.begin(), kHeaders.end(), lowered) != kHeaders.end() &&
            std::find(wanted.begin(), wanted.end(), lowered) == wanted.end())
            wanted.push_back(lowered);
    }
    if (wanted.empty()) wanted.assign(kHeaders.begin(), kHeaders.end());
    return wanted;
}

bool AsksForNoFile(const std::string& partList)
{
    std::string lowered(partList);
    for (char& c : lowered)
        c = static_cast<char>(g_ascii_tolower(c));
    return lowered.find("nofile:") != std::string::npos;
}

// The charsets the message declares, for its raw 8-bit header text: those of the encoded-words
// in its header fields, then the charset of its body, then those of its other text parts.
DeclaredCharsets DeclaredBy(GMimeObject* top, GMimeObject* body, const std::vector<Leaf>& leaves)
{
    DeclaredCharsets declared;
    if (GMimeHeaderList* list = g_mime_object_get_header_list(top); list != nullptr) {
        const int count = g_mime_header_list_get_count(list);
        for (int i = 0; i < count; ++i)
            if (const char* raw = g_mime_header_get_raw_value(g_mime_header_list_get_header_at(list, i)))
                AddEncodedWordCharsets(raw, declared);
    }
    const auto addCharsetOf = [&](GMimeObject* part) {
        const std::string charset = FieldParameter(RawHeader(part, "Content-Type"), "charset");
        if (!charset.empty() && std::find(declared.begin(), declared.end(), charset) == declared.end())
            declared.push_back(charset);
    };
    if (body != nullptr) addCharsetOf(body);
    for (const Leaf& leaf : leaves)
        if (leaf.object != body && IsType(leaf.object, "text", nullptr)) addCharsetOf(leaf.object);
    return declared;
}

MessageParts ReadParts(GMimeMessage* message, const std::string& partList, const std::string& folder)
{
    GMimeObject* top = GMIME_OBJECT(message);
    std::vector<Leaf> leaves;
    CollectLeaves(g_mime_message_get_mime_part(message), true, leaves, 0);
    GMimeObject* body = nullptr;
    for (const char* subtype : {"plain", "html"}) {
        for (const Leaf& leaf : leaves) {
            if (leaf.mayBeBody && GMIME_IS_PART(leaf.object) && IsType(leaf.object, "text", subtype) &&
                !IsAttachmentDisposition(leaf.object)) {
                body = leaf.object;
                break;
            }
        }
        if (body != nullptr) break;
    }

    MessageParts read;
    read.attachmentFolder = folder;
    std::vector<MessagePart>& parts = read.parts;
    const DeclaredCharsets declared = DeclaredBy(top, body, leaves);
    for (const std::string& keyword : HeaderKeywords(partList)) {
        if (keyword == "subject")
            parts.push_back({PartKind::Subject, DecodeUnstructured(RawHeader(top, "Subject"), declared)});
        else if (keyword == "from")
            parts.push_back({PartKind::From, MailboxPart(RawHeader(top, "From"), declared)});
        else if (keyword == "to")
            parts.push_back({PartKind::To, MailboxPart(RawHeader(top, "To"), declared)});
        else if (keyword == "date")
            parts.push_back({PartKind::Date, DatePart(RawHeader(top, "Date"), declared)});
    }
    parts.push_back({PartKind::Body, body != nullptr ? BodyText(body) : std::string()});

    // Attachments found, written or not: "nofile:" must never hide an attachment that could
    // not be written.
    std::size_t found = 0;
    std::vector<std::string> written;
    const QString target = QString::fromStdString(folder);
    for (const Leaf& leaf : leaves) {
        if (leaf.object == body) continue;
        const std::string name = AttachmentName(leaf.object);
        if (name.empty() && !IsAttachmentDisposition(leaf.object)) continue;
        ++found;
        if (target.isEmpty()) continue; // no folder given: the caller wants the text only
        const std::string safeName = SafeFileName(name, DefaultName(leaf.object));
        const std::string path = base::MakeOwnerOnlyFolders(QFile::encodeName(target).toStdString())
                                     ? WriteAttachment(target, safeName, DecodedContent(leaf.object), written)
                                     : std::string();
        if (path.empty()) {
            qWarning("attachment \"%s\" could not be written into %s", safeName.c_str(),
                     qUtf8Printable(target));
            continue;
        }
        parts.push_back({PartKind::Attachment, path});
    }
    if (found == 0 && AsksForNoFile(partList)) parts.push_back({PartKind::NoAttachment, {}});
    return read;
}

} // namespace

std::optional<MessageParts> ReadMail(const std::string& file, const std::string& partList,
                                     const std::string& folder)
{
    try {
        const auto message = ParseMessageFile(file);
        if (!message || !HasHeaderField(message.get())) return std::nullopt;
        return ReadParts(message.get(), partList, folder);
    } catch (...) {
        return std::nullopt;
    }
}

const char* PartKeyword(PartKind kind)
{
    switch (kind) {
    case PartKind::Subject:
        return "subject:";
    case PartKind::From:
        return "from:";
    case PartKind::To:
        return "to:";
    case PartKind::Date:
        return "date:";
    case PartKind::Body:
        return "body:";
    case PartKind::Attachment:
        return "file:";
    case PartKind::NoAttachment:
        return "nofile:";
    }
    return "";
}

std::string PartText(const MessagePart& part)
{
    return PartKeyword(part.kind) + part.value;
}

std::optional<MessageOrigin> ReadOrigin(const std::string& file)
{
    try {
        const auto message = ParseMessageFile(file);
        if (!message || !HasHeaderField(message.get())) return std::nullopt;
        GMimeObject* top = GMIME_OBJECT(message.get());
        std::vector<Leaf> leaves;
        CollectLeaves(g_mime_message_get_mime_part(message.get()), true, leaves, 0);
        const DeclaredCharsets declared = DeclaredBy(top, nullptr, leaves);
        MessageOrigin origin;
        origin.from = DecodeUnstructured(RawHeader(top, "From"), declared);
        origin.to = DecodeUnstructured(RawHeader(top, "To"), declared);
        origin.cc = DecodeUnstructured(RawHeader(top, "Cc"), declared);
        origin.date = DatePart(RawHeader(top, "Date"), declared);
        origin.subject = DecodeUnstructured(RawHeader(top, "Subject"), declared);
        if (const auto sender = FirstMailbox(RawHeader(top, "From"), declared)) {
            origin.senderName = sender->name;
            origin.senderAddress = sender->address;
        }
        return origin;
    } catch (...) {
        return std::nullopt;
    }
}

std::vector<std::string> ForwardMarks(const std::string& file)
{
    std::vector<std::string> marks;
    try {
        const auto message = ParseMessageFile(file);
        if (!message) return marks;
        GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(message.get()));
        const int count = headers == nullptr ? 0 : g_mime_header_list_get_count(headers);
        for (int i = 0; i < count; ++i) {
            GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
            const char* name = g_mime_header_get_name(header);
            const char* raw = g_mime_header_get_raw_value(header);
            if (name != nullptr && raw != nullptr && g_ascii_strcasecmp(name, kForwardMarkHeader) == 0)
                marks.push_back(DecodeUnstructured(raw));
        }
    } catch (...) {
        marks.clear();
    }
    return marks;
}

} // namespace lw::mail
