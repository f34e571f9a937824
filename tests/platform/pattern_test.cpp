// The byte layouts of the simulated camera's formats, checked against each
// other: every layout of one frame must carry the same picture where it is
// stored, so a byte in the wrong place shows as a mismatch with the grey frame.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/sim/bus.h"
#include "platform/sim/internal.h"
#include "sim_fixture.h"
#include "test_names.h"

namespace kelvane::sim::testing {
namespace {

constexpr int32_t kW = 16, kH = 6;
constexpr int64_t kFrame = 7;

std::vector<uint8_t> Render(const GUID& subtype, BayerPattern bayer = BayerPattern::RGGB) {
  std::vector<uint8_t> frame(FrameBytes(subtype, kW, kH));
  RenderPattern(subtype, kW, kH, kFrame, bayer, frame.data());
  return frame;
}

// Offset of pixel (x, y)'s luma in a layout.
struct LumaCase {
  GUID subtype;
  size_t (*luma)(size_t x, size_t y);
};

void PrintTo(const LumaCase& c, std::ostream* os) { *os << SubtypeName(c.subtype); }

const LumaCase kLumaCases[] = {
    {MEDIASUBTYPE_YUY2, [](size_t x, size_t y) { return (y * kW + x) * 2; }},
    {MEDIASUBTYPE_UYVY, [](size_t x, size_t y) { return (y * kW + x) * 2 + 1; }},
    {MEDIASUBTYPE_Y411, [](size_t x, size_t y) { return (y * kW + x) / 4 * 6 + (x % 4 < 2 ? 1 + x % 4 : 2 + x % 4); }},
    {MEDIASUBTYPE_Y444, [](size_t x, size_t y) { return (y * kW + x) * 3 + 1; }},
    {MEDIASUBTYPE_I420, [](size_t x, size_t y) { return y * kW + x; }},
    {MEDIASUBTYPE_MO16, [](size_t x, size_t y) { return (y * kW + x) * 2; }},  // most significant byte first
};

class LumaLayoutTest : public ::testing::TestWithParam<LumaCase> {};

TEST_P(LumaLayoutTest, LumaSitsWhereEachLayoutKeepsIt) {
  const LumaCase& c = GetParam();
  const std::vector<uint8_t> grey = Render(MEDIASUBTYPE_Y800);
  const auto W = static_cast<size_t>(kW);
  const std::vector<uint8_t> frame = Render(c.subtype);
  for (size_t y = 0; y < static_cast<size_t>(kH); ++y)
    for (size_t x = 0; x < W; ++x) ASSERT_EQ(frame[c.luma(x, y)], grey[y * W + x]) << "at " << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Layouts, LumaLayoutTest, ::testing::ValuesIn(kLumaCases),
                         [](const ::testing::TestParamInfo<LumaCase>& param) {
                           return tests::TestName(SubtypeName(param.param.subtype));
                         });

// MO16 uses the full 16-bit scale: the low byte repeats the high one.
TEST(PatternLayout, Mo16LowByteRepeatsTheHighOne) {
  const std::vector<uint8_t> wide = Render(MEDIASUBTYPE_MO16);
  for (size_t i = 0; i < wide.size(); i += 2) ASSERT_EQ(wide[i], wide[i + 1]);
}

TEST(PatternLayout, RgbIsBottomUp) {
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
}

// Bayer: each site holds its colour of the picture (channel index in B, G, R order).
struct BayerCase {
  const char* what;
  BayerPattern bayer;
  int topLeft, topRight, bottomLeft, bottomRight;
};

void PrintTo(const BayerCase& c, std::ostream* os) { *os << c.what; }

const BayerCase kBayerCases[] = {{"RGGB", BayerPattern::RGGB, 2, 1, 1, 0},
                                 {"GRBG", BayerPattern::GRBG, 1, 2, 0, 1},
                                 {"GBRG", BayerPattern::GBRG, 1, 0, 2, 1},
                                 {"BGGR", BayerPattern::BGGR, 0, 1, 1, 2}};

class BayerLayoutTest : public ::testing::TestWithParam<BayerCase> {};

TEST_P(BayerLayoutTest, BayerSamplesItsChannels) {
  const BayerCase& c = GetParam();
  const std::vector<uint8_t> rgb = Render(MEDIASUBTYPE_RGB24);
  const auto W = static_cast<size_t>(kW);
  const std::vector<uint8_t> raw8 = Render(MEDIASUBTYPE_RAW8, c.bayer);
  const std::vector<uint8_t> raw16 = Render(MEDIASUBTYPE_RAW16, c.bayer);
  for (size_t y = 0; y < static_cast<size_t>(kH); ++y)
    for (size_t x = 0; x < W; ++x) {
      const int site[2][2] = {{c.topLeft, c.topRight}, {c.bottomLeft, c.bottomRight}};
      const uint8_t expected = rgb[((kH - 1 - y) * W + x) * 3 + static_cast<size_t>(site[y % 2][x % 2])];
      ASSERT_EQ(raw8[y * W + x], expected) << "at " << x << "," << y;
      ASSERT_EQ(raw16[(y * W + x) * 2], expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, BayerLayoutTest, ::testing::ValuesIn(kBayerCases), tests::NameFromWhat());

struct DarkCase {
  GUID subtype;
};

void PrintTo(const DarkCase& c, std::ostream* os) { *os << SubtypeName(c.subtype); }

const DarkCase kDarkCases[] = {{MEDIASUBTYPE_YUY2}, {MEDIASUBTYPE_UYVY}, {MEDIASUBTYPE_Y411}, {MEDIASUBTYPE_Y444},
                               {MEDIASUBTYPE_I420}, {MEDIASUBTYPE_Y800}, {MEDIASUBTYPE_MO16}, {MEDIASUBTYPE_RAW8}};

class DarkFrameTest : public ::testing::TestWithParam<DarkCase> {};

TEST_P(DarkFrameTest, DarkFramesStayDarkThroughConversion) {
  const GUID& s = GetParam().subtype;
  std::vector<uint8_t> frame(FrameBytes(s, kW, kH), 0x55);
  RenderBlank(s, kW, kH, frame.data());
  std::vector<uint8_t> rgb(FrameBytes(MEDIASUBTYPE_RGB24, kW, kH), 0x55);
  ASSERT_TRUE(ConvertToRgb24(s, kW, kH, frame.data(), frame.size(), 0, rgb.data()));
  EXPECT_EQ(rgb, std::vector<uint8_t>(rgb.size(), 0));
}

INSTANTIATE_TEST_SUITE_P(Layouts, DarkFrameTest, ::testing::ValuesIn(kDarkCases),
                         [](const ::testing::TestParamInfo<DarkCase>& param) {
                           return tests::TestName(SubtypeName(param.param.subtype));
                         });

}  // namespace
}  // namespace kelvane::sim::testing

namespace kelvane::sim::testing {
namespace {

// One frame asked of a source built from a description, and what it must give:
// 'p' the pattern (or 'b' the dark frame) of the request itself, 'f' frame `of`
// of the file, 's' the bytes step `of` got, 'x' nothing (Fill refuses and leaves
// the buffer alone). Before the step the file may be written ('w', `fileBytes`
// of data then) or the source restarted ('r'); `shortBy` makes the buffer that
// many bytes too small.
struct SourceStep {
  int64_t index;
  char expect;
  int of = 0;
  char before = 0;
  const GUID* layout = &MEDIASUBTYPE_Y800;
  int32_t width = 8;
  BayerPattern bayer = BayerPattern::RGGB;
  size_t shortBy = 0;
};

struct SourceCase {
  const char* name;
  bool file = false, still = false;
  int32_t blankEvery = 0;
  size_t fileBytes = 0;  // written before the first step unless a step writes it ('w')
  std::vector<SourceStep> steps;
};

void PrintTo(const SourceCase& c, std::ostream* os) { *os << c.name; }

constexpr size_t kFrame8x4 = 8 * 4;  // a Y800 frame of the file

std::vector<uint8_t> FileFrame(int n) {
  std::vector<uint8_t> f(kFrame8x4);
  for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<uint8_t>(n * 101 + static_cast<int>(i) + 1);
  return f;
}

void WriteFile(const std::string& path, size_t bytes) {
  std::vector<uint8_t> data;
  for (int n = 0; data.size() < bytes; ++n) {
    const std::vector<uint8_t> f = FileFrame(n);
    data.insert(data.end(), f.begin(), f.end());
  }
  data.resize(bytes);
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
  std::fclose(f);
}

class FrameSourceTest : public ::testing::TestWithParam<SourceCase> {};

TEST_P(FrameSourceTest, GivesTheFramesOfItsDescription) {
  const SourceCase& c = GetParam();
  const std::string path = ::testing::TempDir() + "kelvane_source_" + c.name + ".raw";
  std::remove(path.c_str());
  const bool writtenLater =
      std::any_of(c.steps.begin(), c.steps.end(), [](const SourceStep& s) { return s.before == 'w'; });
  if (c.file && !writtenLater) WriteFile(path, c.fileBytes);
  SourceDesc desc;
  desc.file = c.file ? path : "";
  desc.still = c.still;
  desc.blankEvery = c.blankEvery;
  std::unique_ptr<FrameSource> source = MakeFrameSource(desc, "Player");
  std::vector<std::vector<uint8_t>> got;
  for (size_t k = 0; k < c.steps.size(); ++k) {
    const SourceStep& s = c.steps[k];
    if (s.before == 'w') WriteFile(path, c.fileBytes);
    if (s.before == 'r') source->Restart();
    const FrameRequest r{*s.layout, s.width, 4, s.index, s.bayer};
    // Bytes no source writes, so a frame left unwritten shows.
    std::vector<uint8_t> out(FrameBytes(r.layout, r.width, r.height) - s.shortBy, 0xA5);
    const bool filled = source->Fill(r, out);
    std::vector<uint8_t> expected(FrameBytes(r.layout, r.width, r.height));
    switch (s.expect) {
      case 'p':
        RenderPattern(r.layout, r.width, r.height, r.index, r.bayer, expected.data());
        break;
      case 'b':
        RenderBlank(r.layout, r.width, r.height, expected.data());
        break;
      case 'f':
        expected = FileFrame(s.of);
        break;
      case 's':
        expected = got.at(static_cast<size_t>(s.of));
        break;
      case 'x':
        expected.assign(out.size(), 0xA5);
        break;
    }
    EXPECT_EQ(filled, s.expect != 'x') << "step " << k;
    EXPECT_EQ(out, expected) << "step " << k;
    got.push_back(out);
  }
  std::remove(path.c_str());
}

const GUID* const kRaw8 = &MEDIASUBTYPE_RAW8;

INSTANTIATE_TEST_SUITE_P(
    Sources, FrameSourceTest,
    ::testing::Values(
        SourceCase{.name = "DarkFramesAtTheirPeriodAndAShortBufferRefused",
                   .blankEvery = 3,
                   .steps = {{0, 'p'},
                             {1, 'p'},
                             {2, 'b'},
                             {5, 'b'},
                             {7, 'p'},
                             {.index = 8, .expect = 'x', .layout = kRaw8, .shortBy = 1}}},
        // The position in the file is its own, not the frame number, and a
        // refused request does not move it; a part frame at the end is never played.
        SourceCase{.name = "FileWrapsAfterItsLastWholeFrame",
                   .file = true,
                   .fileBytes = 2 * kFrame8x4 + kFrame8x4 / 2,
                   .steps = {{7, 'f', 0},
                             {8, 'f', 1},
                             {20, 'f', 0},
                             {21, 'f', 1},
                             {.index = 22, .expect = 'x', .shortBy = 1},
                             {23, 'f', 0}}},
        SourceCase{.name = "FileShorterThanAFrameGivesThePatternAndItsDarkFrames",
                   .file = true,
                   .blankEvery = 2,
                   .fileBytes = kFrame8x4 - 1,
                   .steps = {{0, 'p'}, {1, 'b'}, {2, 'p'}}},
        SourceCase{.name = "MissingFileIsTriedAgainAtTheNextFrame",
                   .file = true,
                   .fileBytes = 2 * kFrame8x4,
                   .steps = {{0, 'p'}, {.index = 1, .expect = 'f', .of = 0, .before = 'w'}, {2, 'f', 1}}},
        SourceCase{.name = "RestartPlaysTheFileFromItsFirstFrame",
                   .file = true,
                   .fileBytes = 3 * kFrame8x4,
                   .steps = {{0, 'f', 0}, {1, 'f', 1}, {.index = 2, .expect = 'f', .of = 0, .before = 'r'}}},
        // Every step gets a fresh buffer: the still source gives its picture,
        // it does not merely leave it in place.
        SourceCase{
            .name = "StillKeepsItsPictureUntilRestarted",
            .still = true,
            .steps = {{0, 'p'}, {1, 's', 0}, {5, 's', 0}, {.index = 6, .expect = 'p', .before = 'r'}, {7, 's', 3}}},
        SourceCase{.name = "StillTakesANewPictureForAnotherSizeLayoutOrBayerOrder",
                   .still = true,
                   .steps = {{0, 'p'},
                             {.index = 1, .expect = 'p', .width = 16},
                             {.index = 2, .expect = 's', .of = 1, .width = 16},
                             {.index = 3, .expect = 'p', .layout = kRaw8, .width = 16, .bayer = BayerPattern::BGGR},
                             {.index = 4, .expect = 'p', .layout = kRaw8, .width = 16},
                             {.index = 5, .expect = 'x', .layout = kRaw8, .width = 16, .shortBy = 2},
                             {.index = 6, .expect = 's', .of = 4, .layout = kRaw8, .width = 16}}},
        SourceCase{.name = "StillOverAFileKeepsItsFirstFrame",
                   .file = true,
                   .still = true,
                   .fileBytes = 2 * kFrame8x4,
                   .steps = {{0, 'f', 0}, {1, 'f', 0}, {2, 'f', 0}}}),
    [](const ::testing::TestParamInfo<SourceCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kelvane::sim::testing
