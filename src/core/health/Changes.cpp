#include "health/Changes.h"
#include "base/PropertyList.h"
#include "othertools/SafeRead.h"

#include "timemachine/StatusText.h"

#include <plist/plist.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <memory>
#include <set>

namespace quorvane {

namespace {

constexpr std::string_view systemVersionPath = "/System/Library/CoreServices/SystemVersion.plist";
// The real file is well under a kilobyte.
constexpr std::size_t maxSystemVersionBytes = 64 * 1024;
// Version and build texts end up in issue titles; anything longer is not a version.
constexpr std::size_t maxVersionTextLength = 64;
// A replacement dated further ahead than this was recorded with a wrong clock.
constexpr double maxReplacementLead = 86400;

constexpr std::string_view standardUpgradeCheck =
    "Check that the next backup completes. If it doesn't, the reason will show here.";
constexpr std::string_view networkUpgradeCheck =
    "Network backups often stop after a macOS update. Usual fixes: update your NAS's software; "
    "check the share is still turned on for Time Machine in the NAS settings; then in System "
    "Settings, General, Time Machine, remove the disk and add it again; Time Machine normally "
    "offers to keep using the backups already on the NAS.";

// Printable ASCII of a sensible length, or absent.
std::optional<std::string> versionText(std::string_view text) {
    if (text.empty() || text.size() > maxVersionTextLength)
        return std::nullopt;
    for (char c : text)
        if (c < 0x20 || c > 0x7e)
            return std::nullopt;
    return std::string(text);
}

std::string readSystemVersionFile(const Mac& mac) {
    const auto bytes = readSmallFile(mac, systemVersionPath, maxSystemVersionBytes);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

std::optional<std::string> stringValue(plist_t dict, const char* key) {
    const auto text = plistString(plist_dict_get_item(dict, key));
    return text ? versionText(*text) : std::nullopt;
}

std::optional<OSVersion> macOSVersion(const Mac& mac) {
    std::string bytes = readSystemVersionFile(mac);
    if (bytes.empty())
        return std::nullopt;
    PropertyList root = parsePropertyList(bytes);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return std::nullopt;
    std::optional<std::string> version = stringValue(root.get(), "ProductVersion");
    std::optional<std::string> build = stringValue(root.get(), "ProductBuildVersion");
    if (!version && !build)
        return std::nullopt;
    // With one of the two missing, the other still tells versions apart.
    return OSVersion{normalizedOSVersion(version ? *version : *build), build ? *build : *version};
}

OSVersion runningSystem() {
    utsname names{};
    if (uname(&names) != 0)
        return {"unknown", "unknown"};
    std::string version = std::string(names.sysname) + " " + names.release;
    std::string build = std::string(names.release) + " " + names.version;
    return {version.substr(0, maxVersionTextLength), build.substr(0, maxVersionTextLength)};
}

bool hasNetworkDestination(const TimeMachineSettings& settings) {
    return std::any_of(
        settings.destinations.begin(), settings.destinations.end(),
        [](const BackupDestination& d) { return d.kind == BackupDestination::Kind::network; });
}

} // namespace

std::string normalizedOSVersion(std::string_view productVersion) {
    int parts[3] = {0, 0, 0};
    int count = 0;
    const char* position = productVersion.data();
    const char* end = position + productVersion.size();
    while (position < end && count < 3) {
        auto [next, error] = std::from_chars(position, end, parts[count]);
        if (error != std::errc() || parts[count] < 0)
            return std::string(productVersion);
        ++count;
        position = next;
        if (position == end)
            break;
        if (*position != '.' || position + 1 == end)
            return std::string(productVersion);
        ++position;
    }
    if (position != end || count == 0)
        return std::string(productVersion);
    std::string text = std::to_string(parts[0]) + "." + std::to_string(parts[1]);
    if (parts[2] >= 1)
        text += "." + std::to_string(parts[2]);
    return text;
}

std::optional<OSVersion> currentOS(const Mac& mac) {
    if (std::optional<OSVersion> os = macOSVersion(mac))
        return os;
    // The running system stands in only on a machine that has no such file at all. A file
    // that is there but unreadable, refused or damaged tells nothing, and taking this
    // machine's kernel instead would look like a macOS update.
    struct stat info {};
    const std::string file = mac.hostPath(systemVersionPath).string();
    if (::lstat(file.c_str(), &info) == 0 || (errno != ENOENT && errno != ENOTDIR))
        return std::nullopt;
    return runningSystem();
}

void recordChanges(ChangeState& state, const std::optional<TimeMachineSettings>& settings,
                   const std::optional<OSVersion>& os, Date now) {
    if (os) {
        if (state.osBuild && *state.osBuild != os->build) {
            state.osChangedAt = now;
            state.osChangedFrom = state.osVersion ? state.osVersion : state.osBuild;
        }
        state.osBuild = os->build;
        state.osVersion = os->version;
    }

    if (state.lastCheck && secondsBetween(*state.lastCheck, now) > monitoringGapThreshold)
        state.gaps.push_back(Gap{*state.lastCheck, now});
    // Trimmed on every check, so a history file with any number of gaps comes back in bounds.
    if (state.gaps.size() > maxMonitoringGaps)
        state.gaps.erase(state.gaps.begin(),
                         state.gaps.end() - static_cast<std::ptrdiff_t>(maxMonitoringGaps));
    state.lastCheck = now;

    if (settings) {
        std::map<std::string, std::string> current;
        std::vector<const BackupDestination*> added;
        for (const BackupDestination& destination : settings->destinations) {
            if (!current.emplace(destination.id, destinationLabel(destination)).second)
                continue; // a repeated identifier keeps the first destination's name
            if (!state.destinations.contains(destination.id))
                added.push_back(&destination);
        }
        if (!state.destinations.empty()) {
            auto removed =
                std::find_if(state.destinations.begin(), state.destinations.end(),
                             [&](const auto& entry) { return !current.contains(entry.first); });
            if (removed != state.destinations.end() && !added.empty())
                state.replacements.push_back(Replacement{
                    now, removed->second, current[added.front()->id], added.front()->id});
        }
        state.destinations = std::move(current);
    }

    // Replacements expire after a week; one dated well ahead of now came from a wrong clock and
    // would otherwise be reported for as long as the clock stays behind it.
    std::erase_if(state.replacements, [&](const Replacement& r) {
        double age = secondsBetween(r.date, now);
        return !std::isfinite(age) || age > replacementLifetime || age < -maxReplacementLead;
    });
    if (state.replacements.size() > maxReplacements)
        state.replacements.erase(state.replacements.begin(),
                                 state.replacements.end() -
                                     static_cast<std::ptrdiff_t>(maxReplacements));
}

std::vector<Issue> changeIssues(const ChangeState& state,
                                const std::optional<TimeMachineSettings>& settings, Date now) {
    std::vector<Issue> issues;

    if (state.osChangedAt && settings && !settings->destinations.empty()) {
        const Date changedAt = *state.osChangedAt;
        bool backedUpSince =
            std::any_of(settings->destinations.begin(), settings->destinations.end(),
                        [&](const BackupDestination& d) {
                            std::optional<Date> last = d.lastCompleted();
                            return last && *last > changedAt;
                        });
        if (!backedUpSince) {
            double hours = secondsBetween(changedAt, now) / 3600;
            bool overADay = hours > 24;
            std::string detail = "Updated " + shortDate(changedAt, now);
            if (state.osChangedFrom)
                detail += " from " + *state.osChangedFrom;
            detail += ". Backups sometimes stop working after an update.";
            issues.push_back(Issue{
                IssueKind::afterUpgrade, std::nullopt,
                overADay ? HealthLevel::amber : HealthLevel::green,
                "No backup since macOS was updated to " + state.osVersion.value_or("a new version"),
                detail,
                std::string(overADay && hasNetworkDestination(*settings) ? networkUpgradeCheck
                                                                         : standardUpgradeCheck)});
        }
    }

    if (!state.gaps.empty() && secondsBetween(state.gaps.back().to, now) < 86400) {
        const Gap& gap = state.gaps.back();
        issues.push_back(Issue{IssueKind::monitoringGap, std::nullopt, HealthLevel::green,
                               "Quorvane Ombrel wasn't watching from " + shortDate(gap.from, now) +
                                   " to " + shortDate(gap.to, now),
                               "The Mac was off or asleep, or the app wasn't open. Anything that "
                               "happened then is checked now.",
                               std::nullopt});
    }

    for (const Replacement& replacement : state.replacements) {
        issues.push_back(Issue{
            IssueKind::destinationChanged, replacement.newID, HealthLevel::amber,
            "Backup disk changed: " + replacement.oldName + " is gone, " + replacement.newName +
                " is new",
            "Seen " + shortDate(replacement.date, now) +
                ". History on the new disk starts from its first backup; older backups stay on "
                "the old disk.",
            "If you didn't change disks, check Time Machine settings."});
    }
    return issues;
}

std::vector<std::string> resolvedAlerts(const std::map<std::string, Date>& alerted,
                                        const std::vector<Issue>& current) {
    std::set<std::string> currentIDs;
    std::set<std::string> awayDestinations;
    for (const Issue& issue : current) {
        currentIDs.insert(issue.id());
        if (issue.kind == IssueKind::away && issue.destinationID)
            awayDestinations.insert(*issue.destinationID);
    }
    std::vector<std::string> resolved;
    for (const auto& [id, announced] : alerted) {
        if (currentIDs.contains(id))
            continue;
        for (IssueKind kind : recoverableKinds) {
            std::string prefix = std::string(toText(kind)) + ":";
            if (id.starts_with(prefix)) {
                if (!awayDestinations.contains(id.substr(prefix.size())))
                    resolved.push_back(id);
                break;
            }
        }
    }
    // The map's keys are already in ascending order.
    return resolved;
}

bool inQuietHours(Date now, std::optional<int> from, std::optional<int> to,
                  const icu::Calendar& calendar) {
    if (!from || !to || *from == *to)
        return false;
    std::unique_ptr<icu::Calendar> copy(calendar.clone());
    if (!copy)
        return false;
    UErrorCode status = U_ZERO_ERROR;
    double milliseconds = unixSeconds(now) * 1000;
    if (!std::isfinite(milliseconds))
        return false;
    copy->setTime(milliseconds, status);
    int hour = copy->get(UCAL_HOUR_OF_DAY, status);
    if (U_FAILURE(status))
        return false;
    if (*from < *to)
        return *from <= hour && hour < *to;
    return hour >= *from || hour < *to;
}

bool inQuietHours(Date now, std::optional<int> from, std::optional<int> to) {
    std::unique_ptr<icu::Calendar> calendar = currentCalendar();
    return calendar && inQuietHours(now, from, to, *calendar);
}

} // namespace quorvane
