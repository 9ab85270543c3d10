#pragma once

#include "config/SettingsRecord.h"

#include "base/Result.h"
#include "base/TextTrim.h"
#include "mail/ReceivedMail.h"

#include <QString>

namespace lw::store {

// Blank trimming and base names are the mail layer's, so every layer cuts paths alike.
using mail::BaseName;

// folder + name with exactly one separator between them when the folder does not end in one.
QString JoinPath(const QString& folder, const QString& name);

// Bare form of a folder: one trailing separator removed (a root "/" stays "/").
QString BareFolder(const QString& folder);

// Record form of a folder: the bare form followed by the separator (the root stays "/").
QString RecordFolder(const QString& folder);

// Program folder + the save folder name, in bare form (no trailing separator).
QString SaveFolder(const config::SettingsRecord& settings);

// Save folder + separator + "work".
QString WorkFolder(const config::SettingsRecord& settings);

// The folder of a saved message's own attachment copies, beside its saved copy and named after
// it: save folder + separator + message ID + ".files", so no two messages share one and no
// name of the program's own ("work", "print") is taken. Empty for an ID that is no plain file
// name.
QString SavedAttachmentFolder(const QString& saveFolder, const QString& id);

// Removes the saved attachment folder of message id with the files directly inside it (links
// themselves, never what they point to); nothing outside it is touched. False when the folder
// is still there afterwards (a file in use, a folder inside it).
bool RemoveSavedAttachmentFolder(const QString& saveFolder, const QString& id);

// Creates the folder (one level, as a missing parent is an error, owner-only) unless it exists.
base::Status EnsureFolder(const QString& folder);

// Takes group and other access off what older versions left open in the program folder: the
// settings file, the list database and its journals, the month logs of the current prefix, the
// forward-mark secret, and the save folder with everything below it (links are not followed),
// and the program folder itself when asked. The number of entries changed; failures go to
// standard error.
int TightenProgramFolder(const config::SettingsRecord& settings, bool includingTheFolder);

} // namespace lw::store
