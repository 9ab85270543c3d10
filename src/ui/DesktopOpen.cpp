#include "ui/DesktopOpen.h"

#include "ui/MessageBox.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>
#include <QWidget>

#include <memory>

namespace lw::ui {

namespace {

const QString kCrLf = QStringLiteral("\r\n");

// xdg-open's status when it found no program for the file.
constexpr int kNoMethodAvailable = 3;
// A handler that gives up within this time failed to open the file; one that ends later ran and
// was closed by the operator, whatever its status.
constexpr qint64 kQuickFailureMs = 10000;

void Tell(const QPointer<QWidget>& parent, OpenedFile kind, bool registered, const QString& path)
{
    MessageBox::Information(parent.data(), OpenFailureText(kind, registered, path));
}

} // namespace

QString OpenFailureText(OpenedFile kind, bool registered, const QString& path)
{
    QString what;
    QString advice;
    switch (kind) {
    case OpenedFile::Attachment:
        what = registered ? QStringLiteral("添付ファイルを開くプログラムを起動できませんでした。")
                          : QStringLiteral("添付ファイルを開くプログラムが登録されていません。");
        advice = QStringLiteral("ファイルの種類に合うプログラムを既定のアプリケーションに設定するか、次のファイルを直接開いてください。");
        break;
    case OpenedFile::Log:
        what = registered ? QStringLiteral("ログファイルを開くテキストエディタを起動できませんでした。")
                          : QStringLiteral("ログファイルを開くテキストエディタが登録されていません。");
        advice = QStringLiteral("既定のテキストエディタを設定するか、次のファイルをテキストエディタで開いてください。");
        break;
    case OpenedFile::SavedMail:
        what = registered ? QStringLiteral("保存メールを開くメールソフトを起動できませんでした。")
                          : QStringLiteral("保存メールを開くメールソフトが登録されていません。");
        advice = QStringLiteral("既定のメールソフトを設定するか、次のファイルをメールソフトで開いてください。");
        break;
    }
    return what + kCrLf + advice + kCrLf + QDir::toNativeSeparators(path);
}

void OpenWithDesktop(const QString& path, OpenedFile kind, QWidget* parent)
{
    const QPointer<QWidget> owner(parent);
    if (!QFileInfo(path).isFile()) {
        MessageBox::Information(parent, QStringLiteral("ファイルが存在しません。") + kCrLf + QDir::toNativeSeparators(path));
        return;
    }
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // The desktop's opener says by its status whether any program took the file; the Qt opener
    // starts it detached and reports success whatever happens next. A .txt log is text/plain,
    // so the opener hands it to the desktop's text editor.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (!opener.isEmpty()) {
        auto* process = new QProcess(QCoreApplication::instance());
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
        auto started = std::make_shared<QElapsedTimer>();
        QObject::connect(process, &QProcess::finished, process,
                         [process, started, owner, kind, path](int code, QProcess::ExitStatus status) {
                             process->deleteLater();
                             if (status == QProcess::NormalExit && code == 0) return;
                             if (status == QProcess::NormalExit && code == kNoMethodAvailable)
                                 Tell(owner, kind, false, path);
                             else if (started->elapsed() < kQuickFailureMs)
                                 Tell(owner, kind, true, path);
                         });
        QObject::connect(process, &QProcess::errorOccurred, process, [process, owner, kind, path](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart) return;
            process->deleteLater();
            Tell(owner, kind, false, path);
        });
        started->start();
        process->start(opener, {path});
        return;
    }
#endif
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path))) Tell(owner, kind, false, path);
}

} // namespace lw::ui
