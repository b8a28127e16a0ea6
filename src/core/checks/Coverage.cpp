#include "checks/Coverage.h"
#include "base/PropertyList.h"

#include <plist/plist.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <system_error>

namespace quorvane {

namespace {

// Looking at these can stall on an automounted network share.
constexpr std::array<std::string_view, 3> neverProbedRoots{"/net", "/Network", "/automount"};
// Looking inside these makes macOS ask the user for permission (or download from a cloud).
constexpr std::array<std::string_view, 5> neverProbedHomeFolders{
    "Desktop", "Documents", "Downloads", "Library/Mobile Documents", "Library/CloudStorage"};
// Folders of a home folder that read as "Your … folder".
constexpr std::array<std::string_view, 8> namedHomeFolders{
    "Desktop", "Documents", "Downloads", "Movies", "Music", "Pictures", "Library", "Public"};

struct CloudFolder {
    std::string_view substring; // in the lower-cased path
    std::string_view name;
};
// Tested in this order: the specific cloud-storage providers before the bare "/dropbox".
constexpr std::array<CloudFolder, 6> cloudFolders{{
    {"cloudstorage/onedrive", "OneDrive folder"},
    {"cloudstorage/googledrive", "Google Drive folder"},
    {"cloudstorage/dropbox", "Dropbox folder"},
    {"cloudstorage/box", "Box folder"},
    {"/dropbox", "Dropbox folder"},
    {"mobile documents", "iCloud Drive folder"},
}};

// Folders that macOS shows as single documents; the walk does not enter them.
constexpr std::array<std::string_view, 40> packageExtensions{
    "app",          "appex",         "aplibrary",    "band",
    "bundle",       "component",     "docarchive",   "fcpbundle",
    "framework",    "imovielibrary", "kext",         "key",
    "logicx",       "lpdf",          "mdimporter",   "migratedphotolibrary",
    "mpkg",         "musiclibrary",  "numbers",      "pages",
    "photolibrary", "photoslibrary", "pkg",          "playground",
    "plugin",       "prefpane",      "qlgenerator",  "rtfd",
    "saver",        "scptd",         "sparsebundle", "systemextension",
    "theater",      "tvlibrary",     "wdgt",         "xcarchive",
    "xcodeproj",    "xcworkspace",   "xpc",          "backupbundle"};

// An evicted iCloud file is replaced by ".NAME.icloud", a small property list.
constexpr std::string_view placeholderSuffix = ".icloud";
constexpr off_t maxPlaceholderBytes = 64 * 1024;
// Deeper folders are left out rather than holding one open folder per level without limit.
constexpr std::size_t maxWalkDepth = 256;

std::string lowercasedASCII(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// "/" + components joined by "/" ("/" for none); `components` start after the leading "/".
std::string joinAbsolute(const std::vector<std::string>& components, std::size_t from = 1) {
    std::string path;
    for (std::size_t i = from; i < components.size(); ++i) {
        path += '/';
        path += components[i];
    }
    return path.empty() ? "/" : path;
}

// Lexical standardisation: no empty or "." components, no trailing "/". Never touches the disk.
std::string standardized(std::string_view path) {
    std::vector<std::string> components = pathComponents(path);
    if (components.empty() || components.front() != "/")
        return std::string(path);
    return joinAbsolute(components);
}

// `path` equals `folder` or lies inside it.
bool isWithin(std::string_view path, std::string_view folder) {
    if (path == folder)
        return true;
    if (folder == "/")
        return startsWith(path, "/");
    return path.size() > folder.size() && startsWith(path, folder) && path[folder.size()] == '/';
}

std::string lastComponent(std::string_view path) {
    std::vector<std::string> components = pathComponents(path);
    return components.empty() ? std::string() : components.back();
}

bool isPackageName(std::string_view name) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size())
        return false;
    std::string extension = lowercasedASCII(name.substr(dot + 1));
    return std::find(packageExtensions.begin(), packageExtensions.end(), extension) !=
           packageExtensions.end();
}

// The real file name behind a placeholder name ".NAME.icloud"; empty when `name` is not one.
std::string_view placeholderTarget(std::string_view name) {
    if (name.size() <= 1 + placeholderSuffix.size() || name.front() != '.' ||
        !endsWith(name, placeholderSuffix))
        return {};
    return name.substr(1, name.size() - 1 - placeholderSuffix.size());
}

// The size a placeholder records for its file ("NSURLFileSizeKey"); 0 when it cannot be read.
std::int64_t placeholderSize(int folderFD, const char* name) {
    int fd = openat(folderFD, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    std::string bytes;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        info.st_size <= maxPlaceholderBytes) {
        bytes.resize(static_cast<std::size_t>(info.st_size));
        std::size_t filled = 0;
        while (filled < bytes.size()) {
            ssize_t got = read(fd, bytes.data() + filled, bytes.size() - filled);
            if (got <= 0)
                break;
            filled += static_cast<std::size_t>(got);
        }
        bytes.resize(filled);
    }
    close(fd);
    if (bytes.empty())
        return 0;
    PropertyList root = parsePropertyList(bytes);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return 0;
    plist_t size = plist_dict_get_item(root.get(), "NSURLFileSizeKey");
    if (!size || plist_get_node_type(size) != PLIST_UINT)
        return 0;
    std::uint64_t value = 0;
    plist_get_uint_val(size, &value);
    // libplist keeps negative integers as huge unsigned values: those are no size either.
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return 0;
    return static_cast<std::int64_t>(value);
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return std::numeric_limits<std::int64_t>::max();
    return sum;
}

struct FolderCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Folder = std::unique_ptr<DIR, FolderCloser>;

// Opens a folder for reading; `nofollow` refuses a symbolic link in its place.
Folder openFolder(int parentFD, const char* name, bool nofollow) {
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | (nofollow ? O_NOFOLLOW : 0);
    int fd = openat(parentFD, name, flags);
    if (fd < 0)
        return nullptr;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return nullptr;
    }
    return Folder(dir);
}

// The type of an entry without following a link; DT_UNKNOWN when it cannot be read.
unsigned char entryType(DIR* dir, const dirent& entry) {
    if (entry.d_type != DT_UNKNOWN)
        return entry.d_type;
    struct stat info {};
    if (fstatat(dirfd(dir), entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return DT_UNKNOWN;
    if (S_ISDIR(info.st_mode))
        return DT_DIR;
    if (S_ISREG(info.st_mode))
        return DT_REG;
    return DT_UNKNOWN;
}

} // namespace

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> components;
    if (!path.empty() && path.front() == '/')
        components.emplace_back("/");
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            components.emplace_back(part);
        start = end + 1;
    }
    return components;
}

std::vector<MountedVolume> mountedVolumes(const Mac& mac) {
    std::vector<MountedVolume> volumes;
    std::error_code error;
    std::filesystem::directory_iterator it(mac.hostPath("/Volumes"), error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name.empty() || name.front() == '.')
            continue;
        std::error_code typeError;
        auto type = it->symlink_status(typeError).type();
        if (typeError || (type != std::filesystem::file_type::directory &&
                          type != std::filesystem::file_type::symlink))
            continue;
        volumes.push_back({"/Volumes/" + name, true});
    }
    std::sort(volumes.begin(), volumes.end(),
              [](const MountedVolume& a, const MountedVolume& b) { return a.path < b.path; });
    return volumes;
}

std::optional<bool> safeFolderExists(const Mac& mac, std::string_view path, std::string_view home,
                                     const std::optional<std::vector<MountedVolume>>& mounted,
                                     const ExistenceTest& exists) {
    if (path.empty() || path.front() != '/')
        return std::nullopt;
    std::vector<std::string> components = pathComponents(path);
    if (std::find(components.begin(), components.end(), "..") != components.end())
        return std::nullopt;
    const std::string standard = joinAbsolute(components);

    for (std::string_view root : neverProbedRoots)
        if (isWithin(standard, root))
            return std::nullopt;

    // A home that is not a plain absolute path protects nothing, and must not block "/Desktop".
    std::vector<std::string> homeComponents = pathComponents(home);
    bool homeIsPlain =
        !homeComponents.empty() && homeComponents.front() == "/" &&
        std::find(homeComponents.begin(), homeComponents.end(), "..") == homeComponents.end();
    if (homeIsPlain) {
        std::string homePath = joinAbsolute(homeComponents);
        for (std::string_view sub : neverProbedHomeFolders) {
            std::string protectedFolder =
                (homePath == "/" ? "" : homePath) + "/" + std::string(sub);
            if (isWithin(standard, protectedFolder))
                return std::nullopt;
        }
    }

    if (components.size() > 2 && components[1] == "Volumes") {
        std::string volumePath = "/Volumes/" + components[2];
        std::vector<MountedVolume> volumes = mounted ? *mounted : mountedVolumes(mac);
        auto volume = std::find_if(volumes.begin(), volumes.end(), [&](const MountedVolume& v) {
            return standardized(v.path) == volumePath;
        });
        if (volume == volumes.end())
            return false; // the drive is not attached
        if (volume->isLocal == false)
            return std::nullopt; // a network volume may stall
    }

    if (exists)
        return exists(standard);
    std::error_code error;
    return std::filesystem::exists(mac.hostPath(standard), error) && !error;
}

std::optional<std::vector<std::string>> homeFolder(std::string_view path) {
    std::vector<std::string> components = pathComponents(path);
    if (components.size() >= 3 && components[0] == "/" && components[1] == "Users" &&
        components[2] != "Shared")
        return std::vector<std::string>(components.begin(), components.begin() + 3);
    return std::nullopt;
}

std::string exclusionPath(std::string_view path) {
    if (!homeFolder(path))
        return std::string(path);
    std::vector<std::string> components = pathComponents(path);
    if (components.size() == 3)
        return "~";
    return "~" + joinAbsolute(components, 3);
}

std::string describeExclusion(std::string_view path) {
    std::vector<std::string> components = pathComponents(path);
    if (components.size() == 3 && components[0] == "/" && components[1] == "Volumes")
        return "The external drive " + components[2] +
               " is excluded from Time Machine, so nothing on it is backed up";
    if (components.size() == 4 && homeFolder(path) &&
        std::find(namedHomeFolders.begin(), namedHomeFolders.end(), components[3]) !=
            namedHomeFolders.end())
        return "Your " + components[3] + " folder is excluded from Time Machine";

    std::string lowered = lowercasedASCII(path);
    std::string name;
    for (const CloudFolder& folder : cloudFolders) {
        if (lowered.find(folder.substring) != std::string::npos) {
            name = folder.name;
            break;
        }
    }
    if (name.empty()) {
        name = components.empty() ? std::string() : components.back();
        std::erase(name, '~');
    }
    return name + " is excluded from Time Machine";
}

CoverageResult checkCoverage(const Mac& mac, std::string_view folder, double budget, Date now) {
    using Clock = std::chrono::steady_clock;
    CoverageResult result;
    result.folder = std::string(folder);
    result.checkedAt = now;

    // A budget that is not a number stops at once; a huge one is clamped to keep the arithmetic
    // in range.
    double seconds = std::isnan(budget) ? 0.0 : std::clamp(budget, 0.0, 1e9);
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));

    std::vector<Folder> stack;
    Folder top = openFolder(AT_FDCWD, mac.hostPath(folder).c_str(), false);
    if (!top)
        return result;
    stack.push_back(std::move(top));

    while (!stack.empty()) {
        DIR* dir = stack.back().get();
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry) {
            stack.pop_back(); // finished, or a read error: go on with the parent
            continue;
        }
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (Clock::now() > deadline) {
            result.partial = true;
            break;
        }
        switch (entryType(dir, *entry)) {
        case DT_DIR:
            if (isPackageName(name) || stack.size() >= maxWalkDepth)
                break;
            if (Folder child = openFolder(dirfd(dir), entry->d_name, true))
                stack.push_back(std::move(child));
            break;
        case DT_REG: {
            ++result.filesChecked;
            std::string_view target = placeholderTarget(name);
            if (target.empty())
                break;
            ++result.cloudOnlyCount;
            result.cloudOnlyBytes =
                saturatingAdd(result.cloudOnlyBytes, placeholderSize(dirfd(dir), entry->d_name));
            if (result.sample.size() < coverageSampleLimit)
                result.sample.emplace_back(target);
            break;
        }
        default:
            break; // links, devices, sockets and unreadable entries are not files of the folder
        }
    }
    return result;
}

std::string decimalByteCount(std::int64_t bytes) {
    if (bytes == 0)
        return "Zero KB";
    if (bytes == 1 || bytes == -1)
        return std::to_string(bytes) + " byte";
    if (bytes > -1000 && bytes < 1000)
        return std::to_string(bytes) + " bytes";
    struct Unit {
        const char* name;
        double scale;
        int decimals;
    };
    static constexpr std::array<Unit, 6> units{{{"KB", 1e3, 0},
                                                {"MB", 1e6, 1},
                                                {"GB", 1e9, 2},
                                                {"TB", 1e12, 2},
                                                {"PB", 1e15, 2},
                                                {"EB", 1e18, 2}}};
    const double value = static_cast<double>(bytes);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const Unit& unit = units[i];
        double factor = std::pow(10.0, unit.decimals);
        double rounded = std::round(value / unit.scale * factor) / factor;
        // Move up a unit when rounding reaches 1000 ("1 MB", never "1000 KB").
        if (std::fabs(rounded) >= 1000 && i + 1 < units.size())
            continue;
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", unit.decimals, rounded);
        std::string number = text;
        if (number.find('.') != std::string::npos) {
            while (number.back() == '0')
                number.pop_back();
            if (number.back() == '.')
                number.pop_back();
        }
        return number + " " + unit.name;
    }
    return {};
}

std::string coverageLine(const CoverageResult& result) {
    std::string name = lastComponent(result.folder);
    if (result.cloudOnlyCount > 0) {
        std::string count = result.cloudOnlyCount == 1
                                ? std::string("1 file")
                                : std::to_string(result.cloudOnlyCount) + " files";
        return name + ": " + count + " (" + decimalByteCount(result.cloudOnlyBytes) +
               ") weren't on this Mac when checked, so a local backup can't include them" +
               (result.partial ? " (check stopped early; there may be more)" : "") + ".";
    }
    return name + ": every file checked was on this Mac" +
           (result.partial ? " (check stopped early)" : "") + ".";
}

} // namespace quorvane
