#include "web/packet_plan.h"

#include <nghttp2/nghttp2.h>

#include "web/h2_session_impl.h"

namespace vellicor::web {
namespace {

constexpr std::size_t kFrameHeader = 9;
// The compressor a session starts with, before the mall's SETTINGS bound it.
constexpr std::uint32_t kDefaultTable = 4096;

std::size_t framed(std::size_t payload, std::uint32_t maxFrame) {
    const std::size_t frames = payload == 0 ? 1 : (payload + maxFrame - 1) / maxFrame;
    return payload + frames * kFrameHeader;
}

}  // namespace

struct PacketPlan::Deflater {
    nghttp2_hd_deflater* hd = nullptr;
    ~Deflater() {
        if (hd != nullptr) {
            nghttp2_hd_deflate_del(hd);
        }
    }
};

PacketPlan::PacketPlan(std::size_t room, std::uint32_t tableSize, std::uint32_t maxFrame)
    : room_(room), tableSize_(tableSize), maxFrame_(maxFrame == 0 ? 16384 : maxFrame) {
    restart();
}

PacketPlan::~PacketPlan() = default;
PacketPlan::PacketPlan(PacketPlan&&) noexcept = default;
PacketPlan& PacketPlan::operator=(PacketPlan&&) noexcept = default;

// The session's compressor is told the mall's table size whenever the mall sends one; telling
// this one always can only add the few bytes of a size update to the first block.
void PacketPlan::restart() {
    deflater_ = std::make_unique<Deflater>();
    if (nghttp2_hd_deflate_new(&deflater_->hd, kDefaultTable) == 0) {
        nghttp2_hd_deflate_change_table_size(deflater_->hd, tableSize_);
    } else {
        deflater_->hd = nullptr;
    }
}

// The HEADERS (with CONTINUATION where the block is larger than a frame) and the body's DATA;
// with the end held, only the empty DATA frame that ends the stream goes at the instant, the
// rest having gone ahead.
std::size_t PacketPlan::count(const H2Request& request, bool holdEnd) {
    const std::vector<nghttp2_nv> nva = h2::headerList(request);
    std::size_t block = 0;
    if (deflater_->hd != nullptr) {
        std::vector<std::uint8_t> out(
            nghttp2_hd_deflate_bound(deflater_->hd, nva.data(), nva.size()));
        const ssize_t n =
            nghttp2_hd_deflate_hd(deflater_->hd, out.data(), out.size(), nva.data(), nva.size());
        block = n > 0 ? static_cast<std::size_t>(n) : out.size();
    } else {
        for (const nghttp2_nv& nv : nva) {
            block += nv.namelen + nv.valuelen + 32;
        }
    }
    if (holdEnd) {
        return kFrameHeader;
    }
    const std::size_t body = request.body.empty() ? 0 : framed(request.body.size(), maxFrame_);
    return framed(block, maxFrame_) + body;
}

bool PacketPlan::take(const H2Request& request, bool holdEnd) {
    if (full_) {
        return false;
    }
    const std::size_t more = count(request, holdEnd);
    if (room_ == 0 || taken_.empty() || bytes_ + more <= room_) {
        bytes_ += more;
        taken_.emplace_back(&request, holdEnd);
        return true;
    }
    // The compressor has seen a block the connection will not send: it starts again from
    // what was taken.
    full_ = true;
    restart();
    for (const auto& [r, hold] : taken_) {
        count(*r, hold);
    }
    return false;
}

void PacketPlan::add(const H2Request& request, bool holdEnd) {
    bytes_ += count(request, holdEnd);
    taken_.emplace_back(&request, holdEnd);
}

std::size_t PacketPlan::packets() const {
    if (bytes_ == 0) {
        return 0;
    }
    return room_ == 0 ? 1 : (bytes_ + room_ - 1) / room_;
}

}  // namespace vellicor::web
