#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "othertools/ToolStatus.h"

#include <optional>
#include <string_view>
#include <vector>

namespace quorvane {

// Arq's command-line status tool (a Mac path); run with "stats", it prints a JSON document.
inline constexpr std::string_view arqcPath = "/Applications/Arq.app/Contents/Resources/arqc";

// Arq's backup plans, one status per plan, from one run of its status tool (10 seconds at most).
// Absent when the tool is not installed; otherwise at least one status.
std::optional<std::vector<ToolStatus>> readArq(const Mac& mac, Date now);

// The statuses for the tool's output: its plans, or one status saying why there are none (licence
// not accepted, output not understood, no plans set up). Never empty.
std::vector<ToolStatus> arqStatuses(std::string_view output, Date now);

// One status per plan of the JSON document in `output` (anything the tool prints before the
// first "{" is skipped); empty when the output is not such a document.
std::vector<ToolStatus> parseArqStats(std::string_view output, Date now);

} // namespace quorvane
