#include "history/JSONFileStore.h"

#include "base/IsoDate.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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
#ifdef __APPLE__
    (void)xdgDataHome;
    if (!home || home->empty())
        return std::nullopt;
    return std::filesystem::path(*home) / "Library" / "Application Support" /
           std::string(stateFolderName);
#else
    if (xdgDataHome && !xdgDataHome->empty() && xdgDataHome->front() == '/')
        return std::filesystem::path(*xdgDataHome) / std::string(stateFolderName);
    if (!home || home->empty())
        return std::nullopt;
    return std::filesystem::path(*home) / ".local" / "share" / std::string(stateFolderName);
#endif
}

std::filesystem::path stateFolder() {
    auto variable = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    std::optional<std::string> home = variable("HOME");
    if (!home || home->empty()) {
        // No HOME (a stripped-down environment): ask the user database.
        struct passwd entry {};
        struct passwd* found = nullptr;
        char buffer[4096];
        if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found &&
            found->pw_dir)
            home = std::string(found->pw_dir);
    }
    if (auto folder = stateFolderFor(home, variable("XDG_DATA_HOME")))
        return *folder;
    return std::filesystem::temp_directory_path() / std::string(stateFolderName);
}

namespace storefile {

namespace {

// Real state files nest four or five levels deep.
constexpr int maxNesting = 64;

bool nestedTooDeeply(std::string_view bytes) {
    int depth = 0;
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
        } else if (c == '[' || c == '{') {
            if (++depth > maxNesting)
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
    if (nestedTooDeeply(bytes))
        return std::nullopt;
    auto value = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (value.is_discarded())
        return std::nullopt;
    return value;
}

std::string dump(const nlohmann::json& value) {
    std::string text = value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
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

void keepUnreadable(const std::filesystem::path& file) {
    const std::filesystem::path copy = file.string() + ".unreadable";
    // A hard link keeps the broken file in place until the new one replaces it, and fails
    // rather than overwrite an earlier copy.
    if (::link(file.c_str(), copy.c_str()) == 0 || errno == EEXIST || errno == ENOENT)
        return;
    std::error_code ignored;
    std::filesystem::copy_file(file, copy, std::filesystem::copy_options::skip_existing, ignored);
}

} // namespace storefile

} // namespace quorvane
