#pragma once

#include "base/Date.h"

#include <optional>
#include <string_view>

namespace quorvane {

// Dates that other applications write in one fixed textual form.

// The fields of a date as written, not yet placed in a time zone.
struct DateFields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    double fraction = 0; // of a second, from the 'S' digits

    bool operator==(const DateFields&) const = default;
};

// Reads `text` when it matches `pattern` exactly: each of the letters y M d H m s S stands for
// one decimal digit of that field, every other character must appear as it is. Fields out of
// range (month 13, 30 February, hour 24, second 60) give absent.
// Example: readDateFields("2025-03-01 14:05:09,123", "yyyy-MM-dd HH:mm:ss,SSS").
std::optional<DateFields> readDateFields(std::string_view text, std::string_view pattern);

// The fields as a time in UTC.
Date utcDate(const DateFields& fields);

// The fields as a wall-clock time in the current time zone (TZ). A time that falls into a
// daylight-saving gap or repeat is placed as the time zone library places it.
Date localDate(const DateFields& fields);

} // namespace quorvane
