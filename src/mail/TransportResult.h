#pragma once

// What a call of the mail transport did, handed back as a value: no call keeps an error in a
// place of its own for a later question.

#include <string>

namespace lw::mail {

struct [[nodiscard]] TransportStatus {
    std::string error; // empty: done; else one line naming the cause (the server's reply when it gave one)

    bool Ok() const { return error.empty(); }
};

} // namespace lw::mail
