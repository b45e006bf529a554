// The log relay: texts from many threads reach the owning thread once each, whole and in each
// thread's order; a burst wakes the owner once; nothing is woken or kept after detach().

#include "platform/line_relay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "mall/exchange_controller.h"
#include "portal/server.h"

namespace vellicor {
namespace {

// Stands for the window's thread: sleeps until the relay wakes it, then drains.
class Owner {
  public:
    Owner() : relay_([this] { wake(); }), thread_([this] { loop(); }) {}
    ~Owner() { finish(); }

    LineRelay& relay() { return relay_; }
    int wakes() const { return wakes_.load(); }

    // Resolved on the owner thread once it has received `count` texts.
    std::future<void> received(std::size_t count) {
        std::lock_guard lock(mutex_);
        watchFor_ = count;
        return reached_.get_future();
    }

    // Ends the owner thread after one last drain; gives everything it was handed.
    std::vector<std::string> finish() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        woken_cv_.notify_one();
        if (thread_.joinable()) {
            thread_.join();
        }
        return texts_;
    }

  private:
    void wake() {
        ++wakes_;
        {
            std::lock_guard lock(mutex_);
            woken_ = true;
        }
        woken_cv_.notify_one();
    }

    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            woken_cv_.wait(lock, [this] { return woken_ || done_; });
            const bool last = done_;
            woken_ = false;
            lock.unlock();
            relay_.drain([this](const std::string& text) { texts_.push_back(text); });
            lock.lock();
            if (watchFor_ != 0 && texts_.size() >= watchFor_) {
                watchFor_ = 0;
                reached_.set_value();
            }
            if (last) {
                return;
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable woken_cv_;
    bool woken_ = false;
    bool done_ = false;
    std::size_t watchFor_ = 0;
    std::promise<void> reached_;
    std::atomic<int> wakes_{0};
    std::vector<std::string> texts_;  // owner thread only until finish() joins it
    LineRelay relay_;
    std::thread thread_;  // last, so that it starts after everything it uses
};

// Texts of differing lengths, so that a split or a mix-up of two shows as a wrong text.
std::string textOf(int thread, int index) {
    return "t" + std::to_string(thread) + " #" + std::to_string(index) + " " +
           std::string(static_cast<std::size_t>(index % 97), 'x') + "\r\n";
}

// Gives, for each thread, the indices of its texts in the order received, checking that each
// text came whole. Texts not made by textOf() (the engine's) are passed over.
std::map<int, std::vector<int>> byThread(const std::vector<std::string>& texts) {
    std::map<int, std::vector<int>> out;
    for (const std::string& text : texts) {
        int thread = -1;
        int index = -1;
        if (std::sscanf(text.c_str(), "t%d #%d", &thread, &index) != 2) {
            continue;
        }
        EXPECT_EQ(text, textOf(thread, index));
        out[thread].push_back(index);
    }
    return out;
}

void appendMany(LineRelay& relay, int thread, int count) {
    for (int i = 0; i < count; ++i) {
        relay.append(textOf(thread, i));
    }
}

std::vector<int> upTo(std::size_t count) {
    std::vector<int> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<int>(i);
    }
    return out;
}

TEST(LineRelay, ManyThreadsEveryTextOnceWholeAndInItsThreadsOrder) {
    constexpr int kThreads = 8;
    constexpr int kEach = 2000;
    Owner owner;
    {
        std::vector<std::jthread> appenders;
        for (int t = 0; t < kThreads; ++t) {
            appenders.emplace_back([&owner, t] { appendMany(owner.relay(), t, kEach); });
        }
    }
    const auto texts = owner.finish();
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(kThreads * kEach));
    const auto threads = byThread(texts);
    ASSERT_EQ(threads.size(), static_cast<std::size_t>(kThreads));
    for (const auto& [thread, indices] : threads) {
        EXPECT_EQ(indices, upTo(kEach)) << "thread " << thread;
    }
}

TEST(LineRelay, WakesOnlyWhenTheQueueTurnsNonEmpty) {
    int wakes = 0;
    LineRelay relay([&wakes] { ++wakes; });
    for (int i = 0; i < 1000; ++i) {
        relay.append(textOf(0, i));
    }
    EXPECT_EQ(wakes, 1);
    std::vector<std::string> got;
    // A text logged while the burst is handed over waits for the next drain, with its wake.
    EXPECT_EQ(relay.drain([&](const std::string& text) {
        if (got.empty()) {
            relay.append("late\r\n");
        }
        got.push_back(text);
    }),
              1000u);
    EXPECT_EQ(wakes, 2);
    EXPECT_EQ(relay.drain([&](const std::string& text) { got.push_back(text); }), 1u);
    EXPECT_EQ(got.back(), "late\r\n");
    EXPECT_EQ(relay.drain([&](const std::string& text) { got.push_back(text); }), 0u);
    relay.append("again\r\n");
    EXPECT_EQ(wakes, 3);
}

TEST(LineRelay, DetachDropsPendingAndLaterTexts) {
    int wakes = 0;
    LineRelay relay([&wakes] { ++wakes; });
    relay.append("pending\r\n");
    relay.detach();
    relay.append("after\r\n");
    EXPECT_TRUE(relay.detached());
    EXPECT_EQ(relay.drain([](const std::string& text) { ADD_FAILURE() << text; }), 0u);
    EXPECT_EQ(wakes, 1);
}

// The window closes while workers still log: after detach() returns, no wake reaches the
// owner, and what it was handed is, for each thread, its first texts in order.
TEST(LineRelay, DetachWhileThreadsAppend) {
    constexpr int kThreads = 4;
    constexpr int kEach = 20000;
    Owner owner;
    auto someArrived = owner.received(500);
    std::vector<std::jthread> appenders;
    for (int t = 0; t < kThreads; ++t) {
        appenders.emplace_back([&owner, t] { appendMany(owner.relay(), t, kEach); });
    }
    ASSERT_EQ(someArrived.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "500 texts never reached the owner";
    owner.relay().detach();
    const int wakesAtDetach = owner.wakes();
    appenders.clear();  // joins them
    EXPECT_EQ(owner.wakes(), wakesAtDetach);
    const auto texts = owner.finish();
    EXPECT_GE(texts.size(), 500u);
    for (const auto& [thread, indices] : byThread(texts)) {
        EXPECT_EQ(indices, upTo(indices.size())) << "thread " << thread;
    }
}

// An exchange run of a few hundred workers logs into the relay while other threads log too:
// every outcome line arrives once and whole, and the summary line after all of them.
TEST(LineRelay, ExchangeRunLinesArriveWhole) {
    constexpr int kWorkers = 300;
    constexpr int kSide = 4;
    constexpr int kSideEach = 500;
    auto server = portal::Server::start(
        R"({"sessions": {"10001": "relaykey"}, "itemDefaults": {"price": 0, "stock": 100000}})");
    ASSERT_TRUE(server.ok()) << server.error().message;
    const Config config = Config::defaults().withPortal(server.value()->baseUrl());

    Owner owner;
    mall::ExchangeController controller(
        config, SystemClock::instance(),
        [&owner](const std::string& text) { owner.relay().append(text); });
    ASSERT_TRUE(
        controller.start({"选择框1"}, std::to_string(kWorkers), web::oneAccount("uin=o10001; skey=relaykey")));
    {
        std::vector<std::jthread> side;
        for (int t = 0; t < kSide; ++t) {
            side.emplace_back([&owner, t] { appendMany(owner.relay(), t, kSideEach); });
        }
    }
    controller.wait();
    const auto texts = owner.finish();

    int outcomes = 0;
    std::size_t lastOutcome = 0;
    std::size_t summaryAt = texts.size();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string& text = texts[i];
        ASSERT_GE(text.size(), 2u);
        EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << text;
        if (text.find("  :") != std::string::npos) {
            ++outcomes;
            lastOutcome = i;
        }
        if (text.find("兑换结束") != std::string::npos) {
            summaryAt = i;
        }
    }
    EXPECT_EQ(outcomes, kWorkers);
    ASSERT_LT(summaryAt, texts.size());
    EXPECT_GT(summaryAt, lastOutcome);
    ASSERT_TRUE(controller.lastSummary().has_value());
    EXPECT_EQ(controller.lastSummary()->lines, kWorkers);
    const auto side = byThread(texts);
    ASSERT_EQ(side.size(), static_cast<std::size_t>(kSide));
    for (const auto& [thread, indices] : side) {
        EXPECT_EQ(indices, upTo(kSideEach)) << "thread " << thread;
    }
}

}  // namespace
}  // namespace vellicor
