#include "othertools/Duplicati.h"

#include "othertools/FixedDate.h"
#include "othertools/ForeignText.h"
#include "othertools/SafeRead.h"
#include "othertools/ToolText.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>

namespace quorvane {

namespace {

constexpr std::size_t databaseLimit = 50'000'000;
constexpr double queryLimit = 3.0;
constexpr std::size_t messageLimit = 300;
// The metadata a status is made from; other keys are not kept.
constexpr std::array<std::string_view, 5> metadataKeys = {"LastBackupFinished", "LastBackupDate",
                                                          "LastErrorDate", "LastErrorMessage",
                                                          "LastBackupStarted"};

ToolStatus blankStatus(Date now) {
    return ToolStatus(ToolStatus::Tool::duplicati, std::nullopt, std::nullopt, std::nullopt,
                      std::nullopt, false, false, std::nullopt, std::nullopt, false, now);
}

std::vector<ToolStatus> unreadableStatus(Date now) {
    ToolStatus status = blankStatus(now);
    status.unreadable = true;
    return {status};
}

bool exists(const Mac& mac, std::string_view path) {
    std::error_code error;
    return std::filesystem::exists(mac.hostPath(path), error);
}

std::optional<std::string_view> value(const DuplicatiJob& job, const std::string& key) {
    auto found = job.metadata.find(key);
    if (found == job.metadata.end())
        return std::nullopt;
    return std::string_view(found->second);
}

} // namespace

std::string duplicatiDatabase(const Mac& mac) {
    return mac.homePath("Library/Application Support/Duplicati/Duplicati-server.sqlite");
}

std::optional<Date> duplicatiDate(std::optional<std::string_view> text) {
    if (!text)
        return std::nullopt;
    auto fields = readDateFields(*text, "yyyyMMddTHHmmssZ");
    return fields ? std::optional(utcDate(*fields)) : std::nullopt;
}

std::optional<std::string> duplicatiKind(std::optional<std::string_view> targetURL) {
    // Since 2.1 the URL may be stored encrypted; its scheme is then unknowable.
    if (!targetURL || targetURL->starts_with("enc-"))
        return std::nullopt;
    std::size_t colon = targetURL->find(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    const std::string scheme = lowercased(repairedUTF8(targetURL->substr(0, colon)));
    if (scheme == "file")
        return "local";
    if (scheme == "ssh" || scheme == "ftp" || scheme == "aftp" || scheme == "webdav" ||
        scheme == "smb")
        return "sftp";
    return scheme;
}

std::vector<ToolStatus> duplicatiStatuses(const std::vector<DuplicatiJob>& jobs, Date now) {
    if (jobs.empty()) {
        ToolStatus status = blankStatus(now);
        status.noBackupsSetUp = true;
        return {status};
    }
    std::vector<ToolStatus> statuses;
    statuses.reserve(std::min(jobs.size(), maxToolJobs));
    for (const DuplicatiJob& job : jobs) {
        if (statuses.size() >= maxToolJobs)
            break;
        std::optional<Date> good = duplicatiDate(value(job, "LastBackupFinished"));
        if (!good)
            good = duplicatiDate(value(job, "LastBackupDate"));
        std::optional<Date> error = duplicatiDate(value(job, "LastErrorDate"));
        // Duplicati keeps the last error after later successful runs, so only a newer one counts.
        bool failed = error && (!good || *error > *good);
        std::optional<std::string> message;
        if (auto text = value(job, "LastErrorMessage"); text && !text->empty())
            message = firstCharacters(*text, messageLimit);

        std::optional<Date> lastAttempt;
        std::optional<std::string> reason;
        if (failed) {
            lastAttempt = error;
            reason = message ? "Duplicati reported: " + *message : "Duplicati reported an error.";
        } else {
            lastAttempt = duplicatiDate(value(job, "LastBackupStarted"));
        }
        ToolStatus status(ToolStatus::Tool::duplicati, job.name, std::nullopt, good, lastAttempt,
                          failed, false, std::move(reason), std::nullopt, false, now);
        status.destinationKind = duplicatiKind(job.targetURL);
        statuses.push_back(std::move(status));
    }
    return statuses;
}

std::optional<std::vector<ToolStatus>> readDuplicati(const Mac& mac, std::string_view path,
                                                     Date now) {
    if (!exists(mac, path)) {
        if (exists(mac, duplicatiApplication))
            return duplicatiStatuses({}, now);
        return std::nullopt;
    }
    auto copy = SafeSQLite::copying(mac, path, {"Backup", "Metadata"}, databaseLimit, queryLimit);
    if (!copy)
        return unreadableStatus(now);

    // At most `maxToolJobs` jobs, and of their metadata only what a status is made from, so a
    // database of a million rows costs no more than the statuses shown.
    std::vector<DuplicatiJob> jobs;
    std::set<std::int64_t> jobIDs;
    bool jobsRead = copy->rows("SELECT ID, Name, TargetURL FROM Backup", [&](sqlite3_stmt* row) {
        if (jobs.size() >= maxToolJobs)
            return;
        DuplicatiJob job;
        job.id = sqlite3_column_int64(row, 0);
        job.name = columnText(row, 1).value_or("Backup");
        job.targetURL = columnText(row, 2);
        jobIDs.insert(job.id);
        jobs.push_back(std::move(job));
    });
    std::map<std::int64_t, std::map<std::string, std::string>> metadata;
    bool metadataRead =
        jobsRead &&
        copy->rows("SELECT BackupID, Name, Value FROM Metadata", [&](sqlite3_stmt* row) {
            const std::int64_t id = sqlite3_column_int64(row, 0);
            auto name = columnText(row, 1);
            if (jobIDs.count(id) == 0 || !name ||
                std::find(metadataKeys.begin(), metadataKeys.end(), *name) == metadataKeys.end())
                return;
            auto text = columnText(row, 2);
            if (!text)
                return;
            if (*name == "LastErrorMessage")
                text = firstCharacters(*text, messageLimit);
            metadata[id][std::move(*name)] = std::move(*text);
        });
    copy->close();
    if (!jobsRead || !metadataRead)
        return unreadableStatus(now);

    for (DuplicatiJob& job : jobs)
        if (auto found = metadata.find(job.id); found != metadata.end())
            job.metadata = found->second; // two jobs may share an id
    return duplicatiStatuses(jobs, now);
}

} // namespace quorvane
