#include "app/alert_wiring.h"

#include <utility>

#include "alert/alerter.h"
#include "app/window_view.h"
#include "platform/qt/basic_controls.h"

namespace vellicor::app {
namespace {

// The timer group's lower right corner, under 剩余时间, clear of the group's other controls.
const QRect kTestButton(808, 490, 88, 24);

}  // namespace

AlertWiring::AlertWiring(WindowView& window, AppContext& context) : context_(context) {
    context.alerter = std::make_shared<alert::Alerter>(context.config, context.log);
    auto* parent = qobject_cast<QWidget*>(&window.owner());
    button_ = new ui::Button(parent);
    button_->setText(QStringLiteral("测试提醒"));
    button_->setToolTip(QStringLiteral("向配置的 Web 钩子和邮件各发一条测试提醒"));
    button_->setGeometry(kTestButton);
    if (parent == nullptr) {
        button_->setParent(nullptr);
    }
    connect(button_, &QPushButton::clicked, this, [this] { sendTest(); });
}

AlertWiring::~AlertWiring() {
    if (button_ && button_->parent() == nullptr) {
        delete button_.data();
    }
}

void AlertWiring::closing() {
    if (context_.alerter) {
        context_.alerter->close(alert::Alerter::kCloseFlush);
    }
}

void AlertWiring::sendTest() {
    const LogSink log = context_.log;
    if (!log) {
        return;
    }
    if (!context_.alerter || context_.alerter->channels() == 0) {
        log("测试提醒：没有配置提醒渠道，请在配置文件的 [alert] 一节设置 webhook_url 或 "
            "smtp_url\r\n");
        return;
    }
    log("测试提醒：正在发送……\r\n");
    context_.alerter->test(
        alert::makeAlert(alert::AlertKind::Test, "测试提醒", {},
                         "提醒渠道可用：抢到物品时会这样通知你"),
        [log](const alert::ChannelResult& result) { log(alert::resultLine(result)); });
}

void RunAlertHooks::watch(mall::RunOptions& options) {
    auto alerts = std::make_shared<alert::RunAlerts>(context_.alerter);
    options.onOutcome = [alerts, before = std::move(options.onOutcome)](
                            const mall::Item& item, const mall::Outcome& outcome,
                            const std::string& account) {
        if (before) {
            before(item, outcome, account);
        }
        if (outcome.kind == mall::OutcomeKind::Popup) {
            alerts->won(std::string(item.caption), account, outcome.message);
        }
    };
    options.onThrottled = [alerts](const mall::Item& item, const mall::Outcome& outcome,
                                   const std::string& account) {
        alerts->throttled(std::string(item.caption), account, outcome.message);
    };
    std::lock_guard lock(mutex_);
    next_ = options.fireAt ? std::move(alerts) : nullptr;
}

void RunAlertHooks::started(bool ok) {
    std::lock_guard lock(mutex_);
    if (ok) {
        timed_ = std::exchange(next_, nullptr);
    } else {
        next_ = nullptr;
    }
}

void RunAlertHooks::finished(const mall::RunSummary& summary) {
    std::shared_ptr<alert::RunAlerts> timed;
    {
        std::lock_guard lock(mutex_);
        timed = std::exchange(timed_, nullptr);
    }
    // A timed run stopped before it sent anything (disarmed, the window closed) ended no sale.
    if (timed && !(summary.cancelled && summary.sends == 0)) {
        timed->ended(mall::summaryLine(summary));
    }
}

}  // namespace vellicor::app
