// The iCloud-only walk over a folder of 100,000 files: files per second, and how closely a
// 1-second budget stops a walk that would take longer (target: within 1.1 seconds).

#include "checks/Coverage.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using quorvane::checkCoverage;
using quorvane::CoverageResult;
using quorvane::dateFromUnix;
using quorvane::Mac;

constexpr int fileCount = 100'000;
// Enough placeholders that walking them all takes well over a second.
constexpr int evictedCount = 100'000;
constexpr int filesPerFolder = 500;

const std::string placeholderText =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
    "<key>NSURLFileSizeKey</key><integer>123456</integer>"
    "<key>NSURLNameKey</key><string>x</string></dict></plist>\n";

// Two simulated Macs' folders under /tmp, made once per run and removed at exit:
// "/Users/ann/Mixed" holds 100,000 ordinary files with one placeholder in a hundred, and
// "/Users/ann/Evicted" holds 100,000 placeholders, each of which the walk must open and parse.
struct BenchTree {
    fs::path base;
    Mac mac;

    BenchTree() {
        std::string pattern = (fs::temp_directory_path() / "qv-coverage-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        base = pattern;
        mac = Mac{base.string(), "/Users/ann"};
        fill("/Users/ann/Mixed", fileCount, 100);
        fill("/Users/ann/Evicted", evictedCount, 1);
    }
    ~BenchTree() {
        std::error_code error;
        fs::remove_all(base, error);
    }

    // `count` files in folders of `filesPerFolder`, every `placeholderEvery`-th a placeholder.
    void fill(const std::string& folder, int count, int placeholderEvery) {
        for (int i = 0; i < count; ++i) {
            fs::path dir = mac.hostPath(folder) / ("d" + std::to_string(i / filesPerFolder));
            if (i % filesPerFolder == 0)
                fs::create_directories(dir);
            if (i % placeholderEvery == 0)
                std::ofstream(dir / (".file" + std::to_string(i) + ".txt.icloud"))
                    << placeholderText;
            else
                std::ofstream(dir / ("file" + std::to_string(i) + ".txt")) << "x";
        }
    }
};

BenchTree& tree() {
    static BenchTree instance;
    return instance;
}

void walk(benchmark::State& state, const char* folder, int expected) {
    const Mac& mac = tree().mac;
    CoverageResult result;
    for (auto _ : state) {
        result = checkCoverage(mac, folder, 600, dateFromUnix(0));
        benchmark::DoNotOptimize(result);
    }
    if (result.filesChecked != expected || result.partial)
        state.SkipWithError("the walk did not see every file");
    state.SetItemsProcessed(state.iterations() * result.filesChecked);
    state.counters["cloudOnly"] = static_cast<double>(result.cloudOnlyCount);
}

void BM_CoverageMixed(benchmark::State& state) {
    walk(state, "/Users/ann/Mixed", fileCount);
}
void BM_CoverageAllEvicted(benchmark::State& state) {
    walk(state, "/Users/ann/Evicted", evictedCount);
}

// A 1-second budget over a walk that needs more: reports the longest wall time of a run.
void BM_CoverageOneSecondBudget(benchmark::State& state) {
    const Mac& mac = tree().mac;
    double longest = 0;
    bool allPartial = true;
    std::int64_t files = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        CoverageResult result = checkCoverage(mac, "/Users/ann/Evicted", 1.0, dateFromUnix(0));
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        longest = std::max(longest, seconds);
        allPartial = allPartial && result.partial;
        files = result.filesChecked;
    }
    state.counters["longestSeconds"] = longest;
    state.counters["partial"] = allPartial ? 1 : 0;
    state.counters["filesInBudget"] = static_cast<double>(files);
    if (!allPartial)
        state.SkipWithError(
            "the walk finished inside the budget: the tree is too small to show it");
}

} // namespace

BENCHMARK(BM_CoverageMixed)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CoverageAllEvicted)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CoverageOneSecondBudget)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
