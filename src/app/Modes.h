#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvane {

// The three ways the program runs.
enum class Mode { printStatus, smokeTest, application };

struct Invocation {
    Mode mode = Mode::application;
    std::optional<std::string> outputPath; // for printStatus: the argument after "--print-status"

    bool operator==(const Invocation&) const = default;
};

// Chooses the mode from the arguments (without the program name), compared whole and
// case-sensitively; unknown arguments are ignored. "--print-status" wins over "--smoke-test",
// and the argument right after the first "--print-status" is its output path unless it is one
// of the program's own options.
Invocation chooseMode(const std::vector<std::string>& arguments);

} // namespace quorvane
