// The pause after "too many requests", and the Retry-After it honours.

#include "mall/backoff.h"

#include <gtest/gtest.h>

namespace vellicor::mall {
namespace {

using std::chrono::milliseconds;

// A first pause of 100 ms, doubling up to a second, cut by up to half.
ExchangeSettings settings() {
    ExchangeSettings s;
    s.throttleBackoffMs = 100;
    s.throttleBackoffMaxMs = 1000;
    s.throttleJitterPercent = 50;
    return s;
}

struct PauseCase {
    int step;
    std::optional<milliseconds> server;
    double unit;  // the random draw, 0 <= unit < 1
    long expectedMs;
};

TEST(Backoff, PauseGrowsToItsCapAndHonoursTheServerWithinIt) {
    const ExchangeSettings s = settings();
    const PauseCase cases[] = {
        {1, {}, 0.0, 100},
        {2, {}, 0.0, 200},
        {4, {}, 0.0, 800},
        {5, {}, 0.0, 1000},                   // capped
        {60, {}, 0.0, 1000},                  // no overflow however long it goes on
        {1, milliseconds(500), 0.0, 500},     // the server asks for more
        {4, milliseconds(500), 0.0, 800},     // our own pause is longer already
        {1, milliseconds(90000), 0.0, 1000},  // but never past the cap
        {4, {}, 0.5, 600},                    // jitter takes up to half
        {4, {}, 0.999, 401},
        {1, {}, 7.0, 50},  // a draw out of range is clamped
    };
    for (const auto& c : cases) {
        EXPECT_EQ(throttlePause(s, c.step, c.server, c.unit), milliseconds(c.expectedMs))
            << "step " << c.step << " unit " << c.unit;
    }
}

// A pause the server set is only ever lengthened by the jitter; our own is cut, but never
// below what the server asked.
TEST(Backoff, JitterNeverComesBackBeforeTheServerSaid) {
    const ExchangeSettings s = settings();
    const PauseCase cases[] = {
        {1, milliseconds(500), 0.5, 625},
        {1, milliseconds(500), 0.999, 749},
        {2, milliseconds(200), 0.5, 250},     // the ask equals our own pause: the server's
        {1, milliseconds(90000), 0.5, 1250},  // the cap bounds the ask, the jitter still spreads
        {4, milliseconds(500), 0.999, 500},   // our own 800 cut, down to the ask and no further
        {4, milliseconds(700), 0.5, 700},
        {4, milliseconds(0), 0.999, 401},  // "Retry-After: 0" leaves our own pause as it was
    };
    for (const auto& c : cases) {
        const auto pause = throttlePause(s, c.step, c.server, c.unit);
        EXPECT_EQ(pause, milliseconds(c.expectedMs)) << "step " << c.step << " unit " << c.unit;
        EXPECT_GE(pause, std::min(*c.server, milliseconds(s.throttleBackoffMaxMs)));
    }
}

TEST(Backoff, NonsenseSettingsStillGiveAPause) {
    ExchangeSettings s;
    s.throttleBackoffMs = -5;
    s.throttleBackoffMaxMs = 0;
    s.throttleJitterPercent = 400;
    EXPECT_GE(throttlePause(s, 3, {}, 0.99), milliseconds(1));
}

TEST(Backoff, RetryAfterInSecondsOnly) {
    struct Case {
        const char* headers;
        std::optional<milliseconds> expected;
    } cases[] = {
        {"HTTP/1.1 429 Too Many Requests\r\nRetry-After: 2\r\n", milliseconds(2000)},
        {"HTTP/1.1 503 x\r\nretry-after:   0  \r\n", milliseconds(0)},
        {"HTTP/1.1 503 x\r\nRetry-After: Wed, 21 Oct 2015 07:28:00 GMT\r\n", std::nullopt},
        {"HTTP/1.1 503 x\r\nRetry-After: -3\r\n", std::nullopt},
        {"HTTP/1.1 503 x\r\nRetry-After: 99999999999\r\n", milliseconds(86400000)},
        {"HTTP/1.1 200 OK\r\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(retryAfter(c.headers), c.expected) << c.headers;
    }
}

}  // namespace
}  // namespace vellicor::mall
