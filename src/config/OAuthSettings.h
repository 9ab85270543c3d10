#pragma once

// The OAuth2 sign-in of the mailbox, beyond the 26 settings: kept in a section of its own in the
// settings file, so that an older file reads the same and, without a provider, nothing changes.
// Keys: "provider" ("microsoft", "google", "custom"; empty or missing: no OAuth2), "clientid",
// "clientsecret", "tenant" (Microsoft: "common", "organizations" or the directory's ID or domain),
// "authurl", "tokenurl", "scope" (custom provider), "redirectport" (0 or missing: any free port).

#include "base/Result.h"

#include <QString>
#include <QList>
#include <QPair>
#include <QStringList>

namespace lw::config {

// The section of these settings in the settings file.
inline constexpr char kOAuthSection[] = "oauth2";

enum class OAuthProvider { None, Microsoft, Google, Custom };

struct OAuthSettings {
    OAuthProvider provider = OAuthProvider::None;
    QString clientId;
    QString clientSecret; // empty: none sent (a public client)
    QString tenant;       // Microsoft only; empty means "common"
    QString authorizeUrl; // custom provider only
    QString tokenUrl;     // custom provider only
    QString scope;        // custom provider only: scopes separated by blanks
    int redirectPort = 0;

    // The mailbox signs in with OAuth2.
    bool Enabled() const { return provider != OAuthProvider::None; }

    // Reads the section of the settings file in folder; a missing file or section gives None.
    static OAuthSettings Load(const QString& folder);
};

// Writes the section into the settings file of folder, keeping every other line; the reason when
// the file cannot be read or written.
base::Status SaveOAuthSettings(const QString& folder, const OAuthSettings& settings);

// The provider's name in the settings file, and back (unknown names give None).
QString ProviderKey(OAuthProvider provider);
OAuthProvider ProviderFromKey(const QString& key);

// Where the provider signs in and issues tokens, and what it is asked for.
struct OAuthEndpoints {
    QString authorizeUrl;
    QString tokenUrl;
    QString scope;
    // Extra authorization parameters the provider needs to hand out a refresh token.
    QList<QPair<QString, QString>> extraAuthorizeParameters;
};

// The endpoints of the settings' provider: the presets for Microsoft 365 (authority
// https://login.microsoftonline.com/ and the tenant) and Google, the typed ones for a custom
// provider.
OAuthEndpoints EndpointsOf(const OAuthSettings& settings);

// Why the settings cannot be used for a sign-in (no client ID, a custom provider without its
// URLs or scope), or empty.
QString OAuthSettingsProblem(const OAuthSettings& settings);

} // namespace lw::config
