#pragma once

#include "base/Result.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <functional>
#include <utility>
#include <vector>

namespace lw::store {

// Asks the operator whether a missing list database may be created (OK/Cancel).
// The window shows a message box; headless mode and tests answer from a script.
class DatabaseQuestion {
public:
    virtual ~DatabaseQuestion() = default;
    virtual bool Confirm(const QString& message) = 0;
};

// Answers every question the same way without asking anybody (headless: create without asking).
class FixedAnswer final : public DatabaseQuestion {
public:
    explicit FixedAnswer(bool answer) : m_answer(answer) {}
    bool Confirm(const QString&) override { return m_answer; }

private:
    bool m_answer;
};

// File name of the template beside which new list databases are made.
inline constexpr char kTemplateName[] = "list_org.db";

// The list database file: folder + separator (unless present) + name trimmed of blanks, with
// ".db" added unless the name already ends in ".db" (so "list" and "list.db" name one file).
QString ListDatabasePath(const QString& folder, const QString& name);

// True when folder/name.db exists or was just created from the template list_org.db, asking
// before creating. The template is looked for in the folder, then beside the executable.
bool EnsureListDatabase(const QString& folder, const QString& name, DatabaseQuestion& question);

// Same with the template named explicitly (an empty path means: no template).
bool EnsureListDatabase(const QString& folder, const QString& name, const QString& templatePath,
                        DatabaseQuestion& question);

// Opens the shared connection of the calling thread to the list database (ListDatabasePath),
// replacing the previous one; when that one is open on the same file it is kept, so models built
// on it stay usable. A missing file is an error, never created here. WAL journal, synchronous
// NORMAL, busy time-out. The first open of a file also leaves one idle, lock-free connection to
// it for the life of the process, so that closing never tears down the WAL. False with the
// reason when it cannot be opened.
base::Status OpenListDatabase(const QString& folder, const QString& name);

// Closes and removes the calling thread's shared connection. Queries and models built on it
// must be gone (or cleared) first: they stop working once it is closed. While a
// ListConnectionHold lives on the thread, the close waits for the hold to end.
void CloseListDatabase();

// Keeps the calling thread's connection open across CloseListDatabase calls while it lives, so
// that the many short registrations and lookups of one poll cycle do not each open the database
// (and parse its schema) anew. A close asked for meanwhile happens when the last hold ends.
class ListConnectionHold {
public:
    ListConnectionHold();
    ~ListConnectionHold();
    ListConnectionHold(const ListConnectionHold&) = delete;
    ListConnectionHold& operator=(const ListConnectionHold&) = delete;
};

// While one lives on the calling thread, the TransactionGuards on the thread's shared connection
// are savepoints of one transaction: the first Begin starts it (taking the write lock), each
// guard's Commit keeps its writes and its destructor undoes them alone, and Commit here commits
// them all at once; other connections see nothing before. The many small registrations of a poll
// cycle cost one commit instead of one each. Closing the connection commits first.
class SharedTransaction {
public:
    SharedTransaction();
    // Commits what is left (its failure as Commit's).
    ~SharedTransaction();
    SharedTransaction(const SharedTransaction&) = delete;
    SharedTransaction& operator=(const SharedTransaction&) = delete;

    // The innermost one of the calling thread, or null.
    static SharedTransaction* Current();

    // Commits the writes kept since the last commit (done when there are none). On failure they
    // are rolled back and each step given to OnRollback since runs with the reason; the lines
    // the steps return wait in TakeLostWrites for the caller to log.
    base::Status Commit();
    // The lines of every write lost to a failed commit (also one made when the connection
    // closed) since the last call.
    QStringList TakeLostWrites() { return std::exchange(m_lostWrites, {}); }

    // Whether a guard's Begin joins: false when db is not the thread's shared connection, true
    // when the transaction is open (begun now or earlier); Busy when another connection held
    // the write lock past the busy time-out.
    base::Result<bool> Join(const QSqlDatabase& db);

    // What to undo outside the database when the writes kept so far are rolled back instead of
    // committed; the step returns the line that tells the operator what was lost.
    void OnRollback(std::function<QString(const QString& reason)> step);

private:
    SharedTransaction* m_outer;
    QString m_connection; // the connection whose transaction is open; empty while none is
    std::vector<std::function<QString(const QString&)>> m_onRollback;
    QStringList m_lostWrites;
};

// The calling thread's shared connection (invalid when none is open). Each thread has its own,
// so the poll cycle on a worker thread and the windows on the GUI thread never share one.
QSqlDatabase ListConnection();

// A statement of the calling thread's shared connection, prepared once and kept until the
// connection closes: Qt would parse the SQL again for every query. Null when db is not that
// connection or the SQL does not prepare. Bind with bindValue by position, exec, and finish a
// query once its rows are read.
QSqlQuery* CachedStatement(const QSqlDatabase& db, const QString& sql);

// How long a statement waits for another connection's lock before failing, for connections
// opened from now on (default 5000 ms).
void SetBusyTimeout(int milliseconds);

} // namespace lw::store
