#pragma once

#include "PeakMemory.h"
#include "base/Mac.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace quorvane::bench {

// A throw-away simulated Mac for benchmarks that run fake tools; removed on destruction.
class FakeToolMac {
public:
    FakeToolMac() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "quorvane-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        mac_ = Mac{dir_.string(), "/Users/ann"};
    }
    ~FakeToolMac() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    FakeToolMac(const FakeToolMac&) = delete;
    FakeToolMac& operator=(const FakeToolMac&) = delete;

    const Mac& mac() const { return mac_; }
    std::filesystem::path host(std::string_view macPath) const { return mac_.hostPath(macPath); }

    void write(std::string_view macPath, std::string_view contents) const {
        std::filesystem::create_directories(host(macPath).parent_path());
        std::ofstream out(host(macPath), std::ios::binary | std::ios::trunc);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    }

    // A script the trust check accepts (file and folder 755).
    void installScript(std::string_view macPath, std::string_view script) const {
        write(macPath, script);
        ::chmod(host(macPath).c_str(), 0755);
        ::chmod(host(macPath).parent_path().c_str(), 0755);
    }

private:
    std::filesystem::path dir_;
    Mac mac_;
};

} // namespace quorvane::bench
