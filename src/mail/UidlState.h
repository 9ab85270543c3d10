#pragma once

// Which messages of one mailbox were already delivered, kept as a small file in the work folder
// so that a message is never handed over twice, across calls and restarts.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace lw::mail {

class UidlState {
  public:
    // Where a delivered message stands. A stored one is in the work folder, waiting to be handled;
    // a deleted one was handled and its deletion decided, not yet confirmed by the server.
    enum class Stage { Handled, Stored, Delete };

    struct Entry {
        std::string uidl;
        std::string baseName; // file name given to the stored message (with extension)
        Stage stage = Stage::Handled;
        int handOuts = 0; // times a Stored message was handed out for handling
    };

    // The state file of host + account in folder (the work folder).
    static std::string PathOf(const std::string& folder, const std::string& host, const std::string& account);
    // A file-system-safe form of a UIDL: [A-Za-z0-9._-] kept, every other byte "_".
    static std::string SafeName(const std::string& uidl);

    // Reads the state of host + account from folder; a missing file is an empty state.
    // False (with the reason) when the file exists but cannot be read.
    [[nodiscard]] bool Load(const std::string& folder, const std::string& host, const std::string& account,
                            std::string& error);
    // Writes the state whole or not at all (base::ReplaceFileContents, the spare file kept). When syncAll is given it replaces the
    // file's own fsync and must make the temporary file and everything written before it durable
    // (one flush for the messages and the state).
    [[nodiscard]] bool Save(std::string& error, const std::function<bool(std::string&)>& syncAll = {},
                            bool flushFolder = true) const;

    // Base name recorded for a UIDL, if delivered.
    const Entry* FindUidl(const std::string& uidl) const;
    // Entry recorded under a base name.
    const Entry* FindBaseName(const std::string& baseName) const;
    Entry* FindBaseName(const std::string& baseName);
    // Keeps only the entries whose UIDL the server still lists, and those stored and not yet
    // handled (the work folder holds them whatever the server does).
    void Retain(const std::unordered_set<std::string_view>& serverUidls);
    // A base name for a new UIDL, unique among the recorded ones; not recorded yet.
    std::string NewBaseName(const std::string& uidl, const std::vector<std::string>& alsoTaken) const;
    // Records a delivered message.
    void Add(std::string uidl, std::string baseName, Stage stage = Stage::Handled, int handOuts = 0);
    // Forgets the entry of a base name (its message is fetched again).
    void Erase(const std::string& baseName);

    const std::vector<Entry>& Entries() const { return m_entries; }
    std::vector<Entry>& Entries() { return m_entries; }
    const std::string& Path() const { return m_path; }

    // Connection details of the last fetch, so that a deletion given only the bare host can
    // reach the same server.
    int port = 110;
    bool implicitTls = false;

  private:
    void Reindex();

    std::string m_folder;
    std::string m_path;
    std::vector<Entry> m_entries;
    // Positions in m_entries by UIDL: a mailbox that keeps its mail on the server has every
    // message it ever delivered here, and each fetch looks up every message the server lists.
    std::unordered_map<std::string, std::size_t> m_byUidl;
};

} // namespace lw::mail
