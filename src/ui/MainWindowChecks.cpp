// The field checks of the main window: numbers in a range, plain names without a path separator.
#include "ui/MainWindow.h"

#include <QDir>

#include <cmath>

namespace lw::ui {

namespace {

struct RangeRule {
    const char* field;
    int low;
    int high;
    const char* resetText;
};

constexpr RangeRule kRanges[] = {
    {"txtIntv", 1, 65535, "60000"},
    {"txtKeep", 1, 90, "60"},
    {"txtPortpop", 1, 65535, "110"},
    {"txtPortsmtp", 1, 9999, "25"},
    {"txtTimeoutsmtp", 1, 600, "120"},
};

constexpr const char* kNames[] = {"txtList", "txtLog", "txtStock"};

} // namespace

std::optional<FieldCheckFailure> CheckField(const QString& field, const QString& text)
{
    for (const RangeRule& rule : kRanges) {
        if (field != QLatin1String(rule.field)) continue;
        if (text.isEmpty()) return std::nullopt;
        bool ok = false;
        // Blanks around, a sign, a decimal point and an exponent are all part of a number.
        const double value = text.trimmed().toDouble(&ok);
        const QString reset = QString::fromLatin1(rule.resetText);
        if (!ok || !std::isfinite(value)) return FieldCheckFailure{QStringLiteral("数値を入力してください。"), reset, true};
        if (value < rule.low || value > rule.high)
            return FieldCheckFailure{QStringLiteral("入力範囲(%1-%2)を超えています。").arg(rule.low).arg(rule.high), reset,
                                     true};
        return std::nullopt;
    }
    for (const char* name : kNames) {
        if (field != QLatin1String(name)) continue;
        if (text.isEmpty()) return FieldCheckFailure{QStringLiteral("入力されていません。"), {}, false};
        // A separator or the parent folder would put the file outside the program folder.
        if (text.contains(QLatin1Char('\\')) || text.contains(QLatin1Char('/')) ||
            text.contains(QDir::separator()) || text.trimmed() == QStringLiteral(".."))
            return FieldCheckFailure{QStringLiteral("\\マークは使用できません。"), {}, false};
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace lw::ui
