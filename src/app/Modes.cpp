#include "Modes.h"

#include <algorithm>

namespace quorvane {

Invocation chooseMode(const std::vector<std::string>& arguments) {
    const auto printStatus = std::find(arguments.begin(), arguments.end(), "--print-status");
    if (printStatus != arguments.end()) {
        Invocation invocation{Mode::printStatus, std::nullopt};
        // "--print-status --smoke-test" asks for the printout; the option is no file name.
        if (auto next = std::next(printStatus);
            next != arguments.end() && *next != "--smoke-test" && *next != "--print-status")
            invocation.outputPath = *next;
        return invocation;
    }
    if (std::find(arguments.begin(), arguments.end(), "--smoke-test") != arguments.end())
        return {Mode::smokeTest, std::nullopt};
    return {Mode::application, std::nullopt};
}

} // namespace quorvane
