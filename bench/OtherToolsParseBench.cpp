// Parsing Carbon Copy Cloner's history and Arq's plan document must stay linear in the size of
// the output: compare lines (or plans) per second at two sizes.
#include "othertools/Arq.h"
#include "othertools/CarbonCopyCloner.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

using namespace quorvane;

const Date now = dateFromUnix(1717243200); // 2024-06-01T12:00:00Z

// `lines` history rows over 20 tasks, mixing both date forms, results and separators.
std::string history(int lines) {
    static const char* const results[] = {"Success", "Completed with errors", "Failed",
                                          "Cancelled by user"};
    std::string text = "Task Name,Source,Destination,Start Time,End Time,Duration,Result,Files\n";
    for (int i = 0; i < lines; ++i) {
        const std::string task = "Task " + std::to_string(i % 20);
        const std::string result = results[i % 4];
        if (i % 3 == 0)
            text += task + " | Macintosh HD | Backup SSD | " + std::to_string(1700000000 + i * 60) +
                    " | x | 00:10:00 | " + result + " | " + std::to_string(i) + "\n";
        else
            text += "\"" + task + "\",\"Macintosh HD\",\"Backup, SSD\",\"" +
                    std::to_string(1 + i % 12) + "/" + std::to_string(1 + i % 28) + "/24, " +
                    std::to_string(1 + i % 12) + ":0" + std::to_string(i % 10) + " PM\",x,y,\"" +
                    result + "\",\"" + std::to_string(i) + "\"\n";
    }
    return text;
}

// A stats document of `plans` plans, each with a latest activity and a few errors.
std::string statsDocument(int plans) {
    std::string text = "Warning: cached\n{\"backupPlans\": [";
    for (int i = 0; i < plans; ++i) {
        if (i > 0)
            text += ",";
        text += R"({"name": "Plan )" + std::to_string(i) +
                R"(", "lastBackedUp": "2024-05-31T10:00:00.123Z",
            "destination": {"name": "Bucket", "type": "S3Compatible"},
            "latestActivity": {"startedAt": "2024-06-01T09:00:00Z", "maxErrorSeverity": "High",
              "aborted": false, "errorCount": 3, "errors": [
                {"severity": "Low", "message": "timeout"},
                {"severity": "High", "message": "disk full"},
                {"severity": "Low", "message": "No such file or directory",
                 "path": "/Users/ann/Documents/file.txt"}]}})";
    }
    return text + "]}";
}

void BM_ParseCCCHistory(benchmark::State& state) {
    const int lines = static_cast<int>(state.range(0));
    const std::string text = history(lines);
    for (auto _ : state) {
        std::vector<ToolStatus> statuses = parseCCCHistory(text, now);
        benchmark::DoNotOptimize(statuses);
    }
    state.SetItemsProcessed(state.iterations() * lines);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseCCCHistory)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

void BM_ParseArqStats(benchmark::State& state) {
    const int plans = static_cast<int>(state.range(0));
    const std::string text = statsDocument(plans);
    for (auto _ : state) {
        std::vector<ToolStatus> statuses = parseArqStats(text, now);
        benchmark::DoNotOptimize(statuses);
    }
    state.SetItemsProcessed(state.iterations() * plans);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseArqStats)->Arg(100)->Arg(1'000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // The history's dates are wall-clock times: read them in a fixed zone.
    setenv("TZ", "Europe/Berlin", 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
