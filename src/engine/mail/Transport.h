#pragma once

// The mail transport: reading stored messages. The fetch and deletion are in Pop3Fetch.h, the
// send in SmtpSend.h. Texts are UTF-8. No call lets an exception escape.

#include <optional>
#include <string>
#include <vector>

namespace lw::mail {

using PartList = std::vector<std::string>;

// Reads a stored message: "subject:", "from:", "to:", "date:", "body:" and one "file:" per
// attachment written into folder (or "nofile:" when asked for and there is none).
// Nothing when the file is missing or is not a message.
std::optional<PartList> ReadMail(const std::string& file, const std::string& partList,
                                 const std::string& folder);

// Header that marks a message this system forwarded; its values accumulate along a chain.
inline constexpr const char* kForwardMarkHeader = "X-LarchWatcher-Forwarded";

// The forward marks a stored message carries (empty when none or unreadable).
std::vector<std::string> ForwardMarks(const std::string& file);

} // namespace lw::mail
