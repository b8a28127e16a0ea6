#pragma once

#include "base/Date.h"
#include "timemachine/TimeMachineSettings.h"

#include <unicode/calendar.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvane {

// One line of status: a short title and an optional detail.
struct StatusLine {
    std::string title;
    std::optional<std::string> detail;

    bool operator==(const StatusLine&) const = default;
};

// The headline for the whole Mac: not set up, unreadable, no disk, last completed backup, none.
StatusLine headline(const SettingsReading& reading, Date now);

// One line per destination, in the settings' order: its label, then when it last completed and
// how many attempts since then did not finish.
std::vector<StatusLine> destinationLines(const TimeMachineSettings& settings, Date now);

// Notes about the settings themselves: automatic backups off, Time Machine's last activity.
std::vector<std::string> settingsNotes(const TimeMachineSettings& settings, Date now);

// The destination's name or "backup disk", followed by " (network)" for a network destination.
std::string destinationLabel(const BackupDestination& destination);

// The user's calendar: current locale and time zone (from LANG/LC_ALL and TZ).
std::unique_ptr<icu::Calendar> currentCalendar();

// "today", "yesterday" or "N days ago": calendar days between the two dates in `calendar`,
// whatever the hours. A date after `to` reads "today".
std::string relativeDays(Date from, Date to, const icu::Calendar& calendar);
// The same in the user's calendar.
std::string relativeDays(Date from, Date to);

// The date in the current locale from the template "d MMM, HH:mm" within the year of `now`,
// else "d MMM yyyy".
std::string shortDate(Date date, Date now);

// The date in the current locale from the template "d MMM" within the year of `now`, else
// "d MMM yyyy".
std::string dayMonth(Date date, Date now);

} // namespace quorvane
