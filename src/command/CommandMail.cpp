#include "command/CommandMail.h"

#include "command/ApplyCommand.h"
#include "command/CommandParams.h"

#include <algorithm>

namespace lw::command {

namespace {

// Equal texts, compared in a time that depends only on their lengths, so that the time taken
// tells nothing about how many leading characters of a guess were right.
bool SameText(const QString& given, const QString& expected)
{
    const qsizetype length = std::max(given.size(), expected.size());
    unsigned difference = given.size() == expected.size() ? 0u : 1u;
    for (qsizetype i = 0; i < length; ++i) {
        const char16_t a = i < given.size() ? given.at(i).unicode() : 0;
        const char16_t b = i < expected.size() ? expected.at(i).unicode() : 0;
        difference |= static_cast<unsigned>(a ^ b);
    }
    return difference == 0;
}

} // namespace

bool FindCommandBlock(const QString& body, QString& block)
{
    const qsizetype marker = body.indexOf(QStringLiteral("mpp{"));
    if (marker < 0) return false;
    const qsizetype start = marker + 4;
    // The first "}" of the whole body, even one before the marker.
    const qsizetype close = body.indexOf(u'}');
    if (close <= start) return false;
    block = body.mid(start, close - start);
    return true;
}

CommandOutcome HandleCommandMail(const config::SettingsRecord& settings, const mail::ReceivedMail& mail,
                                 config::WorkingCopy& copy)
{
    CommandOutcome outcome;
    QString block;
    if (!FindCommandBlock(mail.body, block)) return outcome;
    CommandParams params;
    ParseCommandParams(params, block);

    const QString who = u'[' + mail.file + QStringLiteral("]:") + params.account + u':' + params.password;
    if (!settings.commandMailEnabled) {
        outcome.logLines << QStringLiteral("コマンド拒否") + who;
        return outcome;
    }
    // Both compared every time, so the time does not tell which one was wrong.
    const bool passwordRight = SameText(params.password, settings.commandPassword);
    const bool accountRight = SameText(params.account, settings.commandAccount);
    if (!(passwordRight & accountRight)) {
        outcome.logLines << QStringLiteral("コマンド認証エラー") + who;
        return outcome;
    }
    const AppliedCommand applied = ApplyCommand(settings, params, copy);
    if (!applied.settingsSave) outcome.logLines << applied.settingsSave.ErrorText();
    if (!applied.ruleChanges) {
        outcome.logLines << QStringLiteral("コマンド実行エラー[") + mail.file + QStringLiteral("]:") +
                                applied.ruleChanges.ErrorText();
        return outcome;
    }
    outcome.logLines << QStringLiteral("コマンド実行") + who;
    outcome.applied = true;
    return outcome;
}

} // namespace lw::command
