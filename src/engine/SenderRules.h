#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

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

// Looks the sender (trimmed of blanks, letter case ignored) up in tblList. True: found, rule
// filled. False with error empty: not listed, rule untouched. False with error set: the list
// database could not be opened or read. Opens and closes the calling thread's connection.
[[nodiscard]] bool LookUpSenderRule(const QString& programFolder, const QString& listName,
                                    const QString& address, SenderRule& rule, QString& error);

// True when the sender (trimmed, letter case ignored) is in the imported address book. False
// with error set when the list database could not be opened or read.
[[nodiscard]] bool LookUpAddressBook(const QString& programFolder, const QString& listName,
                                     const QString& address, QString& error);

// Same lookups on a connection the caller already holds open (one open per poll cycle instead
// of one per message); the connection is left open.
[[nodiscard]] bool LookUpSenderRule(const QSqlDatabase& db, const QString& address, SenderRule& rule,
                                    QString& error);
[[nodiscard]] bool LookUpAddressBook(const QSqlDatabase& db, const QString& address, QString& error);

// Both lookups on a connection held open, with their statements prepared once: the form for
// many lookups in a row. Must be destroyed before the connection is closed.
class SenderLookup {
public:
    explicit SenderLookup(const QSqlDatabase& db);
    SenderLookup(const SenderLookup&) = delete;
    SenderLookup& operator=(const SenderLookup&) = delete;

    // As LookUpSenderRule.
    [[nodiscard]] bool FindRule(const QString& address, SenderRule& rule, QString& error);
    // As LookUpAddressBook.
    [[nodiscard]] bool InAddressBook(const QString& address, QString& error);

private:
    // The exact-match statement of a table, prepared on first use: the connection's cached one
    // where it keeps statements, else own. Null with the reason.
    QSqlQuery* Exact(QSqlQuery*& slot, QSqlQuery& own, const QString& sql, QString& error);
    bool Find(QSqlQuery* exact, const QString& select, const QString& key, int keyIndex,
              const QString& address, QString& error);

    QSqlDatabase m_db;
    QSqlQuery m_ownRule;
    QSqlQuery m_ownBook;
    QSqlQuery* m_rule = nullptr;
    QSqlQuery* m_book = nullptr;
    QSqlQuery m_other;
    QSqlQuery* m_current = nullptr;
};

} // namespace lw::engine
