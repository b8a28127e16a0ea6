#pragma once

#include "base/Mac.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Limits of one tool run.
inline constexpr std::size_t toolOutputCap = 20'000'000; // bytes of standard output kept
inline constexpr std::size_t toolErrorCap = 1'000'000;   // bytes of standard error kept
inline constexpr double toolPollInterval = 0.020;        // seconds between checks on the child

struct ToolLimits {
    std::size_t outputCap = toolOutputCap;
    std::size_t errorCap = toolErrorCap;
    // When set, standard output is handed over chunk by chunk as it arrives instead of being
    // collected in `ToolRun::output`; `outputCap` then limits the total handed over.
    std::function<void(std::string_view)> outputSink;
};

// How a run ended.
enum class ToolEnd {
    exited,       // the tool exited by itself; `status` is its exit status
    signalled,    // the tool died from a signal (or was stopped because it flooded its output)
    timedOut,     // still running at the time-out; it was killed
    refused,      // failed the trust check; nothing was launched
    launchFailed, // the trusted file could not be started
};

struct ToolRun {
    ToolEnd end = ToolEnd::refused;
    // The exit status; 128 + the signal number when the tool died from a signal; -1 when it was
    // not launched or timed out.
    int status = -1;
    std::string output;        // standard output, at most `outputCap` bytes (empty with a sink)
    std::string errors;        // standard error, at most `errorCap` bytes
    bool outputCapped = false; // the tool wrote more than `outputCap`: it was killed
    bool errorsCapped = false; // standard error was cut short (the tool kept running)

    // The tool ran to its end (by itself or killed for flooding), so `status` is meaningful.
    bool finished() const { return end == ToolEnd::exited || end == ToolEnd::signalled; }
};

// Runs the Mac's tool at `macPath` with `arguments`, never through a shell. The tool must pass
// `isTrustedExecutable`. Standard input is /dev/null; the child gets a small fixed environment
// (PATH of the system folders, and HOME, LANG, LC_ALL, TZ, TMPDIR passed on when set), and
// descriptor 3, which it was started through: its own file, or for a script its folder. The child
// leads its own process group; that group is killed when the tool times out or floods its output,
// and also once the tool has exited, so nothing it started outlives the run. Never blocks longer
// than the time-out plus one poll interval (plus the moment it takes to reap a killed child).
// A time-out (seconds) that is zero, negative or NaN gives the tool no time: it is not launched.
ToolRun runToolWithLimits(const Mac& mac, std::string_view macPath,
                          const std::vector<std::string>& arguments, double timeout,
                          const ToolLimits& limits = {});

// The result of a tool that ran to its end.
struct ToolOutput {
    int status = 0;
    std::string output;
    std::string errors;

    bool operator==(const ToolOutput&) const = default;
};

// Exit status and both outputs with the default caps; absent when the tool was refused, could not
// be launched or did not finish within `timeout` seconds. A tool stopped for flooding its output
// finishes with a non-zero status.
std::optional<ToolOutput> runToolCapturing(const Mac& mac, std::string_view macPath,
                                           const std::vector<std::string>& arguments,
                                           double timeout);

// Standard output of a tool that ran and exited with status 0; absent otherwise.
std::optional<std::string> runTool(const Mac& mac, std::string_view macPath,
                                   const std::vector<std::string>& arguments, double timeout);

// The trust check a tool must pass before it runs: a regular executable file (a symbolic link is
// refused, whatever it points at), owned by root or the running user and writable by neither group
// nor others, in a folder with the same ownership and permissions, and so is every folder above
// it up to "/", except that a sticky folder of root's (/tmp) may be writable by all. No link is
// followed below the Mac's root, and ".." is refused. `runToolWithLimits` starts the very file
// this check opened.
bool isTrustedExecutable(const Mac& mac, std::string_view macPath);

} // namespace quorvane
