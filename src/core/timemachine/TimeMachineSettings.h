#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "base/PropertyList.h"

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Time Machine's preferences domain and the file that holds it.
inline constexpr std::string_view timeMachineDomain = "com.apple.TimeMachine";
inline constexpr std::string_view timeMachinePlistPath =
    "/Library/Preferences/com.apple.TimeMachine.plist";

// A settings file larger than this is not read at all (and counts as unreadable): a real one is a
// few hundred kilobytes even after years of snapshots.
inline constexpr std::uintmax_t maxSettingsFileBytes = 16 * 1024 * 1024;

// One backup destination as Time Machine's preferences describe it.
struct BackupDestination {
    enum class Kind { local, network, unknown };

    std::string id = "unknown";      // Time Machine's destination identifier
    std::optional<std::string> name; // volume name, network host, or the display name merged later
    Kind kind = Kind::unknown;
    std::vector<Date> completed; // snapshot dates, ascending
    std::vector<Date> attempts;  // attempt dates, ascending
    std::optional<std::int64_t> resultCode;
    std::optional<std::int64_t> bytesUsed;
    std::optional<std::int64_t> bytesAvailable;
    std::optional<std::int64_t> quotaGB;        // decimal gigabytes
    std::optional<std::string> networkURL;      // as stored, may be empty
    std::optional<std::string> encryptionState; // as stored

    // The latest completed backup / attempt (the lists are ascending).
    std::optional<Date> lastCompleted() const;
    std::optional<Date> lastAttempt() const;
    // All attempts when nothing completed, else the attempts strictly after the last completion.
    int attemptsSinceLastCompleted() const;
    // Used share of the quota when one is set (> 0), else of used + available; absent without
    // bytesUsed or when neither gives a positive total.
    std::optional<double> fractionFull() const;
    // For each completion, its distance from the latest attempt at or before it within a day.
    std::vector<double> durations() const;
    // Whole days from the oldest completion to `now`, truncated toward zero.
    std::optional<int> retentionDays(Date now) const;
    // Lowercased scheme and host of `networkURL`; absent when it does not parse or lacks them.
    std::optional<std::string> scheme() const;
    std::optional<std::string> host() const;

    bool operator==(const BackupDestination&) const = default;
};

// The text form of a destination kind: "local", "network", "unknown".
std::string_view toText(BackupDestination::Kind kind);
std::optional<BackupDestination::Kind> destinationKindFromText(std::string_view text);

// The destination with the latest completed backup, with that date.
struct LastCompletedBackup {
    Date date;
    BackupDestination destination;

    bool operator==(const LastCompletedBackup&) const = default;
};

// Time Machine's configuration as read from its preferences.
struct TimeMachineSettings {
    std::optional<bool> automaticBackups;
    std::optional<double> interval; // seconds
    std::optional<Date> lastActivity;
    std::vector<BackupDestination> destinations;
    std::vector<std::string> excludedPaths;
    std::optional<bool> requiresACPower;

    // `interval`, or an hour when the preferences do not say.
    double expectedInterval() const;
    // The latest completion over all destinations; on equal dates the earlier destination wins.
    std::optional<LastCompletedBackup> lastCompleted() const;

    bool operator==(const TimeMachineSettings&) const = default;
};

// The outcome of reading Time Machine's preferences: `read` carries the settings, `notSetUp`
// means there is no preferences file, `unreadable` that one exists but could not be read.
struct SettingsReading {
    enum class Case { read, notSetUp, unreadable };

    Case which = Case::notSetUp;
    std::optional<TimeMachineSettings> settings; // present exactly when `which` is `read`

    static SettingsReading read(TimeMachineSettings settings);
    static SettingsReading notSetUp();
    static SettingsReading unreadable();

    bool isRead() const { return which == Case::read; }

    bool operator==(const SettingsReading&) const = default;
};

// Reads the preferences file of the watched Mac (binary or XML property list). Never throws.
SettingsReading readTimeMachineSettings(const Mac& mac);

// Settings from an already decoded preferences dictionary. Missing or mistyped keys (and a node
// that is not a dictionary, or null) give the defaults.
TimeMachineSettings timeMachineSettings(plist_t from);

// One entry of the "Destinations" list; never fails.
BackupDestination destination(plist_t from);

// Time Machine's activity stamp "yyyy-MM-dd-HHmmss" in the current time zone; absent when the
// string does not match.
std::optional<Date> parseActivityStamp(std::string_view stamp);

// True for the standard textual UUID form: 8-4-4-4-12 hexadecimal digits, either case.
bool looksLikeUUID(std::string_view text);

// The parts of a URL that the program needs (RFC 3986 generic syntax). The host is
// percent-decoded and given without the brackets of an IPv6 literal.
struct URLComponents {
    std::optional<std::string> scheme; // as written
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> host; // absent when the URL has no authority or an empty host
    std::optional<int> port;
    std::string path;

    bool operator==(const URLComponents&) const = default;
};

// Absent when the text is not a valid URL reference (stray spaces, bad escapes, bad port...).
std::optional<URLComponents> parseURLComponents(std::string_view text);

} // namespace quorvane
