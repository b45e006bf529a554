#pragma once
// The desktop services over Qt: message boxes, opening addresses in the user's browser, and
// handling the events already queued. Both services may be called from any thread; they are
// carried out on the GUI thread.

#include "platform/services.h"

namespace vellicor::ui {

// Shows a QMessageBox with no owner window. From another thread the caller waits for the
// answer while the GUI thread shows the box.
class QtMessageBoxService final : public MessageBoxService {
  public:
    int show(const std::string& text, unsigned flags, const std::string& caption) override;
};

// Hands the address to the desktop's default browser; the caller does not wait.
class QtUrlOpener final : public UrlOpener {
  public:
    void open(const std::string& url) override;
};

// Handles every event already queued for the calling thread, then returns.
void processPendingEvents();

}  // namespace vellicor::ui
