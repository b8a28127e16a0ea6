#include "checks/RecoveryAnswer.h"

#include "timemachine/StatusText.h"

#include <gtest/gtest.h>

using namespace quorvane;

namespace {

const Date now = dateFromUnix(1'800'000'000);
constexpr double hour = 3600, day = 86400;

BackupDestination destination(std::optional<std::string> name, std::vector<Date> completed) {
    BackupDestination d;
    d.id = name.value_or("unnamed");
    d.name = std::move(name);
    d.kind = BackupDestination::Kind::local;
    d.completed = std::move(completed);
    return d;
}

ToolStatus tool(ToolStatus::Tool which, std::optional<std::string> name,
                std::optional<std::string> where, std::optional<Date> success,
                bool unreadable = false) {
    return ToolStatus(which, std::move(name), std::move(where), success, success, false, false,
                      std::nullopt, std::nullopt, unreadable, now);
}

} // namespace

TEST(RecoveryAnswer, NothingToRestore) {
    auto answer = recoveryAnswer(std::nullopt, {}, std::nullopt, now, "/Users/ann");
    EXPECT_EQ(answer,
              (RecoveryAnswer{"If this Mac stopped working now, there's no completed backup "
                              "to get your files back from.",
                              std::nullopt, std::nullopt, std::nullopt, true}));
    // An unreadable status's success does not count.
    auto unreadable = recoveryAnswer(
        std::nullopt,
        {tool(ToolStatus::Tool::arq, "Daily", std::nullopt, now - Seconds(hour), true)},
        std::nullopt, now, "/Users/ann");
    EXPECT_TRUE(unreadable.nothingToRestore);
}

TEST(RecoveryAnswer, NamesTheNewestCopyAndUpToThreeOthers) {
    TimeMachineSettings settings;
    const Date tm = now - Seconds(2 * hour);
    settings.destinations.push_back(destination(std::nullopt, {tm - Seconds(day), tm}));
    const Date arq = now - Seconds(day + hour);
    std::vector<ToolStatus> tools{
        tool(ToolStatus::Tool::arq, "Daily", "NAS", arq),
        tool(ToolStatus::Tool::ccc, "Clone", std::nullopt, now - Seconds(3 * day)),
        tool(ToolStatus::Tool::backblaze, std::nullopt, std::nullopt, now - Seconds(4 * day)),
        tool(ToolStatus::Tool::vorta, "Home", std::nullopt, now - Seconds(5 * day)),
    };
    auto answer = recoveryAnswer(settings, tools, std::nullopt, now, "/Users/ann");
    EXPECT_EQ(answer.headline,
              "If this Mac stopped working now, you could get your files back as they were on " +
                  shortDate(tm, now) + " (2 hours ago), from your backup disk.");
    EXPECT_EQ(answer.otherCopies, "Also on: " + ToolStatus(tools[0]).label() + " (NAS) (" +
                                      dayMonth(arq, now) + "), Carbon Copy Cloner: Clone (" +
                                      dayMonth(now - Seconds(3 * day), now) + "), Backblaze (" +
                                      dayMonth(now - Seconds(4 * day), now) + ").");
    EXPECT_EQ(answer.notIncluded, std::nullopt);
    EXPECT_EQ(answer.restoreTest,
              "Restore last tested: never. A restore test checks a file really comes back.");
    EXPECT_FALSE(answer.nothingToRestore);
}

TEST(RecoveryAnswer, SaysWhatTimeMachineLeavesOut) {
    struct Case {
        std::vector<std::string> excluded;
        std::optional<std::string> notIncluded;
    };
    const Case cases[] = {
        {{}, std::nullopt},
        {{"/Users/ann"}, "Not in Time Machine's backup: your whole home folder."},
        {{"/Users/ann/Pictures"}, "Not in Time Machine's backup: your Pictures folder."},
        {{"~/Pictures/Photos Library.photoslibrary"},
         "Not in Time Machine's backup: your Photos library."},
        {{"/Users/ann/Documents", "/Users/ann/Pictures/Photos Library.photoslibrary"},
         "Not in Time Machine's backup: your Documents folder; your Photos library."},
        {{"/Users/ann/Pictures/Photos"}, std::nullopt},
        // Time Machine writes home paths with "~": they name the same folders.
        {{"~"}, "Not in Time Machine's backup: your whole home folder."},
        {{"~/"}, "Not in Time Machine's backup: your whole home folder."},
        {{"~/Pictures"}, "Not in Time Machine's backup: your Pictures folder."},
        {{"~/Music/", "~/Desktop"},
         "Not in Time Machine's backup: your Desktop and Music folders."},
        {{"~/Pictures/"}, "Not in Time Machine's backup: your Pictures folder."},
        {{"~bob/Pictures"}, std::nullopt},
    };
    for (const auto& c : cases) {
        TimeMachineSettings settings;
        settings.excludedPaths = c.excluded;
        settings.destinations.push_back(destination("Disk", {now - Seconds(hour)}));
        EXPECT_EQ(recoveryAnswer(settings, {}, std::nullopt, now, "/Users/ann").notIncluded,
                  c.notIncluded)
            << (c.excluded.empty() ? "(none)" : c.excluded.front());
    }
    // Only other tools hold a copy: nothing to say about Time Machine.
    TimeMachineSettings settings;
    settings.excludedPaths = {"/Users/ann"};
    auto answer = recoveryAnswer(
        settings, {tool(ToolStatus::Tool::arq, std::nullopt, std::nullopt, now - Seconds(hour))},
        std::nullopt, now, "/Users/ann");
    EXPECT_EQ(answer.notIncluded, std::nullopt);
}

TEST(RecoveryAnswer, RestoreTestSentence) {
    TimeMachineSettings settings;
    settings.destinations.push_back(destination("Disk", {now - Seconds(hour)}));
    RestoreTestState state;
    const Date tested = now - Seconds(10 * day);
    state.results = {{tested - Seconds(day), false, std::nullopt}, {tested, true, "Disk"}};
    EXPECT_EQ(recoveryAnswer(settings, {}, state, now, "/Users/ann").restoreTest,
              "Restore last tested " + dayMonth(tested, now) + ": the file came back.");
    state.results.back().passed = false;
    EXPECT_EQ(recoveryAnswer(settings, {}, state, now, "/Users/ann").restoreTest,
              "Restore last tested " + dayMonth(tested, now) + ": the file did not come back.");
}

TEST(RecoveryAnswer, AgoText) {
    EXPECT_EQ(agoText(now + Seconds(hour), now), "less than an hour ago");
    EXPECT_EQ(agoText(now - Seconds(59 * 60), now), "less than an hour ago");
    EXPECT_EQ(agoText(now - Seconds(hour), now), "1 hour ago");
    EXPECT_EQ(agoText(now - Seconds(23.9 * hour), now), "23 hours ago");
    EXPECT_EQ(agoText(now - Seconds(3 * day), now), relativeDays(now - Seconds(3 * day), now));
    EXPECT_EQ(agoText(dateFromUnix(std::numeric_limits<double>::quiet_NaN()), now), "");
}
