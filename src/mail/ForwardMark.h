#pragma once

// The loop-prevention mark of what this mailbox forwards: a keyed hash of the mailbox's identity,
// so that recipients cannot read which mailbox forwarded the message.

#include <QString>

#include <optional>
#include <string>

namespace lw::mail {

// Name of the secret in the program folder.
inline constexpr const char* kForwardMarkKeyFile = "forward-mark.key";

// Lower-case hex HMAC-SHA256 of identity under the program folder's secret. The secret is made
// (32 random bytes, owner-only) the first time it is needed and never replaced. Nothing, with
// the reason, when the secret can be neither read nor made.
std::optional<std::string> OpaqueForwardMark(const QString& programFolder, const std::string& identity,
                                             std::string& error);

} // namespace lw::mail
