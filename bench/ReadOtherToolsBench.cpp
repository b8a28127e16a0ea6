// The whole other-tools pass over a simulated Mac with all seven applications installed, against
// the parsing alone of the same outputs and files: the pass should cost what running the tools and
// copying the databases cost, with parsing a small share of it.
#include "othertools/Arq.h"
#include "othertools/CarbonCopyCloner.h"
#include "othertools/ChronoSync.h"
#include "othertools/OtherTools.h"
#include "othertools/SuperDuper.h"
#include "process/ToolRunner.h"

#include "SampleMac.h"
#include "othertools/ArchiveBuilder.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using namespace quorvane;
namespace fs = std::filesystem;

const std::string superDuperRoot =
    "/Users/ann/Library/Application Support/SuperDuper!/Saved Settings";
const std::string chronoSyncArchive =
    "/Users/ann/Library/Application Support/ChronoSync/Documents.data";

void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string logText(int steps) {
    std::string text = "{\\rtf1\\ansi\n";
    for (int i = 0; i < steps; ++i)
        text += "| 21:00:0" + std::to_string(i % 10) + " | Info | ...ACTION: Copying step " +
                std::to_string(i) + "\\\n";
    return text + "| 21:30:00 | Info | Copy complete.\\\n}";
}

// The sample Mac, dated, plus SuperDuper! (two packages of 20 logs) and ChronoSync (20 tasks).
struct AllTools {
    fs::path folder;
    Mac mac;
    Date now = currentDate();

    AllTools() {
        folder = fs::temp_directory_path() / ("quorvane-bench-tools-" + std::to_string(::getpid()));
        fs::remove_all(folder);
        mac = quorvane::bench::makeSampleMac(folder / "mac");
        for (const char* package : {"Nightly.sdsp", "Weekly.sdsp"})
            for (int day = 1; day <= 20; ++day)
                write(mac.hostPath(superDuperRoot + "/" + package + "/Logs/2026-11-" +
                                   (day < 10 ? "0" : "") + std::to_string(day) +
                                   " 21:00:00 +0100.sdlog"),
                      logText(200));
        testing::ArchiveBuilder archive;
        std::vector<std::uint64_t> tasks;
        for (int i = 0; i < 20; ++i)
            tasks.push_back(archive.object(
                "DocumentRef",
                {{"NAME", archive.string("Task " + std::to_string(i))},
                 {"SDAT", archive.date(unixSeconds(now) - referenceDateOffset - 3600)},
                 {"SUMY", archive.string("Synced 12 files. Errors: 0")},
                 {"RNAM", archive.string("\"Backups\" on \"Archive\"")}}));
        write(mac.hostPath(chronoSyncArchive), archive.bytes(archive.array(tasks)));
        fs::create_directories(mac.hostPath("/Applications/ChronoSync.app"));
        fs::create_directories(mac.hostPath("/Applications/SuperDuper!.app"));
    }
    ~AllTools() { fs::remove_all(folder); }
};

AllTools& tools() {
    static AllTools instance;
    return instance;
}

void BM_ReadOtherTools(benchmark::State& state) {
    AllTools& all = tools();
    std::size_t statuses = 0;
    for (auto _ : state) {
        auto found = readOtherTools(all.mac, all.now);
        statuses = found.size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["statuses"] = static_cast<double>(statuses);
}
BENCHMARK(BM_ReadOtherTools)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

// The same outputs and files, captured once, through the parsers alone.
void BM_ParsingOnly(benchmark::State& state) {
    AllTools& all = tools();
    const auto history = runTool(all.mac, cccPath, {"--history", "-c", "-d"}, 10).value_or("");
    const auto schedules =
        runTool(all.mac, cccPath, {"--print-schedules", "-c", "-d"}, 10).value_or("");
    const auto arq = runTool(all.mac, arqcPath, {"stats"}, 10).value_or("");
    const std::string archive = slurp(all.mac.hostPath(chronoSyncArchive));
    std::vector<std::pair<std::string, Date>> logs;
    for (const auto& entry : fs::recursive_directory_iterator(all.mac.hostPath(superDuperRoot)))
        if (entry.path().extension() == ".sdlog")
            logs.emplace_back(slurp(entry.path()),
                              superDuperLogStart(entry.path().stem().string()).value_or(all.now));
    for (auto _ : state) {
        benchmark::DoNotOptimize(cccStatuses(history, schedules, all.now));
        benchmark::DoNotOptimize(arqStatuses(arq, all.now));
        if (auto tasks = parseChronoSyncDocuments(archive))
            benchmark::DoNotOptimize(chronoSyncStatuses(*tasks, all.now));
        std::vector<SuperDuperRun> runs;
        for (const auto& [text, start] : logs)
            runs.push_back(parseSuperDuperLog(text, start));
        benchmark::DoNotOptimize(superDuperStatus("Nightly", std::nullopt, runs, all.now));
    }
}
BENCHMARK(BM_ParsingOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
