#pragma once

#include "base/Date.h"
#include "base/Mac.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// The Mac's log tool and what is asked of it.
inline constexpr std::string_view logToolPath = "/usr/bin/log";
inline constexpr std::string_view timeMachineSubsystem = "com.apple.TimeMachine";
inline constexpr double logReadTimeout = 30.0; // seconds
// The tool's output is parsed as it arrives; past this many bytes the read fails.
inline constexpr std::size_t logOutputCap = 64 * 1024 * 1024;
// Longer lines are skipped unread; a real entry is well under a kilobyte.
inline constexpr std::size_t maxLogLineBytes = 1024 * 1024;
// At most this many kept entries, the newest (older ones are dropped first).
inline constexpr std::size_t maxKeptLogEntries = 10'000;

// One kept log message and when it was logged.
struct LogEntry {
    std::string message;
    Date date;

    bool operator==(const LogEntry&) const = default;
};

// The outcome of reading Time Machine's log: `lines` carries the kept entries in log order,
// `failed` a description of what went wrong, `notAllowed` that the Mac refused access to its log.
struct LogReading {
    enum class Case { lines, failed, notAllowed };

    Case which = Case::lines;
    std::vector<LogEntry> entries; // with `lines`
    std::string description;       // with `failed`

    static LogReading lines(std::vector<LogEntry> entries);
    static LogReading failed(std::string description);
    static LogReading notAllowed();

    bool operator==(const LogReading&) const = default;
};

// Time Machine's log entries since `since`: runs the Mac's log tool ("log show --style ndjson"
// with a subsystem predicate and "--start" in the Mac's local time) through the trusted runner.
// Keeps log messages (not activities or signposts) dated at or after `since` whose level is error
// or fault or that say "Backup failed" or "Backup succeeded", leaving out known noise.
// The tool refuses for lack of permission by exiting non-zero with "not permitted" (as in
// "Operation not permitted") or "must be admin"/"must be an admin" on standard error: that is
// `notAllowed`. Any other failure - refused or missing tool, time-out, output past the cap,
// another non-zero exit - is `failed`.
LogReading readTimeMachineLog(const Mac& mac, Date since, double timeout = logReadTimeout);

// The kept entries of the tool's NDJSON output, fed in chunks of any size. Lines that are not
// JSON objects, lack members, carry bad timestamps or are longer than `maxLogLineBytes` are
// skipped, and so is the trailer line ({"count":...,"finished":...}).
class LogCollector {
public:
    explicit LogCollector(Date since) : since_(since) {}
    void feed(std::string_view chunk);
    // The entries kept so far, including an unterminated last line.
    std::vector<LogEntry> finish();

private:
    void line(std::string_view text);

    Date since_;
    std::string pending_;
    bool skipping_ = false; // inside a line that is too long
    std::deque<LogEntry> kept_;
};

// The log tool's timestamp "2026-07-26 18:11:22.348728+1200" (local time with its offset).
std::optional<Date> parseLogTimestamp(std::string_view text);

// The "--start" argument for `since`: "2026-07-26 08:11:22" in the Mac's local time zone, to the
// second, rounded down so that nothing at `since` is missed.
std::string logStartText(Date since);

} // namespace quorvane
