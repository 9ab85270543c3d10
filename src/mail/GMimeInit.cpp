#include "mail/GMimeInit.h"

#include <gmime/gmime.h>
#include <iconv.h>

#include <mutex>
#include <vector>

namespace lw::mail {

void EnsureGMime()
{
    static std::once_flag once;
    std::call_once(once, [] {
        g_mime_init();
        // The parser opens and closes a converter for every encoded header it meets; holding one
        // converter per common charset for the life of the process keeps the C library's charset
        // modules loaded, instead of loading and unloading them for every message.
        static const char* kCommon[] = {"ISO-2022-JP",  "SHIFT_JIS", "CP932",      "EUC-JP",
                                        "EUC-KR",       "CP949",     "ISO-8859-1", "ISO-8859-15",
                                        "WINDOWS-1252", "GB18030",   "BIG5",       "UTF-16"};
        struct Pinned {
            std::vector<iconv_t> converters;
            ~Pinned()
            {
                for (iconv_t cd : converters)
                    iconv_close(cd);
            }
        };
        static Pinned pinned;
        for (const char* charset : kCommon) {
            iconv_t cd = iconv_open("UTF-8", charset);
            if (cd != reinterpret_cast<iconv_t>(-1)) pinned.converters.push_back(cd);
        }
    });
}

} // namespace lw::mail
