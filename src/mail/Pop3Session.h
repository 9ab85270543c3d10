#pragma once

// One POP3 session over libcurl: one connection and one login reused by every request until
// the session ends with QUIT (which commits the deletions made in it).

#include "mail/TlsCheck.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lw::mail {

struct Pop3Endpoint {
    std::string host;
    int port = 110;
    bool implicitTls = false; // pop3s: TLS from the first byte
    std::string account;
    std::string password;
    // An OAuth2 access token: set, the login is XOAUTH2 or OAUTHBEARER (whichever the server
    // offers) with it in place of the password, and never without TLS.
    std::string bearerToken{};
    long connectTimeoutSeconds = 10;  // connect, greeting and login
    long requestTimeoutSeconds = 300; // any single request, a long RETR included
    TlsPolicy tls{};
};

// The endpoint of a host as the operator typed it (blanks around it ignored, an optional
// "pop3://" or "pop3s://" prefix) and a port; port 995 or "pop3s://" means implicit TLS.
// Nothing when no host is named or the port is not 1 to 65535.
std::optional<Pop3Endpoint> MakePop3Endpoint(const std::string& host, int port);

// One message as the server lists it.
struct Pop3Message {
    int number = 0;
    std::string uid; // UIDL, or a hash of the headers when the server has no UIDL
};

// Splits multi-line UIDL or LIST data ("n rest" lines) into the message number and the first
// word after it, control bytes in it written as "%XX"; lines without a positive number or
// without a word are skipped.
std::vector<std::pair<int, std::string>> ParsePop3Listing(std::string_view data);

class Pop3Session {
  public:
    explicit Pop3Session(Pop3Endpoint endpoint);
    // Ends the session with QUIT when it is still open.
    ~Pop3Session();
    Pop3Session(const Pop3Session&) = delete;
    Pop3Session& operator=(const Pop3Session&) = delete;

    // Logs in (first request) and lists the messages with their unique ids, in server order.
    // The numbers stay valid for the whole session.
    [[nodiscard]] bool List(std::vector<Pop3Message>& out, std::string& error);
    // Streams message `number` byte-exact to sink; sink returns false to abort. libcurl takes a
    // connection closed in the middle of a message for its end, so the message is known to be
    // complete only once a later request of this session has succeeded (see Confirm), or when
    // as many bytes came as the server announced: announcedOctets, when given, receives the size
    // of the reply line "+OK <size> octets", or -1 when the server named none.
    [[nodiscard]] bool Retrieve(int number, const std::function<bool(const char*, size_t)>& sink,
                                std::string& error, long long* announcedOctets = nullptr);
    // A request that only shows the session still answers (NOOP): everything retrieved before
    // it came whole.
    [[nodiscard]] bool Confirm(std::string& error);
    // Marks message `number` deleted; committed by Quit.
    [[nodiscard]] bool Delete(int number, std::string& error);
    // Sends QUIT and closes the connection.
    void Quit();

    // The last failure was the server refusing the login (for a bearer token: the token).
    bool LoginRefused() const { return m_lastCode == CURLE_LOGIN_DENIED; }
    // The session cannot be used any more (a request failed and the connection was dropped).
    bool Broken() const { return m_broken; }
    const Pop3Endpoint& Endpoint() const { return m_endpoint; }
    // What the session's connections showed of TLS (a refused certificate, a missing STARTTLS).
    const TlsOutcome& Tls() const { return m_tls.Outcome(); }
    // The last List identified messages by header hashes (the server has no UIDL).
    bool UsedHeaderHashes() const { return m_headerHashes; }
    // The session's TLS handshake resumed the session of an earlier connection.
    bool TlsResumed() const { return m_tlsResumed; }
    // The listing of the last List call.
    const std::vector<Pop3Message>& Listing() const { return m_listing; }

    struct Handle; // libcurl state, public for its callbacks

  private:
    bool Perform(const std::string& path, const char* customRequest, bool noBody,
                 const std::function<bool(const char*, size_t)>& sink, std::string& error);
    bool ListByHeaderHash(std::vector<Pop3Message>& out, std::string& error);

    Pop3Endpoint m_endpoint;
    TlsCheck m_tls;
    std::unique_ptr<Handle> m_handle;
    std::vector<Pop3Message> m_listing;
    bool m_broken = false;
    bool m_headerHashes = false;
    bool m_tlsResumed = false;
    int m_lastCode = 0; // CURLcode of the last failure
};

} // namespace lw::mail
