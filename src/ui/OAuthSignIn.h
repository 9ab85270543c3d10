#pragma once

// The browser part of an OAuth2 sign-in (RFC 8252): a listener on the loopback address takes
// the redirect, the authorization URL is opened in the desktop's browser, and the code is
// exchanged for tokens on a thread of its own, so the window never waits.

#include "config/OAuthSettings.h"
#include "engine/OAuthTokens.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QOAuthHttpServerReplyHandler;
class QThread;

namespace lw::ui {

class OAuthSignIn final : public QObject {
    Q_OBJECT
  public:
    // Opens the URL in a browser; false when none could be started.
    using OpenBrowser = std::function<bool(const QUrl&)>;

    // How long a sign-in waits for the browser's answer.
    static constexpr int kWaitMs = 5 * 60 * 1000;

    OAuthSignIn(engine::OAuthTokens& tokens, OpenBrowser openBrowser, QObject* parent = nullptr);
    // Waits for an exchange in flight (bounded by the token request's time-out).
    ~OAuthSignIn() override;

    // Starts a sign-in with the settings, loginHint as the account the provider suggests, in
    // place of one still waiting for the browser. False, with the reason, when it cannot start;
    // else finished follows.
    [[nodiscard]] bool Start(const config::OAuthSettings& settings, const QString& loginHint, QString& error);
    // A sign-in is waiting for the browser or the token endpoint.
    bool Running() const { return m_running; }
    // The redirect URI of the sign-in in progress (empty when none).
    QString RedirectUri() const;

  signals:
    // The sign-in ended: error empty when signed in, else why not (Japanese).
    void finished(const QString& error);

  private:
    void OnAnswer(const QVariantMap& values);
    void End(const QString& error);

    engine::OAuthTokens& m_tokens;
    OpenBrowser m_openBrowser;
    QOAuthHttpServerReplyHandler* m_listener = nullptr;
    std::optional<engine::PendingSignIn> m_pending;
    QThread* m_exchange = nullptr;
    QTimer m_timeout;
    bool m_running = false;
};

} // namespace lw::ui
