// POP3 fetch from the loopback Dovecot: repeated "SAVE 1-10" calls until the mailbox has no new
// message. Run through bench/fetch-vs-poplib, which fills the mailbox and passes the account in
// LW_BENCH_POP3_SERVER, LW_BENCH_USER, LW_BENCH_PASSWORD (and the CA in LARCHWATCHER_CA_FILE).
#include "engine/mail/Transport.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

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
    QTemporaryDir work; // removing 500 files is not part of the fetch: outside the timed loop
    for (auto _ : state) {
        long messages = 0;
        long calls = 0;
        while (true) {
            const auto got = lw::mail::RcvMail(server, user, "a " + password, "SAVE 1-10",
                                               "<" + work.path().toStdString());
            ++calls;
            if (!got) break;
            messages += static_cast<long>(got->size());
        }
        state.counters["messages"] = static_cast<double>(messages);
        state.counters["calls"] = static_cast<double>(calls - 1); // the last one found nothing
    }
}

BENCHMARK(BM_FetchWholeMailbox)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

