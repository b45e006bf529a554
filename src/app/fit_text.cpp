#include "app/fit_text.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFont>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QVariant>

namespace vellicor::app {
namespace {

// The font the form gave the control, kept once it has been shrunk.
constexpr const char* kFormFont = "vellicorFormFont";

QString captionOf(const QWidget& control) {
    if (const auto* label = qobject_cast<const QLabel*>(&control)) {
        return label->wordWrap() ? QString() : label->text();
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(&control)) {
        return button->text();
    }
    return {};
}

int buttonRoom(const QAbstractButton& button, QStyle::SubElement contents) {
    QStyleOptionButton option;
    option.initFrom(&button);
    option.text = button.text();
    return button.style()->subElementRect(contents, &option, &button).width();
}

}  // namespace

int captionRoom(const QWidget& control) {
    if (const auto* check = qobject_cast<const QCheckBox*>(&control)) {
        return buttonRoom(*check, QStyle::SE_CheckBoxContents);
    }
    if (const auto* button = qobject_cast<const QPushButton*>(&control)) {
        return buttonRoom(*button, QStyle::SE_PushButtonContents);
    }
    return control.contentsRect().width();
}

void fitCaption(QWidget& control) {
    const QString caption = captionOf(control);
    if (caption.isEmpty()) {
        return;
    }
    const QVariant kept = control.property(kFormFont);
    QFont font = kept.isValid() ? kept.value<QFont>() : control.font();
    const int room = captionRoom(control);
    int pixels = QFontInfo(font).pixelSize();
    bool fits = QFontMetrics(font).horizontalAdvance(caption) <= room;
    while (!fits && pixels > kSmallestCaptionPixels) {
        font.setPixelSize(--pixels);
        fits = QFontMetrics(font).horizontalAdvance(caption) <= room;
    }
    if (font != control.font()) {
        if (!kept.isValid()) {
            control.setProperty(kFormFont, QVariant::fromValue(control.font()));
        }
        control.setFont(font);
    }
    control.setToolTip(fits ? QString() : caption);
}

}  // namespace vellicor::app
