#pragma once

// One request to an OAuth2 token endpoint (RFC 6749 section 4.1.3 and 6): the form posted over
// HTTPS and the tokens or the refusal it gets back. Texts are UTF-8. No call lets an exception
// escape.

#include <string>
#include <utility>
#include <vector>

namespace lw::mail {

struct TokenRequest {
    std::string url; // https://..., or http:// on a loopback address only
    std::vector<std::pair<std::string, std::string>> form; // grant_type, client_id, ...
    long timeoutSeconds = 30;
};

struct TokenReply {
    // The endpoint could not be asked or gave no answer it understood (no connection, time-out,
    // a reply that is not JSON): nothing is known about the grant, it may work next time.
    bool unanswered = false;
    long httpStatus = 0;
    std::string accessToken;
    std::string refreshToken; // empty: the endpoint gave none (the old one stays in force)
    long long expiresIn = 0;  // seconds; 0 when the endpoint did not say
    std::string error;            // the endpoint's error code ("invalid_grant"), when it refused
    std::string errorDescription; // its words for it, when it gave them
    std::string failure;          // one line for the log when no access token came

    bool Ok() const { return !accessToken.empty(); }
};

// A token endpoint URL the program sends secrets to: HTTPS, or plain HTTP to a loopback address
// (a local test or proxy). Empty when allowed, else why not.
std::string TokenUrlProblem(const std::string& url);

// Posts the form to the endpoint (certificates verified as for the mail servers) and reads its
// JSON answer.
TokenReply RequestTokens(const TokenRequest& request);

} // namespace lw::mail
