#include "othertools/SuperDuper.h"
#include "base/PropertyList.h"

#include "othertools/SafeRead.h"

#include <plist/plist.h>

#include "othertools/ToolText.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace quorvane {

namespace {

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Builds a new string rather than replacing in place: a line of a million escapes must not cost
// a million shifts of the rest of the line.
void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    std::size_t at = text.find(from);
    if (at == std::string::npos)
        return;
    std::string out;
    out.reserve(text.size());
    std::size_t done = 0;
    for (; at != std::string::npos; at = text.find(from, done)) {
        out.append(text, done, at - done);
        out.append(to);
        done = at + from.size();
    }
    out.append(text, done, std::string::npos);
    text = std::move(out);
}

std::string trimmed(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && space(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

enum class Kind { missing, directory, other };

Kind kindOf(const Mac& mac, const std::string& path) {
    if (isRealDirectory(mac, path))
        return Kind::directory;
    std::error_code error;
    auto status = std::filesystem::symlink_status(mac.hostPath(path), error);
    return std::filesystem::exists(status) ? Kind::other : Kind::missing;
}

enum class Listing { unopened, complete, cut };

// Calls `visit` with every name in the real folder at `path`, in directory order. The folder is
// opened without following a link and listed through that descriptor, so what is listed is the
// folder that was checked even if the path changes meanwhile. The walk stops after `limit`
// names: `cut` then says the folder was not seen whole.
Listing listFolder(const Mac& mac, const std::string& path, std::size_t limit,
                   const std::function<void(std::string_view)>& visit) {
    const int fd =
        ::open(mac.hostPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return Listing::unopened;
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::fdopendir(fd), &::closedir);
    if (!folder) {
        ::close(fd);
        return Listing::unopened;
    }
    std::size_t seen = 0;
    while (const dirent* entry = ::readdir(folder.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (++seen > limit)
            return Listing::cut;
        visit(name);
    }
    return Listing::complete;
}

// A setting package's name when `entry` is one ("Nightly.sdsp" or ".Nightly.sdsp").
std::optional<std::string> settingName(std::string_view entry) {
    if (!endsWith(entry, ".sdsp"))
        return std::nullopt;
    std::string setting(entry.substr(0, entry.size() - 5));
    if (!setting.empty() && setting.front() == '.')
        setting.erase(0, 1);
    return setting;
}

std::optional<std::string> targetVolume(const Mac& mac, const std::string& package) {
    auto bytes = readSmallFile(mac, package + "/Session Settings.sdss", superDuperSettingsLimit);
    if (!bytes)
        return std::nullopt;
    PropertyList root = parsePropertyList(
        std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return std::nullopt;
    return plistString(plist_dict_get_item(root.get(), "SDtargetVolumeName"));
}

bool parseNumber(std::string_view text, std::size_t at, std::size_t width, int& value) {
    if (at + width > text.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + width; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

} // namespace

std::string superDuperSettings(const Mac& mac) {
    return mac.homePath("Library/Application Support/SuperDuper!/Saved Settings");
}

std::optional<Date> superDuperLogStart(std::string_view name) {
    // "2026-12-08 21:00:03 +0100"
    if (name.size() != 25 || name[4] != '-' || name[7] != '-' || name[10] != ' ' ||
        name[13] != ':' || name[16] != ':' || name[19] != ' ' ||
        (name[20] != '+' && name[20] != '-'))
        return std::nullopt;
    int year, month, day, hour, minute, second, offsetHours, offsetMinutes;
    if (!parseNumber(name, 0, 4, year) || !parseNumber(name, 5, 2, month) ||
        !parseNumber(name, 8, 2, day) || !parseNumber(name, 11, 2, hour) ||
        !parseNumber(name, 14, 2, minute) || !parseNumber(name, 17, 2, second) ||
        !parseNumber(name, 21, 2, offsetHours) || !parseNumber(name, 23, 2, offsetMinutes))
        return std::nullopt;
    using namespace std::chrono;
    const year_month_day date{std::chrono::year{year},
                              std::chrono::month{static_cast<unsigned>(month)},
                              std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59 || offsetHours > 23 ||
        offsetMinutes > 59)
        return std::nullopt;
    const double local = static_cast<double>(sys_days(date).time_since_epoch().count()) * 86400.0 +
                         hour * 3600.0 + minute * 60.0 + second;
    const double offset =
        (name[20] == '-' ? -1.0 : 1.0) * (offsetHours * 3600.0 + offsetMinutes * 60.0);
    return dateFromUnix(local - offset);
}

std::vector<std::string> superDuperLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view piece = text.substr(start, end - start);
        start = end + 1;
        const std::size_t column = piece.find("| ");
        if (column == std::string_view::npos)
            continue;
        std::string line(piece.substr(column));
        replaceAll(line, "\\'93", "\u201C");
        replaceAll(line, "\\'94", "\u201D");
        replaceAll(line, "\\{", "{");
        replaceAll(line, "\\}", "}");
        if (auto colour = line.find("\\cf"); colour != std::string::npos)
            line.erase(colour);
        while (!line.empty() && (line.back() == '\\' || line.back() == ' '))
            line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

SuperDuperRun parseSuperDuperLog(std::string_view text, Date start) {
    SuperDuperRun run{start, false, std::nullopt, false};
    const auto lines = superDuperLines(text);
    constexpr std::string_view action = "...ACTION: ";
    std::optional<std::string> step;
    bool sawError = false;
    for (const std::string& line : lines) {
        if (endsWith(line, "| Info | Copy complete."))
            run.completed = true;
        if (auto at = line.find(action); at != std::string::npos)
            step = trimmed(std::string_view(line).substr(at + action.size()));
        if (!sawError && line.find("| Error |") != std::string::npos) {
            sawError = true;
            run.failedStep = step;
        }
    }
    run.failed = sawError && !run.completed;
    return run;
}

std::optional<ToolStatus> superDuperStatus(const std::string& setting,
                                           const std::optional<std::string>& target,
                                           std::vector<SuperDuperRun> runs, Date now) {
    if (runs.empty())
        return std::nullopt;
    std::stable_sort(runs.begin(), runs.end(), [](const SuperDuperRun& a, const SuperDuperRun& b) {
        return a.start > b.start;
    });
    const SuperDuperRun& latest = runs.front();
    std::optional<std::string> name;
    if (setting != "Default Settings")
        name = setting;
    std::optional<Date> lastSuccess;
    if (auto done =
            std::find_if(runs.begin(), runs.end(), [](const auto& r) { return r.completed; });
        done != runs.end())
        lastSuccess = done->start;
    std::optional<std::string> reason;
    if (latest.failed) {
        reason = latest.failedStep ? "SuperDuper! stopped with an error while \u201C" +
                                         *latest.failedStep + "\u201D."
                                   : std::string("SuperDuper! stopped with an error.");
        *reason += " Open SuperDuper! and click View Log for the details.";
    }
    ToolStatus status(ToolStatus::Tool::superDuper, std::move(name), target, lastSuccess,
                      latest.start, latest.failed, false, std::move(reason), std::nullopt, false,
                      now);
    status.destinationKind = "local";
    return status;
}

SuperDuperNewestLogs::SuperDuperNewestLogs(std::size_t keep) : keep_(keep) {}

void SuperDuperNewestLogs::offer(std::string_view name) {
    if (!endsWith(name, ".sdlog"))
        return;
    std::string stem(name);
    for (auto at = stem.find(".sdlog"); at != std::string::npos; at = stem.find(".sdlog"))
        stem.erase(at, 6);
    const std::optional<Date> start = superDuperLogStart(stem);
    if (!start)
        return;
    logs_.insert(SuperDuperLog{std::string(name), *start});
    if (logs_.size() > keep_)
        logs_.erase(std::prev(logs_.end()));
}

std::vector<SuperDuperLog> SuperDuperNewestLogs::newest() const {
    return {logs_.begin(), logs_.end()};
}

bool SuperDuperNewestLogs::Newer::operator()(const SuperDuperLog& a, const SuperDuperLog& b) const {
    // Newest first; logs of the same moment in name order, so the choice never depends on the
    // order in which the folder lists them.
    if (a.start != b.start)
        return a.start > b.start;
    return a.name < b.name;
}

std::optional<std::vector<ToolStatus>> readSuperDuper(const Mac& mac, std::string_view root,
                                                      Date now) {
    const std::string rootPath(root);
    if (kindOf(mac, std::string(superDuperApplication)) == Kind::missing &&
        kindOf(mac, rootPath) == Kind::missing)
        return std::nullopt;
    const auto blank = [now](std::optional<std::string> name) {
        return ToolStatus(ToolStatus::Tool::superDuper, std::move(name), std::nullopt, std::nullopt,
                          std::nullopt, false, false, std::nullopt, std::nullopt, false, now);
    };
    const auto noBackups = [&] {
        ToolStatus none = blank(std::nullopt);
        none.noBackupsSetUp = true;
        return std::vector<ToolStatus>{none};
    };

    // The packages in name order, at most `maxToolJobs` of them.
    std::set<std::string> entries;
    const Listing rootListing = isRealDirectory(mac, rootPath)
                                    ? listFolder(mac, rootPath, superDuperNamesWalked,
                                                 [&](std::string_view name) {
                                                     if (!endsWith(name, ".sdsp"))
                                                         return;
                                                     entries.emplace(name);
                                                     if (entries.size() > maxToolJobs)
                                                         entries.erase(std::prev(entries.end()));
                                                 })
                                    : Listing::unopened;
    if (rootListing == Listing::unopened)
        return noBackups();
    if (rootListing == Listing::cut) {
        ToolStatus unreadable = blank(std::nullopt);
        unreadable.unreadable = true;
        return std::vector<ToolStatus>{unreadable};
    }

    std::vector<ToolStatus> statuses;
    for (const std::string& entry : entries) {
        const std::string package = rootPath + "/" + entry;
        if (!isRealDirectory(mac, package))
            continue;
        const std::string logsFolder = package + "/Logs";
        const Kind logsKind = kindOf(mac, logsFolder);
        if (logsKind == Kind::other)
            continue;
        std::string setting = *settingName(entry);
        const auto target = targetVolume(mac, package);

        SuperDuperNewestLogs logs;
        if (logsKind == Kind::directory &&
            listFolder(mac, logsFolder, superDuperNamesWalked,
                       [&](std::string_view name) { logs.offer(name); }) == Listing::cut) {
            // Some subset of a folder too big to list would pick an arbitrary "latest" run.
            ToolStatus unreadable = blank(
                setting == "Default Settings" ? std::nullopt : std::optional<std::string>(setting));
            unreadable.unreadable = true;
            statuses.push_back(std::move(unreadable));
            continue;
        }

        std::vector<SuperDuperRun> runs;
        for (const SuperDuperLog& log : logs.newest()) {
            if (auto text = readSmallText(mac, logsFolder + "/" + log.name, superDuperLogLimit))
                runs.push_back(parseSuperDuperLog(*text, log.start));
        }
        if (auto status = superDuperStatus(setting, target, std::move(runs), now))
            statuses.push_back(std::move(*status));
    }
    if (statuses.empty())
        return noBackups();
    return statuses;
}

} // namespace quorvane
