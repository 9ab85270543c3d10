#pragma once

// libcurl handles and the settings every mail connection shares.

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace lw::mail {

struct CurlEasyCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlPtr = std::unique_ptr<CURL, CurlEasyCleanup>;

struct CurlSlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlSlistFree>;

// A new easy handle with libcurl initialised once per process; null when out of memory.
CurlPtr NewCurlHandle();

// Certificates verified (an extra CA file from LARCHWATCHER_CA_FILE), no signals, and the
// given time-outs: connectSeconds for connect, greeting and login, requestSeconds per request,
// stallSeconds without a byte from the server.
void ApplyCommonOptions(CURL* handle, long connectSeconds, long requestSeconds, long stallSeconds);

// Offers a connection the TLS session kept from an earlier connection to the same host and
// port under the same authorities, and keeps the sessions it makes for the next one. libcurl
// resumes sessions itself only for TLS from the first byte: it files a session made after
// STARTTLS under the TLS scheme and looks it up under the plain one. A kept session is one whose
// certificate chain and host name were verified against the authorities it is filed under.
class TlsSessionKeeper {
  public:
    TlsSessionKeeper(const std::string& host, int port);
    TlsSessionKeeper(const TlsSessionKeeper&) = delete;
    TlsSessionKeeper& operator=(const TlsSessionKeeper&) = delete;

    // A handle gets it through the TLS check (TlsCheck::Apply), which installs it on each
    // TLS context; the keeper must outlive the handle.
    // The last TLS handshake on that handle resumed an earlier session.
    bool Resumed() const { return m_resumed; }

    // For the TLS library's callbacks.
    struct Hooks;

  private:
    std::string m_key;
    bool m_resumed = false;
    int (*m_nextNewSession)(SSL*, SSL_SESSION*) = nullptr;
    void (*m_nextInfo)(const SSL*, int, int) = nullptr;
};

// The TLS context callback ApplyCommonOptions installs: gives a new TLS context the system's
// authorities and the extra CA file, read once per process.
CURLcode UseSharedAuthorities(CURL* handle, void* sslContext, void* user);

// "host" with brackets when it is an IPv6 literal, for a URL.
std::string UrlHost(const std::string& host);

// One line for an error: libcurl's buffer if it says something, else the code's text.
std::string CurlErrorText(CURLcode code, const char* errorBuffer);

} // namespace lw::mail
