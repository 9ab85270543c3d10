#include "base/DurableFiles.h"

#include "base/PosixFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lw::base {
namespace {

std::string NameOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

thread_local FlushBatch* t_batch = nullptr;

// An open file or folder waiting for its flush, with the name its error gives.
struct Pending {
    UniqueFd fd;
    std::string path;
    bool folder; // a folder's entries need fsync, a file's contents fdatasync
};

// Opens each distinct folder holding one of paths, once.
bool OpenFolders(const std::vector<std::string>& paths, std::vector<Pending>& pending, std::string& error)
{
    std::vector<std::string> folders;
    for (const std::string& path : paths) {
        std::string folder = FolderOf(path);
        if (std::find(folders.begin(), folders.end(), folder) != folders.end()) continue;
        UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.Get() < 0) {
            error = SystemReason("cannot open", folder);
            return false;
        }
        pending.push_back({std::move(fd), folder, true});
        folders.push_back(std::move(folder));
    }
    return true;
}

// Opens each file and starts its writeback, so that the flushes find most of it written.
bool OpenFiles(const std::vector<std::string>& paths, std::vector<Pending>& pending, std::string& error)
{
    for (const std::string& path : paths) {
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.Get() < 0) {
            error = SystemReason("cannot open", path);
            return false;
        }
#ifdef __linux__
        // Only a hint: the flush is what counts.
        (void)::sync_file_range(fd.Get(), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
        pending.push_back({std::move(fd), path, false});
    }
    return true;
}

// Flushes everything pending; false with the first failure. Flushing from several threads at
// once was tried: it saved nothing in a poll cycle and cost system time.
bool FlushAll(const std::vector<Pending>& pending, std::string& error)
{
    for (const Pending& p : pending) {
        const int fd = p.fd.Get();
        if ((p.folder ? ::fsync(fd) : ::fdatasync(fd)) != 0) {
            error = SystemReason("cannot flush", p.path);
            return false;
        }
    }
    return true;
}

bool FlushFolders(const std::vector<std::string>& paths, std::string& error)
{
    std::vector<Pending> pending;
    return OpenFolders(paths, pending, error) && FlushAll(pending, error);
}

} // namespace

bool FlushFiles(const std::vector<std::string>& paths, std::string& error, bool withFolders)
{
    std::vector<Pending> pending;
    return OpenFiles(paths, pending, error) && (!withFolders || OpenFolders(paths, pending, error)) &&
           FlushAll(pending, error);
}

FlushBatch::FlushBatch() : m_outer(t_batch)
{
    t_batch = this;
}

FlushBatch::~FlushBatch()
{
    t_batch = m_outer;
}

FlushBatch* FlushBatch::Current()
{
    return t_batch;
}

bool FlushBatch::Flush(std::string& error)
{
    std::vector<std::string> paths;
    std::vector<std::string> names;
    paths.swap(m_paths);
    names.swap(m_names);
    std::vector<Pending> pending;
    if (!OpenFiles(paths, pending, error)) return false;
    paths.insert(paths.end(), names.begin(), names.end());
    return OpenFolders(paths, pending, error) && FlushAll(pending, error);
}

namespace {

// Durable now, or when the calling thread's batch flushes; nameOnly when the contents are.
bool FlushOrDefer(const std::string& target, bool nameOnly, std::string& error)
{
    if (FlushBatch* batch = FlushBatch::Current()) {
        if (nameOnly)
            batch->AddName(target);
        else
            batch->Add(target);
        return true;
    }
    return nameOnly ? FlushFolders({target}, error) : FlushFiles({target}, error);
}

// A second name for source: creating a file costs a hundred times what a link does, and the
// files given here are written once and never changed in place, so sharing the data is safe.
// False (with errno) where the file system cannot link, or target exists and replace is false.
bool Link(const std::string& source, const std::string& target, bool replace)
{
    if (::link(source.c_str(), target.c_str()) == 0) return true;
    if (errno != EEXIST || !replace) return false;
    std::string temporary = FolderOf(target) + "/." + NameOf(target) + ".link";
    ::unlink(temporary.c_str());
    if (::link(source.c_str(), temporary.c_str()) != 0) return false;
    if (::rename(temporary.c_str(), target.c_str()) == 0) {
        // When target already was a name of source, rename leaves both names in place.
        ::unlink(temporary.c_str());
        return true;
    }
    const int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
    return false;
}

} // namespace

bool CopyFileDurably(const std::string& source, const std::string& target, bool replace, std::string& error,
                     CopyDurability durability)
{
    if (Link(source, target, replace))
        return durability == CopyDurability::None ||
               FlushOrDefer(target, durability == CopyDurability::SourceFlushed, error);
    if (errno == EEXIST) {
        error = SystemReason("cannot create", target);
        return false;
    }
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (in.Get() < 0 || ::fstat(in.Get(), &info) != 0) {
        error = SystemReason("cannot read", source);
        return false;
    }
    std::string temporary = FolderOf(target) + "/." + NameOf(target) + ".XXXXXX";
    UniqueFd out(::mkostemp(temporary.data(), O_CLOEXEC));
    if (out.Get() < 0) {
        error = SystemReason("cannot create", temporary);
        return false;
    }
    // From here on the temporary file goes again unless it takes the target's name.
    struct Remove {
        const std::string& path;
        bool keep = false;
        ~Remove()
        {
            if (!keep) ::unlink(path.c_str());
        }
    } remove{temporary};

    std::vector<char> buffer(256 * 1024);
    for (;;) {
        const ssize_t n = ::read(in.Get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = SystemReason("cannot read", source);
            return false;
        }
        if (n == 0) break;
        if (!WriteAll(out.Get(), buffer.data(), static_cast<std::size_t>(n))) {
            error = SystemReason("cannot write", target);
            return false;
        }
    }
    // The copy is private like everything in the program folder, even when its source was not.
    (void)::fchmod(out.Get(), info.st_mode & kOwnerOnlyFile);
    if (!out.Close()) {
        error = SystemReason("cannot write", target);
        return false;
    }
    if (replace) {
        if (::rename(temporary.c_str(), target.c_str()) != 0) {
            error = SystemReason("cannot rename to", target);
            return false;
        }
    } else {
        // link refuses an existing name, which rename would silently replace.
        if (::link(temporary.c_str(), target.c_str()) != 0) {
            error = SystemReason("cannot create", target);
            return false;
        }
        ::unlink(temporary.c_str());
    }
    remove.keep = true;
    return durability == CopyDurability::None || FlushOrDefer(target, false, error);
}

bool ReplaceFileContents(const std::string& path, std::string_view data, std::string& error,
                         const ReplaceOptions& options)
{
    const std::string temporary = path + ".tmp";
    const auto fail = [&](const char* what, const std::string& where) {
        error = SystemReason(what, where);
        ::unlink(temporary.c_str());
        return false;
    };
    {
        // An earlier write's spare is truncated and reused, not created anew.
        UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kOwnerOnlyFile));
        if (fd.Get() < 0) return fail("cannot create", temporary);
        if (::fchmod(fd.Get(), kOwnerOnlyFile) != 0 || !WriteAll(fd.Get(), data.data(), data.size()))
            return fail("cannot write", temporary);
        if ((!options.flushContents && ::fdatasync(fd.Get()) != 0) || !fd.Close()) return fail("cannot sync", temporary);
    }
    if (options.flushContents && !options.flushContents(error)) {
        ::unlink(temporary.c_str());
        return false;
    }
    const bool exchanged = options.keepSpare && ExchangeNames(temporary, path);
    if (!exchanged && ::rename(temporary.c_str(), path.c_str()) != 0) return fail("cannot rename onto", path);
    if (!options.flushFolder) return true;
    UniqueFd folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() < 0 || ::fsync(folder.Get()) != 0) {
        error = SystemReason("cannot flush the folder of", path); // the new name may not survive a crash
        return false;
    }
    return true;
}

} // namespace lw::base
