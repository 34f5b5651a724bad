#include "glimt/PictureView.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "Common/Registry.h"
#include "tests/support/TestSupport.h"

namespace {

// The picture's format follows the display's masks, and the layout the decoder writes in is
// what Qt reads from that format: a colour set through QImage comes back through the masks.
TEST(PictureFormatTest, TheDecodersLayoutIsWhatQtShows) {
  struct Case { DisplayFormat display; QImage::Format format; };
  const Case cases[] = {
      {{32, 24, 0, 0, 0xFF0000, 0xFF00, 0xFF}, QImage::Format_RGB32},
      {{32, 24, 0, 0, 0xFF, 0xFF00, 0xFF0000}, QImage::Format_RGBX8888},
      {{24, 24, 0, 0, 0xFF0000, 0xFF00, 0xFF}, QImage::Format_BGR888},
      {{24, 24, 0, 0, 0xFF, 0xFF00, 0xFF0000}, QImage::Format_RGB888},
      {{16, 16, 0, 0, 0xF800, 0x07E0, 0x1F}, QImage::Format_RGB16},
      {{16, 15, 0, 0, 0x7C00, 0x03E0, 0x1F}, QImage::Format_RGB555},
      {{8, 8, 0, 0, 0, 0, 0}, QImage::Format_Invalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    ASSERT_EQ(PictureFormat(c.display), c.format);
    const PixelLayout l = LayoutOf(c.format);
    if (c.format == QImage::Format_Invalid) {
      EXPECT_EQ(l.bits_per_pixel, 0);
      continue;
    }
    EXPECT_EQ(l.bits_per_pixel, c.display.bits_per_pixel);
    EXPECT_EQ(l.red_mask, c.display.red_mask);
    EXPECT_EQ(l.blue_mask, c.display.blue_mask);
    QImage image(1, 1, c.format);
    image.setPixelColor(0, 0, QColor(255, 0, 255));  // full red and blue, no green
    uint32_t v = 0;
    std::memcpy(&v, image.constBits(), l.bits_per_pixel / 8);
    EXPECT_EQ(v & l.red_mask, l.red_mask);
    EXPECT_EQ(v & l.green_mask, 0u);
    EXPECT_EQ(v & l.blue_mask, l.blue_mask);
  }
}

TEST(ScaleQualityTest, OnlyFastInAnyCaseChoosesNearestNeighbour) {
  testsupport::TempDir registry;
  setenv("ORVANE_REGISTRY", registry.path().c_str(), 1);
  EXPECT_EQ(ReadScaleQuality(), ScaleQuality::kSmooth) << "no value";
  struct Case { const char* value; ScaleQuality quality; };
  const Case cases[] = {{"fast", ScaleQuality::kFast},     {"FAST", ScaleQuality::kFast},
                        {"smooth", ScaleQuality::kSmooth}, {"", ScaleQuality::kSmooth},
                        {"bilinear", ScaleQuality::kSmooth}, {"fast ", ScaleQuality::kSmooth}};
  for (const Case& c : cases) {
    ASSERT_TRUE(SetSettingString("ScaleQuality", c.value, "Parameters"));
    EXPECT_EQ(ReadScaleQuality(), c.quality) << '"' << c.value << '"';
  }
  ASSERT_TRUE(SetSettingDword("ScaleQuality", 1, "Parameters"));
  EXPECT_EQ(ReadScaleQuality(), ScaleQuality::kSmooth) << "a value of another kind";
  unsetenv("ORVANE_REGISTRY");
}

}  // namespace
