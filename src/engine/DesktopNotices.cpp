#include "engine/DesktopNotices.h"

#include <QStringList>

namespace lw::engine {

std::optional<DesktopNotice> DesktopNoticeRules::AfterTick(const CycleSummary& cycle, config::MailNotices mailNotices)
{
    QStringList lines;
    DesktopNotice notice;
    if (cycle.fetchError.isEmpty()) {
        m_failuresInRow = 0;
    } else if (++m_failuresInRow == kFailuresBeforeNotice) {
        lines << QStringLiteral("メールの受信に%1回続けて失敗しました: %2").arg(m_failuresInRow).arg(cycle.fetchError);
        notice.urgency = DesktopNotice::Urgency::Critical;
    }

    int acted = 0;
    if (mailNotices == config::MailNotices::ListedSenders) acted = cycle.actedOnListed;
    if (mailNotices == config::MailNotices::EveryMessage) acted = cycle.actedOnAny;
    if (acted > 0) lines << QStringLiteral("%1通のメールを処理しました（印刷・保存・転送）。").arg(acted);
    if (cycle.commandChanges > 0)
        lines << QStringLiteral("コマンドメールで設定が変更されました（%1通）。").arg(cycle.commandChanges);

    if (lines.isEmpty()) return std::nullopt;
    notice.summary = QStringLiteral("LarchWatcher");
    notice.body = lines.join(u'\n');
    return notice;
}

} // namespace lw::engine
