#include "mail/Charset.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace lw::mail {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Appends the character a table gave, or one replacement per byte where the table has none.
void AppendMapped(std::string& out, char32_t c, std::size_t length, std::size_t& bad)
{
    if (c != 0) {
        AppendUtf8(out, c);
        return;
    }
    for (std::size_t k = 0; k < length; ++k)
        AppendUtf8(out, kReplacement);
    bad += length;
}

// Length of the well-formed UTF-8 sequence at bytes[i], 0 when it is not one.
std::size_t Utf8SequenceAt(std::string_view bytes, std::size_t i, char32_t* value = nullptr)
{
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
        if (value != nullptr) *value = b0;
        return 1;
    }
    std::size_t length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, c = b0 & 0x1F, minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, c = b0 & 0x0F, minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, c = b0 & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > bytes.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(bytes[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    if (value != nullptr) *value = c;
    return length;
}

// Converts a few bytes with iconv into one code point, 0 when iconv refuses them.
char32_t ConvertOne(iconv_t cd, const unsigned char* in, std::size_t length)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char input[4];
    for (std::size_t k = 0; k < length; ++k)
        input[k] = static_cast<char>(in[k]);
    char output[16];
    char* inPtr = input;
    char* outPtr = output;
    std::size_t inLeft = length;
    std::size_t outLeft = sizeof output;
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) || inLeft != 0)
        return 0;
    if (outLeft != sizeof output - 4) return 0; // exactly one UTF-32 code point
    char32_t c = 0;
    for (int k = 3; k >= 0; --k)
        c = (c << 8) | static_cast<unsigned char>(output[k]);
    return c;
}

// Lookup tables filled once from the C library's converters, so reading is a table access.
struct JapaneseTables {
    std::array<char32_t, 65536> cp932{};  // index lead * 256 + trail; 0 = undefined
    std::array<char32_t, 94 * 94> euc2{}; // JIS X 0208 with NEC/IBM extensions (EUC-JP-MS)
    std::array<char32_t, 94 * 94> euc3{}; // JIS X 0212 and IBM extensions after 0x8F
};

const JapaneseTables& Tables()
{
    static std::once_flag once;
    static std::unique_ptr<JapaneseTables> tables;
    std::call_once(once, [] {
        auto built = std::make_unique<JapaneseTables>();
        if (iconv_t cd = iconv_open("UTF-32LE", "CP932"); cd != reinterpret_cast<iconv_t>(-1)) {
            for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
                if (lead >= 0xA0 && lead <= 0xDF) continue;
                for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
                    if (trail == 0x7F) continue;
                    const unsigned char pair[2] = {static_cast<unsigned char>(lead),
                                                   static_cast<unsigned char>(trail)};
                    built->cp932[lead * 256 + trail] = ConvertOne(cd, pair, 2);
                }
            }
            iconv_close(cd);
        }
        if (iconv_t cd = iconv_open("UTF-32LE", "EUC-JP-MS"); cd != reinterpret_cast<iconv_t>(-1)) {
            for (unsigned row = 0; row < 94; ++row) {
                for (unsigned cell = 0; cell < 94; ++cell) {
                    const unsigned char two[2] = {static_cast<unsigned char>(0xA1 + row),
                                                  static_cast<unsigned char>(0xA1 + cell)};
                    built->euc2[row * 94 + cell] = ConvertOne(cd, two, 2);
                    const unsigned char three[3] = {0x8F, two[0], two[1]};
                    built->euc3[row * 94 + cell] = ConvertOne(cd, three, 3);
                }
            }
            iconv_close(cd);
        }
        tables = std::move(built);
    });
    return *tables;
}

bool IsCp932Lead(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
bool IsCp932Trail(unsigned char b)
{
    return b >= 0x40 && b <= 0xFC && b != 0x7F;
}

// Reads CP932 and counts the bytes that could not be read.
std::string Cp932(std::string_view bytes, std::size_t* errors)
{
    const auto& table = Tables().cp932;
    std::string out;
    out.reserve(bytes.size() * 3 / 2);
    std::size_t bad = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            out += static_cast<char>(b);
        } else if (b >= 0xA1 && b <= 0xDF) {
            AppendUtf8(out, 0xFF61 + (b - 0xA1));
        } else if (IsCp932Lead(b) && i + 1 < bytes.size() &&
                   IsCp932Trail(static_cast<unsigned char>(bytes[i + 1]))) {
            const auto trail = static_cast<unsigned char>(bytes[i + 1]);
            AppendMapped(out, table[b * 256 + trail], 2, bad);
            ++i;
        } else {
            AppendUtf8(out, kReplacement);
            ++bad;
        }
    }
    if (errors != nullptr) *errors = bad;
    return out;
}

std::string EucJp(std::string_view bytes, std::size_t* errors)
{
    const auto& tables = Tables();
    std::string out;
    out.reserve(bytes.size() * 3 / 2);
    std::size_t bad = 0;
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const auto inRange = [](unsigned char b) { return b >= 0xA1 && b <= 0xFE; };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char b = at(i);
        if (b < 0x80) {
            out += static_cast<char>(b);
        } else if (b == 0x8E && i + 1 < bytes.size() && at(i + 1) >= 0xA1 && at(i + 1) <= 0xDF) {
            AppendUtf8(out, 0xFF61 + (at(i + 1) - 0xA1));
            ++i;
        } else if (b == 0x8F && i + 2 < bytes.size() && inRange(at(i + 1)) && inRange(at(i + 2))) {
            AppendMapped(out, tables.euc3[(at(i + 1) - 0xA1) * 94 + (at(i + 2) - 0xA1)], 3, bad);
            i += 2;
        } else if (inRange(b) && i + 1 < bytes.size() && inRange(at(i + 1))) {
            AppendMapped(out, tables.euc2[(b - 0xA1) * 94 + (at(i + 1) - 0xA1)], 2, bad);
            ++i;
        } else {
            AppendUtf8(out, kReplacement);
            ++bad;
        }
    }
    if (errors != nullptr) *errors = bad;
    return out;
}

// One JIS X 0208 pair through its Shift_JIS form into CP932; the user-defined rows that CP932
// leaves empty (0x75-0x78, 0x7D-0x7E, carrier emoji) go to the private-use area as on Windows.
void AppendJisPair(std::string& out, unsigned j1, unsigned j2)
{
    const unsigned s1 = ((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0);
    const unsigned s2 = j2 + ((j1 & 1) != 0 ? (j2 < 0x60 ? 0x1F : 0x20) : 0x7E);
    const char32_t c = Tables().cp932[(s1 & 0xFF) * 256 + (s2 & 0xFF)];
    if (c != 0) {
        AppendUtf8(out, c);
    } else if (j1 >= 0x75 && j1 <= 0x7E) {
        AppendUtf8(out, 0xE000 + (j1 - 0x75) * 94 + (j2 - 0x21));
    } else {
        AppendUtf8(out, kReplacement);
        AppendUtf8(out, kReplacement);
    }
}

std::string Iso2022Jp(std::string_view bytes)
{
    enum class Mode { Ascii, Kanji, Kana, Supplement };
    Mode mode = Mode::Ascii;
    bool shiftOut = false; // SO/SI half-width kana
    std::string out;
    out.reserve(bytes.size() * 3 / 2);
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const auto startsWith = [&](std::size_t i, std::string_view seq) {
        return bytes.substr(i, seq.size()) == seq;
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char b = at(i);
        if (b == 0x1B) {
            if (startsWith(i, "\x1b(B") || startsWith(i, "\x1b(J") || startsWith(i, "\x1b(H")) {
                mode = Mode::Ascii, i += 2;
            } else if (startsWith(i, "\x1b$B") || startsWith(i, "\x1b$@")) {
                mode = Mode::Kanji, i += 2;
            } else if (startsWith(i, "\x1b&@\x1b$B")) {
                mode = Mode::Kanji, i += 5;
            } else if (startsWith(i, "\x1b$(B") || startsWith(i, "\x1b$(Q")) {
                mode = Mode::Kanji, i += 3;
            } else if (startsWith(i, "\x1b(I")) {
                mode = Mode::Kana, i += 2;
            } else if (startsWith(i, "\x1b$(D")) {
                mode = Mode::Supplement, i += 3;
            } else {
                AppendUtf8(out, kReplacement);
            }
            continue;
        }
        if (b == 0x0E) {
            shiftOut = true;
            continue;
        }
        if (b == 0x0F) {
            shiftOut = false;
            continue;
        }
        if (b == '\r' || b == '\n') {
            // A line end always returns to ASCII, even when the sender forgot to.
            mode = Mode::Ascii, shiftOut = false;
            out += static_cast<char>(b);
            continue;
        }
        if (b >= 0xA1 && b <= 0xDF) { // 8-bit JIS kana
            AppendUtf8(out, 0xFF61 + (b - 0xA1));
            continue;
        }
        if (b >= 0x80) {
            AppendUtf8(out, kReplacement);
            continue;
        }
        if ((shiftOut || mode == Mode::Kana) && b >= 0x21 && b <= 0x5F) {
            AppendUtf8(out, 0xFF61 + (b - 0x21));
            continue;
        }
        if ((mode == Mode::Kanji || mode == Mode::Supplement) && b >= 0x21 && b <= 0x7E) {
            if (i + 1 < bytes.size() && at(i + 1) >= 0x21 && at(i + 1) <= 0x7E) {
                if (mode == Mode::Kanji) {
                    AppendJisPair(out, b, at(i + 1));
                } else {
                    const char32_t c = Tables().euc3[(b - 0x21) * 94 + (at(i + 1) - 0x21)];
                    AppendUtf8(out, c != 0 ? c : kReplacement);
                }
                ++i;
            } else {
                AppendUtf8(out, kReplacement);
            }
            continue;
        }
        out += static_cast<char>(b);
    }
    return out;
}

// Converter cache per thread: opening a converter costs more than a short header.
class IconvCache {
  public:
    ~IconvCache()
    {
        for (auto& [name, cd] : m_converters)
            if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
    iconv_t Get(const std::string& charset)
    {
        auto found = m_converters.find(charset);
        if (found != m_converters.end()) return found->second;
        iconv_t cd = iconv_open("UTF-8", charset.c_str());
        m_converters.emplace(charset, cd);
        return cd;
    }

  private:
    std::unordered_map<std::string, iconv_t> m_converters;
};

// Converts with the C library; a byte it refuses becomes U+FFFD and reading goes on after it.
bool ConvertWithIconv(std::string_view bytes, const std::string& charset, std::string& out,
                      std::size_t* errors = nullptr)
{
    thread_local IconvCache cache;
    iconv_t cd = cache.Get(charset);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.clear();
    std::vector<char> buffer(bytes.size() * 4 + 16);
    std::string input(bytes);
    char* inPtr = input.data();
    std::size_t inLeft = input.size();
    while (inLeft > 0) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer.data(), buffer.size() - outLeft);
        if (result != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL (cut short at the end): replace one byte and go on.
        AppendUtf8(out, kReplacement);
        if (errors != nullptr) ++*errors;
        ++inPtr;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    char* outPtr = buffer.data();
    std::size_t outLeft = buffer.size();
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer.data(), buffer.size() - outLeft);
    return true;
}

std::string Normalise(std::string_view label)
{
    std::string name;
    for (const char c : label) {
        if (c == '"' || c == '\'' || c == ' ' || c == '\t') continue;
        name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if (const auto star = name.find('*'); star != std::string::npos) name.resize(star); // RFC 2231 language
    return name;
}

enum class Family { Utf8, Ascii, Cp932, EucJp, Iso2022Jp, Korean, Other };

Family Classify(const std::string& name)
{
    static const std::unordered_map<std::string, Family> known = {
        {"utf-8", Family::Utf8},
        {"utf8", Family::Utf8},
        {"us-ascii", Family::Ascii},
        {"ascii", Family::Ascii},
        {"ansi_x3.4-1968", Family::Ascii},
        {"", Family::Ascii},
        {"shift_jis", Family::Cp932},
        {"shift-jis", Family::Cp932},
        {"sjis", Family::Cp932},
        {"x-sjis", Family::Cp932},
        {"s-jis", Family::Cp932},
        {"shiftjis", Family::Cp932},
        {"ms_kanji", Family::Cp932},
        {"ms-kanji", Family::Cp932},
        {"csshiftjis", Family::Cp932},
        {"windows-31j", Family::Cp932},
        {"cswindows31j", Family::Cp932},
        {"cp932", Family::Cp932},
        {"ms932", Family::Cp932},
        {"x-ms-cp932", Family::Cp932},
        {"windows-932", Family::Cp932},
        {"ibm-943", Family::Cp932},
        {"shift_jisx0213", Family::Cp932},
        {"shift_jis-2004", Family::Cp932},
        {"x-shift_jis", Family::Cp932},
        {"euc-jp", Family::EucJp},
        {"eucjp", Family::EucJp},
        {"x-euc-jp", Family::EucJp},
        {"euc-jp-ms", Family::EucJp},
        {"eucjp-ms", Family::EucJp},
        {"ujis", Family::EucJp},
        {"cseucpkdfmtjapanese", Family::EucJp},
        {"x-eucjp", Family::EucJp},
        {"euc_jp", Family::EucJp},
        {"iso-2022-jp", Family::Iso2022Jp},
        {"iso2022jp", Family::Iso2022Jp},
        {"iso-2022-jp-1", Family::Iso2022Jp},
        {"iso-2022-jp-2", Family::Iso2022Jp},
        {"iso-2022-jp-3", Family::Iso2022Jp},
        {"csiso2022jp", Family::Iso2022Jp},
        {"jis", Family::Iso2022Jp},
        {"cp50220", Family::Iso2022Jp},
        {"cp50221", Family::Iso2022Jp},
        {"cp50222", Family::Iso2022Jp},
        {"euc-kr", Family::Korean},
        {"ks_c_5601-1987", Family::Korean},
        {"ks_c_5601", Family::Korean},
        {"cp949", Family::Korean},
        {"euckr", Family::Korean},
    };
    const auto found = known.find(name);
    return found == known.end() ? Family::Other : found->second;
}

// Labels the C library knows under another name or as a narrower set.
std::string IconvName(const std::string& name)
{
    if (name == "iso-8859-8-i") return "ISO-8859-8";
    if (name == "gb2312" || name == "gbk" || name == "x-gbk" || name == "cp936") return "GB18030";
    if (name == "big5" || name == "x-big5") return "BIG5-HKSCS";
    if (name == "ks_c_5601-1987") return "CP949";
    return name;
}

// The text of bytes in a declared charset that is neither Japanese, ASCII nor UTF-8, when every
// byte reads there (C1 controls count as unread: they are what Latin text in the wrong Latin set
// gives); nothing otherwise.
std::optional<std::string> DecodeDeclared(std::string_view bytes, std::string_view charset)
{
    const std::string name = Normalise(charset);
    const Family family = Classify(name);
    if (family != Family::Other && family != Family::Korean) return std::nullopt;
    if (name.rfind("utf-", 0) == 0 || name.rfind("ucs", 0) == 0) return std::nullopt;
    std::string out;
    std::size_t errors = 0;
    const std::string iconvName = family == Family::Korean ? std::string("CP949") : IconvName(name);
    if (!ConvertWithIconv(bytes, iconvName, out, &errors) || errors > 0) return std::nullopt;
    for (std::size_t i = 0; i + 1 < out.size(); ++i)
        if (static_cast<unsigned char>(out[i]) == 0xC2 && static_cast<unsigned char>(out[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(out[i + 1]) <= 0x9F)
            return std::nullopt;
    return out;
}

std::size_t HalfWidthKana(std::string_view utf8)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i + 2 < utf8.size(); ++i) {
        // U+FF61..U+FF9F is EF BD A1..BF or EF BE 80..9F
        if (static_cast<unsigned char>(utf8[i]) == 0xEF) {
            const auto b1 = static_cast<unsigned char>(utf8[i + 1]);
            const auto b2 = static_cast<unsigned char>(utf8[i + 2]);
            if ((b1 == 0xBD && b2 >= 0xA1) || (b1 == 0xBE && b2 <= 0x9F)) ++count;
        }
    }
    return count;
}

std::size_t NonAscii(std::string_view utf8)
{
    std::size_t count = 0;
    for (const char c : utf8)
        if (static_cast<unsigned char>(c) >= 0xC0) ++count;
    return count;
}

} // namespace

bool IsValidUtf8(std::string_view bytes)
{
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = Utf8SequenceAt(bytes, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

bool HasEightBit(std::string_view bytes)
{
    for (const char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

std::string DecodeUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = Utf8SequenceAt(bytes, i);
        if (length == 0) {
            AppendUtf8(out, kReplacement);
            ++i;
        } else {
            out.append(bytes.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::string DecodeCp932(std::string_view bytes)
{
    return Cp932(bytes, nullptr);
}
std::string DecodeEucJp(std::string_view bytes)
{
    return EucJp(bytes, nullptr);
}
std::string DecodeIso2022Jp(std::string_view bytes)
{
    return Iso2022Jp(bytes);
}

std::string DecodeGuess(std::string_view bytes)
{
    if (!HasEightBit(bytes)) {
        if (bytes.find('\x1b') != std::string_view::npos) return Iso2022Jp(bytes);
        return std::string(bytes);
    }
    if (IsValidUtf8(bytes)) return std::string(bytes);
    std::size_t cpErrors = 0;
    std::size_t eucErrors = 0;
    std::string cp = Cp932(bytes, &cpErrors);
    std::string euc = EucJp(bytes, &eucErrors);
    if (eucErrors == 0 && cpErrors > 0) return euc;
    // EUC-JP text often also reads as valid CP932, made of half-width kana; real CP932 text rarely is.
    if (eucErrors == 0 && cpErrors == 0 && HalfWidthKana(cp) * 2 > NonAscii(cp) &&
        HalfWidthKana(euc) < HalfWidthKana(cp))
        return euc;
    if (cpErrors <= eucErrors) return cp;
    return euc;
}

std::string DecodeGuess(std::string_view bytes, const std::vector<std::string>& declared)
{
    if (HasEightBit(bytes) && !IsValidUtf8(bytes))
        for (const std::string& charset : declared)
            if (auto text = DecodeDeclared(bytes, charset)) return *std::move(text);
    return DecodeGuess(bytes);
}

std::string DecodeCharset(std::string_view bytes, std::string_view charset)
{
    const std::string name = Normalise(charset);
    switch (Classify(name)) {
    case Family::Utf8:
        return DecodeUtf8(bytes);
    case Family::Ascii:
        return HasEightBit(bytes) ? DecodeGuess(bytes) : std::string(bytes);
    case Family::Cp932:
        return Cp932(bytes, nullptr);
    case Family::EucJp:
        return EucJp(bytes, nullptr);
    case Family::Iso2022Jp:
        if (HasEightBit(bytes) && IsValidUtf8(bytes)) return std::string(bytes);
        return Iso2022Jp(bytes);
    case Family::Korean:
        if (HasEightBit(bytes) && IsValidUtf8(bytes)) return std::string(bytes);
        break;
    case Family::Other:
        break;
    }
    const bool wide = name.rfind("utf-", 0) == 0 || name.rfind("ucs", 0) == 0;
    if (!wide && !HasEightBit(bytes) && bytes.find('\x1b') == std::string_view::npos) {
        // Plain ASCII reads the same in every ASCII-compatible set; skip the converter.
        return std::string(bytes);
    }
    std::string out;
    const std::string iconvName = Classify(name) == Family::Korean ? std::string("CP949") : IconvName(name);
    if (ConvertWithIconv(bytes, iconvName, out)) return out;
    return DecodeGuess(bytes);
}

} // namespace lw::mail
