#include "app/run_wiring.h"

#include <memory>

#include "app/window_view.h"

namespace vellicor::app {
namespace {

void subscribe(WindowEvents& events, const RunControllers& run) {
    MusicWiring& music = *run.music;
    events.started.subscribe([&music] { music.started(); });
    events.stopMusicClicked.subscribe([&music] { music.stopMusicClicked(); });
    events.closing.subscribe([&music] { music.closing(); });

    ExchangeWiring& exchange = *run.exchange;
    events.exchangeClicked.subscribe([&exchange] { exchange.startRun(); });
    events.closing.subscribe([&exchange] { exchange.closing(); });

    TimerWiring& timer = *run.timer;
    events.timeFieldEdited.subscribe([&timer](TimeField field) { timer.timeFieldEdited(field); });
    events.armTimerClicked.subscribe([&timer] { timer.armTimerClicked(); });
    events.countdownTicked.subscribe([&timer] { timer.countdownTicked(); });
    events.closing.subscribe([&timer] { timer.closing(); });

    UpdateCheckWiring& update = *run.update;
    events.started.subscribe([&update] { update.started(); });
    events.closing.subscribe([&update] { update.closing(); });
}

}  // namespace

RunControllers addRunControllers(WindowView& window, AppContext& context,
                                 const RunWiringOptions& options) {
    auto exchange = std::make_unique<ExchangeWiring>(window, context, options);
    auto timer = std::make_unique<TimerWiring>(window, context, *exchange, options);
    auto update =
        std::make_unique<UpdateCheckWiring>(context, options.updateFetch, options.checkForUpdate);
    // The music first: it starts with the window's creation, before the update check asks
    // anything.
    Controllers& controllers = window.controllers();
    RunControllers out;
    out.music = &controllers.add(std::make_unique<MusicWiring>(options.music));
    out.exchange = &controllers.add(std::move(exchange));
    out.timer = &controllers.add(std::move(timer));
    out.update = &controllers.add(std::move(update));
    subscribe(window.events(), out);
    return out;
}

}  // namespace vellicor::app
