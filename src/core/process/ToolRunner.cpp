#include "process/ToolRunner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace quorvane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t readChunk = 256 * 1024;
constexpr int pipeSize = 1024 * 1024;          // fewer wake-ups for chatty tools
constexpr int readsPerWake = 16;               // then look at the clock again
constexpr double longestTimeout = 7 * 86400.0; // keeps the deadline arithmetic finite

// Closes its descriptor once; the runner's descriptors never outlive a run.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        swap(other);
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int* address() { return &fd_; }
    void swap(Fd& other) noexcept { std::swap(fd_, other.fd_); }

private:
    int fd_ = -1;
};

bool ownedSafely(const struct stat& info) {
    return (info.st_uid == 0 || info.st_uid == ::geteuid()) &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Above the tool's own folder, root's sticky folders that anyone may write to (/tmp, and
// /private/tmp on a Mac) are fine too: the sticky bit lets nobody else rename or remove what root
// or we own in them, and what we walk through there is checked to be ours or root's.
bool safeAboveTheTool(const struct stat& info) {
    return ownedSafely(info) || (info.st_uid == 0 && (info.st_mode & S_ISVTX) != 0);
}

bool inOurGroups(gid_t group) {
    if (group == ::getegid())
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    return got > 0 &&
           std::find(groups.begin(), groups.begin() + got, group) != groups.begin() + got;
}

// Whether the kernel would let this process start the file described by `info`.
bool executableByUs(const struct stat& info) {
    if (::geteuid() == 0)
        return (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
    if (info.st_uid == ::geteuid())
        return (info.st_mode & S_IXUSR) != 0;
    return (info.st_mode & (inOurGroups(info.st_gid) ? S_IXGRP : S_IXOTH)) != 0;
}

// The folders from "/" down to the tool, then the tool's name. The Mac's root may be reached
// through links (a Mac's /tmp is one), so it is resolved first; below the root nothing is
// resolved, and ".." is refused rather than climbed.
std::optional<std::vector<std::string>> pathToTool(const Mac& mac, std::string_view macPath) {
    std::vector<std::string> names;
    char* real = ::realpath(mac.root.empty() ? "/" : mac.root.c_str(), nullptr);
    if (!real)
        return std::nullopt;
    const std::string root(real);
    std::free(real);
    const auto split = [&names](std::string_view text) {
        for (std::size_t start = 0; start <= text.size();) {
            const std::size_t end = std::min(text.find('/', start), text.size());
            const std::string_view part = text.substr(start, end - start);
            if (!part.empty() && part != ".")
                names.emplace_back(part);
            start = end + 1;
        }
    };
    split(root);
    const std::size_t rootDepth = names.size();
    split(macPath);
    if (names.size() == rootDepth ||
        std::find(names.begin() + std::ptrdiff_t(rootDepth), names.end(), "..") != names.end())
        return std::nullopt;
    return names;
}

// A tool that passed the trust check, still open, so that the file started is the file checked.
struct TrustedTool {
    Fd folder;
    Fd file;
    std::string name; // in `folder`
    struct stat info {};
    bool script = false; // starts with "#!"
};

// Walks from "/" to the tool one folder at a time, never following a link, and checks each
// folder and then the file through the descriptor it opened.
std::optional<TrustedTool> openTrusted(const Mac& mac, std::string_view macPath) {
    const auto names = pathToTool(mac, macPath);
    if (!names)
        return std::nullopt;
    TrustedTool tool;
    tool.folder = Fd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (std::size_t i = 0;; ++i) {
        struct stat info {};
        if (!tool.folder.open() || ::fstat(tool.folder.get(), &info) != 0 || !S_ISDIR(info.st_mode))
            return std::nullopt;
        const bool toolsOwn = i + 1 == names->size();
        if (!(toolsOwn ? ownedSafely(info) : safeAboveTheTool(info)))
            return std::nullopt;
        if (toolsOwn)
            break;
        Fd next(::openat(tool.folder.get(), (*names)[i].c_str(),
                         O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        tool.folder.swap(next);
    }
    tool.name = names->back();
    tool.file = Fd(::openat(tool.folder.get(), tool.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!tool.file.open() || ::fstat(tool.file.get(), &tool.info) != 0 ||
        !S_ISREG(tool.info.st_mode) || !ownedSafely(tool.info) || !executableByUs(tool.info))
        return std::nullopt;
    // Read through the checked descriptor, not the name; a file we may not read is no script.
    const std::string self = "/proc/self/fd/" + std::to_string(tool.file.get());
    if (Fd readable(::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)); readable.open()) {
        char start[2] = {};
        tool.script =
            ::pread(readable.get(), start, 2, 0) == 2 && start[0] == '#' && start[1] == '!';
    }
    return tool;
}

// Where one stream's bytes go, with its cap.
struct Collector {
    std::string* buffer = nullptr;                               // collected bytes, or
    const std::function<void(std::string_view)>* sink = nullptr; // handed on as they arrive
    std::size_t cap = 0;
    bool stopAtCap = false; // standard output: going past the cap ends the run
    std::size_t total = 0;  // bytes kept or handed on
    bool capped = false;
    bool eof = false;
};

// Reserves the whole cap up front: address space only, since untouched pages are never faulted
// in, and it spares the copies (and page faults) of a growing buffer, which dominate collecting
// tens of megabytes. `trim` gives the unused room back to a small result.
void reserveFor(Collector& c) {
    if (!c.buffer)
        return;
    c.buffer->reserve(c.cap + 1);
#ifdef MADV_HUGEPAGE
    // Large pages for a large buffer: a few faults instead of thousands when a tool writes a lot.
    constexpr std::uintptr_t huge = 2 * 1024 * 1024;
    const auto begin = reinterpret_cast<std::uintptr_t>(c.buffer->data());
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    const std::uintptr_t last = (begin + c.buffer->capacity()) & ~(huge - 1);
    if (last > first)
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE); // a hint only
#endif
}

void trim(Collector& c) {
    if (c.buffer && c.buffer->size() < c.buffer->capacity() / 2)
        c.buffer->shrink_to_fit();
}

enum class ReadResult { more, drained, closed };

// One read(2) from `fd` into `c`. Reads one byte past the cap so that a tool writing exactly the
// cap is told apart from one that writes more.
ReadResult readOnce(int fd, Collector& c, std::string& scratch) {
    const std::size_t room = c.total <= c.cap ? c.cap - c.total : 0;
    const std::size_t want = std::min(readChunk, room + 1);
    ssize_t got;
    if (c.buffer && !c.capped) {
        std::string& b = *c.buffer;
        const std::size_t size = b.size();
        if (size + want > b.capacity())
            b.reserve(c.cap + 1); // see `reserveFor`
        b.resize(size + want);
        do
            got = ::read(fd, b.data() + size, want);
        while (got < 0 && errno == EINTR);
        b.resize(size + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        if (b.size() > c.cap) {
            b.resize(c.cap);
            c.capped = true;
        }
        c.total = b.size();
    } else {
        scratch.resize(readChunk);
        do
            got = ::read(fd, scratch.data(), c.capped ? readChunk : want);
        while (got < 0 && errno == EINTR);
        if (got > 0 && !c.capped) {
            const std::size_t keep = std::min<std::size_t>(std::size_t(got), room);
            if (c.sink && *c.sink && keep > 0)
                (*c.sink)(std::string_view(scratch.data(), keep));
            c.total += keep;
            c.capped = std::size_t(got) > keep;
        }
    }
    if (got > 0)
        return ReadResult::more;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return ReadResult::drained;
    c.eof = true; // end of file, or a read error, which counts as nothing more to read
    return ReadResult::closed;
}

// Reads what is available now, at most `maxReads` times; closes the descriptor at its end.
void drain(Fd& fd, Collector& c, std::string& scratch, int maxReads) {
    for (int i = 0; fd.open() && i < maxReads; ++i) {
        const ReadResult r = readOnce(fd.get(), c, scratch);
        if (r == ReadResult::closed)
            fd.reset();
        if (r != ReadResult::more || (c.capped && c.stopAtCap))
            return;
    }
}

void killGroup(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL); // in case the tool left its group
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

bool hasExited(pid_t pid) {
    siginfo_t info{};
    int r;
    do
        r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    while (r < 0 && errno == EINTR);
    return r < 0 || info.si_pid == pid; // an error means there is nothing left to wait for
}

// A descriptor that becomes readable when the child exits, so the wait ends at once rather than
// at the next poll interval; -1 where the system has none (the poll interval then bounds it).
int processDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); // always close-on-exec
#else
    (void)pid;
    return -1;
#endif
}

std::vector<std::string> childEnvironment() {
    std::vector<std::string> env{"PATH=/usr/bin:/bin:/usr/sbin:/sbin"};
    for (const char* name : {"HOME", "LANG", "LC_ALL", "TZ", "TMPDIR"})
        if (const char* value = std::getenv(name))
            env.push_back(std::string(name) + "=" + value);
    return env;
}

// The descriptor the tool is started through: its file, or for a script its folder.
constexpr int toolDescriptor = 3;

// Descriptors this process inherited without close-on-exec are not the tool's business either.
bool closeInheritedDescriptors([[maybe_unused]] posix_spawn_file_actions_t& actions) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    return posix_spawn_file_actions_addclosefrom_np(&actions, toolDescriptor + 1) == 0;
#else
    return true;
#endif
}

// Starts the checked tool with stdin from /dev/null and stdout/stderr on the given pipes, as the
// leader of a new process group. Returns the child's pid, or -1.
//
// A program is started through its checked descriptor, so nothing can be swapped in between. A
// script is started by its name in its checked folder's descriptor: the interpreter opens the
// script by the name it is given, and scripts find their files beside them through "$0", which
// then still names their folder. That name is checked to be the checked file right before; only
// root or we may change that folder. The descriptor stays open in the tool (the interpreter and
// what the script runs need it).
pid_t spawn(const TrustedTool& tool, const std::filesystem::path& shownAs,
            const std::vector<std::string>& arguments, int outWrite, int errWrite) {
    // Kept apart from 0 to 3, so that the dup2 below always makes a copy without close-on-exec.
    const Fd handed(
        ::fcntl(tool.script ? tool.folder.get() : tool.file.get(), F_DUPFD_CLOEXEC, 10));
    if (!handed.open())
        return -1;
    std::string program = "/proc/self/fd/" + std::to_string(toolDescriptor);
    if (tool.script) {
        struct stat now {};
        if (::fstatat(tool.folder.get(), tool.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            now.st_dev != tool.info.st_dev || now.st_ino != tool.info.st_ino)
            return -1;
        program += "/" + tool.name;
    }
    std::vector<std::string> env = childEnvironment();
    std::vector<char*> argv, envp;
    std::string shown = shownAs.string();
    argv.push_back(shown.data());
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    sigset_t noSignals, allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    sigdelset(&allSignals, SIGKILL);
    sigdelset(&allSignals, SIGSTOP);
    // Our pipe ends are close-on-exec; the dup2'd copies on 1 and 2 are not.
    bool ready =
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
        posix_spawn_file_actions_adddup2(&actions, outWrite, 1) == 0 &&
        posix_spawn_file_actions_adddup2(&actions, errWrite, 2) == 0 &&
        posix_spawn_file_actions_adddup2(&actions, handed.get(), toolDescriptor) == 0 &&
        closeInheritedDescriptors(actions) &&
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                  POSIX_SPAWN_SETSIGDEF) == 0 &&
        posix_spawnattr_setpgroup(&attributes, 0) == 0 &&
        posix_spawnattr_setsigmask(&attributes, &noSignals) == 0 &&
        posix_spawnattr_setsigdefault(&attributes, &allSignals) == 0;
    pid_t pid = -1;
    if (ready &&
        ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return ready ? pid : -1;
}

void setEnd(ToolRun& run, int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        run.end = ToolEnd::exited;
        run.status = WEXITSTATUS(waitStatus);
    } else {
        run.end = ToolEnd::signalled;
        run.status = 128 + (WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : SIGKILL);
    }
}

} // namespace

bool isTrustedExecutable(const Mac& mac, std::string_view macPath) {
    return openTrusted(mac, macPath).has_value();
}

ToolRun runToolWithLimits(const Mac& mac, std::string_view macPath,
                          const std::vector<std::string>& arguments, double timeout,
                          const ToolLimits& limits) {
    ToolRun run;
    const std::optional<TrustedTool> trusted = openTrusted(mac, macPath);
    if (!trusted) {
        run.end = ToolEnd::refused;
        return run;
    }
    if (!(timeout > 0)) {
        run.end = ToolEnd::timedOut;
        return run;
    }
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(std::min(timeout, longestTimeout)));

    Fd outRead, outWrite, errRead, errWrite;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        run.end = ToolEnd::launchFailed;
        return run;
    }
    *outRead.address() = fds[0];
    *outWrite.address() = fds[1];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        run.end = ToolEnd::launchFailed;
        return run;
    }
    *errRead.address() = fds[0];
    *errWrite.address() = fds[1];
#ifdef F_SETPIPE_SZ
    ::fcntl(outRead.get(), F_SETPIPE_SZ, pipeSize); // best effort
#endif

    const pid_t pid =
        spawn(*trusted, mac.hostPath(macPath), arguments, outWrite.get(), errWrite.get());
    outWrite.reset();
    errWrite.reset();
    if (pid < 0) {
        run.end = ToolEnd::launchFailed;
        return run;
    }
    Fd exitWatch(processDescriptor(pid));
    ::fcntl(outRead.get(), F_SETFL, ::fcntl(outRead.get(), F_GETFL) | O_NONBLOCK);
    ::fcntl(errRead.get(), F_SETFL, ::fcntl(errRead.get(), F_GETFL) | O_NONBLOCK);

    Collector out{limits.outputSink ? nullptr : &run.output,
                  limits.outputSink ? &limits.outputSink : nullptr, limits.outputCap, true};
    Collector err{&run.errors, nullptr, limits.errorCap, false};
    reserveFor(out);
    reserveFor(err);
    std::string scratch;

    bool exited = false, timedOut = false;
    for (;;) {
        if (out.capped)
            break;
        if (hasExited(pid)) {
            exited = true;
            break;
        }
        const auto remaining = deadline - Clock::now();
        if (remaining <= Clock::duration::zero()) {
            timedOut = true;
            break;
        }
        const auto waitMs =
            std::clamp<long long>(std::chrono::ceil<std::chrono::milliseconds>(remaining).count(),
                                  1, static_cast<long long>(toolPollInterval * 1000));
        pollfd watched[3];
        nfds_t count = 0;
        for (Fd* fd : {&outRead, &errRead, &exitWatch})
            if (fd->open())
                watched[count++] = pollfd{fd->get(), POLLIN, 0};
        const int ready = ::poll(watched, count, static_cast<int>(waitMs));
        if (ready < 0 && errno != EINTR && errno != EAGAIN) {
            timedOut = true; // cannot watch the tool any more; stop it
            break;
        }
        if (ready > 0) {
            drain(outRead, out, scratch, readsPerWake);
            drain(errRead, err, scratch, readsPerWake);
        }
    }

    killGroup(pid); // the tool itself, if still running, and whatever it left behind
    if (exited) {
        // Collect what the tool wrote before it exited; bounded, since killed helpers stop writing.
        const int maxReads = static_cast<int>((limits.outputCap + limits.errorCap) / readChunk) + 4;
        drain(outRead, out, scratch, maxReads);
        drain(errRead, err, scratch, maxReads);
    }
    const int waitStatus = reap(pid);
    trim(out);
    trim(err);
    run.outputCapped = out.capped;
    run.errorsCapped = err.capped;
    if (timedOut) {
        run.end = ToolEnd::timedOut;
        run.status = -1;
    } else {
        setEnd(run, waitStatus);
    }
    return run;
}

std::optional<ToolOutput> runToolCapturing(const Mac& mac, std::string_view macPath,
                                           const std::vector<std::string>& arguments,
                                           double timeout) {
    ToolRun run = runToolWithLimits(mac, macPath, arguments, timeout);
    if (!run.finished())
        return std::nullopt;
    // Cut-off output is never a success, even if the tool managed to exit 0 before it was stopped.
    const int status = run.outputCapped && run.status == 0 ? 128 + SIGKILL : run.status;
    return ToolOutput{status, std::move(run.output), std::move(run.errors)};
}

std::optional<std::string> runTool(const Mac& mac, std::string_view macPath,
                                   const std::vector<std::string>& arguments, double timeout) {
    auto result = runToolCapturing(mac, macPath, arguments, timeout);
    if (!result || result->status != 0)
        return std::nullopt;
    return std::move(result->output);
}

} // namespace quorvane
