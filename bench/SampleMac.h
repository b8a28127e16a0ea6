#pragma once

#include "base/Mac.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace quorvane::bench {

// Copies the bundled sample Mac to `root` with make-sample-mac and dates its other applications'
// files to now; aborts when that fails, since no figure would mean anything then.
inline Mac makeSampleMac(const std::filesystem::path& root) {
    const std::string source = QUORVANE_SOURCE_DIR;
    const std::string make = std::string(QUORVANE_MAKE_SAMPLE_MAC) + " '" + source +
                             "/examples/sample-mac' '" + root.string() + "' && '" + source +
                             "/examples/sample-dates/apply.sh' '" + root.string() + "'";
    if (std::system(make.c_str()) != 0)
        std::abort();
    return Mac{root.string(), "/Users/ann"};
}

} // namespace quorvane::bench
