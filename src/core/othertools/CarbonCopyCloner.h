#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "othertools/ToolStatus.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Carbon Copy Cloner's command-line tool inside its application bundle (a Mac path).
inline constexpr std::string_view cccPath =
    "/Applications/Carbon Copy Cloner.app/Contents/MacOS/ccc";

// Carbon Copy Cloner's tasks, one status per task, from the tool's task history and its list of
// scheduled tasks (two read-only queries, 10 seconds each at most). Absent when the tool is not
// installed; otherwise at least one status.
std::optional<std::vector<ToolStatus>> readCCC(const Mac& mac, Date now);

// The statuses for the history output `text` (standard output, a line feed, standard error) and
// the task list output: the history's tasks, then scheduled tasks that never ran; when neither
// names a task, one no-backups or unreadable status chosen from the messages in `text`.
std::vector<ToolStatus> cccStatuses(std::string_view text, std::optional<std::string_view> taskList,
                                    Date now);

// One status per task named in the history (pipe- or comma-separated rows), in order of first
// appearance; header lines and lines with fewer than 7 fields are skipped.
std::vector<ToolStatus> parseCCCHistory(std::string_view text, Date now);

// The task names of the task list: the first field of every line that begins with a double quote.
std::vector<std::string> parseCCCTaskNames(std::string_view text);

// The fields of one comma-separated line, leniently: quotes may wrap commas, a doubled quote
// inside quotes is one quote, an unterminated quote runs to the end; fields are trimmed.
std::vector<std::string> csvFields(std::string_view line);

} // namespace quorvane
