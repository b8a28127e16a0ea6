#include "othertools/ChronoSync.h"

#include "checks/Coverage.h"
#include "health/Issue.h"
#include "othertools/KeyedArchive.h"
#include "othertools/SafeRead.h"

#include <charconv>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>

namespace quorvane {

namespace {

std::vector<std::string> splitAtQuotes(std::string_view text, bool keepEmpty) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t quote = text.find('"', start);
        std::string_view piece = text.substr(
            start, quote == std::string_view::npos ? std::string_view::npos : quote - start);
        if (keepEmpty || !piece.empty())
            pieces.emplace_back(piece);
        if (quote == std::string_view::npos)
            return pieces;
        start = quote + 1;
    }
}

std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    if (path == "/")
        return "/";
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

ToolStatus chronoSyncStatus(std::optional<std::string> name, std::optional<std::string> destination,
                            std::optional<Date> lastSync, bool warnings,
                            std::optional<std::string> reason, bool unreadable, Date now) {
    return ToolStatus(ToolStatus::Tool::chronoSync, std::move(name), std::move(destination),
                      lastSync, lastSync, false, warnings, std::move(reason), std::nullopt,
                      unreadable, now);
}

const ArchiveClassPolicy& documentPolicy() {
    static const std::set<std::string, std::less<>> text{"NSString", "NSMutableString"};
    static const ArchiveClassPolicy policy{
        {"NSArray", "NSMutableArray", "NSString", "NSMutableString", "NSDate", "NSData",
         "NSMutableData", "NSURL", "NSNumber"},
        {{"DocumentRef",
          {"ChronoSyncDocumentRef",
           {{"NAME", text}, {"SDAT", {"NSDate"}}, {"SUMY", text}, {"RNAM", text}}}}}};
    return policy;
}

// The path and volume of a target described as "PATH" on "VOLUME"; absent for any other shape.
std::optional<std::pair<std::string, std::string>> quotedTarget(std::string_view description) {
    auto pieces = splitAtQuotes(description, true);
    if (pieces.size() <= 4 || pieces[2] != " on ")
        return std::nullopt;
    return std::pair{std::move(pieces[1]), std::move(pieces[3])};
}

// A member of the expected type, or absent when it is missing or of another type.
std::optional<std::string> stringMember(const ArchiveObject& object, std::string_view key) {
    auto found = object.members.find(key);
    if (found == object.members.end() || !found->second.string())
        return std::nullopt;
    return *found->second.string();
}

std::optional<Date> dateMember(const ArchiveObject& object, std::string_view key) {
    auto found = object.members.find(key);
    if (found == object.members.end() || !found->second.date())
        return std::nullopt;
    return *found->second.date();
}

} // namespace

std::string chronoSyncDocuments(const Mac& mac) {
    return mac.homePath("Library/Application Support/ChronoSync/Documents.data");
}

std::optional<std::int64_t> chronoSyncErrorCount(const std::optional<std::string>& summary) {
    if (!summary)
        return std::nullopt;
    const std::string_view text = *summary;
    constexpr std::string_view marker = "Errors:";
    for (std::size_t at = text.find(marker); at != std::string_view::npos;
         at = text.find(marker, at + 1)) {
        std::size_t i = at + marker.size();
        while (i < text.size() && isSpace(text[i]))
            ++i;
        const std::size_t digits = i;
        while (i < text.size() && isDigit(text[i]))
            ++i;
        if (i == digits)
            continue; // "Errors:" without a number is not a match; look further on
        std::int64_t count = 0;
        auto [end, error] = std::from_chars(text.data() + digits, text.data() + i, count);
        if (error != std::errc() || end != text.data() + i)
            return std::nullopt;
        return count;
    }
    return std::nullopt;
}

std::optional<std::string>
chronoSyncDestinationLabel(const std::optional<std::string>& description) {
    if (!description)
        return std::nullopt;
    // A target on the top level of a volume has an empty path: the volume names it.
    if (auto target = quotedTarget(*description))
        return target->first.empty() ? target->second : lastPathComponent(target->first);
    auto pieces = splitAtQuotes(*description, false);
    if (pieces.empty())
        return std::nullopt;
    return lastPathComponent(pieces.front());
}

std::optional<std::vector<std::string>>
chronoSyncDestinationCandidates(const std::optional<std::string>& description) {
    if (!description)
        return std::nullopt;
    auto target = quotedTarget(*description);
    if (!target)
        return std::nullopt;
    const auto& [path, volume] = *target;
    if (path.empty())
        return std::vector<std::string>{"/Volumes/" + volume};
    return std::vector<std::string>{"/" + path, "/Volumes/" + volume + "/" + path};
}

std::optional<std::vector<ChronoSyncTask>> parseChronoSyncDocuments(std::string_view bytes) {
    ArchiveLimits limits;
    limits.maxBytes = chronoSyncReadLimit;
    auto root = decodeKeyedArchive(bytes, documentPolicy(), limits);
    if (!root || !root->array())
        return std::nullopt;
    std::vector<ChronoSyncTask> tasks;
    for (const ArchiveValue& element : *root->array()) {
        const ArchiveObject* ref = element.object();
        if (!ref || ref->className != "ChronoSyncDocumentRef")
            continue;
        tasks.push_back({stringMember(*ref, "NAME").value_or("Task"), dateMember(*ref, "SDAT"),
                         stringMember(*ref, "SUMY"), stringMember(*ref, "RNAM")});
    }
    return tasks;
}

std::vector<ToolStatus> chronoSyncStatuses(const std::vector<ChronoSyncTask>& tasks, Date now,
                                           const std::function<bool(const std::string&)>& exists) {
    if (tasks.empty()) {
        ToolStatus none = chronoSyncStatus(std::nullopt, std::nullopt, std::nullopt, false,
                                           std::nullopt, false, now);
        none.noBackupsSetUp = true;
        return {none};
    }
    std::vector<ToolStatus> statuses;
    statuses.reserve(tasks.size());
    for (const ChronoSyncTask& task : tasks) {
        const std::int64_t errors = chronoSyncErrorCount(task.summary).value_or(0);
        const auto candidates = chronoSyncDestinationCandidates(task.destination);
        bool missing = false;
        if (candidates) {
            missing = true;
            for (const std::string& candidate : *candidates) {
                if (exists(candidate)) {
                    missing = false;
                    break;
                }
            }
        }
        auto label = chronoSyncDestinationLabel(task.destination);
        bool warnings = false;
        std::optional<std::string> reason;
        if (missing) {
            warnings = true;
            reason = "can't find its destination \u201C" + label.value_or("its destination") +
                     "\u201D. Is the disk connected, or was the folder moved?";
        } else if (errors > 0) {
            warnings = true;
            reason = "the last sync finished with " + plural(errors, "error") +
                     ". Open ChronoSync and click Log for the details.";
        }
        ToolStatus status = chronoSyncStatus(task.name, std::move(label), task.lastSync, warnings,
                                             std::move(reason), false, now);
        status.destinationKind = "local";
        statuses.push_back(std::move(status));
    }
    return statuses;
}

std::optional<std::vector<ToolStatus>> readChronoSync(const Mac& mac, std::string_view path,
                                                      Date now) {
    std::error_code error;
    const auto archive = std::filesystem::symlink_status(mac.hostPath(path), error);
    if (!std::filesystem::exists(archive)) {
        const auto app =
            std::filesystem::symlink_status(mac.hostPath(chronoSyncApplication), error);
        if (!std::filesystem::exists(app))
            return std::nullopt;
        return chronoSyncStatuses({}, now);
    }
    if (auto bytes = readSmallFile(mac, path, chronoSyncReadLimit)) {
        std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        if (auto tasks = parseChronoSyncDocuments(text)) {
            // Only a definite "no" counts as missing; a folder we must not probe counts as there.
            auto exists = [&mac](const std::string& folder) {
                return safeFolderExists(mac, folder, mac.home) != std::optional<bool>(false);
            };
            return chronoSyncStatuses(*tasks, now, exists);
        }
    }
    return std::vector<ToolStatus>{
        chronoSyncStatus(std::nullopt, std::nullopt, std::nullopt, false, std::nullopt, true, now)};
}

} // namespace quorvane
