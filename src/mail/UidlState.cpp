#include "mail/UidlState.h"

#include "base/DurableFiles.h"
#include "base/PosixFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <utility>

namespace lw::mail {
namespace {

constexpr const char* kMagic = "LarchWatcher-UIDL 2";
// Files of the first version have no stages: every entry there was handled.
constexpr const char* kMagicFirst = "LarchWatcher-UIDL 1";

bool SafeChar(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

} // namespace

std::string UidlState::SafeName(const std::string& uidl)
{
    std::string out;
    out.reserve(uidl.size());
    for (unsigned char c : uidl)
        out.push_back(SafeChar(c) ? static_cast<char>(c) : '_');
    // A leading dot would hide the file; an empty UIDL still needs a name.
    if (out.empty() || out.front() == '.') out.insert(out.begin(), 'm');
    return out;
}

std::string UidlState::PathOf(const std::string& folder, const std::string& host, const std::string& account)
{
    std::string name = "pop3-state-";
    for (unsigned char c : host + "@" + account) {
        if (SafeChar(c) || c == '@') {
            name.push_back(static_cast<char>(c));
        } else {
            static const char* hex = "0123456789ABCDEF";
            name.push_back('%');
            name.push_back(hex[c >> 4]);
            name.push_back(hex[c & 15]);
        }
    }
    return folder + "/" + name + ".uidl";
}

bool UidlState::Load(const std::string& folder, const std::string& host, const std::string& account,
                     std::string& error)
{
    m_folder = folder;
    m_path = PathOf(folder, host, account);
    m_entries.clear();
    m_byUidl.clear();
    port = 110;
    implicitTls = false;
    struct stat st {};
    if (::stat(m_path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        error = base::SystemReason("cannot read", m_path);
        return false;
    }
    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
        error = base::SystemReason("cannot read", m_path);
        return false;
    }
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (first) {
            first = false;
            if (line != kMagic && line != kMagicFirst) {
                error = "not a UIDL state file: " + m_path;
                return false;
            }
            continue;
        }
        if (line.rfind("port ", 0) == 0) {
            port = std::atoi(line.c_str() + 5);
            continue;
        }
        if (line == "tls implicit") {
            implicitTls = true;
            continue;
        }
        const auto tab = line.find('\t');
        if (tab == std::string::npos || tab == 0 || tab + 1 == line.size()) continue; // damaged line
        // A UIDL holds no blank, so a second TAB starts the stage.
        const auto stageTab = line.find('\t', tab + 1);
        std::string uidl = line.substr(tab + 1, stageTab == std::string::npos ? std::string::npos : stageTab - tab - 1);
        if (uidl.empty()) continue;
        Stage stage = Stage::Handled;
        int handOuts = 0;
        if (stageTab != std::string::npos) {
            const std::string text = line.substr(stageTab + 1);
            if (text == "delete") {
                stage = Stage::Delete;
            } else if (text.rfind("stored", 0) == 0) {
                stage = Stage::Stored;
                handOuts = std::atoi(text.c_str() + 6);
            }
        }
        Add(std::move(uidl), line.substr(0, tab), stage, handOuts);
    }
    if (in.bad()) {
        error = base::SystemReason("cannot read", m_path);
        return false;
    }
    return true;
}

bool UidlState::Save(std::string& error, const std::function<bool(std::string&)>& syncAll, bool flushFolder) const
{
    std::ostringstream out;
    out << kMagic << "\n"
        << "port " << port << "\n";
    if (implicitTls) out << "tls implicit\n";
    for (const Entry& e : m_entries) {
        out << e.baseName << '\t' << e.uidl;
        if (e.stage == Stage::Stored) out << "\tstored " << e.handOuts;
        if (e.stage == Stage::Delete) out << "\tdelete";
        out << '\n';
    }
    return base::ReplaceFileContents(m_path, out.str(), error,
                                     {.flushContents = syncAll, .flushFolder = flushFolder, .keepSpare = true});
}

const UidlState::Entry* UidlState::FindUidl(const std::string& uidl) const
{
    const auto it = m_byUidl.find(uidl);
    return it == m_byUidl.end() ? nullptr : &m_entries[it->second];
}

const UidlState::Entry* UidlState::FindBaseName(const std::string& baseName) const
{
    // A few lookups per fetch (naming the new messages, deleting): no index needed.
    const auto it = std::find_if(m_entries.begin(), m_entries.end(),
                                 [&](const Entry& e) { return e.baseName == baseName; });
    return it == m_entries.end() ? nullptr : &*it;
}

UidlState::Entry* UidlState::FindBaseName(const std::string& baseName)
{
    return const_cast<Entry*>(std::as_const(*this).FindBaseName(baseName));
}

void UidlState::Erase(const std::string& baseName)
{
    if (std::erase_if(m_entries, [&](const Entry& e) { return e.baseName == baseName; }) > 0) Reindex();
}

void UidlState::Retain(const std::unordered_set<std::string_view>& serverUidls)
{
    const auto gone = std::erase_if(m_entries, [&](const Entry& e) {
        return e.stage != Stage::Stored && !serverUidls.contains(e.uidl);
    });
    if (gone > 0) Reindex();
}

void UidlState::Reindex()
{
    m_byUidl.clear();
    // The first entry of a UIDL wins, as a front-to-back search would find it.
    for (std::size_t i = 0; i < m_entries.size(); ++i)
        m_byUidl.try_emplace(m_entries[i].uidl, i);
}

std::string UidlState::NewBaseName(const std::string& uidl, const std::vector<std::string>& alsoTaken) const
{
    const std::string stem = SafeName(uidl);
    const auto taken = [&](const std::string& name) {
        return FindBaseName(name) != nullptr ||
               std::find(alsoTaken.begin(), alsoTaken.end(), name) != alsoTaken.end();
    };
    std::string name = stem + ".eml";
    for (int i = 2; taken(name); ++i)
        name = stem + "-" + std::to_string(i) + ".eml";
    return name;
}

void UidlState::Add(std::string uidl, std::string baseName, Stage stage, int handOuts)
{
    m_byUidl.try_emplace(uidl, m_entries.size());
    m_entries.push_back({std::move(uidl), std::move(baseName), stage, handOuts});
}

} // namespace lw::mail
