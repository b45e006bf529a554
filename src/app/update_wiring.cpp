#include <QThread>
#include <condition_variable>
#include <optional>

#include "app/run_wiring.h"
#include "platform/config_resolution.h"

namespace vellicor::app {
namespace {

class NoOpener final : public UrlOpener {
  public:
    void open(const std::string&) override {}
};

}  // namespace

// The message box seen from the check's thread: the question is posted to the window's
// thread, shown there with the window's service, and the check waits for the answer. Unlike a
// blocking cross-thread call it can be called off, so that closing the window while the check
// waits never leaves the two threads waiting for each other; a call-off answers Cancel.
class UpdateCheckWiring::Asker final : public MessageBoxService {
  public:
    Asker(QObject* home, MessageBoxService* boxes) : home_(home), boxes_(boxes) {}

    int show(const std::string& text, unsigned flags, const std::string& caption) override {
        if (boxes_ == nullptr) {
            return AnswerCancel;
        }
        if (QThread::currentThread() == home_->thread()) {
            return boxes_->show(text, flags, caption);
        }
        auto pending = std::make_shared<Pending>();
        {
            std::lock_guard lock(mutex_);
            if (calledOff_) {
                return AnswerCancel;
            }
            pending_ = pending;
        }
        QMetaObject::invokeMethod(
            home_,
            [boxes = boxes_, pending, text, flags, caption] {
                if (!pending->calledOff()) {
                    pending->answer(boxes->show(text, flags, caption));
                }
            },
            Qt::QueuedConnection);
        return pending->wait();
    }

    void callOff() {
        std::shared_ptr<Pending> pending;
        {
            std::lock_guard lock(mutex_);
            calledOff_ = true;
            pending = std::move(pending_);
        }
        if (pending) {
            pending->callOff();
        }
    }

  private:
    class Pending {
      public:
        void answer(int value) {
            std::lock_guard lock(mutex_);
            answer_ = value;
            cv_.notify_all();
        }
        void callOff() {
            std::lock_guard lock(mutex_);
            calledOff_ = true;
            cv_.notify_all();
        }
        bool calledOff() {
            std::lock_guard lock(mutex_);
            return calledOff_;
        }
        int wait() {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return answer_.has_value() || calledOff_; });
            return answer_.value_or(AnswerCancel);
        }

      private:
        std::mutex mutex_;
        std::condition_variable cv_;
        std::optional<int> answer_;
        bool calledOff_ = false;
    };

    QObject* home_;
    MessageBoxService* boxes_;
    std::mutex mutex_;
    std::shared_ptr<Pending> pending_;
    bool calledOff_ = false;
};

UpdateCheckWiring::UpdateCheckWiring(AppContext& context, PageFetch fetch, bool enabled)
    : context_(context),
      fetch_(std::move(fetch)),
      enabled_(enabled),
      asker_(std::make_shared<Asker>(this, context.messageBox)) {}

UpdateCheckWiring::~UpdateCheckWiring() {
    asker_->callOff();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void UpdateCheckWiring::started() {
    // A forum host left on its placeholder cannot be read: the start-up line about the
    // unset [portal] keys says so, and "读取失败" would only send the user looking elsewhere.
    if (!enabled_ || thread_.joinable() || isPlaceholderHost(context_.config.forum)) {
        return;
    }
    // The check takes copies: it may still be reading the page while the window closes.
    thread_ = std::thread([this, config = context_.config, log = context_.log,
                           opener = context_.urlOpener, asker = asker_, fetch = fetch_] {
        NoOpener none;
        UrlOpener& target = opener != nullptr ? *opener : none;
        const UpdateOutcome outcome = runUpdateCheck(config, *asker, target, log, fetch);
        QMetaObject::invokeMethod(
            this, [this, outcome] { emit finished(static_cast<int>(outcome)); },
            Qt::QueuedConnection);
    });
}

void UpdateCheckWiring::closing() {
    asker_->callOff();
}

}  // namespace vellicor::app
