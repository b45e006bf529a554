#include "resetting_relay.h"

#include "loopback_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

namespace vellicor::test {

Result<std::unique_ptr<ResettingRelay>> ResettingRelay::start(std::uint16_t targetPort) {
    std::unique_ptr<ResettingRelay> relay(new ResettingRelay());
    relay->target_ = targetPort;
    relay->listenFd_ = listenLoopback(relay->port_);
    relay->wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (relay->listenFd_ < 0 || relay->wakeFd_ < 0) {
        return makeError(ErrorCode::Io, "the relay found no loopback port to listen on");
    }
    relay->thread_ = std::thread([r = relay.get()] { r->loop(); });
    return relay;
}

ResettingRelay::~ResettingRelay() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    const std::uint64_t one = 1;
    if (wakeFd_ >= 0 && ::write(wakeFd_, &one, sizeof one) < 0) {
        // Nothing to do: the thread is not running when the eventfd cannot be written.
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    for (std::size_t i = pairs_.size(); i-- > 0;) {
        closePair(i, false);
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

int ResettingRelay::resetAll() {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = resetsServed_ + 1;
    resetWanted_ = true;
    const std::uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof one) < 0) {
        return 0;
    }
    done_.wait(lock, [&] { return resetsServed_ >= ticket || ending_; });
    return lastReset_;
}

void ResettingRelay::loop() {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (const Pair& p : pairs_) {
            fds.push_back({p.client, POLLIN, 0});
            fds.push_back({p.upstream, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            continue;
        }
        if (fds[0].revents != 0) {
            std::uint64_t count = 0;
            if (::read(wakeFd_, &count, sizeof count) < 0) {
                count = 0;
            }
            std::lock_guard lock(mutex_);
            if (ending_) {
                done_.notify_all();
                return;
            }
        }
        if (serveCommand()) {
            continue;  // the poll results were for the pairs just reset
        }
        // Pairs closed in this pass are dropped from the back, so indices stay valid for
        // the poll results read so far.
        for (std::size_t i = pairs_.size(); i-- > 0;) {
            const short fromClient = fds[2 + 2 * i].revents;
            const short fromUpstream = fds[3 + 2 * i].revents;
            const bool ok = (fromClient == 0 || pump(pairs_[i].client, pairs_[i].upstream)) &&
                            (fromUpstream == 0 || pump(pairs_[i].upstream, pairs_[i].client));
            if (!ok) {
                closePair(i, false);
            }
        }
        if (fds[1].revents != 0) {
            acceptOne();
        }
    }
}

bool ResettingRelay::serveCommand() {
    std::lock_guard lock(mutex_);
    if (!resetWanted_) {
        return false;
    }
    resetWanted_ = false;
    lastReset_ = static_cast<int>(pairs_.size());
    for (std::size_t i = pairs_.size(); i-- > 0;) {
        closePair(i, true);
    }
    reset_ += lastReset_;
    ++resetsServed_;
    done_.notify_all();
    return true;
}

void ResettingRelay::acceptOne() {
    const int client = ::accept(listenFd_, nullptr, nullptr);
    if (client < 0) {
        return;
    }
    const int upstream = connectLoopback(target_);
    if (upstream < 0) {
        ::close(client);
        return;
    }
    pairs_.push_back({client, upstream});
    ++accepted_;
}

// The bytes of one read go on whole before the next poll: on loopback the other side's
// buffer takes them.
bool ResettingRelay::pump(int from, int to) {
    std::array<char, 65536> block;
    const long n = ::recv(from, block.data(), block.size(), 0);
    if (n <= 0) {
        return false;
    }
    return sendAll(to, nullptr, std::string_view(block.data(), static_cast<std::size_t>(n)));
}

void ResettingRelay::closePair(std::size_t index, bool hard) {
    Pair p = pairs_[index];
    if (hard) {
        const linger now{1, 0};
        ::setsockopt(p.client, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        ::setsockopt(p.upstream, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    ::close(p.client);
    ::close(p.upstream);
    pairs_[index] = pairs_.back();
    pairs_.pop_back();
}

}  // namespace vellicor::test
