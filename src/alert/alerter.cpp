#include "alert/alerter.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <optional>
#include <stop_token>
#include <thread>

#include "alert/mail.h"
#include "alert/web_hook.h"

namespace vellicor::alert {
namespace {

struct Job {
    Alert alert;
    ResultSink done;  // set for a test alert: one attempt, its result reported
};

long long sinceEpochNs(Clock::Steady t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

std::string lineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

Tuning Tuning::from(const AlertSettings& settings) {
    Tuning t;
    t.timeout = std::chrono::milliseconds(settings.timeoutMs);
    t.attempts = settings.attempts;
    t.firstPause = std::chrono::milliseconds(settings.retryPauseMs);
    return t;
}

std::vector<std::unique_ptr<Channel>> configuredChannels(const AlertSettings& settings,
                                                         const HttpSettings& http) {
    std::vector<std::unique_ptr<Channel>> out;
    if (!settings.webhookUrl.empty()) {
        out.push_back(std::make_unique<WebHook>(settings, http));
    }
    if (!settings.smtpUrl.empty()) {
        out.push_back(std::make_unique<Mail>(settings, http));
    }
    return out;
}

class Alerter::Lane {
  public:
    Lane(std::unique_ptr<Channel> channel, Tuning tuning, LogSink log, const Clock& clock)
        : channel_(std::move(channel)),
          tuning_(tuning),
          log_(std::move(log)),
          clock_(clock),
          thread_([this] { run(); }) {}
    ~Lane() {
        close(clock_.steadyNow());
        join();
    }

    void push(Job job) {
        bool full = false;
        {
            std::lock_guard lock(mutex_);
            if (closing_) {
                return;
            }
            full = queue_.size() >= tuning_.maxQueued;
            if (!full) {
                queue_.push_back(std::move(job));
            }
        }
        if (full) {
            say("提醒太多，" + channel_->name() + "来不及发出，这一条未发：" + headline(job.alert));
            return;
        }
        wake_.notify_one();
    }

    void close(Clock::Steady deadline) {
        {
            std::lock_guard lock(mutex_);
            if (!closing_) {
                closing_ = true;
                deadline_ = deadline;
                cutAt_ = sinceEpochNs(deadline);
            }
        }
        closingStop_.request_stop();
        wake_.notify_all();
    }

    void join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    void run() {
        for (;;) {
            std::deque<Job> dropped;
            std::optional<Job> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
                if (queue_.empty()) {
                    return;
                }
                if (closing_ && clock_.steadyNow() >= deadline_) {
                    dropped.swap(queue_);
                } else {
                    job = std::move(queue_.front());
                    queue_.pop_front();
                }
            }
            if (job) {
                deliver(*job);
            } else {
                drop(dropped);
            }
        }
    }

    void deliver(const Job& job) {
        auto pause = tuning_.firstPause;
        for (int n = 1;; ++n) {
            const AttemptResult sent = channel_->send(
                job.alert, Attempt{&clock_, clock_.steadyNow() + tuning_.timeout, &cutAt_});
            const bool last = sent.status.ok() || job.done || n >= tuning_.attempts ||
                              sent.retry == Retry::CannotHelp;
            if (last || !wait(pause)) {
                report(job, sent.status, n);
                return;
            }
            pause = std::min(pause * 2, tuning_.maxPause);
        }
    }

    // The pause before the next attempt; false when it would outlast the flush. A close
    // during the pause ends it early only where the flush would not cover what is left.
    bool wait(std::chrono::milliseconds pause) {
        const auto until = clock_.steadyNow() + pause;
        if (outlastsFlush(until)) {
            return false;
        }
        clock_.sleepUntilOrStop(until, closingStop_.get_token());
        if (outlastsFlush(until)) {
            return false;
        }
        clock_.sleepUntil(until);
        return true;
    }

    bool outlastsFlush(Clock::Steady until) {
        std::lock_guard lock(mutex_);
        return closing_ && until >= deadline_;
    }

    void report(const Job& job, const Status& sent, int attempts) {
        if (job.done) {
            job.done(ChannelResult{channel_->name(), channel_->where(), sent});
            return;
        }
        if (!sent) {
            say("提醒未能发出（" + channel_->name() + "，试了 " + std::to_string(attempts) +
                " 次）：" + sent.error().message + "。提醒：" + headline(job.alert));
        }
    }

    void drop(const std::deque<Job>& jobs) {
        int alerts = 0;
        for (const Job& job : jobs) {
            if (job.done) {
                job.done(ChannelResult{channel_->name(), channel_->where(),
                                       makeError(ErrorCode::Timeout, "程序关闭，未能发出")});
            } else {
                ++alerts;
            }
        }
        if (alerts > 0) {
            say("程序关闭，" + std::to_string(alerts) + " 条提醒未能由" + channel_->name() +
                "发出");
        }
    }

    void say(const std::string& line) const {
        if (log_) {
            log_(lineEnd(line) + "\r\n");
        }
    }

    std::unique_ptr<Channel> channel_;
    Tuning tuning_;
    LogSink log_;
    const Clock& clock_;
    std::stop_source closingStop_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    bool closing_ = false;
    Clock::Steady deadline_{};
    std::atomic<long long> cutAt_{0};
    std::thread thread_;  // last: it runs on everything above
};

Alerter::Alerter(std::vector<std::unique_ptr<Channel>> channels, Tuning tuning, LogSink log,
                 const Clock& clock)
    : clock_(clock) {
    for (auto& channel : channels) {
        lanes_.push_back(std::make_unique<Lane>(std::move(channel), tuning, log, clock));
    }
}

Alerter::Alerter(const Config& config, LogSink log)
    : Alerter(configuredChannels(config.alert, config.http), Tuning::from(config.alert),
              std::move(log)) {}

Alerter::~Alerter() {
    close(kCloseFlush);
}

void Alerter::post(const Alert& alert) {
    for (auto& lane : lanes_) {
        lane->push(Job{alert, {}});
    }
}

void Alerter::test(const Alert& alert, const ResultSink& done) {
    for (auto& lane : lanes_) {
        lane->push(Job{alert, done});
    }
}

void Alerter::close(std::chrono::milliseconds flush) {
    std::lock_guard lock(closeMutex_);
    if (closed_) {
        return;
    }
    closed_ = true;
    const auto deadline = clock_.steadyNow() + flush;
    for (auto& lane : lanes_) {
        lane->close(deadline);
    }
    for (auto& lane : lanes_) {
        lane->join();
    }
}

void RunAlerts::won(const std::string& item, const std::string& account,
                    const std::string& message) {
    if (alerter_ == nullptr) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (!won_.emplace(item, account).second) {
            return;
        }
    }
    alerter_->post(makeAlert(AlertKind::Win, item, account, message));
}

void RunAlerts::throttled(const std::string& item, const std::string& account,
                          const std::string& message) {
    if (alerter_ == nullptr) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (std::exchange(throttled_, true)) {
            return;
        }
    }
    alerter_->post(makeAlert(AlertKind::Throttled, item, account, message));
}

void RunAlerts::ended(const std::string& summary) {
    if (alerter_ != nullptr) {
        alerter_->post(makeAlert(AlertKind::RunEnded, {}, {}, lineEnd(summary)));
    }
}

void alertSessionsEnded(Alerter* alerter, const std::vector<std::string>& accounts) {
    if (alerter == nullptr) {
        return;
    }
    std::string names;
    for (const std::string& name : accounts) {
        names += (names.empty() ? "" : "、") + name;
    }
    alerter->post(makeAlert(AlertKind::SessionEnded, {}, names,
                            "定时兑换时这些帐号的会话已失效，请重新登录"));
}

std::string resultLine(const ChannelResult& result) {
    if (result.status) {
        return "测试提醒：" + result.channel + " " + result.where + " 已送达\r\n";
    }
    return "测试提醒：" + result.channel + " 失败：" + result.status.error().message + "\r\n";
}

}  // namespace vellicor::alert
