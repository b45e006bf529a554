#include "app/main_window.h"
#include "app/run_wiring.h"
#include "mall/catalogue.h"
#include "platform/qt/basic_controls.h"
#include "platform/qt/edit_box.h"

namespace vellicor::app {

ExchangeWiring::ExchangeWiring(MainWindow& window, AppContext& context, CookieSource cookies)
    : window_(window),
      cookies_(std::move(cookies)),
      controller_(context.config, *context.clock, context.log) {
    // The engine ends a run on its own thread; the signal is carried over to this object's
    // thread behind the run's log lines, which were posted first.
    controller_.setOnFinished([this](const mall::RunSummary&) {
        QMetaObject::invokeMethod(
            this, [this] { emit runFinished(); }, Qt::QueuedConnection);
    });
}

// The controller, a member, waits for a run still under way before the object goes; the
// finishing post that run makes is dropped with the object.
ExchangeWiring::~ExchangeWiring() = default;

void ExchangeWiring::closing() {
    controller_.cancel();
}

std::vector<std::string> ExchangeWiring::tickedItems() const {
    std::vector<std::string> names;
    for (const mall::Item& item : mall::items()) {
        const std::string name(item.checkBox);
        const auto* box = window_.control<ui::CheckBox>(name);
        if (box != nullptr && box->checked()) {
            names.push_back(name);
        }
    }
    return names;
}

bool ExchangeWiring::startRun(mall::RunOptions options) {
    const auto* field = window_.control<ui::EditBox>("编辑框4");
    const std::string threads = field != nullptr ? field->content().toStdString() : std::string();
    const std::string cookies = cookies_ ? cookies_() : std::string();
    return controller_.start(tickedItems(), threads, cookies, options);
}

}  // namespace vellicor::app
