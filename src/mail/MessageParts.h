#pragma once

// The parts of a stored message as the reader hands them on: each keeps the kind the reader gave
// it, so nothing written inside a message can pose as another part.

#include <string>
#include <vector>

namespace lw::mail {

// What a part is. Only the reader decides: a body that starts with "Subject:" is still a body.
enum class PartKind { Subject, From, To, Date, Body, Attachment, NoAttachment };

// One part: a decoded header value ("From"/"To" in the form "\"Name\" <address>"), the body
// text, or the full path of an attachment file the reader wrote.
struct MessagePart {
    PartKind kind = PartKind::Body;
    std::string value;

    friend bool operator==(const MessagePart&, const MessagePart&) = default;
};

// The parts of one message in the reader's order, and the folder its attachment files went to
// (empty when none was given; then there are no attachment parts).
struct MessageParts {
    std::vector<MessagePart> parts;
    std::string attachmentFolder;

    friend bool operator==(const MessageParts&, const MessageParts&) = default;
};

// The keyword of a kind: "subject:", "from:", "to:", "date:", "body:", "file:" or "nofile:".
const char* PartKeyword(PartKind kind);

// The part as the notice and the viewer show it: its keyword followed by its value.
std::string PartText(const MessagePart& part);

} // namespace lw::mail
