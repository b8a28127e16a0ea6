#pragma once

#include "base/Date.h"
#include "checks/RestoreTestState.h"
#include "health/ChangeState.h"
#include "health/Preferences.h"
#include "history/Gap.h"

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

struct TimeMachineSettings;
struct FailureReason;
struct BackupRunState;

// One line of the event log.
struct HistoryEvent {
    enum class Kind { completed, failed, shrank, note };

    Date date{};
    Kind kind = Kind::completed;
    std::string source; // "Time Machine", or another tool's display name
    std::optional<std::string> destinationID;
    std::optional<std::string> destinationName;
    std::string text;
    std::optional<std::string> reasonKey; // the failure reason behind a failed event

    // "kind-source-destinationID-seconds", the seconds since 1970 as the shortest decimal that
    // reads back the same, with ".0" on whole numbers ("completed-Time Machine-D1-1700000000.0").
    std::string id() const;

    bool operator==(const HistoryEvent&) const = default;
};

// The date as the history file keeps it: cut to the whole second. Remembered dates come back
// from the file this way, so fresh dates are compared with them at this precision.
Date wholeSecond(Date date);

// The event's identity as it reads back from the file (its date cut to the whole second):
// the key on which fresh events are matched with remembered ones.
std::string storedIdentity(const HistoryEvent& event);

// "completed", "failed", "shrank", "note".
std::string_view toText(HistoryEvent::Kind kind);
std::optional<HistoryEvent::Kind> historyEventKindFromText(std::string_view text);

// Everything remembered between checks apart from the preferences; persisted as "history.json".
struct HistoryRecord {
    std::vector<HistoryEvent> events; // ascending by date, at most historyCap
    std::map<std::string, PreviousObservation> observations; // destination ID -> last seen
    std::optional<Date> logReadUpTo;
    std::optional<std::string> phase;                 // Time Machine's backup phase while one runs
    std::optional<Date> phaseSince;                   // when `phase` last changed
    std::map<std::string, Date> alerted;              // Issue::id() -> last announced
    std::map<std::string, std::string> alertedTitles; // Issue::id() -> title announced
    std::optional<Date> lastDigest;
    std::optional<std::vector<std::string>> exclusions;
    std::map<std::string, Date> newExclusions; // path -> first seen
    std::optional<RestoreTestState> restoreTest;
    std::optional<ChangeState> changes;
    std::optional<Date> lastWeekly;
    std::optional<Date> offMacSentAt;
    std::optional<std::string> offMacNote;

    bool operator==(const HistoryRecord&) const = default;
};

// The largest number of events kept.
inline constexpr std::size_t historyCap = 2000;

// The history file's name in the state folder.
inline constexpr std::string_view historyFileName = "history.json";

// Folds one Time Machine observation into the history: "completed" events for completions
// after the destination's previous check, "failed" events for attempts that did not complete
// (named by the nearest log reason within an hour, hidden by a success within three hours),
// and a new observation per destination. A check during a backup sees its attempt before its
// completion, so a failed event that a completion now hides is removed again, and one recorded
// without a reason takes one that the log shows later. An event already in the history is
// never added twice, and a full history takes nothing older than its oldest event. Events end
// sorted by date and capped at historyCap.
void recordObservation(const TimeMachineSettings& settings, HistoryRecord& history,
                       const std::vector<FailureReason>& reasons, Date now);

// Tracks Time Machine's current phase and since when it has been in it ("running" when a
// running backup reports no phase); clears both when no backup runs.
void recordPhase(const std::optional<BackupRunState>& run, HistoryRecord& history, Date now);

// JSON forms. Decoding is strict (required keys, types, enumeration texts) and throws on any
// mismatch; absent optionals are not written. The ordered forms are what the file gets: an
// event's keys in the order date, kind, source, destinationID, destinationName, text,
// reasonKey (readers do not depend on it).
void to_json(nlohmann::json& j, const HistoryEvent& value);
void to_json(nlohmann::ordered_json& j, const HistoryEvent& value);
void to_json(nlohmann::ordered_json& j, const HistoryRecord& value);
void from_json(const nlohmann::json& j, HistoryEvent& value);
void to_json(nlohmann::json& j, const HistoryRecord& value);
void from_json(const nlohmann::json& j, HistoryRecord& value);

} // namespace quorvane
