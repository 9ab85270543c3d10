#pragma once

#include "config/SettingsRecord.h"
#include "mail/ReceivedMail.h"
#include "ui/NoticeReport.h"

#include <QDialog>
#include <QStringList>

#include <functional>

class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSqlQueryModel;
class QTableView;

namespace lw::config {
class WorkingCopy;
}

namespace lw::ui {

class MailClient;

// The saved-mail viewer "保存メール": lists the saved messages newest first, previews the
// selected one from its saved copy, prints a notice of it, deletes the saved copy, and hands a
// reply to the desktop mail client. Modal; holds the list database connection while open.
class SavedMailViewer : public QDialog {
    Q_OBJECT

public:
    // A fresh settings snapshot of the working copy, taken at every use.
    using SettingsSource = std::function<config::SettingsRecord()>;
    // Shows the notice to the operator (the modal preview window, replaced by tests).
    using PreviewFunction = std::function<void(const NoticeReport&, QWidget*)>;

    SavedMailViewer(SettingsSource settings, MailClient& client, QWidget* parent = nullptr);
    ~SavedMailViewer() override;

    // Test seam: replaces the preview window.
    void SetPreview(PreviewFunction preview) { m_preview = std::move(preview); }

    // (Re)opens the list database, reloads the grid and empties the preview; no row is current
    // and the print, delete and reply buttons are off until the operator selects one.
    void LoadSavedMailList();
    // Reads the saved copy of a grid row; empty fields when it cannot be read.
    mail::ReceivedMail ReadSavedMail(int row);
    // Fills txtTitle, txtBody and txtFile from the saved copy of row.
    void ShowSavedMailPreview(int row);
    // "削除": asks, then deletes the current row's saved copy and clears its saved marks.
    void DeleteSavedMail();
    // "返信": hands a reply to the current row's sender to the mail client.
    void ComposeReply();
    // "印刷": shows the notice of the current row's message in the preview window, read from
    // its received file, or from its saved copy once that file is gone.
    void PrintSavedMail();
    // Opens the attachment at index (in txtFile's order) with the desktop's program for it.
    void OpenAttachment(int index);
    // Opens the saved copy of row with the desktop's mail program (a double click on the row).
    void OpenSavedCopy(int row);

    // The text of every part last read, each followed by CR LF.
    const QString& MailText() const { return m_mailText; }
    // Full paths of the attachments listed in txtFile, in that order; all in one folder the
    // reader wrote them into for this preview.
    const QStringList& AttachmentPaths() const { return m_attachmentPaths; }
    // The grid's current row, -1 when there is none.
    int CurrentRow() const;

    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnRowSelected(int row);
    QString Column(int row, int column) const;
    base::Status DeleteSavedCopy(const config::SettingsRecord& settings, const QString& id);
    void ReleaseList();
    QString SaveFolder(const config::SettingsRecord& settings) const;

    SettingsSource m_settings;
    MailClient& m_client;
    PreviewFunction m_preview;
    NoticeReport m_report;  // the viewer's notice, reused for every print while the window is open
    QString m_mailText;
    QStringList m_attachmentPaths;
    QString m_attachmentFolder;
    QList<QPair<int, int>> m_attachmentSpans;  // character ranges of each name in txtFile
    int m_previewRow = -1;
    bool m_reloading = false;
    bool m_listOpen = false;  // the model holds a query on the list connection

    QTableView* m_mailGrid = nullptr;
    QSqlQueryModel* m_model = nullptr;
    QPlainTextEdit* m_subjectView = nullptr;
    QPlainTextEdit* m_bodyView = nullptr;
    QLineEdit* m_attachmentNames = nullptr;
    QPushButton* m_printButton = nullptr;
    QPushButton* m_deleteButton = nullptr;
    QPushButton* m_replyButton = nullptr;
    QPushButton* m_closeButton = nullptr;
};

// Opens the viewer modally over the working copy (snapshots by TakeSettingsSnapshot) with the
// desktop's mail client; returns when the operator closed it.
void OpenSavedMailViewer(const config::WorkingCopy& workingCopy, QWidget* parent);

} // namespace lw::ui
