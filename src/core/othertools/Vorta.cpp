#include "othertools/Vorta.h"

#include "checks/Coverage.h"
#include "othertools/FixedDate.h"
#include "othertools/ForeignText.h"
#include "othertools/SafeRead.h"
#include "othertools/ToolText.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {

namespace {

constexpr std::size_t databaseLimit = 50'000'000;
constexpr double queryLimit = 3.0;
constexpr std::size_t messageLimit = 300;
// Longer than any time text Vorta writes ("2026-11-30 10:00:00.123456"), with room to spare.
constexpr std::size_t longestArchiveTime = 64;
constexpr std::string_view errorMarker = " - vorta.borg.borg_job - ERROR - ";

std::vector<ToolStatus> unreadableStatus(Date now) {
    return {ToolStatus(ToolStatus::Tool::vorta, std::nullopt, std::nullopt, std::nullopt,
                       std::nullopt, false, false, std::nullopt, std::nullopt, true, now)};
}

bool failedRun(const VortaEvent& event) {
    return event.returncode > 1;
}

bool withoutMessage(const VortaEvent& event) {
    return !event.message || event.message->empty();
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view space = " \t\r\n\v\f";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// One error line of Vorta's Borg job: its time stamp and its message (trimmed, not empty).
struct LogError {
    Date stamp;
    std::string_view message;
};

// The Borg job's error lines of the log, in log order. The log is read once however many runs
// then look for their error in it.
std::vector<LogError> borgJobErrors(std::string_view log) {
    std::vector<LogError> errors;
    while (!log.empty()) {
        std::size_t newline = log.find('\n');
        std::string_view line = log.substr(0, newline);
        log = newline == std::string_view::npos ? std::string_view{} : log.substr(newline + 1);
        std::size_t marker = line.find(errorMarker);
        if (marker == std::string_view::npos)
            continue;
        auto fields = readDateFields(line.substr(0, marker), "yyyy-MM-dd HH:mm:ss,SSS");
        if (!fields)
            continue;
        std::string_view message = trimmed(line.substr(marker + errorMarker.size()));
        if (!message.empty())
            errors.push_back({localDate(*fields), message});
    }
    return errors;
}

// The last error stamped within [from - 1 s, to + 1 s], cut to the message limit.
std::optional<std::string> lastErrorWithin(const std::vector<LogError>& errors, Date from,
                                           Date to) {
    const Date earliest = addSeconds(from, -1), latest = addSeconds(to, 1);
    for (auto error = errors.rbegin(); error != errors.rend(); ++error)
        if (error->stamp >= earliest && error->stamp <= latest)
            return firstCharacters(error->message, messageLimit);
    return std::nullopt;
}

// The last `vortaLogTail` bytes of the log as text. Absent when the log is missing, a link or
// anything but a regular file, or cannot be read.
std::optional<std::string> readLogTail(const Mac& mac, std::string_view logPath) {
    const std::string file = mac.hostPath(logPath).string();
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    // O_NOFOLLOW and the second check close the gap in which the file could become a link.
    int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::optional<std::string> text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        off_t size = info.st_size;
        off_t from =
            size > static_cast<off_t>(vortaLogTail) ? size - static_cast<off_t>(vortaLogTail) : 0;
        if (::lseek(fd, from, SEEK_SET) == from) {
            std::string bytes(vortaLogTail, '\0');
            std::size_t got = 0;
            bool failed = false;
            while (got < bytes.size()) {
                ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    failed = true;
                if (n <= 0)
                    break;
                got += static_cast<std::size_t>(n);
            }
            if (!failed) {
                bytes.resize(got);
                text = repairedUTF8(bytes);
            }
        }
    }
    ::close(fd);
    return text;
}

// Fills in the message of failed runs that have none from the log, reading the log only when
// there is such a run.
void addLogMessages(const Mac& mac, std::string_view logPath, std::vector<VortaEvent>& events) {
    bool needed = std::any_of(events.begin(), events.end(), [](const VortaEvent& event) {
        return failedRun(event) && withoutMessage(event);
    });
    if (!needed)
        return;
    std::optional<std::string> log = readLogTail(mac, logPath);
    if (!log)
        return;
    const std::vector<LogError> errors = borgJobErrors(*log);
    for (VortaEvent& event : events)
        if (failedRun(event) && withoutMessage(event) && event.start && event.end)
            if (auto message = lastErrorWithin(errors, *event.start, *event.end))
                event.message = std::move(message);
}

} // namespace

std::string vortaDatabase(const Mac& mac) {
    return mac.homePath("Library/Application Support/Vorta/settings.db");
}

std::string vortaLog(const Mac& mac) {
    return mac.homePath("Library/Logs/Vorta/vorta.log");
}

std::optional<Date> vortaDate(std::optional<std::string_view> text) {
    if (!text)
        return std::nullopt;
    auto fields = readDateFields(*text, "yyyy-MM-dd HH:mm:ss.SSSSSS");
    if (!fields)
        fields = readDateFields(*text, "yyyy-MM-dd HH:mm:ss");
    return fields ? std::optional(localDate(*fields)) : std::nullopt;
}

std::string vortaRepoLabel(std::string_view url) {
    constexpr std::string_view fallback = "a remote repository";
    if (url.starts_with('/')) {
        // The folder's name, ignoring trailing slashes.
        std::string_view path = url;
        while (path.size() > 1 && path.back() == '/')
            path.remove_suffix(1);
        std::size_t slash = path.rfind('/');
        return std::string(path.size() == 1 ? path : path.substr(slash + 1));
    }
    if (std::size_t at = url.find('@'); at != std::string_view::npos) {
        // user@host:path, or ssh://user@host:port/path
        std::string_view rest = url.substr(at + 1);
        std::string_view host;
        if (rest.starts_with('[')) {
            std::size_t close = rest.find(']');
            host = close == std::string_view::npos ? std::string_view{} : rest.substr(0, close + 1);
        } else {
            host = rest.substr(0, rest.find_first_of(":/"));
        }
        return host.empty() ? std::string(fallback) : std::string(host);
    }
    // scheme://host[:port][/path]
    std::size_t schemeEnd = url.find("://");
    if (schemeEnd != std::string_view::npos && schemeEnd > 0) {
        std::string_view scheme = url.substr(0, schemeEnd);
        bool validScheme = std::isalpha(static_cast<unsigned char>(scheme.front())) &&
                           std::all_of(scheme.begin(), scheme.end(), [](char c) {
                               return std::isalnum(static_cast<unsigned char>(c)) || c == '+' ||
                                      c == '-' || c == '.';
                           });
        std::string_view authority = url.substr(schemeEnd + 3);
        authority = authority.substr(0, authority.find_first_of("/?#"));
        std::string_view host = authority.starts_with('[')
                                    ? authority.substr(0, authority.find(']') + 1)
                                    : authority.substr(0, authority.find(':'));
        if (validScheme && !host.empty())
            return std::string(host);
    }
    return std::string(fallback);
}

std::optional<std::string> vortaLogError(std::string_view log, Date from, Date to) {
    return lastErrorWithin(borgJobErrors(log), from, to);
}

std::vector<ToolStatus> vortaStatuses(const std::vector<VortaProfile>& profiles,
                                      const std::vector<VortaEvent>& events,
                                      const std::map<std::int64_t, Date>& archiveTimes,
                                      const std::function<bool(std::string_view)>& folderMissing,
                                      Date now) {
    std::vector<const VortaProfile*> usable;
    for (const VortaProfile& profile : profiles)
        if (profile.repoURL && !profile.repoURL->empty() && usable.size() < maxToolJobs)
            usable.push_back(&profile);
    if (usable.empty()) {
        ToolStatus status(ToolStatus::Tool::vorta, std::nullopt, std::nullopt, std::nullopt,
                          std::nullopt, false, false, std::nullopt, std::nullopt, false, now);
        status.noBackupsSetUp = true;
        return {status};
    }
    // Vorta's own "Default" profile, alone, needs no name.
    const bool showNames = !(usable.size() == 1 && usable.front()->name == "Default");

    std::vector<ToolStatus> statuses;
    for (const VortaProfile* profile : usable) {
        const std::string& url = *profile->repoURL;
        const std::string idText = std::to_string(profile->id);
        std::vector<const VortaEvent*> runs;
        for (const VortaEvent& event : events)
            if (event.subcommand == "create" && event.profile &&
                (*event.profile == idText || *event.profile == profile->name))
                runs.push_back(&event);
        std::stable_sort(runs.begin(), runs.end(), [](const VortaEvent* a, const VortaEvent* b) {
            return a->start.value_or(Date::min()) > b->start.value_or(Date::min());
        });

        const VortaEvent* latest = runs.empty() ? nullptr : runs.front();
        std::optional<Date> lastSuccess;
        for (const VortaEvent* run : runs)
            if (run->returncode == 0 || run->returncode == 1) {
                lastSuccess = run->end;
                break;
            }
        if (auto archive = archiveTimes.find(profile->id); archive != archiveTimes.end())
            lastSuccess = lastSuccess ? std::max(*lastSuccess, archive->second) : archive->second;

        const bool local = url.starts_with('/');
        const bool failed = latest && failedRun(*latest);
        const bool missing = local && folderMissing && folderMissing(url);
        const bool warned = latest && latest->returncode == 1;
        std::optional<std::string> message;
        if (latest && !withoutMessage(*latest))
            message = latest->message;

        std::optional<std::string> reason;
        if (failed && message)
            reason = "Vorta reported: " + *message;
        else if (failed)
            reason = "Borg ended with error code " + std::to_string(latest->returncode) + ".";
        else if (missing)
            reason = "can't find its repository folder \u201c" + vortaRepoLabel(url) +
                     "\u201d. Is the disk connected, or was the folder moved?";
        else if (warned)
            reason = "Finished with warnings" + (message ? ": " + *message : std::string("."));

        ToolStatus status(ToolStatus::Tool::vorta,
                          showNames ? std::optional(profile->name) : std::nullopt,
                          vortaRepoLabel(url), lastSuccess, latest ? latest->start : std::nullopt,
                          failed, missing || warned, std::move(reason), std::nullopt, false, now);
        status.destinationKind = local ? "local" : "remote";
        statuses.push_back(std::move(status));
    }
    return statuses;
}

std::optional<std::vector<ToolStatus>> readVorta(const Mac& mac, std::string_view path,
                                                 std::string_view logPath, Date now) {
    std::error_code error;
    if (!std::filesystem::exists(mac.hostPath(path), error))
        return std::nullopt;
    auto copy = SafeSQLite::copying(
        mac, path, {"backupprofilemodel", "repomodel", "eventlogmodel", "archivemodel"},
        databaseLimit, queryLimit);
    if (!copy)
        return unreadableStatus(now);

    // Only profiles with a repository give a status, and at most `maxToolJobs` of them: a
    // database of a million profiles must not become a million statuses.
    std::vector<VortaProfile> profiles;
    std::map<std::int64_t, std::vector<std::int64_t>> profilesOfRepo; // kept profiles only
    bool profilesRead = copy->rows(
        "SELECT p.id, p.name, r.url, p.repo_id FROM backupprofilemodel p "
        "LEFT JOIN repomodel r ON r.id = p.repo_id",
        [&](sqlite3_stmt* row) {
            if (profiles.size() >= maxToolJobs)
                return;
            std::optional<std::string> url = columnText(row, 2);
            if (!url || url->empty())
                return;
            const std::int64_t id = sqlite3_column_int64(row, 0);
            if (sqlite3_column_type(row, 3) != SQLITE_NULL)
                profilesOfRepo[sqlite3_column_int64(row, 3)].push_back(id);
            profiles.push_back({id, columnText(row, 1).value_or("Default"), std::move(url)});
        });
    std::vector<VortaEvent> events;
    bool eventsRead = copy->rows(
        "SELECT profile, subcommand, start_time, end_time, returncode, message FROM eventlogmodel "
        "WHERE subcommand = 'create' ORDER BY id DESC LIMIT 500",
        [&](sqlite3_stmt* row) {
            std::optional<std::string> message = columnText(row, 5);
            if (message)
                message = firstCharacters(*message, messageLimit);
            events.push_back({columnText(row, 0), columnText(row, 1), vortaDate(columnText(row, 2)),
                              vortaDate(columnText(row, 3)), sqlite3_column_int64(row, 4),
                              std::move(message)});
        });
    // Archives also count when they were made outside Vorta; without them the event log decides.
    // One plain pass over the archives, keeping the greatest time text per repository of a kept
    // profile: letting SQLite group a million archives by repository sorts them all in a
    // temporary tree, which took seconds. Text compares as SQLite's MAX does (bytewise); text
    // too long to be a date is skipped.
    std::map<std::int64_t, std::string> newestArchive;
    copy->rows("SELECT repo_id, time FROM archivemodel", [&](sqlite3_stmt* row) {
        if (sqlite3_column_type(row, 0) == SQLITE_NULL ||
            sqlite3_column_type(row, 1) != SQLITE_TEXT)
            return;
        const std::int64_t repo = sqlite3_column_int64(row, 0);
        if (!profilesOfRepo.contains(repo))
            return;
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row, 1));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(row, 1));
        if (!text || size > longestArchiveTime)
            return;
        const std::string_view time(text, size);
        auto [kept, inserted] = newestArchive.try_emplace(repo, time);
        if (!inserted && time > kept->second)
            kept->second = time;
    });
    std::map<std::int64_t, Date> archiveTimes;
    for (const auto& [repo, text] : newestArchive)
        if (auto time = vortaDate(text))
            for (const std::int64_t id : profilesOfRepo.at(repo))
                archiveTimes[id] = *time;
    copy->close();
    if (!profilesRead || !eventsRead)
        return unreadableStatus(now);

    addLogMessages(mac, logPath, events);
    auto folderMissing = [&](std::string_view folder) {
        return safeFolderExists(mac, folder, mac.home) == false;
    };
    return vortaStatuses(profiles, events, archiveTimes, folderMissing, now);
}

} // namespace quorvane
