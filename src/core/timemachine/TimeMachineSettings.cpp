#include "timemachine/TimeMachineSettings.h"

#include <unicode/locid.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {

// ---- Derived values ---------------------------------------------------------------------------

std::optional<Date> BackupDestination::lastCompleted() const {
    if (completed.empty())
        return std::nullopt;
    return completed.back();
}

std::optional<Date> BackupDestination::lastAttempt() const {
    if (attempts.empty())
        return std::nullopt;
    return attempts.back();
}

int BackupDestination::attemptsSinceLastCompleted() const {
    if (completed.empty())
        return static_cast<int>(attempts.size());
    auto firstLater = std::upper_bound(attempts.begin(), attempts.end(), completed.back());
    return static_cast<int>(attempts.end() - firstLater);
}

std::optional<double> BackupDestination::fractionFull() const {
    if (!bytesUsed)
        return std::nullopt;
    const auto used = static_cast<double>(*bytesUsed);
    if (quotaGB && *quotaGB > 0)
        return used / (static_cast<double>(*quotaGB) * 1'000'000'000.0);
    if (bytesAvailable) {
        // Summed as doubles: two large 64-bit values must not overflow.
        const double total = used + static_cast<double>(*bytesAvailable);
        if (total > 0)
            return used / total;
    }
    return std::nullopt;
}

std::vector<double> BackupDestination::durations() const {
    std::vector<double> result;
    for (const Date c : completed) {
        // The latest attempt at or before the completion; an earlier one is only further away.
        auto after = std::upper_bound(attempts.begin(), attempts.end(), c);
        if (after == attempts.begin())
            continue;
        const double seconds = secondsBetween(*std::prev(after), c);
        if (seconds < 86'400)
            result.push_back(seconds);
    }
    return result;
}

std::optional<int> BackupDestination::retentionDays(Date now) const {
    if (completed.empty())
        return std::nullopt;
    const double seconds = secondsBetween(completed.front(), now);
    if (!std::isfinite(seconds) || std::fabs(seconds) >= 1e12)
        return 0;
    return static_cast<int>(std::trunc(seconds / 86'400));
}

std::optional<std::string> BackupDestination::scheme() const {
    if (!networkURL)
        return std::nullopt;
    auto url = parseURLComponents(*networkURL);
    if (!url || !url->scheme)
        return std::nullopt;
    std::string lowered = *url->scheme;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered;
}

std::optional<std::string> BackupDestination::host() const {
    if (!networkURL)
        return std::nullopt;
    auto url = parseURLComponents(*networkURL);
    return url ? url->host : std::nullopt;
}

std::string_view toText(BackupDestination::Kind kind) {
    switch (kind) {
    case BackupDestination::Kind::local:
        return "local";
    case BackupDestination::Kind::network:
        return "network";
    case BackupDestination::Kind::unknown:
        return "unknown";
    }
    return "unknown";
}

std::optional<BackupDestination::Kind> destinationKindFromText(std::string_view text) {
    for (auto kind : {BackupDestination::Kind::local, BackupDestination::Kind::network,
                      BackupDestination::Kind::unknown})
        if (toText(kind) == text)
            return kind;
    return std::nullopt;
}

double TimeMachineSettings::expectedInterval() const {
    return interval.value_or(3600.0);
}

std::optional<LastCompletedBackup> TimeMachineSettings::lastCompleted() const {
    const BackupDestination* best = nullptr;
    for (const auto& d : destinations) {
        if (d.completed.empty())
            continue;
        if (!best || d.completed.back() > best->completed.back())
            best = &d;
    }
    if (!best)
        return std::nullopt;
    return LastCompletedBackup{best->completed.back(), *best};
}

SettingsReading SettingsReading::read(TimeMachineSettings settings) {
    return SettingsReading{Case::read, std::move(settings)};
}
SettingsReading SettingsReading::notSetUp() {
    return SettingsReading{Case::notSetUp, {}};
}
SettingsReading SettingsReading::unreadable() {
    return SettingsReading{Case::unreadable, {}};
}

// ---- Property-list values ---------------------------------------------------------------------

namespace {

plist_t member(plist_t dict, const char* key) {
    if (!dict || plist_get_node_type(dict) != PLIST_DICT)
        return nullptr;
    return plist_dict_get_item(dict, key);
}

bool hasMember(plist_t dict, const char* key) {
    return member(dict, key) != nullptr;
}

// libplist keeps every integer as 64 bits; negative values come back as their two's complement.
std::int64_t signedValue(plist_t node) {
    uint64_t raw = 0;
    plist_get_uint_val(node, &raw);
    return static_cast<std::int64_t>(raw);
}

// Numbers and Booleans both count as numbers, as they do in the preferences service.
std::optional<double> realValue(plist_t node) {
    if (node && plist_get_node_type(node) == PLIST_BOOLEAN)
        return plist_bool_val_is_true(node) ? 1.0 : 0.0;
    return plistNumber(node);
}

std::optional<bool> boolValue(plist_t node) {
    auto number = realValue(node);
    if (!number)
        return std::nullopt;
    return *number != 0.0;
}

// An integer, or a real that holds one exactly; a fraction or an out-of-range real is no integer.
std::optional<std::int64_t> integerValue(plist_t node) {
    if (!node)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_UINT:
        return signedValue(node);
    case PLIST_BOOLEAN:
        return plist_bool_val_is_true(node) ? 1 : 0;
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        if (!std::isfinite(value) || std::trunc(value) != value || value < -9.2e18 ||
            value > 9.2e18)
            return std::nullopt;
        return static_cast<std::int64_t>(value);
    }
    default:
        return std::nullopt;
    }
}

// Calls `use` on each item of a list made only of items of `type`; false, without any call, when
// `node` is no such list.
template <typename Use> bool forEachItem(plist_t node, plist_type type, Use&& use) {
    if (!node || plist_get_node_type(node) != PLIST_ARRAY)
        return false;
    const std::vector<plist_t> items = plistArrayItems(node);
    if (!std::all_of(items.begin(), items.end(),
                     [type](plist_t item) { return plist_get_node_type(item) == type; }))
        return false;
    for (plist_t item : items)
        use(item);
    return true;
}

// A list made only of dates, sorted ascending; anything else gives an empty list. A date that
// libplist could not hold is left out rather than read as its saturated value.
std::vector<Date> sortedDates(plist_t node) {
    std::vector<Date> dates;
    if (node && plist_get_node_type(node) == PLIST_ARRAY)
        dates.reserve(plist_array_get_size(node));
    auto keep = [&](plist_t item) {
        if (auto date = plistDate(item))
            dates.push_back(*date);
    };
    if (!forEachItem(node, PLIST_DATE, keep))
        return {};
    // Time Machine writes them in order already; sort only when it did not.
    if (!std::is_sorted(dates.begin(), dates.end()))
        std::sort(dates.begin(), dates.end());
    return dates;
}

// The whole file when it is a regular file of at most `cap` bytes. Opened without blocking so a
// FIFO planted at the path cannot hang the check.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::uintmax_t cap) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    std::optional<std::string> result;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::uintmax_t>(info.st_size) <= cap) {
        std::string bytes;
        bytes.resize(static_cast<std::size_t>(info.st_size));
        std::size_t filled = 0;
        bool failed = false;
        // Read one byte past the size seen so a file that grows past the cap is still refused.
        for (;;) {
            if (filled == bytes.size()) {
                if (bytes.size() > cap)
                    break;
                bytes.resize(std::min<std::uintmax_t>(cap + 1, bytes.size() + 65'536));
            }
            const ssize_t n = ::read(fd, bytes.data() + filled, bytes.size() - filled);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                failed = true;
                break;
            }
            if (n == 0)
                break;
            filled += static_cast<std::size_t>(n);
        }
        if (!failed && filled <= cap) {
            bytes.resize(filled);
            result = std::move(bytes);
        }
    }
    ::close(fd);
    return result;
}

} // namespace

// ---- Reader -----------------------------------------------------------------------------------

SettingsReading readTimeMachineSettings(const Mac& mac) {
    try {
        const auto path = mac.hostPath(timeMachinePlistPath);
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            // Only a missing file means "never set up"; a refused look is a failed read.
            return (errno == ENOENT || errno == ENOTDIR) ? SettingsReading::notSetUp()
                                                         : SettingsReading::unreadable();
        }
        auto bytes = readRegularFile(path, maxSettingsFileBytes);
        if (!bytes || bytes->empty())
            return SettingsReading::unreadable();
        const PropertyList root = parsePropertyList(*bytes);
        if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
            return SettingsReading::unreadable();
        return SettingsReading::read(timeMachineSettings(root.get()));
    } catch (...) {
        return SettingsReading::unreadable();
    }
}

TimeMachineSettings timeMachineSettings(plist_t from) {
    TimeMachineSettings settings;
    if (!forEachItem(member(from, "Destinations"), PLIST_DICT,
                     [&](plist_t entry) { settings.destinations.push_back(destination(entry)); }))
        settings.destinations.clear();
    settings.automaticBackups = boolValue(member(from, "AutoBackup"));
    settings.interval = realValue(member(from, "AutoBackupInterval"));
    if (auto stamp = plistString(member(from, "LastBackupActivity")))
        settings.lastActivity = parseActivityStamp(*stamp);
    if (!forEachItem(member(from, "SkipPaths"), PLIST_STRING, [&](plist_t path) {
            settings.excludedPaths.push_back(plistString(path).value_or(""));
        }))
        settings.excludedPaths.clear();
    settings.requiresACPower = boolValue(member(from, "RequiresACPower"));
    return settings;
}

BackupDestination destination(plist_t from) {
    using Kind = BackupDestination::Kind;
    BackupDestination d;
    const bool isDictionary = from && plist_get_node_type(from) == PLIST_DICT;
    const auto networkURL = plistString(member(from, "NetworkURL"));
    const auto volumeName = plistString(member(from, "LastKnownVolumeName"));

    if (networkURL && !networkURL->empty())
        d.kind = Kind::network;
    else if (!isDictionary || plist_dict_get_size(from) == 0)
        d.kind = Kind::unknown;
    else if (hasMember(from, "LastKnownVolumeName") || hasMember(from, "DestinationUUIDs"))
        d.kind = Kind::local;

    if (volumeName && !looksLikeUUID(*volumeName))
        d.name = volumeName;
    else if (networkURL)
        if (auto url = parseURLComponents(*networkURL))
            d.name = url->host;

    d.id = plistString(member(from, "DestinationID")).value_or("unknown");
    d.completed = sortedDates(member(from, "SnapshotDates"));
    d.attempts = sortedDates(member(from, "AttemptDates"));
    d.resultCode = integerValue(member(from, "RESULT"));
    d.bytesUsed = integerValue(member(from, "BytesUsed"));
    d.bytesAvailable = integerValue(member(from, "BytesAvailable"));
    d.quotaGB = integerValue(member(from, "QuotaGB"));
    d.networkURL = networkURL;
    d.encryptionState = plistString(member(from, "LastKnownEncryptionState"));
    return d;
}

std::optional<Date> parseActivityStamp(std::string_view stamp) {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat format(icu::UnicodeString(u"yyyy-MM-dd-HHmmss"),
                                 icu::Locale("en_US_POSIX"), status);
    if (U_FAILURE(status))
        return std::nullopt;
    format.setLenient(false);
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(stamp.data(), static_cast<int32_t>(std::min<std::size_t>(
                                           stamp.size(), std::numeric_limits<int32_t>::max()))));
    icu::ParsePosition position(0);
    const UDate millis = format.parse(text, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != text.length())
        return std::nullopt;
    return dateFromUnix(millis / 1000.0);
}

bool looksLikeUUID(std::string_view text) {
    if (text.size() != 36)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphenPlace ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

// ---- URL components ---------------------------------------------------------------------------

namespace {

bool isUnreserved(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
           c == '~';
}

bool isSubDelim(char c) {
    return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos;
}

// Every character is unreserved, a sub-delimiter, one of `extra`, or a complete %XX escape.
bool validComponent(std::string_view text, std::string_view extra) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
                return false;
            i += 2;
        } else if (!isUnreserved(c) && !isSubDelim(c) && extra.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

// Decodes the %XX escapes of a component that `validComponent` accepted.
std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

bool validIPLiteral(std::string_view inside) {
    if (inside.empty())
        return false;
    if (inside.front() == 'v' || inside.front() == 'V') // IPvFuture: "v" HEX "." text
        return validComponent(inside.substr(1), ":");
    if (inside.find(':') == std::string_view::npos)
        return false;
    return std::all_of(inside.begin(), inside.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
    });
}

} // namespace

std::optional<URLComponents> parseURLComponents(std::string_view text) {
    URLComponents url;
    std::string_view rest = text;

    // Fragment and query: the characters of a path plus "/" and "?".
    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        if (!validComponent(rest.substr(hash + 1), ":@/?"))
            return std::nullopt;
        rest = rest.substr(0, hash);
    }
    if (auto question = rest.find('?'); question != std::string_view::npos) {
        if (!validComponent(rest.substr(question + 1), ":@/?"))
            return std::nullopt;
        rest = rest.substr(0, question);
    }

    // Scheme: a letter, then letters, digits, "+", "-" or ".", ended by the first ":" before any
    // "/".
    if (auto colon = rest.find_first_of(":/");
        colon != std::string_view::npos && rest[colon] == ':') {
        const auto scheme = rest.substr(0, colon);
        const bool valid = !scheme.empty() &&
                           std::isalpha(static_cast<unsigned char>(scheme.front())) &&
                           std::all_of(scheme.begin(), scheme.end(), [](char c) {
                               return std::isalnum(static_cast<unsigned char>(c)) || c == '+' ||
                                      c == '-' || c == '.';
                           });
        if (!valid) // a relative reference may not have ":" in its first segment
            return std::nullopt;
        url.scheme = std::string(scheme);
        rest = rest.substr(colon + 1);
    }

    if (rest.starts_with("//")) {
        rest = rest.substr(2);
        const auto end = rest.find('/');
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);

        if (auto at = authority.rfind('@'); at != std::string_view::npos) {
            const auto userinfo = authority.substr(0, at);
            if (!validComponent(userinfo, ":"))
                return std::nullopt;
            const auto colon = userinfo.find(':');
            url.user = percentDecoded(userinfo.substr(0, colon));
            if (colon != std::string_view::npos)
                url.password = percentDecoded(userinfo.substr(colon + 1));
            authority = authority.substr(at + 1);
        }

        std::string_view hostText;
        std::string_view portText;
        if (authority.starts_with('[')) {
            const auto close = authority.find(']');
            if (close == std::string_view::npos || !validIPLiteral(authority.substr(1, close - 1)))
                return std::nullopt;
            hostText = authority.substr(1, close - 1);
            const auto after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':')
                    return std::nullopt;
                portText = after.substr(1);
            }
        } else {
            const auto colon = authority.find(':');
            hostText = authority.substr(0, colon);
            if (!validComponent(hostText, ""))
                return std::nullopt;
            if (colon != std::string_view::npos)
                portText = authority.substr(colon + 1);
        }
        if (!portText.empty()) {
            if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(),
                                                    [](char c) { return c >= '0' && c <= '9'; }))
                return std::nullopt;
            const int port = std::stoi(std::string(portText));
            if (port > 65'535)
                return std::nullopt;
            url.port = port;
        }
        if (!hostText.empty())
            url.host =
                authority.starts_with('[') ? std::string(hostText) : percentDecoded(hostText);
    }

    if (!validComponent(rest, ":@/"))
        return std::nullopt;
    url.path = percentDecoded(rest);
    return url;
}

} // namespace quorvane
