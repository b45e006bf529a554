#include "app/app_icon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace vellicor::app {
namespace {

constexpr int kWidth = 108;
constexpr int kHeight = 128;

// A ticket with a notched edge, in the orange of the link panel, with a bold "V".
QPainterPath ticketShape() {
    QPainterPath ticket;
    ticket.addRoundedRect(QRectF(6, 10, kWidth - 12, kHeight - 20), 14, 14);
    QPainterPath notches;
    notches.addEllipse(QPointF(6, kHeight / 2.0), 10, 10);
    notches.addEllipse(QPointF(kWidth - 6, kHeight / 2.0), 10, 10);
    return ticket.subtracted(notches);
}

void drawLetter(QPainter& painter) {
    QPainterPath v;
    v.moveTo(26, 30);
    v.lineTo(42, 30);
    v.lineTo(54, 76);
    v.lineTo(66, 30);
    v.lineTo(82, 30);
    v.lineTo(62, 98);
    v.lineTo(46, 98);
    v.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255));
    painter.drawPath(v);
}

}  // namespace

QImage appIconImage() {
    QImage image(kWidth, kHeight, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, kHeight);
    fill.setColorAt(0, QColor(0xFF, 0x98, 0x30));
    fill.setColorAt(1, QColor(0xE0, 0x40, 0x60));
    painter.setPen(QPen(QColor(0x90, 0x20, 0x40), 3));
    painter.setBrush(fill);
    painter.drawPath(ticketShape());
    painter.setPen(QPen(QColor(255, 255, 255, 140), 2, Qt::DashLine));
    painter.drawLine(QPointF(20, 110), QPointF(kWidth - 20, 110));
    drawLetter(painter);
    return image;
}

QIcon appIcon() {
    return QIcon(QPixmap::fromImage(appIconImage()));
}

}  // namespace vellicor::app
