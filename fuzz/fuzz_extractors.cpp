// The extractors over the reader's parts: each line of the input is one part ("from:…",
// "to:…", "subject:…", "date:…", "body:…", "file:…" or anything else), applied in order.
#include "FuzzSupport.h"
#include "engine/mail/ReceivedMail.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(lw::fuzz::Bytes(data, size));
    lw::mail::ReceivedMail mail;
    mail.file = lw::fuzz::ScratchFolder() + "message.eml";
    for (const QString& part : text.split(u'\n')) lw::mail::ExtractAll(part, mail);
    // A body part may hold line breaks: the whole input as one part as well.
    lw::mail::ReceivedMail whole;
    lw::mail::ExtractAll(text, whole);

    if (mail.attachmentCount < 0 || mail.attachmentCount > lw::mail::kMaxAttachments) std::abort();
    for (int i = mail.attachmentCount; i < lw::mail::kMaxAttachments; ++i)
        if (!mail.attachments[static_cast<std::size_t>(i)].isEmpty()) std::abort();
    (void)lw::mail::MayProcess(mail);
    (void)lw::mail::BaseName(mail.fromAddress);
    return 0;
}
