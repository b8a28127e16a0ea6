// Copying, opening and querying a database at the readers' size limit (50,000,000 bytes).
// Peak memory must stay well under twice the file size: the copy is streamed, never held whole.

#include "PeakMemory.h"
#include "othertools/SafeRead.h"

#include <benchmark/benchmark.h>

#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using quorvane::Mac;
using quorvane::SafeSQLite;

constexpr std::size_t limit = 50'000'000;

// A simulated Mac with a database just under the limit, made once per run.
struct BenchMac {
    fs::path base;
    Mac mac;
    std::uintmax_t size = 0;
    double peakBefore = 0;

    BenchMac() {
        std::string pattern = (fs::temp_directory_path() / "qv-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        base = pattern;
        fs::create_directories(base / "mac/Users/ann");
        mac = Mac{(base / "mac").string(), "/Users/ann"};
        const fs::path file = mac.hostPath("/Users/ann/settings.db");
        sqlite3* db = nullptr;
        if (sqlite3_open(file.c_str(), &db) != SQLITE_OK)
            std::abort();
        sqlite3_exec(db,
                     "PRAGMA page_size = 4096; PRAGMA journal_mode = OFF;"
                     "CREATE TABLE archives(id INTEGER PRIMARY KEY, name TEXT, payload BLOB);",
                     nullptr, nullptr, nullptr);
        // One row per 4096-byte page, ten rows at a time, until within one batch of the limit.
        const char* batch = "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n "
                            "LIMIT 10) INSERT INTO archives(name, payload) "
                            "SELECT 'archive-' || x, randomblob(4000) FROM n";
        while (fs::file_size(file) + 12 * 4096 < limit)
            sqlite3_exec(db, batch, nullptr, nullptr, nullptr);
        sqlite3_close(db);
        size = fs::file_size(file);
        peakBefore = quorvane::bench::peakResidentMB();
    }
    ~BenchMac() {
        std::error_code ec;
        fs::remove_all(base, ec);
    }
};

void BM_SafeSQLiteCopyOpenQuery(benchmark::State& state) {
    static BenchMac bench;
    std::int64_t rows = 0;
    bool finished = true;
    for (auto _ : state) {
        std::optional<SafeSQLite> db =
            SafeSQLite::copying(bench.mac, "/Users/ann/settings.db", {"archives"}, limit, 3);
        if (!db) {
            state.SkipWithError("the copy did not open");
            return;
        }
        rows = 0;
        finished = db->rows("SELECT id, name, length(payload) FROM archives",
                            [&](sqlite3_stmt* stmt) { rows += sqlite3_column_int64(stmt, 2) > 0; });
        db->close();
    }
    state.counters["db_bytes"] = static_cast<double>(bench.size);
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["finished"] = finished ? 1 : 0;
    state.counters["peak_MB_before"] = bench.peakBefore;
    state.counters["peak_MB"] = quorvane::bench::peakResidentMB();
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bench.size));
}
BENCHMARK(BM_SafeSQLiteCopyOpenQuery)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
