#pragma once

#include "base/Result.h"

#include <QString>

namespace lw::config {

// The desktop settings live in a section of their own, beside the 26 keys of the main section,
// which they never touch.
inline constexpr char kDesktopSection[] = "desktop";

// Which handled mail shows a notice on screen.
enum class MailNotices {
    Off = 0,           // none
    ListedSenders = 1, // mail of a sender in the rule list that was printed, saved or forwarded
    EveryMessage = 2,  // any mail that was printed, saved or forwarded
};

// The settings of the tray, the notices and the window's closing.
struct DesktopSettings {
    MailNotices mailNotices = MailNotices::ListedSenders;
    bool closeHintShown = false; // the balloon saying that closing keeps the program in the tray
};

// Reads the desktop section of the settings file in folder; a missing file, key or a value out
// of range gives the default (never fails).
DesktopSettings LoadDesktopSettings(const QString& folder);

// Writes the desktop section; every other line of the file stays as it is. False with the
// reason in error when the file could not be written (it is then unchanged).
base::Status SaveDesktopSettings(const QString& folder, const DesktopSettings& settings);

} // namespace lw::config
