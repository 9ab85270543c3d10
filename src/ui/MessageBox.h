#pragma once

#include "store/ListDatabase.h"

#include <QString>
#include <QStringList>

class QWidget;

namespace lw::ui {

// The program's message boxes: window title "LarchWatcher"; notices carry an OK button only and
// no icon; questions carry Yes/No, a warning icon and No as the default.
// Tests queue the answers with SetNextAnswer: an answered box is recorded but never shown.
class MessageBox {
public:
    enum Answer { NoAnswer, Ok, Cancel, Yes, No };

    // Shows text with an OK button and no icon; returns when the operator closed it.
    static void Information(QWidget* parent, const QString& text);
    // Asks a Yes/No question (warning icon, No default); true only for Yes.
    static bool Question(QWidget* parent, const QString& text);
    // Asks with OK and Cancel (no icon, OK default); true only for OK.
    static bool Confirm(QWidget* parent, const QString& text);

    // Tests: the next box is answered with answer instead of being shown; calls queue up.
    static void SetNextAnswer(Answer answer);
    // Tests: the texts of the boxes asked or shown since the last ClearLog, in order (the last 100).
    static QStringList Log();
    // Tests: forgets the recorded texts and any answer not used yet.
    static void ClearLog();
    // Tests: answers queued but not used yet.
    static int PendingAnswers();

private:
    static Answer Ask(QWidget* parent, const QString& text, int kind);
};

// The list database's creation question, asked through an OK/Cancel message box.
class MessageBoxQuestion final : public store::DatabaseQuestion {
public:
    explicit MessageBoxQuestion(QWidget* parent = nullptr) : m_parent(parent) {}
    bool Confirm(const QString& message) override { return MessageBox::Confirm(m_parent, message); }

private:
    QWidget* m_parent;
};

} // namespace lw::ui
