#pragma once

// The OAuth2 tokens of the mailbox: the sign-in's code exchange (authorization code with PKCE,
// RFC 7636 S256), the access token refreshed before it expires, one refresh after the server
// refuses a token, and the end of all logins once the refresh token is refused, until the
// operator signs in again (a provider locks out an account that keeps failing to log in). Used
// by the poll cycle and the forward in every mode; the window only runs the browser part.

#include "base/Result.h"
#include "config/OAuthSettings.h"
#include "config/TokenStore.h"

#include <QMap>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace lw::engine {

// An access token is refreshed when it has less than this left.
inline constexpr qint64 kRefreshMarginSeconds = 300;

// What a connection logs in with.
struct AccessGrant {
    std::string token;         // empty: no login now
    QString failure;           // why not, for the log and the status bar
    bool signInNeeded = false; // nothing logs in until the operator signs in again
    bool firstNotice = false;  // this call found the failure: it goes into the log once
};

// The account's state as the window shows it.
struct SignInStatus {
    enum class State { Off, SignedOut, SignedIn, SignInAgain, StoreUnavailable };
    State state = State::Off;
    QString text;  // one line, Japanese
    QString where; // where the tokens are kept
};

// A sign-in waiting for the browser's answer at the loopback redirect.
struct PendingSignIn {
    QUrl authorizeUrl; // to open in the browser
    QString redirectUri;
    QString state;
    QString codeVerifier;
    config::OAuthSettings settings;
};

class OAuthTokens {
  public:
    // Seconds since the epoch.
    using Clock = std::function<qint64()>;

    // The tokens of the program folder's mailbox, kept in store.
    OAuthTokens(QString programFolder, std::shared_ptr<config::SecretStore> store, Clock clock = {});

    // The settings file names a provider: logins use tokens.
    bool Enabled() const;

    // The access token to log in with, refreshed first when it is about to expire.
    AccessGrant Current();
    // The server refused token: one refresh (unless another connection renewed it already).
    AccessGrant RenewAfterRefusal(const std::string& refused);
    // The server refused the token just renewed too: no more logins until a new sign-in.
    AccessGrant RefusedAfterRenewal(const QString& serverReply);

    // The authorization URL (PKCE challenge, state, the provider's extras; loginHint as the
    // provider's account hint when not empty) for a browser sign-in answering at redirectUri.
    // An error when the settings cannot be used.
    base::Result<PendingSignIn> BeginSignIn(const config::OAuthSettings& settings, const QString& redirectUri,
                                            const QString& loginHint) const;
    // Takes the query of the browser's answer, exchanges its code and keeps the tokens; an error
    // says why not (Japanese, for the operator). Safe to run on any thread.
    base::Status CompleteSignIn(const PendingSignIn& pending, const QMap<QString, QString>& answer);
    // Forgets the tokens.
    base::Status SignOut();

    // For the window: read without waiting for a refresh in progress (then the last known one).
    SignInStatus Status();

  private:
    AccessGrant Refresh(config::TokenRecord& record, const config::OAuthSettings& settings);
    AccessGrant Refuse(config::TokenRecord& record, const QString& text);
    bool LoadRecord(config::TokenRecord& record, AccessGrant& failure);
    base::Status SaveRecord(const config::TokenRecord& record);
    SignInStatus ComputeStatus();
    qint64 Now() const;

    QString m_folder;
    std::shared_ptr<config::SecretStore> m_store;
    Clock m_clock;
    std::mutex m_mutex;       // one token operation at a time
    std::mutex m_statusMutex; // guards m_status
    SignInStatus m_status;
};

} // namespace lw::engine
