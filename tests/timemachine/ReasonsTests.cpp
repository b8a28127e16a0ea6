#include "timemachine/Reasons.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace quorvane;

namespace {

std::optional<std::string> keyOf(std::string_view line) {
    const auto reason = reasonForLine(line, std::nullopt);
    return reason ? std::optional(reason->key) : std::nullopt;
}

} // namespace

TEST(Reasons, SignaturesAreTheNineInOrder) {
    std::vector<std::string> keys;
    for (const Signature& s : signatures())
        keys.push_back(s.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"result-19", "result-18", "result-56",
                                              "thinning-full", "nas-timeout", "nas-name",
                                              "nas-login", "locked", "notify-failed"}));
}

TEST(Reasons, ReasonForLineRecognisesEachSignature) {
    const struct {
        const char* line;
        std::optional<std::string> key;
    } cases[] = {
        {"Backup failed with error 19: BACKUP_FAILED_TARGETVOL_NOT_MOUNTED", "result-19"},
        {"BACKUP_FAILED_TARGETVOL_NOT_FOUND", "result-18"},
        {"backup_failed_targetvol_disk_full after thinning", "result-56"},
        {"Insufficient free space after thinning 12 GB", "thinning-full"},
        {"INSUFFICIENT FREE SPACE AFTER THINNING", "thinning-full"},
        {"NAConnectToServerSync failed with error: 60 for url: smb://nas", "nas-timeout"},
        {"NAConnectToServerSync failed with error: 64 for url: smb://nas", std::nullopt},
        {"naconnecttoserversync failed with error: 60", std::nullopt}, // this one is case-sensitive
        {"NAConnectToServerSync failed with error: 64. Backup failed", "unknown"},
        {"Bonjour resolution not possible for \xE2\x80\x9Cnas.local\xE2\x80\x9D", "nas-name"},
        {"smb: OpenSession failed 80", "nas-login"},
        {"Skipping: BACKUP_FAILED_DEVICE_LOCKED", "locked"},
        {"DeliverNotification: connection invalid", "notify-failed"},
        {"BACKUP_FAILED_TARGETVOL_NOT_MOUNTED; DeliverNotification: connection invalid",
         "result-19"},
        {"Backup failed (\xF0\x9F\x92\xA5 something new)", "unknown"},
        {"backup failed", std::nullopt}, // the marker phrase is case-sensitive
        {"Backup succeeded", std::nullopt},
        {"Some error nobody knows", std::nullopt},
        {"", std::nullopt},
        {"\xFF\xFE BACKUP_FAILED_DEVICE_LOCKED \xC3", "locked"}, // broken UTF-8 around the token
    };
    for (const auto& c : cases)
        EXPECT_EQ(keyOf(c.line), c.key) << c.line;
}

TEST(Reasons, NoiseGivesNoReasonEvenWithAFailureInTheLine) {
    for (const char* line : {"backupd.xpc: connection invalid. Backup failed",
                             "backupd.sandbox.xpc: connection invalid",
                             "backupd.status.xpc: connection invalid BACKUP_FAILED_DEVICE_LOCKED",
                             "fs_snapshot_list failed: Backup failed",
                             "Querying Spotlight to find sticky exclusions"}) {
        EXPECT_TRUE(isNoise(line)) << line;
        EXPECT_FALSE(reasonForLine(line, std::nullopt)) << line;
    }
    EXPECT_FALSE(isNoise("BACKUPD.XPC: CONNECTION INVALID"));
}

TEST(Reasons, ReasonCarriesTheWholeLineTitleCheckAndDate) {
    const Date when = dateFromUnix(1785046282);
    const std::string line = "Backup failed because of a cosmic ray \xE2\x80\x94 \\/ odd";
    EXPECT_EQ(
        reasonForLine(line, when),
        (FailureReason{"unknown",
                       "Time Machine reported an error Quorvane Ombrel doesn't recognise yet.",
                       "The details are below.", line, when}));
    const auto locked = reasonForLine("BACKUP_FAILED_DEVICE_LOCKED", when);
    ASSERT_TRUE(locked);
    EXPECT_EQ(locked->title, "The backup was skipped because your Mac was locked.");
    EXPECT_FALSE(locked->check);
}

TEST(Reasons, ReasonForResultCode) {
    const struct {
        std::optional<std::int64_t> code;
        std::optional<std::string> key;
        std::string line;
    } cases[] = {
        {18, "result-18", "BACKUP_FAILED_TARGETVOL_NOT_FOUND"},
        {19, "result-19", "BACKUP_FAILED_TARGETVOL_NOT_MOUNTED"},
        {56, "result-56", "BACKUP_FAILED_TARGETVOL_DISK_FULL"},
        {0, std::nullopt, ""},
        {-19, std::nullopt, ""},
        {std::nullopt, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        const auto reason = reasonForResultCode(c.code);
        ASSERT_EQ(reason.has_value(), c.key.has_value());
        if (!reason)
            continue;
        EXPECT_EQ(reason->key, *c.key);
        EXPECT_EQ(reason->line, c.line);
        EXPECT_FALSE(reason->date);
    }
    EXPECT_EQ(reasonForResultCode(56)->title,
              "Your backup disk is full, even after Time Machine removed old backups.");
}

TEST(Reasons, BestReasonPrefersTheNewestRealCause) {
    const Date ten = dateFromUnix(36000), five = dateFromUnix(36300), later = dateFromUnix(36600);
    const std::string mounted = "BACKUP_FAILED_TARGETVOL_NOT_MOUNTED";
    const std::string notify = "DeliverNotification: connection invalid";

    auto best = bestReason({{mounted, ten}, {notify, five}});
    ASSERT_TRUE(best);
    EXPECT_EQ(best->key, "result-19");

    best = bestReason({{notify, ten}, {notify, five}});
    ASSERT_TRUE(best);
    EXPECT_EQ(best->key, "notify-failed");
    EXPECT_EQ(best->date, five);

    best = bestReason(
        {{mounted, ten}, {"BACKUP_FAILED_DEVICE_LOCKED", five}, {"Backup succeeded", later}});
    ASSERT_TRUE(best);
    EXPECT_EQ(best->key, "locked");

    EXPECT_FALSE(bestReason({}));
    EXPECT_FALSE(
        bestReason({{"Backup succeeded", ten}, {"backupd.xpc: connection invalid", five}}));
}

TEST(Reasons, FailureReasonJsonUsesTheStoredKeys) {
    const FailureReason full{"result-19", "Title", "Check", "line", dateFromUnix(1785046282.7)};
    const nlohmann::json json = full;
    EXPECT_EQ(json, nlohmann::json::parse(R"({"key":"result-19","title":"Title","check":"Check",
        "line":"line","date":"2026-07-26T06:11:22Z"})"));
    FailureReason back = json.get<FailureReason>();
    EXPECT_EQ(back.date, dateFromUnix(1785046282));

    const FailureReason bare{"result-56", "T", std::nullopt, "L", std::nullopt};
    const nlohmann::json bareJson = bare;
    EXPECT_EQ(bareJson, nlohmann::json::parse(R"({"key":"result-56","title":"T","line":"L"})"));
    EXPECT_EQ(bareJson.get<FailureReason>(), bare);
}

TEST(Reasons, FailureReasonJsonRefusesIncompleteOrMistypedRecords) {
    for (const char* text : {R"({"title":"T","line":"L"})", R"({"key":"k","line":"L"})",
                             R"({"key":"k","title":"T"})", R"({"key":1,"title":"T","line":"L"})",
                             R"({"key":"k","title":"T","line":"L","date":"yesterday"})",
                             R"({"key":"k","title":"T","line":"L","date":12})",
                             R"({"key":"k","title":"T","line":"L","check":false})", R"([])"}) {
        EXPECT_THROW(nlohmann::json::parse(text).get<FailureReason>(), nlohmann::json::exception)
            << text;
    }
}
