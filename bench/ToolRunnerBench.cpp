// The runner collecting what this machine's `cat` writes, against the same `cat` writing the same
// bytes into a plain pipe that is read and thrown away, and its memory while it
// collects 20 MB or stops a tool that writes 200 MB. Peak memory is the whole process's
// (getrusage), so it also covers every benchmark that ran before.
#include "process/ToolRunner.h"

#include "FakeToolMac.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

using namespace quorvane;

namespace {

constexpr std::size_t twentyMB = 20'000'000;

const bench::FakeToolMac& fakeMac() {
    static const bench::FakeToolMac mac;
    return mac;
}

void prepare(const bench::FakeToolMac& mac) {
    if (std::filesystem::exists(mac.host("/data/20MB")))
        return;
    mac.write("/data/20MB", std::string(twentyMB, 'x'));
    mac.installScript("/usr/bin/cat20",
                      "#!/bin/sh\nexec cat \"" + mac.host("/data/20MB").string() + "\"\n");
    mac.installScript("/usr/bin/flood", "#!/bin/sh\nexec head -c 200000000 /dev/zero\n");
}

// `cat FILE` with its standard output on a pipe that we read and throw away.
std::size_t catIntoPipe(const std::string& file) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::string program = "/usr/bin/cat";
    std::string argument = file;
    char* argv[] = {program.data(), argument.data(), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = -1;
    ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::vector<char> buffer(256 * 1024);
    std::size_t total = 0;
    for (ssize_t got; (got = ::read(fds[0], buffer.data(), buffer.size())) > 0;)
        total += std::size_t(got);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return total;
}

void BM_CatIntoPipe20MB(benchmark::State& state) {
    const auto& mac = fakeMac();
    prepare(mac);
    for (auto _ : state) {
        const std::size_t total = catIntoPipe(mac.host("/data/20MB").string());
        if (total != twentyMB)
            state.SkipWithError("cat did not write 20 MB");
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(twentyMB));
    state.counters["peakRSS_MB"] = bench::peakResidentMB();
}

void BM_RunnerCollects20MB(benchmark::State& state) {
    const auto& mac = fakeMac();
    prepare(mac);
    for (auto _ : state) {
        const auto result = runToolCapturing(Mac{"/", "/root"}, "/usr/bin/cat",
                                             {mac.host("/data/20MB").string()}, 60);
        if (!result || result->status != 0 || result->output.size() != twentyMB)
            state.SkipWithError("the runner did not collect 20 MB");
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(twentyMB));
    state.counters["peakRSS_MB"] = bench::peakResidentMB();
}

void BM_RunnerStopsA200MBFlood(benchmark::State& state) {
    const auto& mac = fakeMac();
    prepare(mac);
    for (auto _ : state) {
        const ToolRun run = runToolWithLimits(mac.mac(), "/usr/bin/flood", {}, 60);
        if (!run.outputCapped || run.output.size() != toolOutputCap)
            state.SkipWithError("the flood was not stopped at the cap");
    }
    state.counters["peakRSS_MB"] = bench::peakResidentMB();
}

} // namespace

BENCHMARK(BM_CatIntoPipe20MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RunnerCollects20MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RunnerStopsA200MBFlood)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
