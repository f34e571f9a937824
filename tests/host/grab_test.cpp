// One image from camera to host through the exports: the bytes of every
// format, drop counts, averaging, frozen-image retries, the callback modes,
// the trigger register, the whole-image read and a camera that stops.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>

#include "frames/frame_store.h"
#include "frames/sample_callback.h"
#include "host/grab.h"
#include "host_fixture.h"
#include "platform/sim/internal.h"
#include "settings/camera_settings.h"

#if KELVANE_HAVE_JPEG
#include <turbojpeg.h>
#endif

namespace kelvane::testing {
namespace {

using platform::GUID;

class GrabTest : public HostTest {
 public:
  // What the frame pipeline makes of these delivered frames: the reference
  // for an image grabbed through the exports.
  static std::vector<uint8_t> Reference(frames::FrameType frameType, int32_t w, int32_t h, bool colour,
                                        const frames::FrameSettings& s, const std::vector<std::vector<uint8_t>>& in,
                                        int32_t lut = 0) {
    frames::FrameStore store(frameType, w, h, lut);
    store.ApplySettings(s);
    EXPECT_TRUE(store.SetColorOutput(colour));
    int result = 0;
    for (const auto& frame : in) result = store.ProcessFrame(frame.data(), frame.size());
    EXPECT_EQ(result, frames::kImageFinished);
    std::vector<uint8_t> image;
    for (int32_t y = 0; y < store.Rows(); ++y) {
      const uint8_t* row = store.Row(y);
      image.insert(image.end(), row, row + store.RowLength());
    }
    return image;
  }
};

struct FormatCase {
  const char* name;
  GUID subtype;
  int32_t width, height;  // settings; 0 takes the format's own size
  int32_t rate;           // frame-rate code, or frame interval on the standard path
  bool colour;
  int32_t rawMode;
  int32_t lut = 0;
};

// Opens the camera in the case's format, grabs one image and compares it with
// the pipeline's reference on the frame the camera delivered (after the
// decompressor the graph puts between them where the rules need one).
void GrabAndCompare(GrabTest& test, const Camera& camera, const FormatCase& c) {
  using namespace platform;
  SCOPED_TRACE(std::string(camera.friendly) + " " + c.name + (c.colour ? " colour" : " grey") + " raw " +
               std::to_string(c.rawMode) + " lut " + std::to_string(c.lut));
  std::filesystem::remove(test.SettingsFile());
  test.WriteSettings(camera.config,
                     {"SubType=" + settings::GuidToText(c.subtype), "Width=" + std::to_string(c.width),
                      "Height=" + std::to_string(c.height), "AvgTimePerFrame=" + std::to_string(c.rate),
                      std::string("Color=") + (c.colour ? "1" : "0"), "RawMode=" + std::to_string(c.rawMode),
                      "Algorithm=2", "Lut=" + std::to_string(c.lut)});
  ASSERT_EQ(test.Open(0, camera), 1);
  auto format = sim::CurrentFormat(camera.friendly);
  ASSERT_TRUE(format);
  ASSERT_EQ(format->subtype, c.subtype);

  const int64_t k = sim::FramesProduced(camera.friendly);
  sim::Grant(camera.friendly, 1);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  EXPECT_EQ(sim::FramesProduced(camera.friendly), k + 1);
  const std::vector<uint8_t> image = test.ReadRows(0);

  std::vector<uint8_t> delivered = sim::RenderFrame(camera.friendly, k);
  const int32_t w = format->width, h = format->height;
  // MJPG has no FrameType of its own: it reaches the pipeline decoded to RGB24.
  frames::FrameType frameType = frames::FrameTypeForSubtype(c.subtype).value_or(frames::FrameType::Rgb24);
  const bool direct = !c.colour || c.subtype == MEDIASUBTYPE_RGB24 || c.rawMode != 0;
  if (c.subtype == MEDIASUBTYPE_MJPG) {  // decoded to RGB24 whether grey or colour is wanted
#if KELVANE_HAVE_JPEG
    std::vector<uint8_t> decoded(static_cast<size_t>(w) * static_cast<size_t>(h) * 3, 0x5A);
    tjhandle decoder = tjInitDecompress();
    ASSERT_EQ(tjDecompress2(decoder, delivered.data(), static_cast<unsigned long>(delivered.size()), decoded.data(), w,
                            w * 3, h, TJPF_BGR, TJFLAG_BOTTOMUP),
              0);
    tjDestroy(decoder);
    delivered = std::move(decoded);
    frameType = frames::FrameType::Rgb24;
#endif
  } else if (!direct) {  // the decompressor turns the frame into a bottom-up RGB24 bitmap
    std::vector<uint8_t> converted(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    ASSERT_TRUE(sim::ConvertToRgb24(c.subtype, w, h, delivered.data(), delivered.size(), 0, converted.data()));
    delivered = std::move(converted);
    frameType = frames::FrameType::Rgb24;
  }
  frames::FrameSettings s;
  s.RawMode = c.rawMode;
  s.Algorithm = 2;
  const int32_t lut = frames::Is16Bit(frameType) ? c.lut : 0;
  const auto expected = GrabTest::Reference(frameType, w, h, c.colour, s, {delivered}, lut);
  EXPECT_EQ(test.size_[0], w);
  EXPECT_EQ(test.size_[1], h);
  ASSERT_EQ(image.size(), expected.size());
  EXPECT_TRUE(image == expected);
  EXPECT_TRUE(closeCVLPort(0, 0));
}

// Every format of the default bus, grey and colour, grabbed through the
// exports, equals the pipeline's reference.
TEST_F(GrabTest, EveryFormatGreyAndColourEqualsTheReference) {
  using namespace platform;
  const FormatCase colourCamera[] = {
      {"YUY2", MEDIASUBTYPE_YUY2, 0, 0, 4, false, 0},   {"YUY2", MEDIASUBTYPE_YUY2, 0, 0, 4, true, 0},
      {"UYVY", MEDIASUBTYPE_UYVY, 0, 0, 4, false, 0},   {"UYVY", MEDIASUBTYPE_UYVY, 320, 240, 4, true, 0},
      {"Y411", MEDIASUBTYPE_Y411, 0, 0, 4, false, 0},   {"Y411", MEDIASUBTYPE_Y411, 0, 0, 4, true, 0},
      {"Y444", MEDIASUBTYPE_Y444, 0, 0, 4, false, 0},   {"Y444", MEDIASUBTYPE_Y444, 0, 0, 4, true, 0},
      {"I420", MEDIASUBTYPE_I420, 0, 0, 3, false, 0},   {"I420", MEDIASUBTYPE_I420, 0, 0, 3, true, 0},
      {"Y800", MEDIASUBTYPE_Y800, 0, 0, 4, false, 0},   {"Y800", MEDIASUBTYPE_Y800, 0, 0, 4, true, 0},
      {"RGB24", MEDIASUBTYPE_RGB24, 0, 0, 3, false, 0}, {"RGB24", MEDIASUBTYPE_RGB24, 0, 0, 3, true, 0},
      {"RAW8", MEDIASUBTYPE_RAW8, 0, 0, 3, false, 0},   {"RAW8", MEDIASUBTYPE_RAW8, 0, 0, 3, false, 1},
      {"RAW8", MEDIASUBTYPE_RAW8, 0, 0, 3, true, 1},    {"YUY2 raw", MEDIASUBTYPE_YUY2, 0, 0, 4, true, 2},
  };
  const FormatCase monoCamera[] = {
      {"Y800", MEDIASUBTYPE_Y800, 0, 0, 3, false, 0},      {"MO16", MEDIASUBTYPE_MO16, 0, 0, 2, false, 0, 0},
      {"MO16", MEDIASUBTYPE_MO16, 0, 0, 2, false, 0, 1},   {"MO16", MEDIASUBTYPE_MO16, 0, 0, 2, false, 0, 3},
      {"MO16", MEDIASUBTYPE_MO16, 0, 0, 2, false, 0, 6},   {"MO16", MEDIASUBTYPE_MO16, 0, 0, 2, false, 0, 8},
      {"MO16 raw", MEDIASUBTYPE_MO16, 0, 0, 2, true, 1, 4},
  };
  const FormatCase usbCamera[] = {
      {"YUY2", MEDIASUBTYPE_YUY2, 0, 0, 333333, false, 0},
      {"YUY2", MEDIASUBTYPE_YUY2, 0, 0, 333333, true, 0},
      {"YUY2", MEDIASUBTYPE_YUY2, 320, 240, 333333, false, 0},
      {"RGB24", MEDIASUBTYPE_RGB24, 0, 0, 666666, false, 0},
      {"RGB24", MEDIASUBTYPE_RGB24, 0, 0, 666666, true, 0},
  };
  Initialize();
  for (const FormatCase& c : colourCamera) GrabAndCompare(*this, kColour, c);
  for (const FormatCase& c : monoCamera) GrabAndCompare(*this, kMono16, c);
  for (const FormatCase& c : usbCamera) GrabAndCompare(*this, kUsb, c);
}

// The colour image shows the camera's picture the right way up and in the
// right colours, and the grey image is its luma: the same picture either way.
TEST_F(GrabTest, ColourAndGreyShowTheSamePictureTheRightWayUp) {
  Initialize();
  WriteSettings(kColour.config, {"SubType=" + settings::GuidToText(platform::MEDIASUBTYPE_RGB24), "Color=1"});
  ASSERT_EQ(Open(0, kColour), 1);
  sim::Grant(kColour.friendly, 1);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  const std::vector<uint8_t> colour = ReadRows(0);
  ASSERT_EQ(setProperty(0, 0, "PixelSize", 8), 1);
  sim::Grant(kColour.friendly, 1);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  const std::vector<uint8_t> grey = ReadRows(0);

  // The test pattern's red rises to the right and its green downwards: in the
  // top-left corner both are low, in the bottom-right both high.
  const size_t w = static_cast<size_t>(size_[0]), h = static_cast<size_t>(size_[1]);
  auto bgr = [&](size_t x, size_t y) { return &colour[(y * w + x) * 3]; };
  auto mean = [&](size_t x0, size_t y0, int channel) {
    int sum = 0;
    for (size_t y = y0; y < y0 + 8; ++y)
      for (size_t x = x0; x < x0 + 8; ++x) sum += bgr(x, y)[channel];
    return sum / 64;
  };
  // Away from the walking bar, which starts at the left edge.
  const size_t left = w / 4, right = w - 16, top = 8, bottom = h - 16;
  EXPECT_LT(mean(left, top, 1), mean(left, bottom, 1));    // green grows downwards
  EXPECT_LT(mean(left, top, 2), mean(right, top, 2));      // red grows to the right
  // Grey is the mean of blue, green and red of the same picture, one frame
  // later: block means (which average the noise out) differ only by the drift.
  std::vector<int> differences;
  for (size_t by = 0; by + 8 <= h; by += 8)
    for (size_t bx = 0; bx + 8 <= w; bx += 8) {
      int colourSum = 0, greySum = 0;
      for (size_t y = by; y < by + 8; ++y)
        for (size_t x = bx; x < bx + 8; ++x) {
          colourSum += bgr(x, y)[0] + bgr(x, y)[1] + bgr(x, y)[2];
          greySum += grey[y * w + x];
        }
      differences.push_back(std::abs(colourSum / 3 - greySum) / 64);
    }
  std::nth_element(differences.begin(), differences.begin() + differences.size() / 2, differences.end());
  EXPECT_LE(differences[differences.size() / 2], 4);
  // Upside down, the same comparison is far off.
  std::vector<int> flipped;
  for (size_t by = 0; by + 8 <= h; by += 8) {
    int colourSum = 0, greySum = 0;
    for (size_t y = by; y < by + 8; ++y)
      for (size_t x = left; x < left + 8; ++x) {
        colourSum += bgr(x, h - 1 - y)[0] + bgr(x, h - 1 - y)[1] + bgr(x, h - 1 - y)[2];
        greySum += grey[y * w + x];
      }
    flipped.push_back(std::abs(colourSum / 3 - greySum) / 64);
  }
  std::nth_element(flipped.begin(), flipped.begin() + flipped.size() / 2, flipped.end());
  EXPECT_GT(flipped[flipped.size() / 2], 10);
}

#if KELVANE_HAVE_JPEG
// A USB camera that sends Motion-JPEG at its larger sizes.
inline constexpr Camera kMjpeg{"USB MJPEG Camera", "USB MJPEG Camera"};

class MjpegGrabTest : public GrabTest {
  void PrepareBus() override {
    ASSERT_TRUE(sim::LoadBusFromText(R"({"cameras": [{"name": "USB MJPEG Camera", "kind": "usb", "formats": [
        {"subtype": "YUY2", "width": 320, "height": 240, "interval": 333333},
        {"subtype": "MJPG", "width": 640, "height": 480, "interval": 333333},
        {"subtype": "MJPG", "width": 100, "height": 75, "interval": 333333}]}],
      "filters": [{"name": "Fire-i Yuv decompressor", "kind": "fire-i-yuv"},
                  {"name": "AVI Decompressor", "kind": "avi"}]})"))
        << sim::LastBusError();
  }
};

// SubType=MJPG opens the camera in Motion-JPEG (not in its first, uncompressed
// format); the image is libjpeg-turbo's decode of the frame the camera sent,
// taken by the pipeline as RGB24, in colour and in grey.
TEST_F(MjpegGrabTest, MjpgGrabsEqualTheDecodedFrame) {
  using namespace platform;
  const FormatCase cases[] = {
      {"MJPG", MEDIASUBTYPE_MJPG, 640, 480, 333333, true, 0},
      {"MJPG", MEDIASUBTYPE_MJPG, 640, 480, 333333, false, 0},
      {"MJPG odd size", MEDIASUBTYPE_MJPG, 100, 75, 333333, true, 0},
      {"MJPG odd size", MEDIASUBTYPE_MJPG, 100, 75, 333333, false, 0},
  };
  Initialize();
  for (const FormatCase& c : cases) GrabAndCompare(*this, kMjpeg, c);

  // The whole-image read puts the bottom row of the decoded picture first.
  std::filesystem::remove(SettingsFile());
  WriteSettings(kMjpeg.config, {"SubType=" + settings::GuidToText(MEDIASUBTYPE_MJPG), "Width=100", "Height=75",
                                "AvgTimePerFrame=333333", "Color=1"});
  ASSERT_EQ(Open(0, kMjpeg), 1);
  sim::Grant(kMjpeg.friendly, 1);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  const std::vector<uint8_t> rows = ReadRows(0);
  std::vector<uint8_t> whole(rows.size());
  ASSERT_EQ(getCVLGrabRow(0, 0, whole.data(), 0, 0, size_[0] * size_[1] - 1), 1);
  const size_t rowBytes = static_cast<size_t>(size_[0]) * 3;
  for (int32_t y = 0; y < size_[1]; ++y)
    ASSERT_EQ(std::memcmp(&whole[rowBytes * static_cast<size_t>(y)],
                          &rows[rowBytes * static_cast<size_t>(size_[1] - 1 - y)], rowBytes),
              0)
        << y;
  EXPECT_TRUE(closeCVLPort(0, 0));
  EXPECT_FALSE(LoggedContaining("Motion-JPEG")) << "every frame decoded";
}

// RawMode asks for the Fire-i decompressor's raw data, which Motion-JPEG is
// not: with Color on the camera connects straight to the grabber and the
// pipeline refuses the format; with Color off the Fire-i decompressor refuses
// it. Either way the open fails with a message naming MJPG, keeps nothing,
// and the next open without RawMode works.
TEST_F(MjpegGrabTest, RawModeRefusesMjpgCleanly) {
  using namespace platform;
  const std::string mjpg = "MEDIASUBTYPE_MJPG " + settings::GuidToText(MEDIASUBTYPE_MJPG) + "\r\n";
  struct Case {
    const char* color;
    const char* said;
  };
  const Case cases[] = {{"Color=1", "Unknown Sample format "}, {"Color=0", "No decompressor reads the sample format "}};
  Initialize();
  const int64_t baseline = sim::LiveObjects();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.color);
    std::filesystem::remove(SettingsFile());
    WriteSettings(kMjpeg.config, {"SubType=" + settings::GuidToText(MEDIASUBTYPE_MJPG), "Width=640", "Height=480",
                                  "AvgTimePerFrame=333333", c.color, "RawMode=1"});
    ClearMessages();
    EXPECT_EQ(Open(0, kMjpeg), 0);
    EXPECT_TRUE(Logged(c.said + mjpg));
    EXPECT_LE(sim::LiveObjects(), baseline + 1) << "at most the camera's graph is kept";
  }
  EXPECT_TRUE(LoggedContaining("Connect failed: Camera-Decompressor - "));
  std::filesystem::remove(SettingsFile());
  WriteSettings(kMjpeg.config, {"SubType=" + settings::GuidToText(MEDIASUBTYPE_MJPG), "Width=640", "Height=480",
                                "AvgTimePerFrame=333333", "Color=1"});
  ASSERT_EQ(Open(0, kMjpeg), 1);
  EXPECT_EQ(sim::CurrentFormat(kMjpeg.friendly)->subtype, MEDIASUBTYPE_MJPG);
}
#endif  // KELVANE_HAVE_JPEG

// Drop count, averaging and the frame the host finally sees, frame by frame.
TEST_F(GrabTest, DropCountThenAveragedFramesFormTheImage) {
  Initialize();
  WriteSettings(kColour.config,
                {"SubType=" + settings::GuidToText(platform::MEDIASUBTYPE_Y800), "DropCnt=2", "MeanCnt=3"});
  ASSERT_EQ(Open(0, kColour, 5), 1);
  const int64_t k = sim::FramesProduced(kColour.friendly);
  sim::Grant(kColour.friendly, 5);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  // Exactly two frames dropped and three taken: nothing more was asked for.
  EXPECT_EQ(sim::FramesProduced(kColour.friendly), k + 5);
  EXPECT_EQ(sim::Credits(kColour.friendly), 0);
  frames::FrameSettings s;
  s.MeanCnt = 3;
  const auto expected = Reference(frames::FrameType::Grey8, 640, 480, false, s,
                                  {sim::RenderFrame(kColour.friendly, k + 2), sim::RenderFrame(kColour.friendly, k + 3),
                                   sim::RenderFrame(kColour.friendly, k + 4)});
  EXPECT_TRUE(ReadRows(0) == expected);

  // DropCnt 0: the first frame after the grab is taken.
  ASSERT_EQ(setProperty(0, 0, "DropCnt", 0), 1);
  ASSERT_EQ(setProperty(0, 0, "DropCnt", -1), 0);  // refused, but stored
  int32_t drop = 0;
  ASSERT_EQ(getProperty(0, 0, "DropCnt", &drop), 1);
  EXPECT_EQ(drop, -1);
}

class DarkFramesTest : public GrabTest {
  void PrepareBus() override {
    std::string bus = sim::DefaultBusJson();
    // Every second frame of the colour camera is dark: a frozen image for the static test.
    const std::string key = "\"source\": {\"bayer\": \"RGGB\"}";
    auto at = bus.find(key);
    ASSERT_NE(at, std::string::npos);
    bus.replace(at, key.size(), "\"source\": {\"bayer\": \"RGGB\", \"blank_every\": 2}");
    ASSERT_TRUE(sim::LoadBusFromText(bus));
  }
};

// A dark frame is rejected and the next frame is taken without a new drop.
TEST_F(DarkFramesTest, AStaticImageIsRejectedAndTheNextFrameTaken) {
  Initialize();
  WriteSettings(kColour.config, {"SubType=" + settings::GuidToText(platform::MEDIASUBTYPE_Y800), "DropCnt=0",
                                 "BlackLvlPoints=4", "BlackLvlValue=0", "BlackLvlRange=2", "BlackLvlRetry=3"});
  ASSERT_EQ(Open(0, kColour, 2), 1);
  int64_t k = sim::FramesProduced(kColour.friendly);
  if (k % 2 == 0) {  // make the next frame a dark one (odd numbers are dark)
    sim::Grant(kColour.friendly, 1);
    ASSERT_EQ(doCVLGrab(0, 0), 1);
    k = sim::FramesProduced(kColour.friendly);
  }
  ASSERT_EQ(k % 2, 1);
  sim::Grant(kColour.friendly, 2);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  EXPECT_EQ(sim::FramesProduced(kColour.friendly), k + 2);  // the dark one, then a live one
  frames::FrameSettings s;
  EXPECT_TRUE(ReadRows(0) == Reference(frames::FrameType::Grey8, 640, 480, false, s, {sim::RenderFrame(kColour.friendly, k + 1)}));

  // After an external trigger was switched on the test is off for good: a dark frame is an image.
  ASSERT_EQ(setHWTrigger(0, 0, 1), 1);
  ASSERT_EQ(setHWTrigger(0, 0, 0), 1);
  k = sim::FramesProduced(kColour.friendly);
  if (k % 2 == 0) {
    sim::Grant(kColour.friendly, 1);
    ASSERT_EQ(doCVLGrab(0, 0), 1);
    k = sim::FramesProduced(kColour.friendly);
  }
  sim::Grant(kColour.friendly, 1);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  EXPECT_EQ(sim::FramesProduced(kColour.friendly), k + 1);
  const auto image = ReadRows(0);
  EXPECT_EQ(std::count(image.begin(), image.end(), 0), static_cast<long>(image.size()));
}

std::mutex g_callbackMutex;
std::condition_variable g_callbackDone;
std::vector<std::pair<int32_t, int32_t>> g_calls;

int32_t RecordCall(int32_t grabber, int32_t port) {
  std::lock_guard lock(g_callbackMutex);
  g_calls.emplace_back(grabber, port);
  g_callbackDone.notify_all();
  return 0;
}

bool WaitForCalls(size_t n) {
  std::unique_lock lock(g_callbackMutex);
  return g_callbackDone.wait_for(lock, std::chrono::seconds(10), [&] { return g_calls.size() >= n; });
}

// The callback belongs to the camera: the last setCompleteCallback on any of
// its ports wins, also for grabs armed through another port.
TEST_F(GrabTest, TheLastCompleteCallbackWinsAcrossPorts) {
  WriteSettings(kColour.config, {});
  Initialize();
  ASSERT_EQ(Open(3, kColour), 1);
  int32_t size[2];
  ASSERT_EQ(openCVLPort(0, 5, kColour.config, size), 1);
  ASSERT_EQ(setCompleteCallback(0, 3, RecordCall), 1);
  ASSERT_EQ(setCompleteCallback(0, 5, RecordCall), 1);
  EXPECT_EQ(setCompleteCallback(0, 7, RecordCall), 0);  // an unbound port
  ASSERT_EQ(doCVLGrab(0, 3), 1);  // returns before the image: no frame was granted yet
  sim::Grant(kColour.friendly, 1);
  ASSERT_TRUE(WaitForCalls(1));
  std::lock_guard lock(g_callbackMutex);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0], std::make_pair(0, 5));
}

// Continuous mode: every frame finishes an image and calls the callback; the
// graph keeps running.
TEST_F(GrabTest, ContinuousModeCallsTheCallbackForEveryFrame) {
  Initialize();
  ASSERT_EQ(Open(0, kColour), 1);
  ASSERT_EQ(setCompleteCallback(0, 0, RecordCall), 1);
  ASSERT_EQ(setProperty(0, 0, "Continous", 1), 1);
  int32_t continuous = 0;
  ASSERT_EQ(getProperty(0, 0, "Continous", &continuous), 1);
  EXPECT_EQ(continuous, 1);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(sim::Step(kColour.friendly), sim::StepResult::Delivered);
  ASSERT_TRUE(WaitForCalls(5));
  ASSERT_EQ(setProperty(0, 0, "Continous", 0), 1);
  ASSERT_EQ(sim::Step(kColour.friendly), sim::StepResult::Delivered);  // the graph still runs
  std::lock_guard lock(g_callbackMutex);
  EXPECT_EQ(g_calls.size(), 5u);  // but frames are no longer taken
}

// Continuous mode with averaging and a drop count: in each cycle the first
// frame is taken, the next two dropped, then two more taken; one callback per cycle.
TEST_F(GrabTest, ContinuousCyclesTakeDropAndAverage) {
  WriteSettings(kColour.config, {"ContinousVideo=1", "DropCnt=2", "MeanCnt=3"});
  Initialize();
  ASSERT_EQ(Open(0, kColour, 5), 1);
  ASSERT_EQ(setCompleteCallback(0, 0, RecordCall), 1);
  ASSERT_EQ(setProperty(0, 0, "Continous", 1), 1);
  std::vector<size_t> callsAfterFrame;
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(sim::Step(kColour.friendly), sim::StepResult::Delivered);
    std::lock_guard lock(g_callbackMutex);
    callsAfterFrame.push_back(g_calls.size());
  }
  EXPECT_EQ(callsAfterFrame, (std::vector<size_t>{0, 0, 0, 0, 1, 1, 1, 1, 1, 2}));
}

// ContinousVideo 0: the graph is paused after every image.
TEST_F(GrabTest, SingleGrabModePausesTheGraphAfterTheImage) {
  Initialize();
  WriteSettings(kColour.config, {"ContinousVideo=0"});
  ASSERT_EQ(Open(0, kColour), 1);
  EXPECT_EQ(sim::Step(kColour.friendly), sim::StepResult::NotRunning);
  sim::Grant(kColour.friendly, 1);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  EXPECT_EQ(sim::Step(kColour.friendly), sim::StepResult::NotRunning);
}

TEST_F(GrabTest, TriggerRegisterKeepsTheOtherFields) {
  struct Case {
    uint32_t before;
    int32_t enable, polarity, mode;
    uint32_t after;
  } cases[] = {
      {0x80000000, 1, 1, 3, 0x83030000},
      {0x80000000, 0, 0, 0, 0x80000000},
      {0x8C1F0ABC, 1, 1, 15, 0x8F1F0ABC},
      {0x8300F000, 0, 0, 0, 0x8000F000},
      {0x00000000, 1, 1, 3, 0x00000000},  // no trigger feature: nothing written, still success
  };
  Initialize();
  ASSERT_EQ(Open(0, kColour), 1);
  for (const Case& c : cases) {
    std::filesystem::remove(SettingsFile());
    WriteSettings(kColour.config,
                  {"TriggerPolarity=" + std::to_string(c.polarity), "TriggerMode=" + std::to_string(c.mode)});
    setSystemPath(dir_.c_str());
    ASSERT_TRUE(sim::PokeRegister(kColour.friendly, 0xF0F00830, c.before));
    EXPECT_EQ(setHWTrigger(0, 0, c.enable), 1);
    uint32_t value = 0;
    ASSERT_TRUE(sim::ReadRegister(kColour.friendly, 0xF0F00830, &value));
    EXPECT_EQ(value, c.after) << std::hex << c.before;
  }
  EXPECT_EQ(setHWTrigger(0, 1, 1), 0);
}

// The video-control path of a camera without the camera-information interface.
TEST_F(GrabTest, WithoutVideoControlTheTriggerSwitchDoesNothing) {
  WriteSettings(kUsb.config, {"HWTrigger=1"});
  Initialize();
  ASSERT_EQ(Open(0, kUsb), 1);  // no camera-information and no video-control interface
  EXPECT_EQ(setHWTrigger(0, 0, 1), 1);
}

// A camera without the camera-information interface is triggered through the
// video-control mode of its output pin, and only with the HWTrigger setting on.
class VideoControlTriggerTest : public GrabTest {
  void PrepareBus() override {
    ASSERT_TRUE(sim::LoadBusFromText(R"({"cameras": [{
      "name": "Trigger Cam", "kind": "usb", "interfaces": {"video_control": true},
      "video_control_caps": 4, "video_control_mode": 0,
      "formats": [{"subtype": "Y800", "width": 64, "height": 48, "interval": 333333}]}]})"));
  }
};

TEST_F(VideoControlTriggerTest, SetsTheExternalTriggerModeOnlyWithTheSetting) {
  const Camera cam{"Trigger Cam", "Trigger Cam"};
  WriteSettings(cam.config, {"HWTrigger=0", "BlackLvlPoints=4"});
  Initialize();
  ASSERT_EQ(Open(0, cam), 1);
  EXPECT_EQ(setHWTrigger(0, 0, 1), 1);
  EXPECT_EQ(sim::VideoControlMode(cam.friendly), 0);  // the setting is off: nothing is done

  std::filesystem::remove(SettingsFile());
  WriteSettings(cam.config, {"HWTrigger=1"});
  ASSERT_EQ(setSystemPath(dir_.c_str()), 1);  // read at the next call
  EXPECT_EQ(setHWTrigger(0, 0, 1), 1);
  EXPECT_EQ(sim::VideoControlMode(cam.friendly), 4);
  EXPECT_EQ(setHWTrigger(0, 0, 0), 1);
  EXPECT_EQ(sim::VideoControlMode(cam.friendly), 0);

  sim::InjectFault({.operation = "IAMVideoControl::SetMode"});
  ClearMessages();
  EXPECT_EQ(setHWTrigger(0, 0, 1), 0);
  EXPECT_TRUE(Logged("Failed setting ExternalTriggerEnable - E_FAIL [0x80004005]\r\n"));
  sim::InjectFault({.operation = "IAMVideoControl::SetMode"});
  ClearMessages();
  EXPECT_EQ(setHWTrigger(0, 0, 0), 0);  // switching off fails silently
  EXPECT_TRUE(Messages().empty());
}

TEST_F(GrabTest, WholeImageReadPutsTheBottomRowFirst) {
  Initialize();
  WriteSettings(kColour.config, {"SubType=" + settings::GuidToText(platform::MEDIASUBTYPE_Y800)});
  WriteSettings(kUsb.config, {"SubType=" + settings::GuidToText(platform::MEDIASUBTYPE_RGB24), "Color=1"});
  for (const Camera* camera : {&kColour, &kUsb}) {
    SCOPED_TRACE(camera->config);
    ASSERT_EQ(Open(0, *camera), 1);
    sim::Grant(camera->friendly, 1);
    ASSERT_EQ(doCVLGrab(0, 0), 1);
    const std::vector<uint8_t> rows = ReadRows(0);
    int32_t bits = 0;
    getProperty(0, 0, "PixelSize", &bits);
    const size_t rowBytes = static_cast<size_t>(size_[0]) * static_cast<size_t>(bits / 8);
    std::vector<uint8_t> whole(rows.size());
    ASSERT_EQ(getCVLGrabRow(0, 0, whole.data(), 0, 0, size_[0] * size_[1] - 1), 1);
    for (int32_t y = 0; y < size_[1]; ++y)
      ASSERT_EQ(std::memcmp(&whole[rowBytes * static_cast<size_t>(y)],
                            &rows[rowBytes * static_cast<size_t>(size_[1] - 1 - y)], rowBytes),
                0)
          << y;
    EXPECT_TRUE(closeCVLPort(0, 0));
  }
}

TEST_F(GrabTest, RowReadsRefuseRangesOutsideTheImage) {
  WriteSettings(kColour.config, {});
  Initialize();
  ASSERT_EQ(Open(0, kColour), 1);  // 640 x 480 grey
  std::vector<uint8_t> buffer(640 * 480 + 16, 0xAB);
  struct Case {
    int32_t row, first, last;
    int32_t result;
  } cases[] = {
      {0, 0, 639, 1},    {479, 0, 639, 1},   {0, 5, 5, 0},       {0, 6, 5, 0},    {480, 0, 639, 0},
      {-1, 0, 639, 0},   {0, 0, 640, 0},     {0, 600, 700, 0},   {0, -1, 10, 0},  {0, 0, -1, 0},
      {100, 10, 20, 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(getCVLGrabRow(0, 0, buffer.data(), c.row, c.first, c.last), c.result)
        << c.row << " " << c.first << ".." << c.last;
  EXPECT_EQ(buffer[640 * 480], 0xAB);  // nothing written past what was asked
  EXPECT_EQ(getCVLGrabRow(0, 0, nullptr, 0, 0, 639), 0);
  EXPECT_EQ(getCVLGrabRow(0, 1, buffer.data(), 0, 0, 639), 0);
}

// A camera that stops delivering makes a synchronous grab return 0 after its
// Timeout; a frame that arrives late completes the grab that was armed, and
// that late completion does not end the next grab's wait.
TEST_F(GrabTest, AStoppedCameraFailsTheGrabWithinItsBoundAndALateImageEndsNoLaterWait) {
  Initialize();
  WriteSettings(kColour.config, {"Timeout=200"});
  ASSERT_EQ(Open(0, kColour), 1);
  EXPECT_EQ(doCVLGrab(0, 0), 0);  // no frame comes
  // The late frame completes the armed grab; Step returns once the callback
  // has finished with it (and paused the graph).
  ASSERT_EQ(sim::Step(kColour.friendly), sim::StepResult::Delivered);
  EXPECT_EQ(doCVLGrab(0, 0), 0);  // its completion belongs to the earlier grab
  // That grab's own late frame, and only then the next grab's: granted while
  // the graph still ran, the next frame could complete the grab that had given
  // up before the next one was armed.
  ASSERT_EQ(sim::Step(kColour.friendly), sim::StepResult::Delivered);
  SetTimeouts(10000);
  sim::Grant(kColour.friendly, 1);
  EXPECT_EQ(doCVLGrab(0, 0), 1);

  SetTimeouts(200);
  ASSERT_TRUE(sim::StopFrames(kColour.friendly));
  sim::Grant(kColour.friendly, 3);
  EXPECT_EQ(doCVLGrab(0, 0), 0);
}

}  // namespace
}  // namespace kelvane::testing

namespace kelvane::testing {
namespace {

class StillCameraTest : public GrabTest {
  void PrepareBus() override {
    std::string bus = sim::DefaultBusJson();
    const std::string key = "\"source\": {\"bayer\": \"RGGB\"}";
    auto at = bus.find(key);
    ASSERT_NE(at, std::string::npos);
    bus.replace(at, key.size(), "\"source\": {\"bayer\": \"RGGB\", \"still\": true}");
    ASSERT_TRUE(sim::LoadBusFromText(bus));
  }
};

// A frozen camera delivers its first picture again and again.
TEST_F(StillCameraTest, DeliversItsFirstPictureAgain) {
  WriteSettings(kColour.config, {"SubType=" + settings::GuidToText(platform::MEDIASUBTYPE_Y800)});
  Initialize();
  const int64_t first = sim::FramesProduced(kColour.friendly);
  ASSERT_EQ(Open(0, kColour), 1);
  sim::Grant(kColour.friendly, 1);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  const auto one = ReadRows(0);
  sim::Grant(kColour.friendly, 1);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  EXPECT_TRUE(ReadRows(0) == one);
  frames::FrameSettings s;
  EXPECT_TRUE(one == Reference(frames::FrameType::Grey8, 640, 480, false, s, {sim::RenderFrame(kColour.friendly, first)}));
  EXPECT_EQ(sim::FramesProduced(kColour.friendly), first + 3);
}

}  // namespace
}  // namespace kelvane::testing

namespace kelvane::testing {
namespace {

std::atomic<int> g_reentrantRows{0};
int32_t ReadInsideCallback(int32_t grabber, int32_t port) {
  // Hosts do copy the image and change settings from the callback itself.
  std::vector<uint8_t> row(640 * 3);
  if (getCVLGrabRow(grabber, port, row.data(), 0, 0, 639) == 1) g_reentrantRows.fetch_add(1);
  setProperty(grabber, port, "LUT", 1);
  setProperty(grabber, port, "PixelSize", 8);
  return 0;
}

// Catches a deadlock between the callback, which runs on the streaming thread,
// and the lock the host's calls take around the image.
TEST_F(GrabTest, TheCallbackMayReadTheImageAndChangeSettings) {
  WriteSettings(kColour.config, {"ContinousVideo=1"});
  Initialize();
  ASSERT_EQ(Open(0, kColour), 1);
  ASSERT_EQ(setCompleteCallback(0, 0, ReadInsideCallback), 1);
  ASSERT_EQ(setProperty(0, 0, "Continous", 1), 1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(sim::Step(kColour.friendly), sim::StepResult::Delivered);
  EXPECT_EQ(g_reentrantRows.load(), 3);
}

}  // namespace
}  // namespace kelvane::testing

namespace kelvane::testing {
namespace {

std::atomic<int> g_completions{0};
int32_t CountCompletions(int32_t, int32_t) {
  g_completions.fetch_add(1);
  return 0;
}

// Catches: a grab armed while an earlier grab's cycle of frozen frames is still
// open being lost: its image finished, but carrying the older grab's number,
// so its wait skipped it and returned 0.
TEST_F(GrabTest, AGrabArmedWhileAFrozenCycleIsOpenGetsTheNextImage) {
  WriteSettings(kUsb.config,
                {"Timeout=400", "BlackLvlPoints=4", "BlackLvlValue=0", "BlackLvlRange=255", "BlackLvlRetry=1000000"});
  Initialize();
  ASSERT_EQ(Open(0, kUsb, 0), 1);
  sim::Grant(kUsb.friendly, 1);
  EXPECT_EQ(doCVLGrab(0, 0), 0) << "every frame is frozen";
  ASSERT_EQ(setHWTrigger(0, 0, 1), 1);  // the frozen-image test is off from here on
  SetTimeouts(10000);
  // The graph still runs for the first grab, whose request stays open for a
  // late frame: the streaming thread may take the first granted frame for it
  // before this grab is armed (it then finishes the older image, which this
  // grab must skip). The second frame is this grab's in that case.
  sim::Grant(kUsb.friendly, 2);
  EXPECT_EQ(doCVLGrab(0, 0), 1);
}

// Catches: the open's first snapshot leaving a grab armed after its wait gave
// up, which a later frame then finished (a CompleteCallback without any
// doCVLGrab), and its drop count carried into the first real grab.
TEST_F(GrabTest, TheOpensSnapshotLeavesNoGrabArmed) {
  WriteSettings(kColour.config, {"ContinousVideo=1", "Timeout=100"});
  WriteSettings(kUsb.config, {"Timeout=100", "DropCnt=2"});
  Initialize();
  ASSERT_EQ(Open(0, kColour, 0), 1);  // no frame for the first snapshot
  ASSERT_EQ(setCompleteCallback(0, 0, CountCompletions), 1);
  ASSERT_EQ(sim::Step(kColour.friendly), sim::StepResult::Delivered);
  EXPECT_EQ(g_completions.load(), 0) << "an image nobody asked for";

  ASSERT_EQ(Open(1, kUsb, 1), 1);  // one frame, dropped by the first snapshot
  SetTimeouts(10000);
  sim::Grant(kUsb.friendly, 3);
  EXPECT_EQ(doCVLGrab(0, 1), 1);
  EXPECT_EQ(sim::Credits(kUsb.friendly), 0) << "the grab's own two drops, then its frame";
}

struct RunFault {
  const char* name;
  std::vector<sim::Fault> faults;
  bool callback;
};
void PrintTo(const RunFault& f, std::ostream* os) { *os << f.name; }

class GraphDoesNotRunTest : public GrabTest, public ::testing::WithParamInterface<RunFault> {};

// Catches: doCVLGrab (and the "Continous" property) reporting success, with
// the previous image, when the graph could not be run or never got to running.
TEST_P(GraphDoesNotRunTest, TheGrabFails) {
  const RunFault& f = GetParam();
  WriteSettings(kColour.config, {"Timeout=10000"});  // the failed runs do not wait for it
  Initialize();
  ASSERT_EQ(Open(0, kColour), 1);
  if (f.callback) {
    ASSERT_EQ(setCompleteCallback(0, 0, CountCompletions), 1);
  }
  for (const auto& fault : f.faults) sim::InjectFault(fault);
  EXPECT_EQ(doCVLGrab(0, 0), 0);
  EXPECT_TRUE(Logged("RunGraph failed !\n"));
  EXPECT_TRUE(LoggedContaining("the graph did not run, no image"));
  EXPECT_EQ(setProperty(0, 0, "Continous", 1), 0) << "continuous video without a running graph";
  ASSERT_EQ(setProperty(0, 0, "Continous", 0), 1);
  sim::ClearFaults();
  sim::Grant(kColour.friendly, 1);
  EXPECT_EQ(doCVLGrab(0, 0), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, GraphDoesNotRunTest,
    ::testing::Values(
        RunFault{"RunFails", {{.operation = "IMediaControl::Run", .count = -1}}, false},
        RunFault{"RunFailsWithCallback", {{.operation = "IMediaControl::Run", .count = -1}}, true},
        RunFault{"RunNeverCompletes",
                 {{.operation = "IMediaControl::Run", .count = -1, .result = platform::S_FALSE},
                  {.operation = "IMediaControl::GetState", .count = -1, .result = platform::VFW_S_STATE_INTERMEDIATE}},
                 false}),
    [](const ::testing::TestParamInfo<RunFault>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kelvane::testing

namespace kelvane::testing {
namespace {

struct BoundCase {
  const char* name;
  int64_t interval;  // 100-ns units; 0: unknown
  int32_t timeoutSetting, timeoutArgument;
  int32_t dropCnt, meanCnt, blackLvlPoints, blackLvlRetry;
  int32_t expectedMs;
};
void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.name; }

class GrabBoundTest : public ::testing::TestWithParam<BoundCase> {};

// Catches: a synchronous grab giving up before the frames its settings ask for
// can have come (at 1.875 fps with DropCnt=3 the old bound of Timeout alone
// failed every grab), and a bound that grows without limit.
TEST_P(GrabBoundTest, CoversTheFramesTheSettingsAskFor) {
  const BoundCase& c = GetParam();
  host::CameraRecord camera;
  camera.Settings.Timeout = c.timeoutSetting;
  camera.FrameInterval = c.interval;
  camera.Frames = std::make_unique<frames::FrameStore>(frames::FrameType::Grey8, 16, 4, 0);
  frames::FrameSettings s;
  s.MeanCnt = c.meanCnt;
  s.BlackLvlPoints = c.blackLvlPoints;
  s.BlackLvlRetry = c.blackLvlRetry;
  camera.Frames->ApplySettings(s);
  camera.Decoder = std::make_unique<frames::CVideoDecoderCB>(*camera.Frames);
  camera.Decoder->DropCnt.store(c.dropCnt);
  EXPECT_EQ(host::GrabBound(camera, c.timeoutArgument), c.expectedMs);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, GrabBoundTest,
    ::testing::Values(BoundCase{"SlowCameraWithDrops", 5333333, 2000, 0, 3, 1, 0, 3, 2000 + 4 * 533},
                      BoundCase{"UnknownRate", 0, 2000, 0, 3, 8, 0, 3, 2000},
                      BoundCase{"TimeoutNotPositive", 333333, 0, 0, 0, 1, 0, 3, 2000 + 33},
                      BoundCase{"OpensSnapshotTimeout", 333333, 2000, 400, 0, 1, 0, 3, 400 + 33},
                      BoundCase{"AveragingAndRetries", 666666, 2000, 0, 0, 2, 4, 3, 2000 + 2 * 66 + 2 * 2 * 66},
                      BoundCase{"EndlessRetriesCostOneTimeout", 333333, 400, 0, 0, 1, 4, 1000000, 400 + 33 + 400},
                      BoundCase{"AllowanceStopsAtAMinute", 5333333, 2000, 0, 1000000, 32, 0, 3, 2000 + 60000}),
    [](const ::testing::TestParamInfo<BoundCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kelvane::testing
