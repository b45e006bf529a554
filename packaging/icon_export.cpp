// Writes the icon the window draws into an icon theme folder, one square PNG a size
// (<folder>/<N>x<N>/apps/vellicor.png), so the desktop's menu shows the same picture.
//   vellicor-icon-export FOLDER

#include <QDir>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cstdio>

#include "app/app_icon.h"

namespace {

constexpr int kSizes[] = {16, 22, 24, 32, 48, 64, 128};

// The drawn icon is taller than wide; a theme wants squares, so it is centred on one.
QImage squared(const QImage& icon) {
    const int side = std::max(icon.width(), icon.height());
    QImage square(side, side, QImage::Format_ARGB32);
    square.fill(Qt::transparent);
    QPainter painter(&square);
    painter.drawImage((side - icon.width()) / 2, (side - icon.height()) / 2, icon);
    return square;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vellicor-icon-export FOLDER\n");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const QImage square = squared(vellicor::app::appIconImage());
    for (const int size : kSizes) {
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        const QImage scaled =
            square.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (!QDir().mkpath(folder) ||
            !scaled.save(folder + QStringLiteral("/vellicor.png"), "PNG")) {
            std::fprintf(stderr, "vellicor-icon-export: cannot write %s\n", qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
