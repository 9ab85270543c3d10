#include "ui/SavedMailViewer.h"

#include "config/Settings.h"
#include "mail/ActivityLog.h"
#include "mail/CarrierEmoji.h"
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

// The folder of the viewer's attachment files in older versions (one per message, rewritten at
// every read); it goes when the saved copy is deleted.
QString OlderPreviewFolder(const QString& saveFolder, const QString& id)
{
    const QString key = base::TrimSpaces(id);
    if (store::SavedAttachmentFolder(saveFolder, key).isEmpty()) return {};
    return store::JoinPath(store::JoinPath(saveFolder, QStringLiteral("files")), key);
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
    m_mailGrid = RowPickerGrid(QStringLiteral("DBGrid1"), m_model, this);
    m_mailGrid->setAlternatingRowColors(true);
    m_mailGrid->setWordWrap(false);
    m_mailGrid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_mailGrid->verticalHeader()->hide();
    m_mailGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_mailGrid->horizontalHeader()->setStretchLastSection(false);

    m_subjectView = new QPlainTextEdit(this);
    m_subjectView->setObjectName(QStringLiteral("txtTitle"));
    m_subjectView->setReadOnly(true);
    m_subjectView->setFixedHeight(m_subjectView->fontMetrics().lineSpacing() * 2 + 14);
    m_subjectView->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_bodyView = new QPlainTextEdit(this);
    m_bodyView->setObjectName(QStringLiteral("txtBody"));
    m_bodyView->setReadOnly(true);
    m_attachmentNames = new QLineEdit(this);
    m_attachmentNames->setObjectName(QStringLiteral("txtFile"));
    m_attachmentNames->setReadOnly(true);
    m_attachmentNames->setToolTip(QStringLiteral("ダブルクリックで添付ファイルを開きます"));
    m_attachmentNames->installEventFilter(this);

    m_printButton = DialogButton(QStringLiteral("cmdRead"), QStringLiteral("印刷"), this);
    m_deleteButton = DialogButton(QStringLiteral("cmdDel"), QStringLiteral("削除"), this);
    m_replyButton = DialogButton(QStringLiteral("cmdMail"), QStringLiteral("返信"), this);
    m_closeButton = DialogButton(QStringLiteral("Command2"), QStringLiteral("終了"), this);
    for (QPushButton* button : {m_printButton, m_deleteButton, m_replyButton, m_closeButton})
        button->setMinimumWidth(96);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_printButton);
    buttons->addWidget(m_deleteButton);
    buttons->addWidget(m_replyButton);
    buttons->addSpacing(24);
    buttons->addWidget(m_closeButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_mailGrid, 5);
    layout->addWidget(m_subjectView);
    layout->addWidget(m_bodyView, 4);
    layout->addWidget(m_attachmentNames);
    layout->addLayout(buttons);

    connect(m_printButton, &QPushButton::clicked, this, &SavedMailViewer::PrintSavedMail);
    connect(m_deleteButton, &QPushButton::clicked, this, &SavedMailViewer::DeleteSavedMail);
    connect(m_replyButton, &QPushButton::clicked, this, &SavedMailViewer::ComposeReply);
    connect(m_closeButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_mailGrid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (!m_reloading && current.isValid()) OnRowSelected(current.row());
            });
    // A double click opens the saved copy in the desktop's mail program.
    connect(m_mailGrid, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.isValid()) OpenSavedCopy(index.row());
    });
    // A click on the row whose preview is not shown still selects it.
    connect(m_mailGrid, &QTableView::clicked, this, [this](const QModelIndex& index) {
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
    const base::Status opened = store::OpenListDatabase(
        store::BareFolder(settings.programFolder), base::TrimSpaces(settings.listDatabaseName) + QStringLiteral(".db"));
    QString error = opened.Ok() ? QString() : opened.ErrorText();
    if (opened) {
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
    for (int column = kFileId; column <= kSavedPath; ++column) m_mailGrid->setColumnHidden(column, true);
    m_mailGrid->setColumnWidth(kSenderName, 160);
    m_mailGrid->setColumnWidth(kSenderAddress, 220);
    m_mailGrid->setColumnWidth(kSubject, 320);
    m_mailGrid->horizontalHeader()->setSectionResizeMode(kSubject, QHeaderView::Stretch);
    m_mailGrid->setColumnWidth(kReceived, 160);

    // Every reload leaves the viewer as it opens: no current row and the actions off until the
    // operator picks a row, so no button ever acts on a row the operator did not choose.
    m_mailGrid->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::Clear);
    m_reloading = false;
    m_previewRow = -1;
    m_printButton->setEnabled(false);
    m_deleteButton->setEnabled(false);
    m_replyButton->setEnabled(false);

    m_subjectView->clear();
    m_bodyView->clear();
    m_attachmentNames->clear();
    m_attachmentPaths.clear();
    m_attachmentSpans.clear();
}

int SavedMailViewer::CurrentRow() const
{
    const QModelIndex current = m_mailGrid->currentIndex();
    return current.isValid() && current.row() < m_model->rowCount() ? current.row() : -1;
}

QString SavedMailViewer::Column(int row, int column) const
{
    if (row < 0 || row >= m_model->rowCount()) return {};
    return store::ReadText(m_model->record(row).value(column));
}

void SavedMailViewer::OnRowSelected(int row)
{
    m_printButton->setEnabled(true);
    m_deleteButton->setEnabled(true);
    m_replyButton->setEnabled(true);
    ShowSavedMailPreview(row);
}

mail::ReceivedMail SavedMailViewer::ReadSavedMail(int row)
{
    mail::ReceivedMail mail;
    const config::SettingsRecord settings = m_settings();
    const QString saveFolder = SaveFolder(settings);
    (void)store::EnsureFolder(saveFolder); // attachments are written there; a failure shows as none

    const QString file = Column(row, kSavedPath);
    if (file.isEmpty()) return mail;
    // The reader writes the attachments into the message's own folder, where the save copied
    // them: the files it finds there unchanged are used again, so a preview adds nothing.
    const QString folder = store::SavedAttachmentFolder(saveFolder, Column(row, kFileId));
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
    // The carriers' emoji show as the standard ones; what is stored keeps their code points.
    const auto shown = [&mail](const QString& text) { return mail::CarrierEmojiForDisplay(text, mail.fromAddress); };
    m_subjectView->setPlainText(shown(QStringLiteral("送信者：") + (mail.fromName.isEmpty() ? mail.fromAddress : mail.fromName) +
                                QStringLiteral(" ") + QStringLiteral("宛先：") +
                                (mail.toName.isEmpty() ? mail.toAddress : mail.toName) + kCrLf +
                                QStringLiteral("件名：") + mail.subject));
    m_bodyView->setPlainText(shown(mail.body));

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
    m_attachmentNames->setText(line);
    m_attachmentNames->setCursorPosition(0);

    // A copy that cannot be read has no sender to answer.
    m_replyButton->setEnabled(!mail.fromAddress.isEmpty());
}

void SavedMailViewer::PrintSavedMail()
{
    const int row = CurrentRow();
    QString file = Column(row, kWorkPath);
    const config::SettingsRecord settings = m_settings();
    const QString saveFolder = SaveFolder(settings);
    (void)store::EnsureFolder(saveFolder);
    if (file.isEmpty()) return;
    // The purge takes the received file after the days the settings keep work files; the saved copy is the
    // same message.
    if (!QFileInfo::exists(file) && !Column(row, kSavedPath).isEmpty()) file = Column(row, kSavedPath);

    const QString folder = store::SavedAttachmentFolder(saveFolder, Column(row, kFileId));
    const std::optional<mail::MessageParts> parts =
        mail::ReadMail(file.toStdString(), "subject:from:date:nofile:", folder.toStdString());
    if (!parts) {
        MessageBox::Information(this, QStringLiteral("ファイルが存在しません。"));
        return;
    }
    m_mailText = mail::MailText(*parts);
    m_report.SetBody(mail::CarrierEmojiForDisplay(m_mailText, Column(row, kSenderAddress)));
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
        if (const base::Status deleted = DeleteSavedCopy(settings, id); !deleted)
            mail::WriteLog(settings.programFolder, settings.logBaseName, kDeleteError + deleted.ErrorText());
        store::CloseListDatabase();
    }
    LoadSavedMailList();
}

base::Status SavedMailViewer::DeleteSavedCopy(const config::SettingsRecord& settings, const QString& id)
{
    if (base::Status opened = store::OpenListDatabase(
            store::BareFolder(settings.programFolder), base::TrimSpaces(settings.listDatabaseName) + QStringLiteral(".db"));
        !opened)
        return opened;
    QSqlDatabase db = store::ListConnection();
    // All marks change together, and only once the saved copy is really gone.
    store::TransactionGuard transaction(db);
    if (base::Status begun = transaction.Begin(); !begun) return begun;

    const QString key = base::TrimSpaces(id);
    QList<QPair<qlonglong, QString>> rows;
    {
        QSqlQuery select(db);
        select.setForwardOnly(true);
        if (base::Status read = store::Execute(
                select, QStringLiteral("SELECT rowid, メール保存先パス FROM tblHistory WHERE 保存ファイルID = ?"), {key});
            !read)
            return read;
        while (select.next()) rows.append({select.value(0).toLongLong(), store::ReadText(select.value(1))});
    }

    QSqlQuery update(db);
    for (const auto& [rowid, savedPath] : rows) {
        if (base::Status unmarked = store::Execute(
                update, QStringLiteral("UPDATE tblHistory SET メール保存先パス = '', メール保存 = 0 WHERE rowid = ?"),
                {rowid});
            !unmarked)
            return unmarked;
        QFile copy(savedPath);
        if (!savedPath.isEmpty() && copy.exists() && !copy.remove())
            return base::Fail(QStringLiteral("[%1] %2").arg(QDir::toNativeSeparators(savedPath), copy.errorString()));
        // The attachment copies go with the message, once its own copy is gone.
        if (base::Status removed = store::RemoveAttachmentCopies(db, key, SaveFolder(settings)); !removed)
            return removed;
    }
    if (base::Status committed = transaction.Commit(); !committed) return committed;
    // The message's own attachment folder goes with it, and what older versions wrote for it.
    (void)store::RemoveSavedAttachmentFolder(SaveFolder(settings), key);
    if (const QString older = OlderPreviewFolder(SaveFolder(settings), key); !older.isEmpty())
        QDir(older).removeRecursively();
    return {};
}

void SavedMailViewer::ComposeReply()
{
    const mail::ReceivedMail mail = ReadSavedMail(CurrentRow());
    if (mail.fromAddress.isEmpty()) {
        m_replyButton->setEnabled(false);
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
    m_client.Open(m_attachmentPaths.at(index), OpenedFile::Attachment, this);
}

void SavedMailViewer::OpenSavedCopy(int row)
{
    const QString saved = Column(row, kSavedPath);
    // Only a saved copy in the save folder is ever handed on, whatever the row says.
    if (saved.isEmpty() || !mail::IsFileInFolder(saved, SaveFolder(m_settings()))) {
        MessageBox::Information(this, QStringLiteral("ファイルが存在しません。") + kCrLf + QDir::toNativeSeparators(saved));
        return;
    }
    m_client.Open(saved, OpenedFile::SavedMail, this);
}

bool SavedMailViewer::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_attachmentNames && event->type() == QEvent::MouseButtonDblClick &&
        !m_attachmentPaths.isEmpty()) {
        const QPoint point = static_cast<QMouseEvent*>(event)->position().toPoint();
        const int position = m_attachmentNames->cursorPositionAt(point);
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
    SavedMailViewer viewer([&workingCopy] { return config::TakeSettingsSnapshot(workingCopy); }, client,
                         parent);
    viewer.exec();
}

} // namespace lw::ui
