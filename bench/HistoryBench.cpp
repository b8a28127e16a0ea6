// The history file is rewritten on every check, and each check folds a whole Time Machine
// observation into it. These compare the store against bare nlohmann/json on the same
// document, and time recordObservation as every input doubles. The state files at their size
// cap with the worst content that fits, and one check's fold into a full history, report
// their peak memory: it must stay small however the file was damaged or grown.
#include "PeakMemory.h"

#include "health/Preferences.h"
#include "history/History.h"
#include "history/JSONFileStore.h"
#include "othertools/ToolStatus.h"
#include "timemachine/Reasons.h"
#include "timemachine/TimeMachineSettings.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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

// `head` + as many copies of `item` (joined by commas) as fit under the store's size cap +
// `tail`.
std::string fillToCap(const std::string& head, const std::string& item, const std::string& tail,
                      const std::function<std::string(std::size_t)>& vary = {},
                      std::size_t count = SIZE_MAX) {
    std::string text = head;
    const std::size_t limit = static_cast<std::size_t>(maxStoreFileBytes) - tail.size() - 64;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string next = vary ? vary(i) : item;
        if (text.size() + next.size() + 1 > limit)
            break;
        if (i > 0)
            text += ',';
        text += next;
    }
    return text + tail;
}

const std::string requiredKeys =
    "\"observations\":{},\"alerted\":{},\"alertedTitles\":{},\"newExclusions\":{}";

std::string historyInput(int kind) {
    switch (kind) {
    case 0: // many small events
        return fillToCap("{" + requiredKeys + ",\"events\":[",
                         "{\"date\":\"2025-03-01T10:00:00Z\",\"kind\":\"note\",\"source\":\"x\","
                         "\"text\":\"\"}",
                         "]}");
    case 1: // many small map entries (distinct keys)
        return fillToCap(
            "{\"events\":[],\"observations\":{},\"alertedTitles\":{},\"newExclusions\":{},"
            "\"alerted\":{",
            "", "}}",
            [](std::size_t i) { return "\"" + std::to_string(i) + "\":\"2025-03-01T10:00:00Z\""; });
    case 2: // many empty strings in a list
        return fillToCap("{" + requiredKeys + ",\"events\":[],\"exclusions\":[", "\"\"", "]}");
    case 3: // many empty arrays where events belong: refused, but only after parsing
        return fillToCap("{" + requiredKeys + ",\"events\":[", "[]", "]}");
    case 6: // as many small events as the store takes (five values each)
        return fillToCap("{" + requiredKeys + ",\"events\":[",
                         "{\"date\":\"2025-03-01T10:00:00Z\",\"kind\":\"note\",\"source\":\"x\","
                         "\"text\":\"\"}",
                         "]}", {}, 49'000);
    case 7: // as many empty strings as the store takes
        return fillToCap("{" + requiredKeys + ",\"events\":[],\"exclusions\":[", "\"\"", "]}", {},
                         249'000);
    case 4: // one long string
        return "{" + requiredKeys + ",\"events\":[],\"offMacNote\":\"" +
               std::string(static_cast<std::size_t>(maxStoreFileBytes) - 200, 'x') + "\"}";
    default: // nesting deeper than any state file, to the cap
        return std::string(static_cast<std::size_t>(maxStoreFileBytes) / 2, '[') +
               std::string(static_cast<std::size_t>(maxStoreFileBytes) / 2, ']');
    }
}

const char* const historyInputNames[] = {"many small events",
                                         "many small map entries",
                                         "many empty strings",
                                         "many empty arrays",
                                         "one long string",
                                         "deep nesting",
                                         "small events at the value limit",
                                         "empty strings at the value limit"};

std::string preferencesInput(int kind) {
    switch (kind) {
    case 0: // many snoozes
        return fillToCap("{\"overdueDays\":3,\"snoozedUntil\":{", "", "}}", [](std::size_t i) {
            return "\"" + std::to_string(i) + "\":\"2025-03-01T10:00:00Z\"";
        });
    case 1: // many empty folder names
        return fillToCap("{\"overdueDays\":3,\"coverageFolders\":[", "\"\"", "]}");
    default: // nesting deeper than any state file, to the cap
        return std::string(static_cast<std::size_t>(maxStoreFileBytes) / 2, '{') +
               std::string(static_cast<std::size_t>(maxStoreFileBytes) / 2, '}');
    }
}

const char* const preferencesInputNames[] = {"many snoozes", "many empty strings", "deep nesting"};

void writeFile(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

// Runs `work` once per iteration and reports the highest resident memory any run reached.
template <class Work> void measure(benchmark::State& state, Work&& work) {
    double peak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        bench::resetPeakResident();
        state.ResumeTiming();
        work();
        peak = std::max(peak, bench::peakResidentMB());
    }
    state.counters["peakRSS_MB"] = peak;
}

template <class Record>
void loadAndSave(benchmark::State& state, const char* name, const std::string& text,
                 const char* label) {
    Folder folder;
    state.SetLabel(label);
    state.counters["fileMB"] = static_cast<double>(text.size()) / (1024.0 * 1024.0);
    measure(state, [&] {
        state.PauseTiming();
        writeFile(folder.path / name, text);
        state.ResumeTiming();
        JSONFileStore<Record> store(name, folder.path);
        Record record = store.load();
        benchmark::DoNotOptimize(record);
        store.save(record);
    });
}

void BM_HistoryLoadAndSaveAtCap(benchmark::State& state) {
    const auto kind = static_cast<int>(state.range(0));
    loadAndSave<HistoryRecord>(state, "history.json", historyInput(kind), historyInputNames[kind]);
}

void BM_PreferencesLoadAndSaveAtCap(benchmark::State& state) {
    const auto kind = static_cast<int>(state.range(0));
    loadAndSave<WatchPreferences>(state, "preferences.json", preferencesInput(kind),
                                  preferencesInputNames[kind]);
}

// The largest history the program writes: historyCap events with long texts, and saving it.
void BM_FullHistorySave(benchmark::State& state) {
    HistoryRecord record;
    for (std::size_t i = 0; i < historyCap; ++i)
        record.events.push_back({addSeconds(start, static_cast<double>(i) * 600.0),
                                 HistoryEvent::Kind::failed, "Time Machine",
                                 "9F5E1C2A-4D3B-4E5F-8A6B-" + std::to_string(i % 4),
                                 std::string(200, 'n'), std::string(300, 't'), "nas-timeout"});
    Folder folder;
    JSONFileStore<HistoryRecord> store("history.json", folder.path);
    measure(state, [&] { store.save(record); });
}

// One check folded into a full history: four destinations listing thousands of completions
// and attempts, many log reasons, and the other tools at their 10,000-job cap.
void BM_FoldIntoFullHistory(benchmark::State& state) {
    HistoryRecord full;
    for (std::size_t i = 0; i < historyCap; ++i)
        full.events.push_back(
            {addSeconds(start, static_cast<double>(i) * 600.0),
             i % 5 == 0 ? HistoryEvent::Kind::failed : HistoryEvent::Kind::completed,
             "Time Machine", "D" + std::to_string(i % 4), "Disk", "Backup completed",
             std::nullopt});
    const Date now = addSeconds(start, 2e6);
    TimeMachineSettings settings;
    for (int d = 0; d < 4; ++d) {
        BackupDestination destination;
        destination.id = "D" + std::to_string(d);
        destination.name = "Disk";
        for (int i = 0; i < 5000; ++i) {
            destination.completed.push_back(addSeconds(start, i * 400.0 + d + 0.25));
            destination.attempts.push_back(addSeconds(start, i * 400.0 + d + 100.5));
        }
        settings.destinations.push_back(std::move(destination));
        full.observations["D" + std::to_string(d)] =
            PreviousObservation{start, 5000, addSeconds(start, 1.2e6), 10};
    }
    std::vector<FailureReason> reasons;
    for (int i = 0; i < 5000; ++i)
        reasons.push_back({"nas-timeout", "Your NAS didn't respond in time.", std::nullopt, "line",
                           addSeconds(start, 1.2e6 + i * 60.0)});
    std::vector<ToolStatus> tools;
    for (int i = 0; i < 10000; ++i)
        tools.emplace_back(ToolStatus::Tool::arq, "Plan " + std::to_string(i), std::nullopt,
                           addSeconds(now, -i * 60.0 - 0.5), addSeconds(now, -i * 60.0), true,
                           false, "Failed", std::nullopt, false, now);
    measure(state, [&] {
        state.PauseTiming();
        HistoryRecord history = full;
        state.ResumeTiming();
        recordObservation(settings, history, reasons, now);
        recordToolEvents(tools, history);
        benchmark::DoNotOptimize(history);
    });
}

BENCHMARK(BM_StoreLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreSave)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreLoadAndSave)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NlohmannParseAndDump)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NlohmannParse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NlohmannDump)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordObservation)->Arg(5000)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HistoryLoadAndSaveAtCap)->DenseRange(0, 7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PreferencesLoadAndSaveAtCap)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullHistorySave)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FoldIntoFullHistory)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
