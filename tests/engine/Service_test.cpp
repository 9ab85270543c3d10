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

class ServiceFixture {
protected:
    test::TempHome m_home;
    config::InMemoryWorkingCopy m_copy{m_home.Folder()};

    // Stops the service and waits for the running tick.
    static void Finish(Service& service)
    {
        service.Stop();
        service.WaitForIdle();
    }
};

class ServiceTest : public ServiceFixture, public ::testing::TestWithParam<Service::Threading> {};
class ServiceWorkerTest : public ServiceFixture, public ::testing::Test {};

TEST_F(ServiceWorkerTest, CaptionsToggleAndIntervalText)
{
    Service service(m_copy, nullptr, Service::Threading::Inline);
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
    QMutex mutex;
    QElapsedTimer clock;
    clock.start();
    std::vector<std::pair<qint64, qint64>> spans;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    service.SetTickWork([&](const config::SettingsRecord&) {
        if (++inside > 1) overlapped = true;
        const qint64 begin = clock.elapsed();
        QThread::msleep(120);  // longer than the interval
        --inside;
        QMutexLocker lock(&mutex);
        spans.emplace_back(begin, clock.elapsed());
        return CycleSummary{};
    });
    QSignalSpy finished(&service, &Service::tickFinished);
    service.Start(QStringLiteral("30"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() >= 4; }, 5000));
    Finish(service);

    EXPECT_FALSE(overlapped.load());
    QMutexLocker lock(&mutex);
    for (std::size_t i = 1; i < spans.size(); ++i)
        EXPECT_GE(spans[i].first - spans[i - 1].second, 25) << "tick " << i << " started too soon after the previous one";
    // Stopped: nothing more runs.
    const std::size_t count = spans.size();
    lock.unlock();
    QTest::qWait(150);
    lock.relock();
    EXPECT_EQ(spans.size(), count);
}

TEST_P(ServiceTest, FailingTicksAreReArmedAndEachTickTakesAFreshSnapshot)
{
    Service service(m_copy, nullptr, GetParam());
    QMutex mutex;
    QStringList seen;
    service.SetTickWork([&](const config::SettingsRecord& s) -> CycleSummary {
        QMutexLocker lock(&mutex);
        seen << s.trsto;
        if (seen.size() % 2 == 1) throw std::runtime_error("database gone");
        CycleSummary summary;
        summary.errors = 2;
        return summary;
    });
    QSignalSpy finished(&service, &Service::tickFinished);
    m_copy.SetText(QStringLiteral("trsto"), QStringLiteral("First@Example.JP"));
    service.Start(QStringLiteral("10"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() >= 1; }, 3000));
    // Typed, not saved: in force at the very next tick.
    m_copy.SetText(QStringLiteral("trsto"), QStringLiteral("Second@Example.JP; third@example.jp"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() >= 4; }, 5000));
    Finish(service);
    const auto first = finished[0][0].value<TickSummary>();
    EXPECT_EQ(first.cycle.errors, 1);
    EXPECT_EQ(first.cycle.firstError, QStringLiteral("database gone"));
    const auto second = finished[1][0].value<TickSummary>();
    EXPECT_EQ(second.cycle.errors, 2);
    EXPECT_TRUE(second.finishedAt.isValid());
    QMutexLocker lock(&mutex);
    EXPECT_EQ(seen.value(0), QStringLiteral("first@example.jp"));
    EXPECT_EQ(seen.value(1), QStringLiteral("second@example.jp\tthird@example.jp"));
}

INSTANTIATE_TEST_SUITE_P(Threading, ServiceTest, ::testing::Values(Service::Threading::Inline, Service::Threading::Worker));

TEST_F(ServiceWorkerTest, PauseWaitsForTheRunningTickAndResumesOnlyWhenItWasRunning)
{
    Service service(m_copy, nullptr, Service::Threading::Worker);
    QObject owner;  // on this thread; the cycle calls it synchronously, as command mail does
    std::atomic<bool> started{false};
    std::atomic<int> ticks{0};
    int answered = 0;
    service.SetTickWork([&](const config::SettingsRecord&) {
        started = true;
        QThread::msleep(150);
        // A pause that blocked the owner thread outright would deadlock here.
        QMetaObject::invokeMethod(&owner, [&answered] { ++answered; }, Qt::BlockingQueuedConnection);
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
    EXPECT_EQ(answered, 1);
    QTest::qWait(100);
    EXPECT_EQ(ticks.load(), 1) << "no tick while the pause lasts";

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

TEST_F(ServiceWorkerTest, StopDuringATickIsNotUndoneByItsReArm)
{
    Service service(m_copy, nullptr, Service::Threading::Worker);
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
    Finish(service);
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
    Finish(service);
}

} // namespace
} // namespace lw::engine
