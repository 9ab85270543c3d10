#include "mail/CurlHandle.h"
#include "mail/SmtpSend.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>

namespace lw::mail {
namespace {

struct Upload {
    const std::string* data = nullptr;
    size_t offset = 0;
    std::string firstRefusal; // the first 4xx/5xx reply line
    std::string lastReply;
};

size_t ReadUpload(char* buffer, size_t size, size_t count, void* user)
{
    auto* upload = static_cast<Upload*>(user);
    const size_t n = std::min(size * count, upload->data->size() - upload->offset);
    std::memcpy(buffer, upload->data->data() + upload->offset, n);
    upload->offset += n;
    return n;
}

// Server replies arrive here; the first refusal names the reason of a failed send, since
// libcurl's own error text is empty for refusals and failed logins.
size_t KeepReply(char* data, size_t size, size_t count, void* user)
{
    auto* upload = static_cast<Upload*>(user);
    const size_t n = size * count;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.size() >= 3 && (line[0] == '4' || line[0] == '5') &&
        std::isdigit(static_cast<unsigned char>(line[1])) &&
        std::isdigit(static_cast<unsigned char>(line[2]))) {
        if (upload->firstRefusal.empty()) upload->firstRefusal = line;
    }
    upload->lastReply = line;
    return n;
}

std::string Send(const SmtpRequest& r, const std::string& message, TlsCheck& tls, bool& loginRefused)
{
    CurlPtr handle = NewCurlHandle();
    if (!handle) return "cannot create a libcurl handle";
    CURL* c = handle.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Upload upload;
    upload.data = &message;

    const std::string url =
        std::string(r.implicitTls ? "smtps://" : "smtp://") + UrlHost(r.host) + ":" + std::to_string(r.port);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    // The configured time-out bounds the connect and any silence; the whole send gets twice that
    // plus one second per 50 KB, since a server that stops answering a command is not "slow".
    const long total = 2 * r.timeoutSeconds + static_cast<long>(message.size() / 50000);
    ApplyCommonOptions(c, r.timeoutSeconds, total, r.timeoutSeconds);
    tls.Apply(c, r.implicitTls);
    if (!r.account.empty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, r.account.c_str());
        if (!r.bearerToken.empty()) {
            curl_easy_setopt(c, CURLOPT_XOAUTH2_BEARER, r.bearerToken.c_str());
            curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS, "AUTH=OAUTHBEARER;AUTH=XOAUTH2");
        } else {
            curl_easy_setopt(c, CURLOPT_PASSWORD, r.password.c_str());
        }
        if (r.bearerToken.empty() && !r.mechanism.empty()) {
            const std::string option = "AUTH=" + r.mechanism;
            curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS, option.c_str());
        }
    }
    const std::string mailFrom = r.nullReversePath ? std::string("<>") : "<" + r.from.address + ">";
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, mailFrom.c_str());
    CurlList recipients;
    for (const auto* list : {&r.to, &r.cc, &r.bcc}) {
        for (const std::string& a : *list) {
            curl_slist* grown = curl_slist_append(recipients.get(), ("<" + a + ">").c_str());
            if (grown == nullptr) return "out of memory";
            recipients.release();
            recipients.reset(grown);
        }
    }
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.get());
    // One refused recipient must not stop delivery to the others.
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, &ReadUpload);
    curl_easy_setopt(c, CURLOPT_READDATA, &upload);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &KeepReply);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &upload);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);

    const CURLcode rc = curl_easy_perform(c);
    tls.AfterTransfer(rc);
    loginRefused = rc == CURLE_LOGIN_DENIED;
    const std::string where = "SMTP " + r.host + ":" + std::to_string(r.port) + ": ";
    if (rc != CURLE_OK) {
        if (!upload.firstRefusal.empty()) return where + upload.firstRefusal;
        return where + CurlErrorText(rc, errorBuffer);
    }
    // Delivered, but some recipient was refused: say which, so the log shows it.
    if (!upload.firstRefusal.empty())
        return where + "not every recipient was accepted: " + upload.firstRefusal;
    return {};
}

} // namespace

TransportStatus SendRequest(const SmtpRequest& request)
{
    try {
        std::string error;
        const std::optional<SmtpRequest> r = NormalisedRequest(request, error);
        if (!r) return {error};
        if (r->to.empty() && r->cc.empty() && r->bcc.empty()) return {"no recipient address"};
        std::string message;
        if (!BuildOutgoingMessage(*r, message, error)) return {error};
        const bool bearer = !r->bearerToken.empty() && !r->account.empty();
        TlsCheck tls(r->host, PolicyForBearer(r->tls, bearer));
        bool loginRefused = false;
        std::string failure = Send(*r, message, tls, loginRefused);
        TransportStatus status(std::move(failure), tls.Outcome());
        status.loginRefused = loginRefused;
        return status;
    } catch (const std::exception& e) {
        return {std::string("SMTP failure: ") + e.what()};
    } catch (...) {
        return {"SMTP failure"};
    }
}

} // namespace lw::mail
