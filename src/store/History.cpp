#include "store/History.h"

#include "base/DurableFiles.h"
#include "base/PosixFile.h"
#include "store/FindOrAdd.h"
#include "store/Folders.h"
#include "store/ListDatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

namespace lw::store {

namespace {

const QString kHistory = QStringLiteral("tblHistory");
const QString kFiles = QStringLiteral("tblHistoryFiles");
const QString kFileId = QStringLiteral("保存ファイルID");
const QString kFileName = QStringLiteral("添付ファイル名");

int SlotCount(const mail::ReceivedMail& mail)
{
    return std::clamp<int>(mail.attachmentCount, 0, mail::kMaxAttachments);
}

QString ActionColumn(int actionCode)
{
    switch (actionCode) {
    case kActionPrint: return QStringLiteral("印刷");
    case kActionSave: return QStringLiteral("メール保存");
    case kActionClear: return QStringLiteral("ボックスクリア");
    case kActionLog: return QStringLiteral("ログ出力");
    case kActionReject: return QStringLiteral("受信拒否");
    case kActionForward: return QStringLiteral("メール転送");
    case kActionCommand: return QStringLiteral("コマンド");
    default: return {};
    }
}

// The log lines of a failed registration.
QString ReceiptFailure(const QString& id, const mail::ReceivedMail& mail)
{
    return QStringLiteral("受信履歴登録エラー[") + id + mail::SenderLogText(mail);
}

QString ProcessingFailure(const QString& id, const mail::ReceivedMail& mail, const QString& error)
{
    return QStringLiteral("処理履歴登録エラー[") + id + mail::SenderLogText(mail) + u':' + error;
}

// Opens the connection of the calling thread for one registration or purge.
base::Status Open(const config::SettingsRecord& settings)
{
    return OpenListDatabase(BareFolder(settings.programFolder), settings.listDatabaseName);
}

base::Status WriteReceipt(const config::SettingsRecord& settings, const mail::ReceivedMail& mail,
                          const QString& id)
{
    if (base::Status opened = Open(settings); !opened) return opened;
    {
        QSqlDatabase db = ListConnection();
        TransactionGuard transaction(db);
        if (base::Status begun = transaction.Begin(); !begun) return begun;
        // A message without a usable date gets the moment it arrived, so that the purge of the
        // same tick does not take it away at once; the message itself keeps the zero date.
        const QDateTime received = mail.received.isValid() ? mail.received : QDateTime::currentDateTime();
        const ColumnValues header{
            {QStringLiteral("保存ファイルパス"), base::TrimSpaces(mail.file)},
            {QStringLiteral("件名"), base::TrimSpaces(mail.subject)},
            {QStringLiteral("送信アドレス"), base::TrimSpaces(mail.fromAddress)},
            {QStringLiteral("送信アドレス名"), base::TrimSpaces(mail.fromName)},
            {QStringLiteral("受信アドレス"), base::TrimSpaces(mail.toAddress)},
            {QStringLiteral("受信アドレス名"), base::TrimSpaces(mail.toName)},
            {QStringLiteral("受信日"), ToStoredDateTime(received)},
            {QStringLiteral("ファイル数"), int(mail.attachmentCount)},
        };
        if (base::Status row = FindOrAdd(db, kHistory, {{kFileId, id}}, header); !row) return row;

        // Attachment rows of an earlier registration of this message ID are replaced.
        (void)RunCachedStatement(db, QStringLiteral("DELETE FROM tblHistoryFiles WHERE 保存ファイルID = ?"), {id});
        for (int i = 0; i < SlotCount(mail); ++i) {
            const QString& slot = mail.attachments[std::size_t(i)];
            if (base::Status row = FindOrAdd(db, kFiles, {{kFileId, id}, {kFileName, BaseName(slot)}},
                                             {{QStringLiteral("添付ファイル名パス"), base::TrimSpaces(slot)}});
                !row)
                return row;
        }
        if (base::Status committed = transaction.Commit(); !committed) return committed;
        if (transaction.Shared()) {
            // Written only when the shared transaction commits: a failure then is told there.
            SharedTransaction::Current()->OnRollback(
                [line = ReceiptFailure(id, mail)](const QString&) { return line; });
        }
    }
    CloseListDatabase();
    return {};
}

// folder + separator + name, or name with " (2)", " (3)", ... before its extension when taken.
// The probing of a name starts after the number this process last gave it: a name that many
// messages carry would otherwise be probed past all its earlier copies, each time.
QString FreeFileName(const QString& folder, const QString& name)
{
    QString first = folder + QDir::separator() + name;
    if (!QFileInfo::exists(first)) return first;
    static std::mutex mutex;
    static QHash<QString, int> lastNumber;
    std::lock_guard lock(mutex);
    const qsizetype dot = name.lastIndexOf(u'.');
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString suffix = dot > 0 ? name.mid(dot) : QString();
    int& last = lastNumber[first];
    for (int n = std::max(last + 1, 2);; ++n) {
        QString candidate = folder + QDir::separator() + stem + QStringLiteral(" (%1)").arg(n) + suffix;
        if (!QFileInfo::exists(candidate)) {
            last = n;
            return candidate;
        }
    }
}

// Files copied by a save registration; removed again unless the registration commits.
class CopiedFiles {
public:
    ~CopiedFiles()
    {
        if (m_keep) return;
        for (const QString& path : std::as_const(m_paths)) QFile::remove(path);
        if (!m_folder.isEmpty()) (void)QDir().rmdir(m_folder); // only when nothing else is in it
    }
    void Add(const QString& path) { m_paths << path; }
    void InFolder(const QString& folder) { m_folder = folder; }
    void Keep() { m_keep = true; }
    const QStringList& Paths() const { return m_paths; }

private:
    QStringList m_paths;
    QString m_folder;
    bool m_keep = false;
};

// The lines of a processing registration for attachments it could not copy.
using AttachmentNotes = QStringList;

base::Status WriteProcessing(const config::SettingsRecord& settings, const mail::ReceivedMail& mail,
                             const QString& id, int actionCode, bool value, AttachmentNotes& notes)
{
    const QString saveFolder = SaveFolder(settings);
    if (base::Status folder = EnsureFolder(saveFolder); !folder) return folder;
    if (base::Status opened = Open(settings); !opened) return opened;
    {
        QSqlDatabase db = ListConnection();
        TransactionGuard transaction(db);
        CopiedFiles copies;
        if (base::Status begun = transaction.Begin(); !begun) return begun;

        ColumnValues columns;
        const QString column = ActionColumn(actionCode);
        if (!column.isEmpty()) columns << ColumnValue{column, value ? 1 : 0};
        const bool saving = actionCode == kActionSave && value;
        if (saving)
            columns << ColumnValue{QStringLiteral("メール保存先パス"), saveFolder + QDir::separator() + id};
        if (base::Status row = FindOrAdd(db, kHistory, {{kFileId, id}}, columns); !row) return row;

        // The copies go into a folder of the message's own beside its saved copy, so that the
        // save folder does not pile up every message's attachments under numbered names.
        const QString ownFolder = saving ? SavedAttachmentFolder(saveFolder, id) : QString();
        const bool folderReady = !ownFolder.isEmpty() && SlotCount(mail) > 0 &&
                                 base::MakeOwnerOnlyFolder(QFile::encodeName(ownFolder).toStdString()) &&
                                 QFileInfo(ownFolder).isDir() && !QFileInfo(ownFolder).isSymLink();
        if (folderReady) copies.InFolder(ownFolder);
        for (int i = 0; saving && i < SlotCount(mail); ++i) {
            const QString source = base::TrimSpaces(mail.attachments[std::size_t(i)]);
            const QString name = BaseName(source);
            // The recorded path must hold the file: copy it into the message's folder, under a
            // free name should that folder hold the name already. A copy made by an earlier
            // save of this message is kept.
            const base::Result<std::optional<QVariant>> recorded =
                QueryOneValue(db,
                              QStringLiteral("SELECT 添付ファイル保存先パス FROM tblHistoryFiles WHERE 保存ファイルID = ? "
                                             "AND 添付ファイル名 = ? ORDER BY rowid LIMIT 1"),
                              {id, name});
            if (!recorded) return recorded.Failure();
            QString saved = recorded->has_value() ? ReadText(**recorded) : QString();
            if (saved.isEmpty() || !QFileInfo::exists(saved)) {
                saved = folderReady ? FreeFileName(ownFolder, name) : QString();
                std::string reason;
                // Only a file the reader wrote into this message's own folder is ever copied.
                // Not flushed: the copy repeats a part of the saved message, which is durable
                // before any deletion, and the viewer reads attachments from that message.
                if (folderReady && !name.isEmpty() && mail::IsFileInFolder(source, mail.attachmentFolder) &&
                    base::CopyFileDurably(QFile::encodeName(source).toStdString(),
                                          QFile::encodeName(saved).toStdString(), false, reason,
                                          base::CopyDurability::None)) {
                    copies.Add(saved);
                } else {
                    // Saving the message still counts; only this attachment is missing, and
                    // its row says so by an empty path rather than a false one.
                    notes << QStringLiteral("処理履歴登録エラー[") + id + mail::SenderLogText(mail) +
                                 QStringLiteral(":添付ファイルを保存できません: ") + source;
                    saved.clear();
                }
            }
            if (base::Status row = FindOrAdd(db, kFiles, {{kFileId, id}, {kFileName, name}},
                                             {{QStringLiteral("添付ファイル保存先パス"), saved}});
                !row)
                return row;
        }
        if (base::Status committed = transaction.Commit(); !committed) return committed;
        copies.Keep();
        if (transaction.Shared()) {
            // The copies stay only with their rows, which are written when the shared
            // transaction commits.
            SharedTransaction::Current()->OnRollback(
                [files = copies.Paths(), own = folderReady ? ownFolder : QString(),
                 line = ProcessingFailure(id, mail, QString())](const QString& reason) {
                    for (const QString& path : files)
                        QFile::remove(path);
                    if (!own.isEmpty()) (void)QDir().rmdir(own); // only when nothing else is in it
                    return line + reason;
                });
        }
    }
    CloseListDatabase();
    return {};
}

// True when a message other than id records path as one of its attachment copies: a name that
// became free (the operator removed the file) may have been given to a later message's copy.
base::Result<bool> CopyOfAnotherMessage(const QSqlDatabase& db, const QString& path, const QString& id)
{
    const base::Result<std::optional<QVariant>> other =
        QueryOneValue(db,
                      QStringLiteral("SELECT 1 FROM tblHistoryFiles WHERE 添付ファイル保存先パス = ? "
                                     "AND 保存ファイルID <> ? LIMIT 1"),
                      {path, id});
    if (!other) return other.Failure();
    return other->has_value();
}

// Removes the files, several at a time: where unlinking waits on the disk (online discard),
// one at a time takes milliseconds per file. Failures (already gone, in use) are ignored.
void RemoveFiles(const QStringList& files)
{
    constexpr qsizetype kPerWorker = 64;
    const qsizetype workers = std::clamp<qsizetype>(files.size() / kPerWorker, 1, 8);
    if (workers == 1) {
        for (const QString& file : files) QFile::remove(file);
        return;
    }
    std::vector<std::thread> threads;
    for (qsizetype w = 0; w < workers; ++w)
        threads.emplace_back([&files, w, workers] {
            for (qsizetype i = w; i < files.size(); i += workers) QFile::remove(files.at(i));
        });
    for (std::thread& thread : threads) thread.join();
}

// An attachment row's file path and the file of its message.
struct AttachmentOf {
    QString file;
    QString messageFile;
};

base::Status Purge(const config::SettingsRecord& settings, QStringList& messageFiles, QStringList& messageIds,
                   QList<AttachmentOf>& attachmentFiles, QStringList& attachmentCopies)
{
    const int keepDays = std::max<int>(settings.keepDays, 0);
    const QVariantList cutoff{
        ToStoredDateTime(QDateTime(QDate::currentDate().addDays(-keepDays), QTime(0, 0)))};
    // Unsaved rows received at or before midnight at the start of the cutoff day; rows without
    // a received date never qualify.
    const QString aged = QStringLiteral("受信日 <= ? AND メール保存 = 0");
    if (base::Status opened = Open(settings); !opened) return opened;
    {
        QSqlDatabase db = ListConnection();
        TransactionGuard transaction(db);
        if (base::Status begun = transaction.Begin(); !begun) return begun;
        QSqlQuery query(db);
        query.setForwardOnly(true);
        // Saved rows are never purged and pile up below the cutoff: without an index of the
        // unsaved rows alone, every tick's purge would walk all of them (about 80 ms per
        // statement at 100,000 saved rows). Made here too for databases older than the template.
        if (base::Status made = Execute(query,
                                        QStringLiteral("CREATE INDEX IF NOT EXISTS idxHistoryUnsaved ON "
                                                       "tblHistory (受信日) WHERE メール保存 = 0"),
                                        {});
            !made)
            return made;
        if (base::Status read = Execute(
                query, QStringLiteral("SELECT 保存ファイルパス, 保存ファイルID FROM tblHistory WHERE ") + aged, cutoff);
            !read)
            return read;
        while (query.next()) {
            messageFiles << ReadText(query.value(0));
            messageIds << ReadText(query.value(1));
        }
        // Each attachment with its message's file: only the message's own folder holds its files.
        if (base::Status read = Execute(query,
                                        QStringLiteral("SELECT f.添付ファイル名パス, h.保存ファイルパス FROM "
                                                       "tblHistoryFiles f JOIN tblHistory h ON h.保存ファイルID = "
                                                       "f.保存ファイルID WHERE h.受信日 <= ? AND h.メール保存 = 0"),
                                        cutoff);
            !read)
            return read;
        while (query.next())
            attachmentFiles.append({ReadText(query.value(0)), ReadText(query.value(1))});
        // Copies of attachments still recorded for an unsaved row (a viewer's delete that could
        // not remove them) go with the row, or nothing would ever remove them.
        if (base::Status read =
                Execute(query,
                        QStringLiteral("SELECT 保存ファイルID, 添付ファイル保存先パス FROM tblHistoryFiles WHERE "
                                       "COALESCE(添付ファイル保存先パス, '') <> '' AND 保存ファイルID IN "
                                       "(SELECT 保存ファイルID FROM tblHistory WHERE ") +
                            aged + u')',
                        cutoff);
            !read)
            return read;
        QList<QPair<QString, QString>> copies;
        while (query.next())
            copies.append({ReadText(query.value(0)), ReadText(query.value(1))});
        const QString saveFolder = SaveFolder(settings);
        for (const auto& [id, copy] : std::as_const(copies)) {
            // Copies are removed only where the save put them: the message's own folder, or the
            // save folder itself for what older versions saved.
            const bool where = mail::IsFileInFolder(copy, SavedAttachmentFolder(saveFolder, id)) ||
                               mail::IsFileInFolder(copy, saveFolder);
            if (!where) continue;
            const base::Result<bool> shared = CopyOfAnotherMessage(db, copy, id);
            if (!shared) return shared.Failure();
            if (!*shared) attachmentCopies << copy;
        }
        for (const QString& remove :
             {QStringLiteral("DELETE FROM tblHistoryFiles WHERE 保存ファイルID IN (SELECT 保存ファイルID FROM "
                             "tblHistory WHERE ") +
                  aged + u')',
              QStringLiteral("DELETE FROM tblHistory WHERE ") + aged})
            if (base::Status removed = Execute(query, remove, cutoff); !removed) return removed;
        query = QSqlQuery();
        if (base::Status committed = transaction.Commit(); !committed) return committed;
    }
    CloseListDatabase();
    return {};
}

} // namespace

base::Status RemoveAttachmentCopies(const QSqlDatabase& db, const QString& id, const QString& saveFolder)
{
    QList<QPair<qlonglong, QString>> rows;
    {
        QSqlQuery select(db);
        select.setForwardOnly(true);
        if (base::Status read = Execute(
                select,
                QStringLiteral("SELECT rowid, 添付ファイル保存先パス FROM tblHistoryFiles WHERE 保存ファイルID = ?"),
                {id});
            !read)
            return read;
        while (select.next())
            rows.append({select.value(0).toLongLong(), ReadText(select.value(1))});
    }
    QSqlQuery update(db);
    const QString ownFolder = SavedAttachmentFolder(saveFolder, id);
    for (const auto& [rowid, copy] : std::as_const(rows)) {
        bool ours = false;
        if (mail::IsFileInFolder(copy, saveFolder) || mail::IsFileInFolder(copy, ownFolder)) {
            const base::Result<bool> shared = CopyOfAnotherMessage(db, copy, id);
            if (!shared) return shared.Failure();
            ours = !*shared;
        }
        if (ours && !QFile::remove(copy)) continue;
        if (base::Status emptied = Execute(
                update, QStringLiteral("UPDATE tblHistoryFiles SET 添付ファイル保存先パス = '' WHERE rowid = ?"),
                {rowid});
            !emptied)
            return emptied;
    }
    return {};
}

base::Status RegisterReceipt(const config::SettingsRecord& settings, const mail::ReceivedMail& mail)
{
    const QString id = BaseName(mail.file);
    const base::Status written = WriteReceipt(settings, mail, id);
    if (written) return written;
    return base::Error{ReceiptFailure(id, mail), written.Failure().kind};
}

base::Result<QStringList> RegisterProcessing(const config::SettingsRecord& settings,
                                             const mail::ReceivedMail& mail, int actionCode, bool value)
{
    const QString id = BaseName(mail.file);
    AttachmentNotes notes;
    const base::Status written = WriteProcessing(settings, mail, id, actionCode, value, notes);
    if (written) return notes;
    // A registration that failed kept no copies: its notes are moot.
    return base::Error{ProcessingFailure(id, mail, written.ErrorText()), written.Failure().kind};
}

base::Status PurgeHistory(const config::SettingsRecord& settings)
{
    QStringList messageFiles;
    QStringList messageIds;
    QList<AttachmentOf> attachmentFiles;
    QStringList attachmentCopies;
    if (const base::Status purged = Purge(settings, messageFiles, messageIds, attachmentFiles, attachmentCopies);
        !purged)
        return base::Fail(QStringLiteral("ワーククリアエラー：") + purged.ErrorText());
    // Files go only after the rows are gone for good: a purge that fails deletes nothing.
    // Attachments are the files the reader wrote into the message's own folder inside the work
    // folder; nothing outside it goes, whatever a row says.
    const QString work = QFileInfo(WorkFolder(settings)).canonicalFilePath();
    QStringList files;
    QSet<QString> folders;
    for (const AttachmentOf& attachment : std::as_const(attachmentFiles)) {
        const QString folder = mail::AttachmentFolderOf(attachment.messageFile);
        if (attachment.messageFile.isEmpty() || !mail::IsFileInFolder(attachment.file, folder)) continue;
        const QString canonicalFolder = QFileInfo(folder).canonicalFilePath();
        if (work.isEmpty() || QFileInfo(canonicalFolder).path() != work) continue;
        files << attachment.file;
        folders.insert(canonicalFolder);
    }
    for (const QString& file : std::as_const(messageFiles))
        if (!file.isEmpty()) files << file;
    files << attachmentCopies;
    RemoveFiles(files);
    // A message's own attachment folders go with their last file: the one in the work folder,
    // and the one of its saved attachment copies in the save folder.
    for (const QString& folder : std::as_const(folders)) (void)QDir().rmdir(folder);
    const QString saveFolder = SaveFolder(settings);
    for (const QString& id : std::as_const(messageIds)) (void)RemoveSavedAttachmentFolder(saveFolder, id);
    return {};
}

} // namespace lw::store
