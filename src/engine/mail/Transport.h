#pragma once

// The mail transport: POP3 fetch and deletion, reading stored messages, SMTP sending.
// Texts are UTF-8. No call lets an exception escape.

#include "engine/mail/MessageParts.h"

#include <optional>
#include <string>
#include <vector>

namespace lw::mail {

using PartList = std::vector<std::string>;

// Fetch: server = host [+ TAB + port], password = "a " + password, command = "SAVE 1-10",
// folder = "<" + work folder. Returns the full paths of newly stored messages, in server order,
// or nothing when there is nothing to process (no mail, or the server failed).
// Delete: server = bare host, password unchanged, command = "DELU " + base name, folder = work folder.
// Returns an empty list on success and nothing on failure.
std::optional<PartList> RcvMail(const std::string& server, const std::string& account,
                                const std::string& password, const std::string& command,
                                const std::string& folder);

// While one lives, a fetch keeps its POP3 session open and "DELU" calls for the same mailbox
// reuse it; its end sends QUIT, which commits those deletions. Without one, every call is a
// session of its own, ended with QUIT before the call returns. Use one per poll cycle.
class MailSessionScope {
public:
    MailSessionScope();
    ~MailSessionScope();
    MailSessionScope(const MailSessionScope&) = delete;
    MailSessionScope& operator=(const MailSessionScope&) = delete;
};

// Reads a stored message: the header fields partList names ("subject:from:to:date:", any
// order and letter case), the body, and one attachment part per file written into folder (or
// one "no file" part when partList holds "nofile:" and the message has no attachment).
// Nothing when the file is missing or is not a message.
std::optional<MessageParts> ReadMail(const std::string& file, const std::string& partList,
                                     const std::string& folder);

// Sends by SMTP. server = host ":" port ":" timeout seconds; to = TAB-joined recipients with
// ">#xfr " + path, "cc", "bcc" elements; from = name "<" address ">" [TAB account ":" password
// [TAB mechanism]]. forwardMark, when not empty, is added as our loop-prevention header.
// Returns the empty text on success, else an error text naming the server's reply.
std::string SendMail(const std::string& server, const std::string& to, const std::string& from,
                     const std::string& subject, const std::string& fifth, const std::string& sixth,
                     const std::string& forwardMark = {});

// Header that marks a message this system forwarded; its values accumulate along a chain.
inline constexpr const char* kForwardMarkHeader = "X-LarchWatcher-Forwarded";

// The forward marks a stored message carries (empty when none or unreadable).
std::vector<std::string> ForwardMarks(const std::string& file);

} // namespace lw::mail
