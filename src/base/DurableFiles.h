#pragma once

// Durable file writes that share their flushes: a poll cycle writes many small files, and one
// flush of the file system per file costs far more than writing them.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace lw::base {

// Makes the contents of the given files durable, and their names in their folders unless
// withFolders is false (for a caller that flushes the folder itself afterwards). Writeback of
// every file is started before the first flush, so one journal commit covers most of them.
// False with the first failure.
[[nodiscard]] bool FlushFiles(const std::vector<std::string>& paths, std::string& error, bool withFolders = true);

// Files whose flush waits for the end of a larger piece of work on the calling thread. While one
// lives, CopyFileDurably leaves its copies to it; Flush makes them all durable at once.
class FlushBatch {
public:
    FlushBatch();
    ~FlushBatch();
    FlushBatch(const FlushBatch&) = delete;
    FlushBatch& operator=(const FlushBatch&) = delete;

    // The innermost batch of the calling thread, or nullptr.
    static FlushBatch* Current();
    // Adds a file written but not yet flushed.
    void Add(const std::string& path) { m_paths.push_back(path); }
    // Adds a new name of a file whose contents are durable already: only its folder is flushed.
    void AddName(const std::string& path) { m_names.push_back(path); }
    bool Empty() const { return m_paths.empty() && m_names.empty(); }
    // Flushes every file added so far (the list is emptied either way); false with the reason.
    [[nodiscard]] bool Flush(std::string& error);

private:
    std::vector<std::string> m_paths;
    std::vector<std::string> m_names;
    FlushBatch* m_outer;
};

// What CopyFileDurably must make durable before it returns (or leave to the batch).
enum class CopyDurability {
    Contents,       // the contents and the name
    SourceFlushed,  // source was flushed already, so a link needs only its name flushed
    None,           // nothing: the copy repeats data kept durably elsewhere (a part of a saved
                    // message), and no deletion waits for it
};

// Gives target the contents of source. Where the file system allows, target becomes a second
// name of the same file (source must never be changed in place afterwards); else source is
// copied through a temporary file in target's folder that takes the name only when complete, so
// target never holds part of a copy. With replace false an existing target is an error (EEXIST)
// and stays untouched. Durable as durability says on return, or left to the calling thread's
// FlushBatch when one is active. False with the reason.
[[nodiscard]] bool CopyFileDurably(const std::string& source, const std::string& target, bool replace,
                                   std::string& error, CopyDurability durability = CopyDurability::Contents);

// How ReplaceFileContents makes its work durable.
struct ReplaceOptions {
    // Replaces the temporary file's own flush: for a caller that makes it durable together with
    // files written before it (one flush for all). False with the reason.
    std::function<bool(std::string&)> flushContents;
    // False: the caller flushes the folder later; until then a crash of the machine may leave
    // path with its earlier contents, whole.
    bool flushFolder = true;
    // The earlier contents stay under the temporary name, so the next write creates no file
    // (creating one costs more than the write on some file systems). Never for a secret.
    bool keepSpare = false;
};

// Gives path the contents data and never part of them: data is written to path + ".tmp"
// (owner-only, whatever mode a crash left it with), made durable, and takes the name. A failure
// before the rename leaves path untouched and removes the temporary file; false with the reason.
[[nodiscard]] bool ReplaceFileContents(const std::string& path, std::string_view data, std::string& error,
                                       const ReplaceOptions& options = {});

} // namespace lw::base
