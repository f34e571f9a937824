// The IIDC backend through the 19 exports, on a fake IIDC camera behind the
// libdc1394 table: cameras listed by vendor, model and number, every fixed
// mode and Format 7 region grabbed byte for byte as the frame pipeline says,
// registers, features and the trigger as the camera's register file shows
// them, stored properties applied without loss, a bus reset and an unplug
// that end a grab at once and reopen cleanly, and nothing left behind.
#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <cstring>
#include <random>

#include "fake_iidc.h"
#include "fake_v4l2.h"
#include "frames/frame_store.h"
#include "host_fixture.h"
#include "platform/framework/framework.h"
#include "platform/iidc/dc1394_ops.h"
#include "platform/v4l2/device_ops.h"
#include "settings/camera_settings.h"

namespace kelvane::testing {
namespace {

namespace fake = iidc::fake;
using platform::GUID;

fake::FakeIidc& Fake() {
  static auto* bus = new fake::FakeIidc;  // the library may use it until the process ends
  return *bus;
}

// The name the host opens a camera by: vendor, model and the low 32 bits of its GUID.
std::string NameOf(const fake::Camera& c) {
  return c.vendor + " " + c.model + " - " + std::to_string(static_cast<int32_t>(static_cast<uint32_t>(c.guid)));
}

GUID SubtypeOf(dc1394color_coding_t coding) {
  switch (coding) {
    case DC1394_COLOR_CODING_MONO8:
      return platform::MEDIASUBTYPE_Y800;
    case DC1394_COLOR_CODING_YUV411:
      return platform::MEDIASUBTYPE_Y411;
    case DC1394_COLOR_CODING_YUV422:
      return platform::MEDIASUBTYPE_UYVY;
    case DC1394_COLOR_CODING_YUV444:
      return platform::MEDIASUBTYPE_Y444;
    case DC1394_COLOR_CODING_RGB8:
      return platform::MEDIASUBTYPE_RGB24;
    case DC1394_COLOR_CODING_MONO16:
      return platform::MEDIASUBTYPE_MO16;
    case DC1394_COLOR_CODING_RAW8:
      return platform::MEDIASUBTYPE_RAW8;
    case DC1394_COLOR_CODING_RAW16:
      return platform::MEDIASUBTYPE_RAW16;
    default:
      break;
  }
  ADD_FAILURE() << "no subtype for this coding in the test";
  return {};
}

// The pipeline's frame for `seed`: bytes that differ everywhere.
std::vector<uint8_t> PipelineFrame(const GUID& subtype, uint32_t w, uint32_t h, uint32_t seed) {
  std::vector<uint8_t> frame(framework::FrameBytes(subtype, static_cast<int32_t>(w), static_cast<int32_t>(h)));
  std::mt19937 random(seed);
  for (auto& b : frame) b = static_cast<uint8_t>(random());
  return frame;
}

// The camera's image that carries `p` (the pipeline's layout), by the IIDC
// layouts: rows top-down, U Y Y V Y Y, U Y V Y and U Y V as the pipeline has
// them, RGB8 as R G B, 16-bit samples big-endian (as the pipeline has them).
void CameraImage(dc1394color_coding_t coding, const std::vector<uint8_t>& p, uint32_t h, uint32_t stride,
                 std::span<uint8_t> image) {
  ASSERT_GE(image.size(), size_t{stride} * h);
  const size_t line = p.size() / h;
  ASSERT_LE(line, stride);
  for (size_t y = 0; y < h; ++y) {
    uint8_t* row = image.data() + y * stride;
    if (coding == DC1394_COLOR_CODING_RGB8) {  // from the pipeline's bottom-up B G R
      const uint8_t* s = p.data() + (h - 1 - y) * line;
      for (size_t x = 0; x < line; x += 3) {
        row[x] = s[x + 2];
        row[x + 1] = s[x + 1];
        row[x + 2] = s[x];
      }
    } else {
      std::memcpy(row, p.data() + y * line, line);
    }
  }
}

struct ModeCase {
  const char* name;
  dc1394video_mode_t mode;  // a fixed mode, or a Format 7 mode
  dc1394color_coding_t coding;
  uint32_t width, height;  // fixed: the mode's size; Format 7: the region's
  uint32_t left, top;      // Format 7: the region's place
  bool colour;
  int32_t rawMode;
  int32_t lut;
  dc1394color_filter_t filter;
};

constexpr auto F7_0 = DC1394_VIDEO_MODE_FORMAT7_0, F7_1 = DC1394_VIDEO_MODE_FORMAT7_1;
constexpr auto kRggb = DC1394_COLOR_FILTER_RGGB, kGbrg = DC1394_COLOR_FILTER_GBRG;

// clang-format off
const ModeCase kModes[] = {
    {"YUV444 160x120 grey",     DC1394_VIDEO_MODE_160x120_YUV444, DC1394_COLOR_CODING_YUV444, 160, 120, 0, 0, false, 0, 0, kRggb},
    {"YUV444 160x120 colour",   DC1394_VIDEO_MODE_160x120_YUV444, DC1394_COLOR_CODING_YUV444, 160, 120, 0, 0, true,  0, 0, kRggb},
    {"YUV422 320x240 colour",   DC1394_VIDEO_MODE_320x240_YUV422, DC1394_COLOR_CODING_YUV422, 320, 240, 0, 0, true,  0, 0, kRggb},
    {"YUV411 640x480 colour",   DC1394_VIDEO_MODE_640x480_YUV411, DC1394_COLOR_CODING_YUV411, 640, 480, 0, 0, true,  0, 0, kRggb},
    {"YUV411 640x480 grey",     DC1394_VIDEO_MODE_640x480_YUV411, DC1394_COLOR_CODING_YUV411, 640, 480, 0, 0, false, 0, 0, kRggb},
    {"YUV422 640x480 grey",     DC1394_VIDEO_MODE_640x480_YUV422, DC1394_COLOR_CODING_YUV422, 640, 480, 0, 0, false, 0, 0, kRggb},
    {"RGB8 640x480 colour",     DC1394_VIDEO_MODE_640x480_RGB8,   DC1394_COLOR_CODING_RGB8,   640, 480, 0, 0, true,  0, 0, kRggb},
    {"RGB8 640x480 grey",       DC1394_VIDEO_MODE_640x480_RGB8,   DC1394_COLOR_CODING_RGB8,   640, 480, 0, 0, false, 0, 0, kRggb},
    {"MONO8 640x480",           DC1394_VIDEO_MODE_640x480_MONO8,  DC1394_COLOR_CODING_MONO8,  640, 480, 0, 0, false, 0, 0, kRggb},
    {"MONO8 1024x768",          DC1394_VIDEO_MODE_1024x768_MONO8, DC1394_COLOR_CODING_MONO8, 1024, 768, 0, 0, false, 0, 0, kRggb},
    {"MONO16 640x480 lut 1",    DC1394_VIDEO_MODE_640x480_MONO16, DC1394_COLOR_CODING_MONO16, 640, 480, 0, 0, false, 0, 1, kRggb},
    {"F7 MONO8 region",         F7_0, DC1394_COLOR_CODING_MONO8,  320, 240, 16,  8, false, 0, 0, kRggb},
    {"F7 MONO8 whole sensor",   F7_0, DC1394_COLOR_CODING_MONO8,  640, 480,  0,  0, false, 0, 0, kRggb},
    {"F7 RAW8 RGGB demosaiced", F7_0, DC1394_COLOR_CODING_RAW8,   256, 128, 64, 32, true,  4, 0, kRggb},
    {"F7 RAW8 GBRG demosaiced", F7_1, DC1394_COLOR_CODING_RAW8,   160, 120,  8,  2, true,  3, 0, kGbrg},
    {"F7 RAW8 grey",            F7_0, DC1394_COLOR_CODING_RAW8,   128,  96,  0,  0, false, 0, 0, kRggb},
    {"F7 RAW16 demosaiced",     F7_0, DC1394_COLOR_CODING_RAW16,  128,  64,  4,  2, true,  4, 1, kRggb},
    {"F7 MONO16 lut 3",         F7_0, DC1394_COLOR_CODING_MONO16, 200, 100, 12,  6, false, 0, 3, kRggb},
    {"F7 YUV422 colour",        F7_1, DC1394_COLOR_CODING_YUV422, 320, 200, 40, 20, true,  0, 0, kRggb},
    {"F7 RGB8 colour",          F7_0, DC1394_COLOR_CODING_RGB8,   120,  80,  8,  4, true,  0, 0, kRggb},
};
// clang-format on

bool IsFormat7(dc1394video_mode_t mode) {
  return mode >= DC1394_VIDEO_MODE_FORMAT7_MIN && mode <= DC1394_VIDEO_MODE_FORMAT7_MAX;
}

constexpr uint64_t kCaseGuid = 0x0814436100000100ull;
constexpr uint32_t kPacket = 1000;  // a multiple of the Format 7 modes' 8 unit bytes

// A camera with only the case's mode, so that the settings choose exactly it.
fake::Camera CaseCamera(size_t i) {
  const ModeCase& c = kModes[i];
  fake::Camera cam;
  cam.guid = kCaseGuid + i;
  cam.model = "Case-" + std::to_string(i);
  cam.mode = c.mode;
  if (IsFormat7(c.mode)) {
    fake::Format7Mode f;
    f.mode = c.mode;
    f.maxWidth = 640;
    f.maxHeight = 480;
    f.unitWidth = 8;
    f.unitHeight = 2;
    f.unitLeft = 4;
    f.unitTop = 2;
    f.codings = {c.coding};
    f.filter = c.filter;
    f.unitBytes = 8;
    f.maxBytes = 4096;
    cam.format7 = {f};
  } else {
    cam.modes = {fake::FixedMode{c.mode, {DC1394_FRAMERATE_7_5, DC1394_FRAMERATE_15, DC1394_FRAMERATE_30}}};
    cam.rate = DC1394_FRAMERATE_30;
  }
  const uint32_t seed = static_cast<uint32_t>(i) + 1;
  cam.producer = [c, seed](const fake::FrameRequest& r, std::span<uint8_t> image) {
    CameraImage(r.coding, PipelineFrame(SubtypeOf(r.coding), r.width, r.height, seed), r.height, r.stride, image);
  };
  return cam;
}

class IidcTest : public HostTest {
 public:
  void PrepareBus() override {
    setenv("KELVANE_BACKEND", "iidc", 1);
    iidc::SetOps(&Fake());
    AddCameras();
  }
  virtual void AddCameras() {
    Fake().AddCamera(fake::ColourCamera(kColourGuid));
    Fake().AddCamera(fake::MonoCamera(kMonoGuid));
  }
  int32_t OpenNamed(int32_t port, const std::string& name) { return openCVLPort(0, port, name.c_str(), size_); }
  std::vector<std::string> Cameras() {
    std::vector<std::string> names;
    char** list = getCVLCameraConfigNames();
    for (int32_t i = 0; i < getCVLNoOfSupportedCameras(); ++i) names.emplace_back(list[i]);
    return names;
  }
  fake::Camera Now(uint64_t guid) {
    auto state = Fake().State(guid);
    EXPECT_TRUE(state.has_value());
    return state.value_or(fake::Camera{});
  }
  // A feature of a camera's state now (a copy: the state is one too).
  std::optional<fake::Feature> FeatureOf(uint64_t guid, dc1394feature_t id) {
    for (const fake::Feature& f : Now(guid).features)
      if (f.id == id) return f;
    return std::nullopt;
  }

  static constexpr uint64_t kColourGuid = 0x0814436102aa0001ull;
  static constexpr uint64_t kMonoGuid = 0x0814436102bb0002ull;
  const std::string colour_ = NameOf(fake::ColourCamera(kColourGuid));
  const std::string mono_ = NameOf(fake::MonoCamera(kMonoGuid));
};

class IidcModeTest : public IidcTest, public ::testing::WithParamInterface<size_t> {
 public:
  void AddCameras() override { Fake().AddCamera(CaseCamera(GetParam())); }
};

// What the frame pipeline makes of the frame it is given.
std::vector<uint8_t> Reference(frames::FrameType frameType, uint32_t w, uint32_t h, bool colour, int32_t rawMode,
                               int32_t lut, const std::vector<uint8_t>& in) {
  frames::FrameStore store(frameType, static_cast<int32_t>(w), static_cast<int32_t>(h), lut);
  frames::FrameSettings s;
  s.RawMode = rawMode;
  s.Algorithm = 2;
  store.ApplySettings(s);
  EXPECT_TRUE(store.SetColorOutput(colour));
  EXPECT_EQ(store.ProcessFrame(in.data(), in.size()), frames::kImageFinished);
  std::vector<uint8_t> image;
  for (int32_t y = 0; y < store.Rows(); ++y) image.insert(image.end(), store.Row(y), store.Row(y) + store.RowLength());
  return image;
}

// Every mode, set from the settings as on the simulated bus (DefFmt, the
// frame-rate code, the region and packet size), reaches the camera's
// registers and is grabbed as the pipeline's reference on the frame the
// camera sent: RGB8 turned into a bottom-up B G R bitmap, 16-bit samples in
// the pipeline's byte order, regions at their place.
TEST_P(IidcModeTest, GrabsAsThePipelineSays) {
  const size_t i = GetParam();
  const ModeCase& c = kModes[i];
  const fake::Camera cam = CaseCamera(i);
  const bool format7 = IsFormat7(c.mode);
  const GUID subtype = SubtypeOf(c.coding);
  std::vector<std::string> lines = {"SubType=" + settings::GuidToText(subtype),
                                    "Width=" + std::to_string(c.width),
                                    "Height=" + std::to_string(c.height),
                                    "DefFmt=0",
                                    std::string("Color=") + (c.colour ? "1" : "0"),
                                    "RawMode=" + std::to_string(c.rawMode),
                                    "Algorithm=2",
                                    "Lut=" + std::to_string(c.lut)};
  if (format7) {
    lines.insert(lines.end(), {"Left=" + std::to_string(c.left), "Top=" + std::to_string(c.top),
                               "PacketSize=" + std::to_string(kPacket), "AvgTimePerFrame=7"});
  } else {
    lines.push_back("AvgTimePerFrame=3");  // 15 frames a second
  }
  WriteSettings(NameOf(cam), lines);
  Initialize();
  ASSERT_EQ(Cameras(), std::vector<std::string>{NameOf(cam)});
  ASSERT_EQ(OpenNamed(0, NameOf(cam)), 1);
  EXPECT_EQ(size_[0], static_cast<int32_t>(c.width));
  EXPECT_EQ(size_[1], static_cast<int32_t>(c.height));
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  const std::vector<uint8_t> image = ReadRows(0);

  const fake::Camera now = Now(cam.guid);
  EXPECT_EQ(now.mode, c.mode);
  if (format7) {
    ASSERT_EQ(now.format7.size(), 1u);
    const fake::Format7Mode& f = now.format7[0];
    EXPECT_EQ(f.left, c.left);
    EXPECT_EQ(f.top, c.top);
    EXPECT_EQ(f.width, c.width);
    EXPECT_EQ(f.height, c.height);
    EXPECT_EQ(f.packetSize, kPacket);
    EXPECT_EQ(f.coding.value_or(DC1394_COLOR_CODING_MONO8), c.coding);
  } else {
    EXPECT_EQ(now.rate, DC1394_FRAMERATE_15);
  }

  std::vector<uint8_t> delivered = PipelineFrame(subtype, c.width, c.height, static_cast<uint32_t>(i) + 1);
  frames::FrameType frameType = *frames::FrameTypeForSubtype(subtype);
  if (c.colour && subtype != platform::MEDIASUBTYPE_RGB24 && c.rawMode == 0) {  // the decompressor's RGB24 bitmap
    std::vector<uint8_t> converted(size_t{c.width} * c.height * 3);
    ASSERT_TRUE(framework::ConvertToRgb24(subtype, static_cast<int32_t>(c.width), static_cast<int32_t>(c.height),
                                          delivered.data(), delivered.size(), 0, converted.data()));
    delivered = std::move(converted);
    frameType = frames::FrameType::Rgb24;
  }
  const int32_t lut = frames::Is16Bit(frameType) ? c.lut : 0;
  const auto expected = Reference(frameType, c.width, c.height, c.colour, c.rawMode, lut, delivered);
  ASSERT_EQ(image.size(), expected.size());
  EXPECT_TRUE(image == expected);
  EXPECT_TRUE(closeCVLPort(0, 0));
  const auto stats = Fake().Stats();
  EXPECT_EQ(stats.captures, 0);
  EXPECT_EQ(stats.framesHeld, 0);
  EXPECT_EQ(stats.badEnqueues, 0);
  EXPECT_FALSE(Fake().Transmitting(cam.guid));
}

INSTANTIATE_TEST_SUITE_P(Modes, IidcModeTest, ::testing::Range<size_t>(0, std::size(kModes)),
                         [](const ::testing::TestParamInfo<size_t>& param) {
                           std::string name = kModes[param.param].name;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

// The cameras are listed by vendor, model and number, and the capability
// report lists their real modes and says what the camera is.
TEST_F(IidcTest, ListsTheCamerasAndReportsTheirModes) {
  Initialize();
  EXPECT_TRUE(LoggedContaining("Kelvane: using the IIDC cameras (KELVANE_BACKEND); 2 cameras found"));
  ASSERT_EQ(Cameras(), (std::vector<std::string>{colour_, mono_}));
  ClearMessages();
  ASSERT_EQ(configureCamera(0, colour_.c_str()), 0);
  EXPECT_TRUE(Logged("GUID: 0x0814436102aa0001\r\n"));
  EXPECT_TRUE(LoggedContaining("Mosaic of Format 7 mode 0 RAW8: Bayer RGGB, RawMode 1 with Algorithm 0, RawMode 4"));
  EXPECT_TRUE(LoggedContaining("Mosaic of Format 7 mode 1 RAW8: Bayer GBRG, RawMode 2 with Algorithm 0, RawMode 3"));
  const fake::Camera cam = fake::ColourCamera(kColourGuid);
  dc1394_t* context = Fake().New();
  dc1394camera_t* handle = Fake().CameraNewUnit(context, kColourGuid, 0);
  ASSERT_NE(handle, nullptr);
  for (const fake::FixedMode& m : cam.modes) {
    uint32_t w = 0, h = 0;
    dc1394color_coding_t coding{};
    ASSERT_EQ(Fake().GetImageSizeFromVideoMode(handle, m.mode, &w, &h), DC1394_SUCCESS);
    ASSERT_EQ(Fake().GetColorCodingFromVideoMode(handle, m.mode, &coding), DC1394_SUCCESS);
    std::string name = framework::SubtypeName(SubtypeOf(coding));
    name.resize(std::max<size_t>(name.size(), 8), ' ');
    SCOPED_TRACE(name);
    EXPECT_TRUE(LoggedContaining(name + " " + std::to_string(w) + "x" + std::to_string(h) + ", "));
  }
  for (const fake::Format7Mode& m : cam.format7)
    for (dc1394color_coding_t coding : m.codings) {
      std::string name = framework::SubtypeName(SubtypeOf(coding));
      name.resize(std::max<size_t>(name.size(), 8), ' ');
      SCOPED_TRACE(name);
      EXPECT_TRUE(LoggedContaining(name + " " + std::to_string(m.unitWidth) + "x" + std::to_string(m.unitHeight) +
                                   " to " + std::to_string(m.maxWidth) + "x" + std::to_string(m.maxHeight)));
    }
  EXPECT_TRUE(LoggedContaining("Feature Shutter: "));
  Fake().CameraFree(handle);
  Fake().Free(context);
}

// Registers, features and the trigger are read and written as the camera's
// register file shows them; a value out of range changes nothing.
TEST_F(IidcTest, RegistersFeaturesAndTriggerAreTheCamerasOwn) {
  WriteSettings(colour_, {"TriggerPolarity=1", "TriggerMode=3"});
  Initialize();
  ASSERT_EQ(OpenNamed(0, colour_), 1);

  // Registers at their bus addresses, the advanced-feature area included.
  int32_t value = 0;
  ASSERT_EQ(getProperty(0, 0, "0xF0F00830", &value), 1);
  EXPECT_EQ(static_cast<uint32_t>(value), Fake().Register(kColourGuid, fake::kTriggerMode).value_or(1));
  ASSERT_EQ(getProperty(0, 0, "0xF0F00500", &value), 1);  // BRIGHTNESS_INQ
  EXPECT_EQ(static_cast<uint32_t>(value), Fake().Register(kColourGuid, fake::kFeatureInq).value_or(1));
  const fake::Camera cam = fake::ColourCamera(kColourGuid);
  if (!cam.advanced.empty()) {
    const uint32_t quadlets = Fake().Register(kColourGuid, fake::kAdvancedFeatureInq).value_or(0);
    char name[16];
    std::snprintf(name, sizeof name, "0x%X", 0xF0000000u + quadlets * 4);
    ASSERT_EQ(getProperty(0, 0, name, &value), 1) << name;
    EXPECT_EQ(static_cast<uint32_t>(value), cam.advanced[0]);
  }
  EXPECT_EQ(getProperty(0, 0, "0x830", &value), 0);  // not a bus address

  // The trigger: ON_OFF, polarity and mode from the settings, nothing else touched.
  const uint32_t before = Fake().Register(kColourGuid, fake::kTriggerMode).value_or(0);
  ASSERT_EQ(setHWTrigger(0, 0, 1), 1);
  const uint32_t on = Fake().Register(kColourGuid, fake::kTriggerMode).value_or(0);
  EXPECT_EQ(on, (before & 0xFCF0FFFFu) | 0x02000000u | 0x01000000u | 0x00030000u);
  EXPECT_TRUE(Now(kColourGuid).trigger.on);
  EXPECT_EQ(Now(kColourGuid).trigger.mode, 3u);
  ASSERT_EQ(setHWTrigger(0, 0, 0), 1);
  EXPECT_FALSE(Now(kColourGuid).trigger.on);

  // Named properties on the camera's features, integer values.
  struct Case {
    const char* name;
    dc1394feature_t id;
    int part;  // 0 value, 1 U/B, 2 V/R
  };
  int tried = 0;
  for (const Case& c :
       {Case{"Brightness", DC1394_FEATURE_BRIGHTNESS, 0}, Case{"Sharpness", DC1394_FEATURE_SHARPNESS, 0},
        Case{"Gain", DC1394_FEATURE_GAIN, 0}, Case{"Hue", DC1394_FEATURE_HUE, 0},
        Case{"Saturation", DC1394_FEATURE_SATURATION, 0}, Case{"Gamma", DC1394_FEATURE_GAMMA, 0},
        Case{"Exposure", DC1394_FEATURE_EXPOSURE, 0}, Case{"Focus", DC1394_FEATURE_FOCUS, 0},
        Case{"Zoom", DC1394_FEATURE_ZOOM, 0}, Case{"Iris", DC1394_FEATURE_IRIS, 0},
        Case{"UB", DC1394_FEATURE_WHITE_BALANCE, 1}, Case{"VR", DC1394_FEATURE_WHITE_BALANCE, 2},
        Case{"Pan", DC1394_FEATURE_PAN, 0}, Case{"Tilt", DC1394_FEATURE_TILT, 0}}) {
    SCOPED_TRACE(c.name);
    const auto f = FeatureOf(kColourGuid, c.id);
    if (!f || f->absoluteOn || !f->manualCapable) continue;
    ++tried;
    int32_t minimum = 0, maximum = 0;
    ASSERT_EQ(getPropertyRange(0, 0, c.name, &minimum, &maximum), 1);
    EXPECT_EQ(minimum, static_cast<int32_t>(f->min));
    EXPECT_EQ(maximum, static_cast<int32_t>(f->max));
    ASSERT_EQ(setProperty(0, 0, (std::string(c.name) + ".flags").c_str(), 2), 1);  // manual
    int32_t want = minimum + (maximum - minimum) / 3 + 1;                          // another value than the camera's
    if (want == static_cast<int32_t>(c.part == 2 ? f->value2 : f->value)) ++want;
    ASSERT_EQ(setProperty(0, 0, c.name, want), 1);
    auto after = FeatureOf(kColourGuid, c.id);
    EXPECT_EQ(static_cast<int32_t>(c.part == 2 ? after->value2 : after->value), want);
    ASSERT_EQ(getProperty(0, 0, c.name, &value), 1);
    EXPECT_EQ(value, want);
    EXPECT_EQ(setProperty(0, 0, c.name, maximum + 1), 0);
    after = FeatureOf(kColourGuid, c.id);
    EXPECT_EQ(static_cast<int32_t>(c.part == 2 ? after->value2 : after->value), want);
    if (f->autoCapable) {
      ASSERT_EQ(setProperty(0, 0, (std::string(c.name) + ".flags").c_str(), 1), 1);
      EXPECT_EQ(FeatureOf(kColourGuid, c.id)->mode, DC1394_FEATURE_MODE_AUTO);
      ASSERT_EQ(getProperty(0, 0, (std::string(c.name) + ".flags").c_str(), &value), 1);
      EXPECT_EQ(value & 0x7, 1);
    }
  }
  EXPECT_GE(tried, 5);

  // A property's default stays the value the camera had when first seen,
  // also after a register write made the features be asked again.
  ASSERT_EQ(setHWTrigger(0, 0, 0), 1);
  ClearMessages();
  ASSERT_EQ(configureCamera(0, colour_.c_str()), 0);
  uint32_t initial = 0;
  for (const fake::Feature& f : cam.features)
    if (f.id == DC1394_FEATURE_BRIGHTNESS) initial = f.value;
  const std::string def = "def=" + std::to_string(std::bit_cast<int32_t>(static_cast<float>(initial))) + " ";
  bool reported = false;
  for (const std::string& m : Messages())
    if (m.rfind("Brightness ", 0) == 0 && m.find("range=") != std::string::npos) {
      reported = true;
      EXPECT_NE(m.find(def), std::string::npos) << m;
    }
  EXPECT_TRUE(reported);
  EXPECT_TRUE(closeCVLPort(0, 0));
}

// Absolute values: in the camera's units while its absolute control is on, and
// a stored property that reads back truncated is applied without changing
// the camera; values from the settings file reach the camera's registers.
TEST_F(IidcTest, StoredPropertiesRoundTrip) {
  Fake().Configure(kMonoGuid, [](fake::Camera& c) {
    for (fake::Feature& f : c.features)
      if (f.id == DC1394_FEATURE_SHUTTER) {
        f.absoluteCapable = true;
        f.absoluteOn = true;
        f.absMin = 0.0001f;
        f.absMax = 2.0f;
        f.value = f.min + (f.max - f.min) / 3;  // a fraction of a second, read back as 0
      }
  });
  const auto gain = FeatureOf(kMonoGuid, DC1394_FEATURE_GAIN);
  const auto shutter = FeatureOf(kMonoGuid, DC1394_FEATURE_SHUTTER);
  ASSERT_TRUE(gain && shutter);
  const int32_t gainValue = static_cast<int32_t>(gain->min + 1);
  WriteSettings(mono_, {"Gain=" + std::to_string(gainValue), "Gain_flags=2"});
  Initialize();
  ClearMessages();
  ASSERT_EQ(OpenNamed(0, mono_), 1);
  EXPECT_FALSE(LoggedContaining("Unable to set"));
  EXPECT_EQ(FeatureOf(kMonoGuid, DC1394_FEATURE_SHUTTER)->value, shutter->value);
  EXPECT_TRUE(FeatureOf(kMonoGuid, DC1394_FEATURE_SHUTTER)->absoluteOn);
  EXPECT_FALSE(FeatureOf(kMonoGuid, DC1394_FEATURE_GAIN)->absoluteOn);
  EXPECT_EQ(static_cast<int32_t>(FeatureOf(kMonoGuid, DC1394_FEATURE_GAIN)->value), gainValue);
  // The absolute range, and a value in seconds.
  int32_t minimum = -1, maximum = -1, flags = 0;
  ASSERT_EQ(getPropertyRange(0, 0, "Shutter", &minimum, &maximum), 1);
  EXPECT_EQ(minimum, 0);
  EXPECT_EQ(maximum, 2);
  ASSERT_EQ(getProperty(0, 0, "Shutter.flags", &flags), 1);
  EXPECT_EQ(flags & 0x8, 0x8);
  ASSERT_EQ(setProperty(0, 0, "Shutter", 1), 1);
  const auto s = FeatureOf(kMonoGuid, DC1394_FEATURE_SHUTTER);
  const double seconds =
      static_cast<double>(s->value - s->min) / (s->max - s->min) * (s->absMax - s->absMin) + s->absMin;
  EXPECT_NEAR(seconds, 1.0, 0.01);
  EXPECT_TRUE(closeCVLPort(0, 0));
}

// A camera unplugged, or lost in a bus reset, while it streams ends the
// waiting grab at once with a reason, closes cleanly, and opens again once
// it is back; nothing of the old capture is left.
class IidcLossTest : public IidcTest, public ::testing::WithParamInterface<bool> {};

TEST_P(IidcLossTest, EndsTheGrabAndReopensWhenBack) {
  const bool unplug = GetParam();
  WriteSettings(colour_, {"Timeout=60000"});
  Initialize();
  ASSERT_EQ(OpenNamed(0, colour_), 1);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  ASSERT_TRUE(unplug ? Fake().Unplug(kColourGuid) : Fake().BusReset(kColourGuid));
  ClearMessages();
  EXPECT_EQ(doCVLGrab(0, 0), 0);
  EXPECT_TRUE(LoggedContaining("the camera has gone (unplugged?)"));
  EXPECT_TRUE(LoggedContaining("IIDC camera " + fake::ColourCamera().vendor));
  EXPECT_TRUE(LoggedContaining("streaming ended"));
  EXPECT_TRUE(closeCVLPort(0, 0));
  if (unplug) {
    EXPECT_EQ(OpenNamed(0, colour_), 0);  // still away
    ASSERT_TRUE(Fake().Replug(kColourGuid));
  }
  ASSERT_EQ(OpenNamed(0, colour_), 1);
  EXPECT_EQ(doCVLGrab(0, 0), 1);
  EXPECT_TRUE(closeCVLPort(0, 0));
  const auto stats = Fake().Stats();
  EXPECT_EQ(stats.captures, 0);
  EXPECT_EQ(stats.framesHeld, 0);
  EXPECT_EQ(stats.cameras, 2);  // one handle per camera: the old one given back
  EXPECT_EQ(stats.staleUses, 0);
  EXPECT_EQ(stats.badFrees, 0);
}

INSTANTIATE_TEST_SUITE_P(Loss, IidcLossTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Unplug" : "BusReset"; });

// A camera another program streams from fails the grab with the reason,
// without asking the bus for the camera at every turn of the streaming
// thread, and grabs as soon as it is free.
TEST_F(IidcTest, ABusyCameraSaysWhyAndGrabsOnceFree) {
  WriteSettings(colour_, {"Timeout=300"});
  Initialize();
  Fake().Configure(kColourGuid, [](fake::Camera& c) { c.busy = true; });
  ClearMessages();
  OpenNamed(0, colour_);  // the initial snapshot finds no frame
  EXPECT_TRUE(LoggedContaining("another program may be streaming from the camera"));
  const int handles = Fake().Calls("CameraNewUnit");
  EXPECT_EQ(doCVLGrab(0, 0), 0);
  EXPECT_EQ(Fake().Calls("CameraNewUnit"), handles);
  Fake().Configure(kColourGuid, [](fake::Camera& c) { c.busy = false; });
  SetTimeouts(60000);
  EXPECT_EQ(doCVLGrab(0, 0), 1);
  EXPECT_TRUE(closeCVLPort(0, 0));
  EXPECT_EQ(Fake().Stats().captures, 0);
}

// A thousand open, grab and close cycles leave no handle, list, capture,
// held frame, object or thread behind.
TEST_F(IidcTest, CyclesLeakNothing) {
  Initialize();
  // The camera's graph is kept for the next open after the first one.
  ASSERT_EQ(OpenNamed(0, colour_), 1);
  ASSERT_TRUE(closeCVLPort(0, 0));
  const int64_t objects = sim::LiveObjects();
  const int threads = SettledThreads();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kCycles = 100;
#else
  constexpr int kCycles = 1000;
#endif
  for (int i = 0; i < kCycles; ++i) {
    ASSERT_EQ(OpenNamed(0, colour_), 1) << i;
    ASSERT_EQ(doCVLGrab(0, 0), 1) << i;
    ASSERT_TRUE(closeCVLPort(0, 0)) << i;
  }
  const auto stats = Fake().Stats();
  EXPECT_EQ(stats.contexts, 1);
  EXPECT_EQ(stats.cameras, 2);
  EXPECT_EQ(stats.lists, 0);
  EXPECT_EQ(stats.captures, 0);
  EXPECT_EQ(stats.framesHeld, 0);
  EXPECT_EQ(stats.badFrees, 0);
  EXPECT_EQ(stats.staleUses, 0);
  EXPECT_EQ(stats.badEnqueues, 0);
  EXPECT_EQ(stats.implicitStops, 0);
  EXPECT_EQ(sim::LiveObjects(), objects);
  EXPECT_LE(SettledThreads(), threads) << "threads left behind";
}

// Without a choice the IIDC cameras win over the V4L2 ones and the simulated bus.
class IidcChoiceTest : public IidcTest {
 public:
  void PrepareBus() override {
    IidcTest::PrepareBus();
    static auto* v4l2Fake = new v4l2::fake::FakeV4l2;
    v4l2Fake->AddDevice(v4l2::fake::UvcWebcam("/dev/video0"));
    v4l2::SetDeviceOps(v4l2Fake);
    sim::LoadDefaultBus();
    unsetenv("KELVANE_BACKEND");
  }
};

TEST_F(IidcChoiceTest, IidcCamerasAreChosenFirst) {
  Initialize();
  EXPECT_TRUE(LoggedContaining("Kelvane: using the IIDC cameras: 2 cameras found"));
  EXPECT_EQ(Cameras(), (std::vector<std::string>{colour_, mono_}));
}

}  // namespace
}  // namespace kelvane::testing
