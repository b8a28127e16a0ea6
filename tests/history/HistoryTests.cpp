#include "history/History.h"

#include "history/JSONFileStore.h"
#include "history/TempFolder.h"
#include "othertools/ToolStatus.h"
#include "timemachine/DestinationInfo.h"
#include "timemachine/Reasons.h"
#include "timemachine/TimeMachineSettings.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

using testing::fixtureText;
using testing::TempFolder;
using Kind = HistoryEvent::Kind;

// 2025-03-01T10:00:00Z and offsets from it.
const Date ten = dateFromUnix(1740823200);
Date at(double seconds) {
    return addSeconds(ten, seconds);
}
constexpr double hour = 3600;

BackupDestination destination(std::string id, std::vector<Date> completed,
                              std::vector<Date> attempts,
                              std::optional<std::string> name = "Backup",
                              BackupDestination::Kind kind = BackupDestination::Kind::local) {
    BackupDestination d;
    d.id = std::move(id);
    d.name = std::move(name);
    d.kind = kind;
    d.completed = std::move(completed);
    d.attempts = std::move(attempts);
    return d;
}

TimeMachineSettings settingsWith(std::vector<BackupDestination> destinations) {
    TimeMachineSettings settings;
    settings.destinations = std::move(destinations);
    return settings;
}

FailureReason reasonAt(std::string key, std::optional<Date> date) {
    return FailureReason{key, "title " + key, std::nullopt, "line", date};
}

std::vector<HistoryEvent> failedEvents(const HistoryRecord& history) {
    std::vector<HistoryEvent> failed;
    for (const HistoryEvent& e : history.events)
        if (e.kind == Kind::failed)
            failed.push_back(e);
    return failed;
}

TEST(RecordObservation, FirstCheckBackfillsAndLaterCheckAddsOnlyNewEvents) {
    std::vector<Date> completed;
    for (int i = 0; i < 30; ++i)
        completed.push_back(at(-i * 86400.0));
    std::reverse(completed.begin(), completed.end());
    HistoryRecord history;
    const auto settings = settingsWith({destination("D1", completed, completed)});
    recordObservation(settings, history, {}, at(hour));
    ASSERT_EQ(history.events.size(), 30u);
    const HistoryEvent& first = history.events.front();
    EXPECT_EQ(first, (HistoryEvent{completed.front(), Kind::completed, "Time Machine", "D1",
                                   "Backup", "Backup completed", std::nullopt}));
    EXPECT_EQ(history.observations.at("D1"),
              (PreviousObservation{completed.front(), 30, at(hour), 29}));

    recordObservation(settings, history, {}, at(hour + 60));
    EXPECT_EQ(history.events.size(), 30u);

    auto more = settings;
    more.destinations[0].completed.push_back(at(2 * hour));
    recordObservation(more, history, {}, at(3 * hour));
    ASSERT_EQ(history.events.size(), 31u);
    EXPECT_EQ(history.events.back().date, at(2 * hour));
}

TEST(RecordObservation, LaterSuccessWithinThreeHoursHidesAFailedAttempt) {
    const std::vector<std::pair<std::optional<double>, bool>> cases{
        {2 * hour + 59 * 60, false}, // 12:59 hides the 10:00 attempt
        {3 * hour - 0.5, false},
        {3 * hour, true}, // 13:00:00 does not
        {4 * hour, true},
        {std::nullopt, true}, // no completion at all
        {-hour, true},        // only an earlier completion
    };
    for (const auto& [completion, failed] : cases) {
        std::vector<Date> completed;
        if (completion)
            completed.push_back(at(*completion));
        HistoryRecord history;
        recordObservation(settingsWith({destination("D1", completed, {ten})}), history, {},
                          at(5 * hour));
        EXPECT_EQ(failedEvents(history).size(), failed ? 1u : 0u)
            << (completion ? *completion : -1);
    }
}

TEST(RecordObservation, AttemptThatCompletedIsNoFailure) {
    HistoryRecord history;
    recordObservation(settingsWith({destination("D1", {ten}, {ten})}), history, {}, at(hour));
    ASSERT_EQ(history.events.size(), 1u);
    EXPECT_EQ(history.events[0].kind, Kind::completed);
}

TEST(RecordObservation, FailedEventNamesTheLastListedReasonWithinAnHour) {
    struct Case {
        std::string name;
        std::vector<FailureReason> reasons;
        std::string text;
        std::optional<std::string> key;
    };
    const std::vector<Case> cases{
        {"none", {}, "Attempt didn't finish", std::nullopt},
        {"last in list wins",
         {reasonAt("a", at(-30 * 60)), reasonAt("b", at(40 * 60))},
         "title b",
         "b"},
        {"list order, not date order",
         {reasonAt("b", at(40 * 60)), reasonAt("a", at(-30 * 60))},
         "title a",
         "a"},
        {"exactly an hour away does not count",
         {reasonAt("a", at(-30 * 60)), reasonAt("late", at(hour)), reasonAt("early", at(-hour))},
         "title a",
         "a"},
        {"undated never matches",
         {reasonAt("a", at(-60)), reasonAt("u", std::nullopt)},
         "title a",
         "a"},
        {"only far reasons",
         {reasonAt("far", at(-5 * hour))},
         "Attempt didn't finish",
         std::nullopt},
    };
    for (const Case& c : cases) {
        HistoryRecord history;
        recordObservation(settingsWith({destination("D1", {}, {ten})}), history, c.reasons,
                          at(hour));
        const auto failed = failedEvents(history);
        ASSERT_EQ(failed.size(), 1u) << c.name;
        EXPECT_EQ(failed[0].text, c.text) << c.name;
        EXPECT_EQ(failed[0].reasonKey, c.key) << c.name;
    }
}

TEST(RecordObservation, ManyReasonsPickTheSameAsALinearSearch) {
    std::vector<FailureReason> reasons;
    for (int i = 0; i < 200; ++i)
        reasons.push_back(reasonAt(std::to_string(i), at(((i * 7919) % 400 - 200) * 60.0)));
    std::vector<Date> attempts;
    for (int i = -200; i <= 200; i += 3)
        attempts.push_back(at(i * 60.0 + 0.5));
    HistoryRecord history;
    recordObservation(settingsWith({destination("D1", {}, attempts)}), history, reasons,
                      at(10 * hour));
    const auto failed = failedEvents(history);
    ASSERT_EQ(failed.size(), attempts.size());
    for (std::size_t i = 0; i < attempts.size(); ++i) {
        std::optional<std::string> expected;
        for (const FailureReason& r : reasons)
            if (std::fabs(secondsBetween(*r.date, attempts[i])) < 3600)
                expected = r.key;
        EXPECT_EQ(failed[i].reasonKey, expected) << i;
    }
}

TEST(RecordObservation, DisplayNamesAndObservations) {
    HistoryRecord history;
    history.observations["gone"] = PreviousObservation{ten, 3, ten, 40};
    history.observations["D2"] = PreviousObservation{std::nullopt, 0, at(-hour), 12};
    recordObservation(
        settingsWith({
            destination("D1", {}, {at(-2 * hour)}, std::nullopt, BackupDestination::Kind::network),
            destination("D2", {at(-86400 * 3)}, {}, "USB"),
        }),
        history, {}, ten);
    ASSERT_EQ(history.events.size(), 1u); // D2's completion predates its previous check
    EXPECT_EQ(history.events[0].destinationName, "backup disk (network)");
    EXPECT_EQ(history.observations.at("D1"), (PreviousObservation{std::nullopt, 0, ten, 0}));
    // The longest history seen so far is kept.
    EXPECT_EQ(history.observations.at("D2"), (PreviousObservation{at(-86400 * 3), 1, ten, 12}));
    EXPECT_EQ(history.observations.at("gone"), (PreviousObservation{ten, 3, ten, 40}));
}

TEST(RecordObservation, EventsSortedStablyAndCappedToTheNewest) {
    HistoryRecord history;
    // Two events share each date, one from each destination: ties keep insertion order.
    std::vector<Date> completed;
    for (int i = 0; i < 1003; ++i)
        completed.push_back(at(i * 60.0));
    recordObservation(
        settingsWith({destination("A", completed, {}), destination("B", completed, {})}), history,
        {}, at(1e6));
    ASSERT_EQ(history.events.size(), historyCap);
    // 2006 events: the oldest six (three dates) are gone.
    EXPECT_EQ(history.events.front().date, at(3 * 60.0));
    for (std::size_t i = 0; i < history.events.size(); i += 2) {
        EXPECT_EQ(history.events[i].destinationID, "A");
        EXPECT_EQ(history.events[i + 1].destinationID, "B");
        EXPECT_EQ(history.events[i].date, history.events[i + 1].date);
    }
}

TEST(RecordObservation, EarlierEventsComeFirstAmongEqualDatesAndTheOldestGo) {
    HistoryRecord history;
    for (int i = 0; i < 1999; ++i)
        history.events.push_back({at(i * 60.0), Kind::note, "Arq", {}, {}, std::to_string(i), {}});
    // Two new completions: one sharing the newest stored date, one later.
    recordObservation(settingsWith({destination("D1", {at(1998 * 60.0), at(1e6)}, {})}), history,
                      {}, at(2e6));
    ASSERT_EQ(history.events.size(), historyCap);
    EXPECT_EQ(history.events.front().text, "1"); // the oldest stored event is gone
    EXPECT_EQ(history.events[1997].text, "1998");
    EXPECT_EQ(history.events[1998].kind, Kind::completed);
    EXPECT_EQ(history.events[1998].date, at(1998 * 60.0));
    EXPECT_EQ(history.events[1999].date, at(1e6));
}

// One check as the application runs it: the history comes from the file and goes back to it.
void checkThroughTheFile(JSONFileStore<HistoryRecord>& store, const TimeMachineSettings& settings,
                         const std::vector<FailureReason>& reasons,
                         const std::vector<ToolStatus>& tools, Date now) {
    HistoryRecord history = store.load();
    recordObservation(settings, history, reasons, now);
    recordToolEvents(tools, history);
    store.save(history);
}

HistoryEvent timeMachineEvent(Date date, Kind kind, std::string text,
                              std::optional<std::string> reasonKey = std::nullopt) {
    return {date, kind, "Time Machine", "D1", "Backup", std::move(text), std::move(reasonKey)};
}

TEST(RecordObservation, ReloadedHistoryAddsNoEventTwice) {
    // Fractions of a second as the tools write them: Backblaze's milliseconds, Vorta's
    // microseconds. The file keeps whole seconds.
    for (double fraction : {0.25, 0.5, 0.999999, 0.000001}) {
        const Date completed = at(fraction);
        const ToolStatus tool(ToolStatus::Tool::backblaze, std::nullopt, std::nullopt, completed,
                              at(fraction + 30), true, false, "Disk full", std::nullopt, false,
                              at(hour));
        TempFolder folder;
        JSONFileStore<HistoryRecord> store(std::string(historyFileName), folder.path());
        // The first check falls in the same second as the completion.
        for (int check = 0; check < 5; ++check)
            checkThroughTheFile(store, settingsWith({destination("D1", {completed}, {})}), {},
                                {tool}, check == 0 ? completed : at(check * 600.0));
        const HistoryRecord history = store.load();
        ASSERT_EQ(history.events.size(), 3u) << fraction;
        EXPECT_EQ(history.events[0].source, "Time Machine") << fraction;
        EXPECT_EQ(history.events[1].source, "Backblaze") << fraction;
        EXPECT_EQ(history.events[1].kind, Kind::completed) << fraction;
        EXPECT_EQ(history.events[2].kind, Kind::failed) << fraction;
    }
}

TEST(RecordObservation, BackupRunningAtACheckIsNoFailureOnceItCompletes) {
    // The attempt starts at 10:00:00.6; checks come every ten minutes through the file.
    const Date attempt = at(0.6);
    TempFolder folder;
    JSONFileStore<HistoryRecord> store(std::string(historyFileName), folder.path());
    checkThroughTheFile(store, settingsWith({destination("D1", {}, {attempt})}), {}, {}, at(600));
    ASSERT_EQ(failedEvents(store.load()).size(), 1u); // nothing shows yet that it still runs
    checkThroughTheFile(store, settingsWith({destination("D1", {}, {attempt})}), {}, {}, at(1200));
    ASSERT_EQ(failedEvents(store.load()).size(), 1u); // and it is not recorded twice

    const Date completed = at(2400.3);
    checkThroughTheFile(store, settingsWith({destination("D1", {completed}, {attempt})}), {}, {},
                        at(3000));
    EXPECT_EQ(store.load().events, std::vector<HistoryEvent>{timeMachineEvent(
                                       at(2400), Kind::completed, "Backup completed")});
    // Later checks do not bring the attempt back.
    checkThroughTheFile(store, settingsWith({destination("D1", {completed}, {attempt})}), {}, {},
                        at(3600));
    EXPECT_TRUE(failedEvents(store.load()).empty());
}

TEST(RecordObservation, GenuineFailureStaysWithItsReason) {
    const Date attempt = at(0.6);
    const FailureReason timeout{"nas-timeout", "Your NAS didn't respond in time.", std::nullopt,
                                "line", at(300)};
    const FailureReason other{"other", "Something else.", std::nullopt, "line", at(400)};
    struct Case {
        std::string name;
        std::vector<FailureReason> duringBackup; // what the log shows at the first check
        std::vector<FailureReason> afterwards;   // at the second check (the log has moved on)
    };
    const std::vector<Case> cases{
        {"reason seen at the first check", {timeout}, {}},
        {"reason seen only at the second check", {}, {timeout}},
        {"a later reason does not replace the first", {timeout}, {other}},
    };
    for (const Case& c : cases) {
        TempFolder folder;
        JSONFileStore<HistoryRecord> store(std::string(historyFileName), folder.path());
        checkThroughTheFile(store, settingsWith({destination("D1", {}, {attempt})}), c.duringBackup,
                            {}, at(600));
        // The next success comes three hours and a second later: too late to hide the attempt.
        const Date completed = at(3 * hour + 1);
        checkThroughTheFile(store, settingsWith({destination("D1", {completed}, {attempt})}),
                            c.afterwards, {}, at(4 * hour));
        EXPECT_EQ(store.load().events,
                  (std::vector<HistoryEvent>{
                      timeMachineEvent(at(0), Kind::failed, timeout.title, timeout.key),
                      timeMachineEvent(completed, Kind::completed, "Backup completed")}))
            << c.name;
    }
}

TEST(RecordObservation, RepeatedAttemptIsOneFailure) {
    HistoryRecord history;
    recordObservation(settingsWith({destination("D1", {}, {ten, ten, at(0.4)})}), history, {},
                      at(hour));
    EXPECT_EQ(failedEvents(history).size(), 1u);
}

TEST(RecordObservation, FullHistoryTakesNothingOlderThanItsOldestEvent) {
    // A full history whose two failed events a completion now hides: the room they leave is
    // not filled with events the cap has already dropped.
    HistoryRecord history;
    for (int i = 1; i <= 1998; ++i)
        history.events.push_back({at(i * 60.0), Kind::note, "Arq", {}, {}, std::to_string(i), {}});
    history.events.push_back(timeMachineEvent(at(1998 * 60.0 + 10), Kind::failed, "x"));
    history.events.push_back(timeMachineEvent(at(1998 * 60.0 + 20), Kind::failed, "y"));
    history.observations["D1"] = PreviousObservation{std::nullopt, 0, at(1998 * 60.0 + 30), 0};
    const std::vector<Date> dropped{at(-hour), at(-0.5 * hour)};
    recordObservation(settingsWith({destination("D1", {at(1999 * 60.0)},
                                                {at(1998 * 60.0 + 10), at(1998 * 60.0 + 20)}),
                                    destination("D2", dropped, {})}),
                      history, {}, at(2000 * 60.0));
    ASSERT_EQ(history.events.size(), 1999u);
    EXPECT_EQ(history.events.front().text, "1");
    EXPECT_EQ(history.events.back(),
              timeMachineEvent(at(1999 * 60.0), Kind::completed, "Backup completed"));
    EXPECT_TRUE(failedEvents(history).empty());
}

TEST(RecordPhase, TracksThePhaseAndWhenItChanged) {
    HistoryRecord history;
    recordPhase(BackupRunState{true, std::nullopt, std::nullopt, std::nullopt}, history, ten);
    EXPECT_EQ(history.phase, "running");
    EXPECT_EQ(history.phaseSince, ten);
    recordPhase(BackupRunState{true, std::nullopt, 50.0, std::nullopt}, history, at(600));
    EXPECT_EQ(history.phaseSince, ten);
    recordPhase(BackupRunState{true, "Copying", std::nullopt, "D1"}, history, at(900));
    EXPECT_EQ(history.phase, "Copying");
    EXPECT_EQ(history.phaseSince, at(900));
    recordPhase(BackupRunState{false, "Copying", std::nullopt, std::nullopt}, history, at(1200));
    EXPECT_EQ(history.phase, std::nullopt);
    EXPECT_EQ(history.phaseSince, std::nullopt);
    recordPhase(std::nullopt, history, at(1500));
    EXPECT_EQ(history, HistoryRecord{});

    // A stray `phaseSince` without a phase (a hand-edited file) goes too.
    history.phaseSince = ten;
    recordPhase(std::nullopt, history, at(1800));
    EXPECT_EQ(history, HistoryRecord{});
    history.phaseSince = ten;
    recordPhase(BackupRunState{false, std::nullopt, std::nullopt, std::nullopt}, history, at(1800));
    EXPECT_EQ(history, HistoryRecord{});
}

TEST(HistoryEvent, IdentityUsesShortestSecondsWithADecimalPoint) {
    const std::vector<std::pair<HistoryEvent, std::string>> cases{
        {{dateFromUnix(1700000000), Kind::completed, "Time Machine", "D1", "Backup", "t", {}},
         "completed-Time Machine-D1-1700000000.0"},
        {{dateFromUnix(1700000000.25), Kind::failed, "Time Machine", "D1", {}, "t", {}},
         "failed-Time Machine-D1-1700000000.25"},
        {{dateFromUnix(1700000000.1), Kind::note, "Arq", {}, {}, "t", {}},
         "note-Arq--1700000000.1"},
        {{dateFromUnix(0), Kind::shrank, "Time Machine", "D1", {}, "t", {}},
         "shrank-Time Machine-D1-0.0"},
        {{dateFromUnix(-1.5), Kind::note, "x", {}, {}, "t", {}},
         "note-x--"
         "-1.5"},
    };
    for (const auto& [event, id] : cases)
        EXPECT_EQ(event.id(), id);
}

std::optional<HistoryRecord> decodeHistory(const nlohmann::json& j) {
    try {
        HistoryRecord record;
        jsoncoding::decodeValue(j, record);
        return record;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

TEST(HistoryRecordJSON, FullFileReadsAndRoundTrips) {
    const auto j = nlohmann::json::parse(fixtureText("history/full.json"));
    const auto record = decodeHistory(j);
    ASSERT_TRUE(record);
    ASSERT_EQ(record->events.size(), 4u);
    EXPECT_EQ(record->events[1].reasonKey, "timeout");
    EXPECT_EQ(record->events[2].kind, Kind::shrank);
    EXPECT_EQ(record->events[3].kind, Kind::note);
    EXPECT_EQ(record->observations.at("D2"),
              (PreviousObservation{std::nullopt, 0, at(4 * hour), {}}));
    ASSERT_TRUE(record->restoreTest);
    EXPECT_EQ(record->restoreTest->phase, RestoreTestState::Phase::passed);
    EXPECT_EQ(record->restoreTest->note, std::nullopt);
    ASSERT_EQ(record->restoreTest->results.size(), 2u);
    EXPECT_EQ(record->restoreTest->results[1].destination, "Backup");
    ASSERT_TRUE(record->changes);
    EXPECT_EQ(record->changes->gaps.size(), 1u);
    EXPECT_EQ(record->changes->replacements[0].oldName, "Old");
    EXPECT_EQ(record->offMacSentAt, dateFromUnix(1740819601));
    EXPECT_EQ(nlohmann::json(*record), j);
    EXPECT_EQ(decodeHistory(nlohmann::json(*record)), record);
}

TEST(HistoryRecordJSON, RequiredKeysOnlyAndMissingOrBadPartsAnywhere) {
    const auto minimal =
        decodeHistory(nlohmann::json::parse(fixtureText("history/required-only.json")));
    EXPECT_EQ(minimal, HistoryRecord{});
    EXPECT_EQ(nlohmann::json(HistoryRecord{}),
              nlohmann::json::parse(fixtureText("history/required-only.json")));

    const auto full = nlohmann::json::parse(fixtureText("history/full.json"));
    const std::vector<std::pair<std::string, nlohmann::json::json_pointer>> removals{
        {"events", "/events"_json_pointer},
        {"observations", "/observations"_json_pointer},
        {"alerted", "/alerted"_json_pointer},
        {"alertedTitles", "/alertedTitles"_json_pointer},
        {"newExclusions", "/newExclusions"_json_pointer},
        {"event text", "/events/0/text"_json_pointer},
        {"event source", "/events/0/source"_json_pointer},
        {"observation count", "/observations/D1/count"_json_pointer},
        {"change gaps", "/changes/gaps"_json_pointer},
        {"change destinations", "/changes/destinations"_json_pointer},
        {"replacement newID", "/changes/replacements/0/newID"_json_pointer},
        {"gap to", "/changes/gaps/0/to"_json_pointer},
        {"restore hash", "/restoreTest/originalHash"_json_pointer},
        {"restore results", "/restoreTest/results"_json_pointer},
        {"result passed", "/restoreTest/results/0/passed"_json_pointer},
    };
    for (const auto& [name, pointer] : removals) {
        auto j = full;
        j[pointer.parent_pointer()].erase(pointer.back());
        EXPECT_EQ(decodeHistory(j), std::nullopt) << name;
    }
    const std::vector<std::tuple<std::string, nlohmann::json::json_pointer, nlohmann::json>>
        changes{
            {"event kind", "/events/0/kind"_json_pointer, "Completed"},
            {"restore phase", "/restoreTest/phase"_json_pointer, "restoring"},
            {"event date", "/events/0/date"_json_pointer, "2025-03-01"},
            {"count fraction", "/observations/D1/count"_json_pointer, 12.5},
            {"alerted title type", "/alertedTitles/overdue:D1"_json_pointer, 3},
            {"exclusions type", "/exclusions"_json_pointer, "/Users"},
            {"changes type", "/changes"_json_pointer, nlohmann::json::array()},
        };
    for (const auto& [name, pointer, value] : changes) {
        auto j = full;
        j[pointer] = value;
        EXPECT_EQ(decodeHistory(j), std::nullopt) << name;
    }
}

TEST(HistoryStore, EveryFieldSurvivesASaveAtOneSecondResolution) {
    HistoryRecord record;
    record.events.push_back({at(0.9), Kind::failed, "Time Machine", "D1", "Backup",
                             "Your NAS didn't respond in time.", "nas-timeout"});
    record.observations["D1"] = {at(-86400), 3, at(0.4), 1};
    record.logReadUpTo = at(0.5);
    record.phase = "Copying";
    record.phaseSince = at(1);
    record.alerted["failing:D1"] = at(2);
    record.alertedTitles["failing:D1"] = "Backups to Backup are failing";
    record.lastDigest = at(3);
    record.exclusions = std::vector<std::string>{"/Users/ann/Downloads"};
    record.newExclusions["/Users/ann/Movies"] = at(4);
    record.restoreTest = RestoreTestState{RestoreTestState::Phase::readyToRestore,
                                          at(5),
                                          "/Users/ann/Quorvane Ombrel Restore Test",
                                          "Restore test.txt",
                                          std::string(64, 'a'),
                                          at(6),
                                          std::nullopt,
                                          "Not there yet",
                                          {{at(7), false, std::nullopt}}};
    record.changes = ChangeState{"24B83",
                                 "15.1",
                                 at(8),
                                 "15.0",
                                 at(9),
                                 {{at(10), at(11)}},
                                 {{"D1", "Backup"}},
                                 {{at(12), "Old", "Backup", "D1"}}};
    record.lastWeekly = at(13);
    record.offMacSentAt = at(14);
    record.offMacNote = "Sent";

    TempFolder folder;
    JSONFileStore<HistoryRecord> store(std::string(historyFileName), folder.path());
    store.save(record);
    const HistoryRecord read = store.load();
    EXPECT_NE(read, record); // fractions of a second are dropped
    EXPECT_EQ(read.events[0].date, ten);
    EXPECT_EQ(read.observations.at("D1").checkedAt, ten);
    HistoryRecord truncated = record;
    truncated.events[0].date = ten;
    truncated.observations["D1"].checkedAt = ten;
    truncated.logReadUpTo = ten;
    EXPECT_EQ(read, truncated);
}

TEST(HistoryStore, EventKeysAreWrittenInTheirDocumentedOrder) {
    HistoryRecord record;
    record.events.push_back(
        timeMachineEvent(ten, Kind::failed, "Your NAS didn't respond in time.", "nas-timeout"));
    TempFolder folder;
    JSONFileStore<HistoryRecord> store(std::string(historyFileName), folder.path());
    store.save(record);
    const std::string text = folder.read(std::string(historyFileName));
    std::size_t position = 0;
    for (const char* key : {"\"date\"", "\"kind\"", "\"source\"", "\"destinationID\"",
                            "\"destinationName\"", "\"text\"", "\"reasonKey\""}) {
        const std::size_t found = text.find(key, position);
        ASSERT_NE(found, std::string::npos) << key << " in order in\n" << text;
        position = found;
    }
    EXPECT_EQ(store.load(), record);
}

} // namespace
} // namespace quorvane
