#pragma once

#include "base/Mac.h"
#include "health/Preferences.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane {

// One HTTP request to a phone-alert service, as a value: the sending side performs it as it
// stands, and tests compare it whole.
struct OffMacRequest {
    std::string method;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers; // in the order they are sent
    std::string body;                                         // bytes
    double timeout = 15;                                      // seconds

    bool operator==(const OffMacRequest&) const = default;
};

// Seconds one request may take, answer included.
inline constexpr double offMacTimeout = 15;
// The public ntfy server, for a channel made without one.
inline constexpr std::string_view defaultNtfyServer = "https://ntfy.sh";
// Pushover's message endpoint.
inline constexpr std::string_view pushoverEndpoint = "https://api.pushover.net/1/messages.json";

// Why `topic` (trimmed) can't be an ntfy topic, in the settings window's words; none for an
// empty or valid topic.
std::optional<std::string> ntfyTopicProblem(std::string_view topic);
// A valid topic short enough for someone to guess it.
bool ntfyTopicIsGuessable(std::string_view topic);
// https to any host; plain http only to this machine or the local network.
bool ntfyServerAllowed(std::string_view server);
// `text` reduced to printable ASCII and cut to `max` characters, fit for an HTTP header.
std::string headerSafe(std::string_view text, std::size_t max);

// A channel with a valid topic and an allowed server.
bool isComplete(const NtfyChannel& channel);
// A complete channel that is not switched off.
bool sendsAlerts(const NtfyChannel& channel);

// The request that posts one alert to the channel's topic; none unless the channel is complete.
std::optional<OffMacRequest> ntfyRequest(const NtfyChannel& channel, std::string_view title,
                                         std::string_view body, bool urgent);
// The request that posts one alert through Pushover; none when either key is empty.
std::optional<OffMacRequest> pushoverRequest(std::string_view userKey, std::string_view appToken,
                                             std::string_view title, std::string_view body,
                                             bool urgent);

// A long, hard-to-guess topic such as "quorvane-macbookpro-1f3a...": the model name's letters
// and 16 hexadecimal digits of `random`.
std::string makeNtfyTopic(const std::optional<std::string>& modelName, std::string_view random);
// The Mac's model name ("MacBook Pro"), from the machine's DMI product name; none when missing.
std::optional<std::string> macModelName(const Mac& mac);

// The host a request goes to, for the note shown after sending; "server" when it has none.
std::string requestHost(const OffMacRequest& request);

} // namespace quorvane
