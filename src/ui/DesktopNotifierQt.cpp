#include "ui/DesktopNotifierQt.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QVariantMap>

#include <cstdio>

namespace lw::ui {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");

// Sends Notify without waiting for its reply: a slow notification service never holds up the
// window's thread.
bool SendToNotificationService(const engine::DesktopNotice& notice)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) return false;
    if (!bus.interface()->isServiceRegistered(kService).value()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/Notifications"),
                                                       kService, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"),
                 QVariant::fromValue<uchar>(notice.urgency == engine::DesktopNotice::Urgency::Critical ? 2 : 1));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("larchwatcher"));
    call << QStringLiteral("LarchWatcher") << 0u << QStringLiteral("larchwatcher") << notice.summary << notice.body
         << QStringList() << hints << -1;
    return bus.send(call);
}

} // namespace

void DesktopNotifierQt::Show(const engine::DesktopNotice& notice)
{
    if (SendToNotificationService(notice)) return;
    if (m_tray != nullptr && m_tray->isVisible() && QSystemTrayIcon::supportsMessages()) {
        m_tray->showMessage(notice.summary, notice.body,
                            notice.urgency == engine::DesktopNotice::Urgency::Critical ? QSystemTrayIcon::Warning
                                                                                      : QSystemTrayIcon::Information);
        return;
    }
    std::fprintf(stderr, "larchwatcher: %s\n", notice.body.toUtf8().constData());
}

} // namespace lw::ui
