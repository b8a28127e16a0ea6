#include "othertools/SafeRead.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {

namespace {

namespace fs = std::filesystem;

// An owned file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&&) = delete;
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports whether the close succeeded (a failed close can lose written data).
    bool close() {
        int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

// Opens a regular file of at most `max` bytes for reading, refusing a final symbolic link and
// anything that is not a regular file, both before opening and on the opened descriptor (the
// entry may be swapped in between). Non-blocking open so that a pipe swapped in cannot hang us.
Fd openRegular(const fs::path& file, std::size_t max) {
    struct stat before {};
    if (::lstat(file.c_str(), &before) != 0 || !S_ISREG(before.st_mode) || before.st_size < 0 ||
        static_cast<std::uintmax_t>(before.st_size) > max)
        return Fd{};
    Fd fd{::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (!fd.valid())
        return Fd{};
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_dev != before.st_dev || opened.st_ino != before.st_ino || opened.st_size < 0 ||
        static_cast<std::uintmax_t>(opened.st_size) > max)
        return Fd{};
    return fd;
}

// One read that retries on interruption; -1 on error.
ssize_t readSome(int fd, void* buffer, std::size_t count) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, count);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        ssize_t n = ::write(fd, data, count);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

enum class CopyResult { copied, sourceUnusable, writeFailed };

// Streams the already opened source into a new file `target` (created exclusively, owner-only)
// in fixed chunks, so memory stays small whatever the size. A source that is empty, cannot be
// read, or yields more than `max` bytes (it grew since it was checked) is unusable.
CopyResult copyInto(const Fd& source, const fs::path& target, std::size_t max) {
    Fd out{::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (!out.valid())
        return CopyResult::writeFailed;
    constexpr std::size_t chunk = 1 << 20;
    std::vector<std::uint8_t> buffer(chunk);
    std::size_t total = 0;
    for (;;) {
        ssize_t n = readSome(source.get(), buffer.data(), buffer.size());
        if (n < 0)
            return CopyResult::sourceUnusable;
        if (n == 0)
            break;
        total += static_cast<std::size_t>(n);
        if (total > max)
            return CopyResult::sourceUnusable;
        if (!writeAll(out.get(), buffer.data(), static_cast<std::size_t>(n)))
            return CopyResult::writeFailed;
    }
    if (total == 0)
        return CopyResult::sourceUnusable;
    return out.close() ? CopyResult::copied : CopyResult::writeFailed;
}

// A random (version 4) UUID in its standard upper-case text form.
std::string newUUID() {
    std::random_device random;
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        std::uint32_t word = random();
        std::memcpy(bytes.data() + i, &word, 4);
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        std::array<char, 3> hex{};
        std::snprintf(hex.data(), hex.size(), "%02X", bytes[i]);
        text += hex.data();
    }
    return text;
}

// A new folder only this user can enter, in this machine's temporary folder.
std::optional<fs::path> makePrivateFolder() {
    try {
        std::error_code ec;
        fs::path base = fs::temp_directory_path(ec);
        if (ec)
            return std::nullopt;
        fs::create_directories(base, ec);
        if (ec)
            return std::nullopt;
        fs::path dir = base / ("qv-db-" + newUUID());
        if (::mkdir(dir.c_str(), 0700) != 0)
            return std::nullopt;
        return dir;
    } catch (...) {
        // No random source or no memory: nothing was created.
        return std::nullopt;
    }
}

void removeFolder(const fs::path& dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

// How many SQLite virtual-machine steps pass between two looks at the deadline.
constexpr int progressSteps = 10000;

// The longest time limit taken as given; longer or not-finite limits are clamped so the
// deadline arithmetic cannot overflow.
constexpr double longestLimit = 1e6;

} // namespace

std::optional<Bytes> readSmallFile(const Mac& mac, std::string_view path, std::size_t max) {
    Fd fd = openRegular(mac.hostPath(path), max);
    if (!fd.valid())
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    Bytes bytes(std::min<std::size_t>(max, static_cast<std::size_t>(st.st_size)));
    std::size_t total = 0;
    while (total < max) {
        if (total == bytes.size())
            bytes.resize(std::min<std::size_t>(max, bytes.size() + 65536));
        ssize_t n = readSome(fd.get(), bytes.data() + total, bytes.size() - total);
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        total += static_cast<std::size_t>(n);
    }
    if (total == 0)
        return std::nullopt;
    bytes.resize(total);
    return bytes;
}

std::optional<std::string> readSmallText(const Mac& mac, std::string_view path, std::size_t max) {
    std::optional<Bytes> bytes = readSmallFile(mac, path, max);
    if (!bytes)
        return std::nullopt;
    if (bytes->size() > static_cast<std::size_t>(INT32_MAX))
        return std::nullopt;
    // ICU replaces each ill-formed sequence with U+FFFD on the way in.
    icu::UnicodeString decoded = icu::UnicodeString::fromUTF8(icu::StringPiece(
        reinterpret_cast<const char*>(bytes->data()), static_cast<std::int32_t>(bytes->size())));
    std::string text;
    decoded.toUTF8String(text);
    return text;
}

bool isRealDirectory(const Mac& mac, std::string_view path) {
    struct stat st {};
    return ::lstat(mac.hostPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct SafeSQLite::State {
    sqlite3* db = nullptr;
    fs::path dir;
    std::chrono::steady_clock::time_point deadline;
    double seconds = 0;
    bool closed = false;

    ~State() { close(); }

    void close() {
        if (closed)
            return;
        closed = true;
        sqlite3_close_v2(db);
        db = nullptr;
        removeFolder(dir);
    }
};

namespace {

// Asks SQLite to interrupt the running statement once its deadline has passed.
int pastDeadline(void* context) {
    const auto* deadline = static_cast<const std::chrono::steady_clock::time_point*>(context);
    return std::chrono::steady_clock::now() > *deadline ? 1 : 0;
}

using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

Statement prepare(sqlite3* db, std::string_view sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sql.size() > static_cast<std::size_t>(INT_MAX))
        return Statement(nullptr, &sqlite3_finalize);
    int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
    Statement statement(stmt, &sqlite3_finalize);
    if (rc != SQLITE_OK)
        statement.reset();
    return statement;
}

// The schema can be read at all (the copy is a database).
bool schemaReadable(sqlite3* db) {
    Statement stmt = prepare(db, "SELECT count(*) FROM sqlite_master");
    return stmt && sqlite3_step(stmt.get()) == SQLITE_ROW;
}

// `name` exists and is a table; a view, index or trigger of that name does not count.
bool isTable(sqlite3* db, const std::string& name) {
    Statement stmt = prepare(db, "SELECT type FROM sqlite_master WHERE name = ?1");
    if (!stmt || name.size() > static_cast<std::size_t>(INT_MAX) ||
        sqlite3_bind_text(stmt.get(), 1, name.data(), static_cast<int>(name.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK)
        return false;
    if (sqlite3_step(stmt.get()) != SQLITE_ROW || sqlite3_column_type(stmt.get(), 0) != SQLITE_TEXT)
        return false;
    const unsigned char* type = sqlite3_column_text(stmt.get(), 0);
    int length = sqlite3_column_bytes(stmt.get(), 0);
    return type && std::string_view(reinterpret_cast<const char*>(type),
                                    static_cast<std::size_t>(length)) == "table";
}

} // namespace

SafeSQLite::SafeSQLite(std::unique_ptr<State> state) : state_(std::move(state)) {}
SafeSQLite::SafeSQLite(SafeSQLite&& other) noexcept = default;

SafeSQLite& SafeSQLite::operator=(SafeSQLite&& other) noexcept {
    if (this != &other) {
        close();
        state_ = std::move(other.state_);
    }
    return *this;
}

SafeSQLite::~SafeSQLite() {
    close();
}

std::optional<SafeSQLite> SafeSQLite::copying(const Mac& mac, std::string_view path,
                                              const std::vector<std::string>& tables,
                                              std::size_t maxBytes, double seconds) {
    try {
        const fs::path source = mac.hostPath(path);
        Fd database = openRegular(source, maxBytes);
        if (!database.valid())
            return std::nullopt;
        auto state = std::make_unique<State>();
        std::optional<fs::path> dir = makePrivateFolder();
        if (!dir) {
            state->closed = true; // nothing to close or remove
            return std::nullopt;
        }
        // From here on the state owns the folder: every early return removes it.
        state->dir = *dir;
        state->deadline = std::chrono::steady_clock::now();
        state->seconds = std::isfinite(seconds) ? std::clamp(seconds, 0.0, longestLimit) : 0.0;

        const fs::path copy = *dir / "db.sqlite";
        if (copyInto(database, copy, maxBytes) != CopyResult::copied)
            return std::nullopt;

        // The log holds rows not yet folded into the database; without it the copy is older.
        fs::path logSource = source;
        logSource += "-wal";
        if (Fd log = openRegular(logSource, maxBytes); log.valid()) {
            fs::path logCopy = copy;
            logCopy += "-wal";
            switch (copyInto(log, logCopy, maxBytes)) {
            case CopyResult::copied:
                break;
            case CopyResult::sourceUnusable: {
                std::error_code ec;
                fs::remove(logCopy, ec);
                if (ec)
                    return std::nullopt;
                break;
            }
            case CopyResult::writeFailed:
                return std::nullopt;
            }
        }

        // Read-write on the private copy only, so SQLite can fold the copied log into it.
        if (sqlite3_open_v2(copy.c_str(), &state->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                            nullptr) != SQLITE_OK ||
            !state->db)
            return std::nullopt;
        sqlite3* db = state->db;
        sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
        sqlite3_exec(db, "PRAGMA trusted_schema = OFF; PRAGMA query_only = ON;", nullptr, nullptr,
                     nullptr);
        sqlite3_busy_timeout(db, 1000);
        sqlite3_progress_handler(db, progressSteps, &pastDeadline, &state->deadline);

        // The deadline is still the construction time, so a schema that needs more than one
        // round of steps to look up counts as missing.
        if (!schemaReadable(db))
            return std::nullopt;
        for (const std::string& table : tables)
            if (!isTable(db, table))
                return std::nullopt;
        return SafeSQLite(std::move(state));
    } catch (...) {
        // Out of memory or a path the library rejects; the state's destructor cleaned up.
        return std::nullopt;
    }
}

sqlite3* SafeSQLite::db() const {
    return state_ && !state_->closed ? state_->db : nullptr;
}

bool SafeSQLite::rows(std::string_view sql, const std::function<void(sqlite3_stmt*)>& body) {
    if (!state_ || state_->closed)
        return false;
    state_->deadline = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(state_->seconds));
    Statement stmt = prepare(state_->db, sql);
    if (!stmt)
        return false;
    int rc = sqlite3_step(stmt.get());
    while (rc == SQLITE_ROW) {
        body(stmt.get());
        rc = sqlite3_step(stmt.get());
    }
    return rc == SQLITE_DONE;
}

void SafeSQLite::close() {
    if (state_)
        state_->close();
}

} // namespace quorvane
