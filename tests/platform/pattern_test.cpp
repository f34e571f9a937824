// The byte layouts of the simulated camera's formats, checked against each
// other: every layout of one frame must carry the same picture where it is
// stored, so a byte in the wrong place shows as a mismatch with the grey frame.
#include <cstdlib>

#include "platform/sim/bus.h"
#include "platform/sim/internal.h"
#include "sim_fixture.h"

namespace kelvane::sim::testing {
namespace {

constexpr int32_t kW = 16, kH = 6;
constexpr int64_t kFrame = 7;

std::vector<uint8_t> Render(const GUID& subtype, BayerPattern bayer = BayerPattern::RGGB) {
  std::vector<uint8_t> frame(FrameBytes(subtype, kW, kH));
  RenderPattern(subtype, kW, kH, kFrame, bayer, frame.data());
  return frame;
}

TEST(PatternLayout, LumaSitsWhereEachLayoutKeepsIt) {
  const std::vector<uint8_t> grey = Render(MEDIASUBTYPE_Y800);
  const auto W = static_cast<size_t>(kW);
  // Offset of pixel (x, y)'s luma in each layout.
  struct Case {
    GUID subtype;
    size_t (*luma)(size_t x, size_t y);
  };
  const Case cases[] = {
      {MEDIASUBTYPE_YUY2, [](size_t x, size_t y) { return (y * kW + x) * 2; }},
      {MEDIASUBTYPE_UYVY, [](size_t x, size_t y) { return (y * kW + x) * 2 + 1; }},
      {MEDIASUBTYPE_Y411, [](size_t x, size_t y) { return (y * kW + x) / 4 * 6 + (x % 4 < 2 ? 1 + x % 4 : 2 + x % 4); }},
      {MEDIASUBTYPE_Y444, [](size_t x, size_t y) { return (y * kW + x) * 3 + 1; }},
      {MEDIASUBTYPE_I420, [](size_t x, size_t y) { return y * kW + x; }},
      {MEDIASUBTYPE_MO16, [](size_t x, size_t y) { return (y * kW + x) * 2; }},  // most significant byte first
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> frame = Render(c.subtype);
    for (size_t y = 0; y < static_cast<size_t>(kH); ++y)
      for (size_t x = 0; x < W; ++x)
        ASSERT_EQ(frame[c.luma(x, y)], grey[y * W + x]) << SubtypeName(c.subtype) << " at " << x << "," << y;
  }
  // MO16 uses the full 16-bit scale: the low byte repeats the high one.
  const std::vector<uint8_t> wide = Render(MEDIASUBTYPE_MO16);
  for (size_t i = 0; i < wide.size(); i += 2) ASSERT_EQ(wide[i], wide[i + 1]);
}

TEST(PatternLayout, RgbIsBottomUpAndBayerSamplesItsChannels) {
  const std::vector<uint8_t> rgb = Render(MEDIASUBTYPE_RGB24);
  const std::vector<uint8_t> grey = Render(MEDIASUBTYPE_Y800);
  const auto W = static_cast<size_t>(kW);
  // Picture row y is memory row kH - 1 - y; its luma matches the grey frame.
  for (size_t y = 0; y < static_cast<size_t>(kH); ++y)
    for (size_t x = 0; x < W; ++x) {
      const uint8_t* p = &rgb[((kH - 1 - y) * W + x) * 3];
      const int luma = (66 * p[2] + 129 * p[1] + 25 * p[0] + 128) / 256 + 16;
      ASSERT_LE(std::abs(luma - grey[y * W + x]), 1) << x << "," << y;
    }
  // Bayer: each site holds its colour of the picture (channel index in B, G, R order).
  struct Case {
    BayerPattern bayer;
    int topLeft, topRight, bottomLeft, bottomRight;
  };
  const Case cases[] = {{BayerPattern::RGGB, 2, 1, 1, 0}, {BayerPattern::GRBG, 1, 2, 0, 1},
                        {BayerPattern::GBRG, 1, 0, 2, 1}, {BayerPattern::BGGR, 0, 1, 1, 2}};
  for (const auto& c : cases) {
    const std::vector<uint8_t> raw8 = Render(MEDIASUBTYPE_RAW8, c.bayer);
    const std::vector<uint8_t> raw16 = Render(MEDIASUBTYPE_RAW16, c.bayer);
    for (size_t y = 0; y < static_cast<size_t>(kH); ++y)
      for (size_t x = 0; x < W; ++x) {
        const int site[2][2] = {{c.topLeft, c.topRight}, {c.bottomLeft, c.bottomRight}};
        const uint8_t expected = rgb[((kH - 1 - y) * W + x) * 3 + static_cast<size_t>(site[y % 2][x % 2])];
        ASSERT_EQ(raw8[y * W + x], expected) << static_cast<int>(c.bayer) << " at " << x << "," << y;
        ASSERT_EQ(raw16[(y * W + x) * 2], expected);
      }
  }
}

TEST(PatternLayout, DarkFramesStayDarkThroughConversion) {
  for (const GUID& s : {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_UYVY, MEDIASUBTYPE_Y411, MEDIASUBTYPE_Y444,
                        MEDIASUBTYPE_I420, MEDIASUBTYPE_Y800, MEDIASUBTYPE_MO16, MEDIASUBTYPE_RAW8}) {
    std::vector<uint8_t> frame(FrameBytes(s, kW, kH), 0x55);
    RenderBlank(s, kW, kH, frame.data());
    std::vector<uint8_t> rgb(FrameBytes(MEDIASUBTYPE_RGB24, kW, kH), 0x55);
    ASSERT_TRUE(ConvertToRgb24(s, kW, kH, frame.data(), frame.size(), 0, rgb.data())) << SubtypeName(s);
    EXPECT_EQ(rgb, std::vector<uint8_t>(rgb.size(), 0)) << SubtypeName(s);
  }
}

}  // namespace
}  // namespace kelvane::sim::testing
