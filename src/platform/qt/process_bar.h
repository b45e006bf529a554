#pragma once
// Progress bar with stored bounds: every value is clamped to 0..32767 and kept as clamped,
// the range runs from the smaller to the larger bound whichever way they were written, and the
// bar shows the position clamped into that range while reads return what was stored.

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
    // The bar is always drawn as a smooth fill; the flag is kept for the logic to read.
    bool smooth() const { return smooth_; }
    void setSmooth(bool on) { smooth_ = on; }

  private:
    void refresh();

    int min_ = 0;
    int max_ = 100;
    int pos_ = 0;
    bool smooth_ = true;
};

}  // namespace vellicor::ui
