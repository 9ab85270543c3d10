#pragma once

// libcurl handles and the settings every mail connection shares.

#include <curl/curl.h>

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

// The TLS context callback ApplyCommonOptions installs: gives a new TLS context the system's
// authorities and the extra CA file, read once per process.
CURLcode UseSharedAuthorities(CURL* handle, void* sslContext, void* user);

// "host" with brackets when it is an IPv6 literal, for a URL.
std::string UrlHost(const std::string& host);

// One line for an error: libcurl's buffer if it says something, else the code's text.
std::string CurlErrorText(CURLcode code, const char* errorBuffer);

} // namespace lw::mail
