#pragma once
// Captions in boxes of a fixed size. The form's widths were set for one system font; with
// another, a caption such as "战地FAMAS（3天）" runs past its box and is cut. A caption that
// does not fit is set a pixel smaller at a time, down to a size still read easily; one that
// fits at none keeps that size and shows its whole text as the control's tooltip. The boxes
// themselves never move or grow, so no neighbour is covered.

#include <QString>

class QWidget;

namespace vellicor::app {

// Below this the CJK glyphs of the system fonts lose strokes.
inline constexpr int kSmallestCaptionPixels = 9;

// The width the control draws its caption in: a check box's less its indicator, a button's
// less its frame and margins, a label's whole contents.
int captionRoom(const QWidget& control);

// Fits the caption the control shows now (a label, button or check box; other kinds and
// word-wrapped labels are left alone). Starts again from the control's own font each time,
// so that a caption that has become shorter gets its full size back.
void fitCaption(QWidget& control);

}  // namespace vellicor::app
