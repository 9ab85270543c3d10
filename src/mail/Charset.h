#pragma once

// Text decoding the way Japanese mail is read on Windows: every Shift_JIS label as CP932,
// EUC-JP as EUC-JP-MS, ISO-2022-JP through CP932 (NEC row 13, IBM rows, half-width kana).
// Results are UTF-8; each byte that cannot be read becomes U+FFFD. Thread-safe.

#include <string>
#include <string_view>
#include <vector>

namespace lw::mail {

// True when bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool IsValidUtf8(std::string_view bytes);

// True when any byte is 0x80 or above.
bool HasEightBit(std::string_view bytes);

// Decodes bytes labelled with charset. An empty, ASCII or unknown label with 8-bit bytes is
// guessed; a label of ISO-2022-JP or EUC-KR on valid UTF-8 is read as UTF-8.
std::string DecodeCharset(std::string_view bytes, std::string_view charset);

// Decodes bytes of undeclared charset: UTF-8 when valid, else CP932, else EUC-JP.
std::string DecodeGuess(std::string_view bytes);

// The same for bytes in a message that declares charsets elsewhere (declared, in the order they
// were found): UTF-8 when valid, else the first declared charset other than the Japanese ones,
// ASCII and UTF-8 in which every byte reads, else as above.
std::string DecodeGuess(std::string_view bytes, const std::vector<std::string>& declared);

// Single readers, exposed for tests and for the header decoder.
std::string DecodeCp932(std::string_view bytes);
std::string DecodeEucJp(std::string_view bytes);
std::string DecodeIso2022Jp(std::string_view bytes);
std::string DecodeUtf8(std::string_view bytes);

} // namespace lw::mail
