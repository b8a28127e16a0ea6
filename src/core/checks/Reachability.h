#pragma once

#include "health/Preferences.h"
#include "timemachine/TimeMachineSettings.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace quorvane {

// The file-sharing port every network-share host is probed on, whatever the URL's scheme.
inline constexpr std::uint16_t fileSharingPort = 445;
// How long one host may take to accept the connection, in seconds.
inline constexpr double reachabilityTimeout = 3.0;

// Whether a TCP connection to `host`:`port` opens within `timeout` seconds. The connection is
// closed as soon as it is ready; no data is sent. Name resolution counts against the same
// time-out. A name that does not resolve, a refused connection or no answer in time all give
// false; the call never throws and returns exactly once, at the latest shortly after `timeout`.
bool isReachable(const std::string& host, std::uint16_t port, double timeout);

// The probe the host selection uses; tests pass their own.
using ReachabilityProbe =
    std::function<bool(const std::string& host, std::uint16_t port, double timeout)>;

// The distinct hosts named in the destinations' network URLs, in destination order, as written
// in the URL. Destinations without a URL, with one that does not parse, or without a host are
// skipped.
std::vector<std::string> networkHosts(const TimeMachineSettings& settings);

// The hosts that did not answer: only when `prefs.nasCheckOn` is set and the settings were read,
// each host of `networkHosts` is probed in turn on port 445 with a 3-second time-out.
std::set<std::string> unreachableHosts(const SettingsReading& reading,
                                       const WatchPreferences& prefs,
                                       const ReachabilityProbe& probe = isReachable);

} // namespace quorvane
