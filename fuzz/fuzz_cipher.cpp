// The password unscrambler on text it never produced: the first byte splits key and text.
#include "FuzzSupport.h"
#include "config/Cipher.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::size_t keyLength = std::min<std::size_t>(data[0], size - 1);
    const QByteArray key = lw::fuzz::Bytes(data + 1, keyLength);
    const QByteArray text = lw::fuzz::Bytes(data + 1 + keyLength, size - 1 - keyLength);

    (void)lw::config::Unscramble(text, key);

    // Whatever is scrambled must come back byte for byte.
    if (!key.isEmpty() && !text.isEmpty() &&
        lw::config::Unscramble(lw::config::Scramble(text, key), key) != text)
        std::abort();
    return 0;
}
