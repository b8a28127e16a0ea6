#include "history/History.h"

#include "health/Days.h"
#include "history/JSONCoding.h"
#include "timemachine/DestinationInfo.h"
#include "timemachine/Reasons.h"
#include "timemachine/StatusText.h"
#include "timemachine/TimeMachineSettings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace quorvane {

using jsoncoding::readKey;
using jsoncoding::requireObject;
using jsoncoding::writeKey;

namespace {

const std::string timeMachineSource = "Time Machine";

// Seconds since 1970 as the shortest decimal that reads back as the same double, always with a
// decimal point ("1700000000.0", "1700000000.25").
std::string secondsText(double seconds) {
    char buffer[512];
    auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
    if (error != std::errc())
        return std::to_string(seconds);
    std::string text(buffer, end);
    if (std::isfinite(seconds) && text.find('.') == std::string::npos)
        text += ".0";
    return text;
}

// The latest-listed reason dated within an hour of an attempt. Reasons are sorted by date
// once; a sparse table answers "highest list position in this date range" in constant time,
// so many attempts against many reasons stay near-linear.
class ReasonFinder {
public:
    explicit ReasonFinder(const std::vector<FailureReason>& reasons) {
        for (std::size_t i = 0; i < reasons.size(); ++i)
            if (reasons[i].date)
                dated_.push_back({unixSeconds(*reasons[i].date), i});
        std::stable_sort(dated_.begin(), dated_.end(),
                         [](const Dated& a, const Dated& b) { return a.seconds < b.seconds; });
        if (dated_.empty())
            return;
        table_.emplace_back();
        for (const Dated& d : dated_)
            table_[0].push_back(d.index);
        for (std::size_t width = 1; width * 2 <= dated_.size(); width *= 2) {
            const std::vector<std::size_t>& below = table_.back();
            std::vector<std::size_t> level(dated_.size() - width * 2 + 1);
            for (std::size_t i = 0; i < level.size(); ++i)
                level[i] = std::max(below[i], below[i + width]);
            table_.push_back(std::move(level));
        }
    }

    // The index in the original list, or absent.
    std::optional<std::size_t> near(double attempt) const {
        auto begin = std::partition_point(dated_.begin(), dated_.end(), [&](const Dated& d) {
            return !(std::fabs(d.seconds - attempt) < 3600.0) && d.seconds < attempt;
        });
        auto end = std::partition_point(begin, dated_.end(), [&](const Dated& d) {
            return std::fabs(d.seconds - attempt) < 3600.0;
        });
        if (begin == end)
            return std::nullopt;
        const auto from = static_cast<std::size_t>(begin - dated_.begin());
        const auto count = static_cast<std::size_t>(end - begin);
        std::size_t levelIndex = 0;
        while ((std::size_t{2} << levelIndex) <= count)
            ++levelIndex;
        const std::vector<std::size_t>& level = table_[levelIndex];
        return std::max(level[from], level[from + count - (std::size_t{1} << levelIndex)]);
    }

private:
    struct Dated {
        double seconds;
        std::size_t index;
    };
    std::vector<Dated> dated_;
    std::vector<std::vector<std::size_t>> table_;
};

// An event not yet built. A first check can list thousands of completions per destination of
// which only the newest historyCap events survive, so events are chosen before they are built.
struct PendingEvent {
    double order;         // the date for sorting; a date that is not a number sorts first
    std::size_t seq;      // insertion order, which breaks ties between equal dates
    std::size_t existing; // index into the history's events, or npos for a new event
    std::size_t destination;
    Date date;
    HistoryEvent::Kind kind;
    std::size_t reason; // index into the reasons, or npos
};

constexpr std::size_t npos = static_cast<std::size_t>(-1);

// A completion this soon after a failed attempt shows the attempt was still running.
constexpr double hidingWindow = 10800.0;

double sortOrder(Date date) {
    const double seconds = unixSeconds(date);
    return std::isnan(seconds) ? -std::numeric_limits<double>::infinity() : seconds;
}

double wholeSeconds(Date date) {
    return std::floor(sortOrder(date));
}

bool earlier(const PendingEvent& a, const PendingEvent& b) {
    return a.order != b.order ? a.order < b.order : a.seq < b.seq;
}

bool byOrder(Date a, Date b) {
    return sortOrder(a) < sortOrder(b);
}

// One destination's dates, sorted once for the searches below.
struct DestinationDates {
    std::vector<Date> completions;
    std::vector<Date> attempts;

    explicit DestinationDates(const BackupDestination& destination)
        : completions(destination.completed), attempts(destination.attempts) {
        std::sort(completions.begin(), completions.end(), byOrder);
        std::sort(attempts.begin(), attempts.end(), byOrder);
    }

    // Completed at the attempt's own date, or a success within three hours after it.
    bool hides(Date attempt) const {
        if (std::binary_search(completions.begin(), completions.end(), attempt, byOrder))
            return true;
        auto next = std::upper_bound(completions.begin(), completions.end(), attempt, byOrder);
        return next != completions.end() && secondsBetween(attempt, *next) < hidingWindow;
    }

    // The listed attempt that a remembered event (dated to the whole second) stands for, so
    // that it is judged at its full precision; the event's own date when none is listed.
    Date attemptFor(Date remembered) const {
        const double second = wholeSeconds(remembered);
        auto found = std::lower_bound(attempts.begin(), attempts.end(), second,
                                      [](Date a, double s) { return wholeSeconds(a) < s; });
        return found != attempts.end() && wholeSeconds(*found) == second ? *found : remembered;
    }
};

// Time Machine events already in the history or added by this fold, by destination, kind
// and whole second: an attempt is never recorded as failed twice, nor a completion twice.
using EventKey = std::tuple<std::string_view, HistoryEvent::Kind, double>;

void observeDestination(const BackupDestination& destination, std::size_t index,
                        const DestinationDates& dates, HistoryRecord& history,
                        const ReasonFinder& finder, std::optional<double> oldestKept, Date now,
                        std::set<EventKey>& known, std::vector<PendingEvent>& pending) {
    std::optional<PreviousObservation> previous;
    if (auto found = history.observations.find(destination.id); found != history.observations.end())
        previous = found->second;
    // The previous check's date comes back from the file to the whole second; comparing both
    // sides at that precision keeps a completion in the same second from looking new.
    auto isNew = [&](Date date) {
        if (previous && !(wholeSeconds(date) > wholeSeconds(previous->checkedAt)))
            return false;
        return !oldestKept || sortOrder(date) >= *oldestKept;
    };
    auto add = [&](Date date, HistoryEvent::Kind kind, std::size_t reason) {
        if (known.emplace(destination.id, kind, wholeSeconds(date)).second)
            pending.push_back({sortOrder(date), pending.size(), npos, index, date, kind, reason});
    };

    for (Date completed : destination.completed)
        if (isNew(completed))
            add(completed, HistoryEvent::Kind::completed, npos);

    for (Date attempt : destination.attempts)
        if (isNew(attempt) && !dates.hides(attempt))
            add(attempt, HistoryEvent::Kind::failed,
                finder.near(unixSeconds(attempt)).value_or(npos));

    PreviousObservation observation;
    observation.count = static_cast<std::int64_t>(destination.completed.size());
    observation.checkedAt = now;
    std::int64_t retention = previous ? previous->maxRetentionDays.value_or(0) : 0;
    if (!destination.completed.empty()) {
        observation.oldest = destination.completed.front();
        retention = std::max(retention, days(secondsBetween(destination.completed.front(), now)));
    }
    observation.maxRetentionDays = std::max<std::int64_t>(retention, 0);
    history.observations[destination.id] = observation;
}

// Settles the failed Time Machine events already recorded: one whose attempt a completion now
// hides was a backup still running at an earlier check and goes; one recorded before the log
// named a reason takes that reason. False when the event goes.
bool settleFailedEvent(HistoryEvent& event, const DestinationDates& dates,
                       const std::vector<FailureReason>& reasons, const ReasonFinder& finder) {
    const Date attempt = dates.attemptFor(event.date);
    if (dates.hides(attempt))
        return false;
    if (!event.reasonKey)
        if (auto reason = finder.near(unixSeconds(attempt))) {
            event.text = reasons[*reason].title;
            event.reasonKey = reasons[*reason].key;
        }
    return true;
}

} // namespace

std::string_view toText(HistoryEvent::Kind kind) {
    switch (kind) {
    case HistoryEvent::Kind::completed:
        return "completed";
    case HistoryEvent::Kind::failed:
        return "failed";
    case HistoryEvent::Kind::shrank:
        return "shrank";
    case HistoryEvent::Kind::note:
        return "note";
    }
    return "note";
}

std::optional<HistoryEvent::Kind> historyEventKindFromText(std::string_view text) {
    for (auto kind : {HistoryEvent::Kind::completed, HistoryEvent::Kind::failed,
                      HistoryEvent::Kind::shrank, HistoryEvent::Kind::note})
        if (toText(kind) == text)
            return kind;
    return std::nullopt;
}

std::string HistoryEvent::id() const {
    std::string result(toText(kind));
    result += '-';
    result += source;
    result += '-';
    result += destinationID.value_or("");
    result += '-';
    result += secondsText(unixSeconds(date));
    return result;
}

Date wholeSecond(Date date) {
    return dateFromUnix(std::floor(unixSeconds(date)));
}

std::string storedIdentity(const HistoryEvent& event) {
    HistoryEvent stored = event;
    stored.date = wholeSecond(event.date);
    return stored.id();
}

void recordObservation(const TimeMachineSettings& settings, HistoryRecord& history,
                       const std::vector<FailureReason>& reasons, Date now) {
    const ReasonFinder finder(reasons);
    std::vector<DestinationDates> dates;
    dates.reserve(settings.destinations.size());
    std::map<std::string_view, std::size_t> byID; // the first destination of each identifier
    for (std::size_t d = 0; d < settings.destinations.size(); ++d) {
        dates.emplace_back(settings.destinations[d]);
        byID.emplace(settings.destinations[d].id, d);
    }

    // Once the cap has dropped events, nothing older than the oldest kept one comes back.
    std::optional<double> oldestKept;
    if (history.events.size() >= historyCap) {
        oldestKept = std::numeric_limits<double>::infinity();
        for (const HistoryEvent& event : history.events)
            oldestKept = std::min(*oldestKept, sortOrder(event.date));
    }

    std::set<EventKey> known;
    std::vector<PendingEvent> pending;
    pending.reserve(history.events.size());
    for (std::size_t i = 0; i < history.events.size(); ++i) {
        HistoryEvent& event = history.events[i];
        if (event.source == timeMachineSource && event.destinationID) {
            auto destination = byID.find(*event.destinationID);
            if (destination != byID.end() && event.kind == HistoryEvent::Kind::failed &&
                !settleFailedEvent(event, dates[destination->second], reasons, finder))
                continue;
            known.emplace(*event.destinationID, event.kind, wholeSeconds(event.date));
        }
        pending.push_back({sortOrder(event.date), i, i, npos, event.date, event.kind, npos});
    }
    for (std::size_t d = 0; d < settings.destinations.size(); ++d)
        observeDestination(settings.destinations[d], d, dates[d], history, finder, oldestKept, now,
                           known, pending);

    // The newest historyCap events in date order, ties in insertion order (a stable sort).
    if (pending.size() > historyCap) {
        const auto firstKept = pending.end() - static_cast<std::ptrdiff_t>(historyCap);
        std::nth_element(pending.begin(), firstKept, pending.end(), earlier);
        pending.erase(pending.begin(), firstKept);
    }
    std::sort(pending.begin(), pending.end(), earlier);

    std::vector<std::string> names;
    names.reserve(settings.destinations.size());
    for (const BackupDestination& destination : settings.destinations)
        names.push_back(destinationLabel(destination));
    std::vector<HistoryEvent> events;
    events.reserve(pending.size());
    for (const PendingEvent& p : pending) {
        if (p.existing != npos) {
            events.push_back(std::move(history.events[p.existing]));
            continue;
        }
        const BackupDestination& destination = settings.destinations[p.destination];
        HistoryEvent event{p.date,
                           p.kind,
                           timeMachineSource,
                           destination.id,
                           names[p.destination],
                           "Backup completed",
                           std::nullopt};
        if (p.kind == HistoryEvent::Kind::failed) {
            if (p.reason != npos) {
                event.text = reasons[p.reason].title;
                event.reasonKey = reasons[p.reason].key;
            } else {
                event.text = "Attempt didn't finish";
            }
        }
        events.push_back(std::move(event));
    }
    history.events = std::move(events);
}

void recordPhase(const std::optional<BackupRunState>& run, HistoryRecord& history, Date now) {
    if (run && run->running) {
        std::string phase = run->phase.value_or("running");
        if (history.phase == phase)
            return;
        history.phase = std::move(phase);
        history.phaseSince = now;
        return;
    }
    history.phase.reset();
    history.phaseSince.reset();
}

// JSON forms of the history file and of the records stored inside it.

void to_json(nlohmann::json& j, const Gap& value) {
    j = nlohmann::json::object();
    writeKey(j, "from", value.from);
    writeKey(j, "to", value.to);
}

void from_json(const nlohmann::json& j, Gap& value) {
    requireObject(j);
    readKey(j, "from", value.from);
    readKey(j, "to", value.to);
}

void to_json(nlohmann::json& j, const Replacement& value) {
    j = nlohmann::json::object();
    writeKey(j, "date", value.date);
    writeKey(j, "oldName", value.oldName);
    writeKey(j, "newName", value.newName);
    writeKey(j, "newID", value.newID);
}

void from_json(const nlohmann::json& j, Replacement& value) {
    requireObject(j);
    readKey(j, "date", value.date);
    readKey(j, "oldName", value.oldName);
    readKey(j, "newName", value.newName);
    readKey(j, "newID", value.newID);
}

void to_json(nlohmann::json& j, const ChangeState& value) {
    j = nlohmann::json::object();
    writeKey(j, "osBuild", value.osBuild);
    writeKey(j, "osVersion", value.osVersion);
    writeKey(j, "osChangedAt", value.osChangedAt);
    writeKey(j, "osChangedFrom", value.osChangedFrom);
    writeKey(j, "lastCheck", value.lastCheck);
    writeKey(j, "gaps", value.gaps);
    writeKey(j, "destinations", value.destinations);
    writeKey(j, "replacements", value.replacements);
}

void from_json(const nlohmann::json& j, ChangeState& value) {
    requireObject(j);
    ChangeState read;
    readKey(j, "osBuild", read.osBuild);
    readKey(j, "osVersion", read.osVersion);
    readKey(j, "osChangedAt", read.osChangedAt);
    readKey(j, "osChangedFrom", read.osChangedFrom);
    readKey(j, "lastCheck", read.lastCheck);
    readKey(j, "gaps", read.gaps);
    readKey(j, "destinations", read.destinations);
    readKey(j, "replacements", read.replacements);
    value = std::move(read);
}

std::string_view toText(RestoreTestState::Phase phase) {
    switch (phase) {
    case RestoreTestState::Phase::waitingForBackup:
        return "waitingForBackup";
    case RestoreTestState::Phase::readyToRestore:
        return "readyToRestore";
    case RestoreTestState::Phase::passed:
        return "passed";
    case RestoreTestState::Phase::failed:
        return "failed";
    }
    return "failed";
}

std::optional<RestoreTestState::Phase> restoreTestPhaseFromText(std::string_view text) {
    using Phase = RestoreTestState::Phase;
    for (auto phase :
         {Phase::waitingForBackup, Phase::readyToRestore, Phase::passed, Phase::failed})
        if (toText(phase) == text)
            return phase;
    return std::nullopt;
}

void to_json(nlohmann::json& j, const RestoreTestResult& value) {
    j = nlohmann::json::object();
    writeKey(j, "date", value.date);
    writeKey(j, "passed", value.passed);
    writeKey(j, "destination", value.destination);
}

void from_json(const nlohmann::json& j, RestoreTestResult& value) {
    requireObject(j);
    RestoreTestResult read;
    readKey(j, "date", read.date);
    readKey(j, "passed", read.passed);
    readKey(j, "destination", read.destination);
    value = std::move(read);
}

void to_json(nlohmann::json& j, const RestoreTestState& value) {
    j = nlohmann::json::object();
    j["phase"] = std::string(toText(value.phase));
    writeKey(j, "started", value.started);
    writeKey(j, "folder", value.folder);
    writeKey(j, "fileName", value.fileName);
    writeKey(j, "originalHash", value.originalHash);
    writeKey(j, "changedAt", value.changedAt);
    writeKey(j, "finishedAt", value.finishedAt);
    writeKey(j, "note", value.note);
    writeKey(j, "results", value.results);
}

void from_json(const nlohmann::json& j, RestoreTestState& value) {
    requireObject(j);
    RestoreTestState read;
    std::string phase;
    readKey(j, "phase", phase);
    auto known = restoreTestPhaseFromText(phase);
    if (!known)
        throw jsoncoding::DecodeError("unknown restore test phase");
    read.phase = *known;
    readKey(j, "started", read.started);
    readKey(j, "folder", read.folder);
    readKey(j, "fileName", read.fileName);
    readKey(j, "originalHash", read.originalHash);
    readKey(j, "changedAt", read.changedAt);
    readKey(j, "finishedAt", read.finishedAt);
    readKey(j, "note", read.note);
    readKey(j, "results", read.results);
    value = std::move(read);
}

namespace {

template <class Object> void encodeEvent(Object& j, const HistoryEvent& value) {
    j = Object::object();
    writeKey(j, "date", value.date);
    j["kind"] = std::string(toText(value.kind));
    writeKey(j, "source", value.source);
    writeKey(j, "destinationID", value.destinationID);
    writeKey(j, "destinationName", value.destinationName);
    writeKey(j, "text", value.text);
    writeKey(j, "reasonKey", value.reasonKey);
}

} // namespace

void to_json(nlohmann::json& j, const HistoryEvent& value) {
    encodeEvent(j, value);
}

void to_json(nlohmann::ordered_json& j, const HistoryEvent& value) {
    encodeEvent(j, value);
}

void from_json(const nlohmann::json& j, HistoryEvent& value) {
    requireObject(j);
    HistoryEvent read;
    readKey(j, "date", read.date);
    std::string kind;
    readKey(j, "kind", kind);
    auto known = historyEventKindFromText(kind);
    if (!known)
        throw jsoncoding::DecodeError("unknown event kind");
    read.kind = *known;
    readKey(j, "source", read.source);
    readKey(j, "destinationID", read.destinationID);
    readKey(j, "destinationName", read.destinationName);
    readKey(j, "text", read.text);
    readKey(j, "reasonKey", read.reasonKey);
    value = std::move(read);
}

namespace {

template <class Object> void encodeRecord(Object& j, const HistoryRecord& value) {
    j = Object::object();
    if constexpr (std::is_same_v<Object, nlohmann::ordered_json>) {
        auto& events = j["events"] = Object::array();
        for (const HistoryEvent& event : value.events)
            events.push_back(Object(event));
    } else {
        writeKey(j, "events", value.events);
    }
    writeKey(j, "observations", value.observations);
    writeKey(j, "logReadUpTo", value.logReadUpTo);
    writeKey(j, "phase", value.phase);
    writeKey(j, "phaseSince", value.phaseSince);
    writeKey(j, "alerted", value.alerted);
    writeKey(j, "alertedTitles", value.alertedTitles);
    writeKey(j, "lastDigest", value.lastDigest);
    writeKey(j, "exclusions", value.exclusions);
    writeKey(j, "newExclusions", value.newExclusions);
    writeKey(j, "restoreTest", value.restoreTest);
    writeKey(j, "changes", value.changes);
    writeKey(j, "lastWeekly", value.lastWeekly);
    writeKey(j, "offMacSentAt", value.offMacSentAt);
    writeKey(j, "offMacNote", value.offMacNote);
}

} // namespace

void to_json(nlohmann::json& j, const HistoryRecord& value) {
    encodeRecord(j, value);
}

void to_json(nlohmann::ordered_json& j, const HistoryRecord& value) {
    encodeRecord(j, value);
}

void from_json(const nlohmann::json& j, HistoryRecord& value) {
    requireObject(j);
    HistoryRecord read;
    readKey(j, "events", read.events);
    readKey(j, "observations", read.observations);
    readKey(j, "logReadUpTo", read.logReadUpTo);
    readKey(j, "phase", read.phase);
    readKey(j, "phaseSince", read.phaseSince);
    readKey(j, "alerted", read.alerted);
    readKey(j, "alertedTitles", read.alertedTitles);
    readKey(j, "lastDigest", read.lastDigest);
    readKey(j, "exclusions", read.exclusions);
    readKey(j, "newExclusions", read.newExclusions);
    readKey(j, "restoreTest", read.restoreTest);
    readKey(j, "changes", read.changes);
    readKey(j, "lastWeekly", read.lastWeekly);
    readKey(j, "offMacSentAt", read.offMacSentAt);
    readKey(j, "offMacNote", read.offMacNote);
    value = std::move(read);
}

} // namespace quorvane
