#include "mail/TlsCheck.h"

#include "mail/CurlHandle.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <ctime>
#include <memory>

namespace lw::mail {

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

std::string NameText(const X509_NAME* name)
{
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr) return {};
    // UTF-8 kept as it is instead of escaped byte by byte.
    if (X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

std::string TimeText(const ASN1_TIME* time)
{
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return {};
    char text[32];
    return std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm) > 0 ? std::string(text) : std::string();
}

std::string Fingerprint(const X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return {};
    static const char* const hex = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i > 0) text += ':';
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

bool IsIpLiteral(const std::string& host)
{
    return host.find(':') != std::string::npos ||
           host.find_first_not_of("0123456789.") == std::string::npos;
}

} // namespace

struct TlsCheck::Callbacks {
    // Runs in place of the chain verification: the system's verdict first; a certificate the
    // system does not trust passes only when it is the pinned one.
    static int Verify(X509_STORE_CTX* store, void* user)
    {
        auto* check = static_cast<TlsCheck*>(user);
        try {
            if (!check->m_policy.pinnedFingerprint.empty()) {
                // libcurl's own name check is off while a pin exists (the pinned certificate may
                // name another host): the name is checked here for every certificate the system
                // trusts, together with its chain and dates.
                X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(store);
                std::string host = check->m_host;
                if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
                if (IsIpLiteral(host))
                    X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
                else
                    X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
            }
            if (X509_verify_cert(store) == 1) return 1;
            X509* leaf = X509_STORE_CTX_get0_cert(store);
            if (leaf == nullptr) return 0;
            ServerCertificate certificate;
            certificate.subject = NameText(X509_get_subject_name(leaf));
            certificate.issuer = NameText(X509_get_issuer_name(leaf));
            certificate.notBefore = TimeText(X509_get0_notBefore(leaf));
            certificate.notAfter = TimeText(X509_get0_notAfter(leaf));
            certificate.fingerprint = Fingerprint(leaf);
            certificate.problem = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
            if (!certificate.fingerprint.empty() && certificate.fingerprint == check->m_policy.pinnedFingerprint) {
                X509_STORE_CTX_set_error(store, X509_V_OK);
                return 1;
            }
            check->m_outcome.refused = std::move(certificate);
        } catch (...) {
        }
        return 0;
    }

    static void Info(const SSL* ssl, int where, int /*ret*/)
    {
        if ((where & SSL_CB_HANDSHAKE_DONE) == 0) return;
        auto* check = static_cast<TlsCheck*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
        if (check != nullptr) check->m_outcome.tlsUsed = true;
    }

    static CURLcode Context(CURL* handle, void* sslContext, void* user)
    {
        auto* context = static_cast<SSL_CTX*>(sslContext);
        auto* check = static_cast<TlsCheck*>(user);
        SSL_CTX_set_app_data(context, user);
        SSL_CTX_set_cert_verify_callback(context, &Verify, user);
        SSL_CTX_set_info_callback(context, &Info);
        check->m_handshakeStarted = true;
        // Last, so that the session keeper chains onto the callbacks set above.
        return UseSharedAuthorities(handle, sslContext, check->m_sessions);
    }
};

std::string NormalFingerprint(const std::string& text)
{
    std::string hex;
    for (const char c : text) {
        if (c == ':' || c == ' ' || c == '\t') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 64) return {};
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        if (i > 0) out += ':';
        out += hex.substr(i, 2);
    }
    return out;
}

TlsPolicy PolicyForBearer(TlsPolicy policy, bool bearer)
{
    if (bearer) policy.requireTls = true;
    return policy;
}

TlsCheck::TlsCheck(std::string host, TlsPolicy policy) : m_host(std::move(host)), m_policy(std::move(policy))
{
    m_policy.pinnedFingerprint = NormalFingerprint(m_policy.pinnedFingerprint);
}

void TlsCheck::Apply(CURL* handle, bool implicitTls, TlsSessionKeeper* sessions)
{
    m_sessions = sessions;
    if (curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, &Callbacks::Context) == CURLE_OK) {
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, this);
        if (!m_policy.pinnedFingerprint.empty()) curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    // Without its TLS context a pin cannot be checked: the system's verdict stands alone.
    if (!implicitTls)
        curl_easy_setopt(handle, CURLOPT_USE_SSL,
                         static_cast<long>(m_policy.requireTls ? CURLUSESSL_ALL : CURLUSESSL_TRY));
}

void TlsCheck::AfterTransfer(CURLcode code)
{
    // libcurl ends the session after the capability list, before any credential, when the
    // required STARTTLS is not offered.
    if (code == CURLE_USE_SSL_FAILED && m_policy.requireTls && !m_handshakeStarted) m_outcome.tlsMissing = true;
}

} // namespace lw::mail
