// --service and --poll-once: the monitoring service without a window.
#include "app/Modes.h"
#include "app/SingleInstance.h"

#include "config/ConnectionSecurity.h"
#include "config/DesktopSettings.h"
#include "config/InMemoryWorkingCopy.h"
#include "config/Settings.h"
#include "engine/DesktopNotices.h"
#include "engine/OAuthTokens.h"
#include "engine/Service.h"
#include "engine/TlsRules.h"
#include "mail/ActivityLog.h"
#include "mail/TlsCheck.h"
#include "store/Folders.h"
#include "store/ListDatabase.h"
#include "ui/DesktopNotifierQt.h"
#include "ui/DesktopTokenStore.h"
#include "ui/NoticeReport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace lw::app {

namespace {

// Write end of the signal socket pair; a signal handler may only write a byte and set a
// lock-free flag.
int g_signalWriteFd = -1;
// The running service's flag that makes a tick end after the message in hand.
std::atomic<bool>* g_endFlag = nullptr;

void OnStopSignal(int)
{
    // A tick runs on this thread and the socket is read only between ticks: the flag ends the
    // tick after the message in hand, never in the middle of its writes.
    if (g_endFlag != nullptr) g_endFlag->store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalWriteFd, &byte, 1);
}

// Everything a headless run needs: the working copy from the settings file, the list database,
// the notice printer and the service.
class Headless {
public:
    explicit Headless(const Options& options)
        : m_copy(config::InMemoryWorkingCopy::FromSettingsFile(options.home)),
          m_printers(options.printTo, [this] {
              return store::JoinPath(store::SaveFolder(config::TakeSettingsSnapshot(m_copy)),
                                     QStringLiteral("print"));
          }),
          m_tokens(options.home, std::make_shared<ui::DesktopTokenStore>(options.home)),
          m_service(m_copy, &m_printers, engine::Service::Threading::Inline)
    {
        m_home = options.home;
        m_service.SetTokens(&m_tokens);
    }

    // First run in an empty folder: the list database comes from the template without asking.
    // False, with the reason on standard error, when it cannot be made.
    [[nodiscard]] bool PrepareHome()
    {
        store::FixedAnswer yes(true);
        const QString listName = m_copy.Text(config::KeyOf(config::Setting::ListDatabaseName));
        if (store::EnsureListDatabase(m_home, listName, yes)) return true;
        std::fprintf(stderr, "larchwatcher: cannot create the list database %s (template %s not found)\n",
                     qPrintable(store::ListDatabasePath(m_home, listName)), store::kTemplateName);
        return false;
    }

    // Records each --trust-certificate HOST:PORT=SHA256 in the connection settings. False, with
    // the reason on standard error, for a value of another form or a file that cannot be written.
    [[nodiscard]] bool TrustCertificates(const QStringList& values)
    {
        for (const QString& value : values) {
            const qsizetype eq = value.lastIndexOf(u'=');
            const qsizetype colon = eq < 0 ? -1 : value.left(eq).lastIndexOf(u':');
            QString host = colon < 0 ? QString() : value.left(colon).trimmed();
            if (host.startsWith(u'[') && host.endsWith(u']')) host = host.mid(1, host.size() - 2);
            bool portOk = false;
            const int port = colon < 0 ? 0 : value.mid(colon + 1, eq - colon - 1).trimmed().toInt(&portOk);
            const QString fingerprint =
                eq < 0 ? QString() : QString::fromStdString(mail::NormalFingerprint(value.mid(eq + 1).toStdString()));
            if (host.isEmpty() || !portOk || port < 1 || port > 65535 || fingerprint.isEmpty()) {
                std::fprintf(stderr,
                             "larchwatcher: --trust-certificate takes HOST:PORT=SHA256 (32 bytes in hex), not \"%s\"\n",
                             qPrintable(value));
                return false;
            }
            if (const base::Status trusted = config::TrustCertificate(m_home, host, port, fingerprint); !trusted) {
                std::fprintf(stderr, "larchwatcher: cannot record the trusted certificate: %s\n",
                             qPrintable(trusted.ErrorText()));
                return false;
            }
            const config::SettingsRecord settings = config::TakeSettingsSnapshot(m_copy);
            mail::WriteLog(settings.programFolder, settings.logBaseName,
                           QStringLiteral("証明書を信頼しました[") + engine::ServerName(host, port) +
                               QStringLiteral("]:SHA-256 ") + fingerprint);
        }
        return true;
    }

    config::InMemoryWorkingCopy& Copy() { return m_copy; }
    engine::Service& Service() { return m_service; }

private:
    QString m_home;
    config::InMemoryWorkingCopy m_copy;
    ui::NoticePrinterFactoryQt m_printers;
    engine::OAuthTokens m_tokens; // before the service, which uses it until its end
    engine::Service m_service;
};

// Takes the program folder's lock; false, with one line on standard error, when another running
// copy holds it or it cannot be made. Nothing may be fetched without it: two programs on one
// folder would fetch, register and delete the same messages.
[[nodiscard]] bool LockProgramFolder(SingleInstance& lock, int& status)
{
    switch (lock.Acquire()) {
    case SingleInstance::Outcome::Acquired: return true;
    case SingleInstance::Outcome::InUse: {
        const qint64 holder = lock.HolderProcess();
        std::fprintf(stderr, "larchwatcher: the program folder is in use by another running copy (%s, lock %s)\n",
                     holder == 0 ? "process not named yet" : qPrintable(QStringLiteral("process %1").arg(holder)),
                     qPrintable(lock.Path()));
        status = kExitFolderInUse;
        return false;
    }
    case SingleInstance::Outcome::Failed: break;
    }
    std::fprintf(stderr, "larchwatcher: cannot create the lock %s of the program folder\n",
                 qPrintable(lock.Path()));
    status = 1;
    return false;
}

QString Now() { return QDateTime::currentDateTime().toString(QStringLiteral("yyyy/MM/dd hh:mm:ss.zzz")); }

} // namespace

int RunPollOnce(const Options& options)
{
    SingleInstance folderLock(SingleInstance::ProgramFolderLockPath(options.home));
    int refused = 0;
    if (!LockProgramFolder(folderLock, refused)) return refused;
    Headless headless(options);
    if (!headless.PrepareHome() || !headless.TrustCertificates(options.trustCertificates)) return 1;
    const engine::TickSummary summary = headless.Service().RunTickNow();
    const engine::CycleSummary& cycle = summary.cycle;
    std::printf("%d messages fetched, %d handled, %d errors\n", cycle.fetched, cycle.handled, cycle.errors);
    if (!cycle.fetchError.isEmpty()) {
        std::fprintf(stderr, "larchwatcher: the fetch failed: %s\n", qPrintable(cycle.fetchError));
        return 1;
    }
    if (cycle.errors > 0) {
        std::fprintf(stderr, "larchwatcher: %d errors in the poll cycle; first: %s\n", cycle.errors,
                     qPrintable(cycle.firstError));
        return 1;
    }
    return 0;
}

int RunService(const Options& options)
{
    SingleInstance folderLock(SingleInstance::ProgramFolderLockPath(options.home));
    int refused = 0;
    if (!LockProgramFolder(folderLock, refused)) return refused;
    Headless headless(options);
    if (!headless.PrepareHome() || !headless.TrustCertificates(options.trustCertificates)) return 1;

    // SIGINT/SIGTERM become a byte on a socket that the event loop reads, so a stop is handled
    // between ticks and the cycle in progress always finishes.
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        std::perror("larchwatcher: socketpair");
        return 1;
    }
    g_signalWriteFd = fds[1];
    engine::Service& service = headless.Service();
    g_endFlag = service.EndFlag();
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    QSocketNotifier notifier(fds[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&service, fd = fds[0]] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(fd, &byte, 1);
        service.Stop();
        QCoreApplication::quit();
    });

    // Notices go to the desktop's notification service when the session has one (a user service
    // under a desktop session), else to standard error, that is the journal.
    engine::DesktopNoticeRules noticeRules;
    ui::DesktopNotifierQt desktopNotifier;
    const config::MailNotices mailNotices = config::LoadDesktopSettings(options.home).mailNotices;

    int ticks = 0;
    QObject::connect(&service, &engine::Service::tickStarted, [&ticks] {
        std::printf("%s tick %d started\n", qPrintable(Now()), ++ticks);
        std::fflush(stdout);
    });
    QObject::connect(&service, &engine::Service::tickFinished, [&](const engine::TickSummary& s) {
        std::printf("%s tick %d finished: %d fetched, %d handled, %d errors\n", qPrintable(Now()), ticks,
                    s.cycle.fetched, s.cycle.handled, s.cycle.errors);
        if (s.cycle.leftForNextTick > 0)
            std::printf("%s ending: %d messages left on the server for the next run\n", qPrintable(Now()),
                        s.cycle.leftForNextTick);
        if (s.cycle.errors > 0) std::fprintf(stderr, "larchwatcher: %s\n", qPrintable(s.cycle.firstError));
        if (!s.cycle.fetchError.isEmpty())
            std::fprintf(stderr, "larchwatcher: the fetch failed: %s\n", qPrintable(s.cycle.fetchError));
        if (const auto notice = noticeRules.AfterTick(s.cycle, mailNotices)) desktopNotifier.Show(*notice);
        std::fflush(stdout);
    });

    service.Start(headless.Copy().Text(config::KeyOf(config::Setting::IntervalMs)));
    std::printf("%s service started, interval %d ms\n", qPrintable(Now()), service.IntervalMs());
    std::fflush(stdout);
    const int status = QCoreApplication::exec();
    std::printf("%s service stopped\n", qPrintable(Now()));
    std::fflush(stdout);

    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    g_signalWriteFd = -1;
    g_endFlag = nullptr;
    ::close(fds[0]);
    ::close(fds[1]);
    return status;
}

} // namespace lw::app
