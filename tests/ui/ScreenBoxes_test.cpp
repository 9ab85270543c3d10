// The boxes of the rule editor and the viewer, and the print dialogs, painted on a real X screen:
// a virtual X server (Xvfb, with a window manager when one is installed) runs the windows of
// ui_screen_boxes, which grabs the screen from the server while each box is open. A box whose
// text area on screen is one colour has not been painted there.
#include "store/FindOrAdd.h"
#include "ui/UiTest.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <memory>

namespace {

// An X server of its own on the first free display, and a window manager on it when there is one.
class VirtualScreen {
public:
    bool Start(QString& reason)
    {
        const QString xvfb = QStandardPaths::findExecutable("Xvfb");
        if (xvfb.isEmpty()) return reason = "Xvfb is not installed (tools/install-deps installs it)", false;
        for (int n = 70; n < 100 && m_display.isEmpty(); ++n) {
            if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(n))) continue;
            auto server = std::make_unique<QProcess>();
            server->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            server->start(xvfb, {QStringLiteral(":%1").arg(n), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
            for (int i = 0; i < 100 && server->state() != QProcess::NotRunning; ++i) {
                if (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n))) {
                    m_display = QStringLiteral(":%1").arg(n);
                    m_server = std::move(server);
                    break;
                }
                server->waitForFinished(50);
            }
        }
        if (m_display.isEmpty()) return reason = "Xvfb did not start on any display from :70 to :99", false;
        if (const QString wm = QStandardPaths::findExecutable("openbox"); !wm.isEmpty()) {
            m_manager = std::make_unique<QProcess>();
            m_manager->setProcessEnvironment(Environment());
            m_manager->setStandardErrorFile(QProcess::nullDevice());
            m_manager->start(wm, {"--sm-disable"});
            m_manager->waitForFinished(700); // running: it has taken the screen
        }
        return true;
    }
    QProcessEnvironment Environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DISPLAY", m_display);
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.insert("LANG", "ja_JP.UTF-8");
        return environment;
    }
    bool HasWindowManager() const { return m_manager && m_manager->state() == QProcess::Running; }
    ~VirtualScreen()
    {
        for (QProcess* process : {m_manager.get(), m_server.get()}) {
            if (process == nullptr || process->state() == QProcess::NotRunning) continue;
            process->terminate();
            if (!process->waitForFinished(5000)) process->kill(), process->waitForFinished(1000);
        }
    }

private:
    QString m_display;
    std::unique_ptr<QProcess> m_server;  // ended first on the way out: its clients go with it
    std::unique_ptr<QProcess> m_manager;
};

class ScreenBoxes : public lw::test::ListTest {};

TEST_F(ScreenBoxes, EveryBoxOfTheEditorAndTheViewerIsPaintedOnTheXScreen)
{
    VirtualScreen screen;
    QString reason;
    if (!screen.Start(reason)) GTEST_SKIP() << reason.toStdString();

    // One saved message for the viewer's boxes.
    const QString saved = m_home.File("mail/a.eml");
    ASSERT_TRUE(QDir().mkpath(m_home.File("mail/work")));
    lw::test::WriteFile(saved, "From: taro@example.jp\r\nTo: office@example.jp\r\nSubject: test\r\n\r\nhello\r\n");
    Sql("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 件名, 送信アドレス, 受信日, メール保存, メール保存先パス) "
        "VALUES ('a.eml', ?, 'test', 'taro@example.jp', ?, 1, ?)",
        {saved, lw::store::ToStoredDateTime(QDateTime::currentDateTime()), saved});

    QTemporaryDir shots;
    const QString output = qEnvironmentVariableIsEmpty("LW_SCREEN_BOXES_DIR") ? shots.path() : qEnvironmentVariable("LW_SCREEN_BOXES_DIR");
    QTemporaryDir runtime;
    QProcessEnvironment environment = screen.Environment();
    environment.insert("XDG_RUNTIME_DIR", runtime.path());
    QProcess driver;
    driver.setProcessEnvironment(environment);
    driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    driver.start(LW_SCREEN_BOXES_DRIVER, {m_home.Path(), output});
    ASSERT_TRUE(driver.waitForFinished(120000)) << "the windows did not close";
    const QString out = QString::fromUtf8(driver.readAllStandardOutput());

    QStringList seen;
    for (const QString& line : out.split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(u' ');
        ASSERT_EQ(fields.size(), 3) << line.toStdString();
        seen << fields[0];
        EXPECT_GE(fields[1].toInt(), 3) << fields[0].toStdString() << ": its text area is one colour on the screen";
    }
    EXPECT_EQ(seen, (QStringList{"main-box", "editor-register", "editor-delete", "viewer-reply", "viewer-print-preview",
                                 "viewer-print-dialog", "viewer-delete"}))
        << out.toStdString();
    EXPECT_EQ(driver.exitCode(), 0) << out.toStdString();
    std::printf("window manager: %s\n", screen.HasWindowManager() ? "yes" : "none installed");
}

} // namespace
