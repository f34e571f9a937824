#include "frames/demosaic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "bayer_params.h"
#include "frames/band_pool.h"
#include "frames/demosaic_rows.h"
#include "frames/frame_store.h"
#include "frames/kernels.h"

namespace kelvane::frames {
namespace {

using Rgb = std::array<int, 3>;  // output samples 0 (blue), 1 (green), 2 (red)

using enum BayerAlgorithm;
using enum BayerPattern;

// The raw layout of each pattern code 1..4, row 0 and row 1 of the top-left block.
constexpr const char* kLayout[4][2] = {{"BG", "GR"}, {"GR", "BG"}, {"GB", "RG"}, {"RG", "GB"}};
// Algorithm 0 reads the codes with red and blue exchanged.
constexpr const char* kLayoutOrig[4][2] = {{"RG", "GB"}, {"GB", "RG"}, {"GR", "BG"}, {"BG", "GR"}};

char SiteColour(BayerAlgorithm algorithm, BayerPattern pattern, int x, int y) {
  const auto& layout = algorithm == BilinearOrig ? kLayoutOrig : kLayout;
  return layout[static_cast<int>(pattern) - 1][y & 1][x & 1];
}

// Pixels each algorithm leaves black.
bool IsBorder(BayerAlgorithm algorithm, int w, int h, int x, int y) {
  switch (algorithm) {
    case BilinearOrig: return w < 2 || h < 2;
    case Nearest:
    case Simple: return x == w - 1 || y == h - 1;
    case Bilinear: return x < 1 || y < 1 || x >= w - 1 || y >= h - 1;
    case HqLinear: return x < 2 || y < 2 || x >= w - 2 || y >= h - 2;
  }
  return true;
}

template <typename T>
bool RunDemosaic(const std::vector<T>& src, std::vector<T>& dst, int w, int h, BayerPattern pattern,
                 BayerAlgorithm algorithm, int bits = 16) {
  if constexpr (std::is_same_v<T, uint8_t>) {
    return Demosaic8(src.data(), dst.data(), w, h, pattern, algorithm);
  } else {
    return Demosaic16(src.data(), dst.data(), w, h, pattern, algorithm, bits);
  }
}

constexpr size_t kTail = 8;  // guard samples after the destination
template <typename T>
constexpr T kSentinel = static_cast<T>(0xA5A5);

template <typename T>
std::vector<T> Destination(int w, int h) {
  return std::vector<T>(3 * static_cast<size_t>(w) * static_cast<size_t>(h) + kTail, kSentinel<T>);
}

template <typename T>
Rgb PixelAt(const std::vector<T>& dst, int w, int x, int y) {
  const size_t i = 3 * (static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x));
  return {dst[i], dst[i + 1], dst[i + 2]};
}

// A raw frame whose blue, green and red sites hold one value each. Every algorithm must
// reproduce those values in every computed pixel (a uniform frame is the case of three
// equal values): a wrong pattern table, neighbour, rounding or skipped pixel shows up.
template <typename T>
void CheckPlanes(BayerAlgorithm algorithm, BayerPattern pattern, Rgb planes) {
  const std::vector<std::pair<int, int>> sizes = {{1, 1}, {1, 4}, {4, 1}, {2, 2}, {2, 3}, {3, 2}, {3, 3},
                                                  {4, 4}, {5, 5}, {6, 4}, {7, 5}, {9, 7}, {640, 480}};
  for (const auto& [w, h] : sizes) {
    SCOPED_TRACE(::testing::Message() << w << "x" << h);
    std::vector<T> src(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const char c = SiteColour(algorithm, pattern, x, y);
        src[static_cast<size_t>(y * w + x)] = static_cast<T>(planes[c == 'B' ? 0 : c == 'G' ? 1 : 2]);
      }
    }
    std::vector<T> dst = Destination<T>(w, h);
    ASSERT_TRUE(RunDemosaic(src, dst, w, h, pattern, algorithm));
    int wrong = 0;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const Rgb expected = IsBorder(algorithm, w, h, x, y) ? Rgb{0, 0, 0} : planes;
        if (PixelAt(dst, w, x, y) != expected && wrong++ == 0) {
          ADD_FAILURE() << "first wrong pixel at " << x << "," << y;
        }
      }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(std::all_of(dst.end() - kTail, dst.end(), [](T v) { return v == kSentinel<T>; }));
  }
}

class EveryAlgorithmAndPattern : public testing::TestWithParam<AlgorithmAndPattern> {};

TEST_P(EveryAlgorithmAndPattern, UniformAndColourPlanesInEveryPixel) {
  const auto [algorithm, pattern] = GetParam();
  CheckPlanes<uint8_t>(algorithm, pattern, {77, 77, 77});
  CheckPlanes<uint8_t>(algorithm, pattern, {10, 50, 200});
  CheckPlanes<uint16_t>(algorithm, pattern, {40000, 40000, 40000});
  CheckPlanes<uint16_t>(algorithm, pattern, {1000, 30000, 65535});  // the top of algorithm 0's 16-bit tables
}

// The top-left w x h of this frame feeds the hand-computed cases below.
constexpr int kRaw[6][6] = {
    {9, 61, 24, 90, 33, 70}, {47, 15, 80, 52, 6, 99}, {73, 38, 11, 66, 56, 77},
    {20, 85, 42, 13, 94, 31}, {64, 5, 77, 36, 50, 18}, {29, 92, 16, 71, 8, 44},
};

struct HandCase {
  BayerAlgorithm algorithm;
  BayerPattern pattern;
  int w, h;
  std::vector<Rgb> computed;  // the computed pixels in raster order
};

// Worked out by hand from the neighbourhoods, e.g. algorithm 0, pattern 1 (Bggr), pixel (1, 1)
// is a blue site: blue 15, green (47 + 80) >> 1 = 63, red (9 + 24 + 73 + 11) >> 2 = 29; pixel
// (0, 0) is red 9 with green 61 (its one horizontal neighbour) and blue 15 (row 1 stands in for
// row -1). Algorithm 3, pattern 1, pixel (2, 2) is a blue site: green (4*11 + 2*226 - 230 + 4) >> 3 = 33.
const std::vector<HandCase> kHandCases = {
    {BilinearOrig, Bggr, 3, 3, {{15, 61, 9}, {15, 61, 16}, {15, 61, 24}, {15, 47, 41}, {15, 63, 29}, {15, 80, 17},
                  {15, 38, 73}, {15, 38, 42}, {15, 38, 11}}},
    {BilinearOrig, Grbg, 3, 3, {{61, 9, 47}, {61, 16, 63}, {61, 24, 80}, {49, 15, 47}, {49, 15, 63}, {49, 15, 80},
                  {38, 73, 47}, {38, 42, 63}, {38, 11, 80}}},
    {BilinearOrig, Gbrg, 3, 3, {{47, 9, 61}, {63, 16, 61}, {80, 24, 61}, {47, 15, 49}, {63, 15, 49}, {80, 15, 49},
                  {47, 73, 38}, {63, 42, 38}, {80, 11, 38}}},
    {BilinearOrig, Rggb, 3, 3, {{9, 61, 15}, {16, 61, 15}, {24, 61, 15}, {41, 47, 15}, {29, 63, 15}, {17, 80, 15},
                  {73, 38, 15}, {42, 38, 15}, {11, 38, 15}}},
    {Nearest, Bggr, 3, 3, {{9, 61, 15}, {24, 80, 15}, {73, 38, 15}, {11, 80, 15}}},
    {Nearest, Grbg, 3, 3, {{47, 15, 61}, {80, 24, 61}, {47, 15, 38}, {80, 11, 38}}},
    {Nearest, Gbrg, 3, 3, {{61, 15, 47}, {61, 24, 80}, {38, 15, 47}, {38, 11, 80}}},
    {Nearest, Rggb, 3, 3, {{15, 61, 9}, {15, 80, 24}, {15, 38, 73}, {15, 80, 11}}},
    {Bilinear, Bggr, 4, 4, {{29, 57, 15}, {18, 80, 34}, {42, 38, 50}, {11, 57, 41}}},
    {Bilinear, Grbg, 4, 4, {{64, 15, 50}, {80, 26, 64}, {47, 46, 38}, {61, 11, 52}}},
    {Bilinear, Gbrg, 4, 4, {{50, 15, 64}, {64, 26, 80}, {38, 46, 47}, {52, 11, 61}}},
    {Bilinear, Rggb, 4, 4, {{15, 57, 29}, {34, 80, 18}, {50, 38, 42}, {41, 57, 11}}},
    {HqLinear, Bggr, 6, 6, {{11, 33, 6}, {41, 66, 38}, {47, 42, 49}, {13, 36, 13}}},
    {HqLinear, Grbg, 6, 6, {{43, 11, 29}, {60, 36, 66}, {42, 41, 28}, {45, 13, 27}}},
    {HqLinear, Gbrg, 6, 6, {{29, 11, 43}, {66, 36, 60}, {28, 41, 42}, {27, 13, 45}}},
    {HqLinear, Rggb, 6, 6, {{6, 33, 11}, {38, 66, 41}, {49, 42, 47}, {13, 36, 13}}},
    {Simple, Bggr, 3, 3, {{9, 54, 15}, {24, 71, 15}, {73, 43, 15}, {11, 59, 15}}},
    {Simple, Grbg, 3, 3, {{47, 12, 61}, {80, 20, 61}, {47, 44, 38}, {80, 13, 38}}},
    {Simple, Gbrg, 3, 3, {{61, 12, 47}, {61, 20, 80}, {38, 44, 47}, {38, 13, 80}}},
    {Simple, Rggb, 3, 3, {{15, 54, 9}, {15, 71, 24}, {15, 43, 73}, {15, 59, 11}}},
};

template <typename T>
void CheckHandCase(const HandCase& hc) {
  std::vector<T> src;
  for (int y = 0; y < hc.h; ++y) {
    for (int x = 0; x < hc.w; ++x) src.push_back(static_cast<T>(kRaw[y][x]));
  }
  std::vector<T> dst = Destination<T>(hc.w, hc.h);
  ASSERT_TRUE(RunDemosaic(src, dst, hc.w, hc.h, hc.pattern, hc.algorithm));
  std::vector<Rgb> computed;
  for (int y = 0; y < hc.h; ++y) {
    for (int x = 0; x < hc.w; ++x) {
      if (!IsBorder(hc.algorithm, hc.w, hc.h, x, y)) computed.push_back(PixelAt(dst, hc.w, x, y));
    }
  }
  EXPECT_EQ(computed, hc.computed);
}

void PrintTo(const HandCase& hc, std::ostream* os) { *os << CaseName(hc.algorithm, hc.pattern); }

class HandComputed : public testing::TestWithParam<HandCase> {};

TEST_P(HandComputed, FramesPerPatternCode) {
  CheckHandCase<uint8_t>(GetParam());
  CheckHandCase<uint16_t>(GetParam());
}

std::string HandCaseName(const testing::TestParamInfo<HandCase>& i) {
  return CaseName(i.param.algorithm, i.param.pattern);
}

INSTANTIATE_TEST_SUITE_P(Demosaic, HandComputed, testing::ValuesIn(kHandCases), HandCaseName);

TEST(Demosaic, PatternCodeOneFixesTheTopLeftSample) {
  const std::vector<uint8_t> src = {1, 2, 11, 12};
  std::vector<uint8_t> dst = Destination<uint8_t>(2, 2);
  ASSERT_TRUE(RunDemosaic(src, dst, 2, 2, Bggr, Nearest));
  EXPECT_EQ(PixelAt(dst, 2, 0, 0), (Rgb{1, 2, 12}));  // blue top-left
  ASSERT_TRUE(RunDemosaic(src, dst, 2, 2, Bggr, BilinearOrig));
  EXPECT_EQ(PixelAt(dst, 2, 0, 0), (Rgb{12, 2, 1}));  // algorithm 0: red top-left
}

// A uniform 100 frame with the blue sample at (4, 4) raised to 101 (Bggr: blue at even x, even y).
template <typename T>
std::vector<T> RaisedSample(int w, int h) {
  std::vector<T> src(static_cast<size_t>(w * h), 100);
  src[static_cast<size_t>(4 * w + 4)] = 101;
  return src;
}

TEST(Demosaic, BilinearRoundsTowardTheRaisedSample) {
  const int w = 9, h = 9;
  std::vector<uint8_t> dst = Destination<uint8_t>(w, h);
  ASSERT_TRUE(RunDemosaic(RaisedSample<uint8_t>(w, h), dst, w, h, Bggr, Bilinear));
  EXPECT_EQ(PixelAt(dst, w, 4, 4), (Rgb{101, 100, 100}));
  for (auto [x, y] : {std::pair{3, 4}, {5, 4}, {4, 3}, {4, 5}}) EXPECT_EQ(PixelAt(dst, w, x, y), (Rgb{101, 100, 100}));
  for (auto [x, y] : {std::pair{3, 3}, {5, 3}, {3, 5}, {5, 5}}) EXPECT_EQ(PixelAt(dst, w, x, y), (Rgb{100, 100, 100}));
}

TEST(Demosaic, BilinearOrigTruncatesAwayTheRaisedSample) {
  const int w = 9, h = 9;
  std::vector<uint16_t> dst16 = Destination<uint16_t>(w, h);
  std::vector<uint8_t> dst8 = Destination<uint8_t>(w, h);
  // Algorithm 0 reads Rggb as blue at even x, even y.
  ASSERT_TRUE(RunDemosaic(RaisedSample<uint8_t>(w, h), dst8, w, h, Rggb, BilinearOrig));
  ASSERT_TRUE(RunDemosaic(RaisedSample<uint16_t>(w, h), dst16, w, h, Rggb, BilinearOrig));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const Rgb expected = x == 4 && y == 4 ? Rgb{101, 100, 100} : Rgb{100, 100, 100};
      EXPECT_EQ(PixelAt(dst8, w, x, y), expected) << x << "," << y;
      EXPECT_EQ(PixelAt(dst16, w, x, y), expected) << x << "," << y;
    }
  }
}

// Bggr, a single odd sample at the green site (3, 4) of a 9 x 9 frame. Two columns to the
// right, the green site (5, 4) gets for its row colour (blue)
// (5*v + 4*2v - 4v - (0 + v) + ((2v + 1) >> 1) + 4) >> 3 = (9v + 4) >> 3 for v = 255, 1023,
// beyond the top, and (0 + 0 - 0 - (255 + 0) + 0 + 4) >> 3 < 0 for the inverse frame.
TEST(Demosaic, HqLinearClampsToTheSampleRange) {
  struct Case {
    int bits, background, odd;
    Rgb at5x4;
  };
  const Case cases[] = {
      {8, 255, 0, {255, 255, 239}},
      {8, 0, 255, {0, 0, 16}},
      {10, 1023, 0, {1023, 1023, 959}},
  };
  const int w = 9, h = 9;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    std::vector<uint16_t> src(w * h, static_cast<uint16_t>(c.background));
    src[4 * w + 3] = static_cast<uint16_t>(c.odd);
    std::vector<uint16_t> dst = Destination<uint16_t>(w, h);
    ASSERT_TRUE(RunDemosaic(src, dst, w, h, Bggr, HqLinear, c.bits));
    EXPECT_EQ(PixelAt(dst, w, 5, 4), c.at5x4);
    const int top = (1 << c.bits) - 1;
    EXPECT_TRUE(std::all_of(dst.begin(), dst.end() - kTail, [top](uint16_t v) { return v <= top; }));
    if (c.bits == 8) {
      const std::vector<uint8_t> src8(src.begin(), src.end());
      std::vector<uint8_t> dst8 = Destination<uint8_t>(w, h);
      ASSERT_TRUE(RunDemosaic(src8, dst8, w, h, Bggr, HqLinear));
      EXPECT_TRUE(std::equal(dst8.begin(), dst8.end() - kTail, dst.begin()));
    }
  }
}

// Algorithms and patterns cast from numbers outside the named codes, as well as
// bad sizes and buffers.
TEST(Demosaic, RejectsBadArgumentsWithoutWriting) {
  struct Case {
    std::string what;
    int w, h, pattern, algorithm, bits;
  };
  const Case cases[] = {
      {"algorithm -1", 4, 4, 1, -1, 16}, {"algorithm 5", 4, 4, 1, 5, 16},  {"pattern 0, algorithm 0", 4, 4, 0, 0, 16},
      {"pattern 5, algorithm 0", 4, 4, 5, 0, 16}, {"pattern 0, algorithm 3", 4, 4, 0, 3, 16},
      {"pattern 5, algorithm 4", 4, 4, 5, 4, 16}, {"zero width", 0, 4, 1, 2, 16}, {"negative height", 4, -1, 1, 2, 16},
      {"bits 0", 4, 4, 1, 3, 0},                  {"bits 17", 4, 4, 1, 1, 17},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint16_t> src(16, 7);
    std::vector<uint16_t> dst = Destination<uint16_t>(4, 4);
    const auto pattern = static_cast<BayerPattern>(c.pattern);
    const auto algorithm = static_cast<BayerAlgorithm>(c.algorithm);
    EXPECT_FALSE(Demosaic16(src.data(), dst.data(), c.w, c.h, pattern, algorithm, c.bits));
    EXPECT_TRUE(std::all_of(dst.begin(), dst.end(), [](uint16_t v) { return v == kSentinel<uint16_t>; }));
    if (c.bits == 16) {
      const std::vector<uint8_t> src8(16, 7);
      std::vector<uint8_t> dst8 = Destination<uint8_t>(4, 4);
      EXPECT_FALSE(Demosaic8(src8.data(), dst8.data(), c.w, c.h, pattern, algorithm));
      EXPECT_TRUE(std::all_of(dst8.begin(), dst8.end(), [](uint8_t v) { return v == kSentinel<uint8_t>; }));
    }
  }
  std::vector<uint8_t> buffer(3 * 16 + 16, 9);
  EXPECT_FALSE(Demosaic8(nullptr, buffer.data(), 4, 4, Bggr, Bilinear));
  EXPECT_FALSE(Demosaic8(buffer.data(), nullptr, 4, 4, Bggr, Bilinear));
  EXPECT_FALSE(Demosaic8(buffer.data() + 40, buffer.data(), 4, 4, Bggr, Bilinear));  // source inside the destination
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t v) { return v == 9; }));
}

// The row-by-row form reading its source from a ring of rows that the sink
// refills (row y + 3 in done(y), as little ahead as allowed) gives the whole
// frame's rows, with the reference and with every vector set's interiors; a ring
// of fewer rows than one output row needs is refused before anything is written.
struct RingSink {
  const std::vector<uint16_t>* frame;
  std::vector<uint16_t>* ring;
  std::vector<uint16_t>* out;
  ptrdiff_t w, h, rows;
  void Fill(ptrdiff_t y) {
    if (y >= h) return;
    std::copy_n(frame->begin() + y * w, w, ring->begin() + (y % rows) * w);
  }
  static void Done(void* context, ptrdiff_t y, const uint16_t* row, ptrdiff_t, ptrdiff_t) {
    auto& sink = *static_cast<RingSink*>(context);
    std::copy_n(row, 3 * sink.w, sink.out->begin() + 3 * y * sink.w);
    sink.Fill(y + 3);
  }
};

// The scalar set and every vector set this processor runs.
std::vector<const Kernels*> EverySet() {
  std::vector<const Kernels*> sets = {&ScalarKernels()};
  for (const Kernels* k : VectorKernelSets()) sets.push_back(k);
  return sets;
}

class EveryAlgorithm : public testing::TestWithParam<BayerAlgorithm> {};

TEST_P(EveryAlgorithm, RowsFromARingOfSourceRows) {
  const BayerAlgorithm algorithm = GetParam();
  for (const Kernels* k : EverySet())
    for (auto [w, h] : {std::pair{70, 9}, std::pair{37, 13}})
      for (ptrdiff_t ring_rows : {5, 8}) {
        SCOPED_TRACE(testing::Message() << k->name << " " << w << "x" << h << " ring " << ring_rows);
        std::vector<uint16_t> frame(static_cast<size_t>(w * h));
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint16_t>((i * 2654435761u) >> 20);
        std::vector<uint16_t> want(3 * frame.size());
        ASSERT_TRUE(Demosaic16(frame.data(), want.data(), w, h, Grbg, algorithm, 12));
        std::vector<uint16_t> ring(static_cast<size_t>(ring_rows * w)), row(3 * static_cast<size_t>(w));
        std::vector<uint16_t> got(want.size(), kSentinel<uint16_t>);
        RingSink sink{&frame, &ring, &got, w, h, ring_rows};
        for (ptrdiff_t y = 0; y < 3; ++y) sink.Fill(y);
        ASSERT_TRUE(k->Demosaic16Rows(ring.data(), row.data(), w, h, Grbg, algorithm, 12,
                                      RowSink<uint16_t>{RingSink::Done, &sink, nullptr, ring_rows}));
        EXPECT_EQ(got, want);
      }
  std::vector<uint16_t> ring(4 * 8), row(3 * 8);
  std::vector<uint16_t> out(3 * 8 * 9, kSentinel<uint16_t>);
  const std::vector<uint16_t> frame(8 * 9, 100);
  RingSink sink{&frame, &ring, &out, 8, 9, 4};
  for (const Kernels* k : EverySet())
    EXPECT_FALSE(k->Demosaic16Rows(ring.data(), row.data(), 8, 9, Bggr, algorithm, 12,
                                   RowSink<uint16_t>{RingSink::Done, &sink, nullptr, 4}))
        << k->name;
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint16_t v) { return v == kSentinel<uint16_t>; }));
}

// Catches: a band that computes its first or last rows differently from the
// whole-frame pass (a border drawn at a band's edge, a neighbour row taken from
// the wrong place, a pattern row off by one at an odd boundary), a band left
// out, and the pool's threads racing on the frame (the ThreadSanitizer build).
TEST_P(EveryAlgorithm, RowBandsOnSeveralThreadsMatchTheWholeFrame) {
  const BayerAlgorithm algorithm = GetParam();
  for (auto [w, h] : {std::pair{70, 9}, std::pair{37, 13}, std::pair{96, 64}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    std::vector<uint8_t> frame(static_cast<size_t>(w * h));
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>((i * 2654435761u) >> 24);
    std::vector<uint8_t> want(3 * frame.size());
    ASSERT_TRUE(Demosaic8(frame.data(), want.data(), w, h, Gbrg, algorithm));
    // Bands cut at odd and even rows, by hand, with each set's interiors.
    for (const Kernels* k : EverySet()) {
      std::vector<uint8_t> got(want.size(), kSentinel<uint8_t>);
      for (auto [from, to] : {std::pair{0, 3}, std::pair{3, 4}, std::pair{4, h}})
        ASSERT_TRUE(k->Demosaic8Band(frame.data(), got.data(), w, h, Gbrg, algorithm, from, to));
      EXPECT_EQ(got, want) << k->name;
    }
    // Through a frame store on the pool, with 2 and 3 threads, against the same
    // store on one thread: colour and grey from 8-bit raw data (each band of
    // the grey path with a row buffer of its own), and from 16-bit raw data
    // (each band unpacking into a ring of its own, from two rows above its
    // first) with a linear and a logarithmic map. 8-bit colour on one thread is
    // the reference's.
    std::vector<uint8_t> frame16(2 * frame.size());
    for (size_t i = 0; i < frame16.size(); ++i) frame16[i] = static_cast<uint8_t>((i * 2246822519u) >> 23);
    for (const FrameType type : {FrameType::Raw8, FrameType::Raw16})
      for (const bool colour : {true, false})
        for (const int32_t lut : {0, 6}) {
          if (type == FrameType::Raw8 && lut != 0) continue;  // no map for 8-bit samples
          const std::vector<uint8_t>& data = type == FrameType::Raw8 ? frame : frame16;
          const auto convert = [&](int32_t threads) {
            FrameStore store(type, w, h, lut);
            FrameSettings s;
            s.RawMode = static_cast<int32_t>(Gbrg);
            s.Algorithm = static_cast<int32_t>(algorithm);
            store.ApplySettings(s);
            EXPECT_TRUE(store.SetColorOutput(colour));
            SetConversionThreads(threads);
            SetBandPixels(1);
            const int result = store.ProcessFrame(data.data(), data.size());
            SetConversionThreads(0);
            SetBandPixels(0);
            EXPECT_EQ(result, kImageFinished);
            return std::vector<uint8_t>(store.ResultBuffer(), store.ResultBuffer() + (colour ? 3 : 1) * frame.size());
          };
          const std::vector<uint8_t> one = convert(1);
          if (type == FrameType::Raw8 && colour) {
            EXPECT_EQ(one, want);
          }
          for (int32_t threads : {2, 3, 5})  // 5: more bands than the grey path has row buffers
            EXPECT_EQ(convert(threads), one)
                << (type == FrameType::Raw8 ? "8" : "16") << "-bit, " << (colour ? "colour" : "grey") << ", Lut " << lut
                << ", " << threads << " threads";
        }
  }
  std::vector<uint8_t> out(3 * 8 * 8, kSentinel<uint8_t>);
  const std::vector<uint8_t> frame(8 * 8, 100);
  for (const Kernels* k : EverySet())
    for (auto [from, to] : {std::pair{2, 2}, std::pair{-1, 3}, std::pair{5, 9}})
      EXPECT_FALSE(k->Demosaic8Band(frame.data(), out.data(), 8, 8, Bggr, algorithm, from, to))
          << k->name << " " << from << ".." << to;
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t v) { return v == kSentinel<uint8_t>; }));
}

// Two threads use algorithm 0, 8 and 16 bits, for the first time at once; exits 0 if both got
// the right bytes.
[[noreturn]] void ConcurrentFirstUse() {
  const int w = 64, h = 48;
  bool ok[2] = {false, false};
  auto work = [&](int i) {
    const std::vector<uint8_t> src8(w * h, 201);
    const std::vector<uint16_t> src16(w * h, 50001);
    std::vector<uint8_t> dst8(3 * w * h);
    std::vector<uint16_t> dst16(3 * w * h);
    ok[i] = Demosaic8(src8.data(), dst8.data(), w, h, kEveryPattern[i], BilinearOrig) &&
            Demosaic16(src16.data(), dst16.data(), w, h, kEveryPattern[i], BilinearOrig, 16) &&
            std::all_of(dst8.begin(), dst8.end(), [](uint8_t v) { return v == 201; }) &&
            std::all_of(dst16.begin(), dst16.end(), [](uint16_t v) { return v == 50001; });
  };
  std::thread a(work, 0);
  std::thread b(work, 1);
  a.join();
  b.join();
  std::exit(ok[0] && ok[1] ? 0 : 1);
}

// The "threadsafe" style runs the body in a freshly started copy of this program, so the
// tables are really built there; a ThreadSanitizer build reports an unsynchronised build.
TEST(Demosaic, TablesBuiltOnceUnderConcurrentFirstUse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ConcurrentFirstUse(), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Demosaic, EveryAlgorithmAndPattern, AlgorithmPatternPairs(), AlgorithmAndPatternName);
INSTANTIATE_TEST_SUITE_P(Demosaic, EveryAlgorithm, testing::ValuesIn(kEveryAlgorithm), AlgorithmName);

}  // namespace
}  // namespace kelvane::frames
