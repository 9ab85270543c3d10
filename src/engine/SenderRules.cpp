#include "engine/SenderRules.h"

#include "mail/AddressList.h"
#include "store/FindOrAdd.h"
#include "store/Folders.h"
#include "store/ListDatabase.h"

#include <QList>
#include <QSqlError>
#include <QStringList>

#include <functional>

namespace lw::engine {

namespace {

// More variants than this are matched by reading every address instead of index probes.
constexpr qsizetype kMaxCaseVariants = 256;

// The columns read, ending in the key column, from the table.
const QString kRuleSelect = QStringLiteral(
    "SELECT 印刷, メール保存, ボックスクリア, ログ出力, 受信拒否, メール転送, 転送先TO, 転送先CC, 転送先BCC, アドレス "
    "FROM tblList");
const QString kRuleKey = QStringLiteral(" WHERE アドレス");
const QString kBookSelect = QStringLiteral("SELECT 電子メールアドレス FROM tblAdrbook");
const QString kBookKey = QStringLiteral(" WHERE 電子メールアドレス");

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

bool Flag(const QSqlQuery& row, int column)
{
    return row.value(column).toLongLong() != 0;
}

// Opens the calling thread's connection around one lookup, as the per-call lookups promise.
template <typename T>
base::Result<T> WithConnection(const QString& programFolder, const QString& listName,
                               const std::function<base::Result<T>(const QSqlDatabase&)>& lookUp)
{
    if (base::Status opened = store::OpenListDatabase(store::BareFolder(programFolder), listName); !opened)
        return opened.Failure();
    base::Result<T> found = lookUp(store::ListConnection());
    store::CloseListDatabase();
    return found;
}

} // namespace

SenderLookup::SenderLookup(const QSqlDatabase& db) : m_db(db) {}

base::Result<QSqlQuery*> SenderLookup::Exact(QSqlQuery*& slot, QSqlQuery& own, const QString& sql)
{
    if (slot != nullptr) return slot;
    if (QSqlQuery* cached = store::CachedStatement(m_db, sql)) return slot = cached;
    own = QSqlQuery(m_db);
    own.setForwardOnly(true);
    if (!own.prepare(sql)) {
        QString error = own.lastError().text();
        if (error.trimmed().isEmpty()) error = QStringLiteral("cannot read the list database");
        return base::Fail(error);
    }
    return slot = &own;
}

base::Result<bool> SenderLookup::Find(QSqlQuery& exact, const QString& select, const QString& key,
                                      int keyIndex, const QString& address)
{
    exact.bindValue(0, address);
    if (!exact.exec()) return base::Fail(exact.lastError().text());
    if (exact.next()) {
        m_current = &exact;
        return true;
    }
    exact.finish();

    const QStringList variants = CaseVariants(address);
    if (variants.size() == 1) return false;
    m_other = QSqlQuery(m_db);
    m_other.setForwardOnly(true);
    base::Status read;
    bool found = false;
    if (!variants.isEmpty()) {
        // Index probes for each non-ASCII case spelling.
        QVariantList values;
        for (const QString& variant : variants) values << variant;
        read = store::Execute(m_other,
                              select + key + QStringLiteral(" IN (") +
                                  QStringList(variants.size(), QStringLiteral("?")).join(u',') +
                                  QStringLiteral(") ORDER BY rowid LIMIT 1"),
                              values);
        found = read && m_other.next();
    } else {
        // Too many case variants to probe: compare case-folded forms row by row.
        read = store::Execute(m_other, select + QStringLiteral(" ORDER BY rowid"), {});
        const QString folded = address.toCaseFolded();
        while (read && !found && m_other.next())
            found = m_other.value(keyIndex).toString().toCaseFolded() == folded;
    }
    if (read && found) {
        m_current = &m_other;
        return true;
    }
    // An unfinished statement would keep a read snapshot open between lookups.
    m_other.finish();
    if (!read) return read.Failure();
    return false;
}

RuleLookup SenderLookup::FindRule(const QString& address)
{
    const base::Result<QSqlQuery*> exact =
        Exact(m_rule, m_ownRule, kRuleSelect + kRuleKey + QStringLiteral(" = ? LIMIT 1"));
    if (!exact) return exact.Failure();
    const base::Result<bool> found = Find(**exact, kRuleSelect, kRuleKey, 9, base::TrimSpaces(address));
    if (!found) return found.Failure();
    if (!*found) return std::optional<SenderRule>();
    const QSqlQuery& row = *m_current;
    SenderRule rule;
    rule.print = Flag(row, 0);
    rule.save = Flag(row, 1);
    rule.clear = Flag(row, 2);
    rule.log = Flag(row, 3);
    rule.reject = Flag(row, 4);
    rule.forward = Flag(row, 5);
    rule.forwardTo = mail::NormaliseAddressList(store::ReadText(row.value(6)));
    rule.forwardCc = mail::NormaliseAddressList(store::ReadText(row.value(7)));
    rule.forwardBcc = mail::NormaliseAddressList(store::ReadText(row.value(8)));
    m_current->finish();
    return std::optional<SenderRule>(std::move(rule));
}

base::Result<bool> SenderLookup::InAddressBook(const QString& address)
{
    const base::Result<QSqlQuery*> exact =
        Exact(m_book, m_ownBook, kBookSelect + kBookKey + QStringLiteral(" = ? LIMIT 1"));
    if (!exact) return exact.Failure();
    const base::Result<bool> found = Find(**exact, kBookSelect, kBookKey, 0, base::TrimSpaces(address));
    if (found && *found) m_current->finish();
    return found;
}

RuleLookup LookUpSenderRule(const QSqlDatabase& db, const QString& address)
{
    return SenderLookup(db).FindRule(address);
}

base::Result<bool> LookUpAddressBook(const QSqlDatabase& db, const QString& address)
{
    return SenderLookup(db).InAddressBook(address);
}

RuleLookup LookUpSenderRule(const QString& programFolder, const QString& listName, const QString& address)
{
    return WithConnection<std::optional<SenderRule>>(
        programFolder, listName, [&](const QSqlDatabase& db) { return LookUpSenderRule(db, address); });
}

base::Result<bool> LookUpAddressBook(const QString& programFolder, const QString& listName,
                                     const QString& address)
{
    return WithConnection<bool>(programFolder, listName,
                                [&](const QSqlDatabase& db) { return LookUpAddressBook(db, address); });
}

} // namespace lw::engine
