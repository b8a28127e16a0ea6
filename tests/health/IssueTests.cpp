#include "health/Issue.h"

#include <gtest/gtest.h>

#include <set>

namespace quorvane {
namespace {

Issue issue(IssueKind kind, std::optional<std::string> destination, HealthLevel level,
            std::string title = "t") {
    return Issue{kind, std::move(destination), level, std::move(title), std::nullopt, std::nullopt};
}

std::vector<std::string> orderedTitles(const std::vector<Issue>& issues,
                                       const std::vector<std::string>& destinations) {
    std::vector<std::string> titles;
    for (const Issue& i : orderIssues(issues, destinations))
        titles.push_back(i.title);
    return titles;
}

TEST(Issue, IdentityIsKindColonDestinationOrHyphen) {
    EXPECT_EQ(issue(IssueKind::stuck, "D1", HealthLevel::amber).id(), "stuck:D1");
    EXPECT_EQ(issue(IssueKind::stuck, std::nullopt, HealthLevel::amber).id(), "stuck:-");
    EXPECT_EQ(issue(IssueKind::autoBackupOff, std::nullopt, HealthLevel::amber).id(),
              "autoBackupOff:-");
    EXPECT_EQ(issue(IssueKind::tool, "tool:arq:1", HealthLevel::red).id(), "tool:tool:arq:1");
    // Level and wording do not change the identity.
    EXPECT_EQ(issue(IssueKind::overdue, "D1", HealthLevel::red, "a").id(),
              issue(IssueKind::overdue, "D1", HealthLevel::amber, "b").id());
}

TEST(IssueKind, TextFormsAreExactAndCaseSensitive) {
    const auto& kinds = allIssueKinds();
    ASSERT_EQ(kinds.size(), 22u);
    std::set<std::string_view> texts;
    for (IssueKind kind : kinds) {
        texts.insert(toText(kind));
        EXPECT_EQ(issueKindFromText(toText(kind)), kind) << toText(kind);
    }
    EXPECT_EQ(texts.size(), 22u);
    EXPECT_EQ(toText(IssueKind::autoBackupOff), "autoBackupOff");
    EXPECT_EQ(toText(IssueKind::notificationsBlocked), "notificationsBlocked");
    EXPECT_EQ(toText(IssueKind::tool), "tool");
    for (std::string_view text : {"Overdue", "NASUnreachable", "", "overdue ", "shrank"})
        EXPECT_EQ(issueKindFromText(text), std::nullopt) << text;
}

TEST(HealthLevel, OrderedByRawValueWithCaseNames) {
    EXPECT_LT(HealthLevel::green, HealthLevel::unknown);
    EXPECT_LT(HealthLevel::unknown, HealthLevel::amber);
    EXPECT_LT(HealthLevel::amber, HealthLevel::red);
    EXPECT_EQ(healthLevelFromRaw(2), HealthLevel::amber);
    EXPECT_EQ(healthLevelFromRaw(-1), std::nullopt);
    EXPECT_EQ(healthLevelFromRaw(4), std::nullopt);
    EXPECT_EQ(rawValue(HealthLevel::red), 3);
    EXPECT_EQ(toText(HealthLevel::green), "green");
    EXPECT_EQ(toText(HealthLevel::unknown), "unknown");
    EXPECT_EQ(toText(HealthLevel::amber), "amber");
    EXPECT_EQ(toText(HealthLevel::red), "red");
}

TEST(Level, HighestLevelIgnoringAway) {
    EXPECT_EQ(level({}), HealthLevel::green);
    std::vector<Issue> issues{issue(IssueKind::away, "D1", HealthLevel::amber)};
    EXPECT_EQ(level(issues), HealthLevel::green);
    issues.push_back(issue(IssueKind::unknown, std::nullopt, HealthLevel::unknown));
    EXPECT_EQ(level(issues), HealthLevel::unknown);
    issues.push_back(issue(IssueKind::overdue, "D1", HealthLevel::red));
    EXPECT_EQ(level(issues), HealthLevel::red);
}

TEST(Level, ForOneDestinationKeepsOnlyItsIssues) {
    const std::vector<Issue> issues{
        issue(IssueKind::overdue, "D1", HealthLevel::red),
        issue(IssueKind::tool, "tool:x", HealthLevel::red),
        issue(IssueKind::autoBackupOff, std::nullopt, HealthLevel::amber),
        issue(IssueKind::away, "D2", HealthLevel::amber),
        issue(IssueKind::notEncrypted, "D2", HealthLevel::amber),
    };
    EXPECT_EQ(level(issues, "D2"), HealthLevel::amber);
    EXPECT_EQ(level(issues, "D1"), HealthLevel::red);
    EXPECT_EQ(level(issues, "D3"), HealthLevel::green);
    EXPECT_EQ(level({issues[3]}, "D2"), HealthLevel::green);
}

TEST(OrderIssues, ByDestinationRankThenLevelThenInputOrder) {
    const std::vector<Issue> input{
        issue(IssueKind::autoBackupOff, std::nullopt, HealthLevel::red, "mac red"),
        issue(IssueKind::overdue, "B", HealthLevel::amber, "B amber"),
        issue(IssueKind::tool, "tool:arq", HealthLevel::red, "tool red"),
        issue(IssueKind::failing, "A", HealthLevel::amber, "A amber"),
        issue(IssueKind::overdue, "X", HealthLevel::red, "X red"),
        issue(IssueKind::overdue, "A", HealthLevel::red, "A red"),
    };
    EXPECT_EQ(
        orderedTitles(input, {"A", "B"}),
        (std::vector<std::string>{"A red", "A amber", "B amber", "tool red", "X red", "mac red"}));
}

TEST(OrderIssues, EveryListedDestinationStaysAheadOfToolsAndUnlistedOnesInALongList) {
    std::vector<std::string> destinations;
    for (int i = 0; i <= 100'000; ++i)
        destinations.push_back("D" + std::to_string(i));
    const std::vector<Issue> input{
        issue(IssueKind::overdue, "X", HealthLevel::red, "X red"),
        issue(IssueKind::tool, "tool:arq", HealthLevel::red, "tool red"),
        issue(IssueKind::overdue, "D100000", HealthLevel::amber, "last amber"),
        issue(IssueKind::overdue, "D10000", HealthLevel::amber, "D10000 amber"),
        issue(IssueKind::overdue, "D0", HealthLevel::green, "first green"),
    };
    EXPECT_EQ(orderedTitles(input, destinations),
              (std::vector<std::string>{"first green", "D10000 amber", "last amber", "tool red",
                                        "X red"}));
}

TEST(OrderIssues, EqualRankAndLevelKeepInputOrderAndFirstListedPositionCounts) {
    const std::vector<Issue> input{
        issue(IssueKind::slower, "A", HealthLevel::amber, "first"),
        issue(IssueKind::tool, "tool:b", HealthLevel::amber, "tool b"),
        issue(IssueKind::tool, "tool:a", HealthLevel::amber, "tool a"),
        issue(IssueKind::notEncrypted, "A", HealthLevel::amber, "second"),
        issue(IssueKind::monitoringGap, std::nullopt, HealthLevel::green, "gap"),
        issue(IssueKind::afterUpgrade, std::nullopt, HealthLevel::amber, "upgrade"),
    };
    EXPECT_EQ(orderedTitles(input, {"A", "B", "A"}),
              (std::vector<std::string>{"first", "second", "tool b", "tool a", "upgrade", "gap"}));
    EXPECT_TRUE(orderIssues({}, {"A"}).empty());
}

TEST(Plural, OneIsSingularEverythingElseGetsAnS) {
    const std::vector<std::tuple<std::int64_t, std::string, std::string>> cases{
        {1, "day", "1 day"},          {0, "day", "0 days"},   {21, "hour", "21 hours"},
        {3, "attempt", "3 attempts"}, {-1, "day", "-1 days"}, {-2, "minute", "-2 minutes"},
    };
    for (const auto& [count, word, expected] : cases)
        EXPECT_EQ(plural(count, word), expected);
}

} // namespace
} // namespace quorvane
