#include "fake_iidc.h"

namespace kelvane::iidc::fake {

namespace {

Feature Manual(dc1394feature_t id, uint32_t min, uint32_t max, uint32_t value) {
  Feature f;
  f.id = id, f.min = min, f.max = max, f.value = value;
  return f;
}

Feature Automatic(dc1394feature_t id, uint32_t min, uint32_t max, uint32_t value) {
  Feature f = Manual(id, min, max, value);
  f.autoCapable = f.onePushCapable = f.onOffCapable = true;
  f.mode = DC1394_FEATURE_MODE_AUTO;
  return f;
}

Feature Absolute(Feature f, float absMin, float absMax) {
  f.absoluteCapable = true;
  f.absMin = absMin, f.absMax = absMax;
  return f;
}

}  // namespace

Camera ColourCamera(uint64_t guid) {
  Camera c;
  c.guid = guid;
  c.vendor = "Fakevision";
  c.model = "Colour 1394";
  c.vendorId = 0x00A0B1;
  c.modelId = 0x000101;
  c.modes = {
      {DC1394_VIDEO_MODE_160x120_YUV444, {DC1394_FRAMERATE_7_5, DC1394_FRAMERATE_15, DC1394_FRAMERATE_30}},
      {DC1394_VIDEO_MODE_320x240_YUV422, {DC1394_FRAMERATE_7_5, DC1394_FRAMERATE_15, DC1394_FRAMERATE_30}},
      {DC1394_VIDEO_MODE_640x480_YUV411, {DC1394_FRAMERATE_7_5, DC1394_FRAMERATE_15, DC1394_FRAMERATE_30}},
      {DC1394_VIDEO_MODE_640x480_YUV422, {DC1394_FRAMERATE_7_5, DC1394_FRAMERATE_15}},
      {DC1394_VIDEO_MODE_640x480_RGB8, {DC1394_FRAMERATE_7_5, DC1394_FRAMERATE_15}},
      {DC1394_VIDEO_MODE_640x480_MONO8,
       {DC1394_FRAMERATE_7_5, DC1394_FRAMERATE_15, DC1394_FRAMERATE_30, DC1394_FRAMERATE_60}},
      {DC1394_VIDEO_MODE_640x480_MONO16, {DC1394_FRAMERATE_7_5, DC1394_FRAMERATE_15}},
      {DC1394_VIDEO_MODE_1024x768_MONO8, {DC1394_FRAMERATE_3_75, DC1394_FRAMERATE_7_5, DC1394_FRAMERATE_15}},
  };
  Format7Mode full;
  full.mode = DC1394_VIDEO_MODE_FORMAT7_0;
  full.maxWidth = 1280, full.maxHeight = 960;
  full.unitWidth = 16, full.unitHeight = 8;
  full.unitLeft = 8, full.unitTop = 2;
  full.codings = {DC1394_COLOR_CODING_RAW8, DC1394_COLOR_CODING_MONO8, DC1394_COLOR_CODING_YUV422,
                  DC1394_COLOR_CODING_RGB8, DC1394_COLOR_CODING_RAW16};
  full.filter = DC1394_COLOR_FILTER_RGGB;
  full.unitBytes = 8, full.maxBytes = 4096;
  Format7Mode binned;
  binned.mode = DC1394_VIDEO_MODE_FORMAT7_1;
  binned.maxWidth = 640, binned.maxHeight = 480;
  binned.unitWidth = 8, binned.unitHeight = 4;
  binned.codings = {DC1394_COLOR_CODING_MONO8, DC1394_COLOR_CODING_RAW8};
  binned.filter = DC1394_COLOR_FILTER_GBRG;
  binned.unitBytes = 4, binned.maxBytes = 2048, binned.packetSize = 1024;
  c.format7 = {full, binned};

  Feature whiteBalance = Automatic(DC1394_FEATURE_WHITE_BALANCE, 0, 1023, 512);
  whiteBalance.value2 = 600;
  Feature temperature = Manual(DC1394_FEATURE_TEMPERATURE, 1000, 4095, 3000);
  temperature.value2 = 2990;
  Feature shading = Manual(DC1394_FEATURE_WHITE_SHADING, 0, 255, 0);
  shading.red = 128, shading.green = 130, shading.blue = 132;
  Feature gamma = Manual(DC1394_FEATURE_GAMMA, 0, 1, 0);
  gamma.onOffCapable = true;
  Feature delay = Absolute(Manual(DC1394_FEATURE_TRIGGER_DELAY, 0, 4095, 0), 0.0f, 0.04095f);
  delay.onOffCapable = true, delay.on = false;
  c.features = {
      Manual(DC1394_FEATURE_BRIGHTNESS, 0, 255, 128),
      Automatic(DC1394_FEATURE_EXPOSURE, 0, 1023, 300),
      Manual(DC1394_FEATURE_SHARPNESS, 0, 255, 80),
      whiteBalance,
      Manual(DC1394_FEATURE_HUE, 0, 255, 128),
      Manual(DC1394_FEATURE_SATURATION, 0, 255, 90),
      gamma,
      Absolute(Automatic(DC1394_FEATURE_SHUTTER, 1, 4095, 500), 0.0001f, 0.4095f),
      Absolute(Manual(DC1394_FEATURE_GAIN, 0, 680, 100), 0.0f, 24.0f),
      Manual(DC1394_FEATURE_IRIS, 0, 7, 4),
      Automatic(DC1394_FEATURE_FOCUS, 0, 100, 50),
      temperature,
      delay,
      shading,
      Absolute(Manual(DC1394_FEATURE_FRAME_RATE, 0, 480, 120), 0.0f, 60.0f),
      Manual(DC1394_FEATURE_ZOOM, 40, 1000, 40),
      Manual(DC1394_FEATURE_PAN, 0, 100, 50),
      Manual(DC1394_FEATURE_TILT, 0, 100, 50),
      Manual(DC1394_FEATURE_OPTICAL_FILTER, 0, 3, 0),
  };
  c.trigger.modes = {0, 1, 3, 14, 15};
  c.trigger.sources = {0, 1, 7};
  c.advanced = {0x12345678, 0x00000000, 0xCAFE0001, 0x00000010};
  c.mode = DC1394_VIDEO_MODE_640x480_MONO8;
  c.rate = DC1394_FRAMERATE_15;
  return c;
}

Camera MonoCamera(uint64_t guid) {
  Camera c;
  c.guid = guid;
  c.vendor = "Fakevision";
  c.model = "Mono 1394b";
  c.vendorId = 0x00A0B1;
  c.modelId = 0x000202;
  c.bModeCapable = true;
  c.modes = {
      {DC1394_VIDEO_MODE_640x480_MONO8, {DC1394_FRAMERATE_15, DC1394_FRAMERATE_30}},
      {DC1394_VIDEO_MODE_640x480_MONO16, {DC1394_FRAMERATE_7_5, DC1394_FRAMERATE_15}},
  };
  c.features = {
      Manual(DC1394_FEATURE_BRIGHTNESS, 0, 255, 16),
      Absolute(Manual(DC1394_FEATURE_SHUTTER, 2, 2047, 100), 0.00002f, 0.02047f),
      Absolute(Manual(DC1394_FEATURE_GAIN, 0, 511, 0), 0.0f, 12.0f),
  };
  c.trigger.polarityCapable = false;
  c.trigger.modes = {0};
  c.mode = DC1394_VIDEO_MODE_640x480_MONO16;
  c.rate = DC1394_FRAMERATE_7_5;
  return c;
}

}  // namespace kelvane::iidc::fake
