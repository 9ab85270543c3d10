#include "ui/OAuthSignIn.h"

#include <QHostAddress>
#include <QMap>
#include <QOAuthHttpServerReplyHandler>
#include <QThread>

namespace lw::ui {

OAuthSignIn::OAuthSignIn(engine::OAuthTokens& tokens, OpenBrowser openBrowser, QObject* parent)
    : QObject(parent), m_tokens(tokens), m_openBrowser(std::move(openBrowser))
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        End(QStringLiteral("ブラウザでのサインインが%1分以内に終わらなかったため、中止しました。").arg(kWaitMs / 60000));
    });
}

OAuthSignIn::~OAuthSignIn()
{
    if (m_exchange != nullptr) m_exchange->wait();
}

QString OAuthSignIn::RedirectUri() const
{
    return m_pending ? m_pending->redirectUri : QString();
}

bool OAuthSignIn::Start(const config::OAuthSettings& settings, const QString& loginHint, QString& error)
{
    if (m_exchange != nullptr) {
        error = QStringLiteral("トークンを取得しています。しばらくお待ちください。");
        return false;
    }
    // A sign-in the browser never answered (the provider showed an error page) is given up for
    // the new one.
    if (m_running) {
        m_timeout.stop();
        m_listener->close();
        m_listener->deleteLater();
        m_listener = nullptr;
        m_pending.reset();
        m_running = false;
    }
    // The loopback address only: the redirect never leaves this machine.
    auto* listener = new QOAuthHttpServerReplyHandler(QHostAddress(QHostAddress::LocalHost),
                                                      static_cast<quint16>(settings.redirectPort), this);
    if (!listener->isListening()) {
        delete listener;
        error = QStringLiteral("サインインの応答を受け取るポート（127.0.0.1:%1）を開けませんでした。").arg(settings.redirectPort);
        return false;
    }
    listener->setCallbackText(QStringLiteral("LarchWatcher: サインインの応答を受け取りました。このページは閉じてかまいません。"));
    const QString redirect = QStringLiteral("http://127.0.0.1:%1/").arg(listener->port());
    base::Result<engine::PendingSignIn> begun = m_tokens.BeginSignIn(settings, redirect, loginHint);
    if (!begun) {
        delete listener;
        error = begun.ErrorText();
        return false;
    }
    m_pending = std::move(begun).Value();
    m_listener = listener;
    connect(m_listener, &QOAuthHttpServerReplyHandler::callbackReceived, this, &OAuthSignIn::OnAnswer);
    m_running = true;
    if (!m_openBrowser || !m_openBrowser(m_pending->authorizeUrl)) {
        End(QStringLiteral("ブラウザを開けませんでした。次のURLをブラウザで開いてください: ") +
            m_pending->authorizeUrl.toString(QUrl::FullyEncoded));
        error.clear();
        return true;
    }
    m_timeout.start(kWaitMs);
    return true;
}

void OAuthSignIn::OnAnswer(const QVariantMap& values)
{
    if (!m_pending || m_exchange != nullptr) return;
    m_timeout.stop();
    // The values come form-encoded, as the provider's redirect wrote them: a '+' is a blank.
    QMap<QString, QString> answer;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        answer.insert(it.key(),
                      QUrl::fromPercentEncoding(it.value().toString().replace(u'+', u' ').toUtf8()));
    // The listener has answered the browser; it takes no second answer.
    m_listener->close();
    const engine::PendingSignIn pending = *m_pending;
    m_exchange = QThread::create([this, pending, answer] {
        const base::Status signedIn = m_tokens.CompleteSignIn(pending, answer);
        const QString error = signedIn ? QString() : signedIn.ErrorText();
        QMetaObject::invokeMethod(this, [this, error] { End(error); }, Qt::QueuedConnection);
    });
    m_exchange->setObjectName(QStringLiteral("oauth2-sign-in"));
    m_exchange->start();
}

void OAuthSignIn::End(const QString& error)
{
    if (!m_running) return;
    m_running = false;
    m_timeout.stop();
    if (m_exchange != nullptr) {
        m_exchange->wait();
        delete m_exchange;
        m_exchange = nullptr;
    }
    if (m_listener != nullptr) {
        m_listener->close();
        m_listener->deleteLater();
        m_listener = nullptr;
    }
    m_pending.reset();
    emit finished(error);
}

} // namespace lw::ui
