// One check on the sample Mac (the background reading, then the fold and the alert decisions)
// beside what `--print-status` does on the same Mac; and a soak of 2,000 folds with the clock
// advanced ten minutes each, which fills the history to its cap: the time of one fold must not
// grow once the history is full, nor memory between fold 200 and fold 2,000.
#include "PeakMemory.h"
#include "PrintStatus.h"
#include "SampleMac.h"
#include "alerting/NotificationPlan.h"
#include "cycle/ApplyCheck.h"
#include "cycle/CheckReading.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using namespace quorvane;
namespace fs = std::filesystem;

struct SampleMac {
    fs::path folder;
    Mac mac;

    SampleMac() {
        folder = fs::temp_directory_path() / ("quorvane-bench-cycle-" + std::to_string(::getpid()));
        fs::remove_all(folder);
        mac = quorvane::bench::makeSampleMac(folder / "mac");
    }
    ~SampleMac() { fs::remove_all(folder); }
};

SampleMac& sample() {
    static SampleMac instance;
    return instance;
}

// CPU time of this thread: the machine is shared, so wall time per fold would mostly measure
// the neighbours.
double threadSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

WatchPreferences alertingPrefs() {
    WatchPreferences prefs;
    prefs.alertsOn = true;
    return prefs;
}

// What the printout reads and words, the yardstick for one check.
void BM_PrintStatusOnSampleMac(benchmark::State& state) {
    const Mac& mac = sample().mac;
    quorvane::bench::resetPeakResident();
    for (auto _ : state)
        benchmark::DoNotOptimize(printoutLines(readPrintout(mac)));
    state.counters["peakRSS_MB"] = quorvane::bench::peakResidentMB();
}
BENCHMARK(BM_PrintStatusOnSampleMac)->Unit(benchmark::kMillisecond)->UseRealTime();

// One check after another on the same history, as the running application does them.
void BM_CheckOnSampleMac(benchmark::State& state) {
    const Mac& mac = sample().mac;
    const WatchPreferences prefs = alertingPrefs();
    HistoryRecord history;
    std::size_t posted = 0;
    quorvane::bench::resetPeakResident();
    for (auto _ : state) {
        const Date now = currentDate();
        const CheckReading reading =
            readCheck(mac, logWindowStart(history.logReadUpTo, now), prefs.nasCheckOn, now);
        CheckOutcome outcome = applyCheck(reading, prefs, std::move(history), false, mac, now);
        posted += planAlerts(outcome.issues,
                             outcome.reasons.value_or(std::map<std::string, FailureReason>{}),
                             prefs, reading.reading.settings, outcome.history, now)
                      .size();
        history = std::move(outcome.history);
    }
    state.counters["peakRSS_MB"] = quorvane::bench::peakResidentMB();
    state.counters["posted"] = static_cast<double>(posted);
}
BENCHMARK(BM_CheckOnSampleMac)->Unit(benchmark::kMillisecond)->UseRealTime();

// 2,000 folds of the sample Mac's reading, each with one more completed backup per disk and the
// clock ten minutes on, so the history reaches its cap of events about halfway.
void BM_FoldSoak(benchmark::State& state) {
    const Mac& mac = sample().mac;
    const WatchPreferences prefs = alertingPrefs();
    Date now = currentDate();
    const CheckReading base =
        readCheck(mac, logWindowStart(std::nullopt, now), prefs.nasCheckOn, now);
    if (!base.reading.isRead() || base.reading.settings->destinations.empty()) {
        state.SkipWithError("the sample Mac's settings did not read");
        return;
    }
    for (auto _ : state) {
        HistoryRecord history;
        CheckReading reading = base;
        double early = 0, full = 0, late = 0, rssAt200 = 0, rssAt2000 = 0;
        int fullAt = 0;
        for (int check = 1; check <= 2000; ++check) {
            now = addSeconds(now, 600);
            // The other tools keep backing up too, so their issues stay as they are.
            for (ToolStatus& tool : reading.tools) {
                if (tool.lastSuccess)
                    tool.lastSuccess = addSeconds(*tool.lastSuccess, 600);
                if (tool.lastAttempt)
                    tool.lastAttempt = addSeconds(*tool.lastAttempt, 600);
            }
            for (auto& disk : reading.reading.settings->destinations) {
                disk.completed.push_back(now);
                disk.attempts.push_back(now);
                if (disk.completed.size() > 200) // Time Machine thins old snapshots too
                    disk.completed.erase(disk.completed.begin());
                if (disk.attempts.size() > 200)
                    disk.attempts.erase(disk.attempts.begin());
            }
            const double start = threadSeconds();
            CheckOutcome outcome = applyCheck(reading, prefs, std::move(history), false, mac, now);
            benchmark::DoNotOptimize(planAlerts(
                outcome.issues, outcome.reasons.value_or(std::map<std::string, FailureReason>{}),
                prefs, reading.reading.settings, outcome.history, now));
            history = std::move(outcome.history);
            const double seconds = threadSeconds() - start;
            if (check <= 200)
                early += seconds;
            if (!fullAt && history.events.size() >= historyCap)
                fullAt = check;
            if (check > 1000 && check <= 1200)
                full += seconds;
            if (check > 1800)
                late += seconds;
            if (check == 200)
                rssAt200 = quorvane::bench::residentMB();
        }
        rssAt2000 = quorvane::bench::residentMB();
        state.counters["events"] = static_cast<double>(history.events.size());
        state.counters["cpu_ms_per_fold_first200"] = early / 200 * 1000;
        state.counters["cpu_ms_per_fold_1001_1200"] = full / 200 * 1000;
        state.counters["cpu_ms_per_fold_last200"] = late / 200 * 1000;
        state.counters["cap_reached_at"] = fullAt;
        state.counters["RSS_MB_at200"] = rssAt200;
        state.counters["RSS_MB_at2000"] = rssAt2000;
    }
}
BENCHMARK(BM_FoldSoak)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace

BENCHMARK_MAIN();
