#pragma once

// The SMTP side of the transport: one send per call, one connection per send.

#include "mail/SmtpMessage.h"
#include "mail/TransportResult.h"

namespace lw::mail {

// Sends the request: the stored message of contentPath (when given) under new header fields,
// to every address of to, cc and bcc. An error names the server's reply when it gave one; a
// send that reached some recipients but not all is an error too, naming the refusal.
TransportStatus SendRequest(const SmtpRequest& request);

} // namespace lw::mail
