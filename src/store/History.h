#pragma once

#include "config/SettingsRecord.h"
#include "engine/mail/ReceivedMail.h"

namespace lw::store {

// Action codes of the processing history.
enum ActionCode : int {
    kActionPrint = 1,
    kActionSave = 2,
    kActionClear = 3,
    kActionLog = 4,
    kActionReject = 5,
    kActionForward = 6,
    kActionCommand = 7,
};

// How a registration ended. Locked: another connection held the list database's lock past the
// busy time-out, so nothing was written.
enum class Registration { Written, Failed, Locked };

// Writes the history row and attachment rows of a received message; failures are logged.
Registration RegisterReceipt(const config::SettingsRecord& settings, const mail::ReceivedMail& mail);

// Records an action carried out on a message; failures are logged.
Registration RegisterProcessing(const config::SettingsRecord& settings, const mail::ReceivedMail& mail,
                                int actionCode, bool value);

// Removes unsaved history older than keepday days with its work files; failures are logged.
void PurgeHistory(const config::SettingsRecord& settings);

} // namespace lw::store
