// The main window as the program runs it (shown, loaded, the application's event loop), driven
// through one close during a tick: once the first tick is in flight it presses 設定の保存 and,
// while that save waits for the tick, closes the window. Prints "closed" (with "hidden" when the
// window has gone at once, "with the save waiting" unless the close dropped the save) and, once
// everything has ended, "ended cpu-ms N": the CPU time used from the close to the end.
//
//     e2e_close_during_tick PROGRAM_FOLDER
#include "ui/MainWindow.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <ctime>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2) return 2;
    const QString home = QString::fromLocal8Bit(argv[1]);
    std::clock_t cpuAtClose = 0;
    {
        lw::ui::MainWindow window(home, home + QStringLiteral("/pdf"), lw::ui::DefaultMainWindowActions());
        window.show();
        window.Load();
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &window, [&] {
            if (!window.Service().IsBusy()) return;
            watch.stop();
            QTimer::singleShot(300, &window, [&] {
                cpuAtClose = std::clock();
                window.close();
                std::printf("closed%s%s\n", window.isVisible() ? "" : " hidden",
                            window.Service().IsPauseWaiting() ? " with the save waiting" : "");
                std::fflush(stdout);
            });
            window.findChild<QPushButton*>(QStringLiteral("cmdSet"))->click();
        });
        watch.start(10);
        if (QApplication::exec() != 0) return 3;
    }
    std::printf("ended cpu-ms %lld\n",
                static_cast<long long>(std::clock() - cpuAtClose) * 1000 / CLOCKS_PER_SEC);
    return 0;
}
