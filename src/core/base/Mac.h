#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quorvane {

// The watched Mac. All logic works on the Mac's own paths ("/Library/Preferences/...");
// only `hostPath` maps such a path to a file on this machine (root + path). Root "/" is
// the machine itself; a simulated Mac is a folder.
struct Mac {
    std::string root = "/";
    std::string home; // the user's home folder as a Mac path, for example "/Users/ann"

    // The file on this machine that holds the Mac path `macPath` (absolute; a relative path
    // is taken from the Mac's root).
    std::filesystem::path hostPath(std::string_view macPath) const;

    // The Mac path of something under the user's home folder: home + "/" + relative.
    std::string homePath(std::string_view relative) const;

    // The watched Mac chosen by QUORVANE_ROOT (default "/") and QUORVANE_HOME (default $HOME).
    static Mac fromEnvironment();

    bool operator==(const Mac&) const = default;
};

} // namespace quorvane
