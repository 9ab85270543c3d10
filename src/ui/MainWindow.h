#pragma once

#include "config/InMemoryWorkingCopy.h"
#include "config/OAuthSettings.h"
#include "config/TokenStore.h"
#include "config/WorkingCopy.h"
#include "engine/DesktopNotices.h"
#include "engine/OAuthTokens.h"
#include "engine/Service.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QUrl;

namespace lw::ui {

class DesktopPresence;
class OAuthSignIn;

// What the main window opens; the program wires the real windows, tests put recorders here.
struct MainWindowActions {
    // The per-sender list editor, shown modally over the window's settings.
    std::function<void(QWidget* parent, const config::WorkingCopy& settings)> openEditor;
    // The saved-mail viewer, shown modally over the window's settings.
    std::function<void(QWidget* parent, const config::WorkingCopy& settings)> openViewer;
    // The address book import of one chosen file into the list database named listName.
    std::function<void(QWidget* parent, const QString& file, const QString& folder, const QString& listName)>
        importAddressBook;
    // A file dialog: the chosen path, or empty when cancelled. filter is in Qt's form.
    std::function<QString(QWidget* parent, const QString& title, const QString& folder, const QString& filter)>
        chooseFile;
    // Opens a log file with the desktop's text editor; what fails is told over parent.
    std::function<void(QWidget* parent, const QString& path)> openFile;
    // The password prompt; true when the lock opened.
    std::function<bool(QWidget* parent)> askPassword;
    // The password change dialog, shown modally.
    std::function<void(QWidget* parent)> changePassword;
    // Shows notices on screen; null: none.
    std::shared_ptr<engine::DesktopNotifier> notifier;
    // A tray is present: the window gets a tray icon and closing it keeps the program running.
    bool hasTray = false;
    // Where the OAuth2 tokens of the program folder are kept; null: the desktop's keyring, or
    // the token file where no keyring answers.
    std::function<std::shared_ptr<config::SecretStore>(const QString& folder)> tokenStore;
    // Opens the OAuth2 sign-in page in the browser; false when none could be started.
    std::function<bool(const QUrl& url)> openBrowser;
};

// Actions that show the real dialogs: list editor, saved-mail viewer, import with its progress,
// file dialog, desktop open and the password dialogs.
MainWindowActions DefaultMainWindowActions();

// The field check of a checked field: the message to show and the text to put back
// (resetText null when the text stays). No value when the text passes.
struct FieldCheckFailure {
    QString message;
    QString resetText;
    bool reset = false;
};
// Checks text for the field with object name field (txtIntv, txtKeep, txtPortpop, txtPortsmtp,
// txtTimeoutsmtp, txtList, txtLog, txtStock); other fields always pass.
std::optional<FieldCheckFailure> CheckField(const QString& field, const QString& text);

// The main window "LarchWatcherのプロパティ": every setting on four tabs (the working copy), the
// service toggle, the locked buttons, the settings save and the log files. Owns the service,
// whose cycles run on a worker thread. That thread never touches a field: the window keeps a
// plain working copy in step with its fields, each tick snapshots it, and a field set there
// (command mail) reaches the window by a queued signal.
class MainWindow final : public QMainWindow, public config::WorkingCopy {
    Q_OBJECT
public:
    // programFolder in bare form; printTo as given by --print-to (may be empty).
    MainWindow(const QString& programFolder, const QString& printTo, MainWindowActions actions, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The load sequence: version, settings into the fields, service started at the stored
    // interval, detail frame hidden, enabling rules, list database check. Runs once.
    void Load();

    // The monitoring service (tests replace its tick work).
    engine::Service& Service() { return *m_service; }
    // The OAuth2 tokens the service logs in with.
    engine::OAuthTokens& Tokens() { return *m_tokens; }
    // The tray icon, the notices and the desktop settings.
    DesktopPresence& Presence() { return *m_presence; }
    // Shows the window again (from the tray), in front and not minimised.
    void ShowFromTray();
    // Ends the program, also when a tray keeps it running after a close.
    void QuitProgram();
    // Opens this month's log file; the file dialog of the log button when there is none yet.
    void OpenCurrentLog();

    // The working copy: reads come from the copy kept in step with the fields (any thread); a
    // set on the window's thread goes to the field, on another thread to the copy, and the
    // field follows when the window's thread gets to it.
    QString Text(const QString& key) const override;
    void SetText(const QString& key, const QString& text) override;
    int State(const QString& key) const override;
    void SetState(const QString& key, int state) override;
    QString ProgramFolder() const override;

signals:
    // A setting changed in the working copy; connected queued, so the window shows it on its
    // own thread whoever made the change.
    void settingChanged(const QString& key);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* BuildAccountTab();
    QWidget* BuildWatchTab();
    QWidget* BuildForwardTab();
    QWidget* BuildCommandTab();
    QWidget* BuildSignInBox(QWidget* parent);
    QLineEdit* AddLineEdit(const char* name, bool masked = false);
    QLabel* AddLabel(const QString& text, const char* name = nullptr);

    void ApplyAuthRule();
    void ApplyProviderRule();
    void LoadConnectionSettings();
    bool SaveConnectionSettings(QString& error);
    config::OAuthSettings ShownOAuthSettings() const;
    void ShowSignInState();
    void OnSignIn();
    void OnSignOut();
    void ApplyCommandRule();
    void KeepCopyInStep();
    void CopyField(const QString& key);
    void ShowSetting(const QString& key);
    int ShownState(const QString& key) const;
    void ShowState(const QString& key, int state);
    void SetWaiting(bool waiting);
    bool RunFieldCheck(QLineEdit* field);
    bool FocusedFieldPasses();
    template <typename Action>
    void WithServicePaused(Action action);
    void ResumeService(bool wasRunning);
    void UpdateStatus();

    void OnToggle();
    void OnSave();
    void OnEditor();
    void OnViewer();
    void OnImport();
    void OnLog();
    void OnChangePassword();

    QWidget* Field(const QString& key) const;

    QString m_programFolder;
    MainWindowActions m_actions;
    // Declared before the service, which uses it until its last tick has ended.
    config::InMemoryWorkingCopy m_copy;
    // Context of the connections that copy field changes into m_copy; it goes before m_copy.
    QObject m_fieldWatch;
    std::unique_ptr<engine::NoticePrinterFactory> m_printers;
    std::unique_ptr<engine::OAuthTokens> m_tokens; // before the service, which uses it to its end
    std::unique_ptr<engine::Service> m_service;
    std::unique_ptr<DesktopPresence> m_presence;

    QTabWidget* m_settingsTabs = nullptr;
    QGroupBox* m_serverDetailGroup = nullptr;
    QComboBox* m_authMechanismList = nullptr;
    QComboBox* m_oauthProvider = nullptr;
    QLabel* m_oauthState = nullptr;
    QCheckBox* m_requireTls = nullptr;
    OAuthSignIn* m_signIn = nullptr;
    QString m_signInNote;                // the last tick's word that the sign-in must be done (again)
    QString m_signInState;               // the account's state as last shown on the account tab
    QButtonGroup* m_forwardTargetGroup = nullptr;
    QPushButton* m_serviceToggleButton = nullptr;
    QLabel* m_versionLabel = nullptr;
    QLabel* m_folderInfoLabel = nullptr;
    QLabel* m_stateLabel = nullptr;
    QLabel* m_tickLabel = nullptr;
    QLabel* m_failureLabel = nullptr;
    bool m_quitting = false;
    QString m_tlsRefusal;                // the last tick's TLS refusal, shown in the status bar
    QStringList m_askedFingerprints;     // certificates offered once in this run ("host:port fingerprint")
    bool m_loaded = false;
    bool m_checking = false;
};

} // namespace lw::ui
