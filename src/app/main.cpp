// larchwatcher: command line and choice of mode.
#include "app/Modes.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <memory>

namespace {

bool HasArgument(int argc, char** argv, const char* name)
{
    for (int i = 1; i < argc; ++i)
        if (qstrcmp(argv[i], name) == 0) return true;
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    const bool headless = HasArgument(argc, argv, "--service") || HasArgument(argc, argv, "--poll-once") ||
                          HasArgument(argc, argv, "--inspect") || HasArgument(argc, argv, "--help") ||
                          HasArgument(argc, argv, "-h");
    // Headless modes still lay out notices with Qt's painter, so they run on the offscreen platform.
    if (headless && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    auto app = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setOrganizationName("larchwatcher");
    QCoreApplication::setApplicationName("larchwatcher");

    QCommandLineParser parser;
    parser.setApplicationDescription("LarchWatcher: watches one POP3 mailbox and treats each message by its sender's rule.");
    parser.addHelpOption();
    const QCommandLineOption homeOption("home", "Program folder: settings, list database, saved mail and logs.", "DIR");
    const QCommandLineOption serviceOption("service",
                                           "Run the poll timer without a window until SIGINT or SIGTERM "
                                           "(status 3 when another running copy holds the program folder).");
    const QCommandLineOption pollOnceOption(
        "poll-once", "Run one poll cycle and the purge, then exit (status 0 on success, 3 when another "
                     "running copy holds the program folder).");
    const QCommandLineOption printToOption("print-to", "Write every mail notice as a PDF file into DIR instead of printing it.", "DIR");
    const QCommandLineOption inspectOption("inspect", "Print one stored message as JSON: the parts read and the extracted fields.", "FILE");
    const QCommandLineOption attachmentsOption("attachments-to", "With --inspect: folder for the attachments (default: a new temporary folder).", "DIR");
    const QCommandLineOption trustOption(
        "trust-certificate",
        "Trust exactly the server certificate of this SHA-256 fingerprint for HOST:PORT, although the system "
        "does not (the refusal in the log names the value to give).",
        "HOST:PORT=SHA256");
    const QCommandLineOption hiddenOption("hidden", "Start with the window hidden in the tray (shown when the desktop has no tray).");
    parser.addOptions({homeOption, serviceOption, pollOnceOption, printToOption, inspectOption, attachmentsOption,
                       trustOption, hiddenOption});
    parser.process(*app);

    if (parser.isSet(inspectOption))
        return lw::app::RunInspect(parser.value(inspectOption), parser.value(attachmentsOption));

    lw::app::Options options;
    options.home = lw::app::ChooseProgramFolder(parser.value(homeOption));
    options.printTo = parser.value(printToOption);
    options.hidden = parser.isSet(hiddenOption);
    options.trustCertificates = parser.values(trustOption);
    lw::app::TightenAtStart(options.home);
    if (parser.isSet(pollOnceOption)) return lw::app::RunPollOnce(options);
    if (parser.isSet(serviceOption)) return lw::app::RunService(options);
    return lw::app::RunWindow(options);
}
