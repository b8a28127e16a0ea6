#pragma once

#include "base/Date.h"
#include "health/Issue.h"
#include "health/Preferences.h"
#include "timemachine/DestinationInfo.h"
#include "timemachine/TimeMachineSettings.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quorvane {

// The rules that turn what was read about Time Machine into issues, in display order.
// `run` is Time Machine's current run state, `phaseSince` when its current phase began,
// `previous` what each destination looked like at the previous check (before this check's
// observation is recorded), `unreachableHosts` the network hosts that did not answer. Pure: the
// same arguments always give the same issues. Missing or damaged values only switch off the rule
// that needs them. An empty destination list gives no issue at all.
std::vector<Issue> evaluateHealth(const TimeMachineSettings& settings,
                                  const std::optional<BackupRunState>& run,
                                  std::optional<Date> phaseSince,
                                  const std::map<std::string, PreviousObservation>& previous,
                                  const std::set<std::string>& unreachableHosts,
                                  const WatchPreferences& prefs, Date now);

// "Changes made in the past N days may not be recoverable from this backup.", with at least
// "1 day" (an interval under two days, or a date after `now`, reads 1 day).
std::string lossLine(Date since, Date now);

// A backup phase in plain words: "preparing", "copying", "finishing", "busy", or
// "busy (Phase)" for a phase none of the words match.
std::string phaseWords(const std::optional<std::string>& phase);

// The middle value (the mean of the two middle values for an even count); 0 for no values.
double median(std::vector<double> values);

// A duration as "N minutes" below 90 minutes, else as "N hours" (rounded, halves away from zero).
std::string minutes(double seconds);

} // namespace quorvane
