#include "history/Reassurance.h"

#include "timemachine/StatusText.h"

#include <algorithm>
#include <cctype>

namespace quorvane {

namespace {

constexpr double daySeconds = 86400;

std::string joined(const std::vector<std::string>& items, std::size_t most,
                   std::string_view separator) {
    std::string text;
    for (std::size_t i = 0; i < items.size() && i < most; ++i) {
        if (i > 0)
            text += separator;
        text += items[i];
    }
    return text;
}

std::string lastResultText(const RestoreTestResult& result) {
    return result.passed ? "passed" : "failed";
}

} // namespace

std::string photosLibraryPath(std::string_view home) {
    return std::string(home) + "/Pictures/Photos Library.photoslibrary";
}

std::vector<Gap> gaps(const std::vector<HistoryEvent>& events, std::string_view destinationID,
                      int minDays, Date now) {
    std::vector<Date> dates;
    for (const HistoryEvent& event : events) {
        if (event.kind == HistoryEvent::Kind::completed && event.destinationID &&
            *event.destinationID == destinationID)
            dates.push_back(event.date);
    }
    std::vector<Gap> result;
    if (dates.empty())
        return result;
    std::sort(dates.begin(), dates.end());
    const double longest = minDays * daySeconds;
    for (std::size_t i = 1; i < dates.size(); ++i) {
        if (secondsBetween(dates[i - 1], dates[i]) > longest)
            result.push_back({dates[i - 1], dates[i]});
    }
    if (secondsBetween(dates.back(), now) > longest)
        result.push_back({dates.back(), now});
    return result;
}

std::string trackRecordLine(const std::vector<HistoryEvent>& events, Date watchingSince,
                            const std::vector<Gap>& gaps,
                            const std::optional<RestoreTestState>& restoreTest, Date now) {
    const Date countFrom = watchingSince - Seconds(daySeconds);
    const auto count = std::count_if(events.begin(), events.end(), [&](const HistoryEvent& e) {
        return e.kind == HistoryEvent::Kind::completed && e.date >= countFrom;
    });
    const std::string gapPart = gaps.empty()
                                    ? std::string("no gaps in watching")
                                    : plural(static_cast<std::int64_t>(gaps.size()), "gap") +
                                          " in watching (Mac off or asleep)";
    std::string line = "Watching since " + dayMonth(watchingSince, now) + ": " +
                       plural(count, "backup") + " seen, " + gapPart + ".";
    if (restoreTest && !restoreTest->results.empty()) {
        const RestoreTestResult& last = restoreTest->results.back();
        line += " Last restore test " + lastResultText(last) + " " + dayMonth(last.date, now) + ".";
    } else {
        line += " No restore test yet.";
    }
    return line;
}

WeeklySummary weeklySummary(const std::vector<HistoryEvent>& events,
                            const std::vector<Issue>& issues, std::optional<Date> lastCompleted,
                            const std::optional<RestoreTestState>& restoreTest, Date now) {
    const Date weekStart = now - Seconds(weeklySummaryInterval);
    std::int64_t completed = 0, failed = 0;
    std::vector<std::string> names;
    for (const HistoryEvent& event : events) {
        if (event.date < weekStart)
            continue;
        if (event.kind == HistoryEvent::Kind::completed) {
            ++completed;
            names.push_back(event.destinationName.value_or(event.source));
        } else if (event.kind == HistoryEvent::Kind::failed) {
            ++failed;
        }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());

    std::string body;
    if (completed == 0) {
        body = "No completed backups seen this week.";
    } else {
        body = plural(completed, "backup") + " completed this week";
        body += names.empty() ? "." : " (" + joined(names, 3, ", ") + ").";
    }
    if (failed > 0)
        body += " " + plural(failed, "attempt") + " didn't finish.";
    if (lastCompleted)
        body += " Last completed: " + shortDate(*lastCompleted, now) + ".";
    std::vector<std::string> open;
    for (const Issue& issue : issues) {
        if (issue.level == HealthLevel::amber || issue.level == HealthLevel::red)
            open.push_back(issue.title);
    }
    body += open.empty() ? " No open problems." : " Open: " + joined(open, 2, "; ") + ".";
    if (restoreTest && !restoreTest->results.empty()) {
        const RestoreTestResult& last = restoreTest->results.back();
        body +=
            " Last restore test: " + lastResultText(last) + " " + dayMonth(last.date, now) + ".";
    }
    return {"Quorvane Ombrel: your week", body};
}

std::optional<std::string> photosCoverageLine(bool libraryExists, bool excluded) {
    if (!libraryExists)
        return std::nullopt;
    if (excluded)
        return "Your Photos library is excluded from Time Machine, so no photo on this Mac is in "
               "that backup.";
    return "Photos: if iCloud Photos is set to Optimize Mac Storage, many originals are only in "
           "iCloud, so a backup of this Mac can't include them. Check Photos, Settings, iCloud. "
           "Download Originals keeps them on this Mac.";
}

std::vector<std::string> cloudStorageProviders(const std::vector<std::string>& folderNames) {
    static const std::pair<std::string_view, std::string_view> providers[] = {
        {"dropbox", "Dropbox"},
        {"googledrive", "Google Drive"},
        {"onedrive", "OneDrive"},
        {"box", "Box"}};
    std::vector<std::string> found;
    for (const std::string& name : folderNames) {
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        for (const auto& [prefix, display] : providers) {
            if (!lower.starts_with(prefix))
                continue;
            if (std::find(found.begin(), found.end(), display) == found.end())
                found.emplace_back(display);
            break;
        }
    }
    return found;
}

std::optional<Issue> cloudFolderIssue(const std::vector<std::string>& providers,
                                      bool backblazeInUse) {
    if (!backblazeInUse || providers.empty())
        return std::nullopt;
    std::string list = providers.back();
    if (providers.size() > 1) {
        std::vector<std::string> head(providers.begin(), providers.end() - 1);
        list = joined(head, head.size(), ", ") + " and " + providers.back();
    }
    const std::string word = providers.size() == 1 ? "folder" : "folders";
    return Issue{IssueKind::coverageGap,
                 "tool:Backblaze/cloud",
                 HealthLevel::amber,
                 "Backblaze doesn't back up your " + list + " " + word,
                 "Backblaze skips cloud-storage folders. Those files are only in " + list +
                     " and on this Mac, and a deletion in one syncs to the other.",
                 "Keep another backup of them, for example Time Machine (check they aren't "
                 "excluded) or the service's own version history."};
}

std::vector<Issue> softenTimeMachineNotSetUp(std::vector<Issue> issues,
                                             const std::vector<ToolStatus>& tools, int overdueDays,
                                             Date now) {
    const auto recent = std::find_if(tools.begin(), tools.end(), [&](const ToolStatus& s) {
        return !s.unreadable && !s.failed && s.lastSuccess &&
               secondsBetween(*s.lastSuccess, now) < overdueDays * daySeconds;
    });
    if (recent == tools.end())
        return issues;
    for (Issue& issue : issues) {
        if (issue.kind != IssueKind::noCompleted || issue.destinationID ||
            issue.level != HealthLevel::red)
            continue;
        issue.level = HealthLevel::amber;
        issue.detail =
            recent->label() + " completed a backup " + shortDate(*recent->lastSuccess, now) +
            ", so this Mac has a recent backup there. Time Machine adds a second, local copy.";
    }
    return issues;
}

} // namespace quorvane
