#include "health/ProtectionSummary.h"

#include <set>
#include <string_view>

namespace quorvane {

namespace {

constexpr std::string_view localDisk = "local disk";
constexpr std::string_view networkDisk = "network disk";
constexpr std::string_view cloud = "cloud";

bool oneOf(std::string_view word, std::initializer_list<std::string_view> words) {
    for (std::string_view candidate : words)
        if (word == candidate)
            return true;
    return false;
}

std::string_view placeKind(StoragePlace place) {
    switch (place) {
    case StoragePlace::local:
        return localDisk;
    case StoragePlace::network:
        return networkDisk;
    case StoragePlace::cloud:
        return cloud;
    case StoragePlace::unknown:
        return "unknown storage";
    }
    return "unknown storage";
}

std::string_view toolKind(const ToolStatus& status) {
    switch (status.tool) {
    case ToolStatus::Tool::ccc:
    case ToolStatus::Tool::superDuper:
    case ToolStatus::Tool::chronoSync:
        return localDisk;
    case ToolStatus::Tool::backblaze:
        return cloud;
    case ToolStatus::Tool::vorta:
        return status.destinationKind == "local" ? localDisk : "remote server";
    case ToolStatus::Tool::arq:
    case ToolStatus::Tool::duplicati:
        return placeKind(arqPlace(status.destinationKind));
    }
    return "unknown storage";
}

std::string copiesLine(int copies) {
    const int backups = copies - 1;
    if (backups == 0)
        return "Copies: only the files on this Mac. No backup has completed. The 3-2-1 rule "
               "suggests 3 copies.";
    if (backups == 1)
        return "Copies: 2: this Mac and 1 backup. The 3-2-1 rule suggests 3.";
    return "Copies: " + std::to_string(copies) + ": this Mac and " + std::to_string(backups) +
           " backups. Meets the 3-2-1 rule.";
}

std::string kindsLine(const std::vector<std::string>& kinds) {
    if (kinds.size() < 2)
        return "Kinds of storage: " + (kinds.empty() ? std::string("none seen") : kinds.front()) +
               ". A second kind (for example cloud) guards against one failing.";
    std::string joined;
    for (const std::string& kind : kinds)
        joined += (joined.empty() ? "" : ", ") + kind;
    return "Kinds of storage: " + joined + ". Meets the 3-2-1 rule.";
}

} // namespace

StoragePlace arqPlace(const std::optional<std::string>& destinationKind) {
    if (!destinationKind)
        return StoragePlace::unknown;
    const std::string_view word = *destinationKind;
    if (oneOf(word, {"folder", "local"}))
        return StoragePlace::local;
    if (oneOf(word, {"nas", "sftp", "smb", "afp", "ssh"}))
        return StoragePlace::network;
    if (oneOf(word,
              {"b2", "s3", "aws", "wasabi", "arqcloud", "arq cloud", "arq_cloud", "googledrive",
               "google drive", "gdrive", "googlecloudstorage", "gcs", "onedrive", "dropbox",
               "azure", "backblaze", "s3compatible", "storj", "idrive"}))
        return StoragePlace::cloud;
    return StoragePlace::unknown;
}

ProtectionSummary protectionSummary(const std::optional<TimeMachineSettings>& settings,
                                    const std::vector<ToolStatus>& tools) {
    int copies = 1;
    std::set<std::string> kinds;
    if (settings) {
        for (const BackupDestination& destination : settings->destinations) {
            if (!destination.lastCompleted())
                continue;
            ++copies;
            kinds.emplace(destination.kind == BackupDestination::Kind::network ? networkDisk
                                                                               : localDisk);
        }
    }
    for (const ToolStatus& status : tools) {
        if (!status.lastSuccess || status.unreadable)
            continue;
        ++copies;
        kinds.emplace(toolKind(status));
    }
    // Only a cloud copy is surely away from home: a network disk may sit in the same house.
    const bool cloudSeen = kinds.count(std::string(cloud)) != 0;

    ProtectionSummary summary;
    summary.copies = copies;
    summary.kinds.assign(kinds.begin(), kinds.end());
    if (cloudSeen)
        summary.offSite = true;
    summary.lines = {
        copiesLine(copies),
        kindsLine(summary.kinds),
        cloudSeen ? "Off-site copy: yes (cloud)."
                  : "Off-site copy: none that Quorvane Ombrel can see. A copy away from home "
                    "guards against theft, fire or flood.",
        "iCloud Drive, iCloud Photos, Dropbox and similar aren't counted as copies: they sync, so "
        "a deletion or a damaged file reaches every device.",
        "Quorvane Ombrel only counts backups it watches. Other copies may exist.",
    };
    return summary;
}

} // namespace quorvane
