#pragma once
// The test doubles the test binaries share: message boxes answered from the test, an address
// opener and a notifier that only record, and a log sink that keeps every line. Each records
// from any thread.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/services.h"

namespace vellicor::test {

class RecordingBoxes final : public MessageBoxService {
  public:
    struct Shown {
        std::string text;
        unsigned flags = 0;
        std::string caption;
        std::thread::id thread;
    };
    explicit RecordingBoxes(int answer = AnswerOk) : answer_(answer) {}
    int show(const std::string& text, unsigned flags, const std::string& caption) override {
        std::lock_guard lock(mutex_);
        shown_.push_back({text, flags, caption, std::this_thread::get_id()});
        return answer_;
    }
    void answerWith(int answer) {
        std::lock_guard lock(mutex_);
        answer_ = answer;
    }
    std::vector<Shown> shown() const {
        std::lock_guard lock(mutex_);
        return shown_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Shown> shown_;
    int answer_;
};

class RecordingOpener final : public UrlOpener {
  public:
    void open(const std::string& url) override {
        std::lock_guard lock(mutex_);
        opened_.push_back(url);
    }
    std::vector<std::string> opened() const {
        std::lock_guard lock(mutex_);
        return opened_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> opened_;
};

// The one log sink of the tests: it keeps every line, fires a hook on the first line that
// holds a text, and waits (bounded) for one.
class LogCapture {
  public:
    LogSink sink() {
        return [this](const std::string& line) {
            std::function<void()> then;
            {
                std::lock_guard lock(mutex_);
                lines_.push_back(line);
                if (then_ && line.find(watch_) != std::string::npos) {
                    then = std::exchange(then_, {});
                }
                changed_.notify_all();
            }
            // Outside the lock: the hook may stop the run, which logs again.
            if (then) {
                then();
            }
        };
    }
    // `then` runs once, on the logging thread, for the first line after this call that holds
    // `part`.
    void onFirst(std::string part, std::function<void()> then) {
        std::lock_guard lock(mutex_);
        watch_ = std::move(part);
        then_ = std::move(then);
    }
    // Whether a line holding `part` came within `bound`.
    bool waitFor(const std::string& part, std::chrono::milliseconds bound) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return countLocked(part) > 0; });
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::string text() const {
        std::string all;
        for (const auto& l : lines()) {
            all += l;
        }
        return all;
    }
    // Lines holding `part`.
    std::vector<std::string> holding(const std::string& part) const {
        std::vector<std::string> found;
        for (const auto& l : lines()) {
            if (l.find(part) != std::string::npos) {
                found.push_back(l);
            }
        }
        return found;
    }
    int count(const std::string& part) const {
        std::lock_guard lock(mutex_);
        return countLocked(part);
    }
    bool any(const std::string& part) const { return count(part) > 0; }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  private:
    int countLocked(const std::string& part) const {
        int n = 0;
        for (const auto& l : lines_) {
            n += l.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::string watch_;
    std::function<void()> then_;
};

}  // namespace vellicor::test
