// The extractors over the reader's parts: each line of the input is one part, its kind named by
// a leading keyword ("from:", "to:", "subject:", "date:", "body:", "file:", "nofile:"; anything
// else is body text), so the fuzzer reaches every extractor with any value.
#include "FuzzSupport.h"
#include "mail/ReceivedMail.h"

#include <cstdlib>
#include <string_view>

namespace {

lw::mail::MessagePart PartOf(std::string_view line)
{
    using lw::mail::PartKind;
    for (const PartKind kind : {PartKind::Subject, PartKind::From, PartKind::To, PartKind::Date, PartKind::Body,
                                PartKind::Attachment, PartKind::NoAttachment}) {
        const std::string_view keyword = lw::mail::PartKeyword(kind);
        if (line.substr(0, keyword.size()) == keyword) return {kind, std::string(line.substr(keyword.size()))};
    }
    return {PartKind::Body, std::string(line)};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    lw::mail::MessageParts parts;
    parts.attachmentFolder = (lw::fuzz::ScratchFolder() + "attachments").toStdString();
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        parts.parts.push_back(PartOf(rest.substr(0, end)));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    lw::mail::ReceivedMail mail;
    mail.file = lw::fuzz::ScratchFolder() + "message.eml";
    QString mailText;
    lw::mail::ExtractParts(parts, mail, &mailText);

    if (mail.attachmentCount < 0 || mail.attachmentCount > lw::mail::kMaxAttachments) std::abort();
    for (int i = mail.attachmentCount; i < lw::mail::kMaxAttachments; ++i)
        if (!mail.attachments[static_cast<std::size_t>(i)].isEmpty()) std::abort();
    // Only a From part fills the sender, only a To part the recipient.
    bool from = false, to = false;
    for (const auto& part : parts.parts) {
        from = from || part.kind == lw::mail::PartKind::From;
        to = to || part.kind == lw::mail::PartKind::To;
    }
    if ((!from && (!mail.fromAddress.isEmpty() || !mail.fromName.isEmpty())) ||
        (!to && (!mail.toAddress.isEmpty() || !mail.toName.isEmpty())))
        std::abort();
    (void)lw::mail::MayProcess(mail);
    return 0;
}
