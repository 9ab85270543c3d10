#include "engine/PollCycle.h"

#include "command/CommandMail.h"
#include "engine/Forward.h"
#include "engine/SenderRules.h"
#include "mail/CarrierEmoji.h"
#include "mail/ActivityLog.h"
#include "base/DurableFiles.h"
#include "mail/Pop3Fetch.h"
#include "mail/ReceivedMail.h"
#include "mail/Transport.h"
#include "store/Folders.h"
#include "store/History.h"
#include "store/ListDatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

#include <exception>
#include <memory>

namespace lw::engine {

namespace {

const QString kPartList = QStringLiteral("subject:from:to:date:nofile:");

// Passes every call on and counts the ones that change a value: tells whether a command mail
// changed the settings without the command layer reporting it.
class ChangeCountingCopy final : public config::WorkingCopy {
public:
    explicit ChangeCountingCopy(config::WorkingCopy& inner) : m_inner(inner) {}
    QString Text(const QString& key) const override { return m_inner.Text(key); }
    void SetText(const QString& key, const QString& text) override
    {
        if (m_inner.Text(key) != text) ++m_changes;
        m_inner.SetText(key, text);
    }
    int State(const QString& key) const override { return m_inner.State(key); }
    void SetState(const QString& key, int state) override
    {
        if (m_inner.State(key) != state) ++m_changes;
        m_inner.SetState(key, state);
    }
    QString ProgramFolder() const override { return m_inner.ProgramFolder(); }
    int Changes() const { return m_changes; }

private:
    config::WorkingCopy& m_inner;
    int m_changes = 0;
};

// The state and helpers of one cycle; one instance per RunPollCycle call.
class Cycle {
public:
    Cycle(const config::SettingsRecord& settings, config::WorkingCopy& workingCopy,
          NoticePrinterFactory* printers, const std::atomic<bool>* endRequested, OAuthTokens* tokens)
        : m_settings(settings), m_workingCopy(workingCopy), m_printers(printers), m_endRequested(endRequested),
          m_tokens(tokens),
          m_saveFolder(store::SaveFolder(settings)),
          m_workFolder(store::WorkFolder(settings)),
          m_identity(ForwardMarkOf(settings))
    {
    }

    CycleSummary Run();

private:
    mail::Settlement HandleMessage(const QString& path);
    bool Recorded(const base::Status& registration);
    bool Recorded(const base::Result<QStringList>& registration);
    void HandleCommand(const mail::ReceivedMail& mail);
    void Log(const QString& text) const
    {
        mail::WriteLog(m_settings.programFolder, m_settings.logBaseName, text);
    }
    void LogFailure(const QString& where, const QString& reason);
    void NoteTlsRefusal(TlsVerdict& verdict);
    void NoteSignIn(const AccessGrant& grant, const QString& where);
    bool MakeFolder(const QString& folder);
    bool ListDatabaseWritable();
    base::Status Print(const QString& mailText, const mail::ReceivedMail& mail);
    bool SaveCopy(const QString& source, const QString& target, QString& error) const;
    bool SafeInWorkFolder(const QString& path, QString& error) const;
    bool CarriesOwnMark(const QString& path) const;
    void GlobalForward(const SenderRule& rule, const mail::ReceivedMail& mail);
    void ForwardOrSkip(const SenderRule& rule, const mail::ReceivedMail& mail, const QString& logLine);
    bool EndRequested() const { return m_endRequested != nullptr && m_endRequested->load(); }
    // Commits the history rows written so far; called before a step that may take long (a print,
    // a send), so that the list database is not kept locked meanwhile. Each registration a failed
    // commit lost gets its line.
    void CommitRegistrations()
    {
        if (m_registrations == nullptr) return;
        (void)m_registrations->Commit();
        for (const QString& line : m_registrations->TakeLostWrites())
            Log(line);
    }

    const config::SettingsRecord& m_settings;
    ChangeCountingCopy m_workingCopy;
    NoticePrinterFactory* m_printers;
    const std::atomic<bool>* m_endRequested;
    OAuthTokens* m_tokens;
    bool m_acted = false;  // the message in hand was printed, saved or forwarded
    bool m_listed = false; // the sender of the message in hand is in the rule list
    std::unique_ptr<NoticePrinter> m_printer;  // made at the first print, reused for the cycle
    const QString m_saveFolder;
    const QString m_workFolder;
    const QString m_identity;
    CycleSummary m_summary;
    bool m_locked = false; // the list database stayed locked: the rest of the tick waits for the next
    store::SharedTransaction* m_registrations = nullptr; // while the messages are handled
};

void Cycle::LogFailure(const QString& where, const QString& reason)
{
    const QString line = QStringLiteral("処理エラー[") + where + QStringLiteral("]:") + reason;
    Log(line);
    if (m_summary.errors == 0) m_summary.firstError = line;
    ++m_summary.errors;
}

// The status bar shows the first refusal; each refused certificate is offered once per cycle.
void Cycle::NoteTlsRefusal(TlsVerdict& verdict)
{
    if (m_summary.tlsRefusal.isEmpty()) m_summary.tlsRefusal = verdict.refusal;
    if (!verdict.certificate) return;
    for (const RefusedCertificate& known : m_summary.refusedCertificates) {
        if (known.certificate.fingerprint == verdict.certificate->certificate.fingerprint &&
            known.server.host == verdict.certificate->server.host && known.server.port == verdict.certificate->server.port)
            return;
    }
    m_summary.refusedCertificates.push_back(std::move(*verdict.certificate));
}

// A refused sign-in is logged once, when it is found; afterwards each tick only reports it.
// A token that cannot be renewed yet (endpoint unreachable) is reported like a failed fetch.
void Cycle::NoteSignIn(const AccessGrant& grant, const QString& where)
{
    if (grant.firstNotice) LogFailure(where, grant.failure);
    if (grant.signInNeeded && m_summary.signInNeeded.isEmpty()) m_summary.signInNeeded = grant.failure;
}

bool Cycle::MakeFolder(const QString& folder)
{
    const base::Status made = store::EnsureFolder(folder);
    if (made) return true;
    LogFailure(folder, made.ErrorText());
    return false;
}

// While another process holds the list database's write lock, no history row can be written:
// the fetch waits for the next tick. Other database faults are left to the per-message handling.
bool Cycle::ListDatabaseWritable()
{
    QString error;
    bool busy = false;
    if (!store::OpenListDatabase(m_settings.programFolder, m_settings.listDatabaseName)) return true;
    {
        QSqlQuery probe(store::ListConnection());
        if (probe.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
            (void)probe.exec(QStringLiteral("ROLLBACK"));
        } else {
            const QString code = probe.lastError().nativeErrorCode();
            busy = code == QStringLiteral("5") || code == QStringLiteral("6");
            error = probe.lastError().text();
        }
    }
    store::CloseListDatabase();
    if (!busy) return true;
    LogFailure(store::ListDatabasePath(m_settings.programFolder, m_settings.listDatabaseName),
               QStringLiteral("リストデータベースがロックされているため、受信を次回に延期します（") + error +
                   QStringLiteral("）。"));
    return false;
}

CycleSummary Cycle::Run()
{
    if (!MakeFolder(m_saveFolder) || !MakeFolder(m_workFolder)) return m_summary;
    // One connection for the whole cycle: each registration and lookup would otherwise open the
    // database and read its schema again.
    const store::ListConnectionHold databaseHold;
    if (!ListDatabaseWritable()) return m_summary;
    if (EndRequested()) return m_summary;

    const std::optional<mail::Pop3Endpoint> endpoint = FetchEndpoint(m_settings);
    if (!endpoint) {
        m_summary.fetchError = QStringLiteral("bad POP3 server: \"") + m_settings.popServer + u'"';
        return m_summary;
    }
    // One POP3 session for the fetch and every deletion of this cycle; its QUIT at the end of
    // the cycle commits the deletions.
    const config::ConnectionSecurity security = config::ConnectionSecurity::Load(m_settings.programFolder);
    const bool oauth = m_tokens != nullptr && m_tokens->Enabled();
    const TlsServer server{QStringLiteral("pop3"), QString::fromStdString(endpoint->host), endpoint->port,
                           QString::fromStdString(endpoint->account), oauth};
    mail::Pop3Endpoint secured = *endpoint;
    secured.tls = TlsPolicyFor(security, server);
    const QString where = QStringLiteral("POP3 ") + ServerName(server.host, server.port);
    if (oauth) {
        const AccessGrant grant = m_tokens->Current();
        if (grant.token.empty()) {
            NoteSignIn(grant, where);
            m_summary.fetchError = grant.failure;
            return m_summary;
        }
        secured.bearerToken = grant.token;
    }
    mail::Pop3Mailbox mailbox(secured, m_workFolder.toStdString());
    AccessGrant renewal;
    bool renewed = false;
    if (oauth) {
        mailbox.SetTokenRenewal([&](const std::string& refused) {
            renewed = true;
            renewal = m_tokens->RenewAfterRefusal(refused);
            return renewal.token;
        });
    }
    // Saved copies and attachments are flushed together at the end, before any deletion.
    base::FlushBatch flushes;

    const mail::FetchResult fetched = mailbox.FetchNewMessages(10);
    QString signInFailure;
    if (oauth && fetched.loginRefused && renewed) {
        if (!renewal.token.empty()) renewal = m_tokens->RefusedAfterRenewal(QString::fromStdString(fetched.error));
        NoteSignIn(renewal, where);
        signInFailure = renewal.failure;
    }
    TlsVerdict verdict = JudgeTlsOutcome(m_settings.programFolder, security, server, fetched.tls);
    if (!verdict.refusal.isEmpty()) {
        LogFailure(QStringLiteral("POP3 ") + ServerName(server.host, server.port), verdict.refusal);
        NoteTlsRefusal(verdict);
    }
    for (const std::string& element : fetched.abandoned)
        LogFailure(QString::fromStdString(element),
                   QStringLiteral("処理中にプログラムが終了したため、このメールの処理を中止しました。"));
    if (fetched.messages.empty()) {
        // Nothing to process is not an error; a failed fetch only tells the caller.
        m_summary.fetchError = !verdict.refusal.isEmpty() ? verdict.refusal
                               : !signInFailure.isEmpty() ? signInFailure
                                                          : QString::fromStdString(fetched.error);
        return m_summary;
    }

    // The history rows of the whole cycle go in one commit, made before the messages are
    // settled: until then a message that loses its rows (the program ends) is handed out again.
    store::SharedTransaction registrations;
    m_registrations = &registrations;
    // A message is settled (and its deletion recorded) only after it was handled and the cycle's
    // files are durable; until then every fetch hands it out again.
    std::vector<mail::SettledMessage> settled;
    for (const std::string& element : fetched.messages) {
        const QString path = QString::fromStdString(element);
        ++m_summary.fetched;
        mail::Settlement settlement = mail::Settlement::Left;
        if (EndRequested()) {
            // The service is ending: this message stays queued and on the server.
            ++m_summary.leftForNextTick;
            settled.push_back({mail::BaseName(path).toStdString(), settlement});
            continue;
        }
        if (!m_locked) {
            m_acted = m_listed = false;
            const int changesBefore = m_workingCopy.Changes();
            try {
                settlement = HandleMessage(path);
            } catch (const std::exception& e) {
                LogFailure(path, QString::fromUtf8(e.what()));
                settlement = mail::Settlement::Handled;
            } catch (...) {
                LogFailure(path, QStringLiteral("不明なエラー"));
                settlement = mail::Settlement::Handled;
            }
            if (m_acted) {
                ++m_summary.actedOnAny;
                if (m_listed) ++m_summary.actedOnListed;
            }
            if (m_workingCopy.Changes() != changesBefore) ++m_summary.commandChanges;
        }
        if (settlement == mail::Settlement::Left)
            LogFailure(path, QStringLiteral("リストデータベースがロックされているため、このメールは次回の受信で処理します。"));
        settled.push_back({mail::BaseName(path).toStdString(), settlement});
    }
    CommitRegistrations();
    m_registrations = nullptr;
    std::string flushError;
    if (!flushes.Flush(flushError)) {
        LogFailure(m_saveFolder, QStringLiteral("保存したファイルを確定できないため、サーバーから削除しません（") +
                                     QString::fromStdString(flushError) + QStringLiteral("）。"));
        for (mail::SettledMessage& m : settled) {
            if (m.settlement == mail::Settlement::HandledDelete) m.settlement = mail::Settlement::Handled;
        }
    }
    // A deletion that fails stays recorded and is carried out by the next fetch.
    const mail::TransportStatus status = mailbox.Settle(settled);
    if (!status.Ok()) qWarning("%s", status.error.c_str());
    return m_summary;
}

// A registration's failure is logged; while the list database stays locked the rest of the
// tick waits for the next one.
bool Cycle::Recorded(const base::Status& registration)
{
    if (!registration) {
        Log(registration.ErrorText());
        if (registration.Busy()) m_locked = true;
    }
    return !m_locked;
}

bool Cycle::Recorded(const base::Result<QStringList>& registration)
{
    if (registration) {
        for (const QString& note : *registration) Log(note);
        return !m_locked;
    }
    return Recorded(base::Status(registration.Failure()));
}

mail::Settlement Cycle::HandleMessage(const QString& path)
{
    // Each message's attachments get a folder of their own: in one shared folder, every name
    // that many messages carry would be probed past all its earlier copies.
    const QString attachmentFolder = mail::AttachmentFolderOf(path);
    const std::optional<mail::MessageParts> parts =
        mail::ReadMail(path.toStdString(), kPartList.toStdString(), attachmentFolder.toStdString());
    using mail::Settlement;
    if (!parts) return Settlement::Handled;

    mail::ReceivedMail mail;
    mail.file = path;
    QString mailText;
    mail::ExtractParts(*parts, mail, &mailText);
    ++m_summary.handled;

    if (!Recorded(store::RegisterReceipt(m_settings, mail))) return Settlement::Left;

    if (!mail::MayProcess(mail)) {
        Log(QStringLiteral("フィルタリング実行[") + mail.file + mail::SenderLogText(mail));
        return Settlement::Handled;
    }
    if (!mail.fromAddress.contains(u'@')) return Settlement::Handled;

    const QString baseName = mail::BaseName(mail.file);
    const RuleLookup lookup =
        LookUpSenderRule(m_settings.programFolder, m_settings.listDatabaseName, mail.fromAddress);
    if (!lookup) {
        LogFailure(mail.file, lookup.ErrorText());
        return Settlement::Handled;
    }
    const bool found = lookup->has_value();
    const SenderRule rule = lookup->value_or(SenderRule{});
    QString error;

    m_listed = found;
    if (!found) {
        HandleCommand(mail);
        if (m_settings.forwardEnabled) GlobalForward(rule, mail);
        return m_locked ? Settlement::Left : Settlement::Handled;
    }

    if (!rule.reject) HandleCommand(mail);

    if (rule.print && !rule.reject) {
        const base::Status printed = Print(mailText, mail);
        if (printed) {
            m_acted = true;
            if (rule.log) Log(QStringLiteral("メール印刷[") + mail.file + mail::SenderLogText(mail));
            // Nothing came out of a printer: the operator must learn where the notice went.
            if (const QString pdf = m_printer->FallbackFile(); !pdf.isEmpty())
                Log(QStringLiteral("メール印刷PDF出力[") + mail.file + QStringLiteral("]:") + pdf);
            if (!Recorded(store::RegisterProcessing(m_settings, mail, store::kActionPrint, true)))
                return Settlement::Left;
        } else {
            LogFailure(mail.file, printed.ErrorText());
        }
    }

    // A message the rule saves leaves the server only once its saved copy is complete.
    bool saved = true;
    bool deleteOnServer = false; // carried out once the cycle's files are durable
    if (rule.save && !rule.reject) {
        const QString target = store::JoinPath(m_saveFolder, baseName);
        saved = SaveCopy(mail.file, target, error);
        if (saved) {
            m_acted = true;
            if (rule.log) Log(QStringLiteral("メール保存[") + target + mail::SenderLogText(mail));
            if (!Recorded(store::RegisterProcessing(m_settings, mail, store::kActionSave, true)))
                return Settlement::Left;
        } else {
            LogFailure(mail.file, error);
        }
    }

    if (rule.clear && !rule.reject) {
        if (!saved) {
            LogFailure(mail.file, QStringLiteral("保存に失敗したため、サーバーから削除しません。"));
        } else if (!SafeInWorkFolder(mail.file, error)) {
            LogFailure(mail.file, error);
        } else {
            deleteOnServer = true;
            if (rule.log) Log(QStringLiteral("メールボックスクリア[") + baseName + mail::SenderLogText(mail));
            if (!Recorded(store::RegisterProcessing(m_settings, mail, store::kActionClear, true)))
                return Settlement::Left;
        }
    }

    if (rule.reject) {
        if (!SafeInWorkFolder(mail.file, error)) {
            LogFailure(mail.file, error);
        } else {
            deleteOnServer = true;
            if (rule.log) Log(QStringLiteral("受信拒否[") + baseName + mail::SenderLogText(mail));
            if (!Recorded(store::RegisterProcessing(m_settings, mail, store::kActionReject, true)))
                return Settlement::Left;
        }
        return deleteOnServer ? Settlement::HandledDelete : Settlement::Handled;
    }

    if (m_settings.forwardEnabled && m_settings.forwardTarget == config::ForwardTarget::RuleListSenders &&
        rule.forward)
        ForwardOrSkip(rule, mail, QString());
    if (m_settings.forwardEnabled) GlobalForward(rule, mail);
    if (m_locked) return Settlement::Left;
    return deleteOnServer ? Settlement::HandledDelete : Settlement::Handled;
}

void Cycle::HandleCommand(const mail::ReceivedMail& mail)
{
    const command::CommandOutcome outcome = command::HandleCommandMail(m_settings, mail, m_workingCopy);
    for (const QString& line : outcome.logLines) Log(line);
    if (!outcome.applied) return;
    // A locked list database does not hold the message back for a command already carried out.
    const base::Result<QStringList> recorded =
        store::RegisterProcessing(m_settings, mail, store::kActionCommand, true);
    if (!recorded) Log(recorded.ErrorText());
}

void Cycle::GlobalForward(const SenderRule& rule, const mail::ReceivedMail& mail)
{
    const QString destinations = QStringLiteral("]:to<") + m_settings.forwardTo + QStringLiteral("; cc:") +
                                 m_settings.forwardCc + QStringLiteral(";bcc:") + m_settings.forwardBcc +
                                 u'>';
    const QString baseName = mail::BaseName(mail.file);
    if (m_settings.forwardTarget == config::ForwardTarget::AllMail) {
        ForwardOrSkip(rule, mail, QStringLiteral("マクロ転送[") + baseName + destinations);
        return;
    }
    if (m_settings.forwardTarget != config::ForwardTarget::AddressBookSenders) return;
    const base::Result<bool> listed =
        LookUpAddressBook(m_settings.programFolder, m_settings.listDatabaseName, mail.fromAddress);
    if (!listed) {
        LogFailure(mail.file, listed.ErrorText());
        return;
    }
    if (*listed) ForwardOrSkip(rule, mail, QStringLiteral("アドレス帳転送[") + baseName + destinations);
}

// Forwards (with its log line written whether or not the send worked) unless the message came
// from this very mailbox's forwarding: two systems forwarding to each other must not loop.
void Cycle::ForwardOrSkip(const SenderRule& rule, const mail::ReceivedMail& mail, const QString& logLine)
{
    if (CarriesOwnMark(mail.file)) {
        Log(QStringLiteral("転送抑止[") + mail::BaseName(mail.file) +
            QStringLiteral("]:このメールボックスから転送されたメールのため転送しません"));
        return;
    }
    CommitRegistrations();
    TlsVerdict tls;
    AccessGrant signIn;
    if (Forward(m_settings, rule, mail, &tls, m_tokens, &signIn))
        m_acted = true;
    else if (!tls.refusal.isEmpty())
        NoteTlsRefusal(tls);
    if (signIn.signInNeeded && m_summary.signInNeeded.isEmpty()) m_summary.signInNeeded = signIn.failure;
    if (!logLine.isEmpty()) Log(logLine);
    (void)Recorded(store::RegisterProcessing(m_settings, mail, store::kActionForward, true));
}

bool Cycle::CarriesOwnMark(const QString& path) const
{
    const std::vector<std::string> marks = mail::ForwardMarks(path.toStdString());
    if (marks.empty()) return false;
    // Our own mark is the keyed hash; the clear identity is what older versions wrote. Without
    // the secret only the clear form can be recognised (the forward then logs why).
    const base::Result<std::string> ownMark = OpaqueForwardMarkOf(m_settings);
    const QString opaque = ownMark ? QString::fromStdString(*ownMark) : QString();
    for (const std::string& mark : marks) {
        const QStringList identities =
            QString::fromStdString(mark).toLower().split(QRegularExpression(QStringLiteral("[,\\s]+")),
                                                          Qt::SkipEmptyParts);
        if (identities.contains(m_identity) || (!opaque.isEmpty() && identities.contains(opaque))) return true;
    }
    return false;
}

base::Status Cycle::Print(const QString& mailText, const mail::ReceivedMail& mail)
{
    if (m_printers == nullptr)
        return base::Fail(QStringLiteral("印刷できません（プリンタが設定されていません）。"));
    CommitRegistrations();
    if (!m_printer) m_printer = m_printers->Create();
    if (!m_printer) return base::Fail(QStringLiteral("印刷できません（プリンタを準備できません）。"));
    // On paper the carriers' emoji show as the standard ones; the text itself stays as received.
    return m_printer->Print(mail::CarrierEmojiForDisplay(mailText, mail.fromAddress), mail::BaseName(mail.file));
}

// Copies through a temporary file that takes the target's name only when complete, so a saved
// copy is never half-written, even when the disk fills up. Made durable with the cycle's other
// files before any deletion on the server.
bool Cycle::SaveCopy(const QString& source, const QString& target, QString& error) const
{
    std::string reason;
    // The fetch flushed the work file before handing it over.
    if (base::CopyFileDurably(QFile::encodeName(source).toStdString(), QFile::encodeName(target).toStdString(),
                              true, reason, base::CopyDurability::SourceFlushed))
        return true;
    error = QStringLiteral("保存できません（") + QString::fromStdString(reason) + QStringLiteral("）。");
    return false;
}

bool Cycle::SafeInWorkFolder(const QString& path, QString& error) const
{
    const QFileInfo info(path);
    if (info.isFile() && info.isReadable() &&
        QDir(info.absolutePath()) == QDir(m_workFolder)) {
        return true;
    }
    error = QStringLiteral("メールファイルがワークフォルダにないため、サーバーから削除しません。");
    return false;
}

} // namespace

std::optional<mail::Pop3Endpoint> FetchEndpoint(const config::SettingsRecord& settings)
{
    std::optional<mail::Pop3Endpoint> endpoint =
        mail::MakePop3Endpoint(settings.popServer.toStdString(), settings.popPort);
    if (!endpoint) return std::nullopt;
    endpoint->account = settings.popAccount.toStdString();
    endpoint->password = settings.popPassword.toStdString();
    return endpoint;
}

CycleSummary RunPollCycle(const config::SettingsRecord& settings, config::WorkingCopy& workingCopy,
                          NoticePrinterFactory* printers, const std::atomic<bool>* endRequested,
                          OAuthTokens* tokens)
{
    Cycle cycle(settings, workingCopy, printers, endRequested, tokens);
    return cycle.Run();
}

} // namespace lw::engine
