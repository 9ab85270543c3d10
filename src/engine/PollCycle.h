#pragma once

#include "config/SettingsRecord.h"
#include "config/WorkingCopy.h"
#include "engine/NoticePrinter.h"
#include "engine/OAuthTokens.h"
#include "engine/TlsRules.h"
#include "mail/Pop3Session.h"

#include <QString>

#include <atomic>
#include <optional>
#include <vector>

namespace lw::engine {

// What one poll cycle did: shown in the status bar and turned into --poll-once's exit status.
struct CycleSummary {
    int fetched = 0;     // messages the fetch stored in the work folder
    int handled = 0;     // messages whose parts could be read and that went through the actions
    int errors = 0;      // failures logged with "処理エラー[" (one message may count more than once)
    QString firstError;  // the first such failure as logged, for standard error
    QString fetchError;  // why the fetch failed (server down, login refused); not logged
    int actedOnListed = 0;   // messages of a sender in the rule list that were printed, saved or forwarded
    int actedOnAny = 0;      // messages that were printed, saved or forwarded, listed sender or not
    int commandChanges = 0;  // command mails that changed the settings
    int leftForNextTick = 0; // messages not reached because the service was told to end
    QString tlsRefusal;  // the first connection refused for its TLS (logged), for the status bar
    std::vector<RefusedCertificate> refusedCertificates; // certificates the operator may trust
    QString signInNeeded; // the OAuth2 sign-in no longer works: why, and that it must be done again
};

// The mailbox the settings name: the POP3 server and port, logged in with the POP3 account and
// password (the best login the server offers). Nothing when no server or a bad port is set.
std::optional<mail::Pop3Endpoint> FetchEndpoint(const config::SettingsRecord& settings);

// Runs one poll cycle with the settings snapshot: fetch up to ten messages, extract, register,
// command mail, then print, save, clear, reject and forward as the sender's rule and the global
// forwarding settings ask. A failure inside one message is logged and the next one is handled;
// nothing escapes. printers may be null: a print is then a logged error. workingCopy receives the
// changes of command mail and must be safe to call from the thread running the cycle. Once
// endRequested (when given) is set, the message in hand is finished and the rest stay on the
// server for the next run. With tokens given and OAuth2 set up in the settings file, the POP3
// login and the forwards log in with its access token.
CycleSummary RunPollCycle(const config::SettingsRecord& settings, config::WorkingCopy& workingCopy,
                          NoticePrinterFactory* printers, const std::atomic<bool>* endRequested = nullptr,
                          OAuthTokens* tokens = nullptr);

} // namespace lw::engine
