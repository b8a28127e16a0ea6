// The property-list readers at their input caps, with the worst inputs we can build for them:
// references shared until the decoded size reaches the guard's byte budget (the largest input the
// guard lets through) and far past it, nesting at and past the depth limit, and as many small
// objects as fit. Targets: peak resident memory under 128 MB and under 2 s each.
//
// Run each benchmark alone for its peak, e.g.
//   build/bench/property_list_bench --benchmark_filter='BM_Guard/shared_at_budget$'

#include "PeakMemory.h"

#include "base/BinaryPlist.h"
#include "base/PropertyList.h"
#include "othertools/ArchiveBuilder.h"
#include "othertools/ChronoSync.h"
#include "othertools/KeyedArchive.h"
#include "process/ToolRunner.h"
#include "timemachine/DestinationInfo.h"
#include "timemachine/TimeMachineSettings.h"

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

using namespace quorvane;
using namespace quorvane::testing;
namespace fs = std::filesystem;

namespace {

// Objects a list may hold before libplist's copies reach the guard's byte budget.
constexpr std::uint32_t objectsWithinBudget =
    static_cast<std::uint32_t>(maxPropertyListBytes / (propertyListObjectCost + 8)) - 16;

std::vector<std::uint32_t> refsTo(std::uint32_t first, std::uint32_t count, bool distinct) {
    std::vector<std::uint32_t> refs(count, first);
    if (distinct)
        for (std::uint32_t i = 0; i < count; ++i)
            refs[i] = first + i;
    return refs;
}

// A top array of `references` references to one string of `length` bytes.
std::string sharedString(std::size_t length, std::uint32_t references) {
    return binaryPlist(
        {arrayOf(refsTo(1, references, false)), asciiString(std::string(length, 'x'))});
}

// A top array of `count` distinct short strings.
std::string manyStrings(std::uint32_t count) {
    std::vector<std::string> objects{arrayOf(refsTo(1, count, true))};
    for (std::uint32_t i = 0; i < count; ++i)
        objects.push_back(asciiString(std::to_string(i % 10'000'000)));
    return binaryPlist(objects);
}

// Each level refers twice to the next, `levels` deep: 2^levels objects once expanded.
std::string doubling(std::uint32_t levels) {
    std::vector<std::string> objects;
    for (std::uint32_t i = 0; i < levels; ++i)
        objects.push_back(arrayOf({i + 1, i + 1}));
    objects.push_back(arrayOf({}));
    return binaryPlist(objects);
}

// An XML property list of `body`, padded with a comment up to `size` bytes so that the input sits
// at its reader's cap.
std::string xmlList(const std::string& body, std::size_t size) {
    std::string text = "<?xml version=\"1.0\"?><plist version=\"1.0\">" + body + "</plist>";
    if (text.size() + 7 < size)
        text += "<!--" + std::string(size - text.size() - 7, ' ') + "-->";
    return text;
}

std::string xmlMany(const std::string& element, std::size_t count) {
    std::string body = "<array>";
    body.reserve(element.size() * count + 16);
    for (std::size_t i = 0; i < count; ++i)
        body += element;
    return body + "</array>";
}

struct Input {
    std::string name;
    std::function<std::string()> make;
};

// Runs `work` on `bytes` and reports peak memory and the input's size. What building the input
// left on the heap is handed back first, so the peak is the reader's and the input's own.
template <typename Work>
void measure(benchmark::State& state, const std::string& bytes, Work work) {
    ::malloc_trim(0);
    bench::resetPeakResident();
    for (auto _ : state)
        work(bytes);
    state.counters["peakRSS_MB"] = bench::peakResidentMB();
    state.counters["input_MB"] = static_cast<double>(bytes.size()) / 1e6;
}

// ---- The guard ---------------------------------------------------------------------------------

const std::vector<Input>& guardInputs() {
    static const std::vector<Input> inputs{
        // One 16 KB string shared until its copies just fit the byte budget: libplist then
        // allocates all of them.
        {"shared_at_budget",
         [] { return sharedString(16'384, maxPropertyListBytes / (16'384 + 256)); }},
        // The input: 50,000 references to one 16 KB string (800 MB expanded).
        {"shared_50000x16KB", [] { return sharedString(16'384, 50'000); }},
        // 5 million references to one short string, a 20 MB file.
        {"shared_20MB_refs", [] { return sharedString(8, 5'000'000); }},
        // Distinct small objects up to the budget, and a 20 MB file of them.
        {"many_objects_at_budget", [] { return manyStrings(objectsWithinBudget); }},
        {"many_objects_20MB", [] { return manyStrings(1'300'000); }},
        // Nesting: at the limit, far past it (20 MB of one-item arrays), and doubling sharing.
        {"nested_at_limit", [] { return binaryChain(maxPropertyListDepth); }},
        {"nested_20MB", [] { return binaryChain(2'200'000); }},
        {"doubling_60_levels", [] { return doubling(60); }},
        // XML at the tool-output cap: small elements, and one long string.
        {"xml_many_elements_20MB",
         [] { return xmlList(xmlMany("<true/>", toolOutputCap / 7 - 20), toolOutputCap); }},
        {"xml_elements_at_budget",
         [] {
             const std::size_t size = 12'000'000;
             return xmlList(
                 xmlMany("<true/>", (maxPropertyListBytes - size) / propertyListObjectCost - 64),
                 size);
         }},
        {"xml_long_string_20MB",
         [] {
             return xmlList("<string>" + std::string(toolOutputCap - 80, 'x') + "</string>",
                            toolOutputCap);
         }},
    };
    return inputs;
}

void BM_Guard(benchmark::State& state, std::size_t which) {
    const std::string bytes = guardInputs()[which].make();
    bool accepted = false;
    measure(state, bytes, [&](const std::string& in) {
        PropertyList list = parsePropertyList(in);
        accepted = list != nullptr;
        benchmark::DoNotOptimize(list);
    });
    state.counters["accepted"] = accepted;
}

// ---- Time Machine's settings (16 MB file cap)
// ----------------------------------------------------

std::string settingsWithDates(std::uint32_t dates) {
    // {"Destinations": [{"DestinationID": id, "SnapshotDates": [...], "AttemptDates": [...]}]}
    std::vector<std::string> objects;
    objects.push_back(dictOf({1}, {2}));                                    // 0: top
    objects.push_back(asciiString("Destinations"));                         // 1
    objects.push_back(arrayOf({3}));                                        // 2
    objects.push_back(dictOf({4, 5, 6}, {7, 8, 9}));                        // 3: the destination
    objects.push_back(asciiString("DestinationID"));                        // 4
    objects.push_back(asciiString("SnapshotDates"));                        // 5
    objects.push_back(asciiString("AttemptDates"));                         // 6
    objects.push_back(asciiString("0A1B2C3D-1111-2222-3333-444455556666")); // 7
    objects.push_back(arrayOf(refsTo(10, dates / 2, true)));                // 8
    objects.push_back(arrayOf(refsTo(10 + dates / 2, dates / 2, true)));    // 9
    for (std::uint32_t i = 0; i < dates; ++i)
        objects.push_back(binaryDate(700'000'000.0 + i * 60.0));
    return binaryPlist(objects);
}

std::string settingsXMLWithDates(std::size_t size) {
    const std::string date = "<date>2024-03-05T10:00:00Z</date>";
    const std::size_t count = (size - 400) / date.size() / 2;
    std::string dates;
    dates.reserve(count * date.size());
    for (std::size_t i = 0; i < count; ++i)
        dates += date;
    return xmlList(
        "<dict><key>Destinations</key><array><dict><key>DestinationID</key>"
        "<string>0A1B2C3D-1111-2222-3333-444455556666</string><key>SnapshotDates</key><array>" +
            dates + "</array><key>AttemptDates</key><array>" + dates +
            "</array></dict></array></dict>",
        size);
}

const std::vector<Input>& settingsInputs() {
    static const std::vector<Input> inputs{
        {"dates_at_budget", [] { return settingsWithDates(objectsWithinBudget - 16); }},
        {"dates_16MB", [] { return settingsWithDates(980'000); }},
        {"xml_dates_12MB", [] { return settingsXMLWithDates(12'000'000); }},
        {"xml_dates_16MB", [] { return settingsXMLWithDates(maxSettingsFileBytes); }},
        {"shared_16MB", [] { return sharedString(16'384, 4'000'000); }},
    };
    return inputs;
}

// A simulated Mac holding one settings file, removed afterwards.
struct SettingsMac {
    fs::path root;
    explicit SettingsMac(const std::string& bytes) {
        root = fs::temp_directory_path() / ("plist-bench-" + std::to_string(::getpid()));
        fs::create_directories(root / "Library/Preferences");
        std::ofstream(root / "Library/Preferences/com.apple.TimeMachine.plist", std::ios::binary)
            << bytes;
    }
    ~SettingsMac() { fs::remove_all(root); }
    SettingsMac(const SettingsMac&) = delete;
    SettingsMac& operator=(const SettingsMac&) = delete;
};

void BM_ReadTimeMachineSettings(benchmark::State& state, std::size_t which) {
    std::string bytes = settingsInputs()[which].make();
    const SettingsMac mac(bytes);
    const Mac watched{mac.root.string(), "/Users/ann"};
    std::size_t dates = 0;
    measure(state, bytes, [&](const std::string&) {
        SettingsReading reading = readTimeMachineSettings(watched);
        dates = reading.isRead() && !reading.settings->destinations.empty()
                    ? reading.settings->destinations[0].completed.size()
                    : 0;
        benchmark::DoNotOptimize(reading);
    });
    state.counters["dates"] = static_cast<double>(dates);
}

// ---- tmutil destinationinfo -X and status -X (20 MB output cap) ---------------------------------

std::string destinationsOfEntries(std::uint32_t entries) {
    // {"Destinations": [{"ID": ..., "Name": ..., "Kind": ...} x entries]}, every entry distinct.
    std::vector<std::string> objects{
        dictOf({1}, {2}),  asciiString("Destinations"), arrayOf(refsTo(6, entries, true)),
        asciiString("ID"), asciiString("Name"),         asciiString("Kind")};
    const std::uint32_t firstValue = 6 + entries;
    for (std::uint32_t i = 0; i < entries; ++i)
        objects.push_back(dictOf(
            {3, 4, 5}, {firstValue + 3 * i, firstValue + 3 * i + 1, firstValue + 3 * i + 2}));
    for (std::uint32_t i = 0; i < entries; ++i) {
        objects.push_back(
            asciiString("0A1B2C3D-1111-2222-3333-" + std::to_string(100'000'000'000 + i)));
        objects.push_back(asciiString("Backup " + std::to_string(i)));
        objects.push_back(asciiString("Network"));
    }
    return binaryPlist(objects);
}

const std::vector<Input>& toolInputs() {
    static const std::vector<Input> inputs{
        {"entries_at_budget", [] { return destinationsOfEntries(objectsWithinBudget / 8); }},
        {"entries_20MB", [] { return destinationsOfEntries(200'000); }},
        {"shared_20MB", [] { return sharedString(16'384, 5'000'000); }},
        {"xml_elements_20MB",
         [] {
             return xmlList("<dict><key>Running</key><true/><key>Junk</key>" +
                                xmlMany("<true/>", toolOutputCap / 7 - 40) + "</dict>",
                            toolOutputCap);
         }},
    };
    return inputs;
}

void BM_ParseDestinationInfo(benchmark::State& state, std::size_t which) {
    const std::string bytes = toolInputs()[which].make();
    std::size_t found = 0;
    measure(state, bytes, [&](const std::string& in) {
        auto infos = parseDestinationInfo(in);
        found = infos.size();
        benchmark::DoNotOptimize(infos);
    });
    state.counters["destinations"] = static_cast<double>(found);
}

void BM_ParseRunState(benchmark::State& state, std::size_t which) {
    const std::string bytes = toolInputs()[which].make();
    measure(state, bytes, [&](const std::string& in) {
        auto run = parseRunState(in);
        benchmark::DoNotOptimize(run);
    });
}

// ---- Keyed archives and ChronoSync (5 MB cap) --------------------------------------------------

// An archive whose root array holds the items that `fill` adds.
template <typename Fill> std::string archive(Fill fill) {
    ArchiveBuilder b;
    std::vector<std::uint64_t> items;
    fill(b, items);
    return b.bytes(b.array(items));
}

const std::vector<Input>& archiveInputs() {
    static const std::vector<Input> inputs{
        // 190,000 distinct short strings in the root array.
        {"short_strings_190000",
         [] {
             return archive([](ArchiveBuilder& b, std::vector<std::uint64_t>& items) {
                 for (int i = 0; i < 190'000; ++i)
                     items.push_back(b.string(std::to_string(i)));
             });
         }},
        // One 4 MB string referenced 400 times, and one short string 199,000 times.
        {"shared_4MB_x400",
         [] {
             return archive([](ArchiveBuilder& b, std::vector<std::uint64_t>& items) {
                 items.assign(400, b.string(std::string(4'000'000, 'x')));
             });
         }},
        {"shared_short_x199000",
         [] {
             return archive([](ArchiveBuilder& b, std::vector<std::uint64_t>& items) {
                 items.assign(199'000, b.string("x"));
             });
         }},
        // Distinct documents with all four members, as many as fit in 5 MB.
        {"documents_5MB",
         [] {
             return archive([](ArchiveBuilder& b, std::vector<std::uint64_t>& items) {
                 for (int i = 0; i < 25'000; ++i)
                     items.push_back(b.object(
                         "DocumentRef",
                         {{"NAME", b.string("Task " + std::to_string(i))},
                          {"SDAT", b.date(800'000'000 + i)},
                          {"SUMY", b.string("Synced. Errors: " + std::to_string(i % 3))},
                          {"RNAM",
                           b.string("\"Backups/" + std::to_string(i) + "\" on \"Archive\"")}}));
             });
         }},
        // One document with 200,000 members nobody reads, referenced 50,000 times.
        {"wide_document_shared",
         [] {
             return archive([](ArchiveBuilder& b, std::vector<std::uint64_t>& items) {
                 std::map<std::string, std::uint64_t> members{{"NAME", b.string("Docs")}};
                 const auto junk = b.string("j");
                 for (int i = 0; i < 200'000; ++i)
                     members["K" + std::to_string(i)] = junk;
                 items.assign(50'000, b.object("DocumentRef", members));
             });
         }},
    };
    return inputs;
}

void BM_DecodeKeyedArchive(benchmark::State& state, std::size_t which) {
    const std::string bytes = archiveInputs()[which].make();
    const ArchiveClassPolicy policy{{"NSArray", "NSMutableArray", "NSString", "NSMutableString",
                                     "NSDate", "NSData", "NSMutableData", "NSURL", "NSNumber"},
                                    {{"DocumentRef",
                                      {"ChronoSyncDocumentRef",
                                       {{"NAME", {"NSString"}},
                                        {"SDAT", {"NSDate"}},
                                        {"SUMY", {"NSString"}},
                                        {"RNAM", {"NSString"}}}}}}};
    bool decoded = false;
    measure(state, bytes, [&](const std::string& in) {
        auto value = decodeKeyedArchive(in, policy);
        decoded = value.has_value();
        benchmark::DoNotOptimize(value);
    });
    state.counters["decoded"] = decoded;
}

void BM_ReadChronoSync(benchmark::State& state, std::size_t which) {
    const std::string bytes = archiveInputs()[which].make();
    const fs::path root =
        fs::temp_directory_path() / ("chronosync-bench-" + std::to_string(::getpid()));
    const Mac mac{root.string(), "/Users/ann"};
    const std::string path = chronoSyncDocuments(mac);
    fs::create_directories(fs::path(mac.hostPath(path)).parent_path());
    std::ofstream(mac.hostPath(path), std::ios::binary) << bytes;
    const Date now = dateFromUnix(1'800'000'000);
    std::size_t statuses = 0;
    measure(state, bytes, [&](const std::string&) {
        auto read = readChronoSync(mac, path, now);
        statuses = read ? read->size() : 0;
        benchmark::DoNotOptimize(read);
    });
    state.counters["statuses"] = static_cast<double>(statuses);
    fs::remove_all(root);
}

template <typename Bench>
void registerAll(const char* name, const std::vector<Input>& inputs, Bench bench) {
    for (std::size_t i = 0; i < inputs.size(); ++i)
        benchmark::RegisterBenchmark((std::string(name) + "/" + inputs[i].name).c_str(), bench, i)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
}

} // namespace

int main(int argc, char** argv) {
    registerAll("BM_Guard", guardInputs(), BM_Guard);
    registerAll("BM_ReadTimeMachineSettings", settingsInputs(), BM_ReadTimeMachineSettings);
    registerAll("BM_ParseDestinationInfo", toolInputs(), BM_ParseDestinationInfo);
    registerAll("BM_ParseRunState", toolInputs(), BM_ParseRunState);
    registerAll("BM_DecodeKeyedArchive", archiveInputs(), BM_DecodeKeyedArchive);
    registerAll("BM_ReadChronoSync", archiveInputs(), BM_ReadChronoSync);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
