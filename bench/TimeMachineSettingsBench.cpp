// Reading Time Machine's settings must cost at most twice what libplist alone takes to parse the
// same bytes. The file is the size of a long-lived Mac's: 4 destinations with 5,000 snapshot and
// 5,000 attempt dates each, as a binary and as an XML property list.
//
// Compare BM_ReadTimeMachineSettings/N with BM_LibplistParse/N (N = 0 binary, 1 XML).

#include "timemachine/TimeMachineSettings.h"

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace quorvane;
namespace fs = std::filesystem;

namespace {

std::string settingsBytes(bool binary) {
    plist_t destinations = plist_new_array();
    for (int d = 0; d < 4; ++d) {
        plist_t entry = plist_new_dict();
        plist_dict_set_item(
            entry, "DestinationID",
            plist_new_string(("0A1B2C3D-1111-2222-3333-44445555666" + std::to_string(d)).c_str()));
        plist_dict_set_item(entry, "LastKnownVolumeName", plist_new_string("Backup disk"));
        plist_t snapshots = plist_new_array();
        plist_t attempts = plist_new_array();
        for (int i = 0; i < 5000; ++i) {
            const int32_t when = 700'000'000 + i * 3600 + d * 60;
            plist_array_append_item(snapshots, plist_new_date(when + 300, 123'000));
            plist_array_append_item(attempts, plist_new_date(when, 456'000));
        }
        plist_dict_set_item(entry, "SnapshotDates", snapshots);
        plist_dict_set_item(entry, "AttemptDates", attempts);
        plist_dict_set_item(entry, "BytesUsed", plist_new_uint(400'000'000'000));
        plist_dict_set_item(entry, "BytesAvailable", plist_new_uint(600'000'000'000));
        plist_dict_set_item(entry, "RESULT", plist_new_uint(0));
        plist_array_append_item(destinations, entry);
    }
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "Destinations", destinations);
    plist_dict_set_item(root, "AutoBackup", plist_new_bool(1));
    plist_dict_set_item(root, "LastBackupActivity", plist_new_string("2024-03-05-143015"));
    char* data = nullptr;
    uint32_t length = 0;
    if (binary)
        plist_to_bin(root, &data, &length);
    else
        plist_to_xml(root, &data, &length);
    std::string bytes(data, length);
    binary ? plist_to_bin_free(data) : plist_to_xml_free(data);
    plist_free(root);
    return bytes;
}

// A simulated Mac holding the settings file, removed at exit.
struct BenchMac {
    fs::path root;
    std::string bytes;
    explicit BenchMac(bool binary) : bytes(settingsBytes(binary)) {
        root = fs::temp_directory_path() /
               ("tm-settings-bench-" + std::to_string(::getpid()) + (binary ? "-bin" : "-xml"));
        fs::create_directories(root / "Library/Preferences");
        std::ofstream(root / "Library/Preferences/com.apple.TimeMachine.plist", std::ios::binary)
            << bytes;
    }
    ~BenchMac() { fs::remove_all(root); }
};

const BenchMac& benchMac(bool binary) {
    static const BenchMac binaryMac(true);
    static const BenchMac xmlMac(false);
    return binary ? binaryMac : xmlMac;
}

void BM_LibplistParse(benchmark::State& state) {
    const std::string& bytes = benchMac(state.range(0) == 0).bytes;
    for (auto _ : state) {
        plist_t root = nullptr;
        plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        benchmark::DoNotOptimize(root);
        plist_free(root);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_ReadTimeMachineSettings(benchmark::State& state) {
    const BenchMac& mac = benchMac(state.range(0) == 0);
    const Mac watched{mac.root.string(), "/Users/ann"};
    for (auto _ : state) {
        auto reading = readTimeMachineSettings(watched);
        if (!reading.isRead() || reading.settings->destinations.size() != 4)
            state.SkipWithError("settings were not read");
        benchmark::DoNotOptimize(reading);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mac.bytes.size()));
}

} // namespace

BENCHMARK(BM_LibplistParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTimeMachineSettings)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
