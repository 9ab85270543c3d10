#include "ui/SavedMailViewer.h"

#include "config/Settings.h"
#include "mail/ActivityLog.h"
#include "base/PosixFile.h"
#include "mail/Transport.h"
#include "store/FindOrAdd.h"
#include "store/Folders.h"
#include "store/History.h"
#include "store/ListDatabase.h"
#include "ui/DialogParts.h"
#include "ui/MailClient.h"
#include "ui/MessageBox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QSqlRecord>
#include <QTableView>
#include <QVBoxLayout>

namespace lw::ui {

namespace {

// Grid columns: the four shown, then the keys the buttons need.
enum GridColumn { kSenderName, kSenderAddress, kSubject, kReceived, kFileId, kWorkPath, kSavedPath };

const QString kSavedMailQuery = QStringLiteral(
    "SELECT 送信アドレス名, 送信アドレス, 件名, 受信日, 保存ファイルID, 保存ファイルパス, メール保存先パス "
    "FROM tblHistory WHERE メール保存 = 1 ORDER BY 受信日 DESC, rowid DESC");

const QString kDeleteError = QStringLiteral("保存メール削除エラー：");
const QString kCrLf = QStringLiteral("\r\n");

// The saved-mail rows; fetched in slices as the grid scrolls, so a long history opens at once.
class SavedMailModel final : public QSqlQueryModel {
public:
    using QSqlQueryModel::QSqlQueryModel;

    QVariant data(const QModelIndex& index, int role) const override
    {
        const QVariant value = QSqlQueryModel::data(index, role);
        if (role != Qt::DisplayRole) return value;
        const QString text = store::ReadText(value);
        if (index.column() != kReceived) return text;
        const QDateTime received = store::FromStoredDateTime(text);
        return received.isValid() ? received.toString(QStringLiteral("yyyy/MM/dd hh:mm:ss")) : text;
    }
};

// Where the viewer has the reader write a message's attachments: a folder of its own per
// message, emptied before every read, so repeated previews do not pile up numbered copies.
// An ID that is not a plain file name falls back to the save folder itself.
QString AttachmentFolder(const QString& saveFolder, const QString& id)
{
    const QString key = base::TrimBlanks(id);
    if (key.isEmpty() || key == QStringLiteral(".") || key == QStringLiteral("..") || store::BaseName(key) != key)
        return saveFolder;
    return store::JoinPath(store::JoinPath(saveFolder, QStringLiteral("files")), key);
}

QString FreshAttachmentFolder(const QString& saveFolder, const QString& id)
{
    const QString folder = AttachmentFolder(saveFolder, id);
    if (folder != saveFolder) {
        QDir(folder).removeRecursively();
        (void)base::MakeOwnerOnlyFolders(QFile::encodeName(folder).toStdString());
    }
    return folder;
}

} // namespace

SavedMailViewer::SavedMailViewer(SettingsSource settings, MailClient& client, QWidget* parent)
    : QDialog(parent), m_settings(std::move(settings)), m_client(client),
      m_preview([](const NoticeReport& report, QWidget* owner) { report.Preview(owner); })
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("保存メール"));
    setModal(true);
    resize(920, 660);

    m_model = new SavedMailModel(this);
    m_grid = RowPickerGrid(QStringLiteral("DBGrid1"), m_model, this);
    m_grid->setAlternatingRowColors(true);
    m_grid->setWordWrap(false);
    m_grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_grid->verticalHeader()->hide();
    m_grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_grid->horizontalHeader()->setStretchLastSection(false);

    m_title = new QPlainTextEdit(this);
    m_title->setObjectName(QStringLiteral("txtTitle"));
    m_title->setReadOnly(true);
    m_title->setFixedHeight(m_title->fontMetrics().lineSpacing() * 2 + 14);
    m_title->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_body = new QPlainTextEdit(this);
    m_body->setObjectName(QStringLiteral("txtBody"));
    m_body->setReadOnly(true);
    m_files = new QLineEdit(this);
    m_files->setObjectName(QStringLiteral("txtFile"));
    m_files->setReadOnly(true);
    m_files->setToolTip(QStringLiteral("ダブルクリックで添付ファイルを開きます"));
    m_files->installEventFilter(this);

    m_print = DialogButton(QStringLiteral("cmdRead"), QStringLiteral("印刷"), this);
    m_delete = DialogButton(QStringLiteral("cmdDel"), QStringLiteral("削除"), this);
    m_reply = DialogButton(QStringLiteral("cmdMail"), QStringLiteral("返信"), this);
    m_close = DialogButton(QStringLiteral("Command2"), QStringLiteral("終了"), this);
    for (QPushButton* button : {m_print, m_delete, m_reply, m_close})
        button->setMinimumWidth(96);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_print);
    buttons->addWidget(m_delete);
    buttons->addWidget(m_reply);
    buttons->addSpacing(24);
    buttons->addWidget(m_close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_grid, 5);
    layout->addWidget(m_title);
    layout->addWidget(m_body, 4);
    layout->addWidget(m_files);
    layout->addLayout(buttons);

    connect(m_print, &QPushButton::clicked, this, &SavedMailViewer::PrintSavedMail);
    connect(m_delete, &QPushButton::clicked, this, &SavedMailViewer::DeleteSavedMail);
    connect(m_reply, &QPushButton::clicked, this, &SavedMailViewer::ComposeReply);
    connect(m_close, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_grid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (!m_reloading && current.isValid()) OnRowSelected(current.row());
            });
    // A click on the row whose preview is not shown still selects it.
    connect(m_grid, &QTableView::clicked, this, [this](const QModelIndex& index) {
        if (index.isValid() && index.row() != m_previewRow) OnRowSelected(index.row());
    });

    LoadSavedMailList();
}

SavedMailViewer::~SavedMailViewer()
{
    ReleaseList();
}

void SavedMailViewer::ReleaseList()
{
    // The model's query must go before the connection, or Qt disables it under the model; and
    // only once: clearing again would make a new query on the driver that is gone by then.
    if (m_listOpen) m_model->clear();
    m_listOpen = false;
    store::CloseListDatabase();
}

QString SavedMailViewer::SaveFolder(const config::SettingsRecord& settings) const
{
    return store::SaveFolder(settings);
}

void SavedMailViewer::LoadSavedMailList()
{
    const config::SettingsRecord settings = m_settings();
    m_reloading = true;
    if (m_listOpen) m_model->clear();
    m_listOpen = false;
    QString error;
    if (store::OpenListDatabase(store::BareFolder(settings.programFolder),
                                base::TrimBlanks(settings.listDatabaseName) + QStringLiteral(".db"), error)) {
        QSqlQuery query(store::ListConnection());
        if (query.exec(kSavedMailQuery)) {
            m_model->setQuery(std::move(query));
            m_listOpen = true;
        } else {
            error = query.lastError().text();
        }
    }
    if (!error.isEmpty()) MessageBox::Information(this, QStringLiteral("保存メールを読み込めません。") + kCrLf + error);

    const QStringList headings{QStringLiteral("送信者"), QStringLiteral("送信者アドレス"), QStringLiteral("件名"),
                               QStringLiteral("受信日時")};
    for (int column = 0; column < headings.size(); ++column)
        m_model->setHeaderData(column, Qt::Horizontal, headings.at(column));
    for (int column = kFileId; column <= kSavedPath; ++column) m_grid->setColumnHidden(column, true);
    m_grid->setColumnWidth(kSenderName, 160);
    m_grid->setColumnWidth(kSenderAddress, 220);
    m_grid->setColumnWidth(kSubject, 320);
    m_grid->horizontalHeader()->setSectionResizeMode(kSubject, QHeaderView::Stretch);
    m_grid->setColumnWidth(kReceived, 160);

    // Every reload leaves the viewer as it opens: no current row and the actions off until the
    // operator picks a row, so no button ever acts on a row the operator did not choose.
    m_grid->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::Clear);
    m_reloading = false;
    m_previewRow = -1;
    m_print->setEnabled(false);
    m_delete->setEnabled(false);
    m_reply->setEnabled(false);

    m_title->clear();
    m_body->clear();
    m_files->clear();
    m_attachmentPaths.clear();
    m_attachmentSpans.clear();
}

int SavedMailViewer::CurrentRow() const
{
    const QModelIndex current = m_grid->currentIndex();
    return current.isValid() && current.row() < m_model->rowCount() ? current.row() : -1;
}

QString SavedMailViewer::Column(int row, int column) const
{
    if (row < 0 || row >= m_model->rowCount()) return {};
    return store::ReadText(m_model->record(row).value(column));
}

void SavedMailViewer::OnRowSelected(int row)
{
    m_print->setEnabled(true);
    m_delete->setEnabled(true);
    m_reply->setEnabled(true);
    ShowSavedMailPreview(row);
}

mail::ReceivedMail SavedMailViewer::ReadSavedMail(int row)
{
    mail::ReceivedMail mail;
    const config::SettingsRecord settings = m_settings();
    const QString saveFolder = SaveFolder(settings);
    QString ignored;
    (void)store::EnsureFolder(saveFolder, ignored);  // attachments are written there; a failure shows as none

    const QString file = Column(row, kSavedPath);
    if (file.isEmpty()) return mail;
    const QString folder = FreshAttachmentFolder(saveFolder, Column(row, kFileId));
    const std::optional<mail::MessageParts> parts =
        mail::ReadMail(file.toStdString(), "subject:from:to:date:nofile:", folder.toStdString());
    if (!parts) return mail;

    mail.file = file;
    mail::ExtractParts(*parts, mail, &m_mailText);
    return mail;
}

void SavedMailViewer::ShowSavedMailPreview(int row)
{
    const mail::ReceivedMail mail = ReadSavedMail(row);
    m_previewRow = row;
    m_title->setPlainText(QStringLiteral("送信者：") + (mail.fromName.isEmpty() ? mail.fromAddress : mail.fromName) +
                          QStringLiteral(" ") + QStringLiteral("宛先：") +
                          (mail.toName.isEmpty() ? mail.toAddress : mail.toName) + kCrLf +
                          QStringLiteral("件名：") + mail.subject);
    m_body->setPlainText(mail.body);

    m_attachmentPaths.clear();
    m_attachmentSpans.clear();
    m_attachmentFolder = mail.attachmentFolder;
    QString line;
    for (int slot = 0; slot < mail.attachmentCount && slot < mail::kMaxAttachments; ++slot) {
        const QString& path = mail.attachments.at(slot);
        if (path.isEmpty()) continue;
        line += line.isEmpty() ? QStringLiteral("添付：") : QStringLiteral(", ");
        const QString name = mail::BaseName(path);
        m_attachmentSpans.append({static_cast<int>(line.size()), static_cast<int>(line.size() + name.size())});
        line += name;
        m_attachmentPaths.append(path);
    }
    m_files->setText(line);
    m_files->setCursorPosition(0);

    // A copy that cannot be read has no sender to answer.
    m_reply->setEnabled(!mail.fromAddress.isEmpty());
}

void SavedMailViewer::PrintSavedMail()
{
    const int row = CurrentRow();
    QString file = Column(row, kWorkPath);
    const config::SettingsRecord settings = m_settings();
    const QString saveFolder = SaveFolder(settings);
    QString ignored;
    (void)store::EnsureFolder(saveFolder, ignored);
    if (file.isEmpty()) return;
    // The purge takes the received file after the days the settings keep work files; the saved copy is the
    // same message.
    if (!QFileInfo::exists(file) && !Column(row, kSavedPath).isEmpty()) file = Column(row, kSavedPath);

    const QString folder = FreshAttachmentFolder(saveFolder, Column(row, kFileId));
    const std::optional<mail::MessageParts> parts =
        mail::ReadMail(file.toStdString(), "subject:from:date:nofile:", folder.toStdString());
    if (!parts) {
        MessageBox::Information(this, QStringLiteral("ファイルが存在しません。"));
        return;
    }
    m_mailText = mail::MailText(*parts);
    m_report.SetBody(m_mailText);
    m_preview(m_report, this);
}

void SavedMailViewer::DeleteSavedMail()
{
    const config::SettingsRecord settings = m_settings();
    const int row = CurrentRow();
    if (row < 0) {
        mail::WriteLog(settings.programFolder, settings.logBaseName,
                       kDeleteError + QStringLiteral("削除する保存メールが選択されていません。"));
        ReleaseList();
        LoadSavedMailList();
        return;
    }
    const QString id = Column(row, kFileId);

    const bool yes = MessageBox::Question(this, QStringLiteral("保存メールを削除します。よろしいですか。"));
    // The grid lets go of the connection before the delete opens it afresh.
    ReleaseList();
    if (yes) {
        QString error;
        if (!DeleteSavedCopy(settings, id, error))
            mail::WriteLog(settings.programFolder, settings.logBaseName, kDeleteError + error);
        store::CloseListDatabase();
    }
    LoadSavedMailList();
}

bool SavedMailViewer::DeleteSavedCopy(const config::SettingsRecord& settings, const QString& id, QString& error)
{
    if (!store::OpenListDatabase(store::BareFolder(settings.programFolder),
                                 base::TrimBlanks(settings.listDatabaseName) + QStringLiteral(".db"), error))
        return false;
    QSqlDatabase db = store::ListConnection();
    // All marks change together, and only once the saved copy is really gone.
    store::TransactionGuard transaction(db);
    if (!transaction.Begin(error)) return false;

    const QString key = base::TrimBlanks(id);
    QList<QPair<qlonglong, QString>> rows;
    {
        QSqlQuery select(db);
        select.setForwardOnly(true);
        if (!store::Execute(select, QStringLiteral("SELECT rowid, メール保存先パス FROM tblHistory WHERE 保存ファイルID = ?"),
                            {key}, error))
            return false;
        while (select.next()) rows.append({select.value(0).toLongLong(), store::ReadText(select.value(1))});
    }

    QSqlQuery update(db);
    for (const auto& [rowid, savedPath] : rows) {
        if (!store::Execute(
                update,
                QStringLiteral("UPDATE tblHistory SET メール保存先パス = '', メール保存 = 0 WHERE rowid = ?"),
                {rowid}, error))
            return false;
        QFile copy(savedPath);
        if (!savedPath.isEmpty() && copy.exists() && !copy.remove()) {
            error = QStringLiteral("[%1] %2").arg(QDir::toNativeSeparators(savedPath), copy.errorString());
            return false;
        }
        // The attachment copies go with the message, once its own copy is gone.
        if (!store::RemoveAttachmentCopies(db, key, SaveFolder(settings), error)) return false;
    }
    if (!transaction.Commit(error)) return false;
    // The attachments the viewer wrote for this message go with it.
    const QString attachments = AttachmentFolder(SaveFolder(settings), key);
    if (attachments != SaveFolder(settings)) QDir(attachments).removeRecursively();
    return true;
}

void SavedMailViewer::ComposeReply()
{
    const mail::ReceivedMail mail = ReadSavedMail(CurrentRow());
    if (mail.fromAddress.isEmpty()) {
        m_reply->setEnabled(false);
        return;
    }
    QString error;
    if (!m_client.Compose(ReplyUrl(mail), error)) MessageBox::Information(this, error);
}

void SavedMailViewer::OpenAttachment(int index)
{
    if (index < 0 || index >= m_attachmentPaths.size()) return;
    // Only a file the reader wrote for this preview is ever opened.
    if (!mail::IsFileInFolder(m_attachmentPaths.at(index), m_attachmentFolder)) {
        qWarning("attachment %s is not in the folder it was read into; not opened",
                 qUtf8Printable(m_attachmentPaths.at(index)));
        return;
    }
    QString error;
    if (!m_client.Open(m_attachmentPaths.at(index), error)) MessageBox::Information(this, error);
}

bool SavedMailViewer::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_files && event->type() == QEvent::MouseButtonDblClick && !m_attachmentPaths.isEmpty()) {
        const int position = m_files->cursorPositionAt(static_cast<QMouseEvent*>(event)->position().toPoint());
        int chosen = m_attachmentPaths.size() == 1 ? 0 : -1;
        for (int i = 0; i < m_attachmentSpans.size() && chosen < 0; ++i)
            if (position >= m_attachmentSpans.at(i).first && position <= m_attachmentSpans.at(i).second) chosen = i;
        if (chosen >= 0) OpenAttachment(chosen);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void SavedMailViewer::done(int result)
{
    ReleaseList();
    QDialog::done(result);
}

void OpenSavedMailViewer(const config::WorkingCopy& workingCopy, QWidget* parent)
{
    DesktopMailClient client;
    SavedMailViewer form([&workingCopy] { return config::TakeSettingsSnapshot(workingCopy); }, client,
                         parent);
    form.exec();
}

} // namespace lw::ui
