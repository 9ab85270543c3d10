#include "engine/mail/CurlHandle.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace lw::mail {

namespace {

// TLS sessions and DNS answers shared by every handle, so that the next connection to the same
// server resumes its TLS session instead of a full handshake.
std::mutex g_shareLocks[CURL_LOCK_DATA_LAST];

void LockShare(CURL*, curl_lock_data data, curl_lock_access, void*)
{
    g_shareLocks[data].lock();
}
void UnlockShare(CURL*, curl_lock_data data, void*)
{
    g_shareLocks[data].unlock();
}

CURLSH* Share()
{
    static CURLSH* share = [] {
        CURLSH* s = curl_share_init();
        if (s != nullptr) {
            curl_share_setopt(s, CURLSHOPT_LOCKFUNC, &LockShare);
            curl_share_setopt(s, CURLSHOPT_UNLOCKFUNC, &UnlockShare);
            curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
            curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        }
        return s; // lives as long as the process
    }();
    return share;
}

} // namespace

CurlPtr NewCurlHandle()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CurlPtr handle(curl_easy_init());
    if (handle && Share() != nullptr) curl_easy_setopt(handle.get(), CURLOPT_SHARE, Share());
    return handle;
}

void ApplyCommonOptions(CURL* handle, long connectSeconds, long requestSeconds, long stallSeconds)
{
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    // An extra authority (private or test) beside the system store.
    if (const char* ca = std::getenv("LARCHWATCHER_CA_FILE"); ca != nullptr && *ca != '\0') {
        curl_easy_setopt(handle, CURLOPT_CAINFO, ca);
        std::error_code ec;
        if (std::filesystem::is_directory("/etc/ssl/certs", ec))
            curl_easy_setopt(handle, CURLOPT_CAPATH, "/etc/ssl/certs");
    }
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, connectSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, requestSeconds);
    // A server that stops sending mid-request is given up long before the overall limit.
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, stallSeconds);
}

std::string UrlHost(const std::string& host)
{
    if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
    return host;
}

std::string CurlErrorText(CURLcode code, const char* errorBuffer)
{
    if (errorBuffer != nullptr && *errorBuffer != '\0') return errorBuffer;
    return curl_easy_strerror(code);
}

} // namespace lw::mail
