#include "history/JSONFileStore.h"

#include "base/IsoDate.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quorvane {

namespace jsoncoding {

namespace {

template <class Int> Int wholeNumber(const nlohmann::json& j) {
    if (j.is_number_integer() && !j.is_number_unsigned()) {
        const auto value = j.get<std::int64_t>();
        if (value < std::numeric_limits<Int>::min() || value > std::numeric_limits<Int>::max())
            throw DecodeError("number out of range");
        return static_cast<Int>(value);
    }
    if (j.is_number_unsigned()) {
        const auto value = j.get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<Int>::max()))
            throw DecodeError("number out of range");
        return static_cast<Int>(value);
    }
    if (j.is_number_float()) {
        // 3.0 is a whole number; 3.5 is not.
        const double value = j.get<double>();
        if (!std::isfinite(value) || std::trunc(value) != value ||
            value < static_cast<double>(std::numeric_limits<Int>::min()) ||
            value >= -static_cast<double>(std::numeric_limits<Int>::min()))
            throw DecodeError("not a whole number");
        return static_cast<Int>(value);
    }
    throw DecodeError("expected a number");
}

} // namespace

void decodeValue(const nlohmann::json& j, bool& out) {
    if (!j.is_boolean())
        throw DecodeError("expected a Boolean");
    out = j.get<bool>();
}

void decodeValue(const nlohmann::json& j, int& out) {
    out = wholeNumber<int>(j);
}

void decodeValue(const nlohmann::json& j, std::int64_t& out) {
    out = wholeNumber<std::int64_t>(j);
}

void decodeValue(const nlohmann::json& j, double& out) {
    if (!j.is_number())
        throw DecodeError("expected a number");
    out = j.get<double>();
}

void decodeValue(const nlohmann::json& j, std::string& out) {
    if (!j.is_string())
        throw DecodeError("expected a string");
    out = j.get_ref<const std::string&>();
}

void decodeValue(const nlohmann::json& j, Date& out) {
    if (!j.is_string())
        throw DecodeError("expected a date");
    auto date = parseIsoDate(j.get_ref<const std::string&>());
    if (!date)
        throw DecodeError("malformed date");
    out = *date;
}

nlohmann::json encodeValue(Date date) {
    return isoDateText(date);
}

const nlohmann::json& requireObject(const nlohmann::json& j) {
    if (!j.is_object())
        throw DecodeError("expected an object");
    return j;
}

} // namespace jsoncoding

std::optional<std::filesystem::path> stateFolderFor(const std::optional<std::string>& home,
                                                    const std::optional<std::string>& xdgDataHome) {
    // A relative home would put the state wherever the program happens to start.
    const bool hasHome = home && !home->empty() && home->front() == '/';
#ifdef __APPLE__
    (void)xdgDataHome;
    if (!hasHome)
        return std::nullopt;
    return std::filesystem::path(*home) / "Library" / "Application Support" /
           std::string(stateFolderName);
#else
    if (xdgDataHome && !xdgDataHome->empty() && xdgDataHome->front() == '/')
        return std::filesystem::path(*xdgDataHome) / std::string(stateFolderName);
    if (!hasHome)
        return std::nullopt;
    return std::filesystem::path(*home) / ".local" / "share" / std::string(stateFolderName);
#endif
}

namespace {

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

// This user's home folder from the password database.
std::optional<std::string> passwordHomeFolder() {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
    for (;;) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        const int error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < 1024 * 1024) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || !found || !found->pw_dir)
            return std::nullopt;
        return std::string(found->pw_dir);
    }
}

} // namespace

std::optional<std::filesystem::path> stateFolder() {
    std::optional<std::string> home = environmentValue("HOME");
    if (!home || home->empty())
        home = passwordHomeFolder(); // a stripped-down environment
    return stateFolderFor(home, environmentValue("XDG_DATA_HOME"));
}

namespace storefile {

namespace {

// Real state files nest four or five levels deep.
constexpr int maxNesting = 64;
// Real state files hold a few tens of thousands of values at most (a full history is about
// 15,000; each alert adds two). Every value costs tens of bytes once parsed, so a file at the
// size cap made of tiny values would take hundreds of megabytes.
constexpr std::size_t maxValues = 250'000;

// Whether the text nests deeper or holds more values than any state file; counted before
// parsing, outside strings: a value is the first in its container or follows a comma.
bool tooComplex(std::string_view bytes) {
    int depth = 0;
    std::size_t values = 1;
    bool inString = false;
    bool escaped = false;
    for (char c : bytes) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{' || c == ',') {
            if (c != ',' && ++depth > maxNesting)
                return true;
            if (++values > maxValues)
                return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

ReadOutcome readFile(const std::filesystem::path& file, std::string& bytes) {
    bytes.clear();
    // Non-blocking so that a FIFO put in the file's place cannot hang the open.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return (errno == ENOENT || errno == ENOTDIR) ? ReadOutcome::missing
                                                     : ReadOutcome::unreadable;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uintmax_t>(info.st_size) > maxStoreFileBytes) {
        ::close(fd);
        return ReadOutcome::unreadable;
    }
    // One byte more than the file holds, to notice a file that grew after the fstat.
    std::size_t capacity = static_cast<std::size_t>(info.st_size) + 1;
    bytes.resize(capacity);
    std::size_t filled = 0;
    for (;;) {
        const ssize_t got = ::read(fd, bytes.data() + filled, capacity - filled);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            bytes.clear();
            return ReadOutcome::unreadable;
        }
        if (got == 0)
            break;
        filled += static_cast<std::size_t>(got);
        if (filled == capacity) {
            if (capacity > maxStoreFileBytes)
                break;
            capacity = std::min<std::size_t>(capacity * 2, maxStoreFileBytes + 1);
            bytes.resize(capacity);
        }
    }
    ::close(fd);
    if (filled > maxStoreFileBytes) {
        bytes.clear();
        return ReadOutcome::unreadable;
    }
    bytes.resize(filled);
    return ReadOutcome::read;
}

std::optional<nlohmann::json> parse(std::string_view bytes) {
    if (tooComplex(bytes))
        return std::nullopt;
    auto value = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (value.is_discarded())
        return std::nullopt;
    return value;
}

std::string dump(const nlohmann::ordered_json& value) {
    std::string text = value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    text += '\n';
    return text;
}

bool writeAtomically(const std::filesystem::path& file, std::string_view bytes) {
    const std::filesystem::path folder = file.parent_path();
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);

    std::string temporary = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    // The rename is atomic: readers see the old file or the new one, never a mixture. (The
    // folder is not synced too; that would make the rename itself durable, at twice the cost.)
    if (ok && ::rename(temporary.c_str(), file.c_str()) == 0)
        return true;
    ::unlink(temporary.c_str());
    return false;
}

bool keepUnreadable(const std::filesystem::path& file) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR; // nothing there to lose
    // Named by when the file was last written: the file itself says that, and the stamps of
    // copies taken one after another sort in the order the files were written.
    const std::string prefix = file.filename().string() + ".unreadable-";
    std::string stamp = isoDateText(dateFromUnix(static_cast<double>(info.st_mtime)));
    std::erase_if(stamp, [](char c) { return c == '-' || c == ':'; });
    const std::filesystem::path folder = file.parent_path();
    bool kept = false;
    for (int attempt = 1; attempt <= 100 && !kept; ++attempt) {
        std::string name = prefix + stamp;
        if (attempt > 1)
            name += "-" + std::to_string(attempt);
        const std::filesystem::path copy = folder / name;
        // A hard link keeps the file in place until the new one replaces it; where links are
        // not allowed it is moved aside instead. Neither overwrites an earlier copy.
        if (::link(file.c_str(), copy.c_str()) == 0) {
            kept = true;
        } else if (errno == EEXIST) {
            struct stat existing {};
            kept = ::lstat(copy.c_str(), &existing) == 0 && existing.st_ino == info.st_ino &&
                   existing.st_dev == info.st_dev;
        } else {
            kept =
                ::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, copy.c_str(), RENAME_NOREPLACE) == 0;
            if (!kept && errno != EEXIST)
                return false;
        }
    }
    if (!kept)
        return false;

    // Only the newest copies stay. Names sort by their stamps.
    std::vector<std::string> copies;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name.starts_with(prefix))
            copies.push_back(std::move(name));
    }
    std::sort(copies.begin(), copies.end(), std::greater<>());
    for (std::size_t i = keptUnreadableCopies; i < copies.size(); ++i)
        ::unlink((folder / copies[i]).c_str());
    return true;
}

} // namespace storefile

} // namespace quorvane
