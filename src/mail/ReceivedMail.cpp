#include "mail/ReceivedMail.h"

#include "base/TextTrim.h"

#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QTime>

#include <algorithm>

namespace lw::mail {

namespace {


// 1-based position of keyword in the part, letter case ignored; 0 when it is absent or its first
// occurrence starts at limit or later. Only the head of the part can hold such a keyword, so only
// the head is searched: body parts can be long.
qsizetype KeywordAt(QStringView part, QStringView keyword, qsizetype limit)
{
    const qsizetype index = part.left(limit - 2 + keyword.size()).indexOf(keyword, 0, Qt::CaseInsensitive);
    return index < 0 ? 0 : index + 1;
}

// Text of part from 1-based position `from` on (everything when from <= 1).
QStringView From(const QString& part, qsizetype from)
{
    const qsizetype index = from - 1;
    if (index >= part.size()) return {};
    return QStringView(part).mid(index < 0 ? 0 : index);
}

// Shared by the from and to extractors: the fields differ, the rule is the same.
void ExtractAddressPart(const QString& part, QStringView keyword, qsizetype limit, qsizetype bareStart,
                        QString& address, QString& name)
{
    if (!address.isEmpty()) return;
    const qsizetype position = KeywordAt(part, keyword, limit);
    if (position == 0) return;

    const qsizetype lt = part.indexOf(u'<');
    const qsizetype quote = part.indexOf(u'"');
    const auto takeBracketed = [&] {
        const qsizetype gt = part.indexOf(u'>');
        if (gt >= 0 && lt < gt) address = base::TrimAsciiWhitespace(QStringView(part).mid(lt + 1, gt - lt - 1));
    };

    if (quote >= 0 && lt >= 0) {
        takeBracketed();
        const qsizetype closing = part.indexOf(u'"', quote + 1);
        if (closing >= 0) name = base::TrimAsciiWhitespace(QStringView(part).mid(quote + 1, closing - quote - 1));
    } else if (lt < 0) {
        // Fixed start: the keyword is assumed to open the part.
        address = base::TrimAsciiWhitespace(From(part, bareStart));
    } else {
        takeBracketed();
        // p is the character after the colon (normally the blank); the name starts after it.
        const qsizetype p = position + keyword.size();
        const qsizetype nameStart = p; // 0-based index of 1-based position p + 1
        if (nameStart > part.size()) return;
        const qsizetype nameEnd = part.indexOf(u'<', nameStart);
        if (nameEnd >= 0) name = base::TrimAsciiWhitespace(QStringView(part).mid(nameStart, nameEnd - nameStart));
    }
}

bool Digits(QStringView text, int& value)
{
    if (text.isEmpty() || text.size() > 4) return false;
    value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9') return false;
        value = value * 10 + (c.unicode() - u'0');
    }
    return true;
}

// Local date texts: "yyyy/M/d", "yyyy-M-d", each optionally followed by a blank (or "T") and
// "H:m" or "H:m:s" (a fraction of a second is dropped). Anything else is not a date.
QDateTime ParseLocalDate(const QString& text)
{
    QStringView rest(text);
    qsizetype split = rest.indexOf(u' ');
    if (split < 0) split = rest.indexOf(u'T');
    const QStringView datePart = split < 0 ? rest : rest.left(split);
    const QString timeText = split < 0 ? QString() : base::TrimAsciiWhitespace(rest.mid(split + 1));
    const QStringView timePart(timeText);

    const QChar separator = datePart.contains(u'/') ? u'/' : u'-';
    const auto dateFields = datePart.split(separator);
    if (dateFields.size() != 3 || dateFields[0].size() != 4) return {};
    int year = 0, month = 0, day = 0;
    if (!Digits(dateFields[0], year) || !Digits(dateFields[1], month) || !Digits(dateFields[2], day))
        return {};
    const QDate date(year, month, day);
    if (!date.isValid()) return {};

    int hour = 0, minute = 0, second = 0;
    if (!timePart.isEmpty()) {
        QStringView clock = timePart;
        const qsizetype dot = clock.indexOf(u'.');
        if (dot >= 0) {
            int fraction = 0;
            if (!Digits(clock.mid(dot + 1).left(4), fraction)) return {};
            clock = clock.left(dot);
        }
        const auto timeFields = clock.split(u':');
        if (timeFields.size() < 2 || timeFields.size() > 3) return {};
        if (!Digits(timeFields[0], hour) || !Digits(timeFields[1], minute)) return {};
        if (timeFields.size() == 3 && !Digits(timeFields[2], second)) return {};
        if (timeFields[0].size() > 2 || timeFields[1].size() > 2) return {};
    }
    const QTime time(hour, minute, second);
    if (!time.isValid()) return {};
    return QDateTime(date, time, Qt::LocalTime);
}

void ExtractSubject(const QString& part, ReceivedMail& mail)
{
    if (const qsizetype at = KeywordAt(part, u"subject:", 10); at != 0)
        mail.subject = base::TrimAsciiWhitespace(From(part, at + 8));
}

void ExtractDate(const QString& part, ReceivedMail& mail)
{
    if (const qsizetype at = KeywordAt(part, u"date:", 7); at != 0) {
        const QDateTime moment = ParseLocalDate(base::TrimAsciiWhitespace(From(part, at + 5)));
        if (moment.isValid()) mail.received = moment;
    }
}

void ExtractBody(const QString& part, ReceivedMail& mail)
{
    if (const qsizetype at = KeywordAt(part, u"body:", 7); at != 0) mail.body = base::TrimAsciiWhitespace(From(part, at + 5));
}

void ExtractAttachmentText(const QString& part, ReceivedMail& mail)
{
    if (part.contains(u"nofile:", Qt::CaseInsensitive)) return;
    const qsizetype at = KeywordAt(part, u"file:", 7);
    if (at == 0) return;
    // The record has room for kMaxAttachments paths; later ones are dropped, never written past it.
    if (mail.attachmentCount < 0 || mail.attachmentCount >= kMaxAttachments) return;
    mail.attachments[static_cast<std::size_t>(mail.attachmentCount)] = base::TrimAsciiWhitespace(From(part, at + 5));
    ++mail.attachmentCount;
}

// The one extractor of a kind, on the part's text.
void ApplyExtractor(PartKind kind, const QString& text, ReceivedMail& mail)
{
    switch (kind) {
    case PartKind::From:
        ExtractAddressPart(text, u"from:", 7, 6, mail.fromAddress, mail.fromName);
        break;
    case PartKind::To:
        ExtractAddressPart(text, u"to:", 5, 4, mail.toAddress, mail.toName);
        break;
    case PartKind::Subject:
        ExtractSubject(text, mail);
        break;
    case PartKind::Date:
        ExtractDate(text, mail);
        break;
    case PartKind::Body:
        ExtractBody(text, mail);
        break;
    case PartKind::Attachment:
        ExtractAttachmentText(text, mail);
        break;
    case PartKind::NoAttachment:
        break;
    }
}

} // namespace

void ExtractFrom(const MessagePart& part, ReceivedMail& mail)
{
    if (part.kind == PartKind::From) ExtractAll(part, mail);
}

void ExtractTo(const MessagePart& part, ReceivedMail& mail)
{
    if (part.kind == PartKind::To) ExtractAll(part, mail);
}

void ExtractSubjectDateBody(const MessagePart& part, ReceivedMail& mail)
{
    if (part.kind == PartKind::Subject || part.kind == PartKind::Date || part.kind == PartKind::Body)
        ExtractAll(part, mail);
}

void ExtractAttachment(const MessagePart& part, ReceivedMail& mail)
{
    if (part.kind == PartKind::Attachment) ExtractAll(part, mail);
}

void ExtractAll(const MessagePart& part, ReceivedMail& mail)
{
    ApplyExtractor(part.kind, QString::fromStdString(PartText(part)), mail);
}

void ExtractParts(const MessageParts& parts, ReceivedMail& mail, QString* mailText)
{
    mail.attachmentFolder = QString::fromStdString(parts.attachmentFolder);
    if (mailText != nullptr) mailText->clear();
    for (const MessagePart& part : parts.parts) {
        const QString text = QString::fromStdString(PartText(part));
        ApplyExtractor(part.kind, text, mail);
        if (mailText != nullptr) *mailText += text + QStringLiteral("\r\n");
    }
}

QString MailText(const MessageParts& parts)
{
    QString text;
    for (const MessagePart& part : parts.parts)
        text += QString::fromStdString(PartText(part)) + QStringLiteral("\r\n");
    return text;
}

QString AttachmentFolderOf(const QString& messageFile)
{
    return messageFile + QStringLiteral(".files");
}

bool IsFileInFolder(const QString& path, const QString& folder)
{
    if (path.isEmpty() || folder.isEmpty()) return false;
    const QFileInfo info(path);
    const QString canonicalFolder = QFileInfo(folder).canonicalFilePath();
    if (!info.isFile() || canonicalFolder.isEmpty()) return false;
    const QString canonicalFile = info.canonicalFilePath();
    return !canonicalFile.isEmpty() && QFileInfo(canonicalFile).path() == canonicalFolder;
}

QString SenderLogText(const ReceivedMail& mail)
{
    return QStringLiteral("]:from<") + mail.fromAddress + u'>' + mail.fromName;
}

bool MayProcess(const ReceivedMail& mail)
{
    return !mail.subject.contains(u"returned mail", Qt::CaseInsensitive);
}

QString BaseName(const QString& path)
{
    qsizetype cut = path.lastIndexOf(u'/');
    const QChar native = QDir::separator();
    if (native != u'/') cut = std::max(cut, path.lastIndexOf(native));
    return path.mid(cut + 1);
}

} // namespace lw::mail
