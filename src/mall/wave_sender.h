#pragma once
// HTTP/2: every request of the run a stream of one wave (see H2Wave), made ready before the
// instant and sent together at it. Once the wave is there every worker goes by it; a mall
// that settles HTTP/1.1, or cannot be reached, leaves the run to the next way.

#include <memory>
#include <vector>

#include "mall/h2_wave.h"
#include "mall/send_roles.h"

namespace vellicor::mall {

class WaveSender final : public WayLife,
                         public Routing,
                         public HoldingAhead,
                         public PollWork,
                         public IdleKeeping {
  public:
    explicit WaveSender(const WayContext& context);

    Result<Primed> prime(const Priming& priming) override;
    void fire(Clock::Steady now) override;
    bool busy() const override { return wave_ && wave_->inFlight() > 0; }
    void stop() override;

    bool send(std::size_t index) override;
    std::optional<bool> mayHaveArrived(std::size_t index) const override;
    bool holds(std::size_t index) const override { return streams_[index].onWave; }

    void expire(Clock::Steady now) override;
    Clock::Steady nextDeadline(Clock::Steady next) const override;
    void addPolled(std::vector<PollEntry>& polled) override;
    void service(std::span<const PollEntry> polled) override;

    // Dead connections give way to fresh ones before the instant, their streams with them.
    void dropStaleConnections() override;

  private:
    struct Stream {
        Clock::Steady deadline{};
        bool onWave = false;    // its requests go as streams of the wave
        bool onStream = false;  // a stream of its waits for its end
        int refusals = 0;       // streams in a row the mall refused unprocessed
    };
    void prepareStreams();
    void startStream(std::size_t index, Clock::Steady now);
    void streamEnded(H2Wave::Event event);
    void count(bool whole);
    Error streamTimedOut() const;

    WayContext c_;
    std::unique_ptr<H2Wave> wave_;
    std::vector<Stream> streams_;  // by worker
    std::vector<H2Wave::Event> events_;
};

}  // namespace vellicor::mall
