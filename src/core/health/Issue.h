#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Severity of an issue; levels compare by raw value: green < unknown < amber < red.
enum class HealthLevel : int { green = 0, unknown = 1, amber = 2, red = 3 };

// The level with raw value `raw`; absent outside 0 to 3.
std::optional<HealthLevel> healthLevelFromRaw(int raw);
inline constexpr int rawValue(HealthLevel level) {
    return static_cast<int>(level);
}
// The case name: "green", "unknown", "amber" or "red".
std::string_view toText(HealthLevel level);

// What kind of problem an issue is. The raw text is also the persisted and wire form.
enum class IssueKind {
    autoBackupOff,
    noCompleted,
    overdue,
    failing,
    away,
    stuck,
    historyShrank,
    nearlyFull,
    afp,
    nasUnreachable,
    unknown,
    notEncrypted,
    exclusionsChanged,
    slower,
    shorterHistory,
    notificationsBlocked,
    afterUpgrade,
    monitoringGap,
    destinationChanged,
    coverageGap,
    ownFoldersExcluded,
    tool,
};

// The raw text of a kind, for example "autoBackupOff".
std::string_view toText(IssueKind kind);
// The kind whose raw text is exactly `raw` (case-sensitive); absent for any other text.
std::optional<IssueKind> issueKindFromText(std::string_view raw);
// All 22 kinds in declaration order.
const std::vector<IssueKind>& allIssueKinds();

// One problem or warning, about a destination, another tool ("tool:..."), or the whole Mac
// (no destination). Built once and never changed.
struct Issue {
    IssueKind kind = IssueKind::unknown;
    std::optional<std::string> destinationID;
    HealthLevel level = HealthLevel::green;
    std::string title;
    std::optional<std::string> detail;
    std::optional<std::string> check;

    // Identity: kind raw value + ":" + destination identifier, or "-" without one
    // ("overdue:D1", "autoBackupOff:-"). Same kind on the same destination is the same issue.
    std::string id() const;

    bool operator==(const Issue&) const = default;
};

// Display order: by destination rank (position in `destinations`, then "tool:" issues, then
// unlisted destinations, then Mac-wide issues), then highest level first, then input order.
std::vector<Issue> orderIssues(std::vector<Issue> issues,
                               const std::vector<std::string>& destinations);

// The highest level among `issues`, ignoring `away` issues; green when none remain.
HealthLevel level(const std::vector<Issue>& issues);
// The same for the issues of one destination only (issues without a destination are left out).
HealthLevel level(const std::vector<Issue>& issues, std::string_view destinationID);

// Count wording: "1 day", "0 days", "3 days", "-2 days". `word` is given in the singular.
std::string plural(std::int64_t count, std::string_view word);

} // namespace quorvane
