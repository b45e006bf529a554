#pragma once
// The browser pane kind over Qt WebEngine.
//
// Events:
//   beforeNavigate (即将跳转)  callback, before any frame goes to another page; false cancels.
//   navigated      (跳转完毕)  signal, the main frame has gone to another page.
//   documentReady  (已就绪)    signal, once per frame document when it has finished loading
//                              (frames first, the page last), with that document's address.
// A page's request for a new window opens the address in this same pane (the tool has no
// second browser window).
// While a handler of these three runs, address() reads as the address the event concerns;
// at any other time it reads as the page in view.
//
// Properties: fontSize 0..4 (a zoom step; written only), offline (no network request leaves the
// pane), silent (the page shows no dialogs of its own: alerts, confirms, prompts, file choosers),
// statusText (状态条文本, read-only: what a browser's status bar would show last — the address
// of the link under the pointer, else the state of the latest load; statusTextChanged).

#include <QString>
#include <QWebEngineView>
#include <atomic>
#include <functional>
#include <optional>

class QWebEngineProfile;

namespace vellicor::ui {

class PanePage;
class OfflineGate;

class HtmlViewer : public QWebEngineView {
    Q_OBJECT
  public:
    using Decision = std::function<bool(const QString& address)>;

    explicit HtmlViewer(QWidget* parent = nullptr);
    ~HtmlViewer() override;

    // Writing always navigates, also to the address already shown. The text is taken as an
    // already encoded address and reaches the pane as it stands.
    void setAddress(const QString& address);
    QString address() const;

    // The profile the pane's pages take their cookies and storage from (the shared one at
    // first). A change starts a new page: the one in view goes, with its address.
    void setProfile(QWebEngineProfile* profile);
    QWebEngineProfile* profile() const;

    void setFontSize(int size);
    bool offline() const;
    void setOffline(bool on);
    bool silent() const { return silent_; }
    void setSilent(bool on) { silent_ = on; }
    QString statusText() const { return statusText_; }

    void setBeforeNavigate(Decision decision) { beforeNavigate_ = std::move(decision); }

  signals:
    void navigated(const QString& address);
    void documentReady(const QString& address);
    void statusTextChanged(const QString& text);

  private:
    friend class PanePage;
    bool askBeforeNavigate(const QString& address);
    void raiseNavigated(const QString& address);
    void raiseDocumentReady(const QString& address);
    template <typename F>
    void withEventAddress(const QString& address, F&& raise);
    void makePage(QWebEngineProfile* profile);
    void trackStatus();
    void setStatusText(const QString& text);

    PanePage* page_ = nullptr;
    OfflineGate* gate_ = nullptr;
    Decision beforeNavigate_;
    std::optional<QString> eventAddress_;
    QString statusText_;
    QString marker_;
    QString loadStatus_;  // what the status bar falls back to when the pointer leaves a link
    int fontSize_ = 2;
    bool silent_ = true;
};

}  // namespace vellicor::ui
