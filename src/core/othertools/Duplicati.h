#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "othertools/ToolStatus.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Duplicati's backup jobs, read from its server database (through a private copy; Duplicati
// itself is never contacted).

// The server database: home + "/Library/Application Support/Duplicati/Duplicati-server.sqlite".
std::string duplicatiDatabase(const Mac& mac);

// Where the application lives; its presence without a database means "installed, no backups".
inline constexpr std::string_view duplicatiApplication = "/Applications/Duplicati.app";

// One row of the "Backup" table with its "Metadata" entries.
struct DuplicatiJob {
    std::int64_t id = 0;
    std::string name;
    std::optional<std::string> targetURL;
    std::map<std::string, std::string> metadata;

    bool operator==(const DuplicatiJob&) const = default;
};

// One status per job. Absent when neither the database at `path` (a Mac path) nor the
// application exists; one no-backups status when only the application does; one unreadable
// status when the database cannot be copied, lacks "Backup" or "Metadata", or a query fails.
std::optional<std::vector<ToolStatus>> readDuplicati(const Mac& mac, std::string_view path,
                                                     Date now);

// One status per job, in order (one no-backups status for no jobs). A job has failed when its
// last error is later than its last good backup, or it has an error and no good backup at all.
std::vector<ToolStatus> duplicatiStatuses(const std::vector<DuplicatiJob>& jobs, Date now);

// Duplicati's compact UTC date text, "20250301T140509Z"; absent for any other form.
std::optional<Date> duplicatiDate(std::optional<std::string_view> text);

// The kind of destination a target URL names: "local" for file, "sftp" for ssh, ftp, aftp,
// webdav and smb, else the lower-cased scheme. Absent without a URL, without a scheme, and for
// an encrypted one ("enc-...").
std::optional<std::string> duplicatiKind(std::optional<std::string_view> targetURL);

} // namespace quorvane
