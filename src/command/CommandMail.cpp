#include "command/CommandMail.h"

#include "command/ApplyCommand.h"
#include "command/CommandParams.h"
#include "mail/ActivityLog.h"
#include "store/History.h"

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

void HandleCommandMail(const config::SettingsRecord& settings, const mail::ReceivedMail& mail,
                       config::WorkingCopy& copy)
{
    QString block;
    if (!FindCommandBlock(mail.body, block)) return;
    CommandParams params;
    ParseCommandParams(params, block);

    const QString who = u'[' + mail.file + QStringLiteral("]:") + params.account + u':' + params.password;
    const auto log = [&](const QString& text) {
        mail::WriteLog(settings.programFolder, settings.logBaseName, text);
    };

    if (!settings.commandMailEnabled) {
        log(QStringLiteral("コマンド拒否") + who);
        return;
    }
    // Both compared every time, so the time does not tell which one was wrong.
    const bool passwordRight = SameText(params.password, settings.commandPassword);
    const bool accountRight = SameText(params.account, settings.commandAccount);
    if (!(passwordRight & accountRight)) {
        log(QStringLiteral("コマンド認証エラー") + who);
        return;
    }
    QString error;
    if (!ApplyCommand(settings, params, copy, error)) {
        log(QStringLiteral("コマンド実行エラー[") + mail.file + QStringLiteral("]:") + error);
        return;
    }
    log(QStringLiteral("コマンド実行") + who);
    store::RegisterProcessing(settings, mail, store::kActionCommand, true);
}

} // namespace lw::command
