#include "mail/CurlHandle.h"

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

struct SessionFree {
    void operator()(SSL_SESSION* session) const { SSL_SESSION_free(session); }
};
using SessionPtr = std::unique_ptr<SSL_SESSION, SessionFree>;

// The kept TLS sessions, by host, port and authorities.
std::mutex g_sessionsMutex;
std::map<std::string, SessionPtr>& ResumableTlsSessions()
{
    static std::map<std::string, SessionPtr> sessions;
    return sessions;
}

int KeeperIndex()
{
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

} // namespace

struct TlsSessionKeeper::Hooks {
    static TlsSessionKeeper* Of(const SSL* ssl)
    {
        return static_cast<TlsSessionKeeper*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), KeeperIndex()));
    }

    // libcurl creates a context per connection, so the context carries its keeper.
    static void Install(SSL_CTX* context, TlsSessionKeeper* keeper)
    {
        if (SSL_CTX_set_ex_data(context, KeeperIndex(), keeper) != 1) return;
        keeper->m_resumed = false;
        keeper->m_nextNewSession = SSL_CTX_sess_get_new_cb(context);
        keeper->m_nextInfo = SSL_CTX_get_info_callback(context);
        // New sessions reach the context's callback only with the client cache switched on.
        SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL);
        SSL_CTX_sess_set_new_cb(context, &NewSession);
        SSL_CTX_set_info_callback(context, &Info);
    }

    // A session the server made (at the end of the handshake, or later as a ticket).
    static int NewSession(SSL* ssl, SSL_SESSION* session)
    {
        TlsSessionKeeper* keeper = Of(ssl);
        if (keeper == nullptr) return 0;
        // Only a session of a verified connection is kept, so a resumption inherits a verification.
        if (SSL_get_verify_result(ssl) == X509_V_OK && SSL_SESSION_is_resumable(session) == 1 &&
            SSL_SESSION_up_ref(session) == 1) {
            std::lock_guard lock(g_sessionsMutex);
            ResumableTlsSessions()[keeper->m_key].reset(session);
        }
        return keeper->m_nextNewSession != nullptr ? keeper->m_nextNewSession(ssl, session) : 0;
    }

    static void Info(const SSL* ssl, int where, int value)
    {
        TlsSessionKeeper* keeper = Of(ssl);
        if (keeper != nullptr && (where & SSL_CB_HANDSHAKE_START) != 0 && SSL_get_session(ssl) == nullptr) {
            // Before the first message of the handshake, when libcurl found no session of its own.
            std::lock_guard lock(g_sessionsMutex);
            const auto kept = ResumableTlsSessions().find(keeper->m_key);
            if (kept != ResumableTlsSessions().end())
                (void)SSL_set_session(const_cast<SSL*>(ssl), kept->second.get());
        }
        if (keeper != nullptr && (where & SSL_CB_HANDSHAKE_DONE) != 0)
            keeper->m_resumed = SSL_session_reused(ssl) == 1;
        if (keeper != nullptr && keeper->m_nextInfo != nullptr) keeper->m_nextInfo(ssl, where, value);
    }
};

// Gives a new TLS context the shared authorities, and its keeper of sessions when it has one.
CURLcode UseSharedAuthorities(CURL*, void* sslContext, void* keeper)
{
    X509_STORE* store = Authorities(ExtraCaFile());
    if (store == nullptr) return CURLE_SSL_CACERT_BADFILE;
    X509_STORE_up_ref(store);
    auto* context = static_cast<SSL_CTX*>(sslContext);
    SSL_CTX_set_cert_store(context, store);
    if (keeper != nullptr) TlsSessionKeeper::Hooks::Install(context, static_cast<TlsSessionKeeper*>(keeper));
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

TlsSessionKeeper::TlsSessionKeeper(const std::string& host, int port)
    // The authorities are those of the extra CA file besides the system's, read once per file.
    : m_key(host + '\n' + std::to_string(port) + '\n' + ExtraCaFile())
{
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
