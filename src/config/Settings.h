#pragma once

#include "base/Result.h"
#include "config/SettingsRecord.h"
#include "config/WorkingCopy.h"

#include <QString>

#include <array>

namespace lw::config {

// How a setting is held by its window field and stored in the file.
enum class SettingKind {
    Text,   // text field; stored as its text less outer blanks
    Check,  // check box; stored as its state number
    Combo,  // authentication list; stored as the item data (= index) of the selected entry
    Option, // option group; stored as the index of the selected option
};

// Each setting, in the order in which the settings are written and read.
enum class Setting {
    PopServer,
    PopAccount,
    PopPassword,
    SmtpServer,
    SmtpAccount,
    SmtpPassword,
    SmtpAuthEnabled,
    SmtpAuthMechanism,
    SmtpUsesPopLogin,
    PopPort,
    SmtpPort,
    SmtpTimeoutSeconds,
    IntervalMs,
    ListDatabaseName,
    SaveFolderName,
    LogBaseName,
    KeepDays,
    ForwardEnabled,
    ForwardTarget,
    UseFixedForwardAddresses,
    ForwardTo,
    ForwardCc,
    ForwardBcc,
    CommandMailEnabled,
    CommandAccount,
    CommandPassword,
};

// One row of the settings table.
struct SettingKey {
    Setting setting;
    const char* key;   // settings-file key, also the working-copy key
    const char* field; // the main window's field (object name)
    SettingKind kind;
    const char* defaultText; // read when the key is missing or empty
};

inline constexpr int kSettingCount = 26;

// The 26 settings in the order in which they are written and read.
const std::array<SettingKey, kSettingCount>& SettingKeys();

// The settings-file key of a setting, which also names it in the working copy.
QString KeyOf(Setting setting);

// File name of the settings file in the program folder.
inline constexpr char kSettingsFileName[] = "larchwatcher.ini";
// The settings file's one section.
inline constexpr char kSettingsSection[] = "larchwatcher";

// folder + one separator (when it does not end in one) + fileName.
QString SettingsPath(const QString& folder, const QString& fileName);


// The whole stored value of key, or defaultText when the file, section or key is missing or
// the value is empty. Never fails.
QString ReadSetting(const QString& folder, const QString& fileName, const QString& section,
                    const QString& key, const QString& defaultText);

// Writes one value unchanged; the file is replaced as a whole, so it is never half-written.
[[nodiscard]] bool WriteSetting(const QString& folder, const QString& fileName, const QString& section,
                                const QString& key, const QString& value);

// Fills the working copy from the settings file in folder (defaults where missing). States
// outside what a field accepts (check 0-2, authentication list 0-3, forwarding target 0-2) load as 0.
void LoadSettingsIntoWindow(WorkingCopy& copy, const QString& folder);

// The text that a save writes for one setting, taken from the working copy.
QString StoredText(const WorkingCopy& copy, const SettingKey& setting);

// Writes all 26 keys from the working copy into the settings file of its program folder. On
// failure nothing is changed in the file; the error is key + "の設定に失敗しました。" for the
// first key that could not be written (the window shows it, command mail logs it).
base::Status SaveSettings(const WorkingCopy& copy);

// A snapshot of the working copy; changes nothing. Ports outside 1-65535, and other numbers that
// are empty, not numbers or outside 16 bits, take the field's default.
SettingsRecord TakeSettingsSnapshot(const WorkingCopy& copy);

} // namespace lw::config
