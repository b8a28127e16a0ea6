// The other-tool readers at their input caps, each with the worst input we can build for it:
// many small records, long lines, lists far past the job cap. Every case must stay under
// 128 MB of peak memory and 2 s of wall time. Run each case alone to read its peak:
//   other_tools_caps_bench --benchmark_filter=BM_ArqStatus/0
#include "FakeToolMac.h"
#include "PeakMemory.h"
#include "othertools/Arq.h"
#include "othertools/Backblaze.h"
#include "othertools/CarbonCopyCloner.h"
#include "othertools/Duplicati.h"
#include "othertools/SuperDuper.h"
#include "othertools/Vorta.h"
#include "process/ToolRunner.h"

#include <benchmark/benchmark.h>

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace quorvane;
namespace fs = std::filesystem;

const Date now = dateFromUnix(1'800'000'000);

// The runner keeps at most this much of a tool's output; the parsers never see more.
constexpr std::size_t outputCap = toolOutputCap;
constexpr std::size_t databaseCap = 50'000'000;

// `piece(i)` repeated until the text reaches `size` bytes.
template <typename Piece> std::string filled(std::size_t size, std::string head, Piece piece) {
    std::string text = std::move(head);
    text.reserve(size + 4096);
    for (std::size_t i = 0; text.size() < size; ++i)
        text += piece(i);
    return text;
}

// Runs `work` once per iteration and reports the peak memory the work itself reached.
template <typename Work> void measure(benchmark::State& state, std::size_t inputBytes, Work work) {
    double peak = 0;
    for (auto _ : state) {
        bench::resetPeakResident();
        auto result = work();
        benchmark::DoNotOptimize(result);
        peak = std::max(peak, bench::peakResidentMB());
    }
    state.counters["input_MB"] = static_cast<double>(inputBytes) / 1e6;
    state.counters["peakRSS_MB"] = peak;
}

// Carbon Copy Cloner's history: 0 many short rows over twice the job cap of tasks, 1 one line
// of separators as long as the output cap.
std::string cccHistory(int shape) {
    if (shape == 1)
        return "Daily|s|d|1717000000|||Success|" + std::string(outputCap - 40, '|');
    return filled(outputCap, "", [](std::size_t i) {
        return "T" + std::to_string(i % 20'000) + ",s,d," + std::to_string(1'700'000'000 + i) +
               ",,,Success\n";
    });
}

void BM_CCCHistory(benchmark::State& state) {
    static const std::string history[2] = {cccHistory(0), cccHistory(1)};
    const std::string& text = history[state.range(0)];
    measure(state, text.size(), [&] { return cccStatuses(text, std::nullopt, now); });
}
BENCHMARK(BM_CCCHistory)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

// The task list: a million distinct scheduled tasks that never ran.
void BM_CCCTaskList(benchmark::State& state) {
    static const std::string list = filled(
        outputCap, "", [](std::size_t i) { return "\"Task " + std::to_string(i) + "\",x\n"; });
    measure(state, list.size(), [&] { return cccStatuses("", list, now); });
}
BENCHMARK(BM_CCCTaskList)->Unit(benchmark::kMillisecond)->Iterations(3);

// Arq's status document: 0 a million small plans, 1 one plan with a quarter of a million
// errors, 2 plans full of unknown keys nested 500 deep, 3 one 20 MB message.
std::string arqDocument(int shape) {
    const std::size_t size = outputCap - 64;
    switch (shape) {
    case 0:
        return filled(size, "{\"backupPlans\": [{}",
                      [](std::size_t i) {
                          return ",{\"name\":\"P" + std::to_string(i) +
                                 "\",\"lastBackedUp\":" + "\"2026-12-01T10:00:00Z\"}";
                      }) +
               "]}";
    case 1:
        return filled(size,
                      "{\"backupPlans\": [{\"latestActivity\": {\"maxErrorSeverity\": \"High\", "
                      "\"errors\": [{}",
                      [](std::size_t i) {
                          return ",{\"severity\":\"Low\",\"message\":\"m" + std::to_string(i) +
                                 "\",\"path\":\"/Users/ann/f\"}";
                      }) +
               "]}}]}";
    case 2: {
        const std::string deep = std::string(500, '[') + "1" + std::string(500, ']');
        return filled(size, "{\"backupPlans\": [{}",
                      [&](std::size_t i) {
                          return ",{\"x" + std::to_string(i) + "\":" + deep + ",\"name\":\"A\"}";
                      }) +
               "]}";
    }
    default:
        return "{\"backupPlans\": [{\"latestActivity\": {\"aborted\": true, \"errors\": "
               "[{\"message\": \"" +
               std::string(size, 'm') + "\"}]}}]}";
    }
}

void BM_ArqStatus(benchmark::State& state) {
    static std::string documents[4];
    std::string& text = documents[state.range(0)];
    if (text.empty())
        text = arqDocument(static_cast<int>(state.range(0)));
    measure(state, text.size(), [&] { return arqStatuses(text, now); });
}
BENCHMARK(BM_ArqStatus)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Iterations(3);

// Backblaze's files at their 1,000,000-byte limit, each a long run of digits inside the
// attribute the reader looks for, and the pause file at its own limit.
void BM_BackblazeFiles(benchmark::State& state) {
    static bench::FakeToolMac mac;
    static bool made = false;
    if (!made) {
        const std::string reports(backblazeReports);
        const std::string digits(999'960, '7');
        mac.write(reports + "bzstat_lastbackupcompleted.xml", "<x gmt_millis=\"" + digits + "\"/>");
        mac.write(reports + "bzstat_remainingbackup.xml",
                  "<x remainingnumfilesforbackup=\"" + digits + "\"/>");
        mac.write(std::string(backblazeInstall) + "/bzdata/bzinfo.xml",
                  "<x backup_schedule_type=\"" + std::string(999'960, 'o') + "\"/>");
        mac.write(std::string(backblazeInstall) + "/bzdata/pauseinfo.xml",
                  "<x pauseuntil_reason=\"" + std::string(63'900, 'n') + "\"/>");
        made = true;
    }
    measure(state, 3'064'000, [&] { return readBackblaze(mac.mac(), now); });
}
BENCHMARK(BM_BackblazeFiles)->Unit(benchmark::kMillisecond)->Iterations(3);

void exec(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s\n", error ? error : "sqlite error");
        std::abort();
    }
}

// Fills the database at `file` with `schema`, then `batch` until it is within 1% of the cap.
void makeDatabase(const fs::path& file, const std::string& schema, const std::string& batch) {
    fs::create_directories(file.parent_path());
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK)
        std::abort();
    exec(db, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;" + schema);
    while (fs::file_size(file) < databaseCap * 99 / 100)
        exec(db, batch);
    sqlite3_close(db);
}

// Duplicati's database at its cap: 20,000 jobs and a million small metadata rows.
void BM_DuplicatiDatabase(benchmark::State& state) {
    static bench::FakeToolMac mac;
    static const std::string path = duplicatiDatabase(mac.mac());
    static bool made = false;
    if (!made) {
        makeDatabase(
            mac.host(path),
            "CREATE TABLE Backup (ID INTEGER PRIMARY KEY, Name TEXT, TargetURL TEXT);"
            "CREATE TABLE Metadata (BackupID INTEGER, Name TEXT, Value TEXT);"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)"
            "  INSERT INTO Backup SELECT i, 'Job ' || i, 'ssh://nas/backup/' || i FROM n;",
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)"
            "  INSERT INTO Metadata SELECT i, CASE i % 3 WHEN 0 THEN 'LastErrorMessage'"
            "  WHEN 1 THEN 'LastErrorDate' ELSE 'Other' || i END,"
            "  '20261201T10000' || (i % 10) || 'Z failed to connect' FROM n;");
        made = true;
    }
    measure(state, fs::file_size(mac.host(path)),
            [&] { return readDuplicati(mac.mac(), path, now); });
}
BENCHMARK(BM_DuplicatiDatabase)->Unit(benchmark::kMillisecond)->Iterations(3);

// Vorta's log at the tail's size, every line an error of the Borg job.
std::string vortaLogText() {
    return filled(vortaLogTail, "", [](std::size_t i) {
        return "2026-12-01 10:00:00,000 - vorta.borg.borg_job - ERROR - Connection closed " +
               std::to_string(i) + "\n";
    });
}

const std::string vortaSchema =
    "CREATE TABLE repomodel (id INTEGER PRIMARY KEY, url TEXT);"
    "CREATE TABLE backupprofilemodel (id INTEGER PRIMARY KEY, name TEXT, repo_id INT);"
    "CREATE TABLE eventlogmodel (id INTEGER PRIMARY KEY, profile TEXT, subcommand TEXT,"
    "  start_time TEXT, end_time TEXT, returncode INT, message TEXT);"
    "CREATE TABLE archivemodel (id INTEGER PRIMARY KEY, repo_id INT, time TEXT);";

// `events` failed runs without a message over the first 10,000 profiles, each of them searching
// the log: half inside the log's error lines, half outside so the whole log is searched.
std::string vortaFailedRuns(int events) {
    return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
           std::to_string(events) +
           ")  INSERT INTO eventlogmodel (profile, subcommand, start_time, end_time, returncode)"
           "  SELECT (i % 10000) + 1, 'create', CASE i % 2 WHEN 0 THEN '2026-12-01 09:59:00'"
           "  ELSE '2026-11-01 09:59:00' END, '2026-12-01 09:59:30', 2 FROM n;";
}

// Vorta's database at its cap: 30,000 profiles with local repositories, failed runs without a
// message (the newest 500 are read, and the log tail is searched for each) and archives
// filling the rest.
void BM_VortaDatabase(benchmark::State& state) {
    static bench::FakeToolMac mac;
    static const std::string path = vortaDatabase(mac.mac());
    static const std::string log = vortaLog(mac.mac());
    static bool made = false;
    if (!made) {
        makeDatabase(
            mac.host(path),
            vortaSchema +
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 30000)"
                "  INSERT INTO repomodel SELECT i, '/Volumes/Disk/borg' || i FROM n;"
                "INSERT INTO backupprofilemodel SELECT id, 'Profile ' || id, id FROM repomodel;" +
                vortaFailedRuns(20'000),
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)"
            "  INSERT INTO archivemodel (repo_id, time) SELECT (i % 30000) + 1,"
            "  '2026-11-30 10:00:00.123456' FROM n;");
        mac.write(log, vortaLogText());
        made = true;
    }
    measure(state, fs::file_size(mac.host(path)) + vortaLogTail,
            [&] { return readVorta(mac.mac(), path, log, now); });
}
BENCHMARK(BM_VortaDatabase)->Unit(benchmark::kMillisecond)->Iterations(3);

// The log tail at its size, searched for each of the 500 failed runs a reading takes, with a
// small database around it.
void BM_VortaLogTail(benchmark::State& state) {
    static bench::FakeToolMac mac;
    static const std::string path = vortaDatabase(mac.mac());
    static const std::string log = vortaLog(mac.mac());
    static bool made = false;
    if (!made) {
        mac.write(log, vortaLogText());
        fs::create_directories(mac.host(path).parent_path());
        sqlite3* db = nullptr;
        if (sqlite3_open(mac.host(path).c_str(), &db) != SQLITE_OK)
            std::abort();
        exec(db, vortaSchema +
                     "INSERT INTO repomodel VALUES (1, 'ssh://borg@nas/./ann');"
                     "INSERT INTO backupprofilemodel VALUES (1, 'Default', 1);" +
                     vortaFailedRuns(500));
        sqlite3_close(db);
        made = true;
    }
    measure(state, vortaLogTail, [&] { return readVorta(mac.mac(), path, log, now); });
}
BENCHMARK(BM_VortaLogTail)->Unit(benchmark::kMillisecond)->Iterations(3);

// SuperDuper!'s logs folder at the walk's bound, every name a log, each newest log at its size
// limit.
void BM_SuperDuperLogsFolder(benchmark::State& state) {
    static bench::FakeToolMac mac;
    static const std::string root = superDuperSettings(mac.mac());
    static bool made = false;
    if (!made) {
        const fs::path logs = mac.host(root + "/Nightly.sdsp/Logs");
        fs::create_directories(logs);
        const std::string big =
            filled(superDuperLogLimit - 100, "",
                   [](std::size_t) {
                       return std::string("| 21:00:02 | Info | ...ACTION: Copying files\\\n");
                   }) +
            "| 21:04:00 | Info | Copy complete.\\\n";
        for (std::size_t i = 0; i < superDuperNamesWalked; ++i) {
            const std::time_t t = 1'700'000'000 + static_cast<std::time_t>(i) * 60;
            std::tm tm{};
            gmtime_r(&t, &tm);
            char name[64];
            std::strftime(name, sizeof name, "%Y-%m-%d %H:%M:%S +0000.sdlog", &tm);
            std::ofstream out(logs / name);
            if (i + superDuperLogsRead >= superDuperNamesWalked)
                out << big;
        }
        made = true;
    }
    measure(state, superDuperNamesWalked, [&] { return readSuperDuper(mac.mac(), root, now); });
}
BENCHMARK(BM_SuperDuperLogsFolder)->Unit(benchmark::kMillisecond)->Iterations(3);

// One log at its size limit: 0 many short lines, 1 one line of escapes to replace.
void BM_SuperDuperLogParse(benchmark::State& state) {
    static const std::string logs[2] = {
        filled(superDuperLogLimit, "",
               [](std::size_t i) { return i % 2 ? "| a | Error | x\n" : "| b\n"; }),
        "| " + filled(superDuperLogLimit - 2, "", [](std::size_t) { return "\\'93\\{"; })};
    const std::string& text = logs[state.range(0)];
    measure(state, text.size(), [&] { return parseSuperDuperLog(text, now); });
}
BENCHMARK(BM_SuperDuperLogParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    setenv("TZ", "Europe/Berlin", 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
