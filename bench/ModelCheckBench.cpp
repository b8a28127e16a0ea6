// One check of the running application on the sample Mac (the background reading and the fold,
// with both saves) next to `--print-status` on the same Mac, and a soak of checks with the clock
// advancing ten minutes each: memory after 200 and after 2,000 checks, and the time of a check
// just after the history reaches its cap against 300 checks later.
#include "PrintStatus.h"
#include "model/AppModel.h"
#include "platform/UserDefaults.h"

#include "PeakMemory.h"
#include "SampleMac.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>

namespace {

using namespace quorvane;

// The sample Mac, made once for the whole run, with settings and state folders beside it.
struct Sample {
    QTemporaryDir dir;
    Mac mac;
    Sample() { mac = quorvane::bench::makeSampleMac(dir.filePath("mac").toStdString()); }
};

Sample& sample() {
    static Sample made;
    return made;
}

std::unique_ptr<AppModel> makeModel(const QString& folder, Clock clock,
                                    AppModel::Reader reader = {}) {
    AppModel::Setup setup;
    setup.mac = sample().mac;
    setup.stateFolder = (folder + "/state").toStdString();
    setup.userDefaultsFile = folder + "/Quorvane Ombrel.conf";
    setup.loginItemFile = folder + "/autostart/quorvane-ombrel.desktop";
    setup.executable = "/usr/bin/quorvane-ombrel";
    setup.clock = std::move(clock);
    setup.reader = std::move(reader);
    UserDefaults(setup.userDefaultsFile).acceptTerms(termsVersion, currentDate(), "0");
    return std::make_unique<AppModel>(std::move(setup));
}

// Runs the event loop until the model has folded in one more check.
void awaitCheck(AppModel& model) {
    QEventLoop loop;
    QObject::connect(&model, &AppModel::checkFinished, &loop, &QEventLoop::quit);
    loop.exec();
}

void BM_PrintStatus(benchmark::State& state) {
    const Mac mac = sample().mac;
    for (auto _ : state) {
        std::ostringstream out, err;
        runPrintStatus(mac, std::nullopt, out, err);
        benchmark::DoNotOptimize(out.str());
    }
}
BENCHMARK(BM_PrintStatus)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ModelCheck(benchmark::State& state) {
    QTemporaryDir folder;
    auto model = makeModel(folder.path(), currentDate);
    awaitCheck(*model); // the start-up's own check
    for (auto _ : state) {
        model->refresh();
        awaitCheck(*model);
    }
}
BENCHMARK(BM_ModelCheck)->Unit(benchmark::kMillisecond)->UseRealTime();

// The sample Mac's reading once; each later check sees one more completed backup, at the time of
// the check, so every check records an event and the history reaches its cap.
void BM_Soak(benchmark::State& state) {
    const int checks = 2000;
    const int extra = 400; // to time full-history checks well after the cap
    const CheckReading first =
        readCheck(sample().mac, addSeconds(currentDate(), -129600), false, currentDate());
    for (auto _ : state) {
        QTemporaryDir folder;
        auto now = std::make_shared<Date>(currentDate());
        auto reader = [first, now](const Mac&, Date, bool, Date checkTime) {
            CheckReading reading = first;
            if (reading.reading.settings && !reading.reading.settings->destinations.empty()) {
                auto& completed = reading.reading.settings->destinations.front().completed;
                completed.push_back(checkTime);
            }
            return reading;
        };
        auto model = makeModel(
            folder.path(), [now] { return *now; }, reader);
        awaitCheck(*model);
        double rssAt200 = 0, rssAt2000 = 0;
        double atCap = 0, later = 0;
        int full = 0; // checks since the history reached its cap
        for (int i = 1; i <= checks + extra; ++i) {
            *now = addSeconds(*now, 600);
            const auto start = std::chrono::steady_clock::now();
            model->refresh();
            awaitCheck(*model);
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            if (i == 200)
                rssAt200 = quorvane::bench::residentMB();
            if (i == checks)
                rssAt2000 = quorvane::bench::residentMB();
            if (model->history().events.size() >= historyCap)
                ++full;
            if (full > 0 && full <= 100)
                atCap += ms / 100;
            if (full > 300 && full <= 400)
                later += ms / 100;
        }
        state.counters["rss200_MB"] = rssAt200;
        state.counters["rss2000_MB"] = rssAt2000;
        state.counters["fullHistoryChecks"] = full;
        state.counters["checkAtCap_ms"] = atCap;
        state.counters["check300AfterCap_ms"] = later;
        state.counters["events"] = static_cast<double>(model->history().events.size());
    }
}
BENCHMARK(BM_Soak)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
