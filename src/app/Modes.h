#pragma once

#include <QString>
#include <QStringList>

namespace lw::app {

// Options shared by every mode.
struct Options {
    QString home;       // program folder, bare form
    QString printTo;    // --print-to: notices become PDF files in this folder
    bool hidden = false; // --hidden: the window starts in the tray (shown when there is none)
    QStringList trustCertificates; // --trust-certificate HOST:PORT=SHA256, any number
};

// Exit status of --poll-once and --service when another running copy holds the program folder.
inline constexpr int kExitFolderInUse = 3;

// --inspect FILE [--attachments-to DIR]: prints one message as JSON.
int RunInspect(const QString& file, const QString& attachmentsTo);
// --service: the timer and cycle without a window, until SIGINT/SIGTERM.
int RunService(const Options& options);
// --poll-once: one tick (cycle and purge), then exit.
int RunPollOnce(const Options& options);
// The main window.
int RunWindow(const Options& options);

// --home when given, else the executable's folder when writable, else the per-user data folder.
QString ChooseProgramFolder(const QString& home);

// Takes group and other access off what older versions left open in the program folder.
void TightenAtStart(const QString& folder);

} // namespace lw::app
