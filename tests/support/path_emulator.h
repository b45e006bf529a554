#pragma once
// A network path of the test's own: two network namespaces, each with a TUN device, and a
// forwarder in this process that carries every packet from one device to the other after a
// one-way delay, with jitter and random loss, each direction keeping its order. The kernels
// on both sides see a real path, so TCP's handshake, its retransmissions and its timers all
// run across it. Only the two private addresses inside the namespaces it made are reachable.
//
// Making namespaces needs CAP_NET_ADMIN; without it start() says why, and the test skips.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/result.h"

namespace vellicor::test {

struct PathWay {
    double delayMs = 0;
    double jitterMs = 0;  // a random extra of up to this much, order kept
    double loss = 0;      // the chance of dropping each packet, 0 to 1
};

struct PathOptions {
    PathWay up;    // near → far: the tool's requests
    PathWay down;  // far → near: the mall's answers
    // Seeds the loss and the jitter: the same seed drops the same packets of the same traffic.
    std::uint64_t seed = 1;
    // The forwarder stops by itself after this, whatever the test does.
    std::chrono::seconds lifetime{120};
};

class PathEmulator {
  public:
    static Result<std::unique_ptr<PathEmulator>> start(const PathOptions& options);
    ~PathEmulator();
    PathEmulator(const PathEmulator&) = delete;
    PathEmulator& operator=(const PathEmulator&) = delete;

    static constexpr const char* kNearAddress = "10.213.7.1";  // where the tool runs
    static constexpr const char* kFarAddress = "10.213.7.2";   // where the mall listens

    // Runs `work` on a thread inside that side's namespace and waits for it. Sockets it makes,
    // and threads it starts, stay in that namespace.
    void onNear(const std::function<void()>& work) const;
    void onFar(const std::function<void()>& work) const;

    // Changes a direction's settings from the next packet on.
    void setUp(const PathWay& way);
    void setDown(const PathWay& way);
    // Drops every packet, both ways, for `span` from `from` (the steady clock).
    void blackout(std::chrono::steady_clock::time_point from, std::chrono::nanoseconds span);

    // Drops the nth packet up from now on that carries TCP payload (pure acknowledgements
    // are not counted): one lost segment of the tool's own. Its source port tells whose.
    void dropDataUp(int nth);
    std::uint16_t droppedPort() const;  // 0 until that packet was dropped
    // Packets up that carried TCP payload so far, dropped ones included.
    std::uint64_t dataPacketsUp() const;

    std::uint64_t seed() const;
    std::uint64_t dropped() const;  // packets dropped so far, both ways

    struct Impl;

  private:
    explicit PathEmulator(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vellicor::test
