// Qt's own texts follow a Japanese locale once its translations are installed; so shown, the boxes
// of the rule editor and the viewer, and the print preview, are painted on a virtual X server (Xvfb,
// with a window manager when installed). The disabled case below, run by the test in a process of
// its own, opens each as the operator does (the editor and the viewer modal over a main window, the
// box modal over them) and grabs the screen while it is open. A box whose text area on screen is one
// colour has not been painted there. LW_SCREEN_BOXES_DIR keeps the cuts as NAME.png.
#include "store/FindOrAdd.h"
#include "ui/MailClient.h"
#include "ui/QtTranslations.h"
#include "ui/SavedMailViewer.h"
#include "ui/SenderRuleEditor.h"
#include "ui/UiTest.h"

#include <QMainWindow>
#include <QScreen>
#include <QSet>

namespace {

QString QuestionButtons()
{
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    return box.button(QMessageBox::Yes)->text() + u'|' + box.button(QMessageBox::No)->text() + u'|' +
           box.button(QMessageBox::Cancel)->text();
}

// The file dialog's texts come from the same catalogue as the buttons.
TEST(QtTranslationsTest, JapaneseLocaleTranslatesStandardButtons)
{
    QString error;
    EXPECT_FALSE(lw::ui::InstallQtTranslations(QLocale::c(), error));
    EXPECT_TRUE(error.contains("qtbase")) << error;
    EXPECT_EQ(QuestionButtons(), "&Yes|&No|Cancel") << "English before any translation";

    ASSERT_TRUE(lw::ui::InstallQtTranslations(QLocale(QLocale::Japanese, QLocale::Japan), error))
        << error << " (tools/install-deps installs qt6-translations-l10n)";
    const QString buttons = QuestionButtons();
    EXPECT_TRUE(QRegularExpression("^はい.*\\|いいえ.*\\|キャンセル").match(buttons).hasMatch()) << buttons;
}

using ScreenBoxes = lw::test::ListTest;

TEST_F(ScreenBoxes, EveryBoxOfTheEditorAndTheViewerIsPaintedOnTheXScreen)
{
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty()) GTEST_SKIP() << "Xvfb is not installed (tools/install-deps installs it)";
    QProcess server, manager;
    // Asked to end first (Xvfb then removes its lock); QProcess kills what is still running.
    const auto end = qScopeGuard([&] {
        for (QProcess* process : {&manager, &server}) {
            process->terminate();
            process->waitForFinished(5000);
        }
    });
    // The server picks the display and writes its number to fd 1 once it takes clients.
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(xvfb, {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
    if (!server.waitForReadyRead(10000)) GTEST_SKIP() << "Xvfb did not start";
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", u':' + QString::fromLatin1(server.readLine().trimmed()));
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.insert("LANG", "ja_JP.UTF-8");
    if (const QString wm = QStandardPaths::findExecutable("openbox"); !wm.isEmpty()) {
        manager.setProcessEnvironment(environment);
        manager.setStandardErrorFile(QProcess::nullDevice());
        manager.start(wm, {"--sm-disable"});
        manager.waitForFinished(700); // running: it has taken the screen
    }

    const QString saved = lw::test::WriteFile(m_home.File("mail"), "a.eml",
                                              "From: taro@example.jp\r\nSubject: test\r\n\r\nhello\r\n");
    ASSERT_TRUE(QDir().mkpath(m_home.File("mail/work")));
    Sql("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 件名, 送信アドレス, 受信日, メール保存, "
        "メール保存先パス) VALUES ('a.eml', ?, 'test', 'taro@example.jp', ?, 1, ?)",
        {saved, lw::store::ToStoredDateTime(QDateTime::currentDateTime()), saved});

    QTemporaryDir shots, runtime;
    environment.insert("XDG_RUNTIME_DIR", runtime.path());
    environment.insert("LW_SCREEN_BOXES_HOME", m_home.Path());
    if (!environment.contains("LW_SCREEN_BOXES_DIR")) environment.insert("LW_SCREEN_BOXES_DIR", shots.path());
    QProcess windows;
    windows.setProcessEnvironment(environment);
    windows.setProcessChannelMode(QProcess::ForwardedChannels);
    windows.start(QCoreApplication::applicationFilePath(),
                  {"--gtest_also_run_disabled_tests", "--gtest_filter=ScreenBoxesOnX.*"});
    ASSERT_TRUE(windows.waitForFinished(120000)) << "the windows did not close";
    EXPECT_EQ(windows.exitCode(), 0) << "a box failed on the X screen: see the output above";
}

// Distinct colours of the screen inside the widget's area.
int Colours(const QImage& screen, const QWidget& widget)
{
    QSet<QRgb> colours;
    const QRect inside = QRect(widget.mapToGlobal(QPoint(0, 0)), widget.size()).intersected(screen.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            colours.insert(screen.pixel(x, y));
    return static_cast<int>(colours.size());
}

// The modal window now open over `over` once it has been on screen for a moment, or nullptr.
QWidget* OpenModal(const QWidget* over)
{
    QWidget* modal = nullptr;
    const auto open = [&] {
        modal = QApplication::activeModalWidget();
        return modal != nullptr && modal != over && modal->isVisible() &&
               QTest::qWaitForWindowExposed(modal, 100);
    };
    if (!QTest::qWaitFor(open, 10000)) return nullptr;
    QTest::qWait(400); // the window manager frames and the box paints
    return modal;
}

QStringList g_seen;

// Grabs the X screen while the modal window the button opens is up, checks its text area (a
// message box's label, else the whole window) and keeps the cut, then answers No where the box
// asks, else closes it (which must end its modal loop).
void Check(const char* name, QWidget& over, const char* button)
{
    QTimer::singleShot(0, [=, &over] {
        QWidget* modal = OpenModal(&over);
        ASSERT_NE(modal, nullptr) << name << " did not open";
        g_seen << name;
        const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
        const QWidget* label = modal->findChild<QLabel*>("qt_msgbox_label");
        EXPECT_GE(Colours(screen, label != nullptr ? *label : *modal), 3)
            << name << ": its text area is one colour on the screen";
        screen.copy(modal->frameGeometry().intersected(screen.rect()))
            .save(qEnvironmentVariable("LW_SCREEN_BOXES_DIR") + u'/' + name + ".png");
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box != nullptr && box->button(QMessageBox::No) != nullptr)
            box->button(QMessageBox::No)->click();
        else if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
    });
    lw::test::Click(over, button);
}

// The reply goes nowhere: the viewer tells why, in its message box.
struct NoMailClient final : lw::ui::MailClient {
    bool Compose(const QUrl&, QString& error) override
    {
        error = "メールソフトが登録されていないため、返信できません。";
        return false;
    }
    void Open(const QString&, lw::ui::OpenedFile, QWidget*) override {}
};

TEST(ScreenBoxesOnX, DISABLED_Windows)
{
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    const QString folder = qEnvironmentVariable("LW_SCREEN_BOXES_HOME");
    // As the program shows them: Qt's own buttons and dialogs in the desktop's language.
    QString ignored;
    (void)lw::ui::InstallQtTranslations(QLocale::system(), ignored);
    QFont font = QApplication::font();
    font.setFamilies({"Noto Sans CJK JP", font.family()});
    QApplication::setFont(font);

    QMainWindow main;
    main.setWindowTitle("LarchWatcherのプロパティ");
    main.resize(760, 560);
    main.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));

    lw::ui::SenderRuleEditor editor(folder, "list", &main);
    QTimer::singleShot(0, [&] {
        EXPECT_EQ(OpenModal(&main), &editor);
        lw::test::Find<QLineEdit>(editor, "txtAcc")->setText("taro@example.jp");
        Check("editor-register", editor, "cmdSav");
        editor.accept();
    });
    editor.exec();

    lw::config::SettingsRecord settings;
    settings.programFolder = folder + u'/';
    NoMailClient client;
    lw::ui::SavedMailViewer viewer([&] { return settings; }, client, &main);
    QTimer::singleShot(0, [&] {
        EXPECT_EQ(OpenModal(&main), &viewer);
        auto* grid = lw::test::Find<QTableView>(viewer, "DBGrid1");
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                          grid->visualRect(grid->model()->index(0, 0)).center());
        Check("viewer-reply", viewer, "cmdMail");
        Check("viewer-print-preview", viewer, "cmdRead");
        Check("viewer-delete", viewer, "cmdDel");
        viewer.accept();
    });
    viewer.exec();
    EXPECT_EQ(g_seen, (QStringList{"editor-register", "viewer-reply", "viewer-print-preview", "viewer-delete"}));
}

} // namespace
