#include <gtest/gtest.h>

#include "Common/UpdateHeader.h"

TEST(UpdateHeader, EncodesLittleEndianFieldByField) {
  UpdateHeader h;
  h.kind = UPDATE_BLOCK;
  h.length = 0x1234;
  h.left = -5;
  h.top = 0x01020304;
  h.right = 1920;
  h.bottom = -1;
  uint8_t out[20];
  EncodeUpdateHeader(h, out);
  const uint8_t expected[20] = {2, 0, 0x34, 0x12, 0xFB, 0xFF, 0xFF, 0xFF, 4, 3, 2, 1,
                                0x80, 0x07, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0, memcmp(out, expected, 20));
  UpdateHeader back;
  ASSERT_TRUE(DecodeUpdateHeader(out, 20, back));
  EXPECT_EQ(back.kind, h.kind);
  EXPECT_EQ(back.length, h.length);
  EXPECT_EQ(back.left, -5);
  EXPECT_EQ(back.top, h.top);
  EXPECT_EQ(back.right, 1920);
  EXPECT_EQ(back.bottom, -1);
}

TEST(UpdateHeader, RefusesShortDatagrams) {
  uint8_t buf[20] = {};
  UpdateHeader h;
  EXPECT_FALSE(DecodeUpdateHeader(buf, 19, h));
  EXPECT_FALSE(DecodeUpdateHeader(buf, 0, h));
  EXPECT_TRUE(DecodeUpdateHeader(buf, 20, h));
}

TEST(UpdateHeader, ScanLineRoundsUpToSixteenBits) {
  struct { int64_t w; int d; int64_t s; } cases[] = {
      {100, 16, 200}, {3, 24, 10}, {3, 8, 4}, {3, 32, 12}, {1, 8, 2}, {1, 1, 2},
      {17, 1, 4}, {1920, 32, 7680}, {0, 32, 0},
  };
  for (auto c : cases) EXPECT_EQ(ScanLineBytes(c.w, c.d), c.s) << c.w << "x" << c.d;
}
