#pragma once

#include "base/Date.h"
#include "health/Issue.h"
#include "health/Preferences.h"
#include "history/History.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// The state of one backup job (plan, task, profile, backup or settings file) of another backup
// application, or of the application as a whole when no job can be named.
struct ToolStatus {
    // The watched applications, in the order the check reads them out. The raw text is also the
    // application's display name.
    enum class Tool { arq, ccc, backblaze, vorta, superDuper, duplicati, chronoSync };

    Tool tool = Tool::arq;
    std::optional<std::string> name;            // the job's name as the application shows it
    std::optional<std::string> destination;     // where the job backs up to, as display text
    std::optional<Date> lastSuccess;            // last completed run (with warnings counts)
    std::optional<Date> lastAttempt;            // latest run's start or end; also for failed runs
    bool failed = false;                        // the latest run failed
    bool warnings = false;                      // completed with warnings, or paused/manual only
    std::optional<std::string> reason;          // one sentence explaining `failed` or `warnings`
    std::optional<std::int64_t> remainingFiles; // files still waiting, when reported
    bool unreadable = false;                    // installed, but the status could not be read

    // Set by readers after construction.
    std::optional<std::string> note;            // what the user must do when `unreadable`
    bool noBackupsSetUp = false;                // installed, with no backup job at all
    std::optional<std::string> destinationKind; // "local", "remote", "sftp", a URL scheme...

    // Readers build every status through this constructor: dates that cannot be real (before
    // 1990, not finite, more than a day after `now`) are stored as absent, so no status ever
    // carries one. `note` and `destinationKind` start absent, `noBackupsSetUp` false.
    ToolStatus(Tool tool, std::optional<std::string> name, std::optional<std::string> destination,
               std::optional<Date> lastSuccess, std::optional<Date> lastAttempt, bool failed,
               bool warnings, std::optional<std::string> reason,
               std::optional<std::int64_t> remainingFiles, bool unreadable, Date now);

    // Raw value + "/" + name, or "-" without a name: "Arq/Daily", "Arq/-".
    std::string id() const;
    // The raw value alone without a name, else raw value + ": " + name.
    std::string label() const;

    bool operator==(const ToolStatus&) const = default;
};

// The display name: "Arq", "Carbon Copy Cloner", "Backblaze", "Vorta", "SuperDuper!",
// "Duplicati", "ChronoSync".
std::string_view toText(ToolStatus::Tool tool);
// The tool whose display name is exactly `raw`; absent for any other text.
std::optional<ToolStatus::Tool> toolFromText(std::string_view raw);

// The issues the other tools' statuses raise, in the statuses' order and, per status, failed,
// then no completed backup or overdue (the Time Machine threshold `prefs.overdueDays`), then the
// warning (destination "tool:<id>:warn"). An unreadable status raises only its unknown issue;
// one with no backups set up only a green note. Every issue has kind `tool` and destination
// "tool:" + the status id.
std::vector<Issue> toolIssues(const std::vector<ToolStatus>& statuses,
                              const WatchPreferences& prefs, Date now);

// Adds a "completed" event for each status's last success and a "failed" event for each failed
// latest attempt, unless an event with the same identity is already in the history (so a run
// seen at every check is recorded once). Unreadable statuses add nothing. The events end sorted
// by date (stable) and capped at historyCap, oldest dropped.
void recordToolEvents(const std::vector<ToolStatus>& statuses, HistoryRecord& history);

} // namespace quorvane
