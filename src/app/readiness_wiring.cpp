#include "app/readiness_wiring.h"

#include <utility>

#include "app/run_wiring.h"
#include "app/window_view.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/edit_box.h"

namespace vellicor::app {
namespace {

// Left of 测试提醒, under the timer group's "定", clear of its other controls.
const QRect kCheckButton(716, 490, 88, 24);

}  // namespace

ReadinessWiring::ReadinessWiring(WindowView& window, AppContext& context, InputSource input)
    : QObject(&window.owner()), context_(context), input_(std::move(input)) {
    auto* parent = qobject_cast<QWidget*>(&window.owner());
    button_ = new ui::Button(parent);
    button_->setText(QStringLiteral("检查准备"));
    button_->setToolTip(
        QStringLiteral("不发兑换请求，检查各帐号的会话、余额和代理，以及商城的时钟、协议和连接"));
    button_->setGeometry(kCheckButton);
    if (parent == nullptr) {
        button_->setParent(nullptr);
    }
    connect(button_, &QPushButton::clicked, this, [this] { startCheck(); });
}

ReadinessWiring::~ReadinessWiring() {
    if (thread_.joinable()) {
        thread_.join();
    }
    if (button_ && button_->parent() == nullptr) {
        delete button_.data();
    }
}

void ReadinessWiring::startCheck() {
    if (!button_->isEnabled() || !context_.log) {
        return;
    }
    if (thread_.joinable()) {
        thread_.join();  // the last check has ended: its button came back on
    }
    button_->setEnabled(false);
    run::ReadinessSetup setup;
    setup.config = context_.config;
    setup.clock = context_.clock;
    setup.log = context_.log;
    context_.log("检查准备：正在检查，不发兑换请求……\r\n");
    thread_ = std::thread([this, setup = std::move(setup), input = input_()] {
        run::checkReadiness(setup, input);
        // Back on the window's thread once the lines are in the log box.
        QMetaObject::invokeMethod(
            this, [this] { done(); }, Qt::QueuedConnection);
    });
}

void ReadinessWiring::done() {
    if (button_) {
        button_->setEnabled(true);
    }
}

ReadinessWiring* addReadinessButton(WindowView& window, AppContext& context,
                                    ExchangeWiring& exchange,
                                    std::function<std::vector<web::Account>()> accounts) {
    auto input = [&window, &exchange, accounts = std::move(accounts)] {
        run::ReadinessInput in;
        in.run = {exchange.tickedItems(), window.workerField().content().toStdString(),
                  accounts ? accounts() : web::oneAccount({})};
        in.at = exchange.run().timer().fieldTime();
        return in;
    };
    return new ReadinessWiring(window, context, std::move(input));
}

}  // namespace vellicor::app
