// POP3 listings and the fetch state: arbitrary bytes as the data of a UIDL or LIST reply, and
// as the state file that records the UIDLs already delivered.
#include "FuzzSupport.h"
#include "engine/mail/Pop3Session.h"
#include "engine/mail/UidlState.h"

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
        // A UIDL is kept byte for byte, control bytes included (cutting it at odd bytes could give
        // two messages one name); it only never holds the separators of the listing.
        if (number <= 0 || uid.empty() || uid.find_first_of(" \n") != std::string::npos) std::abort();
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
    state.Retain(std::unordered_set<std::string_view>(uids.begin(), uids.end()));
    return 0;
}
