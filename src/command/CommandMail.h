#pragma once

#include "config/SettingsRecord.h"
#include "config/WorkingCopy.h"
#include "mail/ReceivedMail.h"

#include <QString>

namespace lw::command {

// The command block of a body: the text between the first "mpp{" and the first "}" of the
// whole body. False when there is none or it is empty (nothing to do, nothing to log).
[[nodiscard]] bool FindCommandBlock(const QString& body, QString& block);

// Looks for a command block in the message and, when command mail is allowed and the block
// carries the configured account and password, applies it; every outcome but "no block"
// leaves one activity-log line, and an applied command is recorded in the processing history.
// Never throws; a failure to apply is logged and the caller goes on with the next message.
void HandleCommandMail(const config::SettingsRecord& settings, const mail::ReceivedMail& mail,
                       config::WorkingCopy& copy);

} // namespace lw::command
