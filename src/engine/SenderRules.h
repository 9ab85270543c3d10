#pragma once

#include <QSqlDatabase>
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
[[nodiscard]] bool LookUpSenderRule(const QString& programFolder, const QString& reffile,
                                    const QString& address, SenderRule& rule, QString& error);

// True when the sender (trimmed, letter case ignored) is in the imported address book. False
// with error set when the list database could not be opened or read.
[[nodiscard]] bool LookUpAddressBook(const QString& programFolder, const QString& reffile,
                                     const QString& address, QString& error);

// Same lookups on a connection the caller already holds open (one open per poll cycle instead
// of one per message); the connection is left open.
[[nodiscard]] bool LookUpSenderRule(const QSqlDatabase& db, const QString& address, SenderRule& rule,
                                    QString& error);
[[nodiscard]] bool LookUpAddressBook(const QSqlDatabase& db, const QString& address, QString& error);

} // namespace lw::engine
