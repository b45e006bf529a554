#include "platform/qt/html_viewer.h"

#include <QPointer>
#include <QUuid>
#include <QWebEngineNewWindowRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineUrlRequestInterceptor>
#include <algorithm>
#include <array>

#include "platform/qt/web_profile.h"

namespace vellicor::ui {
namespace {

// Zoom of the five text sizes 最小, 较小, 中等, 较大, 最大.
constexpr std::array<double, 5> kZoomSteps{0.75, 0.9, 1.0, 1.2, 1.5};

// Every frame document reports its own end of loading through the console, with a marker the
// page cannot see (the script runs in a world of its own), so each frame raises 已就绪 once.
QWebEngineScript documentReadyScript(const QString& marker) {
    QWebEngineScript script;
    script.setName(QStringLiteral("vellicor-document-ready"));
    script.setInjectionPoint(QWebEngineScript::DocumentReady);
    script.setWorldId(QWebEngineScript::ApplicationWorld);
    script.setRunsOnSubFrames(true);
    script.setSourceCode(QStringLiteral("(function () {"
                                        "  var report = function () { console.log('%1' + "
                                        "document.location.href); };"
                                        "  if (document.readyState === 'complete') { report(); }"
                                        "  else { window.addEventListener('load', report); }"
                                        "})();")
                             .arg(marker));
    return script;
}

QUrl encodedUrl(const QString& address) {
    return QUrl::fromEncoded(address.toUtf8());
}

QString addressOf(const QUrl& url) {
    return QString::fromUtf8(url.toEncoded());
}

}  // namespace

class OfflineGate : public QWebEngineUrlRequestInterceptor {
  public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    std::atomic<bool> offline{false};

    // Runs on the browser's network thread.
    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        const QString scheme = info.requestUrl().scheme();
        const bool network = scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
                             scheme == QLatin1String("ws") || scheme == QLatin1String("wss");
        if (offline.load() && network) {
            info.block(true);
        }
    }
};

class PanePage : public QWebEnginePage {
  public:
    PanePage(HtmlViewer* pane, QWebEngineProfile* profile, const QString& marker)
        : QWebEnginePage(profile, pane), pane_(pane), marker_(marker) {}

  protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool) override {
        return pane_->askBeforeNavigate(addressOf(url));
    }
    QWebEnginePage* createWindow(WebWindowType) override { return nullptr; }
    void javaScriptAlert(const QUrl& origin, const QString& msg) override {
        if (!pane_->silent()) {
            QWebEnginePage::javaScriptAlert(origin, msg);
        }
    }
    bool javaScriptConfirm(const QUrl& origin, const QString& msg) override {
        return !pane_->silent() && QWebEnginePage::javaScriptConfirm(origin, msg);
    }
    bool javaScriptPrompt(const QUrl& origin, const QString& msg, const QString& value,
                          QString* result) override {
        return !pane_->silent() && QWebEnginePage::javaScriptPrompt(origin, msg, value, result);
    }
    QStringList chooseFiles(FileSelectionMode mode, const QStringList& old,
                            const QStringList& types) override {
        return pane_->silent() ? QStringList() : QWebEnginePage::chooseFiles(mode, old, types);
    }
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString& message, int,
                                  const QString&) override {
        if (message.startsWith(marker_)) {
            pane_->raiseDocumentReady(message.mid(marker_.size()));
        }
    }

  private:
    HtmlViewer* pane_;
    QString marker_;
};

HtmlViewer::HtmlViewer(QWidget* parent)
    : QWebEngineView(parent),
      marker_(
          QStringLiteral("vellicor-ready-%1:").arg(QUuid::createUuid().toString(QUuid::Id128))) {
    makePage(sharedWebProfile());
}

HtmlViewer::~HtmlViewer() = default;

void HtmlViewer::setProfile(QWebEngineProfile* profile) {
    if (profile == nullptr || profile == page_->profile()) {
        return;
    }
    const bool wasOffline = offline();
    QPointer<PanePage> old(page_);
    makePage(profile);
    setOffline(wasOffline);
    // The old page holds its profile open; it goes now, so that the profile can close.
    delete old.data();
}

QWebEngineProfile* HtmlViewer::profile() const {
    return page_->profile();
}

void HtmlViewer::makePage(QWebEngineProfile* profile) {
    page_ = new PanePage(this, profile, marker_);
    gate_ = new OfflineGate(page_);
    page_->setUrlRequestInterceptor(gate_);
    page_->scripts().insert(documentReadyScript(marker_));
    setPage(page_);
    connect(page_, &QWebEnginePage::urlChanged, this, [this](const QUrl& url) {
        if (!url.isEmpty()) {
            raiseNavigated(addressOf(url));
        }
    });
    connect(page_, &QWebEnginePage::newWindowRequested, this,
            [this](QWebEngineNewWindowRequest& request) {
                setAddress(addressOf(request.requestedUrl()));
            });
    setFontSize(fontSize_);
    trackStatus();
}

void HtmlViewer::trackStatus() {
    connect(page_, &QWebEnginePage::linkHovered, this,
            [this](const QString& url) { setStatusText(url.isEmpty() ? loadStatus_ : url); });
    connect(page_, &QWebEnginePage::loadStarted, this, [this] {
        loadStatus_ = QStringLiteral("正在打开网页 ") + addressOf(page_->requestedUrl());
        setStatusText(loadStatus_);
    });
    connect(page_, &QWebEnginePage::loadFinished, this, [this](bool ok) {
        loadStatus_ = ok ? QStringLiteral("完成") : QStringLiteral("无法打开网页");
        setStatusText(loadStatus_);
    });
}

void HtmlViewer::setStatusText(const QString& text) {
    if (text != statusText_) {
        statusText_ = text;
        emit statusTextChanged(text);
    }
}

void HtmlViewer::setAddress(const QString& address) {
    page_->load(encodedUrl(address));
}

QString HtmlViewer::address() const {
    return eventAddress_ ? *eventAddress_ : addressOf(page_->url());
}

void HtmlViewer::setFontSize(int size) {
    fontSize_ = std::clamp(size, 0, 4);
    page_->setZoomFactor(kZoomSteps[static_cast<std::size_t>(fontSize_)]);
}

bool HtmlViewer::offline() const {
    return gate_->offline.load();
}

void HtmlViewer::setOffline(bool on) {
    gate_->offline.store(on);
}

template <typename F>
void HtmlViewer::withEventAddress(const QString& address, F&& raise) {
    // Events can nest (a handler that navigates); each restores what it found.
    const std::optional<QString> outer = eventAddress_;
    eventAddress_ = address;
    raise();
    eventAddress_ = outer;
}

bool HtmlViewer::askBeforeNavigate(const QString& address) {
    bool go = true;
    if (beforeNavigate_) {
        withEventAddress(address, [&] { go = beforeNavigate_(address); });
    }
    return go;
}

void HtmlViewer::raiseNavigated(const QString& address) {
    withEventAddress(address, [&] { emit navigated(address); });
}

void HtmlViewer::raiseDocumentReady(const QString& address) {
    withEventAddress(address, [&] { emit documentReady(address); });
}

}  // namespace vellicor::ui
