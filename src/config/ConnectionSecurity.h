#pragma once

// How the program connects to its servers, beyond the 26 settings: kept in a section of its own
// in the settings file, so that an older file reads the same and an older program ignores it.
// Keys: "requiretls" (1: no login without TLS, from the first connection on), one
// "tls.<protocol>.<account>@<host>" per server and account once reached over TLS, and one
// "pin.<host>:<port>" per server certificate the operator trusts although the system does not.

#include "base/Result.h"
#include "config/IniFile.h"

#include <QString>

#include <mutex>

namespace lw::config {

// The section of these settings in the settings file.
inline constexpr char kConnectionSection[] = "connection";

// A snapshot of the section, read from the settings file of a program folder.
class ConnectionSecurity {
  public:
    // Reads the settings file in folder; a missing file or section gives no rules.
    static ConnectionSecurity Load(const QString& folder);

    // TLS is required from the start for every server.
    bool RequireTlsAlways() const { return m_requireAlways; }
    // This server and account were reached over TLS before (or TLS is required always).
    bool TlsRequired(const QString& protocol, const QString& host, const QString& account) const;
    // The fingerprint trusted for host and port ("AB:CD:..."), or empty.
    QString PinnedFingerprint(const QString& host, int port) const;

  private:
    IniFile m_ini;
    bool m_requireAlways = false;
};

// Records that protocol ("pop3", "smtp") reached host as account over TLS: from then on no login
// there goes without it. The reason when the settings file cannot be written.
base::Status RememberTls(const QString& folder, const QString& protocol, const QString& host,
                         const QString& account);

// Sets "requiretls" (on: no login without TLS, from the first connection on). An absent key
// stays absent while off, so that an older file keeps its form.
base::Status SetRequireTls(const QString& folder, bool on);

// Trusts exactly the certificate of this fingerprint for host and port (replacing an earlier one).
base::Status TrustCertificate(const QString& folder, const QString& host, int port, const QString& fingerprint);

// Serialises the updates of a settings file within the process: the window's save and a tick's
// record of a TLS server each read the file, change it and write it whole.
std::mutex& SettingsFileMutex();

} // namespace lw::config
