#pragma once

#include "config/DesktopSettings.h"
#include "engine/DesktopNotices.h"
#include "engine/Service.h"

#include <QDateTime>
#include <QIcon>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace lw::ui {

// What the tray shows of the service.
struct TrayState {
    enum class Kind { Running, Stopped, Failed };
    Kind kind = Kind::Stopped;
    QString tooltip;
};

// The program on the desktop beside its window: the tray icon with the service state and its
// menu, the notices on screen after a tick, the last failed fetch until a poll succeeds, the
// closing into the tray, and the box with the autostart and notice settings.
class DesktopPresence final : public QObject {
    Q_OBJECT
public:
    // What the tray menu does; the window supplies them.
    struct MenuActions {
        std::function<void()> showWindow;
        std::function<void()> toggleService;
        std::function<void()> openLog;
        std::function<void()> quit;
    };

    // notifier may be null (no notices). With hasTray false, no tray icon is made and closing
    // the window ends the program as before; the menu exists either way.
    DesktopPresence(engine::Service& service, const QString& programFolder,
                    std::shared_ptr<engine::DesktopNotifier> notifier, bool hasTray, MenuActions actions,
                    QObject* parent = nullptr);
    ~DesktopPresence() override;

    bool HasTray() const { return m_tray != nullptr; }
    // The tray icon, or null without a tray.
    QSystemTrayIcon* TrayIcon() const { return m_tray.get(); }
    // The tray's menu: show the window, start or stop the service, open the log, quit.
    QMenu* Menu() const { return m_menu.get(); }
    // What the tray shows now.
    TrayState State() const;
    // The last fetch's failure and its reason; empty once a poll has succeeded.
    const QString& FailureText() const { return m_failure; }

    // The window is being closed: true when it should go into the tray instead (a tray is
    // present); the first time ever, a notice says so.
    bool KeepRunningOnClose();

    // A box "デスクトップ" with the autostart check box (chkAutostart) and the mail notice
    // choice (cboNotice); it writes their settings at once.
    QWidget* BuildSettingsBox(QWidget* parent);

    // Sets the start-at-login entry for the program at executable; false with a message.
    [[nodiscard]] bool SetAutostart(bool on, const QString& executable, QString& error);

signals:
    // The failure text changed (the status bar follows it).
    void failureChanged(const QString& text);

private:
    void OnTickFinished(const engine::TickSummary& summary);
    void Refresh();
    void Notify(const engine::DesktopNotice& notice);
    void SaveDesktopSettings();

    engine::Service& m_service;
    QString m_programFolder;
    std::shared_ptr<engine::DesktopNotifier> m_notifier;
    MenuActions m_actions;
    config::DesktopSettings m_settings;
    engine::DesktopNoticeRules m_rules;
    std::unique_ptr<QMenu> m_menu;
    QAction* m_toggleAction = nullptr;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    QDateTime m_lastPoll;
    int m_handledTotal = 0;
    QString m_failure;
    QString m_lastError;
};

} // namespace lw::ui
