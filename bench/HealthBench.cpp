// The health rules over four destinations with long backup lists. The time must grow about
// linearly with the number of dates: doubling them may cost at most 2.3 times as much.
// Compare the rows of 5000 and 10000 dates (and the fitted complexity at the end).

#include "health/Health.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using namespace quorvane;

const Date now = dateFromUnix(1749988800.0);

// One destination with `count` hourly completions, each after an attempt a few minutes earlier
// (so every completion has a duration), plus sizes, a URL and a previous observation that make
// most rules look at their data.
BackupDestination destination(int index, int count) {
    BackupDestination d;
    d.id = "D" + std::to_string(index);
    d.name = "Disk " + std::to_string(index);
    d.kind = index % 2 == 0 ? BackupDestination::Kind::local : BackupDestination::Kind::network;
    d.completed.reserve(static_cast<std::size_t>(count));
    d.attempts.reserve(static_cast<std::size_t>(count));
    for (int i = count; i >= 1; --i) {
        const Date completed = addSeconds(now, -3600.0 * i);
        d.attempts.push_back(addSeconds(completed, -300.0 - (i % 7) * 60.0));
        d.completed.push_back(completed);
    }
    d.bytesUsed = 930'000'000'000;
    d.bytesAvailable = 70'000'000'000;
    d.encryptionState = "NotEncrypted";
    if (d.kind == BackupDestination::Kind::network)
        d.networkURL = "smb://nas" + std::to_string(index) + ".local/TimeMachine";
    return d;
}

void evaluateHealthDates(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    TimeMachineSettings settings;
    settings.automaticBackups = true;
    settings.interval = 3600;
    std::map<std::string, PreviousObservation> previous;
    for (int i = 1; i <= 4; ++i) {
        settings.destinations.push_back(destination(i, count));
        previous[settings.destinations.back().id] =
            PreviousObservation{settings.destinations.back().completed.front(), count,
                                addSeconds(now, -600), count / 24};
    }
    const std::optional<BackupRunState> run = BackupRunState{true, "Copying", 0.5, "D1"};
    const std::set<std::string> unreachable{"nas3.local"};
    const WatchPreferences prefs;
    for (auto _ : state) {
        auto issues = evaluateHealth(settings, run, addSeconds(now, -1800), previous, unreachable,
                                     prefs, now);
        benchmark::DoNotOptimize(issues);
    }
    state.SetComplexityN(count);
    state.counters["dates"] = 2.0 * 4 * count;
}

BENCHMARK(evaluateHealthDates)
    ->Arg(2500)
    ->Arg(5000)
    ->Arg(10000)
    ->Arg(20000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);

} // namespace

BENCHMARK_MAIN();
