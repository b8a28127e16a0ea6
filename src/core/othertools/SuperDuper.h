#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "othertools/ToolStatus.h"

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// One SuperDuper! run, from one log file.
struct SuperDuperRun {
    Date start;                            // from the log's file name
    bool completed = false;                // the log ends a line with "| Info | Copy complete."
    std::optional<std::string> failedStep; // the step under way at the first error
    bool failed = false;                   // an error and no completion
    bool operator==(const SuperDuperRun&) const = default;
};

inline constexpr std::string_view superDuperApplication = "/Applications/SuperDuper!.app";
inline constexpr std::size_t superDuperSettingsLimit = 1'000'000;
inline constexpr std::size_t superDuperLogLimit = 2'000'000;
inline constexpr std::size_t superDuperLogsRead = 20;
// The most names looked at in one folder. A logs folder holding more is unreadable rather than
// judged by whichever part of it the walk happened to see.
inline constexpr std::size_t superDuperNamesWalked = 100'000;

// One log file of a settings package and the start time its name gives.
struct SuperDuperLog {
    std::string name;
    Date start;
    bool operator==(const SuperDuperLog&) const = default;
};

// The newest `keep` log files among the names of a logs folder, offered one by one in any
// order: memory stays bounded however many names the folder holds. Names that are not
// "<start>.sdlog" are ignored.
class SuperDuperNewestLogs {
public:
    explicit SuperDuperNewestLogs(std::size_t keep = superDuperLogsRead);
    void offer(std::string_view name);
    // Newest first; logs starting at the same moment in name order.
    std::vector<SuperDuperLog> newest() const;

private:
    struct Newer {
        bool operator()(const SuperDuperLog& a, const SuperDuperLog& b) const;
    };
    std::size_t keep_;
    std::set<SuperDuperLog, Newer> logs_;
};

// Home + "/Library/Application Support/SuperDuper!/Saved Settings".
std::string superDuperSettings(const Mac& mac);

// One status per saved settings package with at least one readable log (an unreadable one for a
// package whose logs folder is too big to list); absent when neither the application nor the
// settings folder exists.
std::optional<std::vector<ToolStatus>> readSuperDuper(const Mac& mac, std::string_view root,
                                                      Date now);

// The log lines of a log file's RTF source, with the RTF markup around them removed.
std::vector<std::string> superDuperLines(std::string_view text);

SuperDuperRun parseSuperDuperLog(std::string_view text, Date start);

// The status of one settings package from its runs; absent when there are none.
std::optional<ToolStatus> superDuperStatus(const std::string& setting,
                                           const std::optional<std::string>& target,
                                           std::vector<SuperDuperRun> runs, Date now);

// A log file's start time from its name without ".sdlog": "yyyy-MM-dd HH:mm:ss Z" with a numeric
// offset such as "+0100".
std::optional<Date> superDuperLogStart(std::string_view name);

} // namespace quorvane
