#pragma once

// The mail transport: reading stored messages. The fetch and deletion are in Pop3Fetch.h, the
// send in SmtpSend.h. Texts are UTF-8. No call lets an exception escape.

#include "mail/MessageParts.h"

#include <optional>
#include <string>
#include <vector>

namespace lw::mail {

// Reads a stored message: the header fields partList names ("subject:from:to:date:", any
// order and letter case), the body, and one attachment part per file written into folder (or
// one "no file" part when partList holds "nofile:" and the message has no attachment).
// Nothing when the file is missing or is not a message.
std::optional<MessageParts> ReadMail(const std::string& file, const std::string& partList,
                                     const std::string& folder);

// Where a stored message comes from, decoded for people to read (one line each) and the sender's
// mailbox for a reply.
struct MessageOrigin {
    std::string from;    // the From field as written, decoded
    std::string to;      // every recipient of the To field, decoded
    std::string cc;      // the Cc field, decoded; empty when there is none
    std::string date;    // "yyyy/MM/dd HH:mm:ss" local time, or the field's text when it is no date
    std::string subject;
    std::string senderName;    // the first mailbox of From with an address
    std::string senderAddress; // empty when From names no address
};

// The origin of a stored message; nothing when the file is missing or is not a message.
std::optional<MessageOrigin> ReadOrigin(const std::string& file);

// Header that marks a message this system forwarded; its values accumulate along a chain.
inline constexpr const char* kForwardMarkHeader = "X-LarchWatcher-Forwarded";

// The forward marks a stored message carries (empty when none or unreadable).
std::vector<std::string> ForwardMarks(const std::string& file);

} // namespace lw::mail
