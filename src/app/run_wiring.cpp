#include "app/run_wiring.h"

#include "app/window_view.h"

namespace vellicor::app {

RunControllers addRunControllers(WindowView& window, AppContext& context,
                                 const RunWiringOptions& options) {
    RunControllers out;
    auto exchange = std::make_unique<ExchangeWiring>(window, context, options);
    auto timer = std::make_unique<TimerWiring>(window, context, *exchange, options);
    auto update =
        std::make_unique<UpdateCheckWiring>(context, options.updateFetch, options.checkForUpdate);
    auto music = std::make_unique<MusicWiring>(options.music);
    out.exchange = exchange.get();
    out.timer = timer.get();
    out.update = update.get();
    out.music = music.get();
    // The music first: it starts with the window's creation, before the update check asks
    // anything.
    window.addHandlers(std::move(music));
    window.addHandlers(std::move(exchange));
    window.addHandlers(std::move(timer));
    window.addHandlers(std::move(update));
    return out;
}

}  // namespace vellicor::app
