#include "platform/qt/basic_controls.h"

#include <QPalette>
#include <QStyleOptionGroupBox>
#include <QStylePainter>

namespace vellicor::ui {

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::ButtonText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

Label::Label(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void Label::setCaption(const QString& caption) {
    caption_ = caption;
    // Captions are written with CRLF line ends; Qt breaks lines on LF alone.
    QString shown = caption;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    setText(shown);
}

Button::Button(QWidget* parent) : QPushButton(parent) {
    // Enter must not press a button the user has not aimed at.
    setAutoDefault(false);
    setDefault(false);
}

CheckBox::CheckBox(QWidget* parent) : QCheckBox(parent) {}

GroupBox::GroupBox(QWidget* parent) : QGroupBox(parent) {}

void GroupBox::setCaptionColor(const QColor& color) {
    captionColor_ = color;
    update();
}

// A palette would colour the caption, but it would also pass the colour on to every check
// box in the box; the caption colour is handed to the style for the title alone instead.
void GroupBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionGroupBox option;
    initStyleOption(&option);
    if (captionColor_.isValid()) {
        // Styles differ in which of the two they draw the title with.
        option.textColor = captionColor_;
        option.palette.setColor(QPalette::WindowText, captionColor_);
    }
    painter.drawComplexControl(QStyle::CC_GroupBox, option);
}

}  // namespace vellicor::ui
