#pragma once

#include "base/Mac.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace quorvane::testing {

// A simulated Mac in a fresh temporary folder, for tests. Paths given to its helpers are Mac
// paths. The folder is removed afterwards unless the test failed, so a failure can be looked at.
class TempMac {
public:
    explicit TempMac(std::string_view home = "/Users/ann") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "quorvane-test-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        mac_ = Mac{dir_.string(), std::string(home)};
        mkdir(home);
    }
    ~TempMac() {
        std::error_code error;
        if (!::testing::Test::HasFailure())
            std::filesystem::remove_all(dir_, error);
        else
            std::cerr << "kept the simulated Mac at " << dir_ << "\n";
    }
    TempMac(const TempMac&) = delete;
    TempMac& operator=(const TempMac&) = delete;

    const Mac& mac() const { return mac_; }
    std::filesystem::path host(std::string_view macPath) const { return mac_.hostPath(macPath); }

    void mkdir(std::string_view macPath) const {
        std::filesystem::create_directories(host(macPath));
    }

    void write(std::string_view macPath, std::string_view contents) const {
        std::filesystem::create_directories(host(macPath).parent_path());
        std::ofstream out(host(macPath), std::ios::binary | std::ios::trunc);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    }

    // A symbolic link at `macPath` pointing at `target` (taken as it is).
    void link(std::string_view target, std::string_view macPath) const {
        std::filesystem::create_directories(host(macPath).parent_path());
        std::filesystem::create_symlink(target, host(macPath));
    }

private:
    std::filesystem::path dir_;
    Mac mac_;
};

} // namespace quorvane::testing
