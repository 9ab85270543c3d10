#include "mail/ForwardMark.h"

#include "base/PosixFile.h"

#include <QDir>
#include <QFile>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lw::mail {
namespace {

constexpr std::size_t kKeyBytes = 32;

std::string Hex(const unsigned char* data, std::size_t size)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

// The secret as its file holds it: 64 hex digits and an optional line end.
std::optional<std::string> ReadKey(const std::string& path, std::string& error)
{
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.Get() < 0) {
        error = base::SystemReason("cannot read", path);
        return std::nullopt;
    }
    char text[2 * kKeyBytes + 2] = {};
    const ssize_t n = ::read(fd.Get(), text, sizeof text);
    std::string key(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (!key.empty() && key.back() == '\n') key.pop_back();
    if (key.size() != 2 * kKeyBytes || key.find_first_not_of("0123456789abcdef") != std::string::npos) {
        error = path + " does not hold a key";
        return std::nullopt;
    }
    return key;
}

// Writes a new secret through a temporary file that takes the name only when complete and only
// when no other secret took it first, so a key in use is never replaced.
bool MakeKey(const std::string& path, std::string& error)
{
    std::array<unsigned char, kKeyBytes> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        error = "no random bytes for a new key";
        return false;
    }
    const std::string text = Hex(bytes.data(), bytes.size()) + "\n";
    const std::string temporary = path + ".tmp";
    ::unlink(temporary.c_str());
    {
        base::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, base::kOwnerOnlyFile));
        if (fd.Get() < 0 || ::fchmod(fd.Get(), base::kOwnerOnlyFile) != 0 ||
            ::write(fd.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
            ::fsync(fd.Get()) != 0 || !fd.Close()) {
            error = base::SystemReason("cannot write", temporary);
            ::unlink(temporary.c_str());
            return false;
        }
    }
    const bool linked = ::link(temporary.c_str(), path.c_str()) == 0 || errno == EEXIST;
    if (!linked) error = base::SystemReason("cannot create", path);
    ::unlink(temporary.c_str());
    return linked;
}

} // namespace

base::Result<std::string> OpaqueForwardMark(const QString& programFolder, const std::string& identity)
{
    const std::string path = QFile::encodeName(QDir(programFolder).filePath(kForwardMarkKeyFile)).toStdString();
    std::string error;
    if (::access(path.c_str(), F_OK) != 0 && !MakeKey(path, error)) return base::Fail(QString::fromStdString(error));
    const std::optional<std::string> key = ReadKey(path, error);
    if (!key) return base::Fail(QString::fromStdString(error));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (HMAC(EVP_sha256(), key->data(), static_cast<int>(key->size()),
             reinterpret_cast<const unsigned char*>(identity.data()), identity.size(), digest, &size) == nullptr)
        return base::Fail(QStringLiteral("HMAC-SHA256 failed"));
    return Hex(digest, size);
}

} // namespace lw::mail
