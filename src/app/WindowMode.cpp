#include "app/Modes.h"
#include "app/SingleInstance.h"

#include "ui/MainWindow.h"
#include "ui/PasswordPrompt.h"
#include "ui/QtTranslations.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QMessageBox>

#include <cstdio>

namespace lw::app {

namespace {

// Japanese glyph forms whatever the locale (a Chinese locale would pick Chinese variants).
void UseJapaneseFonts()
{
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("Noto Sans CJK JP"), QStringLiteral("IPAGothic"), QStringLiteral("IPAPGothic"),
                      font.family()});
    QApplication::setFont(font);
}

void ShowAlreadyRunning()
{
    const QString text = QStringLiteral("「LarchWatcher」は既に起動されています。");
    std::fprintf(stderr, "larchwatcher: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("LarchWatcher"));
    box.setIcon(QMessageBox::Warning);  // the exclamation mark
    box.setText(text);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

} // namespace

int RunWindow(const Options& options)
{
    QElapsedTimer started;
    started.start();
#ifdef LW_VERSION
    QCoreApplication::setApplicationVersion(QStringLiteral(LW_VERSION));
#endif
    UseJapaneseFonts();
    // Qt's own buttons and dialogs (はい, いいえ, キャンセル, 開く) in the desktop's language.
    const QLocale locale = QLocale::system();
    QString translationError;
    if (locale.language() != QLocale::English && locale.language() != QLocale::C &&
        !ui::InstallQtTranslations(locale, translationError))
        std::fprintf(stderr, "larchwatcher: %s; Qt's standard buttons and dialogs stay in English\n",
                     qUtf8Printable(translationError));

    // One window per user, and one running program per program folder whatever its mode: a
    // service on this folder counts as the running copy too.
    SingleInstance instance;
    SingleInstance folderLock(SingleInstance::ProgramFolderLockPath(options.home));
    if (instance.Acquire() == SingleInstance::Outcome::InUse ||
        folderLock.Acquire() == SingleInstance::Outcome::InUse) {
        ShowAlreadyRunning();
        return 1;
    }

    ui::MainWindowActions actions = ui::DefaultMainWindowActions();
    const bool hasTray = actions.hasTray;
    // With a tray, the program lives until its Quit, not until the window is closed.
    if (hasTray) QApplication::setQuitOnLastWindowClosed(false);
    ui::MainWindow window(options.home, options.printTo, std::move(actions));
    if (!options.hidden || !hasTray) window.show();
    if (qEnvironmentVariableIsSet("LARCHWATCHER_TRACE_START")) {
        QCoreApplication::processEvents();
        std::fprintf(stderr, "larchwatcher: window shown after %lld ms\n", static_cast<long long>(started.elapsed()));
        std::fflush(stderr);
    }
    window.Load();

    // The master password is rewritten at every start; the user password only fills a gap.
    ui::SeedLockPasswords(&window);

    return QApplication::exec();
}

} // namespace lw::app
