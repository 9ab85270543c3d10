// Which finished ticks show a notice on screen, and what it says.
#include "engine/DesktopNotices.h"

#include <gtest/gtest.h>

#include <vector>

namespace lw::engine {
namespace {

using config::MailNotices;

// The other fields of the summary are empty.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
CycleSummary Tick(int listed, int any, int commands = 0, const char* fetchError = "")
{
    return {.fetchError = fetchError, .actedOnListed = listed, .actedOnAny = any, .commandChanges = commands};
}

// One run of ticks through one rules object: failures are counted across ticks, the failure
// notice comes once per run of failures, and each tick gives at most one notice.
TEST(DesktopNoticeRules, AtMostOneNoticePerTickAsTheSettingAndTheFailuresInARowSay)
{
    struct Step {
        CycleSummary cycle;
        MailNotices mode;
        const char* body; // nullptr: no notice
        bool critical;
    };
    const char* down = "connection refused";
    const std::vector<Step> steps = {
        {Tick(0, 0), MailNotices::EveryMessage, nullptr, false},
        {Tick(2, 3), MailNotices::ListedSenders, "2通のメールを処理しました（印刷・保存・転送）。", false},
        {Tick(2, 3), MailNotices::EveryMessage, "3通のメールを処理しました（印刷・保存・転送）。", false},
        {Tick(2, 3), MailNotices::Off, nullptr, false},
        {Tick(0, 4), MailNotices::ListedSenders, nullptr, false},
        {Tick(0, 0, 1), MailNotices::Off, "コマンドメールで設定が変更されました（1通）。", false},
        {Tick(0, 0, 0, down), MailNotices::EveryMessage, nullptr, false},
        {Tick(0, 0, 0, down), MailNotices::EveryMessage, nullptr, false},
        {Tick(1, 1, 1, down), MailNotices::ListedSenders,
         "メールの受信に3回続けて失敗しました: connection refused\n"
         "1通のメールを処理しました（印刷・保存・転送）。\nコマンドメールで設定が変更されました（1通）。",
         true},
        {Tick(0, 0, 0, down), MailNotices::EveryMessage, nullptr, false}, // the fourth says nothing new
        {Tick(0, 0), MailNotices::EveryMessage, nullptr, false},          // a success ends the run
        {Tick(0, 0, 0, down), MailNotices::EveryMessage, nullptr, false},
        {Tick(0, 0, 0, down), MailNotices::EveryMessage, nullptr, false},
        {Tick(0, 0, 0, down), MailNotices::Off, "メールの受信に3回続けて失敗しました: connection refused", true},
    };
    DesktopNoticeRules rules;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const std::optional<DesktopNotice> notice = rules.AfterTick(steps[i].cycle, steps[i].mode);
        if (steps[i].body == nullptr) {
            EXPECT_FALSE(notice.has_value()) << "tick " << i << ": " << notice->body.toStdString();
            continue;
        }
        ASSERT_TRUE(notice.has_value()) << "tick " << i;
        EXPECT_EQ(notice->body, QString::fromUtf8(steps[i].body)) << "tick " << i;
        EXPECT_EQ(notice->summary, QStringLiteral("LarchWatcher"));
        EXPECT_EQ(notice->urgency == DesktopNotice::Urgency::Critical, steps[i].critical) << "tick " << i;
    }
    EXPECT_EQ(rules.FailuresInRow(), 3);
}

} // namespace
} // namespace lw::engine
