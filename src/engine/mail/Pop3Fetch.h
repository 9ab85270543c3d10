#pragma once

// The POP3 side of the transport: fetch of new messages into the work folder and deletion by
// base name, over a session that a MailSessionScope may keep open between the two.

#include "engine/mail/Pop3Session.h"

#include <optional>
#include <string>
#include <vector>

namespace lw::mail {

// Stores at most `limit` messages never delivered before, in server order, into folder;
// their full paths, or nothing when there is nothing new or the server failed.
std::optional<std::vector<std::string>> FetchNewMessages(const Pop3Endpoint& endpoint, int limit,
                                                         const std::string& folder);

// Deletes on the server the message stored under baseName in folder (found by its UIDL).
[[nodiscard]] bool DeleteStoredMessage(const Pop3Endpoint& endpoint, const std::string& baseName,
                                       const std::string& folder);

// The reason of the last failed fetch or deletion (for diagnostics and tests).
std::string LastPop3Error();

} // namespace lw::mail
