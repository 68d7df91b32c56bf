#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <set>

#include "gui/indicator_painter.h"

namespace drv {
namespace {

struct PhaseCase {
  const char* name;
  int phase;
  std::set<int> stripes;  // visible stripe columns; column 16 is off the picture
};

const PhaseCase kPhases[] = {
    {"phase0_reaches_column0", 0, {0, 1, 2, 3, 4}},
    {"phase13_wraps_after_16", 13, {13, 14, 15, 1}},
    {"phase14_wraps_two", 14, {14, 15, 1, 2}},
    {"phase16_first_column_hidden", 16, {1, 2, 3, 4}},
};

bool FramePixel(int x, int y) {
  if (y == 3 || y == 4 || y == 13 || y == 14) return true;  // top and bottom, 2 rows each
  if (y >= 5 && y <= 12) return x <= 1 || x >= 14;          // left and right, 2 columns each
  return false;
}

class IndicatorTest : public ::testing::TestWithParam<std::tuple<PhaseCase, bool>> {};

TEST_P(IndicatorTest, DrawsFrameAndStripesInTheLinkColour) {
  const auto& [c, ok] = GetParam();
  const QImage image = PaintIndicator(ok, c.phase);
  ASSERT_EQ(image.size(), QSize(16, 16));
  const QColor colour = ok ? QColor(0, 128, 0) : QColor(255, 0, 0);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      const bool stripe = y >= 5 && y <= 11 && c.stripes.count(x) > 0;
      const QColor expected = FramePixel(x, y) || stripe ? colour : QColor(Qt::white);
      EXPECT_EQ(image.pixelColor(x, y).rgb(), expected.rgb()) << "pixel " << x << "," << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Phases, IndicatorTest,
                         ::testing::Combine(::testing::ValuesIn(kPhases), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_green" : "_red");
                         });

}  // namespace
}  // namespace drv
