#pragma once

// Decoding of raw header field values as real mail writes them, standard or not.
// Input is the raw value (folded, any bytes); output is UTF-8.

#include <QDateTime>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lw::mail {

// Removes folding line breaks and the trailing line end.
std::string Unfold(std::string_view raw);

// Charsets a message declares (in encoded-words and Content-Type fields), in the order found;
// raw 8-bit header text that is no UTF-8 is read in the first of them where every byte reads.
using DeclaredCharsets = std::vector<std::string>;

// Raw bytes to UTF-8: ISO-2022-JP escapes decoded, undeclared 8-bit text guessed.
std::string RawToUtf8(std::string_view raw, const DeclaredCharsets& declared = {});

// Adds the charset of every encoded-word in raw to declared (each name once).
void AddEncodedWordCharsets(std::string_view raw, DeclaredCharsets& declared);

// Decodes RFC 2047 encoded-words in UTF-8 text, also inside quotes and words; adjacent words of
// one charset are joined byte-wise before conversion, so a character split between them survives.
std::string DecodeEncodedWords(std::string_view text);

// An unstructured field (Subject): unfolded, decoded, line breaks and TABs turned into blanks.
std::string DecodeUnstructured(std::string_view raw, const DeclaredCharsets& declared = {});

struct Mailbox {
    std::string name;    // decoded display name, empty when there is none
    std::string address; // as written, without angle brackets
};

// The first mailbox of an address field that has an address (else the first with a name).
std::optional<Mailbox> FirstMailbox(std::string_view raw, const DeclaredCharsets& declared = {});

// A Date field read leniently (comments and junk ignored, JST and ±hh:mm zones, no zone = local);
// the moment in local time, or nothing when no date and time can be found.
std::optional<QDateTime> ParseMailDate(std::string_view raw);

// Lower-case first token of a structured field ("attachment", "text/plain").
std::string FieldToken(std::string_view raw);

// A parameter of a structured field (RFC 2231 continuations and charsets, RFC 2047 and raw
// 8-bit values), decoded to UTF-8; empty when absent.
std::string FieldParameter(std::string_view raw, std::string_view name);

} // namespace lw::mail
