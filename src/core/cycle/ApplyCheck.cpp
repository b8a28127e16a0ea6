#include "cycle/ApplyCheck.h"

#include "checks/RestoreTest.h"
#include "health/Changes.h"
#include "health/Exclusions.h"
#include "health/Health.h"
#include "history/Reassurance.h"
#include "othertools/ToolStatus.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace quorvane {

namespace {

constexpr std::string_view exclusionPrefix = "excl:";
constexpr std::string_view notifyFailedKey = "notify-failed";
// Reasons that only a network share can give.
constexpr std::array<std::string_view, 3> networkOnlyKeys{"nas-timeout", "nas-name", "nas-login"};

bool isNetworkOnly(const FailureReason& reason) {
    return std::find(networkOnlyKeys.begin(), networkOnlyKeys.end(), reason.key) !=
           networkOnlyKeys.end();
}

// The latest reason of the list that suits a destination of this kind.
std::optional<FailureReason> latestReasonFor(BackupDestination::Kind kind,
                                             const std::vector<FailureReason>& reasons) {
    const bool network = kind == BackupDestination::Kind::network;
    for (auto reason = reasons.rbegin(); reason != reasons.rend(); ++reason)
        if (reason->key != notifyFailedKey && (network || !isNetworkOnly(*reason)))
            return *reason;
    return std::nullopt;
}

void append(std::vector<Issue>& to, std::vector<Issue> more) {
    to.insert(to.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

// Newly excluded paths are remembered for a week and reported for as long as they stay excluded.
void trackExclusions(const TimeMachineSettings& settings, HistoryRecord& history, Date now,
                     std::vector<Issue>& extra) {
    const std::vector<std::string>& excluded = settings.excludedPaths;
    for (const Issue& issue : exclusionIssues(excluded, history.exclusions))
        if (issue.destinationID && issue.destinationID->starts_with(exclusionPrefix))
            history.newExclusions[issue.destinationID->substr(exclusionPrefix.size())] = now;
    history.exclusions = excluded;
    std::erase_if(history.newExclusions, [&](const auto& entry) {
        return std::find(excluded.begin(), excluded.end(), entry.first) == excluded.end() ||
               !(secondsBetween(entry.second, now) < newExclusionWindow);
    });
    std::vector<std::string> recent;
    for (const auto& [path, since] : history.newExclusions)
        recent.push_back(path); // the map keeps them sorted ascending
    append(extra, exclusionIssues(recent, std::vector<std::string>{}));
}

} // namespace

Issue notificationsBlockedIssue() {
    return Issue{IssueKind::notificationsBlocked,
                 std::nullopt,
                 HealthLevel::amber,
                 std::string(notificationsBlockedTitle),
                 std::string(notificationsBlockedDetail),
                 std::string(notificationsBlockedCheck)};
}

std::vector<FailureReason> logReasons(const std::optional<LogReading>& log) {
    std::vector<FailureReason> reasons;
    if (!log || log->which != LogReading::Case::lines)
        return reasons;
    for (const LogEntry& entry : log->entries)
        if (auto reason = reasonForLine(entry.message, entry.date))
            reasons.push_back(std::move(*reason));
    return reasons;
}

std::map<std::string, FailureReason> destinationReasons(const TimeMachineSettings& settings,
                                                        const std::vector<FailureReason>& reasons) {
    std::map<std::string, FailureReason> byDestination;
    for (const BackupDestination& destination : settings.destinations) {
        if (destination.attemptsSinceLastCompleted() == 0 && destination.lastCompleted())
            continue;
        auto reason = latestReasonFor(destination.kind, reasons);
        if (!reason)
            reason = reasonForResultCode(destination.resultCode);
        if (reason)
            byDestination.emplace(destination.id, std::move(*reason));
    }
    return byDestination;
}

CheckOutcome applyCheck(const CheckReading& reading, const WatchPreferences& prefs,
                        HistoryRecord history, bool notificationsBlocked, const Mac& mac,
                        Date now) {
    CheckOutcome outcome;
    const std::optional<TimeMachineSettings>& settings = reading.reading.settings;

    std::vector<FailureReason> reasons;
    if (reading.log && reading.log->which == LogReading::Case::lines) {
        outcome.logAllowed = true;
        reasons = logReasons(reading.log);
        // Up to where the log was read, not the fold's time: entries logged while the check was
        // still reading come with the next one.
        history.logReadUpTo = reading.readAt ? std::min(*reading.readAt, now) : now;
    } else if (reading.log && reading.log->which == LogReading::Case::notAllowed) {
        outcome.logAllowed = false;
    }

    recordPhase(reading.run, history, now);

    std::vector<Issue> extra = readingIssues(reading.reading);

    ChangeState changes = history.changes.value_or(ChangeState{});
    recordChanges(changes, settings, reading.os, now);
    append(extra, changeIssues(changes, settings, now));
    history.changes = std::move(changes);

    if (settings) {
        trackExclusions(*settings, history, now, extra);
        if (auto own = ownFoldersExcludedIssue(settings->excludedPaths)) {
            const std::vector<std::string> onPurpose =
                prefs.onPurpose.value_or(std::vector<std::string>{});
            if (std::find(onPurpose.begin(), onPurpose.end(), own->id()) == onPurpose.end())
                extra.push_back(std::move(*own));
        }
        if (history.restoreTest)
            advanceRestoreTest(*history.restoreTest, *settings, now, mac);
    }

    if (notificationsBlocked && prefs.alertsOn)
        extra.push_back(notificationsBlockedIssue());

    std::vector<Issue> issues;
    if (!settings) {
        issues = std::move(extra);
        append(issues, toolIssues(reading.tools, prefs, now));
        issues = orderIssues(std::move(issues), {});
    } else {
        // The health rules compare with what the previous check saw, so they get the
        // observations from before this check's are recorded.
        const auto previous = history.observations;
        recordObservation(*settings, history, reasons, now);
        recordToolEvents(reading.tools, history);
        issues = evaluateHealth(*settings, reading.run, history.phaseSince, previous,
                                reading.unreachable, prefs, now);
        append(issues, toolIssues(reading.tools, prefs, now));
        append(issues, std::move(extra));
        std::vector<std::string> order;
        for (const BackupDestination& destination : settings->destinations)
            order.push_back(destination.id);
        issues = orderIssues(std::move(issues), order);
        outcome.reasons = destinationReasons(*settings, reasons);
    }

    issues = softenTimeMachineNotSetUp(std::move(issues), reading.tools, prefs.overdueDays, now);

    const auto backblaze =
        std::find_if(reading.tools.begin(), reading.tools.end(), [](const auto& t) {
            return t.tool == ToolStatus::Tool::backblaze && !t.unreadable && !t.noBackupsSetUp;
        });
    if (backblaze != reading.tools.end())
        if (auto cloud = cloudFolderIssue(cloudStorageProviders(reading.cloudStorageNames), true))
            issues.push_back(std::move(*cloud));

    outcome.history = std::move(history);
    outcome.issues = std::move(issues);
    return outcome;
}

} // namespace quorvane
