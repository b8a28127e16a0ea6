#include "checks/Coverage.h"
#include "base/PropertyList.h"

#include <plist/plist.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

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
// Subfolder names a walk may hold in memory for folders it had to close.
constexpr std::size_t maxPendingNameBytes = 16 * 1024 * 1024;

std::string lowercasedASCII(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
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
        !name.ends_with(placeholderSuffix))
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

bool outOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE;
}

// Whether one of `components[from...]` (the part of a path below `folder`) is a symbolic link,
// or might be: running out of descriptors counts as a link. Goes down from `folder` one
// component at a time without following links, so what is looked at is what is there; stops
// quietly where the path does not go on.
bool linkBelow(const Mac& mac, const std::string& folder,
               const std::vector<std::string>& components, std::size_t from) {
    int fd = ::open(mac.hostPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return outOfDescriptors(errno);
    bool link = false;
    for (std::size_t i = from; fd >= 0 && i < components.size(); ++i) {
        const char* name = components[i].c_str();
        struct stat info {};
        if (::fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            break;
        if (S_ISLNK(info.st_mode)) {
            link = true;
            break;
        }
        if (!S_ISDIR(info.st_mode) || i + 1 == components.size())
            break;
        const int child = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        // ELOOP: swapped for a link since the look.
        link = child < 0 && (errno == ELOOP || outOfDescriptors(errno));
        ::close(fd);
        fd = child;
    }
    if (fd >= 0)
        ::close(fd);
    return link;
}

// The coverage walk: depth first, holding the open folders of the deepest levels only. When a
// deeper folder needs a descriptor and `coverageMaxOpenFolders` are held, the shallowest open
// folder reads the rest of its listing (counting its files, remembering its subfolders) and is
// closed; it is opened again by name from the top when the walk comes back to it.
class CoverageWalk {
public:
    CoverageWalk(std::filesystem::path top, double budget, CoverageResult& result)
        : top_(std::move(top)), result_(result) {
        // A budget that is not a number stops at once; a huge one is clamped to keep the
        // arithmetic in range.
        const double seconds = std::isnan(budget) ? 0.0 : std::clamp(budget, 0.0, 1e9);
        deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(seconds));
    }

    void run() {
        Frame first;
        first.dir = openFolder(AT_FDCWD, top_.c_str(), false);
        if (!first.dir || !identify(first))
            return;
        stack_.push_back(std::move(first));
        while (!stack_.empty() && !stopped_) {
            if (!stack_.back().dir && !reopenTop()) {
                pop();
                continue;
            }
            std::optional<std::string> child = nextSubfolder(stack_.back());
            if (!child) {
                pop();
                continue;
            }
            descend(*child);
        }
    }

private:
    using Clock = std::chrono::steady_clock;

    struct Frame {
        Folder dir;       // open while among the deepest folders
        std::string name; // relative to the frame below; empty for the top
        dev_t device = 0; // which folder it was, to recognise it when reopened
        ino_t inode = 0;
        bool drained = false;             // its listing has been read to the end
        std::vector<std::string> pending; // subfolders still to visit, last first, once drained
    };

    bool identify(Frame& frame) {
        struct stat info {};
        if (::fstat(dirfd(frame.dir.get()), &info) != 0)
            return false;
        frame.device = info.st_dev;
        frame.inode = info.st_ino;
        return true;
    }

    bool pastDeadline() {
        if (Clock::now() <= deadline_)
            return false;
        result_.partial = true;
        stopped_ = true;
        return true;
    }

    void stopEarly() { result_.partial = true; }

    void countFile(DIR* dir, const char* name) {
        ++result_.filesChecked;
        const std::string_view target = placeholderTarget(name);
        if (target.empty())
            return;
        ++result_.cloudOnlyCount;
        result_.cloudOnlyBytes =
            saturatingAdd(result_.cloudOnlyBytes, placeholderSize(dirfd(dir), name));
        if (result_.sample.size() < coverageSampleLimit)
            result_.sample.emplace_back(target);
    }

    // Reads the next entry of an open, undrained folder: counts a file, gives a subfolder to
    // enter, or nothing at the end of the listing (or past the deadline).
    std::optional<std::string> readSubfolder(Frame& frame) {
        DIR* dir = frame.dir.get();
        while (!stopped_) {
            errno = 0;
            const dirent* entry = ::readdir(dir);
            if (!entry)
                return std::nullopt; // finished, or a read error: go on with the parent
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            if (pastDeadline())
                return std::nullopt;
            switch (entryType(dir, *entry)) {
            case DT_DIR:
                if (!isPackageName(name))
                    return std::string(name);
                break;
            case DT_REG:
                countFile(dir, entry->d_name);
                break;
            default:
                break; // links, devices, sockets and unreadable entries are not files here
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> nextSubfolder(Frame& frame) {
        if (!frame.drained)
            return readSubfolder(frame);
        if (frame.pending.empty() || pastDeadline())
            return std::nullopt;
        std::string name = std::move(frame.pending.back());
        frame.pending.pop_back();
        pendingBytes_ -= name.size();
        return name;
    }

    void descend(const std::string& name) {
        if (stack_.size() >= coverageMaxDepth) {
            stopEarly(); // too deep to follow: say so rather than claim the whole folder
            return;
        }
        if (stack_.size() - firstOpen_ >= coverageMaxOpenFolders)
            closeShallowest();
        if (stopped_)
            return;
        Frame child;
        child.name = name;
        errno = 0;
        child.dir = openFolder(dirfd(stack_.back().dir.get()), name.c_str(), true);
        if (!child.dir) {
            if (outOfDescriptors(errno))
                stopEarly();
            return; // gone, unreadable or a link: not part of the folder's files
        }
        if (!identify(child))
            return;
        stack_.push_back(std::move(child));
    }

    // Drains and closes the shallowest open folder to free its descriptor.
    void closeShallowest() {
        Frame& frame = stack_[firstOpen_];
        if (!frame.drained) {
            std::vector<std::string> names;
            while (std::optional<std::string> name = readSubfolder(frame)) {
                if (pendingBytes_ + name->size() > maxPendingNameBytes) {
                    stopEarly();
                    continue;
                }
                pendingBytes_ += name->size();
                names.push_back(std::move(*name));
            }
            std::reverse(names.begin(), names.end()); // so they are visited in listing order
            frame.pending = std::move(names);
            frame.drained = true;
        }
        frame.dir.reset();
        ++firstOpen_;
    }

    // Opens the top frame again, from the walk's folder down by name, never through a link;
    // false when it is gone or no longer the folder it was.
    bool reopenTop() {
        errno = 0;
        Folder dir = openFolder(AT_FDCWD, top_.c_str(), false);
        int error = errno;
        for (std::size_t i = 0; dir; ++i) {
            struct stat info {};
            if (::fstat(dirfd(dir.get()), &info) != 0 || info.st_dev != stack_[i].device ||
                info.st_ino != stack_[i].inode)
                return false;
            if (i + 1 == stack_.size()) {
                stack_.back().dir = std::move(dir);
                firstOpen_ = stack_.size() - 1;
                return true;
            }
            errno = 0;
            Folder next = openFolder(dirfd(dir.get()), stack_[i + 1].name.c_str(), true);
            error = errno;
            dir = std::move(next);
        }
        if (outOfDescriptors(error))
            stopEarly();
        return false;
    }

    void pop() {
        for (const std::string& name : stack_.back().pending)
            pendingBytes_ -= name.size();
        stack_.pop_back();
        firstOpen_ = std::min(firstOpen_, stack_.size());
    }

    std::filesystem::path top_;
    CoverageResult& result_;
    Clock::time_point deadline_;
    std::vector<Frame> stack_;
    std::size_t firstOpen_ = 0; // frames below this index are closed, the rest open
    std::size_t pendingBytes_ = 0;
    bool stopped_ = false;
};

} // namespace

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
    const std::vector<std::string> components = pathComponents(path);
    if (std::find(components.begin(), components.end(), "..") != components.end())
        return std::nullopt;
    const std::string standard = standardisedMacPath(path);
    // A Mac's disk ignores case by default: "/Users/ann/documents" is the Documents folder.
    const std::string folded = caseFoldedPath(standard);

    for (std::string_view root : neverProbedRoots)
        if (pathIsWithin(folded, caseFoldedPath(root)))
            return std::nullopt;

    // A home that is not a plain absolute path protects nothing, and must not block "/Desktop".
    const std::vector<std::string> homeComponents = pathComponents(home);
    const bool homeIsPlain =
        !homeComponents.empty() && homeComponents.front() == "/" &&
        std::find(homeComponents.begin(), homeComponents.end(), "..") == homeComponents.end();
    const std::string homePath = homeIsPlain ? standardisedMacPath(home) : std::string();
    const std::string foldedHome = caseFoldedPath(homePath);
    if (homeIsPlain) {
        for (std::string_view sub : neverProbedHomeFolders) {
            const std::string protectedFolder =
                (foldedHome == "/" ? "" : foldedHome) + "/" + caseFoldedPath(sub);
            if (pathIsWithin(folded, protectedFolder))
                return std::nullopt;
        }
    }

    if (components.size() > 2 && caseFoldedPath(components[1]) == "volumes") {
        const std::string volumePath = caseFoldedPath("/Volumes/" + components[2]);
        const std::vector<MountedVolume> volumes = mounted ? *mounted : mountedVolumes(mac);
        auto volume = std::find_if(volumes.begin(), volumes.end(), [&](const MountedVolume& v) {
            return caseFoldedPath(standardisedMacPath(v.path)) == volumePath;
        });
        if (volume == volumes.end())
            return false; // the drive is not attached
        if (volume->isLocal == false)
            return std::nullopt; // a network volume may stall
    }

    // "~/Work -> Documents" would carry a harmless-looking path into a protected folder.
    if (homeIsPlain && pathIsWithin(folded, foldedHome) &&
        linkBelow(mac, homePath, components, homeComponents.size()))
        return std::nullopt;

    if (exists)
        return exists(standard);
    std::error_code error;
    return std::filesystem::exists(mac.hostPath(standard), error) && !error;
}

std::string exclusionPath(std::string_view path) {
    if (!homeFolder(path))
        return std::string(path);
    std::vector<std::string> components = pathComponents(path);
    std::string shortPath = "~";
    for (std::size_t i = 3; i < components.size(); ++i)
        shortPath += "/" + components[i];
    return shortPath;
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
    CoverageResult result;
    result.folder = std::string(folder);
    result.checkedAt = now;
    CoverageWalk walk(mac.hostPath(folder), budget, result);
    walk.run();
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
    std::string name = finalComponent(result.folder);
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
