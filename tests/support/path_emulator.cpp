#include "path_emulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace vellicor::test {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::nanoseconds;

// A queue this deep is a test gone wrong, not a path: the rest is dropped.
constexpr std::size_t kMostQueued = 4096;
constexpr std::size_t kMostPacket = 65536;

Error systemError(const std::string& what) {
    return makeError(ErrorCode::Unavailable, what + ": " + std::strerror(errno));
}

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

bool setAddress(int sock, const char* name, unsigned long request, const char* address) {
    ifreq req{};
    std::strncpy(req.ifr_name, name, IFNAMSIZ - 1);
    auto* in = reinterpret_cast<sockaddr_in*>(&req.ifr_addr);
    in->sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &in->sin_addr);
    return ::ioctl(sock, request, &req) == 0;
}

// One side: a namespace of its own with a TUN device whose far end is `peer`. Made on a
// thread of its own, since a namespace is entered per thread.
struct Side {
    Fd ns;
    Fd tun;
};

Result<Side> makeSide(const char* local, const char* peer) {
    Result<Side> out = makeError(ErrorCode::Unavailable, "not made");
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            out = systemError("cannot make a network namespace");
            return;
        }
        Side side;
        side.ns = Fd(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
        side.tun = Fd(::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK));
        if (side.ns.fd < 0 || side.tun.fd < 0) {
            out = systemError("cannot open the namespace or /dev/net/tun");
            return;
        }
        ifreq req{};
        req.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strncpy(req.ifr_name, "path0", IFNAMSIZ - 1);
        if (::ioctl(side.tun.fd, TUNSETIFF, &req) != 0) {
            out = systemError("cannot make a TUN device");
            return;
        }
        const Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const bool addressed = sock.fd >= 0 && setAddress(sock.fd, "path0", SIOCSIFADDR, local) &&
                               setAddress(sock.fd, "path0", SIOCSIFDSTADDR, peer);
        ifreq up{};
        std::strncpy(up.ifr_name, "path0", IFNAMSIZ - 1);
        if (!addressed || ::ioctl(sock.fd, SIOCGIFFLAGS, &up) != 0) {
            out = systemError("cannot address the TUN device");
            return;
        }
        up.ifr_flags |= IFF_UP | IFF_RUNNING;
        if (::ioctl(sock.fd, SIOCSIFFLAGS, &up) != 0) {
            out = systemError("cannot bring the TUN device up");
            return;
        }
        out = std::move(side);
    }).join();
    return out;
}

// The TCP payload of an IPv4 packet and its source port; 0 bytes for anything else.
struct Segment {
    std::size_t payload = 0;
    std::uint16_t port = 0;
};

Segment segmentOf(const unsigned char* p, std::size_t n) {
    constexpr unsigned char kTcp = 6;
    if (n < 20 || (p[0] >> 4) != 4 || p[9] != kTcp) {
        return {};
    }
    const std::size_t ip = (p[0] & 0x0f) * 4u;
    const std::size_t total = (std::size_t{p[2]} << 8) | p[3];
    if (n < ip + 20 || total > n) {
        return {};
    }
    const std::size_t tcp = (p[ip + 12] >> 4) * 4u;
    const auto port = static_cast<std::uint16_t>((p[ip] << 8) | p[ip + 1]);
    return {total > ip + tcp ? total - ip - tcp : 0, port};
}

struct Held {
    Steady::time_point due;
    std::vector<char> bytes;
};

}  // namespace

struct PathEmulator::Impl {
    explicit Impl(const PathOptions& o)
        : options(o), ways{o.up, o.down}, until(Steady::now() + o.lifetime) {}

    PathOptions options;
    Side near;
    Side far;
    mutable std::mutex mutex;
    PathWay ways[2];
    Steady::time_point blackoutStart{};
    Steady::time_point blackoutEnd{};
    Steady::time_point until;
    std::atomic<bool> stopping{false};
    std::atomic<std::uint64_t> drops{0};
    int dropDataAt = 0;  // the nth packet up with payload is dropped; 0: none
    std::uint16_t droppedPort = 0;
    std::uint64_t dataUp = 0;
    std::vector<std::jthread> threads;

    // Whether this packet goes, and when it is due; order is kept by never being due before
    // the one ahead of it.
    bool admit(int way, const Segment& segment, std::mt19937_64& random, Steady::time_point now,
               Steady::time_point lastDue, Steady::time_point& due) {
        std::lock_guard lock(mutex);
        const PathWay w = ways[way];
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        const double draw = unit(random);
        const double jitter = unit(random) * w.jitterMs;
        bool chosen = false;
        if (way == 0 && segment.payload > 0) {
            ++dataUp;
            chosen = dropDataAt > 0 && --dropDataAt == 0;
            droppedPort = chosen ? segment.port : droppedPort;
        }
        if ((now >= blackoutStart && now < blackoutEnd) || draw < w.loss || chosen) {
            ++drops;
            return false;
        }
        const auto delay = std::chrono::duration<double, std::milli>(w.delayMs + jitter);
        due = std::max(lastDue, now + std::chrono::duration_cast<nanoseconds>(delay));
        return true;
    }

    // A forwarder woken late adds its lateness to the path: it runs ahead of the machine's
    // other work where it may (root), and its waits end when asked, not up to 50 µs after.
    static void keepPrompt() {
        (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        sched_param param{};
        param.sched_priority = 10;
        (void)::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
    }

    void forward(int way, int from, int to) {
        keepPrompt();
        std::mt19937_64 random(options.seed * 2 + static_cast<std::uint64_t>(way));
        std::deque<Held> held;
        Steady::time_point lastDue{};
        std::vector<char> buffer(kMostPacket);
        while (!stopping && Steady::now() < until) {
            const auto now = Steady::now();
            while (!held.empty() && held.front().due <= now) {
                (void)!::write(to, held.front().bytes.data(), held.front().bytes.size());
                held.pop_front();
            }
            // Woken by a packet, by the next one due, or every 50 ms to see whether to stop.
            nanoseconds wait = std::chrono::milliseconds(50);
            if (!held.empty()) {
                wait =
                    std::min(wait, std::chrono::duration_cast<nanoseconds>(held.front().due - now));
            }
            const timespec ts{static_cast<time_t>(wait.count() / 1'000'000'000),
                              static_cast<long>(wait.count() % 1'000'000'000)};
            pollfd p{from, POLLIN, 0};
            if (::ppoll(&p, 1, &ts, nullptr) <= 0) {
                continue;
            }
            for (;;) {
                const ssize_t n = ::read(from, buffer.data(), buffer.size());
                if (n <= 0) {
                    break;
                }
                Steady::time_point due;
                const Segment segment =
                    segmentOf(reinterpret_cast<const unsigned char*>(buffer.data()),
                              static_cast<std::size_t>(n));
                if (held.size() < kMostQueued &&
                    admit(way, segment, random, Steady::now(), lastDue, due)) {
                    held.push_back({due, std::vector<char>(buffer.begin(), buffer.begin() + n)});
                    lastDue = due;
                }
            }
        }
    }

    void runIn(const Side& side, const std::function<void()>& work) const {
        std::thread([&] {
            if (::setns(side.ns.fd, CLONE_NEWNET) == 0) {
                work();
            }
        }).join();
    }
};

Result<std::unique_ptr<PathEmulator>> PathEmulator::start(const PathOptions& options) {
    auto impl = std::make_unique<Impl>(options);
    auto near = makeSide(kNearAddress, kFarAddress);
    if (!near) {
        return near.error();
    }
    auto far = makeSide(kFarAddress, kNearAddress);
    if (!far) {
        return far.error();
    }
    impl->near = std::move(near).value();
    impl->far = std::move(far).value();
    Impl* raw = impl.get();
    raw->threads.emplace_back([raw] { raw->forward(0, raw->near.tun.fd, raw->far.tun.fd); });
    raw->threads.emplace_back([raw] { raw->forward(1, raw->far.tun.fd, raw->near.tun.fd); });
    return std::unique_ptr<PathEmulator>(new PathEmulator(std::move(impl)));
}

PathEmulator::PathEmulator(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PathEmulator::~PathEmulator() {
    impl_->stopping = true;
    impl_->threads.clear();
}

void PathEmulator::onNear(const std::function<void()>& work) const {
    impl_->runIn(impl_->near, work);
}

void PathEmulator::onFar(const std::function<void()>& work) const {
    impl_->runIn(impl_->far, work);
}

void PathEmulator::setUp(const PathWay& way) {
    std::lock_guard lock(impl_->mutex);
    impl_->ways[0] = way;
}

void PathEmulator::setDown(const PathWay& way) {
    std::lock_guard lock(impl_->mutex);
    impl_->ways[1] = way;
}

void PathEmulator::blackout(Steady::time_point from, nanoseconds span) {
    std::lock_guard lock(impl_->mutex);
    impl_->blackoutStart = from;
    impl_->blackoutEnd = from + span;
}

void PathEmulator::dropDataUp(int nth) {
    std::lock_guard lock(impl_->mutex);
    impl_->dropDataAt = nth;
    impl_->droppedPort = 0;
}

std::uint16_t PathEmulator::droppedPort() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->droppedPort;
}

std::uint64_t PathEmulator::dataPacketsUp() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->dataUp;
}

std::uint64_t PathEmulator::seed() const {
    return impl_->options.seed;
}

std::uint64_t PathEmulator::dropped() const {
    return impl_->drops;
}

}  // namespace vellicor::test
