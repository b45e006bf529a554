#include "app/wiring.h"

#include <memory>

#include "app/link_panel.h"
#include "app/main_window.h"
#include "web/qt/session_wiring.h"

namespace vellicor::app {
namespace {

// The link panel: a click opens what the link names.
class LinkPanelController final : public WindowHandlers {
  public:
    explicit LinkPanelController(AppContext& context) : context_(context) {}
    void linkClicked(const std::string& eventText) override {
        if (context_.urlOpener != nullptr) {
            handleLinkClick(eventText, context_.config, *context_.urlOpener);
        }
    }

  private:
    AppContext& context_;
};

}  // namespace

void wireControllers(MainWindow& window, AppContext& context) {
    window.addHandlers(std::make_unique<LinkPanelController>(context));
    web::addSessionControllers(window, context);  // login, balances, usage record, sign-in
    // Controllers of the other subsystems are added here as they arrive: exchange run
    // (按钮1), login (按钮2/3/4, panes 1 and 2), background music (start-up, 按钮5), usage
    // record (按钮6), sign-in (按钮7/8, pane 3), timed redemption (按钮9, 编辑框5-7, 时钟2).
}

}  // namespace vellicor::app
