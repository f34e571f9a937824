// The ready-made devices of the fake driver: the cameras the backend's tests
// meet, described as their drivers report them.
#include "fake_v4l2.h"

namespace kelvane::v4l2::fake {

namespace {

constexpr uint32_t kCaptureCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
constexpr uint32_t kWebcamCaps = kCaptureCaps | V4L2_CAP_META_CAPTURE;

std::vector<FrameSize> Sizes(std::initializer_list<std::pair<uint32_t, uint32_t>> sizes, const Intervals& intervals) {
  std::vector<FrameSize> result;
  for (const auto& [w, h] : sizes) result.push_back({.width = w, .height = h, .intervals = intervals});
  return result;
}

std::vector<FrameSize> WebcamSizes() {
  const Intervals common{.discrete = {{1, 30}, {1, 15}}};
  std::vector<FrameSize> sizes = Sizes({{640, 480}, {320, 240}}, common);
  sizes.push_back({.width = 1280, .height = 720, .intervals = {.discrete = {{1, 30}, {1, 15}, {1, 10}}}});
  return sizes;
}

Control Integer(uint32_t id, const char* name, int32_t min, int32_t max, int32_t step, int32_t def) {
  return {.id = id, .name = name, .minimum = min, .maximum = max, .step = step, .defaultValue = def};
}

Control Boolean(uint32_t id, const char* name, int32_t def) {
  return {.id = id, .type = V4L2_CTRL_TYPE_BOOLEAN, .name = name, .maximum = 1, .defaultValue = def};
}

Control Yielding(Control control, uint32_t autoId, int32_t manualValue) {
  control.autoId = autoId;
  control.manualValue = manualValue;
  return control;
}

}  // namespace

Device UvcWebcam(const std::string& path) {
  return {
      .path = path,
      .driver = "uvcvideo",
      .card = "Fake Webcam HD",
      .busInfo = "usb-0000:00:14.0-1",
      .deviceCaps = kCaptureCaps,
      .physicalCaps = kWebcamCaps,
      .formats =
          {
              {.fourcc = V4L2_PIX_FMT_YUYV, .description = "YUYV 4:2:2", .sizes = WebcamSizes()},
              {.fourcc = V4L2_PIX_FMT_MJPEG,
               .description = "Motion-JPEG",
               .flags = V4L2_FMT_FLAG_COMPRESSED,
               .sizes = WebcamSizes()},
          },
      .controls =
          {
              Integer(V4L2_CID_BRIGHTNESS, "Brightness", -64, 64, 1, 0),
              Integer(V4L2_CID_CONTRAST, "Contrast", 0, 64, 1, 32),
              Integer(V4L2_CID_SATURATION, "Saturation", 0, 128, 1, 64),
              Integer(V4L2_CID_HUE, "Hue", -40, 40, 1, 0),
              Boolean(V4L2_CID_AUTO_WHITE_BALANCE, "White Balance, Automatic", 1),
              Integer(V4L2_CID_GAMMA, "Gamma", 72, 500, 1, 100),
              Integer(V4L2_CID_GAIN, "Gain", 0, 100, 1, 0),
              {.id = V4L2_CID_POWER_LINE_FREQUENCY,
               .type = V4L2_CTRL_TYPE_MENU,
               .name = "Power Line Frequency",
               .maximum = 2,
               .defaultValue = 1,
               .menu = {"Disabled", "50 Hz", "60 Hz"}},
              Yielding(Integer(V4L2_CID_WHITE_BALANCE_TEMPERATURE, "White Balance Temperature", 2800, 6500, 10, 4600),
                       V4L2_CID_AUTO_WHITE_BALANCE, 0),
              Integer(V4L2_CID_SHARPNESS, "Sharpness", 0, 6, 1, 3),
              Integer(V4L2_CID_BACKLIGHT_COMPENSATION, "Backlight Compensation", 0, 2, 1, 1),
              // Auto exposure offers manual and aperture priority only: 0 and 2 are skipped.
              {.id = V4L2_CID_EXPOSURE_AUTO,
               .type = V4L2_CTRL_TYPE_MENU,
               .name = "Auto Exposure",
               .maximum = 3,
               .defaultValue = V4L2_EXPOSURE_APERTURE_PRIORITY,
               .menu = {"", "Manual Mode", "", "Aperture Priority Mode"}},
              Yielding(Integer(V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", 3, 2047, 1, 250),
                       V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL),
              Integer(V4L2_CID_PAN_ABSOLUTE, "Pan, Absolute", -36000, 36000, 3600, 0),
              Integer(V4L2_CID_TILT_ABSOLUTE, "Tilt, Absolute", -36000, 36000, 3600, 0),
              Yielding(Integer(V4L2_CID_FOCUS_ABSOLUTE, "Focus, Absolute", 0, 250, 5, 0), V4L2_CID_FOCUS_AUTO, 0),
              Boolean(V4L2_CID_FOCUS_AUTO, "Focus, Automatic Continuous", 1),
              Integer(V4L2_CID_ZOOM_ABSOLUTE, "Zoom, Absolute", 100, 500, 1, 100),
          },
  };
}

Device MetadataNode(const std::string& path) {
  return {
      .path = path,
      .driver = "uvcvideo",
      .card = "Fake Webcam HD",
      .busInfo = "usb-0000:00:14.0-1",
      .deviceCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT,
      .physicalCaps = kWebcamCaps,
      .formats = {{.fourcc = V4L2_META_FMT_UVC, .description = "UVC Payload Header Metadata", .sizeimage = 10240}},
  };
}

Device OutputNode(const std::string& path) {
  return {
      .path = path,
      .driver = "fakeout",
      .card = "Fake Video Output",
      .busInfo = "platform:fakeout",
      .deviceCaps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING,
      .formats = {{.fourcc = V4L2_PIX_FMT_YUYV,
                   .description = "YUYV 4:2:2",
                   .sizes = Sizes({{640, 480}}, {.discrete = {{1, 30}}})}},
  };
}

Device BayerCamera(const std::string& path) {
  const StepwiseSizes sizes{.minWidth = 64,
                            .maxWidth = 640,
                            .stepWidth = 16,
                            .minHeight = 48,
                            .maxHeight = 480,
                            .stepHeight = 16,
                            .intervals = {.stepwise = StepwiseIntervals{{1, 60}, {1, 1}, {1, 60}}}};
  auto bayer = [&](uint32_t fourcc, const char* description) {
    return Format{.fourcc = fourcc, .description = description, .stepwise = sizes};
  };
  return {
      .path = path,
      .driver = "fakeraw",
      .card = "Fake Raw Sensor",
      .busInfo = "platform:fakeraw",
      .deviceCaps = kCaptureCaps,
      .formats = {bayer(V4L2_PIX_FMT_SRGGB8, "8-bit Bayer RGRG/GBGB"),
                  bayer(V4L2_PIX_FMT_SGRBG8, "8-bit Bayer GRGR/BGBG"),
                  bayer(V4L2_PIX_FMT_SGBRG8, "8-bit Bayer GBGB/RGRG"),
                  bayer(V4L2_PIX_FMT_SBGGR8, "8-bit Bayer BGBG/GRGR"),
                  bayer(V4L2_PIX_FMT_SRGGB16, "16-bit Bayer RGRG/GBGB")},
  };
}

Device Grey16Camera(const std::string& path) {
  const Intervals intervals{.discrete = {{1, 30}, {2, 15}}};
  return {
      .path = path,
      .driver = "fakemono",
      .card = "Fake Mono Camera",
      .busInfo = "usb-0000:00:14.0-3",
      .deviceCaps = kCaptureCaps,
      .formats =
          {
              {.fourcc = V4L2_PIX_FMT_Y16,
               .description = "16-bit Greyscale",
               .sizes = Sizes({{1024, 768}}, intervals),
               .strideExtra = 64},
              {.fourcc = V4L2_PIX_FMT_GREY,
               .description = "8-bit Greyscale",
               .sizes = Sizes({{1024, 768}}, intervals),
               .strideExtra = 32},
          },
      .controls = {Integer(V4L2_CID_GAIN, "Gain", 0, 480, 1, 0),
                   Integer(V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", 1, 10000, 1, 333)},
  };
}

Device MultiPlanarCamera(const std::string& path) {
  const Intervals intervals{.discrete = {{1, 30}}};
  return {
      .path = path,
      .driver = "fakemplane",
      .card = "Fake Multiplanar Camera",
      .busInfo = "platform:fakemplane",
      .deviceCaps = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT,
      .formats =
          {
              {.fourcc = V4L2_PIX_FMT_YUV420,
               .description = "Planar YUV 4:2:0",
               .sizes = Sizes({{640, 480}, {320, 240}}, intervals)},
              {.fourcc = V4L2_PIX_FMT_NV12,
               .description = "Y/UV 4:2:0",
               .sizes = Sizes({{640, 480}, {320, 240}}, intervals)},
          },
  };
}

Device FormatZoo(const std::string& path) {
  auto small = [](uint32_t fourcc, const char* description) {
    return Format{.fourcc = fourcc, .description = description, .sizes = Sizes({{64, 48}}, {.discrete = {{1, 30}}})};
  };
  return {
      .path = path,
      .driver = "fakezoo",
      .card = "Fake Format Zoo",
      .busInfo = "platform:fakezoo",
      .deviceCaps = kCaptureCaps,
      .formats = {small(V4L2_PIX_FMT_UYVY, "UYVY 4:2:2"), small(V4L2_PIX_FMT_Y41P, "YUV 4:1:1 (Packed)"),
                  small(V4L2_PIX_FMT_YVU420, "Planar YVU 4:2:0"), small(V4L2_PIX_FMT_RGB24, "24-bit RGB 8-8-8"),
                  small(V4L2_PIX_FMT_BGR24, "24-bit BGR 8-8-8"), small(V4L2_PIX_FMT_XBGR32, "32-bit BGRX 8-8-8-8"),
                  small(V4L2_PIX_FMT_ABGR32, "32-bit BGRA 8-8-8-8"), small(V4L2_PIX_FMT_XRGB32, "32-bit XRGB 8-8-8-8")},
  };
}

}  // namespace kelvane::v4l2::fake
