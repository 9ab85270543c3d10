#pragma once

#include <QSqlDatabase>
#include <QString>

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

// True when folder/name.db exists or was just created from the template list_org.db that lies
// in the same folder; asks before creating.
bool EnsureListDatabase(const QString& folder, const QString& name, DatabaseQuestion& question);

// Opens the shared connection of the calling thread to folder/name (".db" added when missing),
// replacing the previous one. False with the reason in error when it cannot be opened.
[[nodiscard]] bool OpenListDatabase(const QString& folder, const QString& name, QString& error);

// Closes the calling thread's shared connection.
void CloseListDatabase();

// The calling thread's shared connection (invalid when none was opened).
QSqlDatabase ListConnection();

} // namespace lw::store
