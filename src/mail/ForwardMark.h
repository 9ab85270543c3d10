#pragma once

// The loop-prevention mark of what this mailbox forwards: a keyed hash of the mailbox's identity,
// so that recipients cannot read which mailbox forwarded the message.

#include "base/Result.h"

#include <QString>

#include <optional>
#include <string>

namespace lw::mail {

// Name of the secret in the program folder.
inline constexpr const char* kForwardMarkKeyFile = "forward-mark.key";

// Lower-case hex HMAC-SHA256 of identity under the program folder's secret. The secret is made
// (32 random bytes, owner-only) the first time it is needed and never replaced. The reason when
// the secret can be neither read nor made.
base::Result<std::string> OpaqueForwardMark(const QString& programFolder, const std::string& identity);

} // namespace lw::mail
