#pragma once

#include "mail/MessageParts.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>

namespace lw::mail {

inline constexpr int kMaxAttachments = 100;

// One received message as the engine passes it around, filled from the parts ReadMail gives.
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
    // The folder the reader wrote this message's attachment files into; an attachment path is
    // only ever used (saved, opened, removed) when it names a file directly inside it.
    QString attachmentFolder;
};

// Each extractor takes only parts of its own kind and ignores every other part; inside its
// part the cuts are made on the part's text (keyword + value), at the same fixed places.
// From extractor: fills fromAddress/fromName from a From part while fromAddress is empty.
void ExtractFrom(const MessagePart& part, ReceivedMail& mail);
// To extractor: fills toAddress/toName from a To part while toAddress is empty.
void ExtractTo(const MessagePart& part, ReceivedMail& mail);
// Subject, date and body extractor: a later part of the same kind overwrites the value.
void ExtractSubjectDateBody(const MessagePart& part, ReceivedMail& mail);
// Attachment extractor: an attachment part adds its path; more than kMaxAttachments are dropped.
void ExtractAttachment(const MessagePart& part, ReceivedMail& mail);
// Applies the four extractors in their fixed order.
void ExtractAll(const MessagePart& part, ReceivedMail& mail);
// Fills mail from every part (and attachmentFolder from the reader's folder); when mailText is
// given, it becomes the text of every part, each followed by CR LF.
void ExtractParts(const MessageParts& parts, ReceivedMail& mail, QString* mailText = nullptr);
// The text of every part, each followed by CR LF: what the notice and the viewer show.
QString MailText(const MessageParts& parts);

// The folder of a stored message's own attachment files: a folder per message, so a name
// that many messages carry never has to be probed past all its earlier copies.
QString AttachmentFolderOf(const QString& messageFile);

// True when path names an existing file directly inside folder, once links are resolved: the
// only place an attachment the reader wrote can be.
bool IsFileInFolder(const QString& path, const QString& folder);

// The part of a log line after a message's id: "]:from<address>name".
QString SenderLogText(const ReceivedMail& mail);

// Returned-mail test: false when the subject contains "returned mail" in any letter case.
bool MayProcess(const ReceivedMail& mail);

// Text after the last path separator (the whole text when there is none).
QString BaseName(const QString& path);

} // namespace lw::mail
