#pragma once

// Small pieces shared by the writers that need more than QFile offers: flushes of files and
// folders, links, and errno in their error texts.

#include <string>

namespace lw::mail {

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

// The folder part of a path: "." for a bare name, "/" for a file at the root.
std::string FolderOf(const std::string& path);

// what + " " + path + ": " + the text of the current errno.
std::string SystemReason(const std::string& what, const std::string& path);

} // namespace lw::mail
