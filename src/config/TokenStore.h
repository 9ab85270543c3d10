#pragma once

// Where the OAuth2 tokens of the mailbox are kept between runs: the desktop's keyring where one
// answers, else an owner-only file in the program folder. The record is one small JSON text.

#include <QString>

#include <memory>

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

    enum class ReadResult { Found, Missing, Unavailable };
    // The kept text; Unavailable (with the reason) when the place does not answer.
    virtual ReadResult Read(QString& secret, QString& error) = 0;
    // Replaces the kept text; false with the reason.
    [[nodiscard]] virtual bool Write(const QString& secret, QString& error) = 0;
    // Keeps the text of a new sign-in, in the place preferred for it.
    [[nodiscard]] virtual bool WriteNew(const QString& secret, QString& error) { return Write(secret, error); }
    // Forgets the text (nothing kept is no failure); false with the reason.
    [[nodiscard]] virtual bool Remove(QString& error) = 0;
    // Where the text is kept, for the operator: "キーリング" or the file's path.
    virtual QString Where() const = 0;
};

// File name of the token file in the program folder.
inline constexpr char kTokenFileName[] = "oauth2-token.json";

// The token file of a program folder: owner-only (0600), replaced whole through a temporary file.
class TokenFile final : public SecretStore {
  public:
    explicit TokenFile(const QString& folder);
    ReadResult Read(QString& secret, QString& error) override;
    [[nodiscard]] bool Write(const QString& secret, QString& error) override;
    [[nodiscard]] bool Remove(QString& error) override;
    QString Where() const override { return m_path; }
    bool Exists() const;

  private:
    QString m_path;
};

} // namespace lw::config
