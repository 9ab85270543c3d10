// POP3 fetch from the loopback Dovecot: repeated fetches of ten until the mailbox has no new
// message. Run through bench/fetch-vs-poplib, which fills the mailbox and passes the account in
// LW_BENCH_POP3_SERVER, LW_BENCH_USER, LW_BENCH_PASSWORD (and the CA in LARCHWATCHER_CA_FILE).
#include "mail/Pop3Fetch.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

void BM_FetchWholeMailbox(benchmark::State& state)
{
    const std::string server = Env("LW_BENCH_POP3_SERVER");
    const std::string user = Env("LW_BENCH_USER");
    const std::string password = Env("LW_BENCH_PASSWORD");
    if (server.empty() || user.empty()) {
        state.SkipWithError("LW_BENCH_POP3_SERVER/LW_BENCH_USER not set: run bench/fetch-vs-poplib");
        return;
    }
    // "host" TAB "port", as bench/fetch-vs-poplib sets it.
    const auto tab = server.find('\t');
    std::optional<lw::mail::Pop3Endpoint> endpoint = lw::mail::MakePop3Endpoint(
        server.substr(0, tab), tab == std::string::npos ? 110 : std::atoi(server.c_str() + tab + 1));
    if (!endpoint) {
        state.SkipWithError("LW_BENCH_POP3_SERVER is not host TAB port");
        return;
    }
    endpoint->account = user;
    endpoint->password = password;
    QTemporaryDir work; // removing 500 files is not part of the fetch: outside the timed loop
    for (auto _ : state) {
        long messages = 0;
        long calls = 0;
        while (true) {
            lw::mail::Pop3Mailbox mailbox(*endpoint, work.path().toStdString());
            const lw::mail::FetchResult got = mailbox.FetchNewMessages(10);
            ++calls;
            if (got.messages.empty()) break;
            messages += static_cast<long>(got.messages.size());
            std::vector<lw::mail::SettledMessage> settled;
            for (const std::string& path : got.messages)
                settled.push_back({path.substr(path.rfind('/') + 1), lw::mail::Settlement::Handled});
            if (!mailbox.Settle(settled).Ok()) break;
        }
        state.counters["messages"] = static_cast<double>(messages);
        state.counters["calls"] = static_cast<double>(calls - 1); // the last one found nothing
    }
}

BENCHMARK(BM_FetchWholeMailbox)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

