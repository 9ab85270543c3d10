#include "mail/TokenRequest.h"

#include "mail/CurlHandle.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <exception>

namespace lw::mail {

namespace {

size_t Collect(char* data, size_t size, size_t count, void* user)
{
    auto* body = static_cast<std::string*>(user);
    const size_t n = size * count;
    // A token answer is a few kilobytes; anything far larger is not one.
    if (body->size() + n > (1u << 20)) return 0;
    body->append(data, n);
    return n;
}

std::string Escaped(CURL* handle, const std::string& text)
{
    char* escaped = curl_easy_escape(handle, text.c_str(), static_cast<int>(text.size()));
    if (escaped == nullptr) return {};
    std::string out(escaped);
    curl_free(escaped);
    return out;
}

std::string JsonText(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toString().toStdString();
}

} // namespace

std::string TokenUrlProblem(const std::string& url)
{
    const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.host().isEmpty()) return "not a URL: \"" + url + "\"";
    const QString scheme = parsed.scheme().toLower();
    if (scheme == QLatin1String("https")) return {};
    const QString host = parsed.host().toLower();
    const bool loopback = host == QLatin1String("localhost") || host == QLatin1String("::1") ||
                          host.startsWith(QLatin1String("127."));
    if (scheme == QLatin1String("http") && loopback) return {};
    return "the token endpoint must use https: \"" + url + "\"";
}

TokenReply RequestTokens(const TokenRequest& request)
{
    TokenReply reply;
    try {
        if (const std::string problem = TokenUrlProblem(request.url); !problem.empty()) {
            reply.unanswered = true;
            reply.failure = problem;
            return reply;
        }
        CurlPtr handle = NewCurlHandle();
        if (!handle) {
            reply.unanswered = true;
            reply.failure = "cannot create a libcurl handle";
            return reply;
        }
        CURL* c = handle.get();
        std::string form;
        for (const auto& [name, value] : request.form) {
            if (!form.empty()) form += '&';
            form += Escaped(c, name) + '=' + Escaped(c, value);
        }
        std::string body;
        char errorBuffer[CURL_ERROR_SIZE] = {};
        ApplyCommonOptions(c, request.timeoutSeconds, request.timeoutSeconds, request.timeoutSeconds);
        curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
        // A redirect would carry the form (secrets included) to wherever it points.
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https,http");
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, form.c_str());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form.size()));
        CurlList headers;
        headers.reset(curl_slist_append(nullptr, "Accept: application/json"));
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
        const CURLcode rc = curl_easy_perform(c);
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.httpStatus);
        const std::string where = "token endpoint " + request.url + ": ";
        if (rc != CURLE_OK) {
            reply.unanswered = true;
            reply.failure = where + CurlErrorText(rc, errorBuffer);
            return reply;
        }
        QJsonParseError parseError{};
        const QJsonDocument document = QJsonDocument::fromJson(
            QByteArray(body.data(), static_cast<qsizetype>(body.size())), &parseError);
        if (!document.isObject()) {
            reply.unanswered = true;
            reply.failure = where + "HTTP " + std::to_string(reply.httpStatus) + ", no JSON answer";
            return reply;
        }
        const QJsonObject answer = document.object();
        reply.error = JsonText(answer, "error");
        reply.errorDescription = JsonText(answer, "error_description");
        if (reply.httpStatus == 200 && reply.error.empty()) {
            reply.accessToken = JsonText(answer, "access_token");
            reply.refreshToken = JsonText(answer, "refresh_token");
            // Some endpoints give the lifetime as a string.
            const QJsonValue expires = answer.value(QLatin1String("expires_in"));
            reply.expiresIn = expires.isString() ? expires.toString().toLongLong()
                                                 : static_cast<long long>(expires.toDouble());
            if (reply.accessToken.empty()) reply.failure = where + "the answer holds no access token";
            return reply;
        }
        // A server error is not a verdict on the grant: the next attempt may work.
        if (reply.error.empty()) reply.unanswered = true;
        reply.failure = where + "HTTP " + std::to_string(reply.httpStatus) +
                        (reply.error.empty() ? std::string() : " " + reply.error) +
                        (reply.errorDescription.empty() ? std::string() : " (" + reply.errorDescription + ")");
    } catch (const std::exception& e) {
        reply.unanswered = true;
        reply.failure = std::string("token request failed: ") + e.what();
    }
    return reply;
}

} // namespace lw::mail
