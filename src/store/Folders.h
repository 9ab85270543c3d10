#pragma once

#include "config/SettingsRecord.h"

#include <QString>

namespace lw::store {

// The text without leading and trailing ordinary blanks (TABs and full-width blanks stay).
QString TrimBlanks(const QString& text);

// Text after the last path separator ("/" or the platform's); the whole text when it has none.
QString BaseName(const QString& path);

// folder + name with exactly one separator between them when the folder does not end in one.
QString JoinPath(const QString& folder, const QString& name);

// Bare form of a folder: one trailing separator removed (a root "/" stays "/").
QString BareFolder(const QString& folder);

// Record form of a folder: the bare form followed by the separator (the root stays "/").
QString RecordFolder(const QString& folder);

// Program folder + savedir, in bare form (no trailing separator).
QString SaveFolder(const config::SettingsRecord& settings);

// Save folder + separator + "work".
QString WorkFolder(const config::SettingsRecord& settings);

// Creates the folder (one level, as a missing parent is an error) unless it already exists.
[[nodiscard]] bool EnsureFolder(const QString& folder, QString& error);

} // namespace lw::store
