// The service timer: states and captions, re-arming, no overlapping ticks, the pause.
#include "engine/Service.h"

#include "config/InMemoryWorkingCopy.h"
#include "support/TempHome.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QMutex>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace lw::engine {
namespace {

// Start and end of each tick's work, on a common clock.
struct TickLog {
    QMutex mutex;
    QElapsedTimer clock;
    std::vector<std::pair<qint64, qint64>> spans;
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};

    TickLog() { clock.start(); }
    qint64 Begin()
    {
        const int now = ++inside;
        int seen = maxInside.load();
        while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
        }
        return clock.elapsed();
    }
    void End(qint64 begin)
    {
        --inside;
        QMutexLocker lock(&mutex);
        spans.emplace_back(begin, clock.elapsed());
    }
    int Count()
    {
        QMutexLocker lock(&mutex);
        return static_cast<int>(spans.size());
    }
};

class ServiceTest : public ::testing::TestWithParam<Service::Threading> {
protected:
    test::TempHome m_home;
    config::InMemoryWorkingCopy m_copy{m_home.Folder()};
};

TEST(ServiceStateTest, CaptionsToggleAndIntervalText)
{
    test::TempHome home;
    config::InMemoryWorkingCopy copy(home.Folder());
    Service service(copy, nullptr, Service::Threading::Inline);
    QSignalSpy states(&service, &Service::stateChanged);

    EXPECT_EQ(Service::Caption(true), QStringLiteral("サービス終了（現在動作中...）"));
    EXPECT_EQ(Service::Caption(false), QStringLiteral("サービス開始（現在停止中...）"));

    EXPECT_FALSE(service.IsRunning());
    service.Toggle(QStringLiteral("30000"));
    EXPECT_TRUE(service.IsRunning());
    EXPECT_EQ(service.IntervalMs(), 30000);
    service.Toggle(QStringLiteral("1"));
    EXPECT_FALSE(service.IsRunning());
    EXPECT_EQ(service.IntervalMs(), 30000) << "stopping does not read the field";
    ASSERT_EQ(states.count(), 2);
    EXPECT_TRUE(states[0][0].toBool());
    EXPECT_FALSE(states[1][0].toBool());

    // Text that no interval can come from gives the field's reset value.
    for (const char* bad : {"", "abc", "0", "-5", "65536", "12x"})
        EXPECT_EQ(Service::IntervalFromText(QString::fromLatin1(bad)), 60000) << bad;
    EXPECT_EQ(Service::IntervalFromText(QStringLiteral(" 65535 ")), 65535);
    EXPECT_EQ(Service::IntervalFromText(QStringLiteral("1")), 1);
}

TEST_P(ServiceTest, SlowTicksNeverOverlapAndNextStartsOneIntervalAfterTheLast)
{
    Service service(m_copy, nullptr, GetParam());
    TickLog log;
    service.SetTickWork([&log](const config::SettingsRecord&) {
        const qint64 begin = log.Begin();
        QThread::msleep(120);  // longer than the interval
        log.End(begin);
        return CycleSummary{};
    });
    QSignalSpy finished(&service, &Service::tickFinished);
    service.Start(QStringLiteral("30"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() >= 4; }, 5000));
    service.Stop();
    service.WaitForIdle();

    EXPECT_EQ(log.maxInside.load(), 1);
    for (std::size_t i = 1; i < log.spans.size(); ++i) {
        const qint64 gap = log.spans[i].first - log.spans[i - 1].second;
        EXPECT_GE(gap, 25) << "tick " << i << " started " << gap << " ms after the previous one ended";
    }
    // Stopped: nothing more runs.
    const int count = log.Count();
    QTest::qWait(150);
    EXPECT_EQ(log.Count(), count);
}

TEST_P(ServiceTest, FailingTicksAreReArmedAndReportTheirErrors)
{
    Service service(m_copy, nullptr, GetParam());
    std::atomic<int> calls{0};
    service.SetTickWork([&calls](const config::SettingsRecord&) -> CycleSummary {
        if (++calls % 2 == 1) throw std::runtime_error("database gone");
        CycleSummary s;
        s.errors = 2;
        s.firstError = QStringLiteral("処理エラー[x]:y");
        return s;
    });
    QSignalSpy finished(&service, &Service::tickFinished);
    service.Start(QStringLiteral("10"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() >= 4; }, 5000));
    service.Stop();
    service.WaitForIdle();
    EXPECT_TRUE(service.IsRunning() == false);
    const auto first = finished[0][0].value<TickSummary>();
    EXPECT_EQ(first.cycle.errors, 1);
    EXPECT_EQ(first.cycle.firstError, QStringLiteral("database gone"));
    const auto second = finished[1][0].value<TickSummary>();
    EXPECT_EQ(second.cycle.errors, 2);
    EXPECT_TRUE(second.finishedAt.isValid());
}

TEST_P(ServiceTest, EachTickTakesAFreshSnapshotOfTheWorkingCopy)
{
    Service service(m_copy, nullptr, GetParam());
    QMutex mutex;
    QStringList seen;
    service.SetTickWork([&](const config::SettingsRecord& s) {
        QMutexLocker lock(&mutex);
        seen << s.trsto;
        return CycleSummary{};
    });
    QSignalSpy finished(&service, &Service::tickFinished);
    m_copy.SetText(QStringLiteral("trsto"), QStringLiteral("First@Example.JP"));
    service.Start(QStringLiteral("10"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() >= 1; }, 3000));
    // Typed, not saved: in force at the very next tick.
    m_copy.SetText(QStringLiteral("trsto"), QStringLiteral("Second@Example.JP; third@example.jp"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() >= 2; }, 3000));
    service.Stop();
    service.WaitForIdle();
    QMutexLocker lock(&mutex);
    ASSERT_GE(seen.size(), 2);
    EXPECT_EQ(seen[0], QStringLiteral("first@example.jp"));
    EXPECT_EQ(seen[1], QStringLiteral("second@example.jp\tthird@example.jp"));
}

INSTANTIATE_TEST_SUITE_P(Threading, ServiceTest,
                         ::testing::Values(Service::Threading::Inline, Service::Threading::Worker));

// An object on the owner thread that a worker cycle calls synchronously, as the window's working
// copy does when command mail changes a field.
class OwnerSide : public QObject {
public:
    int answered = 0;
};

TEST(ServicePauseTest, PauseWaitsForTheRunningTickAndResumesOnlyWhenItWasRunning)
{
    test::TempHome home;
    config::InMemoryWorkingCopy copy(home.Folder());
    Service service(copy, nullptr, Service::Threading::Worker);
    OwnerSide owner;
    std::atomic<bool> started{false};
    std::atomic<int> ticks{0};
    service.SetTickWork([&](const config::SettingsRecord&) {
        started = true;
        QThread::msleep(150);
        // A blocking call back into the owner thread: a pause that blocked the owner thread
        // outright would deadlock here.
        QMetaObject::invokeMethod(&owner, [&owner] { ++owner.answered; }, Qt::BlockingQueuedConnection);
        ++ticks;
        return CycleSummary{};
    });
    service.Start(QStringLiteral("10"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return started.load(); }, 3000));
    ASSERT_TRUE(service.IsBusy());

    const bool wasRunning = service.Pause();
    EXPECT_TRUE(wasRunning);
    EXPECT_FALSE(service.IsBusy()) << "the pause returns only after the running cycle";
    EXPECT_FALSE(service.IsRunning());
    EXPECT_EQ(ticks.load(), 1);
    EXPECT_EQ(owner.answered, 1);

    // Modal work: no tick starts while the pause lasts.
    QTest::qWait(100);
    EXPECT_EQ(ticks.load(), 1);

    service.Resume(wasRunning, QStringLiteral("20"));
    EXPECT_TRUE(service.IsRunning());
    EXPECT_EQ(service.IntervalMs(), 20);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks.load() >= 2; }, 3000));

    // A pause that began Stopped ends Stopped, with the interval taken from the field anyway.
    service.Stop();
    const bool second = service.Pause();
    EXPECT_FALSE(second);
    service.Resume(second, QStringLiteral("40"));
    EXPECT_FALSE(service.IsRunning());
    EXPECT_EQ(service.IntervalMs(), 40);
}

TEST(ServicePauseTest, StopDuringATickIsNotUndoneByItsReArm)
{
    test::TempHome home;
    config::InMemoryWorkingCopy copy(home.Folder());
    Service service(copy, nullptr, Service::Threading::Worker);
    std::atomic<int> ticks{0};
    std::atomic<bool> inTick{false};
    service.SetTickWork([&](const config::SettingsRecord&) {
        inTick = true;
        QThread::msleep(100);
        ++ticks;
        return CycleSummary{};
    });
    service.Start(QStringLiteral("10"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return inTick.load(); }, 3000));
    service.Stop();
    service.WaitForIdle();
    QTest::qWait(100);
    EXPECT_EQ(ticks.load(), 1);
    EXPECT_FALSE(service.IsRunning());

    // Started again during a tick: the tick's end arms it once, not twice.
    inTick = false;
    service.Start(QStringLiteral("10"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return inTick.load(); }, 3000));
    service.Stop();
    service.Start(QStringLiteral("10"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks.load() >= 4; }, 3000));
    service.Stop();
    service.WaitForIdle();
}

} // namespace
} // namespace lw::engine
