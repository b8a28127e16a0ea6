#include "health/Preferences.h"

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
