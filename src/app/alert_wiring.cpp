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

}  // namespace vellicor::app
