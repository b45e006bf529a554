#pragma once
// The test doubles the test binaries share: message boxes answered from the test, an address
// opener and a notifier that only record, and a log sink that keeps every line. Each records
// from any thread.

#include <mutex>
#include <string>
#include <thread>
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

class LogCapture {
  public:
    LogSink sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        };
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
    int count(const std::string& part) const {
        int n = 0;
        for (const auto& l : lines()) {
            n += l.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace vellicor::test
