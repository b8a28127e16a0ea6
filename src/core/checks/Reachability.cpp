#include "checks/Reachability.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace quorvane {

namespace {

using Clock = std::chrono::steady_clock;

// Longer time-outs are clamped so that the deadline arithmetic cannot overflow.
constexpr double maxTimeout = 86400.0;
// Longest DNS name is 253 bytes; anything much longer is not a host name.
constexpr std::size_t maxHostLength = 1024;

struct AddressList {
    addrinfo* head = nullptr;
    AddressList() = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList() {
        if (head)
            freeaddrinfo(head);
    }
};

// Shared between the caller and the resolver thread: whichever of them lets go last frees it,
// so the caller can stop waiting at its deadline while a slow resolver finishes on its own.
struct Resolution {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    AddressList addresses;
};

addrinfo hintsFor(int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    return hints;
}

// Resolves `host` without waiting past `deadline`. Address literals are parsed in place; names go
// to a helper thread. Returns the owning state, or null when nothing resolved in time.
std::shared_ptr<Resolution> resolve(const std::string& host, const std::string& service,
                                    Clock::time_point deadline) {
    auto state = std::make_shared<Resolution>();
    addrinfo numeric = hintsFor(AI_NUMERICHOST | AI_NUMERICSERV);
    if (getaddrinfo(host.c_str(), service.c_str(), &numeric, &state->addresses.head) == 0) {
        state->done = true;
        return state;
    }
    state->addresses.head = nullptr;
    try {
        std::thread([state, host, service] {
            addrinfo hints = hintsFor(AI_NUMERICSERV);
            addrinfo* found = nullptr;
            if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0)
                found = nullptr;
            std::lock_guard lock(state->mutex);
            state->addresses.head = found;
            state->done = true;
            state->finished.notify_all();
        }).detach();
    } catch (...) {
        return nullptr; // no thread to resolve on: treat as unreachable
    }
    std::unique_lock lock(state->mutex);
    if (!state->finished.wait_until(lock, deadline, [&] { return state->done; }))
        return nullptr;
    return state;
}

int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Opens a TCP connection to one address and closes it again; true when it became ready before
// the deadline.
bool connects(const addrinfo& address, Clock::time_point deadline) {
    int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    address.ai_protocol);
    if (fd < 0)
        return false;
    bool ready = false;
    if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) {
        ready = Clock::now() < deadline;
    } else if (errno == EINPROGRESS || errno == EINTR) {
        while (true) {
            int wait = millisecondsUntil(deadline);
            if (wait <= 0)
                break;
            pollfd entry{fd, POLLOUT, 0};
            int polled = poll(&entry, 1, wait);
            if (polled < 0 && errno == EINTR)
                continue;
            if (polled <= 0)
                break;
            int error = 0;
            socklen_t length = sizeof error;
            ready = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0 &&
                    Clock::now() < deadline;
            break;
        }
    }
    close(fd);
    return ready;
}

} // namespace

bool isReachable(const std::string& host, std::uint16_t port, double timeout) {
    if (host.empty() || host.size() > maxHostLength || host.find('\0') != std::string::npos)
        return false;
    if (!(timeout > 0))
        return false; // also NaN: nothing can be ready within no time
    timeout = std::min(timeout, maxTimeout);
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout));

    auto resolution = resolve(host, std::to_string(port), deadline);
    if (!resolution)
        return false;
    // The resolver thread has finished with the list once `done` is set.
    for (const addrinfo* address = resolution->addresses.head; address;
         address = address->ai_next) {
        if (Clock::now() >= deadline)
            return false;
        if (connects(*address, deadline))
            return true;
    }
    return false;
}

std::vector<std::string> networkHosts(const TimeMachineSettings& settings) {
    std::vector<std::string> hosts;
    for (const BackupDestination& destination : settings.destinations) {
        std::optional<std::string> host = destination.host();
        if (host && std::find(hosts.begin(), hosts.end(), *host) == hosts.end())
            hosts.push_back(*host);
    }
    return hosts;
}

std::set<std::string> unreachableHosts(const SettingsReading& reading,
                                       const WatchPreferences& prefs,
                                       const ReachabilityProbe& probe) {
    std::set<std::string> unreachable;
    if (!prefs.nasCheckOn || !reading.isRead() || !reading.settings || !probe)
        return unreachable;
    for (const std::string& host : networkHosts(*reading.settings)) {
        if (!probe(host, fileSharingPort, reachabilityTimeout))
            unreachable.insert(host);
    }
    return unreachable;
}

} // namespace quorvane
