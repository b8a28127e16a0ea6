#pragma once

#include "base/Mac.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Defensive reading of files that belong to other applications. Paths are Mac paths. A final
// symbolic link is never followed, nothing larger than the stated limit is read, and every
// failure gives an absent result; nothing here throws.

using Bytes = std::vector<std::uint8_t>;

// The contents of a regular file of at most `max` bytes (exactly `max` is accepted). Absent for
// a link, folder, device, socket or pipe, a larger file, an empty file or a read error. A file
// that grows while it is read still yields at most `max` bytes.
std::optional<Bytes> readSmallFile(const Mac& mac, std::string_view path, std::size_t max);

// readSmallFile decoded as UTF-8, with every invalid sequence replaced by U+FFFD.
std::optional<std::string> readSmallText(const Mac& mac, std::string_view path, std::size_t max);

// True when the path itself is a folder; a symbolic link to a folder is not.
bool isRealDirectory(const Mac& mac, std::string_view path);

// Read-only queries on another application's SQLite database, through a private copy in this
// machine's temporary folder (never the watched Mac). The other application's file is only
// read: never opened by SQLite, never locked, nothing written beside it. The copy is queried
// with query_only and untrusted schema, and each query stops when its time limit passes.
// Move-only; the connection is closed and the private folder removed exactly once, by close()
// or by the destructor.
class SafeSQLite {
public:
    // Copies the database at `path` (at most `maxBytes`) and its write-ahead log "-wal" (skipped
    // when missing, a link, larger than `maxBytes` or unreadable) into a new private folder,
    // opens the copy and checks that every name in `tables` is a real table (a view or index of
    // that name does not count). Absent on any failure, with nothing left behind.
    static std::optional<SafeSQLite> copying(const Mac& mac, std::string_view path,
                                             const std::vector<std::string>& tables,
                                             std::size_t maxBytes, double seconds);

    SafeSQLite(SafeSQLite&& other) noexcept;
    SafeSQLite& operator=(SafeSQLite&& other) noexcept;
    SafeSQLite(const SafeSQLite&) = delete;
    SafeSQLite& operator=(const SafeSQLite&) = delete;
    ~SafeSQLite();

    // The open connection to the copy; null once closed.
    sqlite3* db() const;

    // Runs `sql` with the per-query time limit, calling `body` once per result row with the
    // statement (read its columns there). True only when every row was delivered and the
    // statement finished; false when it cannot be prepared, is interrupted or fails. Rows already
    // delivered stay delivered; the connection stays usable either way.
    bool rows(std::string_view sql, const std::function<void(sqlite3_stmt*)>& body);

    // Closes the connection and removes the private folder; later calls do nothing.
    void close();

private:
    struct State;
    explicit SafeSQLite(std::unique_ptr<State> state);
    // Held on the heap so the progress handler's pointer survives moves.
    std::unique_ptr<State> state_;
};

} // namespace quorvane
