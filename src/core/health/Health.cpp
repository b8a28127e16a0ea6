#include "health/Health.h"

#include "checks/Coverage.h"
#include "health/Days.h"
#include "timemachine/StatusText.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quorvane {

namespace {

constexpr double secondsPerDay = 86400.0;
constexpr double secondsPerHour = 3600.0;
// The oldest backup moving by more than this means older backups were removed.
constexpr double oldestMovedLimit = 30 * secondsPerDay;
constexpr double redFullFraction = 0.97;
// Backups are "slower" only when the recent median is above this many seconds.
constexpr double slowerMinimum = 600.0;
constexpr std::size_t slowerMinimumCount = 8;
constexpr std::size_t slowerRecentCount = 3;
constexpr std::size_t slowerBaselineCount = 20;

// Rounded to the nearest integer, halves away from zero. Values from damaged files may be
// anything, so non-finite input gives 0 and the result is clamped to the 64-bit range.
std::int64_t roundedCount(double value) {
    if (!std::isfinite(value))
        return 0;
    const double rounded = std::round(value);
    // 2^63 as a double; every double below it converts without overflow.
    constexpr double limit = 9223372036854775808.0;
    if (rounded >= limit)
        return std::numeric_limits<std::int64_t>::max();
    if (rounded < -limit)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(rounded);
}

// Intervals this long (about 31,700 years) only come from damaged dates.
constexpr double maxPlausibleInterval = 1e12;

std::string asciiLowercase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Only an explicit "off" counts as off.
bool automaticBackupsOn(const TimeMachineSettings& settings) {
    return settings.automaticBackups.value_or(true);
}

// How long after the last completion a backup counts as late: a day, or three intervals when
// that is longer. A damaged (non-finite) interval is treated as not set.
double latenessThreshold(const TimeMachineSettings& settings) {
    if (!settings.interval || !std::isfinite(*settings.interval))
        return secondsPerDay;
    return std::max(3 * *settings.interval, secondsPerDay);
}

Issue makeIssue(IssueKind kind, const std::string& destinationID, HealthLevel level,
                std::string title, std::optional<std::string> detail,
                std::optional<std::string> check) {
    return Issue{kind, destinationID, level, std::move(title), std::move(detail), std::move(check)};
}

// Everything the rules of one destination need besides the destination itself.
struct RuleContext {
    const TimeMachineSettings& settings;
    const std::optional<BackupRunState>& run;
    std::optional<Date> phaseSince;
    const std::map<std::string, PreviousObservation>& previous;
    const std::set<std::string>& unreachableHosts;
    const WatchPreferences& prefs;
    Date now;
};

std::optional<Date> awayDate(const BackupDestination& d, const RuleContext& c) {
    auto entry = c.prefs.awayUntil.find(d.id);
    if (entry == c.prefs.awayUntil.end() || !(entry->second > c.now))
        return std::nullopt;
    return entry->second;
}

void neverCompletedRule(const BackupDestination& d, const std::string& name,
                        std::vector<Issue>& out) {
    if (!d.completed.empty())
        return;
    std::string first = d.attempts.empty()
                            ? std::string("Time Machine hasn't tried yet.")
                            : plural(static_cast<std::int64_t>(d.attempts.size()), "attempt") +
                                  " so far; none finished.";
    out.push_back(makeIssue(
        IssueKind::noCompleted, d.id, HealthLevel::red, name + " has never finished a backup",
        first + " Nothing on this Mac can be recovered from this disk yet.", std::nullopt));
}

void overdueOrLateRule(const BackupDestination& d, const std::string& name, Date last,
                       const RuleContext& c, std::vector<Issue>& out) {
    const double sinceLast = secondsBetween(last, c.now);
    if (sinceLast > c.prefs.overdueDays * secondsPerDay) {
        const bool network = d.kind == BackupDestination::Kind::network;
        out.push_back(
            makeIssue(IssueKind::overdue, d.id, HealthLevel::red,
                      "No completed backup to " + name + " since " + dayMonth(last, c.now),
                      "Last completed " + shortDate(last, c.now) + ". " + lossLine(last, c.now) +
                          " Checked " + shortDate(c.now, c.now) + ".",
                      network ? "Is the NAS on, awake and on the same network as this Mac?"
                              : "Is the backup disk connected?"));
        return;
    }
    if (automaticBackupsOn(c.settings) && sinceLast > latenessThreshold(c.settings))
        out.push_back(makeIssue(IssueKind::overdue, d.id, HealthLevel::amber,
                                "Backups to " + name + " are late",
                                "Last completed " + relativeDays(last, c.now) + ".", std::nullopt));
}

void failingRule(const BackupDestination& d, const std::string& name, Date last,
                 const RuleContext& c, std::vector<Issue>& out) {
    const int attempts = d.attemptsSinceLastCompleted();
    if (attempts < 2)
        return;
    out.push_back(makeIssue(
        IssueKind::failing, d.id, attempts == 2 ? HealthLevel::amber : HealthLevel::red,
        "Backups to " + name + " are failing",
        plural(attempts, "attempt") + " since " + shortDate(last, c.now) + " didn't finish.",
        std::nullopt));
}

void stuckRule(const BackupDestination& d, const std::string& name, const RuleContext& c,
               std::vector<Issue>& out) {
    if (!c.run || !c.run->running || !c.phaseSince)
        return;
    if (c.run->destinationID && *c.run->destinationID != d.id)
        return;
    const double inPhase = secondsBetween(*c.phaseSince, c.now);
    // A phase start thousands of years away comes from a damaged history file, not from a
    // backup that is really stuck.
    if (!(inPhase > c.prefs.stuckHours * secondsPerHour) || !(inPhase < maxPlausibleInterval))
        return;
    std::optional<std::string> detail;
    if (auto last = d.lastCompleted())
        detail = "Last completed backup to " + name + ": " + shortDate(*last, c.now) + ".";
    out.push_back(makeIssue(
        IssueKind::stuck, d.id, HealthLevel::amber,
        "Time Machine has been " + phaseWords(c.run->phase) + " for " +
            plural(static_cast<std::int64_t>(inPhase / secondsPerHour), "hour"),
        std::move(detail),
        "A first backup can take many hours. If it isn't the first, check the disk is connected "
        "and awake."));
}

void historyShrankRule(const BackupDestination& d, const std::string& name, const RuleContext& c,
                       std::vector<Issue>& out) {
    auto found = c.previous.find(d.id);
    if (found == c.previous.end() || d.completed.empty())
        return;
    const PreviousObservation& p = found->second;
    const Date oldest = d.completed.front();
    const bool moved = p.oldest && secondsBetween(*p.oldest, oldest) > oldestMovedLimit;
    const auto count = static_cast<std::int64_t>(d.completed.size());
    const bool fewer = p.count >= 10 && count < p.count / 2;
    if (!moved && !fewer)
        return;
    std::string detail = moved ? "Your oldest backup was " + shortDate(*p.oldest, c.now) +
                                     "; now it's " + shortDate(oldest, c.now) + "."
                               : "Backups listed went from " + std::to_string(p.count) + " to " +
                                     std::to_string(count) + ".";
    out.push_back(makeIssue(IssueKind::historyShrank, d.id, HealthLevel::red,
                            "Older backups on " + name + " are gone", std::move(detail),
                            "Time Machine removes old backups when the disk fills up. If the disk "
                            "isn't nearly full, the backup may have been started over."));
}

void nearlyFullRule(const BackupDestination& d, const std::string& name, const RuleContext& c,
                    std::vector<Issue>& out) {
    const std::optional<double> fraction = d.fractionFull();
    if (!fraction || !(*fraction >= c.prefs.nearlyFull))
        return;
    std::string seen;
    std::optional<Date> lastSeen = d.lastAttempt();
    if (!lastSeen)
        lastSeen = d.lastCompleted();
    if (lastSeen)
        seen = " (" + shortDate(*lastSeen, c.now) + ")";
    std::string free;
    if (d.bytesAvailable)
        free = ", " + decimalByteCount(*d.bytesAvailable) + " free";
    out.push_back(makeIssue(
        IssueKind::nearlyFull, d.id,
        *fraction >= redFullFraction ? HealthLevel::red : HealthLevel::amber,
        name + " is " + std::to_string(roundedCount(*fraction * 100)) + "% full",
        "When last seen" + seen + free + ". Time Machine will start removing your oldest backups.",
        "To keep more history, use a bigger disk or exclude large folders you don't need backed "
        "up."));
}

void notEncryptedRule(const BackupDestination& d, const std::string& name,
                      std::vector<Issue>& out) {
    if (d.encryptionState != "NotEncrypted")
        return;
    out.push_back(makeIssue(IssueKind::notEncrypted, d.id, HealthLevel::amber,
                            name + " isn't encrypted",
                            "Anyone who has the disk can read your backed-up files.",
                            "Time Machine can encrypt a backup disk when you choose it. Encrypting "
                            "an existing disk means setting it up again; check Apple's guide "
                            "first."));
}

// The durations of the latest completions: at least `wanted` of them when the destination has
// that many, and always the same values as the tail of `durations()`. Only the end of the lists
// is looked at, so years of hourly backups cost no more than a few days of them.
std::vector<double> recentDurations(const BackupDestination& d, std::size_t wanted) {
    std::size_t take = wanted;
    for (;;) {
        take = std::min(take, d.completed.size());
        BackupDestination tail;
        tail.completed.assign(d.completed.end() - static_cast<std::ptrdiff_t>(take),
                              d.completed.end());
        if (!tail.completed.empty()) {
            // Only attempts less than a day before a completion can pair with it.
            auto from = std::lower_bound(d.attempts.begin(), d.attempts.end(),
                                         addSeconds(tail.completed.front(), -secondsPerDay));
            tail.attempts.assign(from, d.attempts.end());
        }
        std::vector<double> durations = tail.durations();
        if (durations.size() >= wanted || take == d.completed.size())
            return durations;
        take *= 2;
    }
}

void slowerRule(const BackupDestination& d, const std::string& name, std::vector<Issue>& out) {
    const std::vector<double> durations =
        recentDurations(d, slowerRecentCount + slowerBaselineCount);
    const std::size_t count = durations.size();
    if (count < slowerMinimumCount)
        return;
    const auto recentBegin = durations.end() - slowerRecentCount;
    const std::size_t baselineStart = count - slowerRecentCount > slowerBaselineCount
                                          ? count - slowerRecentCount - slowerBaselineCount
                                          : 0;
    const double recent = median({recentBegin, durations.end()});
    const double baseline =
        median({durations.begin() + static_cast<long>(baselineStart), recentBegin});
    if (!(recent > slowerMinimum && baseline > 0 && 2 * baseline < recent))
        return;
    out.push_back(makeIssue(
        IssueKind::slower, d.id, HealthLevel::amber, "Backups to " + name + " are taking longer",
        "About " + minutes(recent) + " now, against about " + minutes(baseline) + " before.",
        "Large new files or a slow connection to the disk can cause this."));
}

void shorterHistoryRule(const BackupDestination& d, const std::string& name, const RuleContext& c,
                        std::vector<Issue>& out) {
    const std::optional<int> retention = d.retentionDays(c.now);
    auto found = c.previous.find(d.id);
    if (!retention || found == c.previous.end() || !found->second.maxRetentionDays)
        return;
    const std::int64_t longest = *found->second.maxRetentionDays;
    // An oldest backup dated in the future (a clock set wrong) says nothing about history.
    if (longest < 14 || *retention < 0 || *retention >= longest / 2)
        return;
    out.push_back(makeIssue(IssueKind::shorterHistory, d.id, HealthLevel::amber,
                            "Your history on " + name + " is getting shorter",
                            "It goes back " + plural(*retention, "day") + " now; it went back " +
                                plural(longest, "day") + ".",
                            "Time Machine removes old backups when the disk fills up. A bigger "
                            "disk keeps more history."));
}

void afpRule(const BackupDestination& d, const std::string& name, std::vector<Issue>& out) {
    if (d.scheme() != "afp")
        return;
    out.push_back(makeIssue(IssueKind::afp, d.id, HealthLevel::red,
                            name + " uses AFP, which macOS 27 removed",
                            "Backups to it stop working on macOS 27 and later.",
                            "Options: a newer NAS, a USB drive, or SMB on the Time Capsule "
                            "(community tools; not supported by Apple or us)."));
}

void unreachableRule(const BackupDestination& d, const std::string& name, const RuleContext& c,
                     std::vector<Issue>& out) {
    const std::optional<std::string> host = d.host();
    if (!host || !c.unreachableHosts.contains(*host))
        return;
    out.push_back(
        makeIssue(IssueKind::nasUnreachable, d.id, HealthLevel::amber, name + " didn't answer",
                  "Checked " + shortDate(c.now, c.now) + ": no reply on the file-sharing port.",
                  "Is the NAS on and awake, and is this Mac on the same network?"));
}

void destinationRules(const BackupDestination& d, const RuleContext& c, std::vector<Issue>& out) {
    const std::string name = destinationLabel(d);
    const std::optional<Date> away = awayDate(d, c);
    if (away)
        out.push_back(makeIssue(
            IssueKind::away, d.id, HealthLevel::amber, name + ": paused, away on purpose",
            "No alerts for this disk until " + shortDate(*away, c.now) + ".", std::nullopt));
    // Being away only silences the "no backup" rules; a full or unsafe disk still shows.
    if (!away) {
        neverCompletedRule(d, name, out);
        if (auto last = d.lastCompleted()) {
            overdueOrLateRule(d, name, *last, c, out);
            failingRule(d, name, *last, c, out);
        }
    }
    stuckRule(d, name, c, out);
    historyShrankRule(d, name, c, out);
    nearlyFullRule(d, name, c, out);
    notEncryptedRule(d, name, out);
    slowerRule(d, name, out);
    shorterHistoryRule(d, name, c, out);
    afpRule(d, name, out);
    unreachableRule(d, name, c, out);
}

} // namespace

std::vector<Issue> evaluateHealth(const TimeMachineSettings& settings,
                                  const std::optional<BackupRunState>& run,
                                  std::optional<Date> phaseSince,
                                  const std::map<std::string, PreviousObservation>& previous,
                                  const std::set<std::string>& unreachableHosts,
                                  const WatchPreferences& prefs, Date now) {
    std::vector<Issue> issues;
    if (settings.destinations.empty())
        return issues;
    if (settings.automaticBackups == false)
        issues.push_back(
            Issue{IssueKind::autoBackupOff, std::nullopt, HealthLevel::amber,
                  "Automatic backups are off", "Time Machine only backs up when you start it.",
                  "If that's not what you want, open System Settings, General, Time Machine, click "
                  "Options… and set Backup Frequency to Automatically Every Hour, Day or Week."});

    const RuleContext context{settings, run, phaseSince, previous, unreachableHosts, prefs, now};
    std::vector<std::string> order;
    order.reserve(settings.destinations.size());
    for (const BackupDestination& d : settings.destinations) {
        destinationRules(d, context, issues);
        order.push_back(d.id);
    }
    return orderIssues(std::move(issues), order);
}

std::string lossLine(Date since, Date now) {
    std::int64_t d = days(secondsBetween(since, now));
    if (d < 2)
        d = 1;
    return "Changes made in the past " + plural(d, "day") +
           " may not be recoverable from this backup.";
}

std::string phaseWords(const std::optional<std::string>& phase) {
    if (!phase || phase->empty())
        return "busy";
    const std::string lowered = asciiLowercase(*phase);
    auto has = [&](std::string_view word) { return lowered.find(word) != std::string::npos; };
    if (has("start") || has("prepar") || has("thinning"))
        return "preparing";
    if (has("copy"))
        return "copying";
    if (has("finish"))
        return "finishing";
    return "busy (" + *phase + ")";
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    // NaN (from a damaged date) sorts last, so the comparison stays a strict weak order.
    std::sort(values.begin(), values.end(), [](double a, double b) {
        if (std::isnan(b))
            return !std::isnan(a);
        return a < b;
    });
    const std::size_t middle = values.size() / 2;
    if (values.size() % 2 == 1)
        return values[middle];
    return (values[middle - 1] + values[middle]) / 2;
}

std::string minutes(double seconds) {
    const std::int64_t m = roundedCount(seconds / 60);
    if (m < 90)
        return plural(m, "minute");
    return plural(roundedCount(seconds / secondsPerHour), "hour");
}

} // namespace quorvane
