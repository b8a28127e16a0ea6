#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "base/MacPath.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// What a walk of one folder found about files that live only in iCloud. Kept in memory by the
// application, not persisted.
struct CoverageResult {
    std::string folder;              // the Mac path that was checked
    std::int64_t cloudOnlyCount = 0; // regular files in iCloud but not downloaded
    std::int64_t cloudOnlyBytes = 0; // their sizes summed (unknown sizes count 0)
    std::vector<std::string> sample; // up to `coverageSampleLimit` of their names, walk order
    std::int64_t filesChecked = 0;   // regular files examined
    bool partial = false;            // the walk stopped before seeing everything it could
    Date checkedAt{};                // the `now` given by the caller

    bool operator==(const CoverageResult&) const = default;
};

inline constexpr std::size_t coverageSampleLimit = 10;
// The budget the application gives each folder, in seconds.
inline constexpr double coverageBudget = 20.0;
// Levels of folders the walk follows, the checked folder included; deeper ones are left out
// (and the result is partial).
inline constexpr std::size_t coverageMaxDepth = 256;
// Folder descriptors the walk holds at once; one more is opened briefly to read a placeholder.
inline constexpr std::size_t coverageMaxOpenFolders = 63;

// A mounted volume: its Mac path ("/Volumes/Backup") and whether it is on this Mac (absent when
// that could not be read).
struct MountedVolume {
    std::string path;
    std::optional<bool> isLocal;

    bool operator==(const MountedVolume&) const = default;
};

// The volumes mounted on the watched Mac: the folders directly under "/Volumes" (hidden names
// skipped), all local. Symbolic links there are listed but not followed.
std::vector<MountedVolume> mountedVolumes(const Mac& mac);

// Existence test for a Mac path; the default asks the file system through `mac.hostPath`.
using ExistenceTest = std::function<bool(const std::string& macPath)>;

// Whether the folder at Mac path `path` exists, answered only where looking is harmless: absent
// for relative paths, paths with "..", network roots ("/net", "/Network", "/automount"), the
// privacy-protected folders of `home` (Desktop, Documents, Downloads, iCloud Drive and cloud
// storage), folders on a mounted network volume, and paths below `home` that pass through a
// symbolic link (it may lead into a protected folder); false for a folder on a volume under
// "/Volumes" that is not mounted. Names are compared ignoring case, as a Mac's disk does.
// `mounted` absent means the Mac's own list (`mountedVolumes`); `exists` is called only once
// every other rule has passed.
std::optional<bool> safeFolderExists(const Mac& mac, std::string_view path, std::string_view home,
                                     const std::optional<std::vector<MountedVolume>>& mounted = {},
                                     const ExistenceTest& exists = {});

// `path` relative to its home folder with "~" ("~", "~/Documents"); unchanged outside one.
std::string exclusionPath(std::string_view path);

// A sentence saying what an excluded path holds: a whole external drive, one of the home
// folder's own folders, a cloud-drive folder by its service's name, or the folder's name.
std::string describeExclusion(std::string_view path);

// Walks the folder at Mac path `folder` for at most `budget` seconds of the steady clock and
// counts the files that are only in iCloud (their ".NAME.icloud" placeholders). Never follows a
// symbolic link, never enters packages, skips what it cannot read, and holds at most
// `coverageMaxOpenFolders` folders open however deep the tree. Sets `partial` when it stops at
// the budget, leaves out folders deeper than `coverageMaxDepth` levels or runs out of file
// descriptors. A folder that cannot be opened gives an empty, complete result.
CoverageResult checkCoverage(const Mac& mac, std::string_view folder, double budget, Date now);

// The one-sentence summary of a result for the settings window.
std::string coverageLine(const CoverageResult& result);

// A byte count in decimal units the way the settings and status texts show sizes: "Zero KB",
// "1 byte", "512 bytes", "3 KB", "1.5 MB", "12.3 GB".
std::string decimalByteCount(std::int64_t bytes);

} // namespace quorvane
