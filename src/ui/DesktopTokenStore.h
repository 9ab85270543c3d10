#pragma once

// The OAuth2 tokens kept in the desktop's keyring (Secret Service or KWallet, through
// qtkeychain), or in the program folder's owner-only token file where no keyring answers.

#include "config/TokenStore.h"

#include <QString>
#include <QThread>

#include <atomic>

namespace lw::ui {

// A record is read from the token file when one exists, else from the keyring. A write goes
// where the record is; a new sign-in goes to the keyring when it answers (the file is then
// removed), else to the file. The keyring's asynchronous jobs run on a thread of their own, so a
// caller on any thread (the poll cycle's included) just waits for the answer, at most a few
// seconds, and never for the window's thread.
class DesktopTokenStore final : public config::SecretStore {
  public:
    explicit DesktopTokenStore(const QString& programFolder);
    ~DesktopTokenStore() override;

    base::Result<std::optional<QString>> Read() override;
    base::Status Write(const QString& secret) override;
    base::Status WriteNew(const QString& secret) override;
    base::Status Remove() override;
    QString Where() const override;

    // What a keyring job came to.
    enum class Answer { Done, NotFound, NoKeyring };

  private:
    Answer Run(int kind, QString& text, QString& error);

    config::TokenFile m_file;
    QString m_key;
    QThread m_thread;
    QObject* m_worker = nullptr; // lives on m_thread
    std::atomic<bool> m_inKeyring{false};
};

} // namespace lw::ui
