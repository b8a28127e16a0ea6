#include "PrintStatus.h"

#include "base/IsoDate.h"
#include "base/MacPath.h"
#include "checks/RecoveryAnswer.h"
#include "health/Health.h"
#include "health/Preferences.h"
#include "othertools/OtherTools.h"
#include "timemachine/DestinationInfo.h"
#include "timemachine/StatusText.h"

#include <algorithm>
#include <charconv>
#include <random>
#include <utility>
#include <vector>

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

// The length in bytes of the character that starts `text` when it could break the printout's
// lines or reorder what is shown (C0 controls, DEL, NEL, the line and paragraph separators and
// the bidirectional embeddings, overrides and isolates), else 0.
std::size_t lineBreakingLength(std::string_view text) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (byte(0) < 0x20 || byte(0) == 0x7f)
        return 1;
    if (text.size() >= 2 && byte(0) == 0xc2 && byte(1) == 0x85) // U+0085
        return 2;
    if (text.size() >= 3 && byte(0) == 0xe2) {
        if (byte(1) == 0x80 && byte(2) >= 0xa8 && byte(2) <= 0xae) // U+2028 to U+202E
            return 3;
        if (byte(1) == 0x81 && byte(2) >= 0xa6 && byte(2) <= 0xa9) // U+2066 to U+2069
            return 3;
    }
    return 0;
}

// Closes its descriptor once.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }

private:
    int fd_;
};

// The folder the printout lands in, opened when the path is judged, and the file's name in it.
// Everything later happens relative to that descriptor, so swapping a folder on the path for a
// link while the Mac is read cannot carry the file elsewhere.
struct Landing {
    Fd folder; // not open when the folder could not be opened: the file is then not made
    std::string name;
};

// The temporary folders the printout may write into, each standardised and ending in "/".
std::vector<std::string> temporaryFolders() {
    std::error_code error;
    const auto folder = std::filesystem::temp_directory_path(error);
    return {standardisedPath(error ? "/tmp" : folder.string(), "") + "/", "/tmp/", "/private/tmp/"};
}

// Opens the folder of `standardised`, a path inside one of `allowed`: the temporary folder
// itself as the system names it (on a Mac /tmp is a link), then each folder below it without
// following links.
Landing openLanding(const std::string& standardised, const std::vector<std::string>& allowed) {
    Landing landing;
    const auto base = std::find_if(allowed.begin(), allowed.end(), [&](const std::string& f) {
        return startsWith(standardised, f);
    });
    if (base == allowed.end())
        return landing;
    Fd folder(::open(base->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string_view rest = std::string_view(standardised).substr(base->size());
    for (auto slash = rest.find('/'); folder.open() && slash != std::string_view::npos;
         slash = rest.find('/')) {
        const std::string part(rest.substr(0, slash));
        folder = Fd(
            ::openat(folder.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        rest.remove_prefix(slash + 1);
    }
    if (folder.open() && !rest.empty()) {
        landing.folder = std::move(folder);
        landing.name = std::string(rest);
    }
    return landing;
}

bool writeAll(int fd, std::string_view text) {
    for (std::size_t written = 0; written < text.size();) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes `text` to a new file in the landing folder and renames it over the file's name: a link
// at that name is replaced rather than followed, and a reader never sees half the text.
void replaceFile(const Landing& landing, std::string_view text) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string scratch = ".quorvane-status-" + std::to_string(random());
        // Default attributes: 0666 less the umask.
        const int fd = ::openat(landing.folder.get(), scratch.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return;
        }
        bool ok = writeAll(fd, text);
        ok = ::close(fd) == 0 && ok;
        if (!ok || ::renameat(landing.folder.get(), scratch.c_str(), landing.folder.get(),
                              landing.name.c_str()) != 0)
            ::unlinkat(landing.folder.get(), scratch.c_str(), 0);
        return;
    }
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
        for (std::size_t i = 0; i < line.size();) {
            const std::size_t breaking = lineBreakingLength(std::string_view(line).substr(i));
            if (breaking > 0) {
                text.push_back(' ');
                i += breaking;
            } else {
                text.push_back(line[i++]);
            }
        }
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

    return standardisedMacPath(expanded);
}

bool insideTemporaryFolder(std::string_view standardised, std::string_view temporaryFolder) {
    return startsWith(standardised, temporaryFolder) || startsWith(standardised, "/tmp/") ||
           startsWith(standardised, "/private/tmp/");
}

void runPrintStatus(const Mac& mac, const std::optional<std::string>& outputPath, std::ostream& out,
                    std::ostream& err) {
    std::optional<Landing> landing;
    if (outputPath) {
        const char* home = std::getenv("HOME");
        const std::string target = standardisedPath(*outputPath, home ? home : "");
        const std::vector<std::string> allowed = temporaryFolders();
        // Refuse before reading anything: a refused run has no use for the readings.
        if (!insideTemporaryFolder(target, allowed.front())) {
            err << outsideTemporaryFolderMessage << std::flush;
            return;
        }
        landing = openLanding(target, allowed);
        if (!landing->folder.open())
            return; // a file that cannot be made is not reported
    }
    const std::string text =
        printoutText(printoutLines(readPrintout(mac, fixedClock(std::getenv("QUORVANE_NOW")))));
    if (landing)
        replaceFile(*landing, text);
    else
        out << text << std::flush;
}

} // namespace quorvane
