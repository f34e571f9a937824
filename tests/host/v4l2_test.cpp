// The V4L2 backend through the 19 exports, on a fake V4L2 driver: cameras
// listed and opened, every format grabbed byte for byte as the frame pipeline
// says, controls read and written, an unplugged camera, a busy one, an
// interrupted one, and no descriptor, mapping, buffer or thread left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>

#if KELVANE_HAVE_JPEG
#include <turbojpeg.h>
#endif

#include "fake_v4l2.h"
#include "frames/frame_store.h"
#include "host_fixture.h"
#include "platform/framework/framework.h"
#include "platform/v4l2/device_ops.h"
#include "settings/camera_settings.h"

namespace kelvane::testing {
namespace {

namespace fake = v4l2::fake;
using platform::GUID;

fake::FakeV4l2& Fake() {
  static auto* driver = new fake::FakeV4l2;  // the library may use it until the process ends
  return *driver;
}

// What the pipeline reads for a device format: the frame in its own layout.
// The device's frame is made from it by the layouts the V4L2 documentation
// gives, so that a grab can be checked against the pipeline's reference on it.
struct Layout {
  uint32_t fourcc;
  GUID subtype;
};

// The pipeline's frame for `seed`: bytes that differ everywhere.
std::vector<uint8_t> PipelineFrame(const GUID& subtype, uint32_t w, uint32_t h, uint32_t seed) {
  std::vector<uint8_t> frame(framework::FrameBytes(subtype, static_cast<int32_t>(w), static_cast<int32_t>(h)));
  std::mt19937 random(seed);
  for (auto& b : frame) b = static_cast<uint8_t>(random() % 0xEE);  // never the padding marker
  return frame;
}

#if KELVANE_HAVE_JPEG
// A Motion-JPEG frame of the bottom-up B G R picture `bgr`, made by libjpeg-turbo.
std::vector<uint8_t> Jpeg(const std::vector<uint8_t>& bgr, uint32_t w, uint32_t h) {
  tjhandle encoder = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(encoder, bgr.data(), static_cast<int>(w), static_cast<int>(w * 3), static_cast<int>(h),
                        TJPF_BGR, &jpeg, &size, TJSAMP_422, 80, TJFLAG_BOTTOMUP),
            0);
  std::vector<uint8_t> out(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(encoder);
  return out;
}

// libjpeg-turbo's own decode of a frame, as the pipeline's RGB24 bitmap.
std::vector<uint8_t> Decoded(const std::vector<uint8_t>& jpeg, uint32_t w, uint32_t h) {
  std::vector<uint8_t> bgr(size_t{w} * h * 3);
  tjhandle decoder = tjInitDecompress();
  EXPECT_EQ(tjDecompress2(decoder, jpeg.data(), static_cast<unsigned long>(jpeg.size()), bgr.data(),
                          static_cast<int>(w), static_cast<int>(w * 3), static_cast<int>(h), TJPF_BGR, TJFLAG_BOTTOMUP),
            0);
  tjDestroy(decoder);
  return bgr;
}
#endif

// The device's frame that carries `p` (the pipeline's layout), as a driver
// lays it out with `bpl` bytes per row; padding holds the marker.
std::vector<uint8_t> DeviceFrame(uint32_t fourcc, const std::vector<uint8_t>& p, uint32_t w, uint32_t h, uint32_t bpl,
                                 size_t size) {
#if KELVANE_HAVE_JPEG
  if (fourcc == V4L2_PIX_FMT_MJPEG) return Jpeg(p, w, h);  // its own length, not the buffer's
#endif
  std::vector<uint8_t> d(size, fake::kPaddingMarker);
  auto row = [&](size_t y) { return d.data() + y * bpl; };
  switch (fourcc) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_GREY:
    case V4L2_PIX_FMT_SRGGB8:
    case V4L2_PIX_FMT_SGRBG8:
    case V4L2_PIX_FMT_SGBRG8:
    case V4L2_PIX_FMT_SBGGR8:
    case V4L2_PIX_FMT_Y16_BE: {
      const size_t line = p.size() / h;
      for (size_t y = 0; y < h; ++y) std::memcpy(row(y), p.data() + y * line, line);
      break;
    }
    case V4L2_PIX_FMT_Y16:
    case V4L2_PIX_FMT_SRGGB16: {  // little-endian samples; the pipeline's come most significant byte first
      const size_t line = size_t{w} * 2;
      for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < line; x += 2) {
          row(y)[x] = p[y * line + x + 1];
          row(y)[x + 1] = p[y * line + x];
        }
      break;
    }
    case V4L2_PIX_FMT_Y41P:  // Cb0 Y0 Cr0 Y1 Cb4 Y2 Cr4 Y3 Y4 Y5 Y6 Y7 from (U Y0 Y1 V Y2 Y3)(U Y4 Y5 V Y6 Y7)
      for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; x += 8) {
          const uint8_t* g = p.data() + (y * w + x) / 4 * 6;
          const uint8_t out[12] = {g[0], g[1], g[3], g[2], g[6], g[4], g[9], g[5], g[7], g[8], g[10], g[11]};
          std::memcpy(row(y) + x / 8 * 12, out, 12);
        }
      break;
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
    case V4L2_PIX_FMT_NV12: {
      const size_t n = size_t{w} * h, cw = w / 2, ch = h / 2;
      for (size_t y = 0; y < h; ++y) std::memcpy(row(y), p.data() + y * w, w);
      const uint8_t* u = p.data() + n;
      const uint8_t* v = p.data() + n + n / 4;
      uint8_t* chroma = d.data() + size_t{bpl} * h;
      if (fourcc == V4L2_PIX_FMT_NV12) {
        for (size_t y = 0; y < ch; ++y)
          for (size_t x = 0; x < cw; ++x) {
            chroma[y * bpl + 2 * x] = u[y * cw + x];
            chroma[y * bpl + 2 * x + 1] = v[y * cw + x];
          }
        break;
      }
      if (fourcc == V4L2_PIX_FMT_YVU420) std::swap(u, v);
      const size_t cbpl = bpl / 2;
      for (size_t y = 0; y < ch; ++y) {
        std::memcpy(chroma + y * cbpl, u + y * cw, cw);
        std::memcpy(chroma + cbpl * ch + y * cbpl, v + y * cw, cw);
      }
      break;
    }
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24:
    case V4L2_PIX_FMT_XBGR32:
    case V4L2_PIX_FMT_XRGB32: {
      // The pipeline's bitmaps are bottom-up B G R (X); the device's rows are top-down.
      const size_t bytes = fourcc == V4L2_PIX_FMT_RGB24 || fourcc == V4L2_PIX_FMT_BGR24 ? 3 : 4;
      for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
          const uint8_t* s = p.data() + ((h - 1 - y) * w + x) * bytes;
          uint8_t* t = row(y) + x * bytes;
          if (fourcc == V4L2_PIX_FMT_RGB24) {
            t[0] = s[2], t[1] = s[1], t[2] = s[0];
          } else if (fourcc == V4L2_PIX_FMT_XRGB32) {
            t[0] = s[3], t[1] = s[2], t[2] = s[1], t[3] = s[0];
          } else {
            std::memcpy(t, s, bytes);
          }
        }
      break;
    }
    default:
      ADD_FAILURE() << "no layout for this fourcc in the test";
  }
  return d;
}

struct FormatCase {
  const char* name;
  uint32_t fourcc;
  GUID subtype;
  uint32_t strideExtra;
  bool colour;
  int32_t rawMode;
  int32_t lut;
  bool multiPlanar;
};

// clang-format off
const FormatCase kFormats[] = {
    {"YUYV grey",            V4L2_PIX_FMT_YUYV,    platform::MEDIASUBTYPE_YUY2,  0, false, 0, 0, false},
    {"YUYV colour padded",   V4L2_PIX_FMT_YUYV,    platform::MEDIASUBTYPE_YUY2,  8, true,  0, 0, false},
    {"UYVY colour",          V4L2_PIX_FMT_UYVY,    platform::MEDIASUBTYPE_UYVY,  0, true,  0, 0, false},
    {"Y41P grey",            V4L2_PIX_FMT_Y41P,    platform::MEDIASUBTYPE_Y411,  0, false, 0, 0, false},
    {"Y41P colour",          V4L2_PIX_FMT_Y41P,    platform::MEDIASUBTYPE_Y411,  0, true,  0, 0, false},
    {"YUV420 colour",        V4L2_PIX_FMT_YUV420,  platform::MEDIASUBTYPE_I420,  0, true,  0, 0, false},
    {"YUV420 padded",        V4L2_PIX_FMT_YUV420,  platform::MEDIASUBTYPE_I420,  16, true, 0, 0, false},
    {"YVU420 colour",        V4L2_PIX_FMT_YVU420,  platform::MEDIASUBTYPE_I420,  0, true,  0, 0, false},
    {"NV12 multi-planar",    V4L2_PIX_FMT_NV12,    platform::MEDIASUBTYPE_I420,  0, true,  0, 0, true},
    {"YUV420 multi-planar",  V4L2_PIX_FMT_YUV420,  platform::MEDIASUBTYPE_I420,  0, false, 0, 0, true},
    {"GREY padded",          V4L2_PIX_FMT_GREY,    platform::MEDIASUBTYPE_Y800,  4, false, 0, 0, false},
    {"Y16 lut 0",            V4L2_PIX_FMT_Y16,     platform::MEDIASUBTYPE_MO16,  0, false, 0, 0, false},
    {"Y16 padded lut 1",     V4L2_PIX_FMT_Y16,     platform::MEDIASUBTYPE_MO16,  6, false, 0, 1, false},
    {"Y16_BE lut 3",         V4L2_PIX_FMT_Y16_BE,  platform::MEDIASUBTYPE_MO16,  0, false, 0, 3, false},
    {"SRGGB8 demosaiced",    V4L2_PIX_FMT_SRGGB8,  platform::MEDIASUBTYPE_RAW8,  0, true,  4, 0, false},
    {"SGRBG8 demosaiced",    V4L2_PIX_FMT_SGRBG8,  platform::MEDIASUBTYPE_RAW8,  0, true,  2, 0, false},
    {"SBGGR8 grey",          V4L2_PIX_FMT_SBGGR8,  platform::MEDIASUBTYPE_RAW8,  0, false, 0, 0, false},
    {"SRGGB16 demosaiced",   V4L2_PIX_FMT_SRGGB16, platform::MEDIASUBTYPE_RAW16, 0, true,  4, 1, false},
    {"RGB24 colour",         V4L2_PIX_FMT_RGB24,   platform::MEDIASUBTYPE_RGB24, 0, true,  0, 0, false},
    {"BGR24 grey padded",    V4L2_PIX_FMT_BGR24,   platform::MEDIASUBTYPE_RGB24, 12, false, 0, 0, false},
    {"XBGR32 colour",        V4L2_PIX_FMT_XBGR32,  platform::MEDIASUBTYPE_RGB32, 0, true,  0, 0, false},
    {"XRGB32 grey",          V4L2_PIX_FMT_XRGB32,  platform::MEDIASUBTYPE_RGB32, 0, false, 0, 0, false},
#if KELVANE_HAVE_JPEG
    {"MJPEG colour",         V4L2_PIX_FMT_MJPEG,   platform::MEDIASUBTYPE_MJPG,  0, true,  0, 0, false},
    {"MJPEG grey",           V4L2_PIX_FMT_MJPEG,   platform::MEDIASUBTYPE_MJPG,  0, false, 0, 0, false},
#endif
};
// clang-format on

constexpr uint32_t kW = 64, kH = 48;

// What a frame of the subtype carries in the test: a JPEG a bottom-up B G R picture.
GUID Carried(const GUID& subtype) {
  return subtype == platform::MEDIASUBTYPE_MJPG ? platform::MEDIASUBTYPE_RGB24 : subtype;
}

std::string CardOf(const FormatCase& c) { return std::string("Fake ") + c.name; }

class V4l2Test : public HostTest {
 public:
  void PrepareBus() override {
    setenv("KELVANE_BACKEND", "v4l2", 1);
    v4l2::SetDeviceOps(&Fake());
    AddDevices();
  }
  virtual void AddDevices() {
    Fake().AddDevice(fake::UvcWebcam("/dev/video0"));
    Fake().AddDevice(fake::MetadataNode("/dev/video1"));
    Fake().AddDevice(fake::BayerCamera("/dev/video2"));
    Fake().AddDevice(fake::Grey16Camera("/dev/video3"));
    Fake().AddDevice(fake::MultiPlanarCamera("/dev/video4"));
    Fake().AddDevice(fake::OutputNode("/dev/video9"));
    fake::Device locked = fake::UvcWebcam("/dev/video5");
    locked.card = "Fake Locked Webcam";
    locked.busInfo = "usb-locked";
    locked.openFails = EACCES;  // the user may not open it
    Fake().AddDevice(locked);
  }
  int32_t OpenNamed(int32_t port, const std::string& name) { return openCVLPort(0, port, name.c_str(), size_); }
  std::vector<std::string> Cameras() {
    std::vector<std::string> names;
    char** list = getCVLCameraConfigNames();
    for (int32_t i = 0; i < getCVLNoOfSupportedCameras(); ++i) names.emplace_back(list[i]);
    return names;
  }
};

// One node per format case, each with only that format, so that the settings
// choose exactly the device format under test.
class V4l2FormatTest : public V4l2Test {
 public:
  void AddDevices() override {
    for (size_t i = 0; i < std::size(kFormats); ++i) {
      const FormatCase& c = kFormats[i];
      fake::Device d{.path = "/dev/video" + std::to_string(10 + i),
                     .card = CardOf(c),
                     .busInfo = "platform:zoo" + std::to_string(i)};
      d.deviceCaps = (c.multiPlanar ? V4L2_CAP_VIDEO_CAPTURE_MPLANE : V4L2_CAP_VIDEO_CAPTURE) | V4L2_CAP_STREAMING;
      d.formats = {fake::Format{.fourcc = c.fourcc,
                                .description = c.name,
                                .flags = c.fourcc == V4L2_PIX_FMT_MJPEG ? uint32_t{V4L2_FMT_FLAG_COMPRESSED} : 0u,
                                .sizes = {fake::FrameSize{kW, kH, {.discrete = {{1, 30}, {1, 15}}}}},
                                .strideExtra = c.strideExtra}};
      const uint32_t seed = static_cast<uint32_t>(i) + 1;
      d.producer = [c, seed](const fake::FrameRequest& r) {
        return DeviceFrame(c.fourcc, PipelineFrame(Carried(c.subtype), r.width, r.height, seed), r.width, r.height,
                           r.bytesperline, r.sizeimage);
      };
      Fake().AddDevice(d);
    }
  }
};

// What the frame pipeline makes of the frame it is given.
std::vector<uint8_t> Reference(frames::FrameType frameType, bool colour, int32_t rawMode, int32_t lut,
                               const std::vector<uint8_t>& in) {
  frames::FrameStore store(frameType, kW, kH, lut);
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

// Every device format, grabbed through the exports, is the pipeline's
// reference on the frame the device sent: padding gone, 16-bit byte order,
// planes and bitmap rows laid out as the pipeline reads them.
class V4l2FormatCaseTest : public V4l2FormatTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(V4l2FormatCaseTest, GrabsAsThePipelineSays) {
  Initialize();
  const size_t i = GetParam();
  const FormatCase& c = kFormats[i];
  WriteSettings(CardOf(c), {"SubType=" + settings::GuidToText(c.subtype), "Width=64", "Height=48",
                            "AvgTimePerFrame=333333", std::string("Color=") + (c.colour ? "1" : "0"),
                            "RawMode=" + std::to_string(c.rawMode), "Algorithm=2", "Lut=" + std::to_string(c.lut)});
  setSystemPath(dir_.c_str());
  ASSERT_EQ(OpenNamed(0, CardOf(c)), 1);
  EXPECT_EQ(size_[0], 64);
  EXPECT_EQ(size_[1], 48);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  const std::vector<uint8_t> image = ReadRows(0);

  std::vector<uint8_t> delivered = PipelineFrame(Carried(c.subtype), kW, kH, static_cast<uint32_t>(i) + 1);
  // MJPG has no FrameType of its own: it reaches the pipeline as RGB24.
  frames::FrameType frameType = frames::FrameTypeForSubtype(c.subtype).value_or(frames::FrameType::Rgb24);
  const bool rgb = c.subtype == platform::MEDIASUBTYPE_RGB24 || c.subtype == platform::MEDIASUBTYPE_RGB32;
  if (c.subtype == platform::MEDIASUBTYPE_MJPG) {  // libjpeg-turbo's decode, grey or colour
#if KELVANE_HAVE_JPEG
    delivered = Decoded(Jpeg(delivered, kW, kH), kW, kH);
#endif
  } else if (c.colour && !rgb && c.rawMode == 0) {  // the decompressor's bottom-up RGB24 bitmap
    std::vector<uint8_t> converted(size_t{kW} * kH * 3);
    ASSERT_TRUE(framework::ConvertToRgb24(c.subtype, kW, kH, delivered.data(), delivered.size(), 0, converted.data()));
    delivered = std::move(converted);
    frameType = frames::FrameType::Rgb24;
  }
  const int32_t lut = frames::Is16Bit(frameType) ? c.lut : 0;
  const auto expected = Reference(frameType, c.colour, c.rawMode, lut, delivered);
  ASSERT_EQ(image.size(), expected.size());
  EXPECT_TRUE(image == expected);
  EXPECT_TRUE(closeCVLPort(0, 0));
  EXPECT_TRUE(Fake().AllClosed());
  EXPECT_EQ(Fake().Stats().buffersAllocated, 0);
}

// Each format its own test (and process), named after it.
INSTANTIATE_TEST_SUITE_P(Formats, V4l2FormatCaseTest, ::testing::Range<size_t>(0, std::size(kFormats)),
                         [](const ::testing::TestParamInfo<size_t>& param) {
                           std::string name = kFormats[param.param].name;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

// Capture nodes that stream are cameras; metadata and output nodes are not.
// The capability report says where the camera is and what it can deliver.
TEST_F(V4l2Test, ListsTheCaptureNodesAndReportsWhatTheyOffer) {
  Initialize();
  EXPECT_TRUE(LoggedContaining("using the V4L2 cameras (KELVANE_BACKEND); 4 cameras found"));
  EXPECT_TRUE(
      Logged("V4L2: /dev/video5 cannot be opened: Permission denied (video devices belong to the video group)\r\n"));
  const auto names = Cameras();
  ASSERT_EQ(names.size(), 4u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ASSERT_EQ(OpenNamed(0, name), 1);
    EXPECT_GT(size_[0], 0);
    EXPECT_EQ(doCVLGrab(0, 0), 1);
    EXPECT_TRUE(closeCVLPort(0, 0));
  }
  ClearMessages();
  ASSERT_EQ(configureCamera(0, names[0].c_str()), 0);
  EXPECT_TRUE(Logged("Device node: /dev/video0\r\n"));
  EXPECT_TRUE(LoggedContaining("Bus: usb-"));
  EXPECT_TRUE(Logged("YUY2     1280x720, 10.00 to 30.00 fps\r\n"));
  EXPECT_TRUE(Logged("YUY2     640x480, 15.00 to 30.00 fps\r\n"));
  // A size inside a device's range of sizes.
  WriteSettings(names[1], {"SubType=" + settings::GuidToText(platform::MEDIASUBTYPE_RAW8), "Width=320", "Height=240",
                           "AvgTimePerFrame=333333"});
  setSystemPath(dir_.c_str());
  ASSERT_EQ(OpenNamed(0, names[1]), 1);
  EXPECT_EQ(size_[0], 320);
  EXPECT_EQ(size_[1], 240);
  EXPECT_EQ(doCVLGrab(0, 0), 1);
  EXPECT_TRUE(closeCVLPort(0, 0));
  ClearMessages();
  ASSERT_EQ(configureCamera(0, names[1].c_str()), 0);
  EXPECT_TRUE(Logged("RAW8     64x48 to 640x480 in steps of 16x16, 1.00 to 60.00 fps\r\n"));
  EXPECT_TRUE(Logged("Mosaic of SGRBG8: Bayer GRBG, RawMode 3 with Algorithm 0, RawMode 2 with Algorithms 1 to 4\r\n"));
  EXPECT_TRUE(Fake().AllClosed());
}

// The named properties read and write the device's controls, with the
// device's ranges and automatic modes; a value out of range changes nothing.
TEST_F(V4l2Test, PropertiesReadAndWriteTheDeviceControls) {
  Initialize();
  ASSERT_EQ(OpenNamed(0, Cameras()[0]), 1);
  struct Case {
    const char* name;
    uint32_t id;
    int32_t value;
  };
  for (const Case& c : {Case{"Brightness", V4L2_CID_BRIGHTNESS, -17}, Case{"Contrast", V4L2_CID_CONTRAST, 20},
                        Case{"Pan", V4L2_CID_PAN_ABSOLUTE, -7200}, Case{"Gain", V4L2_CID_GAIN, 3}}) {
    SCOPED_TRACE(c.name);
    int32_t minimum = 0, maximum = 0;
    ASSERT_EQ(getPropertyRange(0, 0, c.name, &minimum, &maximum), 1);
    ASSERT_EQ(setProperty(0, 0, c.name, c.value), 1);
    EXPECT_EQ(Fake().ControlValue("/dev/video0", c.id), c.value);
    int32_t value = 0;
    ASSERT_EQ(getProperty(0, 0, c.name, &value), 1);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(setProperty(0, 0, c.name, maximum + 1), 0);
    EXPECT_EQ(Fake().ControlValue("/dev/video0", c.id), c.value);
  }
  int32_t minimum = 0, maximum = 0;
  ASSERT_EQ(getPropertyRange(0, 0, "Brightness", &minimum, &maximum), 1);
  EXPECT_EQ(minimum, -64);
  EXPECT_EQ(maximum, 64);
  ASSERT_EQ(getPropertyRange(0, 0, "Pan", &minimum, &maximum), 1);
  EXPECT_EQ(minimum, -36000);
  EXPECT_EQ(maximum, 36000);
  // Ranges are asked of the device once, not at every property access.
  const int queries = Fake().Calls(VIDIOC_QUERYCTRL);
  for (int i = 0; i < 3; ++i) {
    int32_t value = 0;
    ASSERT_EQ(getProperty(0, 0, "Brightness", &value), 1);
  }
  EXPECT_EQ(Fake().Calls(VIDIOC_QUERYCTRL), queries);
  // Exposure: the manual flag switches the automatic mode off, and the value then holds.
  int32_t flags = 0;
  ASSERT_EQ(getProperty(0, 0, "Exposure.flags", &flags), 1);
  EXPECT_EQ(flags, 1);
  ASSERT_EQ(setProperty(0, 0, "Exposure.flags", 2), 1);
  ASSERT_EQ(setProperty(0, 0, "Exposure", 200), 1);
  EXPECT_EQ(Fake().ControlValue("/dev/video0", V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_MANUAL);
  EXPECT_EQ(Fake().ControlValue("/dev/video0", V4L2_CID_EXPOSURE_ABSOLUTE), 200);
  EXPECT_TRUE(closeCVLPort(0, 0));
  EXPECT_TRUE(Fake().AllClosed());
}

// A camera unplugged while it streams ends the waiting grab at once with a
// reason, closes cleanly, and opens again once it is back.
TEST_F(V4l2Test, AnUnpluggedCameraFailsItsGrabAndReopensWhenBack) {
  Initialize();
  const std::string webcam = Cameras()[0];
  // Paused between grabs, so that no frame taken before the unplug is still
  // on its way; a grab that waited out its Timeout would hang the test.
  WriteSettings(webcam, {"Timeout=60000"});
  setSystemPath(dir_.c_str());
  ASSERT_EQ(OpenNamed(0, webcam), 1);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  Fake().Unplug("/dev/video0");
  ClearMessages();
  EXPECT_EQ(doCVLGrab(0, 0), 0);
  EXPECT_TRUE(LoggedContaining("the camera has gone (unplugged?)"));
  EXPECT_TRUE(LoggedContaining("/dev/video0): the device is gone"));
  EXPECT_TRUE(closeCVLPort(0, 0));
  EXPECT_TRUE(Fake().AllClosed());
  EXPECT_EQ(OpenNamed(0, webcam), 0);  // still away
  Fake().Replug("/dev/video0");
  ASSERT_EQ(OpenNamed(0, webcam), 1);
  EXPECT_EQ(doCVLGrab(0, 0), 1);
  EXPECT_TRUE(closeCVLPort(0, 0));
  EXPECT_TRUE(Fake().AllClosed());
}

// A device another program streams from fails the open and says so.
TEST_F(V4l2Test, ABusyCameraFailsTheOpenWithTheReason) {
  Initialize();
  Fake().Configure("/dev/video0", [](fake::Device& d) { d.busy = true; });
  ClearMessages();
  EXPECT_EQ(OpenNamed(0, Cameras()[0]), 0);
  EXPECT_TRUE(LoggedContaining("the device is busy: another program is using it"));
  EXPECT_TRUE(Fake().AllClosed());
  Fake().Configure("/dev/video0", [](fake::Device& d) { d.busy = false; });
  EXPECT_EQ(OpenNamed(0, Cameras()[0]), 1);
}

// Interrupted calls and empty non-blocking dequeues cost no grab; a thousand
// open, grab and close cycles leave no descriptor, mapping, buffer, object or
// thread behind.
TEST_F(V4l2Test, InterruptionsLoseNothingAndCyclesLeakNothing) {
  Initialize();
  Fake().Configure("/dev/video0", [](fake::Device& d) {
    d.eintrEvery = 3;
    d.eagainEvery = 2;
  });
  const std::string webcam = Cameras()[0];
  ASSERT_EQ(OpenNamed(0, webcam), 1);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(doCVLGrab(0, 0), 1) << i;
  EXPECT_TRUE(closeCVLPort(0, 0));
  Fake().Configure("/dev/video0", [](fake::Device& d) { d.eintrEvery = d.eagainEvery = 0; });

  const int64_t objects = sim::LiveObjects();
  const int threads = SettledThreads();
  // A thousand in the plain build; the sanitizer builds run ten times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kCycles = 100;
#else
  constexpr int kCycles = 1000;
#endif
  for (int i = 0; i < kCycles; ++i) {
    ASSERT_EQ(OpenNamed(0, webcam), 1) << i;
    ASSERT_EQ(doCVLGrab(0, 0), 1) << i;
    ASSERT_TRUE(closeCVLPort(0, 0)) << i;
  }
  EXPECT_TRUE(Fake().AllClosed());
  const auto stats = Fake().Stats();
  EXPECT_EQ(stats.openDescriptors, 0);
  EXPECT_EQ(stats.liveMappings, 0);
  EXPECT_EQ(stats.buffersAllocated, 0);
  EXPECT_EQ(stats.badUnmaps, 0);
  EXPECT_EQ(sim::LiveObjects(), objects);
  EXPECT_LE(SettledThreads(), threads) << "threads left behind";
}

// Without a choice the machine's cameras win over the simulated bus; the
// settings file can still ask for the simulated bus.
class V4l2ChoiceTest : public V4l2Test {
 public:
  void PrepareBus() override {
    V4l2Test::PrepareBus();
    sim::LoadDefaultBus();
    unsetenv("KELVANE_BACKEND");
  }
};

TEST_F(V4l2ChoiceTest, CamerasOfTheMachineAreChosenWhenThereAreAny) {
  Initialize();
  EXPECT_TRUE(LoggedContaining("Kelvane: using the V4L2 cameras: 4 cameras found"));
  EXPECT_EQ(getCVLNoOfSupportedCameras(), 4);
}

TEST_F(V4l2ChoiceTest, TheSettingsFileCanAskForTheSimulatedBus) {
  WriteSettings("Kelvane", {"Backend=sim"});
  Initialize();
  EXPECT_TRUE(LoggedContaining("Kelvane: using the simulated bus (Backend in [Kelvane] of Kelvane.ini)"));
  EXPECT_EQ(Cameras()[0], kColour.config);
}

}  // namespace
}  // namespace kelvane::testing
