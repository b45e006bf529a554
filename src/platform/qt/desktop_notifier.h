#pragma once
// Desktop notifications: through the desktop's notification service on the session bus where
// there is one, else as a balloon of the notification area, else one line in the log saying
// that wins cannot be shown. Nothing here waits for the service: the window never stalls on a
// service that is slow or gone.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <vector>

#include "platform/services.h"

class QDBusPendingCallWatcher;
class QSystemTrayIcon;

namespace vellicor::ui {

// The notification area, which shows one balloon at a time: a new one replaces the one shown.
class Balloons {
  public:
    virtual ~Balloons() = default;
    virtual bool available() const = 0;
    virtual void show(const QString& title, const QString& text, int shownMs) = 0;
};

// The system tray's balloons; the icon appears with the first one.
class TrayBalloons final : public Balloons {
  public:
    TrayBalloons();
    ~TrayBalloons() override;
    bool available() const override;
    void show(const QString& title, const QString& text, int shownMs) override;

  private:
    QSystemTrayIcon* tray_ = nullptr;
};

class DesktopNotifier final : public QObject, public Notifier {
    Q_OBJECT
  public:
    // How long a balloon stays; wins that come while one is up join it.
    static constexpr int kBalloonMs = 15000;

    // `say` takes the one line about no way to notify (called on the window's thread; may be
    // empty). Null balloons: the system tray's. The service is looked for on the session bus.
    explicit DesktopNotifier(LogSink say, std::unique_ptr<Balloons> balloons = nullptr);
    ~DesktopNotifier() override;

    // Asks the bus for the service now, so that a desktop with no way to notify is said in the
    // log before the first win rather than at it.
    void start();
    void notify(const std::string& title, const std::string& text) override;

  signals:
    // A notification has been taken by the service, shown as a balloon, or found no way.
    void handled();

  private:
    struct Note {
        QString title;
        QString text;
    };

    void probe();
    void probed(QDBusPendingCallWatcher* call);
    void send(const Note& note);
    void fallBack(const Note& note);
    void balloon(const Note& note);
    void sayOnce();

    LogSink say_;
    std::unique_ptr<Balloons> balloons_;
    enum class Route { Unknown, Service, None } route_ = Route::Unknown;
    bool probing_ = false;
    bool markup_ = false;  // the service reads the body as markup
    bool said_ = false;
    std::vector<Note> waiting_;  // for the probe's answer
    std::vector<Note> shown_;    // in the balloon up now
    QTimer balloonUp_;
};

}  // namespace vellicor::ui
