#include "checks/RestoreTest.h"

#include "base/IsoDate.h"
#include "base/MacPath.h"
#include "timemachine/StatusText.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <random>
#include <utility>

namespace quorvane {

namespace {

constexpr std::size_t maxEntriesChecked = 10'000;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

std::error_code lastError() {
    return {errno, std::generic_category()};
}

// The test folder's path, standardised, so the stored path and every comparison with it agree
// however the home folder is written ("/Users//ann", "/Users/ann/.").
std::string folderPath(std::string_view home) {
    std::string folder = standardisedMacPath(home);
    if (folder != "/")
        folder += '/';
    return folder + std::string(restoreTestFolderName);
}

// Opens our test folder without following a link at its place; creates it when `create`.
Fd openTestFolder(const Mac& mac, bool create, std::error_code& error) {
    const std::filesystem::path host = mac.hostPath(folderPath(mac.home));
    if (create) {
        std::filesystem::create_directories(host.parent_path(), error);
        if (error)
            return Fd();
        if (::mkdir(host.c_str(), 0755) != 0 && errno != EEXIST) {
            error = lastError();
            return Fd();
        }
    }
    Fd fd(::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        error = lastError();
    return fd;
}

// Writes `contents` to `name` in the folder through a temporary file and a rename, so the file
// is either the old one or the whole new one. rename replaces a name; it never writes through it.
std::error_code writeAtomically(int folder, std::string_view name, std::string_view contents) {
    std::random_device random;
    const std::string temporary = "." + std::string(name) + "." + std::to_string(random()) + ".tmp";
    Fd fd(::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0644));
    if (!fd)
        return lastError();
    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = ::write(fd.get(), contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            auto error = lastError();
            ::unlinkat(folder, temporary.c_str(), 0);
            return error;
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0 ||
        ::renameat(folder, temporary.c_str(), folder, std::string(name).c_str()) != 0) {
        auto error = lastError();
        ::unlinkat(folder, temporary.c_str(), 0);
        return error;
    }
    return {};
}

std::string newUUID() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        std::random_device random;
        for (auto& b : bytes)
            b = static_cast<unsigned char>(random());
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

// The contents of a regular file in the folder of at most the size limit; absent otherwise.
std::optional<std::string> readEntry(int folder, const char* name) {
    struct stat info {};
    if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > static_cast<off_t>(restoreTestMaxBytes))
        return std::nullopt;
    Fd fd(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    std::string contents;
    char buffer[65536];
    while (contents.size() < restoreTestMaxBytes) {
        const ssize_t n = ::read(fd.get(), buffer,
                                 std::min(sizeof buffer, restoreTestMaxBytes - contents.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    return contents;
}

} // namespace

std::string sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return "";
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0F];
    }
    return text;
}

std::optional<RestoreTestState> startRestoreTest(const Mac& mac,
                                                 const std::optional<RestoreTestState>& previous,
                                                 Date now, std::error_code& error) {
    error.clear();
    Fd folder = openTestFolder(mac, true, error);
    if (!folder)
        return std::nullopt;
    const std::string contents =
        "Quorvane Ombrel restore test\nMade " + isoDateText(now) + "\nCode " + newUUID() +
        "\n\nQuorvane Ombrel made this file to check that Time Machine can restore it.\nYou can "
        "delete this folder at any time.\n";
    if ((error = writeAtomically(folder.get(), restoreTestFileName, contents)))
        return std::nullopt;
    RestoreTestState state;
    state.phase = RestoreTestState::Phase::waitingForBackup;
    state.started = now;
    state.folder = folderPath(mac.home);
    state.fileName = std::string(restoreTestFileName);
    state.originalHash = sha256Hex(contents);
    if (previous)
        state.results = previous->results;
    return state;
}

bool restoreTestPathIsOurs(const RestoreTestState& state, std::string_view home) {
    return standardisedMacPath(state.folder) == folderPath(home) &&
           state.fileName == restoreTestFileName;
}

bool restoreTestExcluded(const RestoreTestState& state, const TimeMachineSettings& settings,
                         std::string_view home) {
    const std::string folder = standardisedMacPath(state.folder);
    return std::any_of(settings.excludedPaths.begin(), settings.excludedPaths.end(),
                       [&](const std::string& excluded) {
                           return pathIsWithin(folder,
                                               standardisedMacPath(expandTilde(excluded, home)));
                       });
}

void advanceRestoreTest(RestoreTestState& state, const TimeMachineSettings& settings, Date now,
                        const Mac& mac) {
    if (state.phase != RestoreTestState::Phase::waitingForBackup ||
        !restoreTestPathIsOurs(state, mac.home))
        return;
    for (const BackupDestination& destination : settings.destinations) {
        const auto last = destination.lastCompleted();
        if (!last || secondsBetween(state.started, *last) <= 30)
            continue;
        std::error_code error;
        Fd folder = openTestFolder(mac, false, error);
        if (!folder)
            return;
        struct stat info {};
        if (::fstatat(folder.get(), state.fileName.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISREG(info.st_mode))
            return; // replaced by a link or a folder: never write through or over it
        if (!writeAtomically(folder.get(), state.fileName,
                             "This copy was changed by Quorvane Ombrel.\nRestore the earlier "
                             "version from Time Machine to finish the test.\n")) {
            state.phase = RestoreTestState::Phase::readyToRestore;
            state.changedAt = now;
        }
        return;
    }
}

bool checkRestoreTest(RestoreTestState& state, const std::optional<std::string>& destination,
                      Date now, const Mac& mac) {
    if (state.phase != RestoreTestState::Phase::readyToRestore)
        return state.phase == RestoreTestState::Phase::passed;
    if (!restoreTestPathIsOurs(state, mac.home))
        return false;
    std::error_code error;
    Fd folder = openTestFolder(mac, false, error);
    bool found = false;
    if (folder) {
        const int listing = ::dup(folder.get());
        if (DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr) {
            std::size_t examined = 0;
            while (const dirent* entry = ::readdir(dir)) {
                const std::string_view name = entry->d_name;
                if (name == "." || name == "..")
                    continue;
                if (++examined > maxEntriesChecked)
                    break;
                if (auto contents = readEntry(folder.get(), entry->d_name);
                    contents && sha256Hex(*contents) == state.originalHash) {
                    found = true;
                    break;
                }
            }
            ::closedir(dir);
        } else if (listing >= 0) {
            ::close(listing);
        }
    }
    if (found) {
        state.phase = RestoreTestState::Phase::passed;
        state.finishedAt = now;
        state.note.reset();
        state.results.push_back({now, true, destination});
        return true;
    }
    state.note = "The restored file isn't there yet. Restore \"" + state.fileName +
                 "\" from a backup made before " + shortDate(state.changedAt.value_or(now), now) +
                 ", then check again.";
    return false;
}

std::string restoreTestLine(const std::optional<RestoreTestState>& state, Date now) {
    if (!state)
        return "Restore test: not done yet.";
    switch (state->phase) {
    case RestoreTestState::Phase::waitingForBackup:
        return "Restore test: waiting for Time Machine to back up the test file (made " +
               shortDate(state->started, now) + ").";
    case RestoreTestState::Phase::readyToRestore:
        return "Restore test: ready. Restore \"" + state->fileName +
               "\" from Time Machine, then check.";
    case RestoreTestState::Phase::passed:
        return "Restore test passed " + relativeDays(state->finishedAt.value_or(now), now) +
               ": one test file came back from Time Machine unchanged. That doesn't prove every "
               "file can be restored.";
    case RestoreTestState::Phase::failed:
        return "Restore test didn't pass" + (state->note ? ": " + *state->note : std::string("."));
    }
    return "Restore test: not done yet.";
}

bool restoreTestDue(const std::optional<RestoreTestState>& state, Date now, int days) {
    if (!state)
        return true;
    for (auto result = state->results.rbegin(); result != state->results.rend(); ++result) {
        if (result->passed)
            return secondsBetween(result->date, now) > days * 86400.0;
    }
    return true;
}

} // namespace quorvane
