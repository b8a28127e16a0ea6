#include "timemachine/TimeMachineLog.h"

#include "base/IsoDate.h"
#include "process/ToolRunner.h"
#include "timemachine/Reasons.h"

#include <nlohmann/json.hpp>
#include <unicode/timezone.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <optional>

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

// The members of one entry that are read, picked out while it is parsed: nothing else is built or
// kept, so neither nesting nor long members we do not read cost memory, and a log of many small
// entries costs no allocations beyond these strings.
class EntryMembers final : public nlohmann::json_sax<nlohmann::json> {
public:
    enum Member { eventType, subsystem, eventMessage, timestamp, messageType, count, other };

    // The member's string value, or null when it is absent or not a string (the last one counts
    // when a member is repeated).
    const std::string* get(Member member) const {
        const auto& value = values_[member];
        return value ? &*value : nullptr;
    }
    // Moves a present member's value out.
    std::string take(Member member) { return std::move(*values_[member]); }
    // The line held one JSON object.
    bool isObject() const { return object_; }

    bool null() override { return notAString(); }
    bool boolean(bool) override { return notAString(); }
    bool number_integer(number_integer_t) override { return notAString(); }
    bool number_unsigned(number_unsigned_t) override { return notAString(); }
    bool number_float(number_float_t, const string_t&) override { return notAString(); }
    bool binary(binary_t&) override { return notAString(); }
    bool string(string_t& value) override {
        if (depth_ == 1 && pending_ != other)
            values_[pending_] = std::move(value);
        pending_ = other;
        return true;
    }
    bool start_object(std::size_t) override {
        if (depth_ == 0)
            object_ = true;
        return nested();
    }
    bool start_array(std::size_t) override { return nested(); }
    bool end_object() override { return --depth_, true; }
    bool end_array() override { return --depth_, true; }
    bool key(string_t& name) override {
        if (depth_ == 1)
            pending_ = memberNamed(name);
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        object_ = false;
        return false;
    }

private:
    static Member memberNamed(std::string_view name) {
        static constexpr std::string_view names[count] = {"eventType", "subsystem", "eventMessage",
                                                          "timestamp", "messageType"};
        const auto found = std::find(std::begin(names), std::end(names), name);
        return found == std::end(names) ? other : Member(found - std::begin(names));
    }
    bool notAString() {
        if (depth_ == 1 && pending_ != other)
            values_[pending_].reset();
        pending_ = other;
        return true;
    }
    bool nested() {
        notAString();
        ++depth_;
        return true;
    }

    std::optional<std::string> values_[count];
    std::size_t depth_ = 0;
    Member pending_ = other;
    bool object_ = false;
};

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
    EntryMembers entry;
    if (!nlohmann::json::sax_parse(text.begin(), text.end(), &entry) || !entry.isObject())
        return; // not JSON, or not an object
    const std::string* eventType = entry.get(EntryMembers::eventType);
    if (!eventType || *eventType != "logEvent")
        return; // activities, signposts and the trailer
    const std::string* subsystem = entry.get(EntryMembers::subsystem);
    if (subsystem && *subsystem != timeMachineSubsystem)
        return;
    const std::string* message = entry.get(EntryMembers::eventMessage);
    const std::string* timestamp = entry.get(EntryMembers::timestamp);
    if (!message || !timestamp)
        return;
    const std::optional<Date> date = parseLogTimestamp(*timestamp);
    if (!date || *date < since_)
        return;
    const std::string* level = entry.get(EntryMembers::messageType);
    const bool serious = level && (*level == "Error" || *level == "Fault");
    if (!serious && !contains(*message, backupFailed) && !contains(*message, backupSucceeded))
        return;
    if (isNoise(*message))
        return;
    if (kept_.size() == maxKeptLogEntries)
        kept_.pop_front();
    kept_.push_back(LogEntry{entry.take(EntryMembers::eventMessage), *date});
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
