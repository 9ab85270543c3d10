#pragma once

#include "config/SettingsRecord.h"
#include "mail/ReceivedMail.h"

#include <QSqlDatabase>

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

// The viewer's delete, for the attachment rows of message id on the open connection db: removes
// each recorded copy that lies directly in the message's own attachment folder (or, as older
// versions saved them, directly in saveFolder) and that no other message records, and
// empties the recorded path. A copy that cannot be removed keeps its path, so that the purge
// takes it later. False with the reason when the database refused.
[[nodiscard]] bool RemoveAttachmentCopies(const QSqlDatabase& db, const QString& id,
                                          const QString& saveFolder, QString& error);

// Removes unsaved history older than the settings' keepDays with its work files; failures are logged.
void PurgeHistory(const config::SettingsRecord& settings);

} // namespace lw::store
