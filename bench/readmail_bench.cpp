// ReadMail plus extraction over a mixed set of 1,000 messages: the real samples and the quirk
// fixtures, cycled. Reports messages per second (items_per_second), single-threaded; on a busy
// machine compare the CPU column (items per CPU second = 1000 / CPU time).

#include "mail/ReceivedMail.h"
#include "mail/Transport.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QTemporaryDir>

#include <string>
#include <vector>

namespace {

std::vector<std::string> MixedMessages(std::size_t count, bool withFixtures)
{
    std::vector<std::string> sources;
    for (const char* folder : {MAIL_SAMPLES_DIR, TEST_DATA_DIR "/mime"}) {
        if (*folder == '\0' || (!withFixtures && std::string(folder) != MAIL_SAMPLES_DIR)) continue;
        const QDir dir(QString::fromUtf8(folder));
        for (const QString& name : dir.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name))
            sources.push_back(dir.filePath(name).toStdString());
    }
    std::vector<std::string> messages;
    if (sources.empty()) return messages;
    for (std::size_t i = 0; i < count; ++i)
        messages.push_back(sources[i % sources.size()]);
    return messages;
}

void ReadAndExtract(benchmark::State& state, bool withAttachments, bool withFixtures = true)
{
    const auto messages = MixedMessages(1000, withFixtures);
    if (messages.empty()) {
        state.SkipWithError("no messages found");
        return;
    }
    std::size_t attachments = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir folder; // a fresh work folder per round, as after a purge
        state.ResumeTiming();
        const std::string target = withAttachments ? folder.path().toStdString() : std::string();
        for (const auto& file : messages) {
            const auto parts = lw::mail::ReadMail(file, "subject:from:to:date:nofile:", target);
            if (!parts) continue;
            lw::mail::ReceivedMail mail;
            lw::mail::ExtractParts(*parts, mail);
            attachments += static_cast<std::size_t>(mail.attachmentCount);
            benchmark::DoNotOptimize(mail);
        }
        state.PauseTiming();
        folder.remove();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * messages.size()));
    state.counters["attachments"] =
        benchmark::Counter(static_cast<double>(attachments), benchmark::Counter::kAvgIterations);
}

// The poll cycle's case: every attachment written into the work folder.
void BM_ReadMailMixed1000(benchmark::State& state)
{
    ReadAndExtract(state, true);
}
// Parsing and decoding alone: no folder given, so no attachment file is written.
void BM_ReadMailMixed1000NoFiles(benchmark::State& state)
{
    ReadAndExtract(state, false);
}

// Real mail only (the fixtures include one message with 120 attachments, which dominates).
void BM_ReadMailSamples1000NoFiles(benchmark::State& state)
{
    ReadAndExtract(state, false, false);
}

} // namespace

BENCHMARK(BM_ReadMailMixed1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadMailMixed1000NoFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadMailSamples1000NoFiles)->Unit(benchmark::kMillisecond)->UseRealTime();
