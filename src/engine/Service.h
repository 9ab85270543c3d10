#pragma once

#include "config/SettingsRecord.h"
#include "config/WorkingCopy.h"
#include "engine/NoticePrinter.h"
#include "engine/PollCycle.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <functional>

namespace lw::engine {

// What one tick did (cycle and purge), reported when it has finished.
struct TickSummary {
    CycleSummary cycle;
    QDateTime finishedAt;
};

// The monitoring service: a single-shot timer whose tick takes a settings snapshot from the
// working copy, runs the poll cycle and the history purge, and re-arms itself. Ticks never
// overlap; a Stop during a tick takes effect when the tick ends (no re-arm). Owned by one thread
// (the window's or headless main thread); all its methods are called there.
class Service final : public QObject {
    Q_OBJECT
public:
    // Where the cycle runs: on the owner's thread (headless) or on a worker thread so the
    // window never freezes; then the working copy must be safe to use from both threads.
    enum class Threading { Inline, Worker };

    // The work of one tick, given the snapshot. The default runs RunPollCycle then PurgeHistory.
    using TickWork = std::function<CycleSummary(const config::SettingsRecord&)>;

    Service(config::WorkingCopy& workingCopy, NoticePrinterFactory* printers, Threading threading,
            QObject* parent = nullptr);
    // Stops, and lets a running tick end before the worker thread does; serves no events
    // meanwhile (a tick never waits for the owner thread).
    ~Service() override;

    // Replaces the work of a tick (tests: slow or failing cycles).
    void SetTickWork(TickWork work);
    // The OAuth2 tokens the cycles log in with when the settings file sets OAuth2 up. Set before
    // the first tick; they must outlive the service.
    void SetTokens(OAuthTokens* tokens) { m_tokens = tokens; }

    // Converts the interval text (milliseconds, 1 to 65535; anything else gives 60000), arms
    // the timer with it and enters Running. The first tick comes one interval later.
    void Start(const QString& intervalText);
    // Disarms the timer and enters Stopped; a running tick finishes and is not re-armed.
    void Stop();
    // Stops when running, else starts with the interval text.
    void Toggle(const QString& intervalText);
    // True while Running (armed or in a tick that will re-arm).
    bool IsRunning() const { return m_running; }
    // True while a tick's cycle is in progress.
    bool IsBusy() const { return m_busy; }
    // The interval in force (milliseconds).
    int IntervalMs() const { return m_intervalMs; }

    // Service pause, start: stops the service and runs work (told whether the service was
    // running) once no tick is in progress: at once when none is, else on this thread right after
    // the running tick has ended. Nothing waits meanwhile, so the caller's modal work never meets
    // a cycle and the owner thread stays free. False, and work dropped, while an earlier pause
    // is still waiting.
    [[nodiscard]] bool PauseThen(std::function<void(bool wasRunning)> work);
    // True while a pause's work waits for the running tick to end.
    bool IsPauseWaiting() const { return static_cast<bool>(m_pauseWork); }
    // Forgets a pause's work that has not started (the window is closing).
    void DropWaitingPause();
    // Service pause, end: takes the interval from the text in every case and starts again only
    // when the service was running at the start of the pause.
    void Resume(bool wasRunning, const QString& intervalText);

    // Asks a tick in progress to finish the message in hand and leave the rest on the server,
    // without the purge; later ticks do the same until the service object ends. Safe to call
    // from any thread and from a signal handler (one lock-free store).
    void EndAfterMessageInHand() { m_endRequested.store(true); }
    // The flag EndAfterMessageInHand sets, for a signal handler to set itself.
    std::atomic<bool>* EndFlag() { return &m_endRequested; }

    // Runs one tick now on the calling thread (headless --poll-once), whatever the state.
    TickSummary RunTickNow();

    // The interval text to milliseconds: 1 to 65535, anything else 60000.
    static int IntervalFromText(const QString& text);
    // The toggle button's caption for a state: the action it performs next and the state.
    static QString Caption(bool running);

signals:
    // Running/Stopped changed (caption and tray icon follow it).
    void stateChanged(bool running);
    // A tick began (busy indicator on).
    void tickStarted();
    // A tick has finished and the timer is re-armed when Running.
    void tickFinished(const lw::engine::TickSummary& summary);

private:
    void OnTimeout();
    void FinishTick(const TickSummary& summary);
    TickSummary Work(const config::SettingsRecord& settings);
    void RunWaitingPause();

    config::WorkingCopy& m_workingCopy;
    NoticePrinterFactory* m_printers;
    OAuthTokens* m_tokens = nullptr;
    Threading m_threading;
    TickWork m_work;
    QTimer m_timer;
    QThread m_thread;
    QObject* m_worker = nullptr;  // lives on m_thread; deleted when the thread ends
    std::atomic<bool> m_endRequested{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
    int m_intervalMs = 60000;
    bool m_running = false;
    bool m_busy = false;
    bool m_pauseWasRunning = false;
    std::function<void(bool wasRunning)> m_pauseWork; // empty unless a pause waits for a tick
};

} // namespace lw::engine

Q_DECLARE_METATYPE(lw::engine::TickSummary)
