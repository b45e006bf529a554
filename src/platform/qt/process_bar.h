#pragma once
// Progress bar with stored bounds: every value is clamped to 0..32767 and kept as clamped,
// the range runs from the smaller to the larger bound whichever way they were written, and the
// bar shows the position clamped into that range while reads return what was stored. It is
// always drawn as a smooth fill.

#include <QProgressBar>

namespace vellicor::ui {

class ProcessBar : public QProgressBar {
    Q_OBJECT
  public:
    static constexpr int kLimit = 32767;

    explicit ProcessBar(QWidget* parent = nullptr);

    int minimumValue() const { return min_; }
    int maximumValue() const { return max_; }
    int position() const { return pos_; }
    void setMinimumValue(int value);
    void setMaximumValue(int value);
    void setPosition(int value);

    bool vertical() const { return orientation() == Qt::Vertical; }
    void setVertical(bool on);

  private:
    void refresh();

    int min_ = 0;
    int max_ = 100;
    int pos_ = 0;
};

}  // namespace vellicor::ui
