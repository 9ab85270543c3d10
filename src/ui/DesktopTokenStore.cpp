#include "ui/DesktopTokenStore.h"

#include <qt6keychain/keychain.h>

#include <QDir>
#include <QMetaObject>

#include <chrono>
#include <future>
#include <memory>

namespace lw::ui {

namespace {

const QString kService = QStringLiteral("larchwatcher");
constexpr auto kKeyringWait = std::chrono::seconds(10);

enum Kind { kRead, kWrite, kDelete };

struct JobResult {
    QKeychain::Error error = QKeychain::OtherError;
    QString errorText;
    QString text;
};

} // namespace

DesktopTokenStore::DesktopTokenStore(const QString& programFolder)
    : m_file(programFolder), m_key(QStringLiteral("oauth2 ") + QDir(programFolder).absolutePath())
{
    m_thread.setObjectName(QStringLiteral("keyring"));
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

DesktopTokenStore::~DesktopTokenStore()
{
    m_thread.quit();
    m_thread.wait();
}

DesktopTokenStore::Answer DesktopTokenStore::Run(int kind, QString& text, QString& error)
{
    auto promise = std::make_shared<std::promise<JobResult>>();
    std::future<JobResult> future = promise->get_future();
    const QString key = m_key;
    const QString data = text;
    QMetaObject::invokeMethod(
        m_worker,
        [promise, kind, key, data] {
            QKeychain::Job* job = nullptr;
            if (kind == kRead) {
                job = new QKeychain::ReadPasswordJob(kService);
            } else if (kind == kWrite) {
                auto* write = new QKeychain::WritePasswordJob(kService);
                write->setTextData(data);
                job = write;
            } else {
                job = new QKeychain::DeletePasswordJob(kService);
            }
            job->setAutoDelete(true);
            // Never the library's own fallback, which keeps the secret in a plain settings file.
            job->setInsecureFallback(false);
            job->setKey(key);
            QObject::connect(job, &QKeychain::Job::finished, [promise, kind](QKeychain::Job* done) {
                JobResult result{done->error(), done->errorString(), {}};
                if (kind == kRead && done->error() == QKeychain::NoError)
                    result.text = static_cast<QKeychain::ReadPasswordJob*>(done)->textData();
                promise->set_value(result);
            });
            job->start();
        },
        Qt::QueuedConnection);
    if (future.wait_for(kKeyringWait) != std::future_status::ready) {
        error = QStringLiteral("the keyring did not answer");
        return Answer::NoKeyring;
    }
    const JobResult result = future.get();
    switch (result.error) {
    case QKeychain::NoError:
        text = result.text;
        return Answer::Done;
    case QKeychain::EntryNotFound:
        return Answer::NotFound;
    default:
        error = result.errorText.isEmpty() ? QStringLiteral("no keyring") : result.errorText;
        return Answer::NoKeyring;
    }
}

base::Result<std::optional<QString>> DesktopTokenStore::Read()
{
    if (m_file.Exists()) {
        m_inKeyring = false;
        return m_file.Read();
    }
    QString secret, reason;
    switch (Run(kRead, secret, reason)) {
    case Answer::Done:
        m_inKeyring = true;
        return std::optional<QString>(secret);
    case Answer::NotFound:
        m_inKeyring = true;
        return std::optional<QString>();
    case Answer::NoKeyring:
        break;
    }
    // No keyring and no file: nothing was ever kept where this program can look.
    m_inKeyring = false;
    return std::optional<QString>();
}

base::Status DesktopTokenStore::Write(const QString& secret)
{
    if (m_file.Exists()) {
        m_inKeyring = false;
        return m_file.Write(secret);
    }
    return WriteNew(secret);
}

base::Status DesktopTokenStore::WriteNew(const QString& secret)
{
    QString text = secret, reason;
    if (Run(kWrite, text, reason) == Answer::Done) {
        m_inKeyring = true;
        // The file would be read first and hide the keyring's record.
        return m_file.Remove();
    }
    qInfo("no keyring answers (%s): the OAuth2 tokens go into %s", qPrintable(reason), qPrintable(m_file.Where()));
    m_inKeyring = false;
    return m_file.Write(secret);
}

base::Status DesktopTokenStore::Remove()
{
    QString none, reason;
    const bool wasInKeyring = m_inKeyring;
    const Answer answer = Run(kDelete, none, reason);
    m_inKeyring = false;
    if (answer == Answer::NoKeyring && wasInKeyring) return base::Fail(reason);
    return m_file.Remove();
}

QString DesktopTokenStore::Where() const
{
    return m_inKeyring ? QStringLiteral("デスクトップのキーリング") : QDir::toNativeSeparators(m_file.Where());
}

} // namespace lw::ui
