#include "engine/SenderRules.h"

#include "engine/mail/AddressList.h"
#include "store/FindOrAdd.h"
#include "store/Folders.h"
#include "store/ListDatabase.h"

#include <QList>
#include <QSqlQuery>
#include <QStringList>

#include <functional>

namespace lw::engine {

namespace {

// More variants than this are matched by reading every address instead of index probes.
constexpr qsizetype kMaxCaseVariants = 256;

// Spellings of address that differ from it only in the letter case of non-ASCII characters
// (COLLATE NOCASE already covers ASCII). Empty when there would be more than the cap.
QStringList CaseVariants(const QString& address)
{
    QStringList variants{address};
    for (qsizetype i = 0; i < address.size(); ++i) {
        const QChar c = address.at(i);
        if (c.unicode() < 0x80 || c.isSurrogate()) continue;
        QList<QChar> forms{c};
        for (QChar form : {c.toLower(), c.toUpper(), c.toTitleCase(), c.toUpper().toLower()})
            if (!forms.contains(form)) forms << form;
        if (forms.size() == 1) continue;
        if (variants.size() * forms.size() > kMaxCaseVariants) return {};
        QStringList next;
        for (const QString& variant : std::as_const(variants)) {
            for (QChar form : std::as_const(forms)) {
                QString spelled = variant;
                spelled[i] = form;
                next << spelled;
            }
        }
        variants = next;
    }
    return variants;
}

// Runs `columns` FROM table for the row whose key column equals address ignoring letter case,
// and hands the first such row to `take`. Returns found; error set on a database failure.
bool FindFirst(const QSqlDatabase& db, const QString& table, const QString& keyColumn,
               const QString& columns, const QString& address,
               const std::function<void(const QSqlQuery&)>& take, QString& error)
{
    error.clear();
    bool found = false;
    {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        const QString select = QStringLiteral("SELECT ") + columns + QStringLiteral(" FROM ") + table +
                               QStringLiteral(" WHERE ") + keyColumn;
        bool ok = store::Execute(query, select + QStringLiteral(" = ? LIMIT 1"), {address}, error);
        found = ok && query.next();
        if (ok && !found) {
            const QStringList variants = CaseVariants(address);
            if (variants.size() > 1) {
                // Index probes for each non-ASCII case spelling.
                QStringList marks;
                QVariantList values;
                for (const QString& variant : variants) {
                    marks << QStringLiteral("?");
                    values << variant;
                }
                ok = store::Execute(query,
                                    select + QStringLiteral(" IN (") + marks.join(u',') +
                                        QStringLiteral(") ORDER BY rowid LIMIT 1"),
                                    values, error);
                found = ok && query.next();
            } else if (variants.isEmpty()) {
                // Too many case variants to probe: compare case-folded forms row by row.
                ok = store::Execute(query,
                                    QStringLiteral("SELECT ") + keyColumn + QStringLiteral(", ") +
                                        columns + QStringLiteral(" FROM ") + table +
                                        QStringLiteral(" ORDER BY rowid"),
                                    {}, error);
                const QString folded = address.toCaseFolded();
                while (ok && !found && query.next())
                    found = query.value(0).toString().toCaseFolded() == folded;
            }
        }
        if (ok && found) take(query);
        if (!ok) found = false;
    }
    return found;
}

// Opens the calling thread's connection around one lookup, as the per-call lookups promise.
bool WithConnection(const QString& programFolder, const QString& reffile, QString& error,
                    const std::function<bool(const QSqlDatabase&)>& lookUp)
{
    error.clear();
    if (!store::OpenListDatabase(store::BareFolder(programFolder), reffile, error)) return false;
    const bool found = lookUp(store::ListConnection());
    store::CloseListDatabase();
    return found;
}

const QString kRuleColumns = QStringLiteral(
    "印刷, メール保存, ボックスクリア, ログ出力, 受信拒否, メール転送, 転送先TO, 転送先CC, 転送先BCC");

} // namespace

bool LookUpSenderRule(const QSqlDatabase& db, const QString& address, SenderRule& rule, QString& error)
{
    return FindFirst(
        db, QStringLiteral("tblList"), QStringLiteral("アドレス"), kRuleColumns, store::TrimBlanks(address),
        [&rule](const QSqlQuery& row) {
            rule.print = store::ReadFlag(row, QStringLiteral("印刷"));
            rule.save = store::ReadFlag(row, QStringLiteral("メール保存"));
            rule.clear = store::ReadFlag(row, QStringLiteral("ボックスクリア"));
            rule.log = store::ReadFlag(row, QStringLiteral("ログ出力"));
            rule.forward = store::ReadFlag(row, QStringLiteral("メール転送"));
            rule.reject = store::ReadFlag(row, QStringLiteral("受信拒否"));
            rule.forwardTo = mail::NormaliseAddressList(store::ReadText(row, QStringLiteral("転送先TO")));
            rule.forwardCc = mail::NormaliseAddressList(store::ReadText(row, QStringLiteral("転送先CC")));
            rule.forwardBcc = mail::NormaliseAddressList(store::ReadText(row, QStringLiteral("転送先BCC")));
        },
        error);
}

bool LookUpSenderRule(const QString& programFolder, const QString& reffile, const QString& address,
                      SenderRule& rule, QString& error)
{
    return WithConnection(programFolder, reffile, error, [&](const QSqlDatabase& db) {
        return LookUpSenderRule(db, address, rule, error);
    });
}

bool LookUpAddressBook(const QSqlDatabase& db, const QString& address, QString& error)
{
    return FindFirst(db, QStringLiteral("tblAdrbook"), QStringLiteral("電子メールアドレス"), QStringLiteral("1"),
                     store::TrimBlanks(address), [](const QSqlQuery&) {}, error);
}

bool LookUpAddressBook(const QString& programFolder, const QString& reffile, const QString& address,
                       QString& error)
{
    return WithConnection(programFolder, reffile, error, [&](const QSqlDatabase& db) {
        return LookUpAddressBook(db, address, error);
    });
}

} // namespace lw::engine
