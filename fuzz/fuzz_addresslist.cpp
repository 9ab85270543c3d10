// Address list normalisation: arbitrary text as a typed list. The result is lower case with no
// blank, ";" or full-width blank left, TAB-separated without empty elements unless the input
// brought its own TABs, and normalising it again changes nothing.
#include "FuzzSupport.h"
#include "mail/AddressList.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString typed = QString::fromUtf8(lw::fuzz::Bytes(data, size));
    const QString list = lw::mail::NormaliseAddressList(typed);
    if (list != list.toLower() || list.contains(u' ') || list.contains(u';') || list.contains(QChar(0x3000)))
        std::abort();
    if (!typed.contains(u'\t') && !list.isEmpty()) {
        for (const QString& element : list.split(u'\t'))
            if (element.isEmpty()) std::abort();
    }
    if (lw::mail::NormaliseAddressList(list) != list) std::abort();
    return 0;
}
