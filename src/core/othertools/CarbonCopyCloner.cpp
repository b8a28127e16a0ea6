#include "othertools/CarbonCopyCloner.h"

#include "othertools/ToolText.h"
#include "process/ToolRunner.h"

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace quorvane {

namespace {

constexpr double queryTimeout = 10.0;

ToolStatus wholeApp(Date now) {
    return ToolStatus(ToolStatus::Tool::ccc, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                      false, false, std::nullopt, std::nullopt, false, now);
}

ToolStatus unreadableApp(Date now) {
    ToolStatus status = wholeApp(now);
    status.unreadable = true;
    return status;
}

// Length of the line break starting at text[i], or 0. Covers LF, VT, FF, CR, CR LF and the
// Unicode breaks NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR (as UTF-8).
std::size_t lineBreakAt(std::string_view text, std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r')
        return i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
    if (c == '\n' || c == '\v' || c == '\f')
        return 1;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85)
        return 2;
    if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80) {
        const unsigned char d = static_cast<unsigned char>(text[i + 2]);
        if (d == 0xA8 || d == 0xA9)
            return 3;
    }
    return 0;
}

// Calls `visit` with each non-empty line of `text`, as a view into it, without collecting them:
// megabytes of one-character lines must not become megabytes of views.
template <typename Visit> void forEachNonEmptyLine(std::string_view text, Visit&& visit) {
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (std::size_t length = lineBreakAt(text, i)) {
            if (i > start)
                visit(text.substr(start, i - start));
            i += length;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size())
        visit(text.substr(start));
}

// Length of the horizontal white space (tab or a Unicode space separator) that starts at
// text[i], or 0.
std::size_t spaceAt(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) {
        return k < text.size() ? static_cast<unsigned char>(text[k]) : 0;
    };
    const unsigned char c = byte(i);
    if (c == ' ' || c == '\t')
        return 1;
    if (c == 0xC2 && byte(i + 1) == 0xA0) // no-break space
        return 2;
    if (c == 0xE1 && byte(i + 1) == 0x9A && byte(i + 2) == 0x80) // ogham space mark
        return 3;
    if (c == 0xE2 && byte(i + 1) == 0x80 &&
        ((byte(i + 2) >= 0x80 && byte(i + 2) <= 0x8A) || byte(i + 2) == 0xAF))
        return 3; // en quad ... hair space, narrow no-break space
    if (c == 0xE2 && byte(i + 1) == 0x81 && byte(i + 2) == 0x9F) // medium mathematical space
        return 3;
    if (c == 0xE3 && byte(i + 1) == 0x80 && byte(i + 2) == 0x80) // ideographic space
        return 3;
    return 0;
}

// True when the white space character that starts at text[i] ends exactly at text.size().
bool spaceEndsAt(std::string_view text, std::size_t i) {
    std::size_t length = spaceAt(text, i);
    return length != 0 && i + length == text.size();
}

std::string_view trimmed(std::string_view text) {
    std::size_t start = 0;
    while (std::size_t length = spaceAt(text, start))
        start += length;
    text.remove_prefix(start);
    // Trailing spaces are at most three bytes long: test each possible start from the end.
    for (;;) {
        std::size_t n = text.size();
        if (n >= 1 && spaceEndsAt(text, n - 1))
            text.remove_suffix(1);
        else if (n >= 2 && spaceEndsAt(text, n - 2))
            text.remove_suffix(2);
        else if (n >= 3 && spaceEndsAt(text, n - 3))
            text.remove_suffix(3);
        else
            return text;
    }
}

// The history uses its first eight columns only; stopping there keeps a line of millions of
// separators from becoming millions of fields.
constexpr std::size_t historyColumns = 8;

// The first `limit` fields of a "|"-separated line.
std::vector<std::string> pipeFields(std::string_view line, std::size_t limit) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (fields.size() < limit) {
        std::size_t bar = line.find('|', start);
        if (bar == std::string_view::npos) {
            fields.emplace_back(trimmed(line.substr(start)));
            return fields;
        }
        fields.emplace_back(trimmed(line.substr(start, bar - start)));
        start = bar + 1;
    }
    return fields;
}

// Parses the history's start times: "M/d/yy, h:mm a" in the Mac's time zone.
class HistoryDates {
public:
    HistoryDates() {
        UErrorCode error = U_ZERO_ERROR;
        auto format = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString(u"M/d/yy, h:mm a"),
                                                              icu::Locale("en_US_POSIX"), error);
        if (U_FAILURE(error))
            return;
        format->setLenient(false);
        // Two-digit years count from 1970, so every plausible backup date reads the same
        // whenever the history is parsed.
        format->set2DigitYearStart(0.0, error);
        if (U_SUCCESS(error))
            format_ = std::move(format);
    }

    std::optional<Date> parse(std::string_view text) const {
        if (!format_ || text.empty() || text.size() > 256)
            return std::nullopt;
        icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
            icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
        icu::ParsePosition position(0);
        UDate millis = format_->parse(unicode, position);
        if (position.getErrorIndex() >= 0 || position.getIndex() != unicode.length())
            return std::nullopt;
        return dateFromUnix(millis / 1000.0);
    }

private:
    std::unique_ptr<icu::SimpleDateFormat> format_;
};

struct HistoryRow {
    std::string dest;
    std::string result;
    std::optional<Date> start;
    std::optional<std::int64_t> files; // parsed for completeness; the status does not use it
    bool ok = false;
    bool warn = false;
    bool cancelled = false;
};

void judge(HistoryRow& row) {
    const std::string result = lowercased(row.result);
    auto has = [&](std::string_view word) { return result.find(word) != std::string::npos; };
    if (has("cancel")) {
        row.cancelled = true;
    } else if (has("with errors") || has("warning")) {
        row.ok = true;
        row.warn = true;
    } else if (has("success") || has("complete")) {
        row.ok = true;
    }
}

std::string failureReason(const HistoryRow& row) {
    std::string what = lowercased(row.result) == "failed" ? std::string("failed")
                                                          : "ended with “" + row.result + "”";
    return "Carbon Copy Cloner says the last run " + what +
           ". It doesn't record the reason in its history; open Carbon Copy Cloner to see it.";
}

double startKey(const HistoryRow& row) {
    return row.start ? unixSeconds(*row.start) : -std::numeric_limits<double>::infinity();
}

// What a task's status needs of its rows, gathered row by row: its latest run (the first row
// of the newest start, rows without a start counting as oldest) and its latest good run.
struct TaskGroup {
    std::string name;
    HistoryRow latest;
    std::optional<HistoryRow> latestGood;

    void add(HistoryRow&& row) {
        if (row.ok && (!latestGood || startKey(row) > startKey(*latestGood)))
            latestGood = row;
        if (startKey(row) > startKey(latest))
            latest = std::move(row);
    }
};

ToolStatus taskStatus(const TaskGroup& group, Date now) {
    const HistoryRow& latest = group.latest;
    std::optional<Date> lastSuccess = group.latestGood ? group.latestGood->start : std::nullopt;

    const bool failed = !latest.ok && !latest.cancelled;
    std::optional<std::string> reason;
    if (latest.cancelled)
        reason = "The last run was cancelled.";
    else if (latest.ok && latest.warn)
        reason = "Completed with errors on some files.";
    else if (failed)
        reason = failureReason(latest);
    return ToolStatus(ToolStatus::Tool::ccc, group.name, latest.dest, lastSuccess, latest.start,
                      failed, latest.warn, std::move(reason), std::nullopt, false, now);
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// The first `limit` fields of a comma-separated line (see csvFields).
std::vector<std::string> csvFieldsUpTo(std::string_view line, std::size_t limit) {
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    auto endField = [&] {
        fields.emplace_back(trimmed(field));
        field.clear();
    };
    for (std::size_t i = 0; i < line.size() && fields.size() < limit; ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            endField();
        } else {
            field += c;
        }
    }
    if (fields.size() < limit)
        endField();
    return fields;
}

} // namespace

std::vector<std::string> csvFields(std::string_view line) {
    return csvFieldsUpTo(line, std::numeric_limits<std::size_t>::max());
}

std::vector<ToolStatus> parseCCCHistory(std::string_view text, Date now) {
    const HistoryDates dates;
    std::vector<TaskGroup> groups;
    std::unordered_map<std::string, std::size_t> groupOf;
    forEachNonEmptyLine(text, [&](std::string_view line) {
        std::vector<std::string> fields = contains(line, "|") && line.front() != '"'
                                              ? pipeFields(line, historyColumns)
                                              : csvFieldsUpTo(line, historyColumns);
        if (fields.size() < 7)
            return;
        const std::string first = lowercased(fields[0]);
        if (first == "task" || first == "task name")
            return;

        HistoryRow row;
        row.dest = std::move(fields[2]);
        row.result = std::move(fields[6]);
        if (std::optional<double> seconds = decimalNumber(fields[3]))
            row.start = dateFromUnix(*seconds);
        else
            row.start = dates.parse(fields[3]);
        if (fields.size() > 7)
            row.files = decimalInteger(fields[7]);
        judge(row);

        auto entry = groupOf.find(fields[0]);
        if (entry != groupOf.end()) {
            groups[entry->second].add(std::move(row));
            return;
        }
        if (groups.size() >= maxToolJobs)
            return;
        groupOf.emplace(fields[0], groups.size());
        const bool ok = row.ok;
        groups.push_back(TaskGroup{std::move(fields[0]), row, std::nullopt});
        if (ok)
            groups.back().latestGood = std::move(row);
    });

    std::vector<ToolStatus> statuses;
    statuses.reserve(groups.size());
    for (const TaskGroup& group : groups)
        statuses.push_back(taskStatus(group, now));
    return statuses;
}

namespace {

// Calls `visit` with each task name of the task list, in order, until it returns false.
template <typename Visit> void forEachTaskName(std::string_view text, Visit&& visit) {
    bool more = true;
    forEachNonEmptyLine(text, [&](std::string_view line) {
        if (!more || line.front() != '"')
            return;
        std::vector<std::string> fields = csvFieldsUpTo(line, 1);
        if (!fields.front().empty())
            more = visit(std::move(fields.front()));
    });
}

} // namespace

std::vector<std::string> parseCCCTaskNames(std::string_view text) {
    std::vector<std::string> names;
    forEachTaskName(text, [&](std::string&& name) {
        names.push_back(std::move(name));
        return true;
    });
    return names;
}

std::vector<ToolStatus> cccStatuses(std::string_view text, std::optional<std::string_view> taskList,
                                    Date now) {
    std::vector<ToolStatus> statuses = parseCCCHistory(text, now);
    std::unordered_set<std::string> known;
    for (const ToolStatus& status : statuses)
        known.insert(status.name.value_or(""));
    // Scheduled tasks that have never run; Carbon Copy Cloner lists a repeated name each time.
    forEachTaskName(taskList.value_or(""), [&](std::string&& name) {
        if (statuses.size() >= maxToolJobs)
            return false;
        if (known.count(name) == 0)
            statuses.push_back(ToolStatus(ToolStatus::Tool::ccc, std::move(name), std::nullopt,
                                          std::nullopt, std::nullopt, false, false, std::nullopt,
                                          std::nullopt, false, now));
        return true;
    });
    if (!statuses.empty())
        return statuses;

    if (contains(text, "Failed to retrieve any task history events") ||
        contains(text, "No tasks configured")) {
        ToolStatus none = wholeApp(now);
        none.noBackupsSetUp = true;
        return {none};
    }
    ToolStatus unreadable = unreadableApp(now);
    if (contains(text, "XPC connection to the helper"))
        unreadable.note = "Carbon Copy Cloner's helper isn't running yet. Open Carbon Copy Cloner "
                          "and finish its setup.";
    return {unreadable};
}

std::optional<std::vector<ToolStatus>> readCCC(const Mac& mac, Date now) {
    std::error_code error;
    if (!std::filesystem::exists(mac.hostPath(cccPath), error))
        return std::nullopt;
    std::optional<ToolOutput> history =
        runToolCapturing(mac, cccPath, {"--history", "-c", "-d"}, queryTimeout);
    if (!history)
        return std::vector<ToolStatus>{unreadableApp(now)};
    // Carbon Copy Cloner reports some conditions only on standard error, whatever its exit status.
    const std::string text = utf8OrEmpty(history->output) + "\n" + utf8OrEmpty(history->errors);
    std::optional<ToolOutput> schedules =
        runToolCapturing(mac, cccPath, {"--print-schedules", "-c", "-d"}, queryTimeout);
    std::optional<std::string> taskList;
    if (schedules && isValidUTF8(schedules->output))
        taskList = std::move(schedules->output);
    return cccStatuses(text, taskList, now);
}

} // namespace quorvane
