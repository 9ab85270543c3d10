// Reading a stored message: arbitrary bytes through the part reader and the four extractors.
#include "FuzzSupport.h"
#include "mail/ReceivedMail.h"
#include "mail/Transport.h"

#include <QDir>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString file = lw::fuzz::WriteInput("message.eml", data, size);
    const QString attachments = lw::fuzz::ScratchFolder() + "attachments";
    QDir(attachments).removeRecursively();
    QDir().mkpath(attachments);

    const auto parts = lw::mail::ReadMail(file.toStdString(), "subject:from:to:date:nofile:",
                                          attachments.toStdString());
    if (!parts) return 0;
    lw::mail::ReceivedMail mail;
    mail.file = file;
    QString mailText;
    lw::mail::ExtractParts(*parts, mail, &mailText);
    for (int i = 0; i < mail.attachmentCount; ++i)
        if (!lw::mail::IsFileInFolder(mail.attachments[static_cast<std::size_t>(i)], attachments))
            __builtin_trap();
    (void)lw::mail::MayProcess(mail);
    (void)lw::mail::ForwardMarks(file.toStdString());
    return 0;
}
