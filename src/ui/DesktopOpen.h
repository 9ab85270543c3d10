#pragma once

#include <QString>

class QWidget;

namespace lw::ui {

// What a file handed to the desktop is, for what the operator is told when it cannot be opened.
enum class OpenedFile { Attachment, Log, SavedMail };

// The message shown when the desktop has no program for the file (registered false) or the
// program it has failed to start: what failed, what to do, and the file's full path.
QString OpenFailureText(OpenedFile kind, bool registered, const QString& path);

// Hands path to the desktop's file handler (the program registered for its type; for a log
// file, the desktop's text editor). When the file is missing, no program takes it, or the
// program fails at once, a message box over parent says what failed and what to do. The
// handler runs on its own; its answer may come after this returns, and the window's thread
// never waits for it.
void OpenWithDesktop(const QString& path, OpenedFile kind, QWidget* parent);

} // namespace lw::ui
