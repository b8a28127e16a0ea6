// make-sample-mac SOURCE TARGET
//
// Copies the static parts of the sample Mac (SOURCE) to TARGET and writes the files that carry
// dates, relative to the moment it runs: Time Machine's preferences (a binary property list) and
// the entries the fake `log` prints. The sample has two backup disks: a local disk with hourly
// backups up to yesterday evening, and a network share whose last three attempts failed.

#include <plist/plist.h>

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Marks a folder this program made, so a later run may replace it.
constexpr const char* marker = ".sample-mac";

constexpr const char* localID = "6C2F5A1E-3B7D-4E8A-9F10-2A4B6C8D0E12";
constexpr const char* shareID = "B7E1C9A4-5D2F-4B8E-A6C3-0F9D8E7C6B5A";
constexpr double plistEpoch = 978307200.0; // 2001-01-01 in Unix seconds

// Unix seconds of a wall-clock time `daysAgo` days before today in the local time zone.
double localTime(int daysAgo, int hour, int minute, int second = 0) {
    const std::time_t now = std::time(nullptr);
    std::tm day{};
    localtime_r(&now, &day);
    day.tm_mday -= daysAgo;
    day.tm_hour = hour;
    day.tm_min = minute;
    day.tm_sec = second;
    day.tm_isdst = -1;
    return static_cast<double>(std::mktime(&day));
}

std::string formatLocal(double unixSeconds, const char* pattern) {
    const auto seconds = static_cast<std::time_t>(std::floor(unixSeconds));
    std::tm local{};
    localtime_r(&seconds, &local);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, pattern, &local);
    return buffer;
}

// "2026-07-26 18:11:22.348728+1200", the way `log show` writes its timestamps.
std::string logTimestamp(double unixSeconds) {
    const long long micros = std::llround(unixSeconds * 1e6);
    const double whole = static_cast<double>(micros / 1'000'000);
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%06lld", micros % 1'000'000);
    return formatLocal(whole, "%Y-%m-%d %H:%M:%S") + fraction + formatLocal(whole, "%z");
}

plist_t dateNode(double unixSeconds) {
    const double since2001 = unixSeconds - plistEpoch;
    const double whole = std::floor(since2001);
    return plist_new_date(static_cast<int32_t>(whole),
                          static_cast<int32_t>((since2001 - whole) * 1e6));
}

plist_t dateList(const std::vector<double>& dates) {
    plist_t list = plist_new_array();
    for (double d : dates)
        plist_array_append_item(list, dateNode(d));
    return list;
}

struct Dated {
    std::vector<double> completed;
    std::vector<double> attempts;
};

// The local disk: daily evening backups for a month, then hourly all through yesterday; the disk
// has not been connected since.
Dated localDisk() {
    Dated d;
    for (int daysAgo = 30; daysAgo >= 2; --daysAgo) {
        d.attempts.push_back(localTime(daysAgo, 19, 58));
        d.completed.push_back(localTime(daysAgo, 20, 4, 17));
    }
    for (int hour = 9; hour <= 21; ++hour) {
        d.attempts.push_back(localTime(1, hour, 0, 12));
        d.completed.push_back(localTime(1, hour, 3, 40));
    }
    return d;
}

// The network share: fine until three days ago, then three attempts today that did not finish.
Dated networkShare(double now) {
    Dated d;
    for (int daysAgo = 21; daysAgo >= 3; daysAgo -= 2) {
        d.attempts.push_back(localTime(daysAgo, 12, 30));
        d.completed.push_back(localTime(daysAgo, 12, 51, 9));
    }
    for (int hoursAgo : {5, 3, 1})
        d.attempts.push_back(now - hoursAgo * 3600.0 - 420);
    return d;
}

plist_t timeMachinePreferences(const Dated& local, const Dated& share) {
    plist_t disk = plist_new_dict();
    plist_dict_set_item(disk, "DestinationID", plist_new_string(localID));
    plist_dict_set_item(disk, "LastKnownVolumeName", plist_new_string("Ann\u2019s Backup"));
    plist_t uuids = plist_new_array();
    plist_array_append_item(uuids, plist_new_string("1D4E7A2B-8C3F-4A6D-B5E9-0C1F2A3B4C5D"));
    plist_dict_set_item(disk, "DestinationUUIDs", uuids);
    plist_dict_set_item(disk, "SnapshotDates", dateList(local.completed));
    plist_dict_set_item(disk, "AttemptDates", dateList(local.attempts));
    plist_dict_set_item(disk, "RESULT", plist_new_uint(0));
    plist_dict_set_item(disk, "BytesUsed", plist_new_uint(412'300'000'000));
    plist_dict_set_item(disk, "BytesAvailable", plist_new_uint(587'700'000'000));
    plist_dict_set_item(disk, "LastKnownEncryptionState", plist_new_string("Encrypted"));

    // No volume name and no URL: the share's name and kind come from `tmutil destinationinfo`.
    plist_t nas = plist_new_dict();
    plist_dict_set_item(nas, "DestinationID", plist_new_string(shareID));
    plist_dict_set_item(nas, "SnapshotDates", dateList(share.completed));
    plist_dict_set_item(nas, "AttemptDates", dateList(share.attempts));
    plist_dict_set_item(nas, "RESULT", plist_new_uint(19));
    plist_dict_set_item(nas, "BytesUsed", plist_new_uint(1'623'000'000'000));
    plist_dict_set_item(nas, "QuotaGB", plist_new_uint(2000));
    plist_dict_set_item(nas, "LastKnownEncryptionState", plist_new_string("NotEncrypted"));

    plist_t destinations = plist_new_array();
    plist_array_append_item(destinations, disk);
    plist_array_append_item(destinations, nas);

    plist_t skip = plist_new_array();
    for (const char* path : {"/Users/ann/Downloads", "/Users/ann/Library/Caches", "/Applications"})
        plist_array_append_item(skip, plist_new_string(path));

    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "AutoBackup", plist_new_bool(1));
    plist_dict_set_item(root, "AutoBackupInterval", plist_new_uint(3600));
    plist_dict_set_item(root, "RequiresACPower", plist_new_bool(0));
    plist_dict_set_item(
        root, "LastBackupActivity",
        plist_new_string(formatLocal(share.attempts.back() + 95, "%Y-%m-%d-%H%M%S").c_str()));
    plist_dict_set_item(root, "SkipPaths", skip);
    plist_dict_set_item(root, "Destinations", destinations);
    return root;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/"; // the log tool escapes slashes
            break;
        default:
            out += c;
        }
    }
    return out + "\"";
}

std::string logEntry(double when, const char* type, const char* category,
                     const std::string& message) {
    return "{\"traceID\":8463201934855,\"eventMessage\":" + jsonString(message) +
           ",\"eventType\":\"logEvent\",\"source\":null,\"formatString\":\"%{public}@\","
           "\"activityIdentifier\":0,\"subsystem\":\"com.apple.TimeMachine\",\"category\":" +
           jsonString(category) +
           ",\"threadID\":91817,\"senderImageUUID\":\"4C1B8E22-7F3A-3D9B-A0E5-6D2C9B1F7A30\","
           "\"bootUUID\":\"\",\"processImagePath\":" +
           jsonString("/System/Library/CoreServices/backupd.bundle/Contents/Resources/backupd") +
           ",\"timestamp\":\"" + logTimestamp(when) + "\",\"senderImagePath\":" +
           jsonString(
               "/System/Library/PrivateFrameworks/TimeMachine.framework/Versions/A/TimeMachine") +
           ",\"machTimestamp\":1092837465012,\"messageType\":\"" + type +
           "\",\"processImageUUID\":\"9E3D5A71-2B6C-3F48-8D1E-C7A04B2F6E19\",\"processID\":611,"
           "\"senderProgramCounter\":301224,\"parentActivityIdentifier\":0,\"timezoneName\":\"\"}"
           "\n";
}

// What `log show --style ndjson` prints for Time Machine over the last day and a half.
std::string logEntries(const Dated& local, const Dated& share) {
    std::string out;
    int count = 0;
    auto add = [&](double when, const char* type, const char* category, const std::string& text) {
        out += logEntry(when, type, category, text);
        ++count;
    };
    const double windowStart = share.attempts.back() - 36 * 3600.0;
    for (std::size_t i = 0; i < local.completed.size(); ++i) {
        if (local.attempts[i] < windowStart)
            continue;
        add(local.attempts[i], "Default", "BackupScheduling", "Starting automatic backup");
        add(local.attempts[i] + 30, "Info", "Spotlight",
            "Querying Spotlight to find sticky exclusions");
        add(local.completed[i], "Default", "BackupCoreMachine",
            "Backup succeeded to \u201cAnn\u2019s Backup\u201d \u2713");
    }
    for (std::size_t i = share.completed.size(); i < share.attempts.size(); ++i) {
        const double when = share.attempts[i];
        add(when, "Default", "BackupScheduling", "Starting automatic backup");
        add(when + 31.5, "Error", "Mounting",
            "NAConnectToServerSync failed with error: 60 (Operation timed out) for url: "
            "smb://ann@nas.local/TimeMachine");
        add(when + 31.6, "Error", "BackupScheduling", "backupd.xpc: connection invalid");
        add(when + 32, "Error", "BackupScheduling",
            "Failed to mount destination \u201cLiving-room NAS\u201d \u2013 "
            "Zeit\u00fcberschreitung");
    }
    out += "{\"count\":" + std::to_string(count) + ",\"finished\":1}\n";
    return out;
}

// Copies the tree, folders 0755 and files 0644 (0755 when executable), so the fake tools pass the
// trust check whatever the umask or checkout left on the sources. Links are not copied.
void copyTree(const fs::path& from, const fs::path& to) {
    fs::create_directories(to);
    fs::permissions(to, fs::perms(0755));
    for (const auto& entry : fs::directory_iterator(from)) {
        const auto target = to / entry.path().filename();
        const auto status = entry.symlink_status();
        if (fs::is_directory(status)) {
            copyTree(entry.path(), target);
        } else if (fs::is_regular_file(status)) {
            fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
            const bool executable =
                (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
            fs::permissions(target, fs::perms(executable ? 0755 : 0644));
        }
    }
}

bool writeFile(const fs::path& path, const char* data, std::size_t size) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data, static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: make-sample-mac SOURCE TARGET\n";
        return 2;
    }
    const fs::path source = argv[1];
    const fs::path target = argv[2];
    try {
        if (!fs::is_directory(source)) {
            std::cerr << "make-sample-mac: " << source << " is not a folder\n";
            return 1;
        }
        // Replace only a sample Mac made earlier; never delete a folder this program did not make.
        if (fs::exists(target)) {
            if (!fs::is_empty(target) && !fs::exists(target / marker)) {
                std::cerr << "make-sample-mac: " << target
                          << " exists and is not a sample Mac; not replacing it\n";
                return 1;
            }
            fs::remove_all(target);
        }
        copyTree(source, target);
        std::ofstream(target / marker) << "made by make-sample-mac\n";

        const double now = static_cast<double>(std::time(nullptr));
        const Dated local = localDisk();
        const Dated share = networkShare(now);

        plist_t preferences = timeMachinePreferences(local, share);
        char* binary = nullptr;
        uint32_t length = 0;
        plist_to_bin(preferences, &binary, &length);
        plist_free(preferences);
        const bool wrote =
            binary &&
            writeFile(target / "Library/Preferences/com.apple.TimeMachine.plist", binary, length);
        plist_to_bin_free(binary);

        const std::string log = logEntries(local, share);
        if (!wrote ||
            !writeFile(target / "usr/share/sample-tools/log-show.ndjson", log.data(), log.size())) {
            std::cerr << "make-sample-mac: could not write the dated files\n";
            return 1;
        }
    } catch (const fs::filesystem_error& error) {
        std::cerr << "make-sample-mac: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
