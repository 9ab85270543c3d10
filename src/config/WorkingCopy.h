#pragma once

#include <QString>

namespace lw::config {

// The live settings, held by the main window's fields (or, headless, by an in-memory copy).
// Fields are addressed by their settings key (KeyOf in config/Settings.h).
// Text fields have a text; check boxes (0, 1, 2 greyed), the authentication list (selected
// index, equal to its item data) and the forwarding-target option group have a state.
class WorkingCopy {
public:
    virtual ~WorkingCopy() = default;

    virtual QString Text(const QString& key) const = 0;
    virtual void SetText(const QString& key, const QString& text) = 0;
    virtual int State(const QString& key) const = 0;
    virtual void SetState(const QString& key, int state) = 0;

    // The program folder in record form (ending in the path separator).
    virtual QString ProgramFolder() const = 0;
};

} // namespace lw::config
