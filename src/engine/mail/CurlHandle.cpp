#include "engine/mail/CurlHandle.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <map>
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

struct StoreFree {
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;

// The trusted authorities for an extra CA file (empty: none), read once per process. Read anew
// for every connection, the system's bundle of some 150 certificates cost more than the whole
// TLS handshake, on every poll and every forward.
X509_STORE* Authorities(const std::string& extraFile)
{
    static std::mutex mutex;
    static std::map<std::string, StorePtr> stores;
    std::lock_guard lock(mutex);
    StorePtr& store = stores[extraFile];
    if (!store) {
        StorePtr made(X509_STORE_new());
        if (!made || X509_STORE_set_default_paths(made.get()) != 1) return nullptr;
        if (!extraFile.empty() && X509_STORE_load_file(made.get(), extraFile.c_str()) != 1) return nullptr;
        // As libcurl does: a trusted intermediate certificate is enough.
        X509_STORE_set_flags(made.get(), X509_V_FLAG_PARTIAL_CHAIN);
        store = std::move(made);
    }
    return store.get();
}

std::string ExtraCaFile()
{
    const char* ca = std::getenv("LARCHWATCHER_CA_FILE");
    return ca != nullptr ? std::string(ca) : std::string();
}

} // namespace

CURLcode UseSharedAuthorities(CURL*, void* sslContext, void*)
{
    X509_STORE* store = Authorities(ExtraCaFile());
    if (store == nullptr) return CURLE_SSL_CACERT_BADFILE;
    X509_STORE_up_ref(store);
    SSL_CTX_set_cert_store(static_cast<SSL_CTX*>(sslContext), store);
    return CURLE_OK;
}

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
    // The system's authorities and an extra one (private or test) from LARCHWATCHER_CA_FILE,
    // read once and shared by every connection. libcurl is still given the extra file, which it
    // reads too, so that a TLS session is resumed only under the authorities that verified it.
    const std::string extra = ExtraCaFile();
    const char* extraFile = extra.empty() ? nullptr : extra.c_str();
    if (curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, &UseSharedAuthorities) == CURLE_OK) {
        curl_easy_setopt(handle, CURLOPT_CAINFO, extraFile);
        curl_easy_setopt(handle, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    } else if (extraFile != nullptr) { // another TLS library: libcurl reads the files itself
        curl_easy_setopt(handle, CURLOPT_CAINFO, extraFile);
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
