#pragma once

#include "config/DesktopSettings.h"
#include "engine/PollCycle.h"

#include <QString>

#include <optional>

namespace lw::engine {

// One notice on screen.
struct DesktopNotice {
    enum class Urgency { Normal, Critical };
    QString summary;
    QString body;
    Urgency urgency = Urgency::Normal;
};

// Shows notices on the desktop (the notification service, or the tray's balloon).
class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    virtual void Show(const DesktopNotice& notice) = 0;
};

// Decides what a finished tick shows: at most one notice, summing up the mail acted on (as the
// mail-notice setting asks), the command mails that changed the settings, and a fetch that has
// failed kFailuresBeforeNotice times in a row (once per run of failures).
class DesktopNoticeRules {
public:
    static constexpr int kFailuresBeforeNotice = 3;

    // The notice for this tick, if any; counts the failed fetches in a row.
    std::optional<DesktopNotice> AfterTick(const CycleSummary& cycle, config::MailNotices mailNotices);
    // Fetches that have failed in a row up to the last tick.
    int FailuresInRow() const { return m_failuresInRow; }

private:
    int m_failuresInRow = 0;
};

} // namespace lw::engine
