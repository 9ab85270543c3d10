#pragma once

#include "config/SettingsRecord.h"
#include "config/WorkingCopy.h"
#include "mail/ReceivedMail.h"

#include <QString>
#include <QStringList>

namespace lw::command {

// The command block of a body: the text between the first "mpp{" and the first "}" of the
// whole body. False when there is none or it is empty (nothing to do, nothing to log).
[[nodiscard]] bool FindCommandBlock(const QString& body, QString& block);

// What a command mail came to. A command mail has no failure of its own for the caller to
// handle: every outcome, a refusal or a failure to apply included, is a line for the log.
struct [[nodiscard]] CommandOutcome {
    QStringList logLines; // in order; none when the body has no command block
    bool applied = false; // carried out: the caller records it in the processing history
};

// Looks for a command block in the message and, when command mail is allowed and the block
// carries the configured account and password, applies it. Every outcome but "no block" has
// one activity-log line, after the line of a settings save that failed. Never throws.
CommandOutcome HandleCommandMail(const config::SettingsRecord& settings, const mail::ReceivedMail& mail,
                                 config::WorkingCopy& copy);

} // namespace lw::command
