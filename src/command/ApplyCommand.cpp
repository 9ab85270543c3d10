#include "command/ApplyCommand.h"

#include "config/Settings.h"
#include "base/TextTrim.h"
#include "store/FindOrAdd.h"
#include "store/ListDatabase.h"

#include <optional>

namespace lw::command {

namespace {

// true or false for the flag words, nullopt for anything else.
std::optional<bool> FlagWord(const QString& value)
{
    const QString word = base::TrimSpaces(value).toLower();
    if (word == u"true") return true;
    if (word == u"false") return false;
    return std::nullopt;
}

// A forwarding target the option group has: a whole number 0 to 2 written with digits only.
std::optional<int> TargetOption(const QString& value)
{
    const QString text = base::TrimSpaces(value);
    if (text.isEmpty() || text.size() > 4) return std::nullopt;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9') return std::nullopt;
    }
    const int option = text.toInt();
    if (option > 2) return std::nullopt;
    return option;
}

void ApplyForwardingFields(const CommandParams& params, config::WorkingCopy& copy)
{
    // Check boxes: anything but the word true unticks.
    if (!params.forwardEnabled.isEmpty())
        copy.SetState(config::KeyOf(config::Setting::ForwardEnabled),
                      FlagWord(params.forwardEnabled) == true);
    // A target the option group does not have leaves the selection as it is.
    if (!params.forwardTarget.isEmpty()) {
        if (const auto option = TargetOption(params.forwardTarget))
            copy.SetState(config::KeyOf(config::Setting::ForwardTarget), *option);
    }
    if (!params.useFixedForwardAddresses.isEmpty())
        copy.SetState(config::KeyOf(config::Setting::UseFixedForwardAddresses),
                      FlagWord(params.useFixedForwardAddresses) == true);

    // The fixed lists are always set: a command without them empties them.
    copy.SetText(config::KeyOf(config::Setting::ForwardTo), base::TrimSpaces(params.forwardTo));
    copy.SetText(config::KeyOf(config::Setting::ForwardCc), base::TrimSpaces(params.forwardCc));
    copy.SetText(config::KeyOf(config::Setting::ForwardBcc), base::TrimSpaces(params.forwardBcc));
}

base::Status SetRule(const QSqlDatabase& db, const QString& address, const store::ColumnValues& values)
{
    const store::ColumnValues keys{{QStringLiteral("アドレス"), base::TrimSpaces(address)}};
    return store::FindOrAdd(db, QStringLiteral("tblList"), keys, values);
}

void AddFlag(store::ColumnValues& values, const char* column, const QString& word)
{
    // Columns whose value is not a flag word keep what they hold (or the table default).
    if (const auto flag = FlagWord(word)) values.append({QString::fromUtf8(column), *flag ? 1 : 0});
}

base::Status ApplyRuleChanges(const CommandParams& params)
{
    const QSqlDatabase db = store::ListConnection();
    store::TransactionGuard transaction(db);
    if (base::Status begun = transaction.Begin(); !begun) return begun;

    if (!params.ruleSender.isEmpty()) {
        store::ColumnValues flags;
        AddFlag(flags, "印刷", params.rulePrint);
        AddFlag(flags, "メール保存", params.ruleSave);
        AddFlag(flags, "ボックスクリア", params.ruleClear);
        AddFlag(flags, "ログ出力", params.ruleLog);
        AddFlag(flags, "受信拒否", params.ruleReject);
        AddFlag(flags, "メール転送", params.ruleForward);
        if (base::Status set = SetRule(db, params.ruleSender, flags); !set) return set;
    }
    const struct {
        const QString& address;
        const QString& list;
        const char* column;
    } lists[] = {
        {params.ruleToSender, params.ruleForwardTo, "転送先TO"},
        {params.ruleCcSender, params.ruleForwardCc, "転送先CC"},
        {params.ruleBccSender, params.ruleForwardBcc, "転送先BCC"},
    };
    for (const auto& list : lists) {
        if (list.address.isEmpty()) continue;
        // Never null: an emptied list is the empty text, not a missing value.
        const QString text = base::TrimSpaces(list.list);
        const store::ColumnValues values{
            {QString::fromUtf8(list.column), text.isNull() ? QStringLiteral("") : text}};
        if (base::Status set = SetRule(db, list.address, values); !set) return set;
    }
    return transaction.Commit();
}

} // namespace

AppliedCommand ApplyCommand(const config::SettingsRecord& settings, const CommandParams& params,
                            config::WorkingCopy& copy)
{
    ApplyForwardingFields(params, copy);
    AppliedCommand applied{config::SaveSettings(copy), {}};
    applied.ruleChanges = store::OpenListDatabase(settings.programFolder, settings.listDatabaseName);
    if (!applied.ruleChanges) return applied;
    applied.ruleChanges = ApplyRuleChanges(params);
    store::CloseListDatabase();
    return applied;
}

} // namespace lw::command
