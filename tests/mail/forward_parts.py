#!/usr/bin/python3
"""forward_parts.py ORIGINAL FORWARD [ORIGINAL FORWARD ...]: reads each pair with Python's own email
package, independent of the program's reader, and prints one JSON object per pair: the forward's new
header fields, its first text part, and whether its later leaf parts are the original's, unchanged."""
import email
import email.policy
import json
import sys


def load(path):
    with open(path, "rb") as f:
        return email.message_from_binary_file(f, policy=email.policy.default)


def leaves(message):
    return [[p.get_content_type(), p.get_filename() or "", (p.get_payload(decode=True) or b"").hex()]
            for p in message.walk() if not p.is_multipart()]


def compare(original, forward):
    def field(message, name):
        return str(message[name] or "")
    first = next((p for p in forward.walk() if not p.is_multipart()), None)
    intro = ""
    if first is not None and first.get_content_type() == "text/plain":
        intro = first.get_content().replace("\r\n", "\n")
    return {"subject": field(forward, "subject"), "from": field(forward, "from"), "to": field(forward, "to"),
            "cc": field(forward, "cc"), "reply_to": field(forward, "reply-to"),
            "type": forward.get_content_type(), "date": field(forward, "date"),
            "message_id": field(forward, "message-id"), "original_message_id": field(original, "message-id"),
            "same_leaves": leaves(original) == leaves(forward)[1:], "intro": intro,
            "marks": [str(v) for v in forward.get_all("X-LarchWatcher-Forwarded", [])],
            "fields": sorted(set(k.lower() for k in forward.keys())),
            "defects": len(forward.defects) + sum(len(p.defects) for p in forward.walk())}


args = sys.argv[1:]
print(json.dumps([compare(load(args[i]), load(args[i + 1])) for i in range(0, len(args), 2)]))
