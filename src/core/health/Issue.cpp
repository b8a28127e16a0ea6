#include "health/Issue.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <unordered_map>
#include <utility>

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

// Destinations in settings order come first, then other tools' issues, then destinations the
// settings do not list, then the Mac as a whole. Tiers keep a long destination list from
// running into the tools' place.
enum class RankTier { listed, tool, unlisted, macWide };
using Rank = std::pair<RankTier, std::size_t>; // tier, position in the list

Rank destinationRank(const Issue& issue,
                     const std::unordered_map<std::string_view, std::size_t>& positions) {
    if (!issue.destinationID)
        return {RankTier::macWide, 0};
    const std::string& id = *issue.destinationID;
    if (auto listed = positions.find(id); listed != positions.end())
        return {RankTier::listed, listed->second};
    if (id.starts_with("tool:"))
        return {RankTier::tool, 0};
    return {RankTier::unlisted, 0};
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
    // The first equal entry of the list gives the position.
    std::unordered_map<std::string_view, std::size_t> positions;
    positions.reserve(destinations.size());
    for (std::size_t i = 0; i < destinations.size(); ++i)
        positions.emplace(destinations[i], i);
    // Rank each issue once; the stable sort keeps input order among equal rank and level.
    std::vector<std::pair<Rank, std::size_t>> keys; // (rank, input index)
    keys.reserve(issues.size());
    for (std::size_t i = 0; i < issues.size(); ++i)
        keys.emplace_back(destinationRank(issues[i], positions), i);
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
