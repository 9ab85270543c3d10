#include "ui/AddressBookImportUi.h"

#include "store/AddressBookImport.h"
#include "ui/MessageBox.h"

#include <QFileDialog>
#include <QProgressDialog>

namespace lw::ui {

AddressBookImportResult ImportAddressBookInteractive(QWidget* parent, const QString& programFolder,
                                                     const QString& listName)
{
    const QString path = QFileDialog::getOpenFileName(parent, QStringLiteral("アドレス帳のインポート"),
                                                      programFolder, QStringLiteral("ｱﾄﾞﾚｽ帳ﾌｧｲﾙ (*.csv)"));
    if (path.isEmpty()) return AddressBookImportResult::Cancelled;
    return ImportAddressBookFile(parent, path, programFolder, listName);
}

AddressBookImportResult ImportAddressBookFile(QWidget* parent, const QString& filePath,
                                              const QString& programFolder, const QString& listName)
{
    QProgressDialog progress(QStringLiteral("アドレス帳をインポートしています..."), QStringLiteral("キャンセル"), 0,
                             100, parent);
    progress.setWindowTitle(QStringLiteral("LarchWatcher"));
    progress.setWindowModality(Qt::WindowModal);
    // Short files finish before the dialog would appear.
    progress.setMinimumDuration(500);
    progress.setAutoClose(false);
    progress.setAutoReset(false);

    store::ImportReport report;
    const base::Status imported =
        store::ImportAddressBook(filePath, programFolder, listName, report, [&progress](qint64 done, qint64 total) {
            progress.setMaximum(static_cast<int>(std::max<qint64>(total, 1)));
            progress.setValue(static_cast<int>(std::min(done, total)));
            return !progress.wasCanceled();
        });
    progress.close();
    if (imported) {
        MessageBox::Information(parent, QStringLiteral("アドレス帳のインポートが完了しました。"));
        return AddressBookImportResult::Completed;
    }
    const QString head = report.cancelled ? QString() : QStringLiteral("アドレス帳のインポートに失敗しました。\n");
    MessageBox::Information(parent, head + imported.ErrorText() + QStringLiteral("\nアドレス帳は変更されていません。"));
    return AddressBookImportResult::Failed;
}

} // namespace lw::ui
