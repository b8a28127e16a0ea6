#pragma once

#include "support/TempMac.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace quorvane::testing {

inline std::string fixtureText(std::string_view relative) {
    std::ifstream in(std::filesystem::path(QUORVANE_FIXTURES) / relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Puts a script at `macPath` with the modes the trust check asks for (file and folder 755),
// whatever the checkout's umask was.
inline void installScript(const TempMac& mac, std::string_view macPath, std::string_view script) {
    mac.write(macPath, script);
    namespace fs = std::filesystem;
    const auto mode = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(mac.host(macPath), mode);
    fs::permissions(mac.host(macPath).parent_path(), mode);
}

// Installs the fake tool tests/fixtures/tools/<name> at `macPath`.
inline void installTool(const TempMac& mac, std::string_view macPath, std::string_view name) {
    installScript(mac, macPath, fixtureText("tools/" + std::string(name)));
}

} // namespace quorvane::testing
