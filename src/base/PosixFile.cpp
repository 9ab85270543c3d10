#include "base/PosixFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lw::base {

UniqueFd::~UniqueFd()
{
    if (m_fd >= 0) ::close(m_fd);
}

bool UniqueFd::Close()
{
    const int fd = m_fd;
    m_fd = -1;
    return ::close(fd) == 0;
}

bool ExchangeNames(const std::string& a, const std::string& b)
{
#ifdef RENAME_EXCHANGE
    return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0;
#else
    (void)a;
    (void)b;
    errno = ENOSYS;
    return false;
#endif
}

bool MakeOwnerOnlyFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), kOwnerOnlyFolder) == 0) return ::chmod(path.c_str(), kOwnerOnlyFolder) == 0;
    struct stat st {};
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeOwnerOnlyFolders(const std::string& path)
{
    if (path.empty()) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const std::string parent = FolderOf(path);
    if (parent != path && parent != "." && parent != "/" && !MakeOwnerOnlyFolders(parent)) return false;
    return MakeOwnerOnlyFolder(path);
}

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string FolderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string SystemReason(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

} // namespace lw::base
