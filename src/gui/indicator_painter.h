#pragma once

#include <QImage>

namespace drv {

// The link indicator: a 16 x 16 white picture with a frame and five stripes whose
// colour tells the link state and whose column block tells the activity phase (0..16).
QImage PaintIndicator(bool link_ok, int phase);

}  // namespace drv
