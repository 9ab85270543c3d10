#include "mail/Pop3Fetch.h"

#include "base/DurableFiles.h"
#include "base/PosixFile.h"
#include "mail/UidlState.h"

#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace lw::mail {

struct Pop3Mailbox::State {
    Pop3Endpoint endpoint;
    std::string folder;
    std::unique_ptr<Pop3Session> session;
    std::unordered_set<int> deleted; // numbers marked deleted in that session
    // The fetch state as the last fetch or settlement left it, so that a settlement does not
    // read it again (it lists every message kept on the server).
    std::optional<UidlState> state;
    std::function<std::string(const std::string&)> renewToken;
    bool loginRefused = false; // no further session is opened

    // Ends the session with QUIT, which commits its deletions.
    void EndSession()
    {
        session.reset();
        deleted.clear();
    }
    // A session that can no longer be used is ended at once.
    void DropBroken()
    {
        if (session && session->Broken()) EndSession();
    }
};

namespace {

// RETRs one message into folder/baseName: written to a hidden temporary file and renamed, so
// the name never holds part of a message. Not yet synced: see SyncFolder. whole tells whether
// exactly the size the server announced came, which shows the message complete by itself.
bool StoreMessage(Pop3Session& session, int number, const std::string& folder, const std::string& baseName,
                  std::string& error, bool& whole)
{
    whole = false;
    long long received = 0;
    const std::string path = folder + "/" + baseName;
    const std::string part = folder + "/." + baseName + ".part";
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, base::kOwnerOnlyFile);
    if (fd < 0) {
        error = "cannot create " + part + ": " + std::strerror(errno);
        return false;
    }
    // libcurl hands over one line at a time: collect them into large writes.
    std::string buffer;
    int writeErrno = 0;
    const auto flush = [&] {
        if (!base::WriteAll(fd, buffer.data(), buffer.size())) {
            writeErrno = errno;
            return false;
        }
        buffer.clear();
        return true;
    };
    const std::function<bool(const char*, size_t)> sink = [&](const char* p, size_t n) {
        buffer.append(p, n);
        received += static_cast<long long>(n);
        return buffer.size() < (1u << 20) || flush();
    };
    long long announced = -1;
    bool ok = session.Retrieve(number, sink, error, &announced) && flush();
    whole = ok && announced >= 0 && announced == received;
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
    return base::FlushFiles(paths, error, false);
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

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int NumberOf(const std::vector<Pop3Message>& listing, const std::string& uidl)
{
    for (const Pop3Message& m : listing) {
        if (m.uid == uidl) return m.number;
    }
    return 0;
}

void Note(std::string& first, const std::string& error)
{
    qWarning("POP3: %s", error.c_str());
    if (first.empty()) first = error;
}

// Marks the message of uidl deleted in the mailbox's session, opening one (at the port the
// message was fetched over) when none is open. Gone from the server already counts as done.
bool Delete(Pop3Mailbox::State& s, const std::string& uidl, std::string& error)
{
    const UidlState& state = *s.state;
    s.DropBroken();
    if (s.loginRefused && !s.session) {
        error = "the server refused the login";
        return false;
    }
    const bool reused = s.session != nullptr;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!s.session) {
            s.session = std::make_unique<Pop3Session>(DeliveredFrom(s.endpoint, state));
            std::vector<Pop3Message> listing;
            if (!s.session->List(listing, error)) {
                s.EndSession();
                return false;
            }
        }
        const int number = NumberOf(s.session->Listing(), uidl);
        if (number == 0 || s.deleted.contains(number)) return true;
        if (s.session->Delete(number, error)) {
            s.deleted.insert(number);
            return true;
        }
        // The kept connection is gone (its uncommitted deletions with it): the message is tried
        // once more in a session of its own, found again by its UIDL; the next fetch carries out
        // the deletions lost with the old one, as they are still recorded.
        s.EndSession();
        if (!reused) return false;
    }
    return false;
}

} // namespace

Pop3Mailbox::Pop3Mailbox(Pop3Endpoint endpoint, std::string workFolder) : m_state(std::make_unique<State>())
{
    m_state->endpoint = std::move(endpoint);
    m_state->folder = StripFolder(std::move(workFolder));
}

Pop3Mailbox::~Pop3Mailbox()
{
    End();
}

void Pop3Mailbox::SetTokenRenewal(std::function<std::string(const std::string&)> renew)
{
    m_state->renewToken = std::move(renew);
}

void Pop3Mailbox::End()
{
    m_state->EndSession();
}

FetchResult Pop3Mailbox::FetchNewMessages(int limit)
{
    FetchResult result;
    State& s = *m_state;
    const Pop3Endpoint& endpoint = s.endpoint;
    const std::string& folder = s.folder;
    try {
        // A fetch needs a fresh listing; ending an older session also commits its deletions.
        s.EndSession();
        s.state.reset();

        UidlState state;
        std::string error;
        if (!state.Load(folder, endpoint.host, endpoint.account, error)) {
            Note(result.error, error);
            return result;
        }
        auto session = std::make_unique<Pop3Session>(endpoint);
        std::vector<Pop3Message> listing;
        bool listed = session->List(listing, error);
        if (!listed && session->LoginRefused() && !endpoint.bearerToken.empty() && s.renewToken) {
            // One more login with a renewed token, never more.
            const std::string renewed = s.renewToken(endpoint.bearerToken);
            if (!renewed.empty()) {
                s.endpoint.bearerToken = renewed;
                session = std::make_unique<Pop3Session>(endpoint);
                listed = session->List(listing, error);
            }
        }
        result.tls = session->Tls();
        result.loginRefused = !listed && session->LoginRefused();
        s.loginRefused = result.loginRefused && !endpoint.bearerToken.empty();
        if (!listed) Note(result.error, "fetch from " + endpoint.host + ": " + error);

        // A server that listed UIDLs before and now refuses them is failing, not old: switching to
        // header hashes would forget every delivered message and deliver them all again.
        if (listed && session->UsedHeaderHashes()) {
            for (const UidlState::Entry& e : state.Entries()) {
                if (e.uidl.rfind("hdr-", 0) != 0) {
                    Note(result.error, "fetch from " + endpoint.host + ": the server no longer answers UIDL");
                    listed = false;
                    break;
                }
            }
        }
        bool changed = false;
        if (listed) {
            std::unordered_set<std::string_view> onServer;
            for (const Pop3Message& m : listing)
                onServer.insert(m.uid);
            // A recorded deletion the listing no longer shows is confirmed, and forgotten here.
            const size_t before = state.Entries().size();
            state.Retain(onServer);
            changed = state.Entries().size() != before || state.port != endpoint.port ||
                      state.implicitTls != endpoint.implicitTls;
            state.port = endpoint.port;
            state.implicitTls = endpoint.implicitTls;
            // Deletions decided earlier and not confirmed: carried out first (committed at QUIT).
            for (const UidlState::Entry& e : state.Entries()) {
                if (e.stage != UidlState::Stage::Delete || session->Broken()) continue;
                const int number = NumberOf(listing, e.uidl);
                if (number == 0) continue;
                if (session->Delete(number, error)) {
                    s.deleted.insert(number);
                } else {
                    Note(result.error, "delete " + e.baseName + " at " + endpoint.host + ": " + error);
                }
            }
        }

        // The work folder is the queue: what was stored and never settled comes first.
        std::vector<std::string> missing;
        for (UidlState::Entry& e : state.Entries()) {
            if (e.stage != UidlState::Stage::Stored) continue;
            const std::string path = folder + "/" + e.baseName;
            changed = true;
            if (!Exists(path)) {
                missing.push_back(e.baseName); // gone from the work folder: fetched again
            } else if (e.handOuts >= kMaxHandOuts) {
                e.stage = UidlState::Stage::Handled;
                e.handOuts = 0;
                result.abandoned.push_back(path);
            } else {
                ++e.handOuts;
                result.messages.push_back(path);
            }
        }
        for (const std::string& name : missing)
            state.Erase(name);

        std::vector<std::string> names;
        std::vector<std::string> paths;
        std::vector<std::string> uids;
        // A stored message is known whole only once a later request of the session has succeeded
        // (the next RETR, or one NOOP after the last), or once the size the server announced came.
        // One that cannot be confirmed is withdrawn.
        bool lastWhole = false;
        const auto withdrawLast = [&] {
            ::unlink(paths.back().c_str());
            names.pop_back();
            uids.pop_back();
            paths.pop_back();
        };
        bool failed = !listed || session->Broken();
        const int room = limit - static_cast<int>(result.messages.size());
        for (const Pop3Message& m : failed ? std::vector<Pop3Message>() : listing) {
            if (static_cast<int>(names.size()) >= room) break;
            if (state.FindUidl(m.uid) != nullptr) continue;
            const std::string name = state.NewBaseName(m.uid, names);
            if (!StoreMessage(*session, m.number, folder, name, error, lastWhole)) {
                // Keep what is confirmed so far; the rest comes with the next fetch.
                if (!paths.empty()) withdrawLast();
                Note(result.error, "fetch from " + endpoint.host + ": " + error);
                failed = true;
                break;
            }
            names.push_back(name);
            uids.push_back(m.uid);
            paths.push_back(folder + "/" + name);
        }
        if (!failed && !paths.empty() && !lastWhole && !session->Confirm(error)) {
            Note(result.error, "fetch from " + endpoint.host + ": the connection ended during RETR: " + error);
            withdrawLast();
        }
        for (size_t i = 0; i < names.size(); ++i)
            state.Add(uids[i], names[i], UidlState::Stage::Stored, 1);
        changed = changed || !names.empty();
        // Recorded only once every stored file is complete and durable: one flush covers the
        // messages and the new state, then the state takes its name.
        const std::function<bool(std::string&)> syncAll = [&](std::string& e) {
            return SyncFolder(paths, state.Path() + ".tmp", e);
        };
        // With new messages the folder is left to the settlement at the end of the cycle, which
        // flushes it anyway: should the machine stop before, the earlier state names these
        // messages nowhere and they are fetched again.
        if (changed && !state.Save(error, paths.empty() ? std::function<bool(std::string&)>() : syncAll,
                                   paths.empty())) {
            // Unrecorded files would come again: withdraw them, the next fetch stores them anew.
            for (const std::string& p : paths)
                ::unlink(p.c_str());
            paths.clear();
            Note(result.error, error);
        } else {
            s.state = std::move(state);
        }
        result.messages.insert(result.messages.end(), paths.begin(), paths.end());
        s.session = std::move(session);
        s.DropBroken();
    } catch (const std::exception& e) {
        Note(result.error, std::string("POP3 failure: ") + e.what());
    }
    return result;
}

TransportStatus Pop3Mailbox::Settle(const std::vector<SettledMessage>& messages)
{
    TransportStatus status;
    State& s = *m_state;
    const Pop3Endpoint& endpoint = s.endpoint;
    try {
        std::string error;
        if (!s.state) {
            UidlState loaded;
            if (!loaded.Load(s.folder, endpoint.host, endpoint.account, error)) {
                Note(status.error, error);
                return status;
            }
            s.state = std::move(loaded);
        }
        UidlState& state = *s.state;
        std::vector<std::string> uidls; // of the messages to delete
        bool changed = false;
        for (const SettledMessage& m : messages) {
            UidlState::Entry* entry = state.FindBaseName(m.baseName);
            if (entry == nullptr) {
                Note(status.error, "no delivered message " + m.baseName + " for " + endpoint.account + " at " +
                                       endpoint.host);
                continue;
            }
            changed = true;
            switch (m.settlement) {
            case Settlement::Handled:
                if (entry->stage == UidlState::Stage::Stored) entry->stage = UidlState::Stage::Handled;
                entry->handOuts = 0;
                break;
            case Settlement::HandledDelete:
                entry->stage = UidlState::Stage::Delete;
                entry->handOuts = 0;
                uidls.push_back(entry->uidl);
                break;
            case Settlement::Left:
                // Not a failed hand-out: it does not count towards giving the message up.
                entry->handOuts = 0;
                break;
            }
        }
        if (changed && !state.Save(error)) {
            // Not recorded: nothing is deleted, and the messages are handed out again.
            s.state.reset();
            Note(status.error, error);
            return status;
        }
        for (const std::string& uidl : uidls) {
            if (!Delete(s, uidl, error)) Note(status.error, "delete at " + endpoint.host + ": " + error);
        }
    } catch (const std::exception& e) {
        Note(status.error, std::string("POP3 failure: ") + e.what());
    }
    return status;
}

TransportStatus Pop3Mailbox::DeleteStoredMessage(const std::string& baseName)
{
    return Settle({{baseName, Settlement::HandledDelete}});
}

} // namespace lw::mail
