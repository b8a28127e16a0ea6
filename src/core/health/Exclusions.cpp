#include "health/Exclusions.h"

#include "base/MacPath.h"
#include "checks/Coverage.h"
#include "timemachine/StatusText.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>

namespace quorvane {

namespace {

// "A", "A and B", "A, B and C".
std::string joinedNames(const std::vector<std::string>& names) {
    if (names.empty())
        return {};
    std::string result;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        if (i > 0)
            result += ", ";
        result += names[i];
    }
    if (names.size() > 1)
        result += " and ";
    result += names.back();
    return result;
}

bool isWholeHome(const std::vector<std::string>& folders) {
    return folders.size() == 1 && folders.front() == wholeHomeFolder;
}

} // namespace

std::vector<Issue> readingIssues(const std::optional<SettingsReading>& reading) {
    if (!reading)
        return {Issue{IssueKind::unknown, std::nullopt, HealthLevel::unknown, "Not checked yet",
                      std::nullopt, std::nullopt}};
    const std::string nothingBackedUp = "Nothing on this Mac is being backed up by Time Machine.";
    switch (reading->which) {
    case SettingsReading::Case::read:
        if (reading->settings && !reading->settings->destinations.empty())
            return {};
        return {Issue{IssueKind::noCompleted, std::nullopt, HealthLevel::red,
                      "Time Machine has no backup disk chosen", nothingBackedUp,
                      "Choose a backup disk in System Settings, General, Time Machine."}};
    case SettingsReading::Case::notSetUp:
        return {Issue{IssueKind::noCompleted, std::nullopt, HealthLevel::red,
                      "Time Machine isn't set up", nothingBackedUp,
                      "Set it up in System Settings, General, Time Machine, with a disk of at "
                      "least twice your Mac's used space."}};
    case SettingsReading::Case::unreadable:
        return {Issue{IssueKind::unknown, std::nullopt, HealthLevel::unknown,
                      "Couldn't check Time Machine",
                      "Its settings couldn't be read, so the status is unknown, not fine.",
                      "Quorvane Ombrel will try again. If this stays, restart the Mac."}};
    }
    return {};
}

std::vector<Issue> exclusionIssues(const std::vector<std::string>& excludedNow,
                                   const std::optional<std::vector<std::string>>& before) {
    std::vector<Issue> issues;
    if (!before)
        return issues;
    const std::unordered_set<std::string_view> seen(before->begin(), before->end());
    for (const std::string& path : excludedNow) {
        if (seen.contains(path))
            continue;
        issues.push_back(Issue{IssueKind::exclusionsChanged, "excl:" + path, HealthLevel::amber,
                               "Newly excluded: " + finalComponent(path),
                               describeExclusion(path) + ". This changed since the last check.",
                               "If you didn't mean to, remove it from the exclusions in Time "
                               "Machine settings (Options)."});
    }
    return issues;
}

std::vector<std::string> excludedOwnFolders(const std::vector<std::string>& paths) {
    std::array<bool, ownFolderNames.size()> excluded{};
    for (const std::string& path : paths) {
        if (!homeFolder(path))
            continue;
        const std::vector<std::string> components = pathComponents(path);
        if (components.size() == 3)
            return {std::string(wholeHomeFolder)};
        if (components.size() != 4)
            continue;
        auto own = std::find(ownFolderNames.begin(), ownFolderNames.end(), components.back());
        if (own != ownFolderNames.end())
            excluded[static_cast<std::size_t>(own - ownFolderNames.begin())] = true;
    }
    std::vector<std::string> folders;
    for (std::size_t i = 0; i < ownFolderNames.size(); ++i)
        if (excluded[i])
            folders.emplace_back(ownFolderNames[i]);
    return folders;
}

std::optional<std::string> ownFoldersPhrase(const std::vector<std::string>& folders) {
    if (folders.empty())
        return std::nullopt;
    if (isWholeHome(folders))
        return "your whole home folder";
    return "your " + joinedNames(folders) + (folders.size() == 1 ? " folder" : " folders");
}

std::optional<Issue> ownFoldersExcludedIssue(const std::vector<std::string>& paths) {
    const std::vector<std::string> folders = excludedOwnFolders(paths);
    if (folders.empty())
        return std::nullopt;
    const bool single = folders.size() == 1;
    const bool whole = isWholeHome(folders);
    std::string id = "own:";
    for (std::size_t i = 0; i < folders.size(); ++i)
        id += (i > 0 ? "," : "") + folders[i];
    const std::string title =
        whole ? std::string("Your whole home folder is excluded from Time Machine")
              : "Your " + joinedNames(folders) + (single ? " folder is" : " folders are") +
                    " excluded from Time Machine";
    const std::string pronoun = single || whole ? "it" : "them";
    return Issue{IssueKind::ownFoldersExcluded,
                 id,
                 HealthLevel::amber,
                 title,
                 "Nothing in " + pronoun + " is in your Time Machine backup.",
                 "If that isn't on purpose, remove " + pronoun +
                     " from the list in System Settings, General, Time Machine, Options."};
}

std::vector<std::string> preUpgradeChecklist(const TimeMachineSettings& settings) {
    std::vector<std::string> lines;
    for (const BackupDestination& d : settings.destinations) {
        if (d.kind != BackupDestination::Kind::network)
            continue;
        if (lines.empty())
            lines.emplace_back("Make sure a backup completed in the last day, to every disk.");
        lines.push_back(destinationLabel(d) +
                        (d.scheme() == "afp"
                             ? " uses AFP: macOS 27 can't back up to it. Move to SMB or another "
                               "disk first."
                             : ": check the NAS maker's notes for the new macOS version (SMB "
                               "settings, firmware)."));
    }
    if (!lines.empty())
        lines.emplace_back("After upgrading, check that the next backup completes.");
    return lines;
}

} // namespace quorvane
