#pragma once
// The tool's icon, drawn at start: one 108 × 128 image, 32 bits per pixel.

#include <QIcon>
#include <QImage>

namespace vellicor::app {

QImage appIconImage();
QIcon appIcon();

}  // namespace vellicor::app
