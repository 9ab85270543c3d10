#include "engine/OAuthTokens.h"

#include "mail/TokenRequest.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRandomGenerator>
#include <QUrlQuery>

#include <QtGlobal>

namespace lw::engine {

namespace {

const QString kSignInAgain = QStringLiteral("画面の「サインイン」でもう一度サインインしてください。");

QString RandomText(int bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(data.begin(), data.end());
    return QString::fromLatin1(data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// RFC 7636: BASE64URL(SHA256(ASCII(code_verifier))).
QString Challenge(const QString& verifier)
{
    return QString::fromLatin1(QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256)
                                   .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

// The endpoint's refusal in the operator's terms: its code and its words.
QString RefusalText(const mail::TokenReply& reply)
{
    QString text = Text(reply.error);
    if (!reply.errorDescription.empty()) text += QStringLiteral(": ") + Text(reply.errorDescription);
    return text;
}

std::vector<std::pair<std::string, std::string>> ClientFields(const config::OAuthSettings& settings)
{
    std::vector<std::pair<std::string, std::string>> form{{"client_id", settings.clientId.trimmed().toStdString()}};
    if (!settings.clientSecret.trimmed().isEmpty())
        form.emplace_back("client_secret", settings.clientSecret.trimmed().toStdString());
    return form;
}

} // namespace

OAuthTokens::OAuthTokens(QString programFolder, std::shared_ptr<config::SecretStore> store, Clock clock)
    : m_folder(std::move(programFolder)), m_store(std::move(store)), m_clock(std::move(clock))
{
}

qint64 OAuthTokens::Now() const
{
    return m_clock ? m_clock() : QDateTime::currentSecsSinceEpoch();
}

bool OAuthTokens::Enabled() const
{
    return config::OAuthSettings::Load(m_folder).Enabled();
}

bool OAuthTokens::LoadRecord(config::TokenRecord& record, AccessGrant& failure)
{
    const base::Result<std::optional<QString>> kept = m_store->Read();
    if (!kept) {
        failure.failure = QStringLiteral("OAuth2のトークンの保管先（") + m_store->Where() +
                          QStringLiteral("）を読めないため、ログインしません（") + kept.ErrorText() + QStringLiteral("）。");
        return false;
    }
    if (kept->has_value()) record = config::RecordFromJson(**kept);
    if (!record.refusal.isEmpty()) {
        failure.failure = record.refusal;
        failure.signInNeeded = true;
        return false;
    }
    if (record.SignedIn()) return true;
    failure.failure = QStringLiteral("OAuth2でサインインしていないため、ログインしません。") + kSignInAgain;
    failure.signInNeeded = true;
    return false;
}

base::Status OAuthTokens::SaveRecord(const config::TokenRecord& record)
{
    return m_store->Write(config::RecordToJson(record));
}

AccessGrant OAuthTokens::Current()
{
    const std::lock_guard lock(m_mutex);
    AccessGrant grant;
    config::TokenRecord record;
    if (!LoadRecord(record, grant)) return grant;
    // An unknown lifetime (0) is used until the server refuses it.
    if (!record.accessToken.isEmpty() && (record.expiresAt == 0 || record.expiresAt - Now() > kRefreshMarginSeconds)) {
        grant.token = record.accessToken.toStdString();
        return grant;
    }
    return Refresh(record, config::OAuthSettings::Load(m_folder));
}

AccessGrant OAuthTokens::RenewAfterRefusal(const std::string& refused)
{
    const std::lock_guard lock(m_mutex);
    AccessGrant grant;
    config::TokenRecord record;
    if (!LoadRecord(record, grant)) return grant;
    // Another connection of this tick renewed it already.
    if (!record.accessToken.isEmpty() && record.accessToken.toStdString() != refused &&
        (record.expiresAt == 0 || record.expiresAt > Now())) {
        grant.token = record.accessToken.toStdString();
        return grant;
    }
    record.expiresAt = 1; // whatever it said, this token is used no more
    return Refresh(record, config::OAuthSettings::Load(m_folder));
}

AccessGrant OAuthTokens::RefusedAfterRenewal(const QString& serverReply)
{
    const std::lock_guard lock(m_mutex);
    AccessGrant grant;
    config::TokenRecord record;
    if (!LoadRecord(record, grant)) return grant;
    return Refuse(record, QStringLiteral("サーバーが更新したばかりのアクセストークンも拒否したため、ログインを止めました（") +
                              serverReply +
                              QStringLiteral("）。アカウント名と、アプリに与えた権限を確かめてから、") + kSignInAgain);
}

AccessGrant OAuthTokens::Refuse(config::TokenRecord& record, const QString& text)
{
    AccessGrant grant;
    record.refusal = text;
    // The refresh token is of no more use; the access token must not be tried again either.
    record.refreshToken.clear();
    record.accessToken.clear();
    record.expiresAt = 0;
    if (const base::Status saved = SaveRecord(record); !saved)
        qWarning("cannot record the refused OAuth2 sign-in in %s: %s", qPrintable(m_store->Where()),
                 qPrintable(saved.ErrorText()));
    grant.failure = text;
    grant.signInNeeded = true;
    grant.firstNotice = true;
    const std::lock_guard statusLock(m_statusMutex);
    m_status = {SignInStatus::State::SignInAgain, QStringLiteral("もう一度サインインしてください"), m_store->Where()};
    return grant;
}

AccessGrant OAuthTokens::Refresh(config::TokenRecord& record, const config::OAuthSettings& settings)
{
    AccessGrant grant;
    const qint64 now = Now();
    const bool stillValid = !record.accessToken.isEmpty() && record.expiresAt > now;
    if (record.refreshToken.isEmpty()) {
        if (stillValid) {
            grant.token = record.accessToken.toStdString();
            return grant;
        }
        return Refuse(record, QStringLiteral("OAuth2のアクセストークンの期限が切れ、更新トークンがないため、ログインを止めました。") +
                                  kSignInAgain);
    }
    const config::OAuthEndpoints endpoints = config::EndpointsOf(settings);
    mail::TokenRequest request;
    request.url = endpoints.tokenUrl.toStdString();
    request.form = {{"grant_type", "refresh_token"}, {"refresh_token", record.refreshToken.toStdString()}};
    for (auto& field : ClientFields(settings))
        request.form.push_back(std::move(field));
    // Microsoft asks for the scopes again on each refresh; others take the grant's scopes.
    if (settings.provider == config::OAuthProvider::Microsoft)
        request.form.emplace_back("scope", endpoints.scope.toStdString());
    const mail::TokenReply reply = mail::RequestTokens(request);
    if (reply.Ok()) {
        record.accessToken = Text(reply.accessToken);
        // Providers that rotate refresh tokens send a new one with each refresh.
        if (!reply.refreshToken.empty()) record.refreshToken = Text(reply.refreshToken);
        record.expiresAt = reply.expiresIn > 0 ? now + reply.expiresIn : 0;
        if (const base::Status saved = SaveRecord(record); !saved)
            qWarning("cannot keep the renewed OAuth2 tokens in %s: %s", qPrintable(m_store->Where()),
                     qPrintable(saved.ErrorText()));
        grant.token = reply.accessToken;
        return grant;
    }
    if (!reply.unanswered && !reply.error.empty()) {
        return Refuse(record, QStringLiteral("OAuth2の更新トークンが拒否されたため、ログインを止めました（") + RefusalText(reply) +
                                  QStringLiteral("）。") + kSignInAgain);
    }
    // Not a verdict on the grant: a token still valid is used, else the next tick tries again.
    if (stillValid) {
        qWarning("cannot renew the OAuth2 access token yet: %s", reply.failure.c_str());
        grant.token = record.accessToken.toStdString();
        return grant;
    }
    grant.failure = QStringLiteral("OAuth2のアクセストークンを更新できないため、今回はログインしません（") +
                    Text(reply.failure) + QStringLiteral("）。次回の監視でもう一度更新します。");
    return grant;
}

base::Result<PendingSignIn> OAuthTokens::BeginSignIn(const config::OAuthSettings& settings, const QString& redirectUri,
                                                     const QString& loginHint) const
{
    if (const QString problem = config::OAuthSettingsProblem(settings); !problem.isEmpty()) return base::Fail(problem);
    const config::OAuthEndpoints endpoints = config::EndpointsOf(settings);
    for (const QString& url : {endpoints.authorizeUrl, endpoints.tokenUrl}) {
        if (const std::string problem = mail::TokenUrlProblem(url.toStdString()); !problem.empty())
            return base::Fail(QStringLiteral("URLが使えません（") + Text(problem) + QStringLiteral("）。"));
    }
    PendingSignIn pending;
    pending.settings = settings;
    pending.redirectUri = redirectUri;
    pending.state = RandomText(16);
    pending.codeVerifier = RandomText(32); // 43 characters of the unreserved set
    QUrl url(endpoints.authorizeUrl);
    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("client_id"), settings.clientId.trimmed());
    query.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    query.addQueryItem(QStringLiteral("redirect_uri"), redirectUri);
    query.addQueryItem(QStringLiteral("scope"), endpoints.scope);
    query.addQueryItem(QStringLiteral("state"), pending.state);
    query.addQueryItem(QStringLiteral("code_challenge"), Challenge(pending.codeVerifier));
    query.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    if (!loginHint.trimmed().isEmpty()) query.addQueryItem(QStringLiteral("login_hint"), loginHint.trimmed());
    for (const auto& [name, value] : endpoints.extraAuthorizeParameters)
        query.addQueryItem(name, value);
    // Every reserved character of a value (":" "/" "+" in URLs and scopes) is sent encoded.
    QUrlQuery encoded;
    for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded))
        encoded.addQueryItem(QString::fromLatin1(QUrl::toPercentEncoding(name)),
                             QString::fromLatin1(QUrl::toPercentEncoding(value)));
    url.setQuery(encoded.query(QUrl::FullyEncoded), QUrl::StrictMode);
    pending.authorizeUrl = url;
    return pending;
}

base::Status OAuthTokens::CompleteSignIn(const PendingSignIn& pending, const QMap<QString, QString>& answer)
{
    if (answer.value(QStringLiteral("state")) != pending.state)
        return base::Fail(QStringLiteral("サインインの応答がこのサインインのものではないため、使いませんでした。もう一度サインインしてください。"));
    if (const QString error = answer.value(QStringLiteral("error")); !error.isEmpty()) {
        const QString description = answer.value(QStringLiteral("error_description"));
        return base::Fail(QStringLiteral("サインインできませんでした（") + error +
                          (description.isEmpty() ? QString() : QStringLiteral(": ") + description) +
                          QStringLiteral("）。"));
    }
    const QString code = answer.value(QStringLiteral("code"));
    if (code.isEmpty()) return base::Fail(QStringLiteral("サインインの応答に認可コードがありませんでした。"));

    mail::TokenRequest request;
    request.url = config::EndpointsOf(pending.settings).tokenUrl.toStdString();
    request.form = {{"grant_type", "authorization_code"},
                    {"code", code.toStdString()},
                    {"redirect_uri", pending.redirectUri.toStdString()},
                    {"code_verifier", pending.codeVerifier.toStdString()}};
    for (auto& field : ClientFields(pending.settings))
        request.form.push_back(std::move(field));
    const mail::TokenReply reply = mail::RequestTokens(request);
    if (!reply.Ok()) {
        return base::Fail(QStringLiteral("トークンを取得できませんでした（") +
                          (reply.error.empty() ? Text(reply.failure) : RefusalText(reply)) + QStringLiteral("）。"));
    }
    const std::lock_guard lock(m_mutex);
    config::TokenRecord record;
    record.accessToken = Text(reply.accessToken);
    record.refreshToken = Text(reply.refreshToken);
    const qint64 now = Now();
    record.expiresAt = reply.expiresIn > 0 ? now + reply.expiresIn : 0;
    record.signedInAt = now;
    if (const base::Status kept = m_store->WriteNew(config::RecordToJson(record)); !kept)
        return base::Fail(QStringLiteral("サインインしましたが、トークンを保管できませんでした（") + kept.ErrorText() +
                          QStringLiteral("）。"));
    const std::lock_guard statusLock(m_statusMutex);
    m_status = ComputeStatus();
    return {};
}

base::Status OAuthTokens::SignOut()
{
    const std::lock_guard lock(m_mutex);
    base::Status removed = m_store->Remove();
    const std::lock_guard statusLock(m_statusMutex);
    m_status = ComputeStatus();
    return removed;
}

SignInStatus OAuthTokens::ComputeStatus()
{
    SignInStatus status;
    status.where = m_store->Where();
    if (!Enabled()) {
        status.text = QStringLiteral("OAuth2は使用していません");
        return status;
    }
    const base::Result<std::optional<QString>> kept = m_store->Read();
    status.where = m_store->Where();
    if (!kept) {
        status.state = SignInStatus::State::StoreUnavailable;
        status.text = QStringLiteral("トークンの保管先を読めません（") + kept.ErrorText() + QStringLiteral("）");
        return status;
    }
    const config::TokenRecord record = kept->has_value() ? config::RecordFromJson(**kept) : config::TokenRecord{};
    if (!record.refusal.isEmpty()) {
        status.state = SignInStatus::State::SignInAgain;
        status.text = QStringLiteral("もう一度サインインしてください");
    } else if (!record.SignedIn()) {
        status.state = SignInStatus::State::SignedOut;
        status.text = QStringLiteral("サインインしていません");
    } else {
        status.state = SignInStatus::State::SignedIn;
        status.text = QStringLiteral("サインイン済み");
        if (record.expiresAt > 0)
            status.text += QStringLiteral("（アクセストークンの期限 ") +
                           QDateTime::fromSecsSinceEpoch(record.expiresAt).toString(QStringLiteral("yyyy/MM/dd HH:mm")) +
                           QStringLiteral("）");
    }
    return status;
}

SignInStatus OAuthTokens::Status()
{
    std::unique_lock lock(m_mutex, std::try_to_lock);
    if (lock.owns_lock()) {
        SignInStatus status = ComputeStatus();
        const std::lock_guard statusLock(m_statusMutex);
        m_status = status;
        return status;
    }
    const std::lock_guard statusLock(m_statusMutex);
    return m_status;
}

} // namespace lw::engine
