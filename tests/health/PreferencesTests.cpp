#include "health/Preferences.h"

#include "history/JSONCoding.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace quorvane {
namespace {

using nlohmann::json;

json fixture(const std::string& name) {
    std::ifstream in(std::string(QUORVANE_FIXTURES) + "/preferences/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return json::parse(text.str());
}

template <class T> std::optional<T> decode(const json& j) {
    try {
        T value{};
        jsoncoding::decodeValue(j, value);
        return value;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

const std::vector<std::string> requiredKeys{
    "overdueDays", "nearlyFull", "awayUntil",       "snoozedUntil", "repeatHours",    "dailyDigest",
    "alertsOn",    "nasCheckOn", "coverageFolders", "stuckHours",   "notifyWhenFixed"};

TEST(WatchPreferences, DefaultRecord) {
    const WatchPreferences prefs;
    EXPECT_EQ(prefs.overdueDays, 3);
    EXPECT_EQ(prefs.nearlyFull, 0.9);
    EXPECT_EQ(prefs.repeatHours, 24);
    EXPECT_EQ(prefs.stuckHours, 6);
    EXPECT_FALSE(prefs.dailyDigest || prefs.alertsOn || prefs.nasCheckOn);
    EXPECT_TRUE(prefs.notifyWhenFixed);
    EXPECT_TRUE(prefs.awayUntil.empty() && prefs.snoozedUntil.empty() &&
                prefs.coverageFolders.empty());
    EXPECT_TRUE(prefs.updatesAutomatically());
}

TEST(WatchPreferences, DefaultRecordWritesExactlyTheRequiredKeys) {
    const json written = WatchPreferences{};
    std::vector<std::string> keys;
    for (const auto& [key, value] : written.items())
        keys.push_back(key);
    std::vector<std::string> expected = requiredKeys;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(keys, expected);
}

TEST(WatchPreferences, FileWithOnlyRequiredKeysDecodes) {
    const auto prefs = decode<WatchPreferences>(fixture("required-only.json"));
    ASSERT_TRUE(prefs);
    EXPECT_EQ(prefs->overdueDays, 5);
    EXPECT_EQ(prefs->nearlyFull, 0.95);
    EXPECT_EQ(prefs->awayUntil.at("D1"), dateFromUnix(1741424400)); // 2025-03-08T09:00:00Z
    EXPECT_EQ(prefs->coverageFolders, std::vector<std::string>{"/Users/ann/Documents"});
    EXPECT_FALSE(prefs->notifyWhenFixed);
    EXPECT_TRUE(prefs->updatesAutomatically());
    EXPECT_FALSE(prefs->weeklySummaryOn.value_or(false));
    EXPECT_FALSE(prefs->pushoverOn.value_or(false));
    EXPECT_FALSE(prefs->offMacIncludeNames.value_or(false));
    EXPECT_EQ(prefs->profile, std::nullopt);
}

TEST(WatchPreferences, EveryFieldRoundTrips) {
    const auto prefs = decode<WatchPreferences>(fixture("full.json"));
    ASSERT_TRUE(prefs);
    EXPECT_EQ(prefs->profile, UsageProfile::laptop);
    EXPECT_EQ(prefs->quietFrom, 22);
    EXPECT_EQ(prefs->quietTo, 7);
    ASSERT_TRUE(prefs->ntfy);
    EXPECT_EQ(prefs->ntfy->server, "https://ntfy.example");
    EXPECT_EQ(prefs->ntfy->on, false);
    EXPECT_EQ(prefs->onPurpose, std::vector<std::string>{"notEncrypted:D1"});
    EXPECT_FALSE(prefs->updatesAutomatically());
    EXPECT_EQ(prefs->lastUpdateCheck, dateFromUnix(1740837909));
    EXPECT_EQ(decode<WatchPreferences>(json(*prefs)), prefs);
    EXPECT_EQ(json(*prefs), fixture("full.json"));
}

TEST(WatchPreferences, MissingRequiredKeyFailsTheWholeFile) {
    for (const std::string& key : requiredKeys) {
        json j = fixture("required-only.json");
        j.erase(key);
        EXPECT_EQ(decode<WatchPreferences>(j), std::nullopt) << key;
    }
}

TEST(WatchPreferences, WrongTypeOrUnknownTextAnywhereFailsTheWholeFile) {
    const std::vector<std::pair<std::string, json>> cases{
        {"overdueDays", "3"},
        {"overdueDays", 3.5},
        {"overdueDays", true},
        {"overdueDays", 1e20},
        {"overdueDays", nullptr},
        {"nearlyFull", "0.9"},
        {"nearlyFull", false},
        {"awayUntil", json::array()},
        {"awayUntil", {{"D1", "2025-03-08 09:00:00"}}},
        {"awayUntil", {{"D1", 1741424400}}},
        {"snoozedUntil", {{"overdue:D1", "yesterday"}}},
        {"dailyDigest", 1},
        {"coverageFolders", {1, 2}},
        {"coverageFolders", "/Users/ann"},
        {"profile", "Laptop"},
        {"profile", "tablet"},
        {"quietFrom", 22.5},
        {"ntfy", {{"server", "https://ntfy.example"}}},
        {"ntfy", {{"server", "s"}, {"topic", "t"}, {"on", "yes"}}},
        {"onPurpose", {nullptr}},
        {"lastUpdateCheck", "2025-13-01T00:00:00Z"},
        {"autoCheckUpdates", "false"},
    };
    for (const auto& [key, value] : cases) {
        json j = fixture("full.json");
        j[key] = value;
        EXPECT_EQ(decode<WatchPreferences>(j), std::nullopt) << key << " = " << value.dump();
    }
    EXPECT_EQ(decode<WatchPreferences>(json::array()), std::nullopt);
    EXPECT_EQ(decode<WatchPreferences>(json("x")), std::nullopt);
}

TEST(WatchPreferences, WholeNumbersWrittenWithAFractionAndNullOptionalsRead) {
    json j = fixture("full.json");
    j["overdueDays"] = 4.0;
    j["quietFrom"] = nullptr;
    const auto prefs = decode<WatchPreferences>(j);
    ASSERT_TRUE(prefs);
    EXPECT_EQ(prefs->overdueDays, 4);
    EXPECT_EQ(prefs->quietFrom, std::nullopt);
}

TEST(WatchPreferences, DatesAreWrittenInUTCToTheSecond) {
    WatchPreferences prefs;
    prefs.snoozedUntil["overdue:D1"] = dateFromUnix(1740837909.75);
    const json j = prefs;
    EXPECT_EQ(j["snoozedUntil"]["overdue:D1"], "2025-03-01T14:05:09Z");
    EXPECT_EQ(decode<WatchPreferences>(j)->snoozedUntil.at("overdue:D1"), dateFromUnix(1740837909));
}

TEST(UsageProfile, LabelsAndOverdueDays) {
    ASSERT_EQ(allUsageProfiles.size(), 3u);
    EXPECT_EQ(allUsageProfiles[0], UsageProfile::desktop);
    EXPECT_EQ(label(UsageProfile::desktop), "Desktop Mac, disk always connected");
    EXPECT_EQ(label(UsageProfile::laptop), "Laptop, often away from its disk");
    EXPECT_EQ(label(UsageProfile::weekly), "I back up about once a week");
    EXPECT_EQ(overdueDays(UsageProfile::desktop), 2);
    EXPECT_EQ(overdueDays(UsageProfile::laptop), 7);
    EXPECT_EQ(overdueDays(UsageProfile::weekly), 10);
    for (UsageProfile profile : allUsageProfiles)
        EXPECT_EQ(usageProfileFromText(toText(profile)), profile);
    EXPECT_EQ(usageProfileFromText("Desktop"), std::nullopt);
}

TEST(PreviousObservation, OptionalKeysMayBeMissing) {
    const PreviousObservation observation{std::nullopt, 4, dateFromUnix(1740837909), std::nullopt};
    const json j = observation;
    EXPECT_FALSE(j.contains("oldest"));
    EXPECT_FALSE(j.contains("maxRetentionDays"));
    EXPECT_EQ(decode<PreviousObservation>(j), observation);

    const PreviousObservation full{dateFromUnix(1735689600), 12, dateFromUnix(1740837909), 59};
    EXPECT_EQ(decode<PreviousObservation>(json(full)), full);
    EXPECT_EQ(decode<PreviousObservation>(json{{"count", 1}}), std::nullopt);
    EXPECT_EQ(decode<PreviousObservation>(json{{"checkedAt", "2025-03-01T14:05:09Z"}}),
              std::nullopt);
}

} // namespace
} // namespace quorvane
