#pragma once

// Small pieces shared by the writers that need more than QFile offers: flushes of files and
// folders, links, and errno in their error texts.

#include <cstddef>
#include <string>

#include <sys/types.h>

namespace lw::base {

// One open file descriptor, closed when it goes.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    UniqueFd& operator=(UniqueFd&&) = delete;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    // Closes now, so that a failing close is seen (a full disk can show only there).
    [[nodiscard]] bool Close();

private:
    int m_fd;
};

// Modes of everything the program creates in its folder: private mail, history and the log
// (which holds command passwords) are for the owner alone, whatever the umask says.
inline constexpr mode_t kOwnerOnlyFile = 0600;
inline constexpr mode_t kOwnerOnlyFolder = 0700;

// Creates one folder level owner-only (the mode set exactly, not through the umask). True when
// the folder exists afterwards; an existing folder keeps its mode.
[[nodiscard]] bool MakeOwnerOnlyFolder(const std::string& path);

// Creates the folder and every missing parent owner-only; levels that exist keep their mode.
[[nodiscard]] bool MakeOwnerOnlyFolders(const std::string& path);

// Writes all of data to fd, retrying after signals; false with errno set when it could not
// (a write of nothing counts as a full disk).
[[nodiscard]] bool WriteAll(int fd, const char* data, std::size_t size);

// Swaps the names of two existing files in one step; false (errno set) where either is missing
// or the file system cannot.
[[nodiscard]] bool ExchangeNames(const std::string& a, const std::string& b);

// The folder part of a path: "." for a bare name, "/" for a file at the root.
std::string FolderOf(const std::string& path);

// what + " " + path + ": " + the text of the current errno.
std::string SystemReason(const std::string& what, const std::string& path);

} // namespace lw::base
