#include "checks/Reachability.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <tuple>

using namespace quorvane;

namespace {

// Every socket here is on 127.0.0.1: tests never connect anywhere else.
struct Socket {
    int fd = -1;
    explicit Socket(int flags = 0) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0)) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (fd >= 0)
            close(fd);
    }
};

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Binds to a free loopback port; listens with `backlog` unless it is negative.
std::uint16_t bindLoopback(const Socket& socket, int backlog) {
    sockaddr_in address = loopback(0);
    if (bind(socket.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return 0;
    if (backlog >= 0 && listen(socket.fd, backlog) != 0)
        return 0;
    socklen_t length = sizeof address;
    getsockname(socket.fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A loopback port with nothing listening on it.
std::uint16_t closedPort() {
    Socket probe;
    return bindLoopback(probe, -1); // bound, never listening, closed on return
}

bool hasPendingConnection(const Socket& listener) {
    pollfd entry{listener.fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(IsReachable, ListeningPortAnswers) {
    Socket listener;
    std::uint16_t port = bindLoopback(listener, 8);
    ASSERT_NE(port, 0);
    EXPECT_TRUE(isReachable("127.0.0.1", port, 3));
    EXPECT_TRUE(hasPendingConnection(listener));
}

TEST(IsReachable, RefusedConnectionFailsBeforeTheTimeOut) {
    std::uint16_t port = closedPort();
    ASSERT_NE(port, 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(isReachable("127.0.0.1", port, 20));
    EXPECT_LT(secondsSince(start), 10); // refused at once, not after the 20-second time-out
}

TEST(IsReachable, NameThatDoesNotResolveGivesFalseWithinTheTimeOut) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(isReachable("nas.quorvane-test.invalid", fileSharingPort, 2));
    EXPECT_LT(secondsSince(start), 3);
}

TEST(IsReachable, NoTimeOrNoHostMeansNoConnection) {
    Socket listener;
    std::uint16_t port = bindLoopback(listener, 8);
    ASSERT_NE(port, 0);
    for (double timeout : {0.0, -1.0, std::nan("")})
        EXPECT_FALSE(isReachable("127.0.0.1", port, timeout)) << timeout;
    EXPECT_FALSE(isReachable("", port, 3));
    EXPECT_FALSE(isReachable(std::string("127.0.0.1\0evil", 14), port, 3));
    EXPECT_FALSE(hasPendingConnection(listener));
}

TEST(IsReachable, HostThatNeverAnswersTimesOut) {
    // A listener whose accept queue is full drops further handshakes, like a sleeping NAS.
    Socket listener;
    std::uint16_t port = bindLoopback(listener, 0);
    ASSERT_NE(port, 0);
    std::vector<std::unique_ptr<Socket>> fillers;
    bool hangs = false;
    for (int i = 0; i < 8 && !hangs; ++i) {
        auto filler = std::make_unique<Socket>(SOCK_NONBLOCK);
        sockaddr_in address = loopback(port);
        int rc = connect(filler->fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd entry{filler->fd, POLLOUT, 0};
            hangs = poll(&entry, 1, 300) == 0;
        }
        fillers.push_back(std::move(filler));
    }
    if (!hangs)
        GTEST_SKIP() << "this kernel completes loopback handshakes despite a full queue";

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(isReachable("127.0.0.1", port, 0.5));
    double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 0.45);
    EXPECT_LT(elapsed, 5);
}

// --- Which hosts are probed -----------------------------------------------------------------

namespace {

BackupDestination networkDestination(const std::string& id, std::optional<std::string> url) {
    BackupDestination destination;
    destination.id = id;
    destination.kind = BackupDestination::Kind::network;
    destination.networkURL = std::move(url);
    return destination;
}

struct RecordingProbe {
    std::vector<std::tuple<std::string, std::uint16_t, double>> calls;
    std::set<std::string> answering;

    ReachabilityProbe probe() {
        return [this](const std::string& host, std::uint16_t port, double timeout) {
            calls.emplace_back(host, port, timeout);
            return answering.count(host) > 0;
        };
    }
};

TimeMachineSettings twoNASes() {
    TimeMachineSettings settings;
    settings.destinations = {
        networkDestination("D1", "smb://nas.local/TimeMachine"),
        networkDestination("D2", "afp://Office-NAS._afpovertcp._tcp.local/Backups"),
        networkDestination("D3", "smb://ann@nas.local/Other"),
        networkDestination("D4", "smb://bad host/x"),
        networkDestination("D5", ""),
        networkDestination("D6", std::nullopt),
        networkDestination("D7", "file:///Volumes/Local"),
    };
    return settings;
}

} // namespace

TEST(UnreachableHosts, ProbesEachDistinctHostOnceOnTheFileSharingPort) {
    WatchPreferences prefs;
    prefs.nasCheckOn = true;
    RecordingProbe recorder;
    recorder.answering = {"nas.local"};

    std::set<std::string> unreachable =
        unreachableHosts(SettingsReading::read(twoNASes()), prefs, recorder.probe());

    using Call = std::tuple<std::string, std::uint16_t, double>;
    EXPECT_EQ(recorder.calls, (std::vector<Call>{{"nas.local", 445, 3.0},
                                                 {"Office-NAS._afpovertcp._tcp.local", 445, 3.0}}));
    EXPECT_EQ(unreachable, std::set<std::string>{"Office-NAS._afpovertcp._tcp.local"});
}

TEST(UnreachableHosts, NothingIsProbedWhenTheCheckIsOffOrSettingsAreMissing) {
    WatchPreferences on;
    on.nasCheckOn = true;
    WatchPreferences off;
    const std::vector<std::pair<SettingsReading, WatchPreferences>> cases{
        {SettingsReading::read(twoNASes()), off},
        {SettingsReading::unreadable(), on},
        {SettingsReading::notSetUp(), on},
    };
    for (const auto& [reading, prefs] : cases) {
        RecordingProbe recorder;
        EXPECT_TRUE(unreachableHosts(reading, prefs, recorder.probe()).empty());
        EXPECT_TRUE(recorder.calls.empty());
    }
}
