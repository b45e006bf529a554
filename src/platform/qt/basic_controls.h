#pragma once
// The plain kinds: label, button, check box and group box. They add to their Qt base only
// what the logic relies on: captions kept as written (CRLF line ends included), text colours,
// and a group box caption colour that does not leak into the boxes inside it.

#include <QCheckBox>
#include <QColor>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QString>

namespace vellicor::ui {

// Sets the colour a widget draws its own text with.
void setTextColor(QWidget* widget, const QColor& color);

class Label : public QLabel {
    Q_OBJECT
  public:
    explicit Label(QWidget* parent = nullptr);
    // Returns the caption as written, line ends and all.
    QString caption() const { return caption_; }
    void setCaption(const QString& caption);

  private:
    QString caption_;
};

class Button : public QPushButton {
    Q_OBJECT
  public:
    explicit Button(QWidget* parent = nullptr);
    QString caption() const { return text(); }
    void setCaption(const QString& caption) { setText(caption); }
};

class CheckBox : public QCheckBox {
    Q_OBJECT
  public:
    explicit CheckBox(QWidget* parent = nullptr);
    QString caption() const { return text(); }
    void setCaption(const QString& caption) { setText(caption); }
    // Reads the live state, so a tick the user has just made reads back at once.
    bool checked() const { return isChecked(); }
    void setChecked(bool on) { QCheckBox::setChecked(on); }
};

class GroupBox : public QGroupBox {
    Q_OBJECT
  public:
    explicit GroupBox(QWidget* parent = nullptr);
    QString caption() const { return title(); }
    void setCaption(const QString& caption) { setTitle(caption); }
    QColor captionColor() const { return captionColor_; }
    void setCaptionColor(const QColor& color);
    Qt::Alignment captionAlignment() const { return alignment(); }
    void setCaptionAlignment(Qt::Alignment alignment) { setAlignment(alignment); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QColor captionColor_;
};

}  // namespace vellicor::ui
