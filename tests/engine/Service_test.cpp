// The service timer: states and captions, re-arming, no overlapping ticks, the pause.
#include "engine/Service.h"

#include "config/InMemoryWorkingCopy.h"
#include "support/TempHome.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <vector>

namespace lw::engine {
namespace {

class ServiceTest : public ::testing::TestWithParam<Service::Threading> {
  protected:
    test::TempHome m_home;
    config::InMemoryWorkingCopy m_copy{m_home.Folder()};
};
using ServiceWorkerTest = ServiceTest;

TEST(ServiceIntervalTest, TextThatNoIntervalCanComeFromGivesTheResetValue)
{
    const std::pair<const char*, int> intervals[] = {{"", 60000},    {"abc", 60000}, {"0", 60000},         {"-5", 60000},
                                                     {"65536", 60000}, {"12x", 60000}, {" 65535 ", 65535}, {"1", 1}};
    for (const auto& [text, ms] : intervals) EXPECT_EQ(Service::IntervalFromText(QString::fromLatin1(text)), ms) << text;
}

TEST_P(ServiceTest, SlowOrFailingTicksNeverOverlapAreReArmedAndTakeAFreshSnapshot)
{
    Service service(m_copy, nullptr, GetParam());
    QMutex mutex;
    QElapsedTimer clock;
    clock.start();
    std::vector<std::pair<qint64, qint64>> spans;
    QStringList seen;
    service.SetTickWork([&](const config::SettingsRecord& s) -> CycleSummary {
        const qint64 begin = clock.elapsed();
        QThread::msleep(60);  // longer than the interval
        QMutexLocker lock(&mutex);
        spans.emplace_back(begin, clock.elapsed());
        seen << s.forwardTo;
        if (seen.size() % 2 == 1) throw std::runtime_error("database gone");
        CycleSummary summary;
        summary.errors = 2;
        return summary;
    });
    QSignalSpy finished(&service, &Service::tickFinished);
    m_copy.SetText(QStringLiteral("trsto"), QStringLiteral("First@Example.JP"));
    service.Start(QStringLiteral("30"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() >= 1; }, 3000));
    // Typed, not saved: in force at the very next tick.
    m_copy.SetText("trsto", QStringLiteral(";Second@Example.JP;;　third@example.jp\tÖRJAN@例え.JP ;"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() >= 4; }, 5000));
    service.Stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !service.IsBusy(); }, 3000));
    EXPECT_FALSE(service.IsRunning());
    const auto first = finished[0][0].value<TickSummary>(), second = finished[1][0].value<TickSummary>();
    EXPECT_TRUE(first.cycle.errors == 1 && first.cycle.firstError == QStringLiteral("database gone"));
    EXPECT_TRUE(second.cycle.errors == 2 && second.finishedAt.isValid());
    QMutexLocker lock(&mutex);
    EXPECT_EQ(seen.mid(0, 2),
              (QStringList{"first@example.jp", "second@example.jp\tthird@example.jp\törjan@例え.jp"}));
    for (std::size_t i = 1; i < spans.size(); ++i)
        EXPECT_GE(spans[i].first - spans[i - 1].second, 25) << "tick " << i << " started too soon after the previous one";
}

INSTANTIATE_TEST_SUITE_P(Threading, ServiceTest, ::testing::Values(Service::Threading::Inline, Service::Threading::Worker));

TEST_F(ServiceWorkerTest, PauseStopAndDestructionDuringATickWaitForItsEndAndAreNotUndoneByItsReArm)
{
    std::atomic<int> inside{0}, ticks{0};
    std::atomic<bool> overlapped{false}, hold{false};
    QStringList seen;
    auto owned = std::make_unique<Service>(m_copy, nullptr, Service::Threading::Worker);
    Service& service = *owned;
    const auto release = qScopeGuard([&] { hold = false; }); // the service's end waits for its tick
    service.SetTickWork([&](const config::SettingsRecord&) {
        if (++inside > 1) overlapped = true;
        QThread::msleep(20);
        while (hold)
            QThread::msleep(5);
        --inside;
        ++ticks;
        return CycleSummary{};
    });
    const auto inTick = [&] { return QTest::qWaitFor([&] { return inside.load() == 1; }, 3000); };
    const auto idle = [&] { return QTest::qWaitFor([&] { return !service.IsBusy(); }, 3000); };
    service.Start(QStringLiteral("10"));
    ASSERT_TRUE(inTick());
    service.Stop();
    ASSERT_TRUE(idle());
    EXPECT_FALSE(service.IsRunning()) << "a stop during a tick is not undone by its re-arm";

    // Paused during a tick: the call returns at once and the work runs when the tick has ended,
    // with no tick while it lasts (a modal window serves events meanwhile).
    hold = true;
    service.Start(QStringLiteral("10"));
    ASSERT_TRUE(inTick());
    ASSERT_TRUE(service.PauseThen([&](bool wasRunning) {
        seen << QStringLiteral("was running %1, busy %2, running %3").arg(wasRunning).arg(service.IsBusy()).arg(service.IsRunning());
        service.Resume(wasRunning, QStringLiteral("20"));
    }));
    EXPECT_TRUE(seen.isEmpty() && service.IsBusy() && service.IsPauseWaiting() && !service.IsRunning());
    EXPECT_FALSE(service.PauseThen([&](bool) { seen << "second"; })) << "one pause waits at a time";
    service.Start(QStringLiteral("10")); // a start while the pause waits does not let a tick meet its work
    hold = false;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !seen.isEmpty(); }, 3000));
    EXPECT_EQ(seen, QStringList{"was running 1, busy 0, running 0"});
    EXPECT_TRUE(service.IsRunning() && service.IntervalMs() == 20 && !service.IsPauseWaiting());

    // Stopped and started again during a tick: the tick's end arms it once.
    ASSERT_TRUE(inTick());
    service.Stop();
    service.Start(QStringLiteral("10"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks.load() >= 5; }, 3000));
    EXPECT_FALSE(overlapped.load());

    // A pause that began Stopped runs at once and ends Stopped, with the interval taken anyway.
    service.Stop();
    ASSERT_TRUE(idle());
    bool ranAtOnce = false;
    ASSERT_TRUE(service.PauseThen([&](bool wasRunning) {
        ranAtOnce = true;
        service.Resume(wasRunning, QStringLiteral("40"));
    }));
    EXPECT_TRUE(ranAtOnce && !service.IsRunning() && service.IntervalMs() == 40);

    // Destroyed during a tick: the tick ends first.
    service.Start(QStringLiteral("10"));
    ASSERT_TRUE(inTick());
    owned.reset();
    EXPECT_EQ(inside.load(), 0) << "the tick outlived its service";
}

} // namespace
} // namespace lw::engine
