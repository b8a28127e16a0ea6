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

std::optional<std::string> stringValue(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (!text)
        return std::nullopt;
    return std::string(text, length);
}

// libplist keeps every integer as 64 bits; negative values come back as their two's complement.
std::int64_t signedValue(plist_t node) {
    uint64_t raw = 0;
    plist_get_uint_val(node, &raw);
    return static_cast<std::int64_t>(raw);
}

// Numbers and Booleans both count as numbers, as they do in the preferences service.
std::optional<double> realValue(plist_t node) {
    if (!node)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    case PLIST_UINT:
        return static_cast<double>(signedValue(node));
    case PLIST_BOOLEAN:
        return plist_bool_val_is_true(node) ? 1.0 : 0.0;
    default:
        return std::nullopt;
    }
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

Date dateValue(plist_t node) {
    int32_t sec = 0;
    int32_t usec = 0;
    plist_get_date_val(node, &sec, &usec);
    return dateFromUnix(referenceDateOffset + sec + usec / 1e6);
}

// Calls `use` on each item of a list made only of items of `type`; false (after possibly some
// calls) when `node` is no such list. Walked with an iterator: libplist finds an array's n-th
// item by walking from the start, so indexing would be quadratic.
template <typename Use> bool forEachItem(plist_t node, plist_type type, Use&& use) {
    if (!node || plist_get_node_type(node) != PLIST_ARRAY)
        return false;
    plist_array_iter iterator = nullptr;
    plist_array_new_iter(node, &iterator);
    bool homogeneous = iterator != nullptr;
    while (homogeneous) {
        plist_t item = nullptr;
        plist_array_next_item(node, iterator, &item);
        if (!item)
            break;
        homogeneous = plist_get_node_type(item) == type;
        if (homogeneous)
            use(item);
    }
    std::free(iterator);
    return homogeneous;
}

// A list made only of dates, sorted ascending; anything else gives an empty list.
std::vector<Date> sortedDates(plist_t node) {
    std::vector<Date> dates;
    if (node && plist_get_node_type(node) == PLIST_ARRAY)
        dates.reserve(plist_array_get_size(node));
    if (!forEachItem(node, PLIST_DATE, [&](plist_t item) { dates.push_back(dateValue(item)); }))
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

// ---- Nesting guard ----------------------------------------------------------------------------

namespace {

std::uint64_t bigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Whether an XML property list nests arrays and dictionaries at most `limit` deep and has at most
// `maxNodes` elements. Comments,
// CDATA, processing instructions and declarations are skipped, so tags hidden in them count for
// nothing either way.
bool xmlNestingWithin(std::string_view text, int limit, std::uint64_t maxNodes) {
    int depth = 0;
    std::uint64_t elements = 0;
    for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at)) {
        const std::string_view rest = text.substr(at);
        auto skipTo = [&](std::string_view end) {
            const auto found = text.find(end, at + 1);
            return found == std::string_view::npos ? text.size() : found + end.size();
        };
        if (rest.starts_with("<!--")) {
            at = skipTo("-->");
        } else if (rest.starts_with("<![CDATA[")) {
            at = skipTo("]]>");
        } else if (rest.starts_with("<?")) {
            at = skipTo("?>");
        } else if (rest.starts_with("<!")) {
            at = skipTo(">");
        } else {
            const auto close = text.find('>', at);
            const bool selfClosing = close != std::string_view::npos && text[close - 1] == '/';
            if ((rest.starts_with("<array") || rest.starts_with("<dict")) && !selfClosing) {
                if (++depth > limit)
                    return false;
            } else if (rest.starts_with("</array") || rest.starts_with("</dict")) {
                depth = std::max(0, depth - 1);
            }
            if (!rest.starts_with("</") && ++elements > maxNodes)
                return false;
            at = close == std::string_view::npos ? text.size() : close + 1;
        }
    }
    return true;
}

// Whether a binary property list is well formed enough to walk, free of cycles, nests its
// containers at most `limit` deep and expands to at most `maxNodes` objects.
bool binaryNestingWithin(std::string_view data, int limit, std::uint64_t maxNodes) {
    constexpr std::size_t trailerSize = 32;
    if (data.size() < 8 + trailerSize)
        return false;
    const std::size_t trailer = data.size() - trailerSize;
    const auto offsetSize = static_cast<std::size_t>(static_cast<unsigned char>(data[trailer + 6]));
    const auto refSize = static_cast<std::size_t>(static_cast<unsigned char>(data[trailer + 7]));
    const std::uint64_t count = bigEndian(data, trailer + 8, 8);
    const std::uint64_t top = bigEndian(data, trailer + 16, 8);
    const std::uint64_t table = bigEndian(data, trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || count == 0 ||
        top >= count || table > trailer || count > (trailer - table) / offsetSize)
        return false;

    // The children of object `index` as a range of reference bytes; false when malformed.
    auto children = [&](std::uint64_t index, std::size_t& first, std::uint64_t& n,
                        bool& container) {
        const std::uint64_t offset = bigEndian(data, table + index * offsetSize, offsetSize);
        if (offset < 8 || offset >= table)
            return false;
        const auto marker = static_cast<unsigned char>(data[offset]);
        const unsigned type = marker >> 4;
        std::uint64_t length = marker & 0x0F;
        first = offset + 1;
        n = 0;
        container = type == 0xA || type == 0xB || type == 0xC || type == 0xD;
        if (!container)
            return true;
        if (length == 0x0F) {
            if (first >= table || (static_cast<unsigned char>(data[first]) >> 4) != 0x1)
                return false;
            const std::size_t width = std::size_t{1} << (data[first] & 0x0F);
            if (width > 8 || first + 1 + width > table)
                return false;
            length = bigEndian(data, first + 1, width);
            first += 1 + width;
        }
        n = type == 0xD ? length * 2 : length;
        return length <= table && n <= (table - first) / refSize;
    };

    // Post-order walk with an explicit stack. Each object's levels (containers on its deepest
    // path, itself included) and size (objects it expands to, counting every use of a shared one)
    // are kept, so an object referred to many times is measured once: libplist copies it at each
    // use.
    enum : unsigned char { unseen, open, done };
    struct Node {
        std::uint64_t size = 1;
        std::uint32_t levels = 0;
        unsigned char state = unseen;
    };
    std::vector<Node> nodes(count);
    struct Frame {
        std::uint64_t index;
        std::size_t next; // byte offset of the next reference
        std::size_t end;
    };
    std::vector<Frame> stack;
    const auto maxLevels = static_cast<std::uint32_t>(limit);
    // Measures a leaf at once and opens a frame for a container with children.
    auto enter = [&](std::uint64_t index) {
        std::size_t first = 0;
        std::uint64_t n = 0;
        bool container = false;
        if (!children(index, first, n, container))
            return false;
        Node& node = nodes[index];
        node.levels = container ? 1 : 0;
        if (n == 0) {
            node.state = done;
            return true;
        }
        node.state = open;
        stack.push_back({index, first, first + n * refSize});
        return stack.size() <= maxLevels;
    };
    // Folds a measured child into its parent; false when the parent is then too big.
    auto fold = [&](Node& parent, const Node& child) {
        parent.levels = std::max(parent.levels, child.levels + 1);
        parent.size += child.size;
        return parent.levels <= maxLevels && parent.size <= maxNodes;
    };
    if (!enter(top))
        return false;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.end) {
            const std::uint64_t finished = frame.index;
            nodes[finished].state = done;
            stack.pop_back();
            // The parent's reference to this object was read before it was measured.
            if (!stack.empty() && !fold(nodes[stack.back().index], nodes[finished]))
                return false;
            continue;
        }
        const std::uint64_t child = bigEndian(data, frame.next, refSize);
        const std::uint64_t parent = frame.index;
        frame.next += refSize;
        if (child >= count || nodes[child].state == open)
            return false; // out of range, or a cycle
        if (nodes[child].state == unseen && !enter(child))
            return false;
        if (nodes[child].state == done && !fold(nodes[parent], nodes[child]))
            return false;
    }
    return nodes[top].levels <= maxLevels && nodes[top].size <= maxNodes;
}

} // namespace

PropertyList parsePropertyList(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max())
        return nullptr;
    const bool binary = bytes.starts_with("bplist00");
    if (binary ? !binaryNestingWithin(bytes, maxPropertyListDepth, maxPropertyListNodes)
               : !xmlNestingWithin(bytes, maxPropertyListDepth, maxPropertyListNodes))
        return nullptr;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    return PropertyList(root);
}

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
    if (auto stamp = stringValue(member(from, "LastBackupActivity")))
        settings.lastActivity = parseActivityStamp(*stamp);
    if (!forEachItem(member(from, "SkipPaths"), PLIST_STRING, [&](plist_t path) {
            settings.excludedPaths.push_back(stringValue(path).value_or(""));
        }))
        settings.excludedPaths.clear();
    settings.requiresACPower = boolValue(member(from, "RequiresACPower"));
    return settings;
}

BackupDestination destination(plist_t from) {
    using Kind = BackupDestination::Kind;
    BackupDestination d;
    const bool isDictionary = from && plist_get_node_type(from) == PLIST_DICT;
    const auto networkURL = stringValue(member(from, "NetworkURL"));
    const auto volumeName = stringValue(member(from, "LastKnownVolumeName"));

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

    d.id = stringValue(member(from, "DestinationID")).value_or("unknown");
    d.completed = sortedDates(member(from, "SnapshotDates"));
    d.attempts = sortedDates(member(from, "AttemptDates"));
    d.resultCode = integerValue(member(from, "RESULT"));
    d.bytesUsed = integerValue(member(from, "BytesUsed"));
    d.bytesAvailable = integerValue(member(from, "BytesAvailable"));
    d.quotaGB = integerValue(member(from, "QuotaGB"));
    d.networkURL = networkURL;
    d.encryptionState = stringValue(member(from, "LastKnownEncryptionState"));
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
