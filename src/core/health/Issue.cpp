#include "health/Issue.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace quorvane {

namespace {

constexpr std::array<std::string_view, 22> kindTexts{
    "autoBackupOff",
    "noCompleted",
    "overdue",
    "failing",
    "away",
    "stuck",
    "historyShrank",
    "nearlyFull",
    "afp",
    "nasUnreachable",
    "unknown",
    "notEncrypted",
    "exclusionsChanged",
    "slower",
    "shorterHistory",
    "notificationsBlocked",
    "afterUpgrade",
    "monitoringGap",
    "destinationChanged",
    "coverageGap",
    "ownFoldersExcluded",
    "tool",
};

constexpr std::size_t rankUnlisted = 100000;
constexpr std::size_t rankTool = 10000;
constexpr std::size_t rankMacWide = 1000000;

std::size_t destinationRank(const Issue& issue, const std::vector<std::string>& destinations) {
    if (!issue.destinationID)
        return rankMacWide;
    const std::string& id = *issue.destinationID;
    auto listed = std::find(destinations.begin(), destinations.end(), id);
    if (listed != destinations.end())
        return static_cast<std::size_t>(listed - destinations.begin());
    if (id.starts_with("tool:"))
        return rankTool;
    return rankUnlisted;
}

HealthLevel highestCounted(const std::vector<Issue>& issues,
                           const std::string_view* destinationID) {
    HealthLevel result = HealthLevel::green;
    for (const Issue& issue : issues) {
        // An away destination shows its paused state but never raises the level.
        if (issue.kind == IssueKind::away)
            continue;
        if (destinationID && (!issue.destinationID || *issue.destinationID != *destinationID))
            continue;
        result = std::max(result, issue.level);
    }
    return result;
}

} // namespace

std::optional<HealthLevel> healthLevelFromRaw(int raw) {
    if (raw < 0 || raw > 3)
        return std::nullopt;
    return static_cast<HealthLevel>(raw);
}

std::string_view toText(HealthLevel level) {
    switch (level) {
    case HealthLevel::green:
        return "green";
    case HealthLevel::unknown:
        return "unknown";
    case HealthLevel::amber:
        return "amber";
    case HealthLevel::red:
        return "red";
    }
    return "unknown";
}

std::string_view toText(IssueKind kind) {
    return kindTexts.at(static_cast<std::size_t>(kind));
}

std::optional<IssueKind> issueKindFromText(std::string_view raw) {
    for (std::size_t i = 0; i < kindTexts.size(); ++i)
        if (kindTexts[i] == raw)
            return static_cast<IssueKind>(i);
    return std::nullopt;
}

const std::vector<IssueKind>& allIssueKinds() {
    static const std::vector<IssueKind> kinds = [] {
        std::vector<IssueKind> all;
        for (std::size_t i = 0; i < kindTexts.size(); ++i)
            all.push_back(static_cast<IssueKind>(i));
        return all;
    }();
    return kinds;
}

std::string Issue::id() const {
    std::string result(toText(kind));
    result += ':';
    result += destinationID ? *destinationID : std::string("-");
    return result;
}

std::vector<Issue> orderIssues(std::vector<Issue> issues,
                               const std::vector<std::string>& destinations) {
    // Rank each issue once; the stable sort keeps input order among equal rank and level.
    std::vector<std::pair<std::size_t, std::size_t>> keys; // (rank, input index)
    keys.reserve(issues.size());
    for (std::size_t i = 0; i < issues.size(); ++i)
        keys.emplace_back(destinationRank(issues[i], destinations), i);
    std::stable_sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
        if (a.first != b.first)
            return a.first < b.first;
        return issues[a.second].level > issues[b.second].level;
    });
    std::vector<Issue> ordered;
    ordered.reserve(issues.size());
    for (const auto& key : keys)
        ordered.push_back(std::move(issues[key.second]));
    return ordered;
}

HealthLevel level(const std::vector<Issue>& issues) {
    return highestCounted(issues, nullptr);
}

HealthLevel level(const std::vector<Issue>& issues, std::string_view destinationID) {
    return highestCounted(issues, &destinationID);
}

std::string plural(std::int64_t count, std::string_view word) {
    std::string result = std::to_string(count);
    result += ' ';
    result += word;
    if (count != 1)
        result += 's';
    return result;
}

} // namespace quorvane
