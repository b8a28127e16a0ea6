#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "othertools/ToolStatus.h"

#include <vector>

namespace quorvane {

// Runs the seven backup-application readers one after another on the calling thread and
// concatenates what they return, in this fixed order: Arq, Carbon Copy Cloner, Backblaze, Vorta,
// SuperDuper!, Duplicati, ChronoSync. An application that is not installed contributes nothing;
// no sorting, no de-duplication. Blocks while readers run tools and copy databases, so callers
// run it off the main thread.
std::vector<ToolStatus> readOtherTools(const Mac& mac, Date now);

// Reader convention (each reader in its own othertools/<App>.h/.cpp):
//
//   std::optional<std::vector<ToolStatus>> readArq(const Mac& mac, Date now);
//   std::optional<std::vector<ToolStatus>> readCCC(const Mac& mac, Date now);
//   std::optional<std::vector<ToolStatus>> readBackblaze(const Mac& mac, Date now);
//   std::optional<std::vector<ToolStatus>> readVorta(const Mac& mac, std::string_view path,
//                                                    std::string_view logPath, Date now);
//   std::optional<std::vector<ToolStatus>> readSuperDuper(const Mac& mac, std::string_view root,
//                                                         Date now);
//   std::optional<std::vector<ToolStatus>> readDuplicati(const Mac& mac, std::string_view path,
//                                                        Date now);
//   std::optional<std::vector<ToolStatus>> readChronoSync(const Mac& mac, std::string_view path,
//                                                         Date now);
//
// - `mac` comes first, `now` last; `now` is what every ToolStatus constructor gets.
// - Path parameters are Mac paths, mapped to files only through mac.hostPath (via SafeRead).
// - A reader that takes a path also declares the production path in its header, computed from
//   the user's home folder, for example:
//     std::string vortaDatabase(const Mac& mac); // mac.homePath("Library/.../settings.db")
//     std::string vortaLog(const Mac& mac);
//     std::string superDuperSettings(const Mac& mac);
//     std::string duplicatiDatabase(const Mac& mac);
//     std::string chronoSyncDocuments(const Mac& mac);
// - Absent result: the application is not installed. A present list (possibly one unreadable
//   or no-backups status) is shown as it is. Readers never throw.

} // namespace quorvane
