#include "engine/mail/Pop3Fetch.h"

#include "engine/mail/DurableFiles.h"
#include "engine/mail/PosixFile.h"
#include "engine/mail/Transport.h"
#include "engine/mail/UidlState.h"

#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <unordered_set>

namespace lw::mail {
namespace {

// The session kept open by a MailSessionScope, shared by the fetch and the deletions.
struct KeptSession {
    std::mutex mutex;
    std::unique_ptr<Pop3Session> session;
    std::unordered_set<int> deleted; // numbers marked deleted in that session
    // The delivered state as the scope's last fetch left it (only a fetch changes it), so that
    // each deletion does not read it again (it lists every message kept on the server).
    std::optional<UidlState> state;
    int scopes = 0;
    std::string lastError;

    // Ends the session with QUIT, which commits its deletions.
    void End()
    {
        session.reset();
        deleted.clear();
    }
};

KeptSession& Kept()
{
    static KeptSession kept;
    return kept;
}

std::mutex& ErrorMutex()
{
    static std::mutex m;
    return m;
}

void Fail(KeptSession& kept, const std::string& error)
{
    {
        std::lock_guard lock(ErrorMutex());
        kept.lastError = error;
    }
    qWarning("POP3: %s", error.c_str());
}

// Hands the session back: kept for later deletions inside a scope, else ended with QUIT.
void Release(KeptSession& kept, std::unique_ptr<Pop3Session> session)
{
    if (kept.scopes > 0 && session && !session->Broken()) {
        kept.session = std::move(session);
    } else {
        session.reset();
        kept.deleted.clear();
    }
}

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// RETRs one message into folder/baseName: written to a hidden temporary file and renamed, so
// the name never holds part of a message. Not yet synced: see SyncFolder.
bool StoreMessage(Pop3Session& session, int number, const std::string& folder, const std::string& baseName,
                  std::string& error)
{
    const std::string path = folder + "/" + baseName;
    const std::string part = folder + "/." + baseName + ".part";
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kOwnerOnlyFile);
    if (fd < 0) {
        error = "cannot create " + part + ": " + std::strerror(errno);
        return false;
    }
    // libcurl hands over one line at a time: collect them into large writes.
    std::string buffer;
    int writeErrno = 0;
    const auto flush = [&] {
        if (!WriteAll(fd, buffer.data(), buffer.size())) {
            writeErrno = errno;
            return false;
        }
        buffer.clear();
        return true;
    };
    const std::function<bool(const char*, size_t)> sink = [&](const char* p, size_t n) {
        buffer.append(p, n);
        return buffer.size() < (1u << 20) || flush();
    };
    bool ok = session.Retrieve(number, sink, error) && flush();
    if (!ok && writeErrno != 0) error = "cannot write " + part + ": " + std::strerror(writeErrno);
    if (::close(fd) != 0 && ok) {
        error = "cannot close " + part + ": " + std::strerror(errno);
        ok = false;
    }
    if (ok && ::rename(part.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + part + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok) ::unlink(part.c_str());
    return ok;
}

// Makes the stored messages and the new state file durable: only these files, not the whole
// file system (whose other writers' data would make the wait unbounded). The folder itself is
// flushed after the state's rename; a message counts as delivered only after this.
bool SyncFolder(std::vector<std::string> paths, const std::string& alsoFile, std::string& error)
{
    paths.push_back(alsoFile);
    return FlushFiles(paths, error, false);
}

// The endpoint the stored messages came from: a deletion must reach the port (and TLS mode)
// they were fetched over, whatever the settings say now.
Pop3Endpoint DeliveredFrom(const Pop3Endpoint& endpoint, const UidlState& state)
{
    Pop3Endpoint e = endpoint;
    e.port = state.port;
    e.implicitTls = state.implicitTls;
    return e;
}

std::string StripFolder(std::string folder)
{
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

} // namespace

std::optional<std::vector<std::string>> FetchNewMessages(const Pop3Endpoint& endpoint, int limit,
                                                         const std::string& folderIn)
{
    KeptSession& kept = Kept();
    std::lock_guard lock(kept.mutex);
    const std::string folder = StripFolder(folderIn);
    // A fetch needs a fresh listing; ending an older session also commits its deletions.
    kept.End();
    kept.state.reset();

    UidlState state;
    std::string error;
    if (!state.Load(folder, endpoint.host, endpoint.account, error)) {
        Fail(kept, error);
        return std::nullopt;
    }
    auto session = std::make_unique<Pop3Session>(endpoint);
    std::vector<Pop3Message> listing;
    if (!session->List(listing, error)) {
        Fail(kept, "fetch from " + endpoint.host + ": " + error);
        return std::nullopt;
    }

    // A server that listed UIDLs before and now refuses them is failing, not old: switching to
    // header hashes would forget every delivered message and deliver them all again.
    if (session->UsedHeaderHashes()) {
        for (const UidlState::Entry& e : state.Entries()) {
            if (e.uidl.rfind("hdr-", 0) != 0) {
                Fail(kept, "fetch from " + endpoint.host + ": the server no longer answers UIDL");
                return std::nullopt;
            }
        }
    }
    std::unordered_set<std::string_view> onServer;
    for (const Pop3Message& m : listing)
        onServer.insert(m.uid);
    const size_t before = state.Entries().size();
    state.Retain(onServer);
    bool changed = state.Entries().size() != before || state.port != endpoint.port ||
                   state.implicitTls != endpoint.implicitTls;
    state.port = endpoint.port;
    state.implicitTls = endpoint.implicitTls;

    std::vector<std::string> names;
    std::vector<std::string> paths;
    std::vector<std::string> uids;
    // A stored message is known whole only once a later request of the session has succeeded:
    // the next RETR, or one NOOP after the last. One that cannot be confirmed is withdrawn.
    const auto withdrawLast = [&] {
        ::unlink(paths.back().c_str());
        names.pop_back();
        uids.pop_back();
        paths.pop_back();
    };
    bool failed = false;
    for (const Pop3Message& m : listing) {
        if (static_cast<int>(names.size()) >= limit) break;
        if (state.FindUidl(m.uid) != nullptr) continue;
        const std::string name = state.NewBaseName(m.uid, names);
        if (!StoreMessage(*session, m.number, folder, name, error)) {
            // Keep what is confirmed so far; the rest comes with the next fetch.
            if (!paths.empty()) withdrawLast();
            Fail(kept, "fetch from " + endpoint.host + ": " + error);
            failed = true;
            break;
        }
        names.push_back(name);
        uids.push_back(m.uid);
        paths.push_back(folder + "/" + name);
    }
    if (!failed && !paths.empty() && !session->Confirm(error)) {
        Fail(kept, "fetch from " + endpoint.host + ": the connection ended during RETR: " + error);
        withdrawLast();
    }
    for (size_t i = 0; i < names.size(); ++i)
        state.Add(uids[i], names[i]);
    changed = changed || !names.empty();
    // Marked delivered only once every stored file is complete and durable: one flush covers the
    // messages and the new state, then the state takes its name.
    const std::function<bool(std::string&)> syncAll = [&](std::string& e) {
        return SyncFolder(paths, state.Path() + ".tmp", e);
    };
    if (changed && !state.Save(error, paths.empty() ? std::function<bool(std::string&)>() : syncAll)) {
        // Unmarked files would come again: withdraw them, the next fetch stores them anew.
        for (const std::string& p : paths)
            ::unlink(p.c_str());
        paths.clear();
        Fail(kept, error);
    } else if (kept.scopes > 0) {
        kept.state = std::move(state);
    }
    Release(kept, std::move(session));
    if (paths.empty()) return std::nullopt;
    return paths;
}

bool DeleteStoredMessage(const Pop3Endpoint& endpoint, const std::string& baseName,
                         const std::string& folderIn)
{
    KeptSession& kept = Kept();
    std::lock_guard lock(kept.mutex);
    const std::string folder = StripFolder(folderIn);
    UidlState loaded;
    const UidlState* current = &loaded;
    std::string error;
    if (kept.state && kept.state->Path() == UidlState::PathOf(folder, endpoint.host, endpoint.account)) {
        current = &*kept.state;
    } else if (!loaded.Load(folder, endpoint.host, endpoint.account, error)) {
        Fail(kept, error);
        return false;
    }
    const UidlState& state = *current;
    const UidlState::Entry* entry = state.FindBaseName(baseName);
    if (entry == nullptr) {
        Fail(kept, "no delivered message " + baseName + " for " + endpoint.account + " at " + endpoint.host);
        return false;
    }

    std::unique_ptr<Pop3Session> session;
    bool reused = false;
    if (kept.session && !kept.session->Broken() && kept.session->Endpoint().host == endpoint.host &&
        kept.session->Endpoint().account == endpoint.account) {
        session = std::move(kept.session);
        reused = true;
    } else {
        kept.End(); // another mailbox: commit its deletions first
        session = std::make_unique<Pop3Session>(DeliveredFrom(endpoint, state));
        std::vector<Pop3Message> listing;
        if (!session->List(listing, error)) {
            Fail(kept, "delete at " + endpoint.host + ": " + error);
            return false;
        }
    }

    int number = 0;
    for (const Pop3Message& m : session->Listing()) {
        if (m.uid == entry->uidl) number = m.number;
    }
    bool ok = false;
    if (number == 0) {
        Fail(kept, "message " + baseName + " is no longer on " + endpoint.host);
    } else if (kept.deleted.contains(number)) {
        ok = true; // already marked in this session
    } else if (session->Delete(number, error)) {
        kept.deleted.insert(number);
        ok = true;
    } else if (reused) {
        // The kept connection is gone (its uncommitted deletions with it): this one message
        // is tried once more in a session of its own, found again by its UIDL.
        session.reset();
        kept.deleted.clear();
        session = std::make_unique<Pop3Session>(DeliveredFrom(endpoint, state));
        std::vector<Pop3Message> listing;
        number = 0;
        if (session->List(listing, error)) {
            for (const Pop3Message& m : listing) {
                if (m.uid == entry->uidl) number = m.number;
            }
        }
        if (number != 0 && session->Delete(number, error)) {
            kept.deleted.insert(number);
            ok = true;
        } else {
            Fail(kept, "delete " + baseName + " at " + endpoint.host + ": " + error);
        }
    } else {
        Fail(kept, "delete " + baseName + " at " + endpoint.host + ": " + error);
    }
    Release(kept, std::move(session));
    return ok;
}

std::string LastPop3Error()
{
    std::lock_guard lock(ErrorMutex());
    return Kept().lastError;
}

MailSessionScope::MailSessionScope()
{
    std::lock_guard lock(Kept().mutex);
    ++Kept().scopes;
}

MailSessionScope::~MailSessionScope()
{
    KeptSession& kept = Kept();
    std::lock_guard lock(kept.mutex);
    if (--kept.scopes == 0) {
        kept.End();
        kept.state.reset();
    }
}

namespace {

// "SAVE a-b": at most b - a + 1 messages; anything else, 10.
int FetchLimit(const std::string& command)
{
    const auto dash = command.find('-', 5);
    if (dash != std::string::npos) {
        const int from = std::atoi(command.c_str() + 5);
        const int to = std::atoi(command.c_str() + dash + 1);
        if (from >= 1 && to >= from) return to - from + 1;
    }
    return 10;
}

} // namespace

std::optional<PartList> RcvMail(const std::string& server, const std::string& account,
                                const std::string& password, const std::string& command,
                                const std::string& folder)
{
    try {
        std::optional<Pop3Endpoint> endpoint = ParsePop3Server(server);
        if (!endpoint) {
            Fail(Kept(), "bad POP3 server text: \"" + server + "\"");
            return std::nullopt;
        }
        endpoint->account = account;
        // The fetch's "a " asks for the best login the server offers, which is what every call
        // does; a deletion's password comes as it stands (it may itself begin with "a ").
        const bool fetch = command.rfind("SAVE", 0) == 0;
        endpoint->password = fetch && password.rfind("a ", 0) == 0 ? password.substr(2) : password;
        std::string dir = folder;
        if (!dir.empty() && dir.front() == '<') dir.erase(0, 1);

        if (fetch) return FetchNewMessages(*endpoint, FetchLimit(command), dir);
        if (command.rfind("DELU ", 0) == 0) {
            if (!DeleteStoredMessage(*endpoint, command.substr(5), dir)) return std::nullopt;
            return PartList{};
        }
        Fail(Kept(), "unknown transport command: " + command);
    } catch (const std::exception& e) {
        Fail(Kept(), std::string("POP3 failure: ") + e.what());
    }
    return std::nullopt;
}

} // namespace lw::mail
