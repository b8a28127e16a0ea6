#include "health/Preferences.h"

#include "history/JSONCoding.h"

namespace quorvane {

std::string_view toText(UsageProfile profile) {
    switch (profile) {
    case UsageProfile::desktop:
        return "desktop";
    case UsageProfile::laptop:
        return "laptop";
    case UsageProfile::weekly:
        return "weekly";
    }
    return "desktop";
}

std::optional<UsageProfile> usageProfileFromText(std::string_view raw) {
    for (UsageProfile profile : allUsageProfiles)
        if (toText(profile) == raw)
            return profile;
    return std::nullopt;
}

std::string_view label(UsageProfile profile) {
    switch (profile) {
    case UsageProfile::desktop:
        return "Desktop Mac, disk always connected";
    case UsageProfile::laptop:
        return "Laptop, often away from its disk";
    case UsageProfile::weekly:
        return "I back up about once a week";
    }
    return "";
}

int overdueDays(UsageProfile profile) {
    switch (profile) {
    case UsageProfile::desktop:
        return 2;
    case UsageProfile::laptop:
        return 7;
    case UsageProfile::weekly:
        return 10;
    }
    return 3;
}

} // namespace quorvane

namespace quorvane {

using jsoncoding::readKey;
using jsoncoding::requireObject;
using jsoncoding::writeKey;

void to_json(nlohmann::json& j, const NtfyChannel& value) {
    j = nlohmann::json::object();
    writeKey(j, "server", value.server);
    writeKey(j, "topic", value.topic);
    writeKey(j, "on", value.on);
}

void from_json(const nlohmann::json& j, NtfyChannel& value) {
    requireObject(j);
    readKey(j, "server", value.server);
    readKey(j, "topic", value.topic);
    readKey(j, "on", value.on);
}

// The profile's JSON form is its text; an unknown text fails the whole file.
void to_json(nlohmann::json& j, const UsageProfile& value) {
    j = std::string(toText(value));
}

void from_json(const nlohmann::json& j, UsageProfile& value) {
    std::string text;
    jsoncoding::decodeValue(j, text);
    auto profile = usageProfileFromText(text);
    if (!profile)
        throw jsoncoding::DecodeError("unknown usage profile");
    value = *profile;
}

void to_json(nlohmann::json& j, const WatchPreferences& value) {
    j = nlohmann::json::object();
    writeKey(j, "overdueDays", value.overdueDays);
    writeKey(j, "nearlyFull", value.nearlyFull);
    writeKey(j, "awayUntil", value.awayUntil);
    writeKey(j, "snoozedUntil", value.snoozedUntil);
    writeKey(j, "repeatHours", value.repeatHours);
    writeKey(j, "dailyDigest", value.dailyDigest);
    writeKey(j, "alertsOn", value.alertsOn);
    writeKey(j, "nasCheckOn", value.nasCheckOn);
    writeKey(j, "coverageFolders", value.coverageFolders);
    writeKey(j, "stuckHours", value.stuckHours);
    writeKey(j, "profile", value.profile);
    writeKey(j, "quietFrom", value.quietFrom);
    writeKey(j, "quietTo", value.quietTo);
    writeKey(j, "notifyWhenFixed", value.notifyWhenFixed);
    writeKey(j, "weeklySummaryOn", value.weeklySummaryOn);
    writeKey(j, "ntfy", value.ntfy);
    writeKey(j, "pushoverOn", value.pushoverOn);
    writeKey(j, "onPurpose", value.onPurpose);
    writeKey(j, "offMacIncludeNames", value.offMacIncludeNames);
    writeKey(j, "autoCheckUpdates", value.autoCheckUpdates);
    writeKey(j, "lastUpdateCheck", value.lastUpdateCheck);
}

void from_json(const nlohmann::json& j, WatchPreferences& value) {
    requireObject(j);
    WatchPreferences read;
    readKey(j, "overdueDays", read.overdueDays);
    readKey(j, "nearlyFull", read.nearlyFull);
    readKey(j, "awayUntil", read.awayUntil);
    readKey(j, "snoozedUntil", read.snoozedUntil);
    readKey(j, "repeatHours", read.repeatHours);
    readKey(j, "dailyDigest", read.dailyDigest);
    readKey(j, "alertsOn", read.alertsOn);
    readKey(j, "nasCheckOn", read.nasCheckOn);
    readKey(j, "coverageFolders", read.coverageFolders);
    readKey(j, "stuckHours", read.stuckHours);
    readKey(j, "profile", read.profile);
    readKey(j, "quietFrom", read.quietFrom);
    readKey(j, "quietTo", read.quietTo);
    readKey(j, "notifyWhenFixed", read.notifyWhenFixed);
    readKey(j, "weeklySummaryOn", read.weeklySummaryOn);
    readKey(j, "ntfy", read.ntfy);
    readKey(j, "pushoverOn", read.pushoverOn);
    readKey(j, "onPurpose", read.onPurpose);
    readKey(j, "offMacIncludeNames", read.offMacIncludeNames);
    readKey(j, "autoCheckUpdates", read.autoCheckUpdates);
    readKey(j, "lastUpdateCheck", read.lastUpdateCheck);
    value = std::move(read);
}

void to_json(nlohmann::json& j, const PreviousObservation& value) {
    j = nlohmann::json::object();
    writeKey(j, "oldest", value.oldest);
    writeKey(j, "count", value.count);
    writeKey(j, "checkedAt", value.checkedAt);
    writeKey(j, "maxRetentionDays", value.maxRetentionDays);
}

void from_json(const nlohmann::json& j, PreviousObservation& value) {
    requireObject(j);
    PreviousObservation read;
    readKey(j, "oldest", read.oldest);
    readKey(j, "count", read.count);
    readKey(j, "checkedAt", read.checkedAt);
    readKey(j, "maxRetentionDays", read.maxRetentionDays);
    value = std::move(read);
}

} // namespace quorvane
