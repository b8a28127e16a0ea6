// Reading Time Machine's log: 5,000 and 50,000 NDJSON entries through the fake log tool, and the
// same parsing without the tool. Entries per second should stay flat as the log grows. Also the
// worst outputs at the output cap, with their peak memory.
#include "timemachine/TimeMachineLog.h"

#include "FakeToolMac.h"
#include "base/IsoDate.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

using namespace quorvane;

namespace {

const Date windowStart = *parseIsoDate("2026-07-25T00:00:00Z");

// `count` entries like the real tool's, one in ten an error, plus the trailer.
std::string makeLog(std::size_t count) {
    std::string text;
    text.reserve(count * 900);
    for (std::size_t i = 0; i < count; ++i) {
        const bool error = i % 10 == 0;
        const unsigned second = unsigned(i % 86400);
        char timestamp[64];
        std::snprintf(timestamp, sizeof timestamp, "2026-07-26 %02u:%02u:%02u.%06u+0200",
                      second / 3600 % 24, second / 60 % 60, second % 60, unsigned(i % 1000000));
        text += R"({"traceID":1234567890123,"eventMessage":")";
        text += error ? "Backup failed with error 19: BACKUP_FAILED_TARGETVOL_NOT_MOUNTED"
                      : "Starting automatic backup for \\/Volumes\\/Ann\u2019s Backup";
        text += R"(","eventType":"logEvent","source":null,"formatString":"%{public}@",)"
                R"("activityIdentifier":0,"subsystem":"com.apple.TimeMachine",)"
                R"("category":"BackupScheduling","threadID":4242,)"
                R"("senderImageUUID":"1F2E3D4C-0000-1111-2222-333344445555",)"
                R"("backtrace":{"frames":[{"imageOffset":123456,)"
                R"("imageUUID":"1F2E3D4C-0000-1111-2222-333344445555"}]},"bootUUID":"",)"
                R"("processImagePath":"\/System\/Library\/CoreServices\/backupd.bundle\/)"
                R"(Contents\/Resources\/backupd","timestamp":")";
        text += timestamp;
        text +=
            R"(","senderImagePath":"\/System\/Library\/PrivateFrameworks\/)"
            R"(TimeMachine.framework\/Versions\/A\/TimeMachine","machTimestamp":98765432101234,)"
            R"("messageType":")";
        text += error ? "Error" : "Default";
        text += R"(","processImageUUID":"9A8B7C6D-0000-1111-2222-333344445555",)"
                R"("processID":512,"senderProgramCounter":654321,"parentActivityIdentifier":0,)"
                R"("timezoneName":""})"
                "\n";
    }
    text += R"({"count":)" + std::to_string(count) + R"(,"finished":1})" + "\n";
    return text;
}

const std::string& logText(std::size_t count) {
    static std::map<std::size_t, std::string> made;
    auto& text = made[count];
    if (text.empty())
        text = makeLog(count);
    return text;
}

void BM_ReadTimeMachineLog(benchmark::State& state) {
    const std::size_t count = std::size_t(state.range(0));
    bench::FakeToolMac mac;
    mac.write("/var/log-show.ndjson", logText(count));
    mac.installScript("/usr/bin/log", "#!/bin/sh\nexec cat \"" +
                                          mac.host("/var/log-show.ndjson").string() + "\"\n");
    for (auto _ : state) {
        const LogReading reading = readTimeMachineLog(mac.mac(), windowStart, 60);
        if (reading.which != LogReading::Case::lines || reading.entries.size() != count / 10)
            state.SkipWithError("unexpected reading");
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(count));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(logText(count).size()));
    state.counters["peakRSS_MB"] = bench::peakResidentMB();
}

void BM_CollectLogEntries(benchmark::State& state) {
    const std::size_t count = std::size_t(state.range(0));
    const std::string& text = logText(count);
    for (auto _ : state) {
        LogCollector collector(windowStart);
        for (std::size_t at = 0; at < text.size(); at += 65536)
            collector.feed(std::string_view(text).substr(at, 65536));
        benchmark::DoNotOptimize(collector.finish());
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(count));
}

// The worst outputs the log tool could give, each just under the output cap, so that all of it is
// read: one line as long as the cap (skipped unread), the shortest entries that are kept (the most
// lines to parse), kept entries as long as a line may be (the most bytes kept), and lines nested as
// deep as a line allows.
enum class Worst { oneHugeLine, tinyEntries, longestEntries, deepNesting };

constexpr std::size_t worstSize = logOutputCap - 64 * 1024;
constexpr std::string_view keptHead =
    R"({"eventType":"logEvent","timestamp":"2026-07-26 10:00:00.000000+0200",)"
    R"("eventMessage":"Backup failed)";

// Written piece by piece to a file, so that making it costs the benchmark no memory.
void writeWorst(const std::filesystem::path& file, Worst shape) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::size_t written = 0;
    const auto put = [&](std::string_view piece) {
        out.write(piece.data(), std::streamsize(piece.size()));
        written += piece.size();
    };
    const std::size_t lineRoom = maxLogLineBytes - 1; // bytes of a line before its line feed
    switch (shape) {
    case Worst::oneHugeLine: {
        put(keptHead);
        const std::string filler(1 << 20, 'x');
        while (written + filler.size() + 3 < worstSize)
            put(filler);
        put("\"}\n");
        break;
    }
    case Worst::tinyEntries: {
        const std::string entry = std::string(keptHead) + "\"}\n";
        while (written + entry.size() < worstSize)
            put(entry);
        break;
    }
    case Worst::longestEntries: {
        const std::string entry =
            std::string(keptHead) + std::string(lineRoom - keptHead.size() - 2, 'x') + "\"}\n";
        while (written + entry.size() < worstSize)
            put(entry);
        break;
    }
    case Worst::deepNesting: {
        const std::string head = std::string(keptHead) + "\",\"x\":";
        const std::size_t depth = (lineRoom - head.size() - 1) / 2;
        const std::string entry = head + std::string(depth, '[') + std::string(depth, ']') + "}\n";
        while (written + entry.size() < worstSize)
            put(entry);
        break;
    }
    }
}

void BM_ReadTimeMachineLogWorst(benchmark::State& state) {
    const auto shape = Worst(state.range(0));
    bench::FakeToolMac mac;
    const auto file = mac.host("/var/log-show.ndjson");
    std::filesystem::create_directories(file.parent_path());
    writeWorst(file, shape);
    mac.installScript("/usr/bin/log", "#!/bin/sh\nexec cat \"" + file.string() + "\"\n");
    const std::size_t expected = shape == Worst::oneHugeLine   ? 0
                                 : shape == Worst::tinyEntries ? maxKeptLogEntries
                                                               : worstSize / maxLogLineBytes;
    bench::resetPeakResident();
    for (auto _ : state) {
        const LogReading reading = readTimeMachineLog(mac.mac(), windowStart, 60);
        if (reading.which != LogReading::Case::lines || reading.entries.size() != expected)
            state.SkipWithError("unexpected reading");
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) *
                            std::int64_t(std::filesystem::file_size(file)));
    state.counters["peakRSS_MB"] = bench::peakResidentMB();
}

} // namespace

BENCHMARK(BM_ReadTimeMachineLogWorst)
    ->ArgName("shape")
    ->DenseRange(0, 3)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ReadTimeMachineLog)
    ->Arg(5000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CollectLogEntries)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
