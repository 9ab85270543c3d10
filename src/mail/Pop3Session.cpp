#include "mail/Pop3Session.h"

#include "mail/CurlHandle.h"

#include <QCryptographicHash>

#include <sys/socket.h>

#include <charconv>
#include <map>
#include <string_view>

namespace lw::mail {

struct Pop3Session::Handle {
    explicit Handle(const Pop3Endpoint& e) : tlsSessions(e.host, e.port) {}
    TlsSessionKeeper tlsSessions; // before curl: the connection's last callbacks may still reach it
    CurlPtr curl;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::string lastServerError; // the last "-ERR" line, for the error text
    long long announcedOctets = -1; // from the last "+OK <size> octets" line
    const std::function<bool(const char*, size_t)>* sink = nullptr;
    bool connected = false; // set after the first request: no second connection from then on
};

namespace {

size_t WriteToSink(char* data, size_t size, size_t count, void* user)
{
    auto* handle = static_cast<Pop3Session::Handle*>(user);
    const size_t n = size * count;
    try {
        if (handle->sink == nullptr || (*handle->sink)(data, n)) return n;
    } catch (...) {
    }
    return 0; // aborts the transfer
}

size_t KeepServerError(char* data, size_t size, size_t count, void* user)
{
    auto* handle = static_cast<Pop3Session::Handle*>(user);
    const size_t n = size * count;
    std::string line(data, n);
    if (line.rfind("+OK ", 0) == 0) {
        // "+OK 1234 octets": how many bytes the message has, dot-stuffing and its end undone.
        long long octets = 0;
        const char* first = line.data() + 4;
        const char* last = line.data() + line.size();
        const auto [end, ec] = std::from_chars(first, last, octets);
        if (ec == std::errc() && end != first && std::string_view(end, last - end).rfind(" octets", 0) == 0)
            handle->announcedOctets = octets;
    }
    if (line.rfind("-ERR", 0) == 0) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        handle->lastServerError = line;
    }
    return n;
}

bool ParseNumber(std::string_view text, int& value)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value > 0;
}


// Message numbers are valid only in the connection that listed them: once a session has its
// connection, libcurl may not open another (after a drop it would log in again and a DELE
// would hit whatever message has that number in the new session).
curl_socket_t OpenOnce(void* user, curlsocktype /*purpose*/, curl_sockaddr* address)
{
    auto* handle = static_cast<Pop3Session::Handle*>(user);
    if (handle->connected) return CURL_SOCKET_BAD;
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// Failures that say nothing about the UIDL command itself.
bool IsSessionFailure(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_LOGIN_DENIED:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        return true;
    default:
        return false;
    }
}

} // namespace

std::vector<std::pair<int, std::string>> ParsePop3Listing(std::string_view data)
{
    std::vector<std::pair<int, std::string>> out;
    while (!data.empty()) {
        const auto end = data.find('\n');
        std::string_view line = data.substr(0, end);
        data = end == std::string_view::npos ? std::string_view() : data.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const auto space = line.find(' ');
        if (space == std::string_view::npos) continue;
        int number = 0;
        if (!ParseNumber(line.substr(0, space), number)) continue;
        std::string_view rest = line.substr(space + 1);
        rest = rest.substr(0, rest.find(' '));
        if (rest.empty()) continue;
        // A unique id is printable ASCII; a TAB or other control byte a server sends anyway is
        // written as "%" and two hex digits, so the fetch state (TAB-separated) keeps it whole.
        std::string uid;
        for (const unsigned char c : rest) {
            if (c > 0x20 && c != 0x7F) {
                uid.push_back(static_cast<char>(c));
            } else {
                static const char* hex = "0123456789ABCDEF";
                uid += {'%', hex[c >> 4], hex[c & 15]};
            }
        }
        out.emplace_back(number, std::move(uid));
    }
    return out;
}

std::optional<Pop3Endpoint> MakePop3Endpoint(const std::string& hostText, int port)
{
    Pop3Endpoint e;
    const auto b = hostText.find_first_not_of(" \t\r\n");
    const auto l = hostText.find_last_not_of(" \t\r\n");
    std::string host = b == std::string::npos ? std::string() : hostText.substr(b, l - b + 1);
    if (host.rfind("pop3s://", 0) == 0) {
        e.implicitTls = true;
        host.erase(0, 8);
    } else if (host.rfind("pop3://", 0) == 0) {
        host.erase(0, 7);
    }
    if (host.empty() || port < 1 || port > 65535) return std::nullopt;
    e.host = host;
    e.port = port;
    if (e.port == 995) e.implicitTls = true;
    return e;
}

Pop3Session::Pop3Session(Pop3Endpoint endpoint)
    : m_endpoint(std::move(endpoint)),
      m_tls(m_endpoint.host, PolicyForBearer(m_endpoint.tls, !m_endpoint.bearerToken.empty()))
{
}

Pop3Session::~Pop3Session()
{
    Quit();
}

void Pop3Session::Quit()
{
    // curl sends QUIT when it closes a live connection.
    m_handle.reset();
}

bool Pop3Session::Perform(const std::string& path, const char* customRequest, bool noBody,
                          const std::function<bool(const char*, size_t)>& sink, std::string& error)
{
    if (!m_handle) {
        m_handle = std::make_unique<Handle>(m_endpoint);
        m_handle->curl = NewCurlHandle();
        if (!m_handle->curl) {
            error = "cannot create a libcurl handle";
            m_handle.reset();
            m_broken = true;
            return false;
        }
        CURL* c = m_handle->curl.get();
        ApplyCommonOptions(c, m_endpoint.connectTimeoutSeconds, m_endpoint.requestTimeoutSeconds,
                           m_endpoint.connectTimeoutSeconds * 3);
        curl_easy_setopt(c, CURLOPT_USERNAME, m_endpoint.account.c_str());
        if (!m_endpoint.bearerToken.empty()) {
            // Only the token mechanisms: with a password-less login libcurl would otherwise
            // pick CRAM-MD5 or PLAIN first when the server offers them.
            curl_easy_setopt(c, CURLOPT_XOAUTH2_BEARER, m_endpoint.bearerToken.c_str());
            curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS, "AUTH=OAUTHBEARER;AUTH=XOAUTH2");
        } else {
            curl_easy_setopt(c, CURLOPT_PASSWORD, m_endpoint.password.c_str());
        }
        m_tls.Apply(c, m_endpoint.implicitTls, &m_handle->tlsSessions);
        // The credentials go with the AUTH command itself: one round trip less per login.
        curl_easy_setopt(c, CURLOPT_SASL_IR, 1L);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, m_handle->errorBuffer);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &WriteToSink);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, m_handle.get());
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &KeepServerError);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, m_handle.get());
        curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &OpenOnce);
        curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, m_handle.get());
        // An idle connection is kept for the whole poll cycle instead of being replaced.
        curl_easy_setopt(c, CURLOPT_MAXAGE_CONN, 3600L);
    }
    CURL* c = m_handle->curl.get();
    const std::string url = std::string(m_endpoint.implicitTls ? "pop3s://" : "pop3://") +
                            UrlHost(m_endpoint.host) + ":" + std::to_string(m_endpoint.port) + path;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    // Both persist on the handle: set them on every request.
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, customRequest);
    curl_easy_setopt(c, CURLOPT_NOBODY, noBody ? 1L : 0L);
    m_handle->errorBuffer[0] = '\0';
    m_handle->lastServerError.clear();
    m_handle->announcedOctets = -1;
    m_handle->sink = &sink;
    const CURLcode rc = curl_easy_perform(c);
    m_handle->sink = nullptr;
    // Set after the first request: while connecting, libcurl may try several addresses.
    m_handle->connected = true;
    m_tlsResumed = m_handle->tlsSessions.Resumed();
    m_tls.AfterTransfer(rc);
    if (rc == CURLE_OK) return true;
    error = CurlErrorText(rc, m_handle->errorBuffer);
    if (!m_handle->lastServerError.empty()) error += " (" + m_handle->lastServerError + ")";
    m_lastCode = rc;
    // After a failure curl has closed or quit the connection; the next request starts over.
    m_broken = true;
    m_handle.reset();
    return false;
}

bool Pop3Session::List(std::vector<Pop3Message>& out, std::string& error)
{
    out.clear();
    std::string data;
    const std::function<bool(const char*, size_t)> collect = [&](const char* p, size_t n) {
        data.append(p, n);
        return true;
    };
    if (!Perform("/", "UIDL", false, collect, error)) {
        if (IsSessionFailure(static_cast<CURLcode>(m_lastCode))) return false;
        // No UIDL on this server: identify messages by their headers.
        m_broken = false;
        m_headerHashes = true;
        if (!ListByHeaderHash(out, error)) return false;
        m_listing = out;
        return true;
    }
    for (auto& [number, uid] : ParsePop3Listing(data))
        out.push_back({number, std::move(uid)});
    m_listing = out;
    return true;
}

bool Pop3Session::ListByHeaderHash(std::vector<Pop3Message>& out, std::string& error)
{
    std::string data;
    const std::function<bool(const char*, size_t)> collect = [&](const char* p, size_t n) {
        data.append(p, n);
        return true;
    };
    if (!Perform("/", nullptr, false, collect, error)) return false;
    std::map<std::string, int> seen;
    for (const auto& [number, size] : ParsePop3Listing(data)) {
        (void)size;
        std::string headers;
        const std::function<bool(const char*, size_t)> keep = [&](const char* p, size_t n) {
            headers.append(p, n);
            return true;
        };
        if (!Perform("/", ("TOP " + std::to_string(number) + " 0").c_str(), false, keep, error)) return false;
        std::string uid = "hdr-" + QCryptographicHash::hash(
                                       QByteArrayView(headers.data(), static_cast<qsizetype>(headers.size())),
                                       QCryptographicHash::Sha256)
                                       .toHex()
                                       .left(32)
                                       .toStdString();
        // Identical headers: the n-th copy in server order gets the n-th name.
        if (const int copies = seen[uid]++; copies > 0) uid += "-" + std::to_string(copies + 1);
        out.push_back({number, std::move(uid)});
    }
    return true;
}

bool Pop3Session::Retrieve(int number, const std::function<bool(const char*, size_t)>& sink,
                           std::string& error, long long* announcedOctets)
{
    const bool ok = Perform("/" + std::to_string(number), nullptr, false, sink, error);
    if (announcedOctets != nullptr) *announcedOctets = ok && m_handle ? m_handle->announcedOctets : -1;
    return ok;
}

bool Pop3Session::Confirm(std::string& error)
{
    static const std::function<bool(const char*, size_t)> none = [](const char*, size_t) { return true; };
    return Perform("/", "NOOP", true, none, error);
}

bool Pop3Session::Delete(int number, std::string& error)
{
    static const std::function<bool(const char*, size_t)> none = [](const char*, size_t) { return true; };
    // A single-line reply: without NOBODY curl would wait for a body until the time-out.
    return Perform("/" + std::to_string(number), "DELE", true, none, error);
}

} // namespace lw::mail
