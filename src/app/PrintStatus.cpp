#include "PrintStatus.h"

#include "base/IsoDate.h"
#include "checks/RecoveryAnswer.h"
#include "health/Health.h"
#include "health/Preferences.h"
#include "othertools/OtherTools.h"
#include "timemachine/DestinationInfo.h"
#include "timemachine/StatusText.h"

#include <charconv>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <ostream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {

namespace {

// Seconds each `tmutil` call may take.
constexpr double tmutilTimeout = 5.0;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The home folder of `user` on this machine, or nothing.
std::optional<std::string> homeOf(const std::string& user) {
    if (const passwd* entry = ::getpwnam(user.c_str()); entry && entry->pw_dir)
        return std::string(entry->pw_dir);
    return std::nullopt;
}

// Writes `text` to a new file beside `path` and renames it over `path`: a symbolic link at
// `path` is replaced rather than followed, and a reader never sees half the text.
void replaceFile(const std::string& path, std::string_view text) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string scratch = folder + ".quorvane-status-XXXXXX";
    const int fd = ::mkstemp(scratch.data());
    if (fd < 0)
        return;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, 0666 & ~mask) == 0;
    for (std::size_t written = 0; ok && written < text.size();) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            written += static_cast<std::size_t>(n);
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(scratch.c_str(), path.c_str()) != 0)
        ::unlink(scratch.c_str());
}

// The temporary folder of this process, standardised, with "/" appended.
std::string temporaryFolder() {
    std::error_code error;
    const auto folder = std::filesystem::temp_directory_path(error);
    return standardisedPath(error ? "/tmp" : folder.string(), "") + "/";
}

std::string withSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/')
        folder.push_back('/');
    return folder;
}

// The path with its symbolic links resolved (as far as it exists).
std::optional<std::string> realPath(const std::filesystem::path& path) {
    std::error_code error;
    auto real = std::filesystem::weakly_canonical(path, error);
    if (error)
        return std::nullopt;
    return real.string();
}

// The standardised path names a temporary folder, and so does the real folder the file would
// land in: a link inside /tmp does not carry the file elsewhere.
bool mayWriteTo(const std::string& standardised) {
    const std::string temporary = temporaryFolder();
    if (!insideTemporaryFolder(standardised, temporary))
        return false;
    const auto folder = realPath(std::filesystem::path(standardised).parent_path());
    if (!folder)
        return false;
    const std::string landing = withSlash(*folder);
    for (const std::string& allowed :
         {temporary, std::string("/tmp/"), std::string("/private/tmp/")})
        if (const auto real = realPath(allowed); real && startsWith(landing, withSlash(*real)))
            return true;
    return false;
}

} // namespace

std::optional<Date> fixedClock(const char* value) {
    if (!value || !*value)
        return std::nullopt;
    const std::string_view text(value);
    double seconds = 0;
    if (auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
        error == std::errc() && end == text.data() + text.size() && std::isfinite(seconds))
        return dateFromUnix(seconds);
    return parseIsoDate(text);
}

PrintoutReadings readPrintout(const Mac& mac, std::optional<Date> clock) {
    PrintoutReadings readings;
    readings.home = mac.home;
    readings.reading = readTimeMachineSettings(mac);
    if (readings.reading.isRead())
        readings.reading = SettingsReading::read(withDisplayNames(
            std::move(*readings.reading.settings), readDestinationInfo(mac, tmutilTimeout)));
    readings.now = clock.value_or(currentDate());
    readings.tools = readOtherTools(mac, readings.now);
    if (readings.reading.isRead())
        readings.run = readRunState(mac, tmutilTimeout);
    return readings;
}

std::vector<std::string> printoutLines(const PrintoutReadings& readings) {
    std::vector<std::string> lines;
    const RecoveryAnswer answer = recoveryAnswer(readings.reading.settings, readings.tools,
                                                 std::nullopt, readings.now, readings.home);
    lines.push_back(answer.headline);
    lines.push_back(answer.otherCopies.value_or(""));
    lines.push_back(answer.notIncluded.value_or(""));

    const StatusLine status = headline(readings.reading, readings.now);
    lines.push_back(status.title);
    lines.push_back(status.detail.value_or(""));

    // Nothing is snoozed, remembered or probed here: default preferences, no history.
    const WatchPreferences defaults;
    if (const auto& settings = readings.reading.settings) {
        for (const StatusLine& line : destinationLines(*settings, readings.now))
            lines.push_back(line.title + ": " + line.detail.value_or(""));
        for (const Issue& issue :
             evaluateHealth(*settings, readings.run, std::nullopt, {}, {}, defaults, readings.now))
            lines.push_back(issueLine(issue));
    }
    // The other tools' issues end the printout, whatever the reading.
    for (const Issue& issue : toolIssues(readings.tools, defaults, readings.now))
        lines.push_back(issueLine(issue));
    return lines;
}

std::string issueLine(const Issue& issue) {
    std::string line = "[" + std::string(toText(issue.level)) + "] " + issue.title;
    if (issue.detail)
        line += " \u2014 " + *issue.detail;
    return line;
}

std::string printoutText(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        if (line.empty())
            continue;
        for (const char c : line)
            text.push_back((static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c);
        text.push_back('\n');
    }
    return text;
}

std::string standardisedPath(std::string_view path, std::string_view home) {
    std::string expanded(path);
    if (startsWith(path, "~")) {
        const auto slash = path.find('/');
        const std::string user(path.substr(1, slash == std::string_view::npos ? slash : slash - 1));
        const std::optional<std::string> base =
            user.empty() ? std::optional(std::string(home)) : homeOf(user);
        if (base && !base->empty())
            expanded =
                *base + std::string(slash == std::string_view::npos ? "" : path.substr(slash));
    }

    const bool absolute = startsWith(expanded, "/");
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= expanded.size()) {
        const auto end = std::min(expanded.find('/', start), expanded.size());
        const std::string part = expanded.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(part); // a relative path keeps the climbs it cannot resolve
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t i = 0; i < parts.size(); ++i)
        result += (i ? "/" : "") + parts[i];
    return result.empty() ? "." : result;
}

bool insideTemporaryFolder(std::string_view standardised, std::string_view temporaryFolder) {
    return startsWith(standardised, temporaryFolder) || startsWith(standardised, "/tmp/") ||
           startsWith(standardised, "/private/tmp/");
}

void runPrintStatus(const Mac& mac, const std::optional<std::string>& outputPath, std::ostream& out,
                    std::ostream& err) {
    const char* home = std::getenv("HOME");
    const std::optional<std::string> target =
        outputPath ? std::optional(standardisedPath(*outputPath, home ? home : "")) : std::nullopt;
    // Refuse before reading anything: a refused run has no use for the readings.
    if (target && !mayWriteTo(*target)) {
        err << outsideTemporaryFolderMessage << std::flush;
        return;
    }
    const std::string text =
        printoutText(printoutLines(readPrintout(mac, fixedClock(std::getenv("QUORVANE_NOW")))));
    if (target)
        replaceFile(*target, text);
    else
        out << text << std::flush;
}

} // namespace quorvane
