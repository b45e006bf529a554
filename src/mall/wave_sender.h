#pragma once
// HTTP/2: every request of the run a stream of one wave (see H2Wave), made ready before the
// instant and sent together at it. Once the wave is there every worker goes by it; a mall
// that settles HTTP/1.1, or cannot be reached, leaves the run to the next way.

#include <curl/curl.h>

#include <memory>
#include <vector>

#include "mall/h2_wave.h"
#include "mall/sender.h"

namespace vellicor::mall {

class WaveSender final : public Sender {
  public:
    explicit WaveSender(SendContext context);

    Result<Primed> prime(const Priming& priming) override;
    bool keepsIdleConnections() const override { return wave_ != nullptr; }
    void dropStaleConnections() override;
    void fire(Clock::Steady now) override;
    bool holds(std::size_t index) const override { return streams_[index].onWave; }
    bool send(std::size_t index) override;
    bool busy() const override { return wave_ && wave_->inFlight() > 0; }
    void expire(Clock::Steady now) override;
    Clock::Steady nextDeadline(Clock::Steady next) const override;
    void addPolled(std::vector<curl_waitfd>& polled) override;
    void service(const std::vector<curl_waitfd>& polled, std::size_t first) override;
    std::optional<bool> mayHaveArrived(std::size_t index) const override;
    void stop() override;

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

    SendContext c_;
    std::unique_ptr<H2Wave> wave_;
    std::vector<Stream> streams_;  // by worker
    std::vector<H2Wave::Event> events_;
};

}  // namespace vellicor::mall
