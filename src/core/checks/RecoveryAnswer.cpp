#include "checks/RecoveryAnswer.h"

#include "base/MacPath.h"
#include "health/Exclusions.h"
#include "timemachine/StatusText.h"

#include <algorithm>
#include <cmath>

namespace quorvane {

namespace {

struct Copy {
    Date date;
    std::string place;
    bool timeMachine = false;
};

std::vector<Copy> collectCopies(const std::optional<TimeMachineSettings>& settings,
                                const std::vector<ToolStatus>& tools) {
    std::vector<Copy> copies;
    if (settings) {
        for (const BackupDestination& destination : settings->destinations) {
            if (auto last = destination.lastCompleted())
                copies.push_back({*last, destination.name.value_or("your backup disk"), true});
        }
    }
    for (const ToolStatus& status : tools) {
        if (status.unreadable || !status.lastSuccess)
            continue;
        std::string place;
        if (status.destination)
            place = status.label() + " (" + *status.destination + ")";
        else if (status.name)
            place = std::string(toText(status.tool)) + ": " + *status.name;
        else
            place = std::string(toText(status.tool));
        copies.push_back({*status.lastSuccess, std::move(place), false});
    }
    // Stable, so on equal dates Time Machine (collected first) stays ahead.
    std::stable_sort(copies.begin(), copies.end(),
                     [](const Copy& a, const Copy& b) { return a.date > b.date; });
    return copies;
}

std::string restoreTestText(const std::optional<RestoreTestState>& state, Date now) {
    if (state && !state->results.empty()) {
        const RestoreTestResult& last = state->results.back();
        return "Restore last tested " + dayMonth(last.date, now) +
               (last.passed ? ": the file came back." : ": the file did not come back.");
    }
    return "Restore last tested: never. A restore test checks a file really comes back.";
}

std::optional<std::string> notIncludedText(const TimeMachineSettings& settings,
                                           std::string_view home) {
    std::vector<std::string> items;
    // Time Machine keeps paths in the home folder as "~/..."; the folder rules need them whole.
    std::vector<std::string> excluded;
    excluded.reserve(settings.excludedPaths.size());
    for (const std::string& path : settings.excludedPaths)
        excluded.push_back(standardisedMacPath(expandTilde(path, home)));
    const auto own = excludedOwnFolders(excluded);
    if (auto phrase = ownFoldersPhrase(own))
        items.push_back(*phrase);
    const bool photosAlreadyCovered =
        std::find(own.begin(), own.end(), "Pictures") != own.end() ||
        std::find(own.begin(), own.end(), wholeHomeFolder) != own.end();
    if (!photosAlreadyCovered) {
        // Excluding the library itself counts as well as excluding a folder above it; the match
        // is by whole components, so "~/Pictures/Photos" does not match "Photos Library...".
        const std::string library =
            standardisedMacPath(std::string(home) + "/Pictures/Photos Library.photoslibrary");
        const bool photosExcluded =
            std::any_of(excluded.begin(), excluded.end(),
                        [&](const std::string& path) { return pathIsWithin(library, path); });
        if (photosExcluded)
            items.push_back("your Photos library");
    }
    if (items.empty())
        return std::nullopt;
    std::string joined;
    for (const std::string& item : items)
        joined += (joined.empty() ? "" : "; ") + item;
    return "Not in Time Machine's backup: " + joined + ".";
}

} // namespace

std::string agoText(Date date, Date now) {
    const double hours = secondsBetween(date, now) / 3600.0;
    if (!std::isfinite(hours))
        return "";
    if (hours < 1)
        return "less than an hour ago";
    if (hours < 24) {
        const int n = static_cast<int>(hours);
        return n == 1 ? "1 hour ago" : std::to_string(n) + " hours ago";
    }
    return relativeDays(date, now);
}

RecoveryAnswer recoveryAnswer(const std::optional<TimeMachineSettings>& settings,
                              const std::vector<ToolStatus>& tools,
                              const std::optional<RestoreTestState>& restoreTest, Date now,
                              std::string_view home) {
    const auto copies = collectCopies(settings, tools);
    if (copies.empty())
        return {"If this Mac stopped working now, there's no completed backup to get your files "
                "back from.",
                std::nullopt, std::nullopt, std::nullopt, true};

    const Copy& best = copies.front();
    RecoveryAnswer answer;
    answer.headline = "If this Mac stopped working now, you could get your files back as they "
                      "were on " +
                      shortDate(best.date, now) + " (" + agoText(best.date, now) + "), from " +
                      best.place + ".";
    if (copies.size() >= 2) {
        std::string others;
        for (std::size_t i = 1; i < copies.size() && i <= 3; ++i)
            others +=
                (i > 1 ? ", " : "") + copies[i].place + " (" + dayMonth(copies[i].date, now) + ")";
        answer.otherCopies = "Also on: " + others + ".";
    }
    const bool anyTimeMachine =
        std::any_of(copies.begin(), copies.end(), [](const Copy& c) { return c.timeMachine; });
    if (anyTimeMachine && settings)
        answer.notIncluded = notIncludedText(*settings, home);
    answer.restoreTest = restoreTestText(restoreTest, now);
    answer.nothingToRestore = false;
    return answer;
}

} // namespace quorvane
