#pragma once

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <string>

namespace quorvane::testing {

// Runs SQL text on the database file `file` (created when missing), as the sqlite3 tool would.
// Without syncing: the files are thrown away after the test.
inline void runSQL(const std::filesystem::path& file, const std::string& sql) {
    std::filesystem::create_directories(file.parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    int result =
        sqlite3_exec(db, ("PRAGMA synchronous = OFF;" + sql).c_str(), nullptr, nullptr, &error);
    std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(result, SQLITE_OK) << message;
}

} // namespace quorvane::testing
