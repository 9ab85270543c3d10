#pragma once

// Where the OAuth2 tokens of the mailbox are kept between runs: the desktop's keyring where one
// answers, else an owner-only file in the program folder. The record is one small JSON text.

#include "base/Result.h"

#include <QString>

#include <optional>

namespace lw::config {

// What is kept of a sign-in.
struct TokenRecord {
    QString refreshToken;
    QString accessToken;
    qint64 expiresAt = 0; // seconds since the epoch (UTC); 0: unknown
    // Why the sign-in no longer works (the refresh token was refused): while set, nothing logs in
    // until the operator signs in again.
    QString refusal;
    qint64 signedInAt = 0;

    bool SignedIn() const { return !refreshToken.isEmpty() || !accessToken.isEmpty(); }
};

QString RecordToJson(const TokenRecord& record);
// Nothing is lost on a record of another form: the fields it lacks stay empty.
TokenRecord RecordFromJson(const QString& json);

// A place that keeps one secret text.
class SecretStore {
  public:
    virtual ~SecretStore() = default;

    // The kept text, nothing when none is kept; an error when the place does not answer.
    virtual base::Result<std::optional<QString>> Read() = 0;
    // Replaces the kept text.
    virtual base::Status Write(const QString& secret) = 0;
    // Keeps the text of a new sign-in, in the place preferred for it.
    virtual base::Status WriteNew(const QString& secret) { return Write(secret); }
    // Forgets the text (nothing kept is no failure).
    virtual base::Status Remove() = 0;
    // Where the text is kept, for the operator: "キーリング" or the file's path.
    virtual QString Where() const = 0;
};

// File name of the token file in the program folder.
inline constexpr char kTokenFileName[] = "oauth2-token.json";

// The token file of a program folder: owner-only (0600), replaced whole through a temporary file.
class TokenFile final : public SecretStore {
  public:
    explicit TokenFile(const QString& folder);
    base::Result<std::optional<QString>> Read() override;
    base::Status Write(const QString& secret) override;
    base::Status Remove() override;
    QString Where() const override { return m_path; }
    bool Exists() const;

  private:
    QString m_path;
};

} // namespace lw::config
