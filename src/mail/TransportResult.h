#pragma once

// What a call of the mail transport did, handed back as a value: no call keeps an error in a
// place of its own for a later question.

#include "mail/TlsCheck.h"

#include <string>

namespace lw::mail {

struct [[nodiscard]] TransportStatus {
    TransportStatus() = default;
    TransportStatus(std::string failure, TlsOutcome outcome = {}) : error(std::move(failure)), tls(std::move(outcome)) {}

    std::string error; // empty: done; else one line naming the cause (the server's reply when it gave one)
    TlsOutcome tls;    // what the connection showed of TLS
    bool loginRefused = false; // the server refused the login (with a bearer token: the token)

    bool Ok() const { return error.empty(); }
};

} // namespace lw::mail
