#pragma once

#include "command/CommandParams.h"
#include "config/SettingsRecord.h"
#include "config/WorkingCopy.h"

#include <QString>

namespace lw::command {

// Carries out an authenticated command: sets the forwarding fields of the working copy, saves
// all settings quietly, then changes the sender rules in tblList (finding or adding each
// sender's row) in one transaction. Uses only the program folder, list database name and log base name of
// settings. False with the reason when the rule list could not be changed; it is then left as
// it was (the working copy and the settings file keep their new values).
[[nodiscard]] bool ApplyCommand(const config::SettingsRecord& settings, const CommandParams& params,
                                config::WorkingCopy& copy, QString& error);

} // namespace lw::command
