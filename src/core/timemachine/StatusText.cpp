#include "timemachine/StatusText.h"

#include <unicode/dtptngen.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>

#include <cctype>

namespace quorvane {

namespace {

UDate icuDate(Date d) {
    return unixSeconds(d) * 1000.0;
}

// The calendar's field for `date`, or nullopt when ICU refuses it.
std::optional<int32_t> fieldAt(const icu::Calendar& calendar, Date date,
                               UCalendarDateFields field) {
    std::unique_ptr<icu::Calendar> copy(calendar.clone());
    if (!copy)
        return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    copy->setTime(icuDate(date), status);
    const int32_t value = copy->get(field, status);
    if (U_FAILURE(status))
        return std::nullopt;
    return value;
}

bool sameYear(Date date, Date now) {
    auto calendar = currentCalendar();
    if (!calendar)
        return false;
    const auto a = fieldAt(*calendar, date, UCAL_EXTENDED_YEAR);
    const auto b = fieldAt(*calendar, now, UCAL_EXTENDED_YEAR);
    return a && b && *a == *b;
}

// The date formatted in the current locale and time zone from a template ("d MMM yyyy"); the
// locale chooses the order, separators and hour style. Spaces and commas in the template only
// make it readable.
std::string formatFromTemplate(Date date, std::string_view templateText) {
    std::string skeleton;
    for (char c : templateText)
        if (std::isalpha(static_cast<unsigned char>(c)))
            skeleton.push_back(c);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale locale = icu::Locale::getDefault();
    std::unique_ptr<icu::DateTimePatternGenerator> generator(
        icu::DateTimePatternGenerator::createInstance(locale, status));
    if (U_FAILURE(status) || !generator)
        return {};
    const icu::UnicodeString pattern =
        generator->getBestPattern(icu::UnicodeString::fromUTF8(skeleton), status);
    if (U_FAILURE(status))
        return {};
    icu::SimpleDateFormat format(pattern, locale, status);
    if (U_FAILURE(status))
        return {};
    icu::UnicodeString formatted;
    format.format(icuDate(date), formatted);
    std::string result;
    formatted.toUTF8String(result);
    return result;
}

std::string attemptsPhrase(int count) {
    if (count == 1)
        return "1 attempt since then didn't finish";
    return std::to_string(count) + " attempts since then didn't finish";
}

} // namespace

std::string destinationLabel(const BackupDestination& destination) {
    std::string label = destination.name.value_or("backup disk");
    if (destination.kind == BackupDestination::Kind::network)
        label += " (network)";
    return label;
}

std::unique_ptr<icu::Calendar> currentCalendar() {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(status));
    if (U_FAILURE(status))
        return nullptr;
    return calendar;
}

std::string relativeDays(Date from, Date to, const icu::Calendar& calendar) {
    // The Julian day is counted in the calendar's own time zone, so its difference is the number
    // of midnights between the two dates, independent of hours and daylight-saving changes.
    const auto fromDay = fieldAt(calendar, from, UCAL_JULIAN_DAY);
    const auto toDay = fieldAt(calendar, to, UCAL_JULIAN_DAY);
    const long days = (fromDay && toDay) ? long{*toDay} - long{*fromDay} : 0;
    if (days < 1)
        return "today";
    if (days == 1)
        return "yesterday";
    return std::to_string(days) + " days ago";
}

std::string relativeDays(Date from, Date to) {
    auto calendar = currentCalendar();
    return calendar ? relativeDays(from, to, *calendar) : "today";
}

std::string shortDate(Date date, Date now) {
    return formatFromTemplate(date, sameYear(date, now) ? "d MMM, HH:mm" : "d MMM yyyy");
}

std::string dayMonth(Date date, Date now) {
    return formatFromTemplate(date, sameYear(date, now) ? "d MMM" : "d MMM yyyy");
}

StatusLine headline(const SettingsReading& reading, Date now) {
    switch (reading.which) {
    case SettingsReading::Case::notSetUp:
        return {"Time Machine isn't set up on this Mac", std::nullopt};
    case SettingsReading::Case::unreadable:
        return {"Couldn't read Time Machine's settings.",
                "Nothing was changed. Quorvane Ombrel will try again."};
    case SettingsReading::Case::read:
        break;
    }
    if (!reading.settings || reading.settings->destinations.empty())
        return {"Time Machine has no backup disk chosen", std::nullopt};
    if (auto last = reading.settings->lastCompleted())
        return {"Last completed backup: " + relativeDays(last->date, now),
                shortDate(last->date, now) + " to " + destinationLabel(last->destination)};
    return {"No completed backup recorded.",
            "Time Machine's settings list no finished backup for any disk."};
}

std::vector<StatusLine> destinationLines(const TimeMachineSettings& settings, Date now) {
    std::vector<StatusLine> lines;
    lines.reserve(settings.destinations.size());
    for (const auto& destination : settings.destinations) {
        std::string detail;
        if (auto last = destination.lastCompleted()) {
            detail = "Last completed " + relativeDays(*last, now);
            if (const int attempts = destination.attemptsSinceLastCompleted(); attempts > 0)
                detail += ". " + attemptsPhrase(attempts);
        } else {
            detail = "No completed backup recorded";
        }
        lines.push_back({destinationLabel(destination), detail + "."});
    }
    return lines;
}

std::vector<std::string> settingsNotes(const TimeMachineSettings& settings, Date now) {
    std::vector<std::string> notes;
    if (settings.automaticBackups == false)
        notes.push_back("Automatic backups are off.");
    if (settings.lastActivity)
        notes.push_back("Time Machine last did anything " +
                        relativeDays(*settings.lastActivity, now) + ".");
    return notes;
}

} // namespace quorvane
