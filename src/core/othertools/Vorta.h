#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "othertools/ToolStatus.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Vorta (a front end for Borg) profiles, read from Vorta's settings database through a private
// copy, with error messages of failed runs taken from the tail of Vorta's log.

// home + "/Library/Application Support/Vorta/settings.db"
std::string vortaDatabase(const Mac& mac);
// home + "/Library/Logs/Vorta/vorta.log"
std::string vortaLog(const Mac& mac);

// How much of the end of the log is read, at most.
inline constexpr std::size_t vortaLogTail = 262'144;

struct VortaProfile {
    std::int64_t id = 0;
    std::string name;
    std::optional<std::string> repoURL;

    bool operator==(const VortaProfile&) const = default;
};

// One row of Vorta's event log. Vorta stores the profile as text: its id, or in old rows its name.
// A run that is still going (or was cut short) has the return code -1.
struct VortaEvent {
    std::optional<std::string> profile;
    std::optional<std::string> subcommand;
    std::optional<Date> start;
    std::optional<Date> end;
    std::int64_t returncode = 0;
    std::optional<std::string> message;

    bool operator==(const VortaEvent&) const = default;
};

// One status per profile that has a repository. Absent when there is no file at `path` (a Mac
// path); one unreadable status when the database cannot be copied, lacks one of its tables, or
// the profile or event query fails. Failed runs without a message get one from the last
// `vortaLogTail` bytes of the log at `logPath`, which is never read through a link.
std::optional<std::vector<ToolStatus>> readVorta(const Mac& mac, std::string_view path,
                                                 std::string_view logPath, Date now);

// One status per profile with a repository, in order (one no-backups status when there is none).
// `archiveTimes` maps a profile id to its repository's newest archive; `folderMissing` tells
// whether a local repository folder is definitely gone.
std::vector<ToolStatus> vortaStatuses(const std::vector<VortaProfile>& profiles,
                                      const std::vector<VortaEvent>& events,
                                      const std::map<std::int64_t, Date>& archiveTimes,
                                      const std::function<bool(std::string_view)>& folderMissing,
                                      Date now);

// The message of the last error line of Vorta's Borg job stamped within [from - 1 s, to + 1 s],
// cut to 300 characters; absent when there is none.
std::optional<std::string> vortaLogError(std::string_view log, Date from, Date to);

// A short name for a repository: the folder name of a local one, the host of an SSH or URL one,
// else "a remote repository".
std::string vortaRepoLabel(std::string_view url);

// A date as Vorta stores it, local time without a zone: "yyyy-MM-dd HH:mm:ss.SSSSSS" or, when
// the fraction is zero, "yyyy-MM-dd HH:mm:ss". Absent for any other form.
std::optional<Date> vortaDate(std::optional<std::string_view> text);

} // namespace quorvane
