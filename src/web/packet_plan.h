#pragma once
// What a connection's streams put on the wire at the instant, counted before any of them is
// framed: each header block compressed as the connection's own compressor will compress it,
// in the same order, so that a wave can give each connection only what one TCP segment holds.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "web/h2_connection.h"

namespace vellicor::web {

class PacketPlan {
  public:
    // `room`: the bytes one packet carries (0: no limit known); the mall's header table size
    // and largest frame, from its SETTINGS.
    PacketPlan(std::size_t room, std::uint32_t tableSize, std::uint32_t maxFrame);
    ~PacketPlan();
    PacketPlan(PacketPlan&&) noexcept;
    PacketPlan& operator=(PacketPlan&&) noexcept;

    // Counts the stream in where the instant's bytes still fit one packet (a first stream always
    // fits: alone it is the best a connection can do); once one does not, the plan is full.
    // The request must outlive the plan.
    bool take(const H2Request& request, bool holdEnd);
    // Counts the stream in whether it fits or not.
    void add(const H2Request& request, bool holdEnd);
    bool full() const { return full_; }
    std::size_t bytes() const { return bytes_; }
    // Packets the instant takes on this connection.
    std::size_t packets() const;

  private:
    std::size_t count(const H2Request& request, bool holdEnd);
    void restart();

    struct Deflater;
    std::unique_ptr<Deflater> deflater_;
    std::size_t room_;
    std::uint32_t tableSize_;
    std::uint32_t maxFrame_;
    std::size_t bytes_ = 0;
    bool full_ = false;
    std::vector<std::pair<const H2Request*, bool>> taken_;
};

}  // namespace vellicor::web
