#pragma once

// The TLS rules of one mail connection: TLS that a man in the middle cannot strip, and a server
// certificate the system does not trust accepted only when it is exactly the one the operator
// trusted for that server and port.

#include <curl/curl.h>

#include <optional>
#include <string>

namespace lw::mail {

class TlsSessionKeeper;

// A server certificate as the operator is shown it. Texts are UTF-8.
struct ServerCertificate {
    std::string subject;     // distinguished name, RFC 2253 order ("CN=mail.example.jp,O=...")
    std::string issuer;
    std::string notBefore;   // "2025-01-31 09:00:00 UTC"
    std::string notAfter;
    std::string fingerprint; // SHA-256 of the whole certificate (DER), "AB:CD:..." in upper case
    std::string problem;     // why the system does not trust it ("self-signed certificate")
};

// What a connection must have before it logs in.
struct TlsPolicy {
    // No login without TLS: a server that offers no STARTTLS is left before any credential.
    bool requireTls = false;
    // Fingerprint of a certificate the operator trusts for this server and port although the
    // system does not; empty: none.
    std::string pinnedFingerprint;
};

// What the connections of one session or send showed.
struct TlsOutcome {
    bool tlsUsed = false;    // a TLS handshake was completed (STARTTLS or implicit TLS)
    bool tlsMissing = false; // TLS was required and the server offered none: nothing was sent
    // A certificate that was refused: the system does not trust it and it is not the pinned one.
    std::optional<ServerCertificate> refused;
};

// The policy of a connection that logs in with a bearer token: TLS required whatever the policy
// says, since whoever reads the token can use it as the account's password until it expires.
TlsPolicy PolicyForBearer(TlsPolicy policy, bool bearer);

// "ab cd:EF..." or plain hex of 32 bytes in "AB:CD:..." form; empty when it is not 32 bytes.
std::string NormalFingerprint(const std::string& text);

// The checks of one handle. Must outlive every transfer of the handles it was applied to.
class TlsCheck {
  public:
    TlsCheck(std::string host, TlsPolicy policy);

    // Sets the handle's TLS options: verification as ApplyCommonOptions sets it, the pinned
    // certificate accepted in place of a system-trusted one, and STARTTLS required or tried.
    // Call after ApplyCommonOptions; implicitTls: the URL starts TLS itself. sessions, when
    // given, keeps and offers the handle's TLS sessions (it takes the handle's context data).
    void Apply(CURL* handle, bool implicitTls, TlsSessionKeeper* sessions = nullptr);

    // Call after each transfer with its result: records a required TLS the server did not offer.
    void AfterTransfer(CURLcode code);

    const TlsPolicy& Policy() const { return m_policy; }
    const TlsOutcome& Outcome() const { return m_outcome; }

    // For the TLS library's callbacks.
    struct Callbacks;

  private:
    std::string m_host;
    TlsPolicy m_policy;
    TlsOutcome m_outcome;
    bool m_handshakeStarted = false;
    TlsSessionKeeper* m_sessions = nullptr;
};

} // namespace lw::mail
