// The message boxes of the rule editor and the saved-mail viewer, and the print preview and
// print dialog, as they appear on a real X screen: each is opened as the operator opens it (the
// editor and the viewer modal over a main window, the box modal over them), and while it is
// open the whole screen is grabbed from the X server and the box's area cut out of it. Prints
// one line per window, "NAME COLOURS-OF-ITS-TEXT COLOURS-OF-THE-WINDOW", and saves each cut as
// NAME.png into OUTPUT_FOLDER.
//
//     ui_screen_boxes PROGRAM_FOLDER OUTPUT_FOLDER
#include "config/SettingsRecord.h"
#include "ui/MailClient.h"
#include "ui/QtTranslations.h"
#include "ui/SavedMailViewer.h"
#include "ui/SenderRuleEditor.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFont>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

QString g_output;
int g_failures = 0;

// Distinct colours of the screen inside rect (global coordinates).
int Colours(const QImage& screen, const QRect& rect)
{
    QSet<QRgb> colours;
    const QRect inside = rect.intersected(screen.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x) colours.insert(screen.pixel(x, y));
    return static_cast<int>(colours.size());
}

// The modal window now open once it has been on screen for a moment, or nullptr.
QWidget* OpenModal(const QWidget* after)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 10000) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal != after && modal->isVisible() && QTest::qWaitForWindowExposed(modal, 100)) {
            QTest::qWait(400); // the window manager frames and the box paints
            return modal;
        }
        QTest::qWait(20);
    }
    return nullptr;
}

// Grabs the X screen while the modal window that action opens is up, reports it, then closes it
// with close (which must end its modal loop).
void Check(const char* name, const QWidget* over, const std::function<void()>& action,
           const std::function<void(QWidget*)>& close)
{
    QTimer::singleShot(0, [=] {
        QWidget* modal = OpenModal(over);
        if (modal == nullptr) {
            std::printf("%s missing\n", name);
            ++g_failures;
            return;
        }
        const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
        const QRect window(modal->mapToGlobal(QPoint(0, 0)), modal->size());
        QRect text = window;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            if (label != nullptr) text = QRect(label->mapToGlobal(QPoint(0, 0)), label->size());
        }
        const int textColours = Colours(screen, text);
        const int windowColours = Colours(screen, window);
        std::printf("%s %d %d\n", name, textColours, windowColours);
        std::fflush(stdout);
        if (textColours < 3) ++g_failures;
        screen.copy(modal->frameGeometry().intersected(screen.rect())).save(g_output + u'/' + QString::fromLatin1(name) + ".png");
        close(modal);
    });
    action();
}

void AnswerNo(QWidget* modal)
{
    if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && box->button(QMessageBox::No) != nullptr)
        box->button(QMessageBox::No)->click();
    else if (auto* dialog = qobject_cast<QDialog*>(modal))
        dialog->reject();
}

// The reply goes nowhere: the viewer tells why, in its message box.
struct NoMailClient final : lw::ui::MailClient {
    bool Compose(const QUrl&, QString& error) override
    {
        error = QStringLiteral("メールソフトが登録されていないため、返信できません。\r\n既定のメールソフトを設定してください。");
        return false;
    }
    void Open(const QString&, lw::ui::OpenedFile, QWidget*) override {}
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 3 || QGuiApplication::platformName() != QStringLiteral("xcb")) {
        std::fprintf(stderr, "usage: ui_screen_boxes PROGRAM_FOLDER OUTPUT_FOLDER, on an X display\n");
        return 2;
    }
    // As the program shows them: Qt's own buttons and dialogs in the desktop's language.
    QString ignored;
    (void)lw::ui::InstallQtTranslations(QLocale::system(), ignored);
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("Noto Sans CJK JP"), font.family()});
    QApplication::setFont(font);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    g_output = QString::fromLocal8Bit(argv[2]);

    QMainWindow main;
    main.setWindowTitle(QStringLiteral("LarchWatcherのプロパティ"));
    main.resize(760, 560);
    main.show();
    if (!QTest::qWaitForWindowExposed(&main)) return 2;

    QTimer::singleShot(0, [&] {
        // A box of the main window, for comparison.
        Check("main-box", &main, [&] { QMessageBox::information(&main, QStringLiteral("LarchWatcher"), QStringLiteral("ﾃﾞｰﾀﾍﾞｰｽが作成できませんでした。")); },
              [](QWidget* m) { static_cast<QDialog*>(m)->accept(); });

        lw::ui::SenderRuleEditor editor(folder, QStringLiteral("list"), &main);
        QTimer::singleShot(0, [&] {
            if (OpenModal(&main) != &editor) ++g_failures;
            editor.findChild<QLineEdit*>(QStringLiteral("txtAcc"))->setText(QStringLiteral("taro@example.jp"));
            Check("editor-register", &editor, [&] { editor.findChild<QPushButton*>(QStringLiteral("cmdSav"))->click(); }, AnswerNo);
            Check("editor-delete", &editor, [&] { editor.findChild<QPushButton*>(QStringLiteral("cmdDel"))->click(); }, AnswerNo);
            editor.accept();
        });
        editor.exec();

        lw::config::SettingsRecord settings;
        settings.programFolder = folder + u'/';
        NoMailClient client;
        lw::ui::SavedMailViewer viewer([&] { return settings; }, client, &main);
        QTimer::singleShot(0, [&] {
            if (OpenModal(&main) != &viewer) ++g_failures;
            auto* grid = viewer.findChild<QTableView*>(QStringLiteral("DBGrid1"));
            QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(grid->model()->index(0, 0)).center());
            Check("viewer-reply", &viewer, [&] { viewer.findChild<QPushButton*>(QStringLiteral("cmdMail"))->click(); },
                  [](QWidget* m) { static_cast<QDialog*>(m)->accept(); });
            Check("viewer-print-preview", &viewer, [&] { viewer.findChild<QPushButton*>(QStringLiteral("cmdRead"))->click(); },
                  [&](QWidget* preview) {
                      auto* dialog = qobject_cast<QPrintPreviewDialog*>(preview);
                      if (dialog == nullptr) {
                          AnswerNo(preview);
                          return;
                      }
                      QPrintDialog print(dialog->printer(), dialog);
                      Check("viewer-print-dialog", dialog, [&] { print.exec(); }, AnswerNo);
                      dialog->reject();
                  });
            Check("viewer-delete", &viewer, [&] { viewer.findChild<QPushButton*>(QStringLiteral("cmdDel"))->click(); }, AnswerNo);
            viewer.accept();
        });
        viewer.exec();
        QCoreApplication::exit(g_failures == 0 ? 0 : 1);
    });
    return app.exec();
}
