#pragma once

#include <QString>

#include <optional>

namespace lw::ui {

// The XDG autostart entry that starts the program at login, hidden in the tray, on its
// program folder: ~/.config/autostart/larchwatcher.desktop (XDG_CONFIG_HOME honoured).
class Autostart {
public:
    // The entry's path.
    static QString EntryPath();
    // The entry's text for the program at executable working on programFolder; nullopt when a
    // path cannot be written as one argument of a desktop entry (it holds a line break).
    static std::optional<QString> EntryText(const QString& executable, const QString& programFolder);
    // True when the entry exists.
    static bool IsOn();
    // Writes the entry (and its folder). False with the reason in error.
    [[nodiscard]] static bool TurnOn(const QString& executable, const QString& programFolder, QString& error);
    // Removes the entry; a missing entry is no failure. False with the reason in error.
    [[nodiscard]] static bool TurnOff(QString& error);
};

} // namespace lw::ui
