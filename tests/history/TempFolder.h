#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvane::testing {

// A fresh folder under the system temp dir; removed afterwards unless the test failed.
class TempFolder {
public:
    TempFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "quorvane-history-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code error;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, error);
        if (!::testing::Test::HasFailure())
            std::filesystem::remove_all(path_, error);
        else
            std::cerr << "kept the test folder at " << path_ << "\n";
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    void write(const std::string& name, std::string_view contents) const {
        std::filesystem::create_directories((path_ / name).parent_path());
        std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    }

    std::string read(const std::string& name) const { return readFile(path_ / name); }

    static std::string readFile(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::filesystem::path path_;
};

inline std::string fixtureText(const std::string& relative) {
    return TempFolder::readFile(std::filesystem::path(QUORVANE_FIXTURES) / relative);
}

} // namespace quorvane::testing
