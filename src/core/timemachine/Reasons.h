#pragma once

#include "base/Date.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Why a backup failed, in plain English. Persisted as JSON with the keys "key", "title",
// "check", "line" and "date" ("check" and "date" omitted when absent; the date in ISO 8601 UTC).
struct FailureReason {
    std::string key;                  // the signature's stable key, or "unknown"
    std::string title;                // what went wrong
    std::optional<std::string> check; // what to check or do
    std::string line;                 // the log line, or the result-code token, that matched
    std::optional<Date> date;         // when the line was logged; absent for a result code

    bool operator==(const FailureReason&) const = default;
};

// Missing "key", "title" or "line", a member of the wrong type or a date that is not ISO 8601
// throw nlohmann::json's exceptions, which makes the enclosing document undecodable.
void to_json(nlohmann::json& json, const FailureReason& reason);
void from_json(const nlohmann::json& json, FailureReason& reason);

// A known failure: lines that `match` give a reason with this key, title and check.
struct Signature {
    std::string key;
    std::function<bool(std::string_view line)> match;
    std::string title;
    std::optional<std::string> check;
};

// The known failures in the order they are tried; the first match wins.
const std::vector<Signature>& signatures();

// The reason given to a failure that matches no signature.
inline constexpr std::string_view unknownReasonKey = "unknown";

// Harmless messages Time Machine logs all the time.
bool isNoise(std::string_view line);

// The reason a log line gives: none for noise; the first matching signature; the unknown reason
// for other lines saying "Backup failed"; otherwise none.
std::optional<FailureReason> reasonForLine(std::string_view line, std::optional<Date> date);

// The reason for Time Machine's result codes 18, 19 and 56; none for any other code.
std::optional<FailureReason> reasonForResultCode(std::optional<std::int64_t> code);

// A log line with the time it was logged.
struct DatedLine {
    std::string line;
    std::optional<Date> date;

    bool operator==(const DatedLine&) const = default;
};

// The most relevant reason among lines in time order: the newest one that is not a failed
// notification, or the newest failed notification when there is nothing else.
std::optional<FailureReason> bestReason(const std::vector<DatedLine>& lines);

} // namespace quorvane
