#include "othertools/FixedDate.h"

#include <unicode/timezone.h>

#include <chrono>
#include <cstdint>
#include <memory>

namespace quorvane {

namespace {

double dayStart(const DateFields& fields) {
    std::chrono::year_month_day date{std::chrono::year(fields.year),
                                     std::chrono::month(static_cast<unsigned>(fields.month)),
                                     std::chrono::day(static_cast<unsigned>(fields.day))};
    return static_cast<double>(std::chrono::sys_days(date).time_since_epoch().count()) * 86400.0;
}

double wallSeconds(const DateFields& fields) {
    return dayStart(fields) + fields.hour * 3600.0 + fields.minute * 60.0 + fields.second +
           fields.fraction;
}

} // namespace

std::optional<DateFields> readDateFields(std::string_view text, std::string_view pattern) {
    if (text.size() != pattern.size())
        return std::nullopt;
    DateFields fields;
    double scale = 0.1;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char p = pattern[i], c = text[i];
        int* field = nullptr;
        switch (p) {
        case 'y':
            field = &fields.year;
            break;
        case 'M':
            field = &fields.month;
            break;
        case 'd':
            field = &fields.day;
            break;
        case 'H':
            field = &fields.hour;
            break;
        case 'm':
            field = &fields.minute;
            break;
        case 's':
            field = &fields.second;
            break;
        case 'S':
            break;
        default:
            if (c != p)
                return std::nullopt;
            continue;
        }
        if (c < '0' || c > '9')
            return std::nullopt;
        if (field) {
            *field = *field * 10 + (c - '0');
        } else {
            fields.fraction += (c - '0') * scale;
            scale /= 10;
        }
    }
    std::chrono::year_month_day date{std::chrono::year(fields.year),
                                     std::chrono::month(static_cast<unsigned>(fields.month)),
                                     std::chrono::day(static_cast<unsigned>(fields.day))};
    if (!date.ok() || fields.hour > 23 || fields.minute > 59 || fields.second > 59)
        return std::nullopt;
    return fields;
}

Date utcDate(const DateFields& fields) {
    return dateFromUnix(wallSeconds(fields));
}

Date localDate(const DateFields& fields) {
    double wall = wallSeconds(fields);
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
    std::int32_t raw = 0, dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    if (zone)
        zone->getOffset(wall * 1000.0, true, raw, dst, status);
    if (!zone || U_FAILURE(status))
        return dateFromUnix(wall);
    return dateFromUnix(wall - (raw + dst) / 1000.0);
}

} // namespace quorvane
