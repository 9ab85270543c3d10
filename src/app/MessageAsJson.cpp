// --inspect: shows how one stored message is read and what the engine extracts from it.

#include "app/Modes.h"

#include "mail/ReceivedMail.h"
#include "mail/Transport.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdio>

namespace lw::app {

namespace {

// The folder the attachments go to: the one asked for, else a new temporary folder that is kept
// (the printed paths must stay usable after the program ends).
bool AttachmentFolder(const QString& asked, QString& folder, QString& error)
{
    if (!asked.isEmpty()) {
        if (!QDir().mkpath(asked)) {
            error = QStringLiteral("cannot create the attachment folder %1").arg(asked);
            return false;
        }
        folder = QFileInfo(asked).absoluteFilePath();
        return true;
    }
    QTemporaryDir temporary(QDir::tempPath() + QStringLiteral("/larchwatcher-inspect-XXXXXX"));
    if (!temporary.isValid()) {
        error = QStringLiteral("cannot create a temporary folder: %1").arg(temporary.errorString());
        return false;
    }
    temporary.setAutoRemove(false);
    folder = temporary.path();
    return true;
}

QJsonObject Describe(const mail::MessageParts& parts, const mail::ReceivedMail& mail)
{
    QJsonArray partArray;
    for (const mail::MessagePart& part : parts.parts)
        partArray.append(QString::fromStdString(mail::PartText(part)));
    QJsonArray attachments;
    for (int i = 0; i < mail.attachmentCount; ++i)
        attachments.append(mail.attachments[static_cast<std::size_t>(i)]);
    QJsonObject object;
    object.insert(QStringLiteral("parts"), partArray);
    object.insert(QStringLiteral("file"), mail.file);
    object.insert(QStringLiteral("subject"), mail.subject);
    object.insert(QStringLiteral("fromAddress"), mail.fromAddress);
    object.insert(QStringLiteral("fromName"), mail.fromName);
    object.insert(QStringLiteral("toAddress"), mail.toAddress);
    object.insert(QStringLiteral("toName"), mail.toName);
    object.insert(QStringLiteral("received"),
                  mail.received.isValid() ? mail.received.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"))
                                          : QString());
    object.insert(QStringLiteral("body"), mail.body);
    object.insert(QStringLiteral("attachments"), attachments);
    object.insert(QStringLiteral("attachmentCount"), mail.attachmentCount);
    object.insert(QStringLiteral("mayProcess"), mail::MayProcess(mail));
    return object;
}

} // namespace

int RunInspect(const QString& file, const QString& attachmentsTo)
{
    QString folder;
    QString error;
    if (!AttachmentFolder(attachmentsTo, folder, error)) {
        std::fprintf(stderr, "larchwatcher: %s\n", qUtf8Printable(error));
        return 1;
    }
    const QString path = QFileInfo(file).absoluteFilePath();
    const auto parts =
        mail::ReadMail(path.toStdString(), "subject:from:to:date:nofile:", folder.toStdString());
    if (!parts) {
        std::fprintf(stderr,
                     "larchwatcher: %s cannot be read as a message (missing, unreadable or no header)\n",
                     qUtf8Printable(file));
        if (attachmentsTo.isEmpty()) QDir(folder).removeRecursively();
        return 1;
    }
    mail::ReceivedMail mail;
    mail.file = path;
    mail::ExtractParts(*parts, mail);
    // A temporary folder that received nothing is not worth keeping.
    if (attachmentsTo.isEmpty() && QDir(folder).isEmpty()) QDir(folder).removeRecursively();
    const QByteArray json = QJsonDocument(Describe(*parts, mail)).toJson(QJsonDocument::Indented);
    std::fwrite(json.constData(), 1, static_cast<std::size_t>(json.size()), stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace lw::app
