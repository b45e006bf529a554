#pragma once
// The desktop services over Qt: message boxes and opening addresses in the user's browser
// (notifications: desktop_notifier.h). Both services may be called from any thread; they are
// carried out on the GUI thread.

#include <functional>

#include "platform/services.h"

class QUrl;

namespace vellicor::ui {

// Shows a QMessageBox with no owner window. From another thread the caller waits for the
// answer while the GUI thread shows the box.
class QtMessageBoxService final : public MessageBoxService {
  public:
    int show(const std::string& text, unsigned flags, const std::string& caption) override;
};

// Hands the address to the desktop's default browser; the caller does not wait. When no
// browser can be started, the address goes to the clipboard and a message box shows it, so
// that the user can open it by hand.
class QtUrlOpener final : public UrlOpener {
  public:
    // Starts the browser; false when none could be started.
    using Launch = std::function<bool(const QUrl&)>;
    // Empty launch: the desktop's default browser.
    explicit QtUrlOpener(MessageBoxService* boxes = nullptr, Launch launch = {});
    void open(const std::string& url) override;
    // The addresses no browser took go to the clipboard together, a line each, and are
    // named in one box.
    void openAll(const std::vector<std::string>& urls) override;

  private:
    void openHere(const std::vector<std::string>& urls);

    MessageBoxService* boxes_;
    Launch launch_;
};

}  // namespace vellicor::ui
