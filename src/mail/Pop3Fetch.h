#pragma once

// The POP3 side of the transport: one mailbox's fetch into the work folder and the deletions
// decided for what was fetched, over one session per poll cycle.
//
// The work folder is the queue. A fetched message is recorded as stored, not handled; it counts
// as delivered only once Settle records it handled. Until then every fetch hands it out again
// (first, before anything new), so a crash between fetch and handling skips nothing. A decided
// deletion is recorded durably before its DELE and stays recorded until a later listing no
// longer shows the message; each fetch first carries out the deletions still recorded.

#include "mail/Pop3Session.h"
#include "mail/TransportResult.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lw::mail {

struct [[nodiscard]] FetchResult {
    // Full paths of the messages to handle, in order: those stored before and never settled,
    // then the ones this fetch stored, in server order.
    std::vector<std::string> messages;
    // Stored messages handed out kMaxHandOuts times without being settled (each time the
    // program ended while handling them): no longer handed out, so that one message cannot stop
    // the program for good. The caller says so in its log.
    std::vector<std::string> abandoned;
    // Why the fetch stopped early or failed; the messages above are to be handled all the same.
    std::string error;
    // What the login's connection showed of TLS: whether it ran TLS, or why it was refused.
    TlsOutcome tls;
    // The server refused the login (with a bearer token: the token).
    bool loginRefused = false;
};

// How the handling of one handed-out message ended.
enum class Settlement {
    Handled,       // done, stays on the server
    HandledDelete, // done, to be deleted on the server
    Left,          // not handled this time (e.g. the list database was locked): handed out again
};

struct SettledMessage {
    std::string baseName; // as stored in the work folder
    Settlement settlement = Settlement::Handled;
};

inline constexpr int kMaxHandOuts = 3;

// One mailbox's session: the fetch and the deletions share one connection and login; the
// session ends with QUIT (which commits the deletions) at End or destruction.
class Pop3Mailbox {
  public:
    Pop3Mailbox(Pop3Endpoint endpoint, std::string workFolder);
    ~Pop3Mailbox();
    Pop3Mailbox(const Pop3Mailbox&) = delete;
    Pop3Mailbox& operator=(const Pop3Mailbox&) = delete;

    // Carries out the recorded deletions, then hands out the unsettled stored messages and
    // stores at most limit - (their number) messages never delivered before.
    FetchResult FetchNewMessages(int limit);

    // Records the outcome of handled-out messages in one durable write, then sends the DELEs of
    // those to be deleted. An error names the first failure; a deletion that failed stays
    // recorded and is tried again by the next fetch.
    TransportStatus Settle(const std::vector<SettledMessage>& messages);

    // Settle with one message to delete.
    TransportStatus DeleteStoredMessage(const std::string& baseName);

    // Sends QUIT now, committing the deletions.
    void End();

    // With a bearer token: when the server refuses the login, renew gives the token to try once
    // more (empty: none). Once a login is refused for good, this mailbox logs in no more.
    void SetTokenRenewal(std::function<std::string(const std::string& refused)> renew);

    struct State; // the session, the listing and the loaded fetch state

  private:
    std::unique_ptr<State> m_state;
};

} // namespace lw::mail
