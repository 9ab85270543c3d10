#pragma once

#include "base/Result.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <optional>

namespace lw::engine {

// The actions and forward destinations of one monitored sender, read from its tblList row.
struct SenderRule {
    QString address;  // not filled by the lookup
    QString name;     // not filled by the lookup
    bool print = false;
    bool save = false;
    bool clear = false;
    bool log = false;
    bool reject = false;
    bool forward = false;
    QString forwardTo;   // normalised address lists: lower case, TAB-separated
    QString forwardCc;
    QString forwardBcc;
};

// The rule of a sender, or nothing when the sender is not listed.
using RuleLookup = base::Result<std::optional<SenderRule>>;

// Looks the sender (trimmed of blanks, letter case ignored) up in tblList: its rule, nothing
// when it is not listed, or the reason when the list database could not be opened or read.
// Opens and closes the calling thread's connection.
RuleLookup LookUpSenderRule(const QString& programFolder, const QString& listName, const QString& address);

// Whether the sender (trimmed, letter case ignored) is in the imported address book, or the
// reason when the list database could not be opened or read.
base::Result<bool> LookUpAddressBook(const QString& programFolder, const QString& listName,
                                     const QString& address);

// Same lookups on a connection the caller already holds open (one open per poll cycle instead
// of one per message); the connection is left open.
RuleLookup LookUpSenderRule(const QSqlDatabase& db, const QString& address);
base::Result<bool> LookUpAddressBook(const QSqlDatabase& db, const QString& address);

// Both lookups on a connection held open, with their statements prepared once: the form for
// many lookups in a row. Must be destroyed before the connection is closed.
class SenderLookup {
public:
    explicit SenderLookup(const QSqlDatabase& db);
    SenderLookup(const SenderLookup&) = delete;
    SenderLookup& operator=(const SenderLookup&) = delete;

    // As LookUpSenderRule.
    RuleLookup FindRule(const QString& address);
    // As LookUpAddressBook.
    base::Result<bool> InAddressBook(const QString& address);

private:
    // The exact-match statement of a table, prepared on first use: the connection's cached one
    // where it keeps statements, else own.
    base::Result<QSqlQuery*> Exact(QSqlQuery*& slot, QSqlQuery& own, const QString& sql);
    // Whether a row matches; m_current then holds it.
    base::Result<bool> Find(QSqlQuery& exact, const QString& select, const QString& key, int keyIndex,
                            const QString& address);

    QSqlDatabase m_db;
    QSqlQuery m_ownRule;
    QSqlQuery m_ownBook;
    QSqlQuery* m_rule = nullptr;
    QSqlQuery* m_book = nullptr;
    QSqlQuery m_other;
    QSqlQuery* m_current = nullptr;
};

} // namespace lw::engine
