#pragma once

#include "base/Date.h"

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// How the Mac is used; a profile sets the default overdue threshold.
enum class UsageProfile { desktop, laptop, weekly };

inline constexpr std::array<UsageProfile, 3> allUsageProfiles{
    UsageProfile::desktop, UsageProfile::laptop, UsageProfile::weekly};

std::string_view toText(UsageProfile profile); // "desktop", "laptop", "weekly"
std::optional<UsageProfile> usageProfileFromText(std::string_view raw);
// The settings picker's text, for example "Laptop, often away from its disk".
std::string_view label(UsageProfile profile);
// The overdue threshold the profile stands for: 2, 7 or 10 days.
int overdueDays(UsageProfile profile);

// An ntfy server and topic for phone alerts. The topic stays empty in the preferences file.
struct NtfyChannel {
    std::string server;
    std::string topic;
    std::optional<bool> on; // absent counts as on

    bool operator==(const NtfyChannel&) const = default;
};

// Every choice the user makes about watching and alerting. Built without arguments it is the
// default record, which the store also returns for a missing or undecodable file.
struct WatchPreferences {
    int overdueDays = 3;
    double nearlyFull = 0.9;
    std::map<std::string, Date> awayUntil;    // destination identifier -> end of away
    std::map<std::string, Date> snoozedUntil; // Issue::id() -> end of snooze
    int repeatHours = 24;                     // 0: never repeat an unchanged problem
    bool dailyDigest = false;
    bool alertsOn = false;
    bool nasCheckOn = false;
    std::vector<std::string> coverageFolders;
    int stuckHours = 6;
    std::optional<UsageProfile> profile; // absent is shown as desktop
    std::optional<int> quietFrom;        // hour 0 to 23
    std::optional<int> quietTo;          // hour 0 to 23
    bool notifyWhenFixed = true;
    std::optional<bool> weeklySummaryOn; // absent counts as off
    std::optional<NtfyChannel> ntfy;
    std::optional<bool> pushoverOn;                    // absent counts as off
    std::optional<std::vector<std::string>> onPurpose; // Issue::id() values; absent counts as empty
    std::optional<bool> offMacIncludeNames;            // absent counts as off
    std::optional<bool> autoCheckUpdates;              // absent counts as on
    std::optional<Date> lastUpdateCheck;

    // Whether the daily update check runs: `autoCheckUpdates`, or true when absent.
    bool updatesAutomatically() const { return autoCheckUpdates.value_or(true); }

    bool operator==(const WatchPreferences&) const = default;
};

// What one Time Machine destination showed at the last check.
struct PreviousObservation {
    std::optional<Date> oldest; // earliest completed backup listed; absent when none
    std::int64_t count = 0;     // completed backups listed
    Date checkedAt{};
    std::optional<std::int64_t> maxRetentionDays; // longest history seen so far, whole days

    bool operator==(const PreviousObservation&) const = default;
};

// JSON forms. Decoding is strict: a missing required key, a value of the wrong type or an
// unknown enumeration text throws nlohmann::json::exception; absent optionals are not written.
void to_json(nlohmann::json& j, const NtfyChannel& value);
void from_json(const nlohmann::json& j, NtfyChannel& value);
void to_json(nlohmann::json& j, const WatchPreferences& value);
void from_json(const nlohmann::json& j, WatchPreferences& value);
void to_json(nlohmann::json& j, const PreviousObservation& value);
void from_json(const nlohmann::json& j, PreviousObservation& value);

} // namespace quorvane
