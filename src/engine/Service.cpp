#include "engine/Service.h"

#include "config/Settings.h"
#include "mail/ActivityLog.h"
#include "store/History.h"
#include "store/ListDatabase.h"

#include <QMetaObject>

#include <exception>
#include <utility>

namespace lw::engine {

namespace {

constexpr int kDefaultIntervalMs = 60000;
constexpr int kMaxIntervalMs = 65535;

} // namespace

Service::Service(config::WorkingCopy& workingCopy, NoticePrinterFactory* printers, Threading threading,
                 QObject* parent)
    : QObject(parent), m_workingCopy(workingCopy), m_printers(printers), m_threading(threading)
{
    qRegisterMetaType<lw::engine::TickSummary>();
    m_work = [this](const config::SettingsRecord& settings) {
        // The cycle and the purge share one opening of the list database.
        const store::ListConnectionHold databaseHold;
        CycleSummary summary = RunPollCycle(settings, m_workingCopy, m_printers, &m_endRequested, m_tokens);
        if (!m_endRequested.load()) {
            if (const base::Status purged = store::PurgeHistory(settings); !purged)
                mail::WriteLog(settings.programFolder, settings.logBaseName, purged.ErrorText());
        }
        return summary;
    };
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Service::OnTimeout);
    if (m_threading == Threading::Worker) {
        m_thread.setObjectName(QStringLiteral("poll-cycle"));
        m_worker = new QObject;
        m_worker->moveToThread(&m_thread);
        connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
        m_thread.start();
    }
}

Service::~Service()
{
    m_timer.stop();
    m_running = false;
    m_pauseWork = nullptr;
    // A plain join: the tick in flight ends within its transfer's time-out and needs nothing
    // from this thread, so no events are served here.
    if (m_threading == Threading::Worker) {
        m_thread.quit();
        m_thread.wait();
    }
}

void Service::SetTickWork(TickWork work) { m_work = std::move(work); }

int Service::IntervalFromText(const QString& text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok && value >= 1 && value <= kMaxIntervalMs ? value : kDefaultIntervalMs;
}

QString Service::Caption(bool running)
{
    return running ? QStringLiteral("サービス終了（現在動作中...）") : QStringLiteral("サービス開始（現在停止中...）");
}

void Service::Start(const QString& intervalText)
{
    m_intervalMs = IntervalFromText(intervalText);
    const bool changed = !m_running;
    m_running = true;
    // During a tick the timer is re-armed when the tick ends; arming now would overlap.
    if (!m_busy) m_timer.start(m_intervalMs);
    if (changed) emit stateChanged(true);
}

void Service::Stop()
{
    m_timer.stop();
    const bool changed = m_running;
    m_running = false;
    if (changed) emit stateChanged(false);
}

void Service::Toggle(const QString& intervalText)
{
    if (m_running)
        Stop();
    else
        Start(intervalText);
}

bool Service::PauseThen(std::function<void(bool wasRunning)> work)
{
    if (m_pauseWork) return false;
    const bool wasRunning = m_running;
    Stop();
    if (!m_busy) {
        work(wasRunning);
        return true;
    }
    m_pauseWasRunning = wasRunning;
    m_pauseWork = std::move(work);
    return true;
}

void Service::DropWaitingPause() { m_pauseWork = nullptr; }

void Service::Resume(bool wasRunning, const QString& intervalText)
{
    m_intervalMs = IntervalFromText(intervalText);
    if (wasRunning) Start(intervalText);
}

void Service::RunWaitingPause()
{
    if (!m_pauseWork || m_busy) return;
    const auto work = std::exchange(m_pauseWork, nullptr);
    // A start made while the pause waited must not let a tick meet the work.
    Stop();
    work(m_pauseWasRunning);
}

TickSummary Service::Work(const config::SettingsRecord& settings)
{
    TickSummary summary;
    // The cycle handles its own failures; this only keeps an unforeseen one from stopping the
    // timer for good.
    try {
        summary.cycle = m_work(settings);
    } catch (const std::exception& e) {
        summary.cycle.errors += 1;
        summary.cycle.firstError = QString::fromUtf8(e.what());
    } catch (...) {
        summary.cycle.errors += 1;
        summary.cycle.firstError = QStringLiteral("unknown failure");
    }
    summary.finishedAt = QDateTime::currentDateTime();
    return summary;
}

TickSummary Service::RunTickNow()
{
    m_busy = true;
    emit tickStarted();
    const TickSummary summary = Work(config::TakeSettingsSnapshot(m_workingCopy));
    m_busy = false;
    emit tickFinished(summary);
    return summary;
}

void Service::OnTimeout()
{
    if (m_busy || !m_running) return;
    m_busy = true;
    emit tickStarted();
    // The snapshot is taken as the tick starts; the cycle works on this copy only.
    const config::SettingsRecord settings = config::TakeSettingsSnapshot(m_workingCopy);
    if (m_threading == Threading::Inline) {
        FinishTick(Work(settings));
        return;
    }
    QMetaObject::invokeMethod(
        m_worker,
        [this, settings] {
            const TickSummary summary = Work(settings);
            // The service waits for every tick before it is destroyed, so `this` is alive here.
            QMetaObject::invokeMethod(
                this, [this, summary] { FinishTick(summary); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void Service::FinishTick(const TickSummary& summary)
{
    m_busy = false;
    // Re-armed with the interval it already had; the interval field is not read again here.
    if (m_running && !m_pauseWork) m_timer.start(m_intervalMs);
    emit tickFinished(summary);
    RunWaitingPause();
}

} // namespace lw::engine
