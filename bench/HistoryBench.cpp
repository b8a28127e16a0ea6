// The history file is rewritten on every check, and each check folds a whole Time Machine
// observation into it. These compare the store against bare nlohmann/json on the same
// document, and time recordObservation as every input doubles.
#include "history/History.h"
#include "history/JSONFileStore.h"
#include "timemachine/Reasons.h"
#include "timemachine/TimeMachineSettings.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using namespace quorvane;

const Date start = dateFromUnix(1700000000);

HistoryRecord fullHistory() {
    HistoryRecord record;
    for (int i = 0; i < 2000; ++i)
        record.events.push_back(
            {addSeconds(start, i * 3600.0),
             i % 7 == 0 ? HistoryEvent::Kind::failed : HistoryEvent::Kind::completed,
             "Time Machine", "9F5E1C2A-4D3B-4E5F-8A6B-" + std::to_string(i % 4),
             "Backup disk (network)",
             i % 7 == 0 ? "Your NAS didn't respond in time." : "Backup completed",
             i % 7 == 0 ? std::optional<std::string>("nas-timeout") : std::nullopt});
    for (int i = 0; i < 50; ++i)
        record.observations["destination-" + std::to_string(i)] =
            PreviousObservation{start, 100 + i, addSeconds(start, 7e6), 80};
    for (int i = 0; i < 500; ++i) {
        const std::string id = "tool:tool-" + std::to_string(i);
        record.alerted[id] = addSeconds(start, i * 60.0);
        record.alertedTitles[id] = "Backups by tool " + std::to_string(i) + " are failing";
    }
    record.logReadUpTo = addSeconds(start, 7.2e6);
    record.changes = ChangeState{};
    return record;
}

struct Folder {
    Folder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "quorvane-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        path = pattern;
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

void BM_StoreLoad(benchmark::State& state) {
    Folder folder;
    JSONFileStore<HistoryRecord> store("history.json", folder.path);
    store.save(fullHistory());
    for (auto _ : state)
        benchmark::DoNotOptimize(store.load());
}

void BM_StoreSave(benchmark::State& state) {
    Folder folder;
    JSONFileStore<HistoryRecord> store("history.json", folder.path);
    const HistoryRecord record = fullHistory();
    store.save(record);
    for (auto _ : state)
        store.save(record);
}

// Load and save together, as a check does.
void BM_StoreLoadAndSave(benchmark::State& state) {
    Folder folder;
    JSONFileStore<HistoryRecord> store("history.json", folder.path);
    store.save(fullHistory());
    for (auto _ : state) {
        HistoryRecord record = store.load();
        store.save(record);
    }
}

// The baseline: nlohmann/json alone parsing and dumping the same text.
void BM_NlohmannParseAndDump(benchmark::State& state) {
    const std::string text = nlohmann::json(fullHistory()).dump(2);
    state.counters["bytes"] = static_cast<double>(text.size());
    for (auto _ : state) {
        auto parsed = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(parsed.dump(2));
    }
}

void BM_NlohmannParse(benchmark::State& state) {
    const std::string text = nlohmann::json(fullHistory()).dump(2);
    for (auto _ : state)
        benchmark::DoNotOptimize(nlohmann::json::parse(text));
}

void BM_NlohmannDump(benchmark::State& state) {
    const nlohmann::json parsed = nlohmann::json(fullHistory());
    for (auto _ : state)
        benchmark::DoNotOptimize(parsed.dump(2));
}

// 4 destinations of N completions and N attempts, N / 5 failure reasons; the argument doubles every
// input.
void BM_RecordObservation(benchmark::State& state) {
    const auto n = static_cast<int>(state.range(0));
    TimeMachineSettings settings;
    for (int d = 0; d < 4; ++d) {
        BackupDestination destination;
        destination.id = "D" + std::to_string(d);
        destination.name = "Disk " + std::to_string(d);
        for (int i = 0; i < n; ++i) {
            // Every other attempt is a failure that no success hides (the next completion
            // comes three hours later).
            destination.completed.push_back(addSeconds(start, i * 14400.0 + d));
            destination.attempts.push_back(addSeconds(start, i * 14400.0 + d + (i % 2) * 3600.0));
        }
        settings.destinations.push_back(std::move(destination));
    }
    std::vector<FailureReason> reasons;
    for (int i = 0; i < n / 5; ++i)
        reasons.push_back({"nas-timeout", "Your NAS didn't respond in time.", std::nullopt, "line",
                           addSeconds(start, i * 72000.0 + 3000.0)});
    const Date now = addSeconds(start, n * 14400.0 + 60);
    for (auto _ : state) {
        HistoryRecord history;
        recordObservation(settings, history, reasons, now);
        benchmark::DoNotOptimize(history);
    }
    state.SetComplexityN(n);
}

BENCHMARK(BM_StoreLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreSave)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreLoadAndSave)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NlohmannParseAndDump)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NlohmannParse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NlohmannDump)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordObservation)->Arg(5000)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
