// The board's own 5 x 7 font: seven rows per glyph, bit 4 the leftmost column.
#pragma once

#include "framework/types.h"

namespace cv::pw {

// The rows of a byte's glyph; bytes outside the printable ASCII range get a box.
const Uint8* GlyphRows(Uint8 ch);

}  // namespace cv::pw
