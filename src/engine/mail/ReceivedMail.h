#pragma once

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>

namespace lw::mail {

inline constexpr int kMaxAttachments = 100;

// One received message as the engine passes it around, filled from the part list of ReadMail.
struct ReceivedMail {
    QString file;          // full path of the stored message file
    QString subject;
    QString fromAddress;
    QString fromName;
    QString toAddress;
    QString toName;
    QDateTime received;    // invalid (null) stands for the zero date: no usable Date
    QString body;
    std::array<QString, kMaxAttachments> attachments;
    std::int16_t attachmentCount = 0;
};

// From extractor: fills fromAddress/fromName from a "from:" part while fromAddress is empty.
void ExtractFrom(const QString& part, ReceivedMail& mail);
// To extractor: fills toAddress/toName from a "to:" part while toAddress is empty.
void ExtractTo(const QString& part, ReceivedMail& mail);
// Subject, date and body extractor: the first matching keyword of the three wins.
void ExtractSubjectDateBody(const QString& part, ReceivedMail& mail);
// Attachment extractor: a "file:" part adds its path; more than kMaxAttachments are dropped.
void ExtractAttachment(const QString& part, ReceivedMail& mail);
// Applies the four extractors in their fixed order.
void ExtractAll(const QString& part, ReceivedMail& mail);

// Returned-mail test: false when the subject contains "returned mail" in any letter case.
bool MayProcess(const ReceivedMail& mail);

// Text after the last path separator (the whole text when there is none).
QString BaseName(const QString& path);

} // namespace lw::mail
