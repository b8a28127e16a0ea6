#include "base/IsoDate.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace quorvane {

namespace {

// Unix seconds of 0001-01-01T00:00:00Z and of 9999-12-31T23:59:59Z.
constexpr double firstWritable = -62135596800.0;
constexpr double lastWritable = 253402300799.0;

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

} // namespace

std::string isoDateText(Date date) {
    double seconds = std::floor(unixSeconds(date));
    if (!std::isfinite(seconds))
        seconds = std::isnan(seconds) ? 0.0 : (seconds < 0 ? firstWritable : lastWritable);
    seconds = std::clamp(seconds, firstWritable, lastWritable);
    const auto whole = static_cast<long long>(seconds);
    const auto dayNumber = static_cast<long long>(std::floor(seconds / 86400.0));
    const auto inDay = static_cast<unsigned>(whole - dayNumber * 86400); // 0 to 86399
    const std::chrono::year_month_day day{std::chrono::sys_days{std::chrono::days{dayNumber}}};
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02uZ", int(day.year()),
                  unsigned(day.month()), unsigned(day.day()), inDay / 3600, inDay / 60 % 60,
                  inDay % 60);
    return text;
}

std::optional<Date> parseIsoDate(std::string_view text) {
    int year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, year) || text.size() < 19 || text[4] != '-' ||
        !digits(text, 5, 2, month) || text[7] != '-' || !digits(text, 8, 2, day) ||
        (text[10] != 'T' && text[10] != 't') || !digits(text, 11, 2, hour) || text[13] != ':' ||
        !digits(text, 14, 2, minute) || text[16] != ':' || !digits(text, 17, 2, second))
        return std::nullopt;
    std::size_t at = 19;
    double fraction = 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        double scale = 0.1;
        const std::size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            fraction += (text[at] - '0') * scale;
            scale /= 10;
            ++at;
        }
        if (at == first)
            return std::nullopt;
    }
    int offset = 0;
    if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at] == '-' ? -1 : 1;
        int hours, minutes;
        if (!digits(text, at + 1, 2, hours))
            return std::nullopt;
        at += 3;
        if (at < text.size() && text[at] == ':')
            ++at;
        if (!digits(text, at, 2, minutes) || hours > 23 || minutes > 59)
            return std::nullopt;
        at += 2;
        offset = sign * (hours * 3600 + minutes * 60);
    } else {
        return std::nullopt;
    }
    if (at != text.size())
        return std::nullopt;
    const std::chrono::year_month_day ymd{std::chrono::year{year},
                                          std::chrono::month{unsigned(month)},
                                          std::chrono::day{unsigned(day)}};
    if (!ymd.ok() || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    const double days = std::chrono::sys_days{ymd}.time_since_epoch().count();
    return dateFromUnix(days * 86400.0 + hour * 3600 + minute * 60 + second + fraction - offset);
}

} // namespace quorvane
