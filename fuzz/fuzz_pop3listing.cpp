// POP3 listings and the fetch state: arbitrary bytes as the data of a UIDL or LIST reply, and
// as the state file that records the UIDLs already delivered; the state, with the listing's
// UIDLs added, must read back as it was saved.
#include "FuzzSupport.h"
#include "mail/Pop3Session.h"
#include "mail/UidlState.h"

#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

bool SafeBaseName(const std::string& name)
{
    return !name.empty() && name.front() != '.' &&
           name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-") ==
               std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> uids;
    for (const auto& [number, uid] : lw::mail::ParsePop3Listing(bytes)) {
        // A UIDL holds no byte that separates the listing or the fields of the fetch state.
        if (number <= 0 || uid.empty() || uid.find_first_of(" \t\r\n") != std::string::npos) std::abort();
        if (!SafeBaseName(lw::mail::UidlState::SafeName(uid))) std::abort();
        uids.push_back(uid);
    }

    const std::string folder = lw::fuzz::ScratchFolder().toStdString();
    const std::string path = lw::mail::UidlState::PathOf(folder, "pop.example.jp", "box");
    lw::fuzz::WriteInput(path.substr(path.rfind('/') + 1).c_str(), data, size);
    lw::mail::UidlState state;
    std::string error;
    if (!state.Load(folder, "pop.example.jp", "box", error)) return 0;
    // A new message's name is unique among the recorded ones, and safe in the work folder.
    for (const std::string& uid : uids) {
        const std::string name = state.NewBaseName(uid, {});
        if (state.FindBaseName(name) != nullptr) std::abort();
        state.Add(uid, name);
    }
    for (const auto& entry : state.Entries()) (void)state.FindUidl(entry.uidl);
    // What is saved reads back the same: a UIDL that changed would be fetched again.
    const std::vector<lw::mail::UidlState::Entry> before = state.Entries();
    lw::mail::UidlState reread;
    if (!state.Save(error) || !reread.Load(folder, "pop.example.jp", "box", error)) std::abort();
    const auto& after = reread.Entries();
    if (after.size() != before.size()) std::abort();
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (after[i].uidl != before[i].uidl || after[i].baseName != before[i].baseName ||
            after[i].stage != before[i].stage || after[i].handOuts != before[i].handOuts)
            std::abort();
    }
    state.Retain(std::unordered_set<std::string_view>(uids.begin(), uids.end()));
    return 0;
}
