#pragma once

#include "base/Result.h"
#include "config/SettingsRecord.h"
#include "mail/ReceivedMail.h"

#include <QSqlDatabase>
#include <QStringList>

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

// Writes the history row and attachment rows of a received message. A failure's text is the
// activity-log line that reports it; Busy when another connection held the list database's
// lock past the busy time-out, so that nothing was written.
base::Status RegisterReceipt(const config::SettingsRecord& settings, const mail::ReceivedMail& mail);

// Records an action carried out on a message; a save also copies the attachments beside the
// saved message. The value: an activity-log line for each attachment that could not be copied
// (the registration still counts). A failure as for RegisterReceipt.
base::Result<QStringList> RegisterProcessing(const config::SettingsRecord& settings,
                                             const mail::ReceivedMail& mail, int actionCode, bool value);

// The viewer's delete, for the attachment rows of message id on the open connection db: removes
// each recorded copy that lies directly in the message's own attachment folder (or, as older
// versions saved them, directly in saveFolder) and that no other message records, and
// empties the recorded path. A copy that cannot be removed keeps its path, so that the purge
// takes it later. The reason when the database refused.
base::Status RemoveAttachmentCopies(const QSqlDatabase& db, const QString& id, const QString& saveFolder);

// Removes unsaved history older than the settings' keepDays with its work files. A failure's
// text is the activity-log line that reports it; nothing is removed then.
base::Status PurgeHistory(const config::SettingsRecord& settings);

} // namespace lw::store
