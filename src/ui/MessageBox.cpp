#include "ui/MessageBox.h"

#include <QMessageBox>

#include <deque>

namespace lw::ui {

namespace {

enum Kind { kInformation, kQuestion, kConfirm };

std::deque<MessageBox::Answer>& Answers()
{
    static std::deque<MessageBox::Answer> answers;
    return answers;
}

QStringList& Shown()
{
    static QStringList shown;
    return shown;
}

} // namespace

MessageBox::Answer MessageBox::Ask(QWidget* parent, const QString& text, int kind)
{
    Shown().append(text);
    if (Shown().size() > 100) Shown().removeFirst();
    if (!Answers().empty()) {
        const Answer answer = Answers().front();
        Answers().pop_front();
        return answer;
    }

    QMessageBox box(parent);
    box.setWindowTitle(QStringLiteral("LarchWatcher"));
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
    switch (kind) {
    case kQuestion:
        box.setIcon(QMessageBox::Warning);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        break;
    case kConfirm:
        box.setIcon(QMessageBox::NoIcon);
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Cancel);
        break;
    default:
        box.setIcon(QMessageBox::NoIcon);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok: return Ok;
    case QMessageBox::Cancel: return Cancel;
    case QMessageBox::Yes: return Yes;
    case QMessageBox::No: return No;
    default: return NoAnswer;
    }
}

void MessageBox::Information(QWidget* parent, const QString& text)
{
    Ask(parent, text, kInformation);
}

bool MessageBox::Question(QWidget* parent, const QString& text)
{
    return Ask(parent, text, kQuestion) == Yes;
}

bool MessageBox::Confirm(QWidget* parent, const QString& text)
{
    return Ask(parent, text, kConfirm) == Ok;
}

void MessageBox::SetNextAnswer(Answer answer)
{
    Answers().push_back(answer);
}

QStringList MessageBox::Log()
{
    return Shown();
}

void MessageBox::ClearLog()
{
    Shown().clear();
    Answers().clear();
}

int MessageBox::PendingAnswers()
{
    return static_cast<int>(Answers().size());
}

} // namespace lw::ui
