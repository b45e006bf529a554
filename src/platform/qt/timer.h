#pragma once
// The window timer kind. Writing the period it already has changes nothing; a new period
// restarts the count from the moment of the write; 0 or a negative period stops it. Ticks are
// raised on the window's thread, and periods that pass while a handler runs are not queued.

#include <QObject>
#include <QRect>
#include <QTimer>

namespace vellicor::ui {

class Timer : public QObject {
    Q_OBJECT
  public:
    explicit Timer(QObject* parent = nullptr);

    int period() const { return period_; }
    void setPeriod(int milliseconds);
    bool running() const { return timer_.isActive(); }
    int remainingMs() const { return timer_.remainingTime(); }

    // A timer is never drawn; its place in the form is kept like any control's.
    QRect geometry() const { return geometry_; }
    void setGeometry(const QRect& place) { geometry_ = place; }

  signals:
    void ticked();

  private:
    QTimer timer_;
    int period_ = 0;
    QRect geometry_;
};

}  // namespace vellicor::ui
