#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "frames/convert.h"
#include "frames/frame_store.h"
#include "frames/tables.h"

namespace kelvane::frames {
namespace {

uint8_t Clamp(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Independent statement of the fixed-point BT.601 conversion, B G R.
std::array<uint8_t, 3> RefBgr(int y, int u, int v) {
  const int c = 298 * (y - 16), d = u - 128, e = v - 128;
  return {Clamp((c + 516 * d + 128) >> 8), Clamp((c - 100 * d - 208 * e + 128) >> 8), Clamp((c + 409 * e + 128) >> 8)};
}

// Runs one frame through a fresh single-frame store and returns its image.
std::vector<uint8_t> Convert(FrameType type, int32_t w, int32_t h, bool color, const std::vector<uint8_t>& frame,
                             int32_t lut = 0, int32_t raw_mode = 0, int32_t algorithm = 2) {
  FrameStore store(type, w, h, lut);
  FrameSettings s;
  s.RawMode = raw_mode;
  s.Algorithm = algorithm;
  store.ApplySettings(s);
  EXPECT_TRUE(store.SetColorOutput(color));
  EXPECT_EQ(store.ProcessFrame(frame.data(), frame.size()), kImageFinished);
  return {store.ResultBuffer(), store.ResultBuffer() + store.FrameSize()};
}

TEST(Convert, YuvToBgrWorkedExamples) {
  const struct {
    uint8_t y, u, v, b, g, r;
  } cases[] = {{16, 128, 128, 0, 0, 0}, {235, 128, 128, 255, 255, 255}, {81, 90, 240, 0, 0, 255}};
  for (const auto& c : cases) {
    uint8_t bgr[3];
    YuvToBgr(GetYuvTables(), c.y, c.u, c.v, bgr);
    EXPECT_EQ(bgr[0], c.b);
    EXPECT_EQ(bgr[1], c.g);
    EXPECT_EQ(bgr[2], c.r);
  }
}

TEST(Convert, I420ChromaServesItsTwoByTwoBlock) {
  // Odd sizes round the chroma plane up, so the last column and row have chroma too.
  for (auto [w, h] : {std::pair{4, 4}, std::pair{6, 2}, std::pair{5, 3}}) {
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    std::vector<uint8_t> frame(static_cast<size_t>(w * h + 2 * cw * ch));
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(40 + 29 * i);  // chroma differs per block
    const uint8_t* u = &frame[static_cast<size_t>(w * h)];
    const uint8_t* v = u + cw * ch;
    const auto out = Convert(FrameType::I420, w, h, true, frame);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int block = (y / 2) * cw + x / 2;
        const auto want = RefBgr(frame[static_cast<size_t>(y * w + x)], u[block], v[block]);
        for (int k = 0; k < 3; ++k)
          EXPECT_EQ(out[static_cast<size_t>((y * w + x) * 3 + k)], want[k]) << w << "x" << h << " at " << x << "," << y;
      }
    // Grey output is the Y plane.
    EXPECT_EQ(Convert(FrameType::I420, w, h, false, frame), std::vector<uint8_t>(frame.begin(), frame.begin() + w * h));
  }
}

// Two groups of each format; pixel k of the output takes (Y, U, V) from the
// positions the layout names.
struct PackedYuvCase {
  FrameType type;
  int32_t pixels, group_bytes, group_pixels;
  std::vector<int> y_at;  // byte offsets of Y within a group
  int u_at, v_at;
};

class PackedYuvTest : public ::testing::TestWithParam<PackedYuvCase> {};

TEST_P(PackedYuvTest, PackedYuvByteOrder) {
  const PackedYuvCase& c = GetParam();
  std::vector<uint8_t> frame(static_cast<size_t>(c.pixels / c.group_pixels * c.group_bytes));
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(37 * i + 20);
  const auto colour = Convert(c.type, c.pixels, 1, true, frame);
  const auto grey = Convert(c.type, c.pixels, 1, false, frame);
  for (int p = 0; p < c.pixels; ++p) {
    const uint8_t* g = &frame[static_cast<size_t>(p / c.group_pixels * c.group_bytes)];
    const uint8_t y = g[c.y_at[static_cast<size_t>(p % c.group_pixels)]];
    const auto want = RefBgr(y, g[c.u_at], g[c.v_at]);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(colour[static_cast<size_t>(p * 3 + k)], want[k]) << "px " << p;
    EXPECT_EQ(grey[static_cast<size_t>(p)], y) << "px " << p;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, PackedYuvTest,
                         ::testing::Values(PackedYuvCase{FrameType::Y411, 8, 6, 4, {1, 2, 4, 5}, 0, 3},
                                           PackedYuvCase{FrameType::Uyvy, 4, 4, 2, {1, 3}, 0, 2},
                                           PackedYuvCase{FrameType::Yuy2, 4, 4, 2, {0, 2}, 1, 3},
                                           PackedYuvCase{FrameType::Y444, 2, 3, 1, {1}, 0, 2}),
                         [](const ::testing::TestParamInfo<PackedYuvCase>& param) {
                           return std::string(FrameTypeName(param.param.type));
                         });

TEST(Convert, RgbToGreyAndCopies) {
  EXPECT_EQ(Convert(FrameType::Rgb24, 2, 1, false, {255, 255, 255, 1, 1, 0}), (std::vector<uint8_t>{255, 0}));
  EXPECT_EQ(Convert(FrameType::Rgb32, 2, 1, false, {30, 60, 90, 255, 2, 2, 2, 7}), (std::vector<uint8_t>{60, 2}));
  // Colour output keeps the camera's pixels; a longer frame is cut to the image.
  std::vector<uint8_t> rgb32{1, 2, 3, 4, 5, 6, 7, 8, 9, 9};
  EXPECT_EQ(Convert(FrameType::Rgb32, 2, 1, true, rgb32), std::vector<uint8_t>(rgb32.begin(), rgb32.begin() + 8));
}

TEST(Convert, SixteenBitGreyLeavesDeliveredBufferAlone) {
  const std::vector<uint8_t> frame{0xFF, 0xC0, 0x12, 0x34};
  const auto before = frame;
  EXPECT_EQ(Convert(FrameType::Mono16, 2, 1, false, frame, 1), (std::vector<uint8_t>{255, 0x1234 >> 6 >> 2}));
  EXPECT_EQ(Convert(FrameType::Mono16, 2, 1, false, frame, 0), (std::vector<uint8_t>{0xC0, 0x34}));
  // RAW16 without a pattern takes the same path.
  EXPECT_EQ(Convert(FrameType::Raw16, 2, 1, false, frame, 2), (std::vector<uint8_t>{255, 0x1234 >> 4 >> 4}));
  EXPECT_EQ(frame, before);
}

TEST(Convert, SixteenBitRawDemosaicsAndMaps) {
  // A uniform raw frame demosaics to the same value everywhere with the
  // table-driven algorithm, which computes every pixel.
  const int w = 6, h = 4;
  const uint16_t sample = 0x0ABC << 4;  // 12 significant bits, sent most significant byte first
  std::vector<uint8_t> frame;
  for (int i = 0; i < w * h; ++i) frame.insert(frame.end(), {uint8_t(sample >> 8), uint8_t(sample & 0xFF)});
  const auto before = frame;
  const uint8_t linear = 0x0ABC >> 4;
  EXPECT_EQ(Convert(FrameType::Raw16, w, h, true, frame, 2, 1, 0), std::vector<uint8_t>(w * h * 3, linear));
  EXPECT_EQ(Convert(FrameType::Raw16, w, h, false, frame, 2, 1, 0), std::vector<uint8_t>(w * h, linear));
  // Mono16 with colour and a pattern is demosaiced the same way.
  EXPECT_EQ(Convert(FrameType::Mono16, w, h, true, frame, 2, 1, 0), std::vector<uint8_t>(w * h * 3, linear));
  const uint8_t* log12 = GetMapTable(true, 12);
  EXPECT_EQ(Convert(FrameType::Raw16, w, h, true, frame, 6, 1, 0), std::vector<uint8_t>(w * h * 3, log12[0x0ABC]));
  EXPECT_EQ(frame, before);
}

TEST(Convert, MapTables) {
  const uint8_t* log10 = GetMapTable(true, 10);
  EXPECT_EQ(log10[0], 0);
  EXPECT_EQ(log10[1023], 255);
  for (int i = 1; i < 1024; ++i) EXPECT_LE(log10[i - 1], log10[i]);
  EXPECT_GT(log10[16] - log10[0], log10[1023] - log10[1007]);  // rises fastest near 0
  const uint8_t* lin14 = GetMapTable(false, 14);
  EXPECT_EQ(lin14[16383], 255);
  EXPECT_EQ(lin14[64], 1);
  EXPECT_EQ(GetMapTable(false, 9), nullptr);
  EXPECT_EQ(LutFor(99).bits, 16);
}

TEST(Convert, TablesBuiltOnceUnderConcurrentFirstUse) {
  const uint8_t* seen[2][8] = {};
  const YuvTables* yuv[2] = {};
  auto touch = [&](int t) {
    for (int i = 0; i < 8; ++i) seen[t][i] = GetMapTable(i >= 4, 10 + 2 * (i % 4));
    yuv[t] = &GetYuvTables();
  };
  std::thread a(touch, 0), b(touch, 1);
  a.join();
  b.join();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(seen[0][i], seen[1][i]);
  EXPECT_EQ(yuv[0], yuv[1]);
  EXPECT_EQ(seen[0][3][65535], 255);
  EXPECT_EQ(yuv[0]->Bu[0], 516 * -128);
}

// A frame that ends exactly where an inaccessible page begins: any read past
// its end faults.
class GuardedFrame {
 public:
  explicit GuardedFrame(size_t bytes) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    span_ = (bytes + page_ - 1) / page_ * page_ + page_;
    base_ = static_cast<uint8_t*>(mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + span_ - page_, page_, PROT_NONE);
    data_ = base_ + span_ - page_ - bytes;
    for (size_t i = 0; i < bytes; ++i) data_[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  ~GuardedFrame() { munmap(base_, span_); }
  const uint8_t* data() const { return data_; }

 private:
  size_t page_, span_;
  uint8_t* base_;
  uint8_t* data_;
};

// A short frame never converts, and a longer one converts as far as the
// geometry reaches, except on the paths that take the camera's samples one for
// one (the 8-bit copy and the 16-bit grey path): those take only the exact length.
constexpr int32_t kEdgeW = 64, kEdgeH = 48;
constexpr size_t kEdgePixels = size_t{kEdgeW} * kEdgeH;

struct FrameEdgeCase {
  FrameType type;
  bool color;
  int32_t raw_mode;
  size_t full;         // bytes the geometry implies
  bool partial_copy;   // a short frame copies what arrived
  bool exact = false;  // a longer frame leaves the target unchanged
};

std::vector<FrameEdgeCase> FrameEdgeCases() {
  constexpr size_t n = kEdgePixels;
  using enum FrameType;
  // clang-format off
  return {
    {I420, false, 0, n, false}, {I420, true, 0, n + n / 2, false}, {Y411, false, 0, n * 3 / 2, false},
    {Y411, true, 0, n * 3 / 2, false},  {Uyvy, false, 0, 2 * n, false},    {Uyvy, true, 0, 2 * n, false},
    {Y444, false, 0, 3 * n, false},     {Y444, true, 0, 3 * n, false},     {Grey8, false, 0, n, false, true},
    {Grey8, false, 1, n, false},         {Grey8, true, 3, n, false},         {Yuy2, true, 0, 2 * n, false},
    {Rgb24, false, 0, 3 * n, false},     {Rgb24, true, 0, 3 * n, true},      {Rgb32, false, 0, 4 * n, false},
    {Rgb32, true, 0, 4 * n, true},       {Mono16, false, 0, 2 * n, false, true}, {Mono16, true, 2, 2 * n, false},
    {Raw8, true, 4, n, false},          {Raw16, false, 0, 2 * n, false, true}, {Raw16, false, 1, 2 * n, false},
    {Raw16, true, 2, 2 * n, false},     {Raw8, false, 0, n, false, true},  {Grey8, true, 0, n, false, true},
    {Mono16, false, 3, 2 * n, false, true}, {Mono16, true, 0, 2 * n, false, true},
  };
  // clang-format on
}

class FrameEdgeTest : public ::testing::TestWithParam<FrameEdgeCase> {};

TEST_P(FrameEdgeTest, FramesNeverReadPastTheirEnd) {
  const FrameEdgeCase& c = GetParam();
  const int32_t w = kEdgeW, h = kEdgeH;
  FrameStore store(c.type, w, h, 1);
  FrameSettings s;
  s.RawMode = c.raw_mode;
  store.ApplySettings(s);
  ASSERT_TRUE(store.SetColorOutput(c.color));
  const size_t size = store.FrameSize();
  {
    GuardedFrame exact(c.full);
    EXPECT_EQ(store.ProcessFrame(exact.data(), c.full), kImageFinished);
  }
  const std::vector<uint8_t> before(store.ResultBuffer(), store.ResultBuffer() + size);
  GuardedFrame short_frame(c.full - 1);
  std::vector<uint8_t> marker(c.full - 1, 0xEE);  // differs from the previous frame everywhere it matters
  std::memcpy(const_cast<uint8_t*>(short_frame.data()), marker.data(), marker.size());
  EXPECT_EQ(store.ProcessFrame(short_frame.data(), c.full - 1), kImageFinished);
  const std::vector<uint8_t> after(store.ResultBuffer(), store.ResultBuffer() + size);
  if (c.partial_copy) {
    EXPECT_EQ(std::vector<uint8_t>(after.begin(), after.end() - 1), std::vector<uint8_t>(size - 1, 0xEE));
    EXPECT_EQ(after.back(), before.back());
  } else {
    EXPECT_EQ(after, before);
  }

  // Two bytes more (a whole 16-bit sample) of a new picture.
  GuardedFrame long_frame(c.full + 2);
  std::memset(const_cast<uint8_t*>(long_frame.data()), 0x77, c.full + 2);
  EXPECT_EQ(store.ProcessFrame(long_frame.data(), c.full + 2), kImageFinished);
  const std::vector<uint8_t> longer(store.ResultBuffer(), store.ResultBuffer() + size);
  if (c.exact) {
    EXPECT_EQ(longer, after);
  } else {
    GuardedFrame same(c.full);
    std::memset(const_cast<uint8_t*>(same.data()), 0x77, c.full);
    std::memset(store.ResultBuffer(), 0, size);
    EXPECT_EQ(store.ProcessFrame(same.data(), c.full), kImageFinished);
    EXPECT_EQ(longer, std::vector<uint8_t>(store.ResultBuffer(), store.ResultBuffer() + size));
  }
}

std::string FrameEdgeName(const ::testing::TestParamInfo<FrameEdgeCase>& param) {
  const FrameEdgeCase& c = param.param;
  return std::string(FrameTypeName(c.type)) + (c.color ? "_Colour" : "_Grey") + "_RawMode" + std::to_string(c.raw_mode);
}

INSTANTIATE_TEST_SUITE_P(Formats, FrameEdgeTest, ::testing::ValuesIn(FrameEdgeCases()), FrameEdgeName);

// The settings' RawMode and Algorithm are checked where the store takes them:
// any named code demosaics, a RawMode outside 1..4 leaves raw data grey, and
// with an Algorithm outside 0..4 every frame leaves the image as it was (black
// at first). Catches a range check narrowed or widened there (RawMode 4 and
// Algorithm 4 are the top codes) and a bad algorithm run as some default.
TEST(Convert, BayerCodesCheckedWhereTheStoreTakesThem) {
  using enum FrameType;
  enum Outcome { kDemosaiced, kGrey, kUnchanged };
  const struct Case {
    FrameType type;
    bool color;
    int32_t raw_mode, algorithm;
    Outcome outcome;
  } cases[] = {
      {Raw8, true, 1, 2, kDemosaiced},
      {Raw8, true, 4, 0, kDemosaiced},
      {Raw8, true, 4, 4, kDemosaiced},
      {Raw16, true, 4, 3, kDemosaiced},
      {Raw8, true, 0, 2, kGrey},
      {Raw8, true, 5, 2, kGrey},
      {Raw16, true, -1, 2, kGrey},
      {Raw8, true, 1, 5, kUnchanged},
      {Raw8, false, 2, -1, kUnchanged},
      {Raw16, true, 4, INT32_MIN, kUnchanged},
      {Raw16, false, 3, 5, kUnchanged},
      {Mono16, true, 4, 7, kUnchanged},
      {Grey8, true, 3, INT32_MAX, kUnchanged},
  };
  const int32_t w = 8, h = 8;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << FrameTypeName(c.type) << (c.color ? " colour" : " grey") << " RawMode "
                                    << c.raw_mode << " Algorithm " << c.algorithm);
    const std::vector<uint8_t> frame(static_cast<size_t>(w * h * (Is16Bit(c.type) ? 2 : 1)), 0x5A);
    const std::vector<uint8_t> image = Convert(c.type, w, h, c.color, frame, 0, c.raw_mode, c.algorithm);
    const bool demosaiced_depth = c.color && c.outcome != kGrey;
    EXPECT_EQ(image.size(), static_cast<size_t>(w * h * (demosaiced_depth ? 3 : 1)));
    const bool black = std::all_of(image.begin(), image.end(), [](uint8_t v) { return v == 0; });
    EXPECT_EQ(black, c.outcome == kUnchanged);
  }
}

TEST(Convert, TinyRawFramesWithEveryAlgorithm) {
  for (FrameType type : {FrameType::Raw8, FrameType::Raw16})
    for (int32_t algorithm = 0; algorithm <= 5; ++algorithm)
      for (auto [w, h] : {std::pair{1, 1}, std::pair{2, 1}, std::pair{1, 2}, std::pair{3, 3}, std::pair{0, 4}})
        for (bool color : {false, true}) {
          FrameStore store(type, w, h, 2);
          FrameSettings s;
          s.RawMode = 4;
          s.Algorithm = algorithm;
          store.ApplySettings(s);
          ASSERT_TRUE(store.SetColorOutput(color));
          const std::vector<uint8_t> frame(static_cast<size_t>(w * h * (Is16Bit(type) ? 2 : 1)), 0x5A);
          EXPECT_EQ(store.ProcessFrame(frame.data(), frame.size()), kImageFinished)
              << FrameTypeName(type) << " " << algorithm;
        }
}

}  // namespace
}  // namespace kelvane::frames
