#pragma once

#include "engine/DesktopNotices.h"

class QSystemTrayIcon;

namespace lw::ui {

// Shows notices through the desktop's notification service (org.freedesktop.Notifications on
// the session bus); where no such service answers, as a balloon of the tray icon when one is
// given, else on standard error.
class DesktopNotifierQt final : public engine::DesktopNotifier {
public:
    void Show(const engine::DesktopNotice& notice) override;
    // The tray icon for the balloon fallback (may be null; not owned).
    void SetTrayIcon(QSystemTrayIcon* tray) { m_tray = tray; }

private:
    QSystemTrayIcon* m_tray = nullptr;
};

} // namespace lw::ui
