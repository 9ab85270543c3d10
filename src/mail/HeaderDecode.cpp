#include "mail/HeaderDecode.h"

#include "base/TextTrim.h"
#include "mail/Charset.h"

#include <QDate>
#include <QTime>

#include <algorithm>
#include <map>
#include <vector>

namespace lw::mail {

namespace {

bool IsWsp(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string ToLower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = Lower(c);
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}


int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
}

// Lenient base64: foreign characters are skipped, and "=" ends a group, so a stray padding
// character in the middle only loses the bits of its own group.
std::string DecodeBase64(std::string_view text)
{
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '=') {
            bits = 0, count = 0;
            continue;
        }
        const int value = Base64Value(c);
        if (value < 0) continue;
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

std::string DecodeQ(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

struct EncodedWord {
    std::string charset;
    std::string bytes;
    std::size_t end = 0; // index after "?="
};

// Reads "=?charset?B|Q?text?=" at pos; nothing when the text there is not one.
std::optional<EncodedWord> ReadEncodedWord(std::string_view text, std::size_t pos)
{
    std::size_t i = pos + 2;
    const std::size_t charsetEnd = text.find('?', i);
    if (charsetEnd == std::string_view::npos || charsetEnd == i || charsetEnd - i > 64) return std::nullopt;
    for (std::size_t k = i; k < charsetEnd; ++k)
        if (IsWsp(text[k]) || text[k] == '=' || text[k] == '"') return std::nullopt;
    if (charsetEnd + 2 >= text.size() || text[charsetEnd + 2] != '?') return std::nullopt;
    const char encoding = Lower(text[charsetEnd + 1]);
    if (encoding != 'b' && encoding != 'q') return std::nullopt;
    const std::size_t payload = charsetEnd + 3;
    const std::size_t close = text.find("?=", payload);
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view data = text.substr(payload, close - payload);
    for (const char c : data)
        if (IsWsp(c)) return std::nullopt;
    EncodedWord word;
    word.charset = std::string(text.substr(i, charsetEnd - i));
    word.bytes = encoding == 'b' ? DecodeBase64(data) : DecodeQ(data);
    word.end = close + 2;
    return word;
}

void CleanControls(std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == '\t' || c == '\v' || c == '\f')
            out += ' ';
        else if (c != '\0')
            out += c;
    }
    text.swap(out);
}

std::string CollapseWhitespaceRuns(std::string_view text)
{
    std::string out;
    bool blank = false;
    for (const char c : base::TrimHeaderWhitespace(text)) {
        if (IsWsp(c)) {
            blank = true;
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

// Top-level entries of an address list; group names ("team:") are dropped.
std::vector<std::string> SplitAddressList(std::string_view text)
{
    std::vector<std::string> entries;
    std::string current;
    bool quoted = false;
    bool angle = false;
    int comment = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((quoted || comment > 0) && c == '\\' && i + 1 < text.size()) {
            current += c;
            current += text[++i];
            continue;
        }
        if (quoted) {
            if (c == '"') quoted = false;
        } else if (comment > 0) {
            if (c == '(') ++comment;
            if (c == ')') --comment;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '(') {
            comment = 1;
        } else if (c == '<') {
            angle = true;
        } else if (c == '>') {
            angle = false;
        } else if (!angle && (c == ',' || c == ';')) {
            entries.push_back(current);
            current.clear();
            continue;
        } else if (!angle && c == ':' && current.find('@') == std::string::npos &&
                   current.find('<') == std::string::npos) {
            current.clear();
            continue;
        }
        current += c;
    }
    entries.push_back(current);
    return entries;
}

bool JoinsAddress(char c)
{
    return c == '@' || c == '.';
}

// Text without comments; the first comment's text goes to firstComment. A comment stands for a
// blank, except in an address where it touches the "@" or a ".": there it vanishes, so
// "pete(his account)@silly.test" is "pete@silly.test".
std::string StripComments(std::string_view text, bool inAddress = false, std::string* firstComment = nullptr)
{
    std::string out;
    std::string comment;
    bool quoted = false;
    int depth = 0;
    bool seenComment = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (depth > 0) {
            if (c == '\\' && i + 1 < text.size()) {
                if (!seenComment) comment += text[i + 1];
                ++i;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')') {
                if (--depth == 0) {
                    seenComment = true;
                    const bool glued = inAddress && ((!out.empty() && JoinsAddress(out.back())) ||
                                                     (i + 1 < text.size() && JoinsAddress(text[i + 1])));
                    if (!glued) out += ' ';
                }
            } else if (!seenComment) {
                comment += c;
            }
            continue;
        }
        if (quoted && c == '\\' && i + 1 < text.size()) {
            out += c;
            out += text[++i];
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (!quoted && c == '(') {
            depth = 1;
            continue;
        }
        out += c;
    }
    if (firstComment != nullptr) *firstComment = std::string(base::TrimHeaderWhitespace(comment));
    return out;
}

// A display name: quotes removed (with their escapes), blanks collapsed, encoded-words decoded.
std::string Phrase(std::string_view text)
{
    std::string plain;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '\\' && i + 1 < text.size()) {
            plain += text[++i];
        } else if (c == '"') {
            quoted = !quoted;
        } else {
            plain += c;
        }
    }
    std::string decoded = DecodeEncodedWords(CollapseWhitespaceRuns(plain));
    CleanControls(decoded);
    return std::string(base::TrimHeaderWhitespace(decoded));
}

// An address with the folding blanks around its "@" (and, when dots too, its dots) taken out,
// as written otherwise; blanks inside quotes stay.
std::string JoinAddressAtoms(std::string_view text, bool dots)
{
    const auto joins = [&](char c) { return c == '@' || (dots && c == '.'); };
    std::string out;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') quoted = !quoted;
        if (!quoted && IsWsp(c)) {
            std::size_t next = i;
            while (next < text.size() && IsWsp(text[next]))
                ++next;
            if ((!out.empty() && joins(out.back())) || (next < text.size() && joins(text[next]))) {
                i = next - 1;
                continue;
            }
        }
        out += c;
    }
    return out;
}

std::optional<Mailbox> ParseMailbox(std::string_view entry)
{
    const std::string text = StripComments(entry, true);
    Mailbox box;
    bool quoted = false;
    std::size_t lt = std::string::npos;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') quoted = !quoted;
        if (!quoted && text[i] == '<') {
            lt = i;
            break;
        }
    }
    if (lt != std::string::npos) {
        std::size_t gt = text.find('>', lt + 1);
        if (gt == std::string::npos) gt = text.size();
        std::string_view inside = base::TrimHeaderWhitespace(std::string_view(text).substr(lt + 1, gt - lt - 1));
        // An obsolete route "@a,@b:" before the address is not part of it.
        if (!inside.empty() && inside.front() == '@') {
            const std::size_t colon = inside.find(':');
            if (colon != std::string_view::npos) inside.remove_prefix(colon + 1);
        }
        box.address = JoinAddressAtoms(base::TrimHeaderWhitespace(inside), true);
        box.name = Phrase(std::string_view(text).substr(0, lt));
    } else {
        const std::string joined = JoinAddressAtoms(base::TrimHeaderWhitespace(text), false);
        const std::string_view bare = joined;
        // Old carrier addresses and stray words: the first word with "@" is the address.
        std::string_view chosen = bare;
        if (bare.find_first_of(" \t") != std::string_view::npos && bare.find('"') == std::string_view::npos) {
            std::size_t start = 0;
            while (start < bare.size()) {
                std::size_t end = bare.find_first_of(" \t", start);
                if (end == std::string_view::npos) end = bare.size();
                const std::string_view word = bare.substr(start, end - start);
                if (word.find('@') != std::string_view::npos) {
                    chosen = word;
                    break;
                }
                start = end + 1;
            }
        }
        box.address = std::string(chosen);
    }
    if (box.address.empty() && box.name.empty()) return std::nullopt;
    return box;
}

int MonthFromName(std::string_view token)
{
    static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                   "jul", "aug", "sep", "oct", "nov", "dec"};
    if (token.size() < 3) return 0;
    const std::string lowered = ToLower(token.substr(0, 3));
    for (int m = 0; m < 12; ++m)
        if (lowered == kMonths[m]) return m + 1;
    return 0;
}

bool AllDigits(std::string_view text)
{
    if (text.empty()) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

int Number(std::string_view digits)
{
    int value = 0;
    for (const char c : digits)
        value = value * 10 + (c - '0');
    return value;
}

std::optional<int> ZoneOffsetSeconds(std::string_view token)
{
    if ((token.front() == '+' || token.front() == '-') && token.size() >= 3) {
        std::string digits;
        for (const char c : token.substr(1))
            if (c != ':') digits += c;
        if (!AllDigits(digits) || (digits.size() != 4 && digits.size() != 2)) return std::nullopt;
        const int hours = Number(std::string_view(digits).substr(0, 2));
        const int minutes = digits.size() == 4 ? Number(std::string_view(digits).substr(2, 2)) : 0;
        if (hours > 23 || minutes > 59) return std::nullopt;
        const int seconds = hours * 3600 + minutes * 60;
        return token.front() == '-' ? -seconds : seconds;
    }
    static const std::map<std::string, int> kNamed = {
        {"ut", 0},          {"utc", 0},         {"gmt", 0},         {"z", 0},           {"est", -5 * 3600},
        {"edt", -4 * 3600}, {"cst", -6 * 3600}, {"cdt", -5 * 3600}, {"mst", -7 * 3600}, {"mdt", -6 * 3600},
        {"pst", -8 * 3600}, {"pdt", -7 * 3600}, {"jst", 9 * 3600},  {"kst", 9 * 3600},
    };
    const auto found = kNamed.find(ToLower(token));
    if (found == kNamed.end()) return std::nullopt;
    return found->second;
}

} // namespace

std::string Unfold(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size());
    for (const char c : raw)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

std::string RawToUtf8(std::string_view raw, const DeclaredCharsets& declared)
{
    if (raw.find('\x1b') != std::string_view::npos) return DecodeIso2022Jp(raw);
    if (HasEightBit(raw)) return DecodeGuess(raw, declared);
    return std::string(raw);
}

void AddEncodedWordCharsets(std::string_view raw, DeclaredCharsets& declared)
{
    for (std::size_t pos = raw.find("=?"); pos != std::string_view::npos; pos = raw.find("=?", pos + 2)) {
        const auto word = ReadEncodedWord(raw, pos);
        if (!word) continue;
        const bool known = std::any_of(declared.begin(), declared.end(), [&](const std::string& name) {
            return EqualsNoCase(name, word->charset);
        });
        if (!known) declared.push_back(word->charset);
        pos = word->end - 2;
    }
}

std::string DecodeEncodedWords(std::string_view text)
{
    if (text.find("=?") == std::string_view::npos) return std::string(text);
    std::string out;
    std::string pendingCharset;
    std::string pendingBytes;
    bool pending = false;
    const auto flush = [&] {
        if (!pending) return;
        out += DecodeCharset(pendingBytes, pendingCharset);
        pendingBytes.clear();
        pending = false;
    };
    bool afterWord = false; // blanks between two encoded-words are dropped
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t pos = text.find("=?", i);
        if (pos == std::string_view::npos) {
            flush();
            out += text.substr(i);
            break;
        }
        const auto word = ReadEncodedWord(text, pos);
        const std::string_view between = text.substr(i, pos - i);
        if (!word) {
            flush();
            out += text.substr(i, pos + 2 - i);
            i = pos + 2;
            afterWord = false;
            continue;
        }
        const bool onlyWhitespace = base::TrimHeaderWhitespace(between).empty();
        if (pending && onlyWhitespace && EqualsNoCase(word->charset, pendingCharset)) {
            pendingBytes += word->bytes;
        } else {
            flush();
            if (!(afterWord && onlyWhitespace)) out += between;
            pendingCharset = word->charset;
            pendingBytes = word->bytes;
            pending = true;
        }
        afterWord = true;
        i = word->end;
    }
    flush();
    return out;
}

std::string DecodeUnstructured(std::string_view raw, const DeclaredCharsets& declared)
{
    std::string text = DecodeEncodedWords(RawToUtf8(Unfold(raw), declared));
    CleanControls(text);
    return std::string(base::TrimHeaderWhitespace(text));
}

std::optional<Mailbox> FirstMailbox(std::string_view raw, const DeclaredCharsets& declared)
{
    const std::string text = RawToUtf8(Unfold(raw), declared);
    std::optional<Mailbox> named;
    for (const std::string& entry : SplitAddressList(text)) {
        if (base::TrimHeaderWhitespace(entry).empty()) continue;
        auto box = ParseMailbox(entry);
        if (!box) continue;
        if (!box->address.empty()) return box;
        if (!named) named = box;
    }
    return named;
}

std::optional<QDateTime> ParseMailDate(std::string_view raw)
{
    std::string text = StripComments(Unfold(raw));
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto digitAt = [&](std::size_t k) {
            return k < text.size() && text[k] >= '0' && text[k] <= '9';
        };
        // "," separates like a blank; so does the "T" of "yyyy-mm-ddThh:mm:ss".
        if (text[i] == ',' || (text[i] == 'T' && i > 0 && digitAt(i - 1) && digitAt(i + 1))) text[i] = ' ';
    }
    int day = 0, month = 0, year = -1, hour = -1, minute = 0, second = 0;
    std::optional<int> zone;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of(" \t", start);
        if (end == std::string::npos) end = text.size();
        std::string_view token = std::string_view(text).substr(start, end - start);
        start = end + 1;
        if (token.empty()) continue;
        if (year < 0 && token.size() >= 8 && AllDigits(token.substr(0, 4)) &&
            (token[4] == '-' || token[4] == '/')) {
            // A numeric date, "yyyy-mm-dd" or "yyyy/mm/dd".
            const char separator = token[4];
            const std::size_t split = token.find(separator, 5);
            if (split != std::string_view::npos) {
                const std::string_view m = token.substr(5, split - 5);
                const std::string_view d = token.substr(split + 1);
                if (AllDigits(m) && AllDigits(d) && m.size() <= 2 && d.size() <= 2) {
                    year = Number(token.substr(0, 4));
                    month = Number(m);
                    day = Number(d);
                    continue;
                }
            }
        }
        if (token.find(':') != std::string_view::npos && hour < 0 && token.front() >= '0' &&
            token.front() <= '9') {
            // hh:mm[:ss][.fraction], possibly glued to a zone
            std::string_view clock = token;
            const std::size_t sign = clock.find_first_of("+-");
            if (sign != std::string_view::npos) {
                if (!zone) zone = ZoneOffsetSeconds(clock.substr(sign));
                clock = clock.substr(0, sign);
            }
            if (const std::size_t dot = clock.find('.'); dot != std::string_view::npos)
                clock = clock.substr(0, dot);
            std::vector<std::string_view> fields;
            std::size_t f = 0;
            while (f <= clock.size()) {
                std::size_t colon = clock.find(':', f);
                if (colon == std::string_view::npos) colon = clock.size();
                fields.push_back(clock.substr(f, colon - f));
                f = colon + 1;
            }
            if (fields.size() < 2 || fields.size() > 3) continue;
            bool ok = true;
            for (const auto field : fields)
                ok = ok && AllDigits(field) && field.size() <= 2;
            if (!ok) continue;
            hour = Number(fields[0]);
            minute = Number(fields[1]);
            second = fields.size() == 3 ? Number(fields[2]) : 0;
        } else if (AllDigits(token)) {
            const int value = Number(token);
            if (day == 0 && token.size() <= 2 && value >= 1 && value <= 31 && month == 0 && year < 0) {
                day = value;
            } else if (day == 0 && token.size() <= 2 && value >= 1 && value <= 31 && month != 0 && year < 0) {
                day = value;
            } else if (year < 0) {
                year = token.size() <= 2 ? (value < 50 ? 2000 + value : 1900 + value)
                                         : (token.size() == 3 ? 1900 + value : value);
            }
        } else if ((token.front() == '+' || token.front() == '-') && !zone) {
            zone = ZoneOffsetSeconds(token);
        } else if (month == 0 && MonthFromName(token) != 0) {
            month = MonthFromName(token);
        } else if (!zone) {
            zone = ZoneOffsetSeconds(token);
        }
    }
    if (day == 0 || month == 0 || year < 0) return std::nullopt;
    const QDate date(year, month, day);
    const QTime time(hour < 0 ? 0 : hour, minute, second == 60 ? 59 : second);
    if (!date.isValid() || !time.isValid()) return std::nullopt;
    if (!zone) return QDateTime(date, time, Qt::LocalTime);
    return QDateTime(date, time, Qt::UTC).addSecs(-*zone).toLocalTime();
}

std::string FieldToken(std::string_view raw)
{
    const std::string text = Unfold(raw);
    std::string_view value(text);
    const std::size_t semicolon = value.find(';');
    if (semicolon != std::string_view::npos) value = value.substr(0, semicolon);
    return ToLower(base::TrimHeaderWhitespace(StripComments(value)));
}

std::string FieldParameter(std::string_view raw, std::string_view name)
{
    const std::string text = Unfold(raw);
    std::string plain;
    bool havePlain = false;
    std::string extended;
    bool haveExtended = false;
    std::map<int, std::pair<bool, std::string>> sections; // index -> (encoded, value)

    // Walk "; name=value" pairs; quoted values may hold ";".
    std::size_t i = text.find(';');
    while (i != std::string::npos && i < text.size()) {
        ++i;
        while (i < text.size() && IsWsp(text[i]))
            ++i;
        const std::size_t eq = text.find('=', i);
        if (eq == std::string::npos) break;
        const std::string key = ToLower(base::TrimHeaderWhitespace(std::string_view(text).substr(i, eq - i)));
        std::size_t v = eq + 1;
        while (v < text.size() && IsWsp(text[v]))
            ++v;
        std::string value;
        if (v < text.size() && text[v] == '"') {
            ++v;
            while (v < text.size() && text[v] != '"') {
                // Only \" and \\ are escapes: Windows paths keep their backslashes.
                if (text[v] == '\\' && v + 1 < text.size() && (text[v + 1] == '"' || text[v + 1] == '\\'))
                    ++v;
                value += text[v++];
            }
            i = text.find(';', v);
        } else {
            const std::size_t semicolon = text.find(';', v);
            value = std::string(base::TrimHeaderWhitespace(std::string_view(text).substr(
                v, semicolon == std::string::npos ? std::string::npos : semicolon - v)));
            i = semicolon;
        }
        if (key.size() < name.size() || !EqualsNoCase(std::string_view(key).substr(0, name.size()), name))
            continue;
        const std::string_view rest = std::string_view(key).substr(name.size());
        if (rest.empty()) {
            plain = value, havePlain = true;
        } else if (rest == "*") {
            extended = value, haveExtended = true;
        } else if (rest.front() == '*') {
            std::string_view index = rest.substr(1);
            const bool encoded = !index.empty() && index.back() == '*';
            if (encoded) index.remove_suffix(1);
            if (AllDigits(index) && index.size() < 4) sections[Number(index)] = {encoded, value};
        }
    }

    const auto percentDecode = [](std::string_view value) {
        std::string out;
        for (std::size_t k = 0; k < value.size(); ++k) {
            if (value[k] == '%' && k + 2 < value.size() && HexValue(value[k + 1]) >= 0 &&
                HexValue(value[k + 2]) >= 0) {
                out += static_cast<char>(HexValue(value[k + 1]) * 16 + HexValue(value[k + 2]));
                k += 2;
            } else {
                out += value[k];
            }
        }
        return out;
    };
    const auto splitCharset = [](std::string_view value, std::string& charset) {
        const std::size_t first = value.find('\'');
        const std::size_t second = first == std::string_view::npos ? first : value.find('\'', first + 1);
        if (second == std::string_view::npos) return value;
        charset = std::string(value.substr(0, first));
        return value.substr(second + 1);
    };

    if (!sections.empty() || haveExtended) {
        std::string charset;
        std::string bytes;
        if (!sections.empty()) {
            bool first = true;
            for (const auto& [index, section] : sections) {
                std::string_view value = section.second;
                if (section.first) {
                    if (first) value = splitCharset(value, charset);
                    bytes += percentDecode(value);
                } else {
                    bytes += value;
                }
                first = false;
            }
        } else {
            bytes = percentDecode(splitCharset(extended, charset));
        }
        std::string decoded = charset.empty() ? RawToUtf8(bytes) : DecodeCharset(bytes, charset);
        decoded = DecodeEncodedWords(decoded);
        CleanControls(decoded);
        return decoded;
    }
    if (!havePlain) return {};
    std::string decoded = DecodeEncodedWords(RawToUtf8(plain));
    CleanControls(decoded);
    return decoded;
}

} // namespace lw::mail
