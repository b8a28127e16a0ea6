#include "timemachine/TimeMachineLog.h"

#include "base/IsoDate.h"
#include "process/ToolRunner.h"
#include "timemachine/Reasons.h"

#include <nlohmann/json.hpp>
#include <unicode/timezone.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace quorvane {

namespace {

constexpr std::string_view backupFailed = "Backup failed";
constexpr std::string_view backupSucceeded = "Backup succeeded";

bool containsIgnoringAsciiCase(std::string_view text, std::string_view part) {
    return std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
               return lower(a) == lower(b);
           }) != text.end();
}

bool refusedForPermission(std::string_view errors) {
    return containsIgnoringAsciiCase(errors, "not permitted") ||
           containsIgnoringAsciiCase(errors, "must be admin") ||
           containsIgnoringAsciiCase(errors, "must be an admin");
}

// The first non-empty line of the tool's complaint, cut to a readable length on a UTF-8 boundary.
std::string firstLine(std::string_view errors) {
    constexpr std::size_t longest = 300;
    std::size_t start = 0;
    while (start < errors.size()) {
        std::size_t end = errors.find('\n', start);
        if (end == std::string_view::npos)
            end = errors.size();
        std::string_view line = errors.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (!line.empty()) {
            if (line.size() > longest) {
                std::size_t cut = longest;
                while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
                    --cut;
                line = line.substr(0, cut);
            }
            return std::string(line);
        }
        start = end + 1;
    }
    return {};
}

const std::string* stringMember(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get_ptr<const std::string*>()
                                                       : nullptr;
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

} // namespace

LogReading LogReading::lines(std::vector<LogEntry> entries) {
    LogReading reading;
    reading.which = Case::lines;
    reading.entries = std::move(entries);
    return reading;
}

LogReading LogReading::failed(std::string description) {
    LogReading reading;
    reading.which = Case::failed;
    reading.description = std::move(description);
    return reading;
}

LogReading LogReading::notAllowed() {
    LogReading reading;
    reading.which = Case::notAllowed;
    return reading;
}

std::optional<Date> parseLogTimestamp(std::string_view text) {
    if (text.size() < 20 || text.size() > 64 || text[10] != ' ')
        return std::nullopt;
    std::string iso(text);
    iso[10] = 'T';
    return parseIsoDate(iso);
}

std::string logStartText(Date since) {
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
    int32_t raw = 0, dst = 0;
    const double seconds = unixSeconds(since);
    if (zone && std::isfinite(seconds))
        zone->getOffset(seconds * 1000.0, false, raw, dst, status);
    const double offset = U_SUCCESS(status) ? (raw + dst) / 1000.0 : 0.0;
    std::string text = isoDateText(addSeconds(since, offset)); // "2026-07-26T08:11:22Z"
    text[10] = ' ';
    text.pop_back();
    return text;
}

void LogCollector::feed(std::string_view chunk) {
    while (!chunk.empty()) {
        const std::size_t end = chunk.find('\n');
        const std::string_view piece = chunk.substr(0, end);
        if (!skipping_) {
            if (pending_.size() + piece.size() > maxLogLineBytes) {
                skipping_ = true;
                pending_.clear();
                pending_.shrink_to_fit();
            } else if (end != std::string_view::npos && pending_.empty()) {
                line(piece); // the whole line is in this chunk: no copy
            } else {
                pending_.append(piece);
                if (end != std::string_view::npos) {
                    line(pending_);
                    pending_.clear();
                }
            }
        }
        if (end == std::string_view::npos)
            return;
        skipping_ = false;
        chunk.remove_prefix(end + 1);
    }
}

std::vector<LogEntry> LogCollector::finish() {
    if (!skipping_ && !pending_.empty())
        line(pending_);
    pending_.clear();
    skipping_ = false;
    std::vector<LogEntry> entries(std::make_move_iterator(kept_.begin()),
                                  std::make_move_iterator(kept_.end()));
    kept_.clear();
    return entries;
}

void LogCollector::line(std::string_view text) {
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    if (text.empty() || text.front() != '{')
        return;
    // Most entries are neither errors nor the marker phrases; the tool writes these words as
    // plain text, so a line without any of them cannot be kept and is not worth parsing.
    if (!contains(text, "Error") && !contains(text, "Fault") && !contains(text, backupFailed) &&
        !contains(text, backupSucceeded))
        return;
    // Only the entry's own members matter; nested values are dropped while parsing, so a deeply
    // nested line costs no memory.
    const auto topLevelOnly = [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
        return depth <= 1;
    };
    const nlohmann::json entry = nlohmann::json::parse(text, topLevelOnly, false);
    if (!entry.is_object())
        return; // not JSON (a parse failure is "discarded", not an object)
    const std::string* eventType = stringMember(entry, "eventType");
    if (!eventType || *eventType != "logEvent")
        return; // activities, signposts and the trailer
    const std::string* subsystem = stringMember(entry, "subsystem");
    if (subsystem && *subsystem != timeMachineSubsystem)
        return;
    const std::string* message = stringMember(entry, "eventMessage");
    const std::string* timestamp = stringMember(entry, "timestamp");
    if (!message || !timestamp)
        return;
    const std::optional<Date> date = parseLogTimestamp(*timestamp);
    if (!date || *date < since_)
        return;
    const std::string* level = stringMember(entry, "messageType");
    const bool serious = level && (*level == "Error" || *level == "Fault");
    if (!serious && !contains(*message, backupFailed) && !contains(*message, backupSucceeded))
        return;
    if (isNoise(*message))
        return;
    if (kept_.size() == maxKeptLogEntries)
        kept_.pop_front();
    kept_.push_back(LogEntry{*message, *date});
}

LogReading readTimeMachineLog(const Mac& mac, Date since, double timeout) {
    LogCollector collector(since);
    ToolLimits limits;
    limits.outputCap = logOutputCap;
    limits.outputSink = [&collector](std::string_view chunk) { collector.feed(chunk); };
    const std::vector<std::string> arguments{"show",
                                             "--style",
                                             "ndjson",
                                             "--predicate",
                                             "subsystem == \"" + std::string(timeMachineSubsystem) +
                                                 "\"",
                                             "--start",
                                             logStartText(since)};
    const ToolRun run = runToolWithLimits(mac, logToolPath, arguments, timeout, limits);
    switch (run.end) {
    case ToolEnd::refused:
    case ToolEnd::launchFailed:
        return LogReading::failed("The log tool could not be run.");
    case ToolEnd::timedOut:
        return LogReading::failed("The log tool did not finish in time.");
    case ToolEnd::exited:
    case ToolEnd::signalled:
        break;
    }
    if (run.outputCapped)
        return LogReading::failed("The log tool wrote more than can be read.");
    if (run.status != 0) {
        if (refusedForPermission(run.errors))
            return LogReading::notAllowed();
        std::string description = firstLine(run.errors);
        if (description.empty())
            description = "The log tool failed with status " + std::to_string(run.status) + ".";
        return LogReading::failed(std::move(description));
    }
    return LogReading::lines(collector.finish());
}

} // namespace quorvane
