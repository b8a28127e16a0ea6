// Worst inputs for the issue ordering, the exclusion comparison, the coverage walk and the
// cautious existence test. Each must stay under 2 seconds and 128 MB of peak resident memory.
// Run one at a time (--benchmark_filter=NAME) so that each peak is its own.

#include "PeakMemory.h"
#include "checks/Coverage.h"
#include "health/Exclusions.h"
#include "health/Issue.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace quorvane;

fs::path freshFolder(const char* prefix) {
    std::string pattern = (fs::temp_directory_path() / prefix).string() + "-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        std::abort();
    return pattern;
}

// 100,000 destinations with one issue each, listed last to first, plus a tool issue and a
// Mac-wide issue per thousand: every rank lookup misses all but one entry.
void BM_OrderIssuesManyDestinations(benchmark::State& state) {
    constexpr int count = 100'000;
    std::vector<std::string> destinations;
    std::vector<Issue> issues;
    destinations.reserve(count);
    for (int i = 0; i < count; ++i)
        destinations.push_back("8A4C1E2F-0000-4000-8000-" + std::to_string(100'000'000 + i));
    for (int i = count - 1; i >= 0; --i) {
        issues.push_back({IssueKind::overdue,
                          destinations[static_cast<std::size_t>(i)],
                          i % 2 ? HealthLevel::red : HealthLevel::amber,
                          "Overdue",
                          {},
                          {}});
        if (i % 1000 == 0) {
            issues.push_back({IssueKind::tool,
                              "tool:arq:" + std::to_string(i),
                              HealthLevel::red,
                              "Tool",
                              {},
                              {}});
            issues.push_back({IssueKind::unknown, {}, HealthLevel::unknown, "Mac", {}, {}});
        }
    }
    bench::resetPeakResident();
    for (auto _ : state) {
        auto ordered = orderIssues(issues, destinations);
        benchmark::DoNotOptimize(ordered);
    }
    state.counters["peakRSS_MB"] = bench::peakResidentMB();
}

// 40,000 exclusions, the same list now as at the previous check: no issue, every path compared.
void BM_ExclusionIssuesUnchanged(benchmark::State& state) {
    constexpr int count = 40'000;
    std::vector<std::string> paths;
    paths.reserve(count);
    for (int i = 0; i < count; ++i)
        paths.push_back("/Users/ann/Projects/client-" + std::to_string(i) + "/node_modules");
    const std::optional<std::vector<std::string>> before = paths;
    bench::resetPeakResident();
    for (auto _ : state) {
        auto issues = exclusionIssues(paths, before);
        if (!issues.empty())
            state.SkipWithError("an unchanged list raised issues");
        benchmark::DoNotOptimize(issues);
    }
    state.counters["peakRSS_MB"] = bench::peakResidentMB();
}

// A chain of 300 folders (past the depth cut) with 30 empty sibling folders and a placeholder
// at every level, and one level holding 20,000 sibling folders: deep and wide at once.
struct CoverageTree {
    fs::path base = freshFolder("qv-paths-coverage");
    Mac mac{base.string(), "/Users/ann"};

    CoverageTree() {
        fs::path level = mac.hostPath("/Users/ann/Deep");
        fs::create_directories(level);
        for (int depth = 0; depth < 300; ++depth) {
            const int siblings = depth == 40 ? 20'000 : 30;
            for (int s = 0; s < siblings; ++s)
                fs::create_directory(level / ("sibling-" + std::to_string(s)));
            std::ofstream(level / ".evicted.txt.icloud") << "x";
            level /= "next";
            fs::create_directory(level);
        }
    }
    ~CoverageTree() {
        std::error_code error;
        fs::remove_all(base, error);
    }
};

void BM_CoverageDeepAndWide(benchmark::State& state) {
    static CoverageTree tree;
    bench::resetPeakResident();
    CoverageResult result;
    for (auto _ : state) {
        result = checkCoverage(tree.mac, "/Users/ann/Deep", 600, dateFromUnix(0));
        benchmark::DoNotOptimize(result);
    }
    state.counters["peakRSS_MB"] = bench::peakResidentMB();
    state.counters["files"] = static_cast<double>(result.filesChecked);
    state.counters["partial"] = result.partial ? 1 : 0;
}

// A folder 1,500 levels below the home folder ("/Users/ann/d/d/.../d"), all of it on disk.
struct DeepPath {
    fs::path base = freshFolder("qv-paths-deep");
    Mac mac{base.string(), "/Users/ann"};
    std::string macPath = "/Users/ann";

    DeepPath() {
        fs::create_directories(mac.hostPath(macPath));
        int fd = ::open(mac.hostPath(macPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int i = 0; i < 1500 && fd >= 0; ++i) {
            ::mkdirat(fd, "d", 0755);
            int child = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ::close(fd);
            fd = child;
            macPath += "/d";
        }
        if (fd < 0)
            std::abort();
        ::close(fd);
    }
    ~DeepPath() {
        std::error_code error;
        fs::remove_all(base, error);
    }
};

void BM_SafeFolderExistsDeepPath(benchmark::State& state) {
    static DeepPath deep;
    const std::vector<MountedVolume> volumes;
    bench::resetPeakResident();
    std::optional<bool> answer;
    for (auto _ : state) {
        answer = safeFolderExists(deep.mac, deep.macPath, "/Users/ann", volumes);
        benchmark::DoNotOptimize(answer);
    }
    state.counters["peakRSS_MB"] = bench::peakResidentMB();
    state.counters["answer"] = answer ? (*answer ? 1 : 0) : -1;
}

} // namespace

BENCHMARK(BM_OrderIssuesManyDestinations)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ExclusionIssuesUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CoverageDeepAndWide)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SafeFolderExistsDeepPath)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
