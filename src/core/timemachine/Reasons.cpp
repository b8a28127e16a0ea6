#include "timemachine/Reasons.h"

#include "base/IsoDate.h"

#include <nlohmann/json.hpp>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <array>
#include <cstring>

namespace quorvane {

namespace {

constexpr std::string_view backupFailed = "Backup failed";

constexpr std::array<std::string_view, 5> noise = {
    "backupd.sandbox.xpc: connection invalid",      "backupd.xpc: connection invalid",
    "backupd.status.xpc: connection invalid",       "fs_snapshot_list failed",
    "Querying Spotlight to find sticky exclusions",
};

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// Turkish and Azeri fold the dotted and dotless i differently from every other language.
bool turkicLocale() {
    const char* language = icu::Locale::getDefault().getLanguage();
    return std::strcmp(language, "tr") == 0 || std::strcmp(language, "az") == 0;
}

icu::UnicodeString folded(std::string_view text, uint32_t options) {
    icu::UnicodeString result =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), int32_t(text.size())));
    result.foldCase(options);
    return result;
}

// Case-insensitive containment by Unicode case folding, with the locale's folding of "i" as well
// as the common one: log tokens are English whatever the user's language, so a Turkish locale must
// not make "failed" miss "FAILED".
std::function<bool(std::string_view)> containsIgnoringCase(std::string_view needle) {
    struct Needle {
        icu::UnicodeString common;
        std::optional<icu::UnicodeString> turkic;
    };
    auto prepared = std::make_shared<Needle>(Needle{folded(needle, U_FOLD_CASE_DEFAULT), {}});
    if (turkicLocale())
        prepared->turkic = folded(needle, U_FOLD_CASE_EXCLUDE_SPECIAL_I);
    return [prepared](std::string_view line) {
        if (folded(line, U_FOLD_CASE_DEFAULT).indexOf(prepared->common) >= 0)
            return true;
        return prepared->turkic &&
               folded(line, U_FOLD_CASE_EXCLUDE_SPECIAL_I).indexOf(*prepared->turkic) >= 0;
    };
}

std::vector<Signature> makeSignatures() {
    const auto diskCheck = "Use a bigger disk, or exclude large folders you don't need backed up.";
    std::vector<Signature> table;
    table.push_back({"result-19", containsIgnoringCase("BACKUP_FAILED_TARGETVOL_NOT_MOUNTED"),
                     "Your backup disk couldn't be opened.",
                     "Is the disk connected, or the NAS on and awake?"});
    table.push_back({"result-18", containsIgnoringCase("BACKUP_FAILED_TARGETVOL_NOT_FOUND"),
                     "Your backup disk couldn't be found.",
                     "Is the disk connected? If it's a NAS, is it on and on this network?"});
    table.push_back({"result-56", containsIgnoringCase("BACKUP_FAILED_TARGETVOL_DISK_FULL"),
                     "Your backup disk is full, even after Time Machine removed old backups.",
                     diskCheck});
    table.push_back(
        {"thinning-full", containsIgnoringCase("Insufficient free space after thinning"),
         "There wasn't enough room on the backup disk, even after removing old backups.",
         diskCheck});
    table.push_back({"nas-timeout",
                     [](std::string_view line) {
                         return contains(line, "NAConnectToServerSync failed") &&
                                contains(line, "60");
                     },
                     "Your NAS didn't respond in time.", "Is the NAS awake and on this network?"});
    table.push_back({"nas-name", containsIgnoringCase("Bonjour resolution not possible"),
                     "Your Mac can't find the NAS by name.",
                     "Is it on the same network? Has its name changed?"});
    table.push_back({"nas-login", containsIgnoringCase("OpenSession failed 80"),
                     "The NAS refused the login (a known macOS 26.4 issue).",
                     "Update macOS, and check the NAS's SMB settings."});
    table.push_back({"locked", containsIgnoringCase("BACKUP_FAILED_DEVICE_LOCKED"),
                     "The backup was skipped because your Mac was locked.", std::nullopt});
    table.push_back({"notify-failed",
                     containsIgnoringCase("DeliverNotification: connection invalid"),
                     "Time Machine tried to warn you but couldn't.", std::nullopt});
    return table;
}

} // namespace

void to_json(nlohmann::json& json, const FailureReason& reason) {
    json = nlohmann::json::object();
    json["key"] = reason.key;
    json["title"] = reason.title;
    if (reason.check)
        json["check"] = *reason.check;
    json["line"] = reason.line;
    if (reason.date)
        json["date"] = isoDateText(*reason.date);
}

void from_json(const nlohmann::json& json, FailureReason& reason) {
    FailureReason read;
    json.at("key").get_to(read.key);
    json.at("title").get_to(read.title);
    json.at("line").get_to(read.line);
    if (const auto check = json.find("check"); check != json.end() && !check->is_null())
        read.check = check->get<std::string>();
    if (const auto date = json.find("date"); date != json.end() && !date->is_null()) {
        read.date = parseIsoDate(date->get<std::string>());
        if (!read.date)
            throw nlohmann::json::other_error::create(501, "date is not ISO 8601", &json);
    }
    reason = std::move(read);
}

const std::vector<Signature>& signatures() {
    static const std::vector<Signature> table = makeSignatures();
    return table;
}

bool isNoise(std::string_view line) {
    for (std::string_view part : noise)
        if (contains(line, part))
            return true;
    return false;
}

std::optional<FailureReason> reasonForLine(std::string_view line, std::optional<Date> date) {
    if (isNoise(line))
        return std::nullopt;
    for (const Signature& signature : signatures())
        if (signature.match(line))
            return FailureReason{signature.key, signature.title, signature.check, std::string(line),
                                 date};
    if (contains(line, backupFailed))
        return FailureReason{
            std::string(unknownReasonKey),
            "Time Machine reported an error Quorvane Ombrel doesn't recognise yet.",
            "The details are below.", std::string(line), date};
    return std::nullopt;
}

std::optional<FailureReason> reasonForResultCode(std::optional<std::int64_t> code) {
    if (!code)
        return std::nullopt;
    switch (*code) {
    case 18:
        return reasonForLine("BACKUP_FAILED_TARGETVOL_NOT_FOUND", std::nullopt);
    case 19:
        return reasonForLine("BACKUP_FAILED_TARGETVOL_NOT_MOUNTED", std::nullopt);
    case 56:
        return reasonForLine("BACKUP_FAILED_TARGETVOL_DISK_FULL", std::nullopt);
    default:
        return std::nullopt;
    }
}

std::optional<FailureReason> bestReason(const std::vector<DatedLine>& lines) {
    std::optional<FailureReason> newestNotification;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        auto reason = reasonForLine(it->line, it->date);
        if (!reason)
            continue;
        if (reason->key != "notify-failed")
            return reason;
        if (!newestNotification)
            newestNotification = std::move(reason);
    }
    return newestNotification;
}

} // namespace quorvane
