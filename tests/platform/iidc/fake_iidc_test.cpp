// The fake IIDC camera keeps the contract the backend depends on: its
// registers and its feature and Format 7 calls are one state seen two ways,
// packet sizes and regions follow the camera's units, frames carry the bytes
// of each colour coding in the camera's order, and faults end a capture with
// the library's errors and leave nothing behind.
#include "fake_iidc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>
#include <thread>
#include <vector>

namespace kelvane::iidc::fake {
namespace {

constexpr uint64_t kColour = 0x0814436102aa0001ull;
constexpr uint64_t kMono = 0x0814436102bb0002ull;

// A fake with both ready-made cameras and a context.
struct Bus {
  Bus() {
    fake.AddCamera(ColourCamera(kColour));
    fake.AddCamera(MonoCamera(kMono));
    context = fake.New();
  }
  ~Bus() {
    if (context) fake.Free(context);
  }
  dc1394camera_t* Open(uint64_t guid) { return fake.CameraNewUnit(context, guid, 0); }
  uint32_t Reg(dc1394camera_t* camera, uint64_t offset) {
    uint32_t v = 0xDEADBEEF;
    EXPECT_EQ(fake.GetControlRegisters(camera, offset, &v, 1), DC1394_SUCCESS) << std::hex << offset;
    return v;
  }
  void SetReg(dc1394camera_t* camera, uint64_t offset, uint32_t v) {
    EXPECT_EQ(fake.SetControlRegisters(camera, offset, &v, 1), DC1394_SUCCESS) << std::hex << offset;
  }

  FakeIidc fake;
  dc1394_t* context = nullptr;
};

// Every feature both ways: the inquiry and status registers against the
// feature calls, a value set by call shown in the register, a register write
// shown by the call, values out of range refused by call and ignored by the
// register.
TEST(FakeIidcFeatures, RegistersAndCallsAgreeBothWays) {
  for (const uint64_t guid : {kColour, kMono}) {
    Bus bus;
    dc1394camera_t* cam = bus.Open(guid);
    ASSERT_NE(cam, nullptr);
    dc1394featureset_t all;
    ASSERT_EQ(bus.fake.FeatureGetAll(cam, &all), DC1394_SUCCESS);
    const uint32_t hi = bus.Reg(cam, kFeatureHiInq), lo = bus.Reg(cam, kFeatureLoInq);
    for (const dc1394feature_info_t& info : all.feature) {
      const int i = info.id - DC1394_FEATURE_MIN;
      const bool listed = i < 16   ? (hi >> (31 - i)) & 1
                          : i < 20 ? (lo >> (31 - (i - 16))) & 1
                                   : (lo >> (15 - (i - 20))) & 1;
      EXPECT_EQ(listed, bool(info.available)) << info.id;
      const uint32_t inq = bus.Reg(cam, kFeatureInq + FeatureSlot(info.id));
      EXPECT_EQ(bool(inq & kPresence), bool(info.available)) << info.id;
      if (!info.available || info.id == DC1394_FEATURE_TRIGGER) continue;
      EXPECT_EQ((inq >> 12) & 0xFFF, info.min) << info.id;
      EXPECT_EQ(inq & 0xFFF, info.max) << info.id;
      EXPECT_EQ(bool(inq & kInqAbsControl), bool(info.absolute_capable)) << info.id;
      const auto* modes = info.modes.modes;
      EXPECT_EQ(bool(inq & kInqAuto), std::count(modes, modes + info.modes.num, DC1394_FEATURE_MODE_AUTO) == 1);
      const uint64_t csr = kFeatureCsr + FeatureSlot(info.id);
      const uint32_t mid = (info.min + info.max) / 2;
      if (info.id == DC1394_FEATURE_WHITE_BALANCE) {
        EXPECT_EQ(bus.Reg(cam, csr) & 0xFFFFFF, info.BU_value << 12 | info.RV_value);
        ASSERT_EQ(bus.fake.FeatureWhitebalanceSetValue(cam, mid, mid + 1), DC1394_SUCCESS);
        EXPECT_EQ(bus.Reg(cam, csr) & 0xFFFFFF, mid << 12 | (mid + 1));
        bus.SetReg(cam, csr, kPresence | 7u << 12 | 9u);
        uint32_t ub = 0, vr = 0;
        ASSERT_EQ(bus.fake.FeatureWhitebalanceGetValue(cam, &ub, &vr), DC1394_SUCCESS);
        EXPECT_EQ(ub, 7u);
        EXPECT_EQ(vr, 9u);
        EXPECT_EQ(bus.fake.FeatureWhitebalanceSetValue(cam, info.max + 1, 0), DC1394_REQ_VALUE_OUTSIDE_RANGE);
        EXPECT_EQ(bus.fake.FeatureSetValue(cam, info.id, mid), DC1394_INVALID_FEATURE);
        continue;
      }
      if (info.id == DC1394_FEATURE_TEMPERATURE) {
        EXPECT_EQ(bus.Reg(cam, csr) & 0xFFFFFF, info.target_value << 12 | info.value);
        ASSERT_EQ(bus.fake.FeatureTemperatureSetValue(cam, mid), DC1394_SUCCESS);
        EXPECT_EQ(bus.Reg(cam, csr) & 0xFFFFFF, mid << 12 | info.value);  // the current value is read only
        continue;
      }
      if (info.id == DC1394_FEATURE_WHITE_SHADING) {
        EXPECT_EQ(bus.Reg(cam, csr) & 0xFFFFFF, info.R_value << 16 | info.G_value << 8 | info.B_value);
        bus.SetReg(cam, csr, kPresence | 1u << 16 | 2u << 8 | 3u);
        uint32_t r = 0, g = 0, b = 0;
        ASSERT_EQ(bus.fake.FeatureWhiteshadingGetValue(cam, &r, &g, &b), DC1394_SUCCESS);
        EXPECT_EQ(r * 100 + g * 10 + b, 123u);
        continue;
      }
      EXPECT_EQ(bus.Reg(cam, csr) & 0xFFF, info.value) << info.id;
      ASSERT_EQ(bus.fake.FeatureSetValue(cam, info.id, mid), DC1394_SUCCESS);
      EXPECT_EQ(bus.Reg(cam, csr) & 0xFFF, mid) << info.id;
      const uint32_t keep = bus.Reg(cam, csr);
      bus.SetReg(cam, csr, (keep & ~0xFFFu) | info.min);
      uint32_t value = 0;
      ASSERT_EQ(bus.fake.FeatureGetValue(cam, info.id, &value), DC1394_SUCCESS);
      EXPECT_EQ(value, info.min) << info.id;
      EXPECT_EQ(bus.fake.FeatureSetValue(cam, info.id, info.max + 1), DC1394_REQ_VALUE_OUTSIDE_RANGE);
      if (info.min > 0) {
        bus.SetReg(cam, csr, (keep & ~0xFFFu) | (info.min - 1));  // below range: the camera keeps its value
        EXPECT_EQ(bus.Reg(cam, csr) & 0xFFF, info.min) << info.id;
      }
      // The presence bit is the camera's, and the auto bit sticks only where the camera has auto.
      bus.SetReg(cam, csr, (bus.Reg(cam, csr) & ~kPresence) | kCsrAuto);
      dc1394feature_mode_t mode{};
      ASSERT_EQ(bus.fake.FeatureGetMode(cam, info.id, &mode), DC1394_SUCCESS);
      EXPECT_TRUE(bus.Reg(cam, csr) & kPresence);
      const bool hasAuto = bus.Reg(cam, kFeatureInq + FeatureSlot(info.id)) & kInqAuto;
      EXPECT_EQ(mode == DC1394_FEATURE_MODE_AUTO, hasAuto) << info.id;
      if (!info.absolute_capable) continue;
      // Absolute values: the CSR the inquiry points to, and the value moving with them.
      const uint64_t abs = uint64_t(bus.Reg(cam, kAbsCsrInq + FeatureSlot(info.id))) * 4 - 0xF00000;
      float lowest = 0, highest = 0;
      ASSERT_EQ(bus.fake.FeatureGetAbsoluteBoundaries(cam, info.id, &lowest, &highest), DC1394_SUCCESS);
      const uint32_t bits = bus.Reg(cam, abs + 4);
      float fromRegister;
      std::memcpy(&fromRegister, &bits, 4);
      EXPECT_EQ(fromRegister, highest);
      ASSERT_EQ(bus.fake.FeatureSetAbsoluteValue(cam, info.id, highest), DC1394_SUCCESS);
      ASSERT_EQ(bus.fake.FeatureGetValue(cam, info.id, &value), DC1394_SUCCESS);
      EXPECT_EQ(value, info.max) << info.id;
      EXPECT_EQ(bus.fake.FeatureSetAbsoluteValue(cam, info.id, highest * 2 + 1), DC1394_REQ_VALUE_OUTSIDE_RANGE);
    }
    bus.fake.CameraFree(cam);
  }
}

struct TriggerCase {
  const char* name;
  uint64_t guid;
  uint32_t write;  // to TRIGGER_MODE
  bool on, polarityHigh;
  uint32_t source, mode, parameter;
};
void PrintTo(const TriggerCase& c, std::ostream* out) { *out << c.name; }

class FakeIidcTrigger : public ::testing::TestWithParam<TriggerCase> {};

TEST_P(FakeIidcTrigger, WritableFieldsChangeAndTheRestAreIgnored) {
  const TriggerCase& c = GetParam();
  Bus bus;
  dc1394camera_t* cam = bus.Open(c.guid);
  bus.SetReg(cam, kTriggerMode, c.write);
  const uint32_t v = bus.Reg(cam, kTriggerMode);
  EXPECT_TRUE(v & kPresence);
  EXPECT_EQ(bool(v & kTriggerOn), c.on);
  EXPECT_EQ(bool(v & kTriggerPolarityHigh), c.polarityHigh);
  EXPECT_EQ((v >> kTriggerSourceShift) & 7, c.source);
  EXPECT_EQ((v >> kTriggerModeShift) & 0xF, c.mode);
  EXPECT_EQ(v & 0xFFF, c.parameter);
  EXPECT_FALSE(v & kTriggerValue);
  dc1394featureset_t all;
  ASSERT_EQ(bus.fake.FeatureGetAll(cam, &all), DC1394_SUCCESS);
  const dc1394feature_info_t& t = all.feature[DC1394_FEATURE_TRIGGER - DC1394_FEATURE_MIN];
  EXPECT_EQ(t.is_on, c.on ? DC1394_ON : DC1394_OFF);
  EXPECT_EQ(t.trigger_polarity, c.polarityHigh ? DC1394_TRIGGER_ACTIVE_HIGH : DC1394_TRIGGER_ACTIVE_LOW);
  EXPECT_EQ(t.trigger_mode,
            c.mode <= 5 ? DC1394_TRIGGER_MODE_0 + int(c.mode) : DC1394_TRIGGER_MODE_14 + int(c.mode - 14));
  EXPECT_EQ(t.value, c.parameter);
  // The inquiry register lists exactly the modes the feature set does.
  const uint32_t inq = bus.Reg(cam, kTriggerInq);
  uint32_t listed = 0;
  for (uint32_t m = 0; m < t.trigger_modes.num; ++m) {
    const int n = t.trigger_modes.modes[m] - DC1394_TRIGGER_MODE_0;
    listed |= 1u << (15 - (n <= 5 ? n : n == 6 ? 14 : 15));
  }
  EXPECT_EQ(inq & 0xFFFF, listed);
  bus.fake.CameraFree(cam);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, FakeIidcTrigger,
    ::testing::Values(
        TriggerCase{"OnHighMode1", kColour, kTriggerOn | kTriggerPolarityHigh | 1u << 21 | 1u << 16 | 5, true, true, 1,
                    1, 5},
        TriggerCase{"Mode15Software", kColour, kTriggerOn | 7u << 21 | 15u << 16 | 0xFFF, true, false, 7, 15, 0xFFF},
        TriggerCase{"UnofferedModeAndSourceKept", kColour, 2u << 21 | 2u << 16 | 3, false, false, 0, 0, 3},
        TriggerCase{"NoPolarityControl", kMono, kTriggerOn | kTriggerPolarityHigh, true, false, 0, 0, 0},
        TriggerCase{"PresenceCleared", kColour, 0, false, false, 0, 0, 0}),
    [](const auto& param) { return std::string(param.param.name); });

struct RoiCase {
  const char* name;
  dc1394video_mode_t mode;
  int32_t packet, left, top, width, height;
  dc1394error_t expected;
};
void PrintTo(const RoiCase& c, std::ostream* out) { *out << c.name; }

class FakeIidcFormat7 : public ::testing::TestWithParam<RoiCase> {};

TEST_P(FakeIidcFormat7, RegionAndPacketRulesAndTheirRegisters) {
  const RoiCase& c = GetParam();
  Bus bus;
  dc1394camera_t* cam = bus.Open(kColour);
  const uint64_t csr = uint64_t(bus.Reg(cam, kVCsrInq7 + 4 * uint64_t(c.mode - DC1394_VIDEO_MODE_FORMAT7_0))) * 4 -
                       cam->command_registers_base;
  ASSERT_EQ(csr, kFormat7CsrArea + 0x100 * uint64_t(c.mode - DC1394_VIDEO_MODE_FORMAT7_0));
  const uint32_t before = bus.Reg(cam, csr + kF7ImageSize);
  EXPECT_EQ(bus.fake.Format7SetRoi(cam, c.mode, DC1394_COLOR_CODING_MONO8, c.packet, c.left, c.top, c.width, c.height),
            c.expected);
  dc1394color_coding_t coding{};
  uint32_t packet = 0, left = 0, top = 0, width = 0, height = 0;
  ASSERT_EQ(bus.fake.Format7GetRoi(cam, c.mode, &coding, &packet, &left, &top, &width, &height), DC1394_SUCCESS);
  if (c.expected == DC1394_SUCCESS) {
    EXPECT_EQ(left, uint32_t(c.left));
    EXPECT_EQ(width, uint32_t(c.width));
    EXPECT_EQ(packet, uint32_t(c.packet));
  } else {
    EXPECT_EQ(bus.Reg(cam, csr + kF7ImageSize), before);  // nothing half-applied
  }
  EXPECT_EQ(bus.Reg(cam, csr + kF7ImagePosition), left << 16 | top);
  EXPECT_EQ(bus.Reg(cam, csr + kF7ImageSize), width << 16 | height);
  EXPECT_EQ(bus.Reg(cam, csr + kF7BytePerPacket) >> 16, packet);
  uint64_t total = 0;
  ASSERT_EQ(bus.fake.Format7GetTotalBytes(cam, c.mode, &total), DC1394_SUCCESS);
  EXPECT_EQ(total, uint64_t(width) * height * BitsPerPixel(coding) / 8);
  EXPECT_EQ(uint64_t(bus.Reg(cam, csr + kF7TotalBytesHiInq)) << 32 | bus.Reg(cam, csr + kF7TotalBytesLoInq), total);
  EXPECT_EQ(bus.Reg(cam, csr + kF7PacketPerFrameInq), (total + packet - 1) / packet);

  // The same rules through the register: a refused write leaves the size and raises the error flag.
  bus.SetReg(cam, csr + kF7ImageSize, (width + 1) << 16 | height);
  EXPECT_EQ(bus.Reg(cam, csr + kF7ImageSize), width << 16 | height);
  EXPECT_TRUE(bus.Reg(cam, csr + kF7ValueSetting) & (1u << 23));
  uint32_t unit = 0, most = 0;
  ASSERT_EQ(bus.fake.Format7GetPacketParameters(cam, c.mode, &unit, &most), DC1394_SUCCESS);
  EXPECT_EQ(bus.fake.Format7SetPacketSize(cam, c.mode, most + unit), DC1394_REQ_VALUE_OUTSIDE_RANGE);
  bus.SetReg(cam, csr + kF7BytePerPacket, unit << 16);
  EXPECT_EQ(bus.Reg(cam, csr + kF7ValueSetting) & (1u << 23), 0u);
  ASSERT_EQ(bus.fake.Format7GetPacketSize(cam, c.mode, &packet), DC1394_SUCCESS);
  EXPECT_EQ(packet, unit);
  bus.fake.CameraFree(cam);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FakeIidcFormat7,
    ::testing::Values(
        RoiCase{"FullSensor", DC1394_VIDEO_MODE_FORMAT7_0, 4096, 0, 0, 1280, 960, DC1394_SUCCESS},
        // Position units (8, 2) differ from size units (16, 8).
        RoiCase{"OnPositionUnits", DC1394_VIDEO_MODE_FORMAT7_0, 1000, 8, 2, 320, 240, DC1394_SUCCESS},
        RoiCase{"LeftOffUnit", DC1394_VIDEO_MODE_FORMAT7_0, 1000, 4, 2, 320, 240, DC1394_REQ_VALUE_OUTSIDE_RANGE},
        RoiCase{"WidthOffUnit", DC1394_VIDEO_MODE_FORMAT7_0, 1000, 0, 0, 328, 240, DC1394_REQ_VALUE_OUTSIDE_RANGE},
        RoiCase{"PastTheRightEdge", DC1394_VIDEO_MODE_FORMAT7_0, 1000, 16, 0, 1280, 960,
                DC1394_REQ_VALUE_OUTSIDE_RANGE},
        RoiCase{"ZeroHeight", DC1394_VIDEO_MODE_FORMAT7_0, 1000, 0, 0, 320, 0, DC1394_REQ_VALUE_OUTSIDE_RANGE},
        RoiCase{"PacketOffUnitBytes", DC1394_VIDEO_MODE_FORMAT7_0, 1004, 0, 0, 320, 240,
                DC1394_REQ_VALUE_OUTSIDE_RANGE},
        RoiCase{"PacketOverMax", DC1394_VIDEO_MODE_FORMAT7_1, 2052, 0, 0, 640, 480, DC1394_REQ_VALUE_OUTSIDE_RANGE},
        RoiCase{"PacketOneUnit", DC1394_VIDEO_MODE_FORMAT7_1, 4, 0, 0, 8, 4, DC1394_SUCCESS},
        RoiCase{"BinnedCorner", DC1394_VIDEO_MODE_FORMAT7_1, 2048, 632, 476, 8, 4, DC1394_SUCCESS}),
    [](const auto& param) { return std::string(param.param.name); });

// One grab of a mode and coding: the bytes in the camera's order, and every
// frame field as the library documents it.
struct FrameCase {
  const char* name;
  dc1394video_mode_t mode;
  dc1394color_coding_t coding;  // Format 7 only
  uint32_t left, top, width, height;
  // The first pixel group of a row in the byte order an IIDC camera sends it.
  std::vector<std::pair<Channel, uint32_t>> group;
};
void PrintTo(const FrameCase& c, std::ostream* out) { *out << c.name; }

class FakeIidcFrames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FakeIidcFrames, BytesInTheCamerasOrderAndFieldsAsDocumented) {
  const FrameCase& c = GetParam();
  Bus bus;
  dc1394camera_t* cam = bus.Open(kColour);
  const bool f7 = c.mode >= DC1394_VIDEO_MODE_FORMAT7_0;
  if (f7) {
    ASSERT_EQ(bus.fake.Format7SetRoi(cam, c.mode, c.coding, DC1394_USE_MAX_AVAIL, int32_t(c.left), int32_t(c.top),
                                     int32_t(c.width), int32_t(c.height)),
              DC1394_SUCCESS);
  } else {
    ASSERT_EQ(bus.fake.VideoSetFramerate(cam, DC1394_FRAMERATE_7_5), DC1394_SUCCESS);
  }
  ASSERT_EQ(bus.fake.VideoSetMode(cam, c.mode), DC1394_SUCCESS);
  dc1394color_coding_t coding{};
  ASSERT_EQ(bus.fake.GetColorCodingFromVideoMode(cam, c.mode, &coding), DC1394_SUCCESS);
  ASSERT_EQ(bus.fake.CaptureSetup(cam, 2, DC1394_CAPTURE_FLAGS_DEFAULT), DC1394_SUCCESS);
  ASSERT_EQ(bus.fake.VideoSetTransmission(cam, DC1394_ON), DC1394_SUCCESS);
  dc1394video_frame_t* frame = nullptr;
  for (int i = 0; i < 2; ++i) {  // the second frame: sequence 1
    if (frame) {
      ASSERT_EQ(bus.fake.CaptureEnqueue(cam, frame), DC1394_SUCCESS);
    }
    ASSERT_EQ(bus.fake.CaptureDequeue(cam, DC1394_CAPTURE_POLICY_POLL, &frame), DC1394_SUCCESS);
    ASSERT_NE(frame, nullptr);
  }
  const bool wide = BitsPerPixel(coding) == 16 && coding != DC1394_COLOR_CODING_YUV422;
  const uint32_t stride = c.width * BitsPerPixel(coding) / 8;
  EXPECT_EQ(frame->size[0], c.width);
  EXPECT_EQ(frame->size[1], c.height);
  EXPECT_EQ(frame->position[0], c.left);
  EXPECT_EQ(frame->position[1], c.top);
  EXPECT_EQ(frame->color_coding, coding);
  EXPECT_EQ(frame->stride, stride);
  EXPECT_EQ(frame->image_bytes, stride * c.height);
  EXPECT_EQ(frame->data_depth, wide ? 16u : 8u);
  EXPECT_EQ(frame->video_mode, c.mode);
  EXPECT_EQ(frame->yuv_byte_order, uint32_t(DC1394_BYTE_ORDER_UYVY));
  EXPECT_EQ(frame->little_endian, DC1394_FALSE);
  EXPECT_EQ(frame->camera, cam);
  EXPECT_EQ(frame->id, 1u);
  EXPECT_EQ(frame->total_bytes, uint64_t(frame->packets_per_frame) * frame->packet_size);
  EXPECT_EQ(frame->padding_bytes, frame->total_bytes - frame->image_bytes);
  EXPECT_LT(frame->padding_bytes, frame->packet_size);
  if (f7) {
    uint32_t packet = 0;
    ASSERT_EQ(bus.fake.Format7GetPacketSize(cam, c.mode, &packet), DC1394_SUCCESS);
    EXPECT_EQ(frame->packet_size, packet);
    EXPECT_EQ(frame->color_filter,
              c.mode == DC1394_VIDEO_MODE_FORMAT7_0 ? DC1394_COLOR_FILTER_RGGB : DC1394_COLOR_FILTER_GBRG);
  } else {
    EXPECT_EQ(frame->packet_size, FixedPacketSize(c.mode, DC1394_FRAMERATE_7_5));
  }
  for (uint64_t i = frame->image_bytes; i < frame->total_bytes; ++i) ASSERT_EQ(frame->image[i], kPaddingMarker);

  // The first group of row 1, from the pattern and the IIDC byte order of the coding.
  std::vector<uint8_t> expected;
  for (const auto& [channel, pixel] : c.group) {
    const uint16_t v = PatternValue(1, c.left + pixel, c.top + 1, channel, wide);
    if (wide) expected.push_back(uint8_t(v >> 8));
    expected.push_back(uint8_t(v));
  }
  EXPECT_EQ(std::vector<uint8_t>(frame->image + stride, frame->image + stride + expected.size()), expected);
  FrameRequest request{c.mode, coding, c.width, c.height, c.left, c.top, stride, 1};
  const std::vector<uint8_t> image = ExpectedImage(request);
  EXPECT_EQ(std::memcmp(frame->image, image.data(), image.size()), 0);

  EXPECT_EQ(bus.fake.CaptureEnqueue(cam, frame), DC1394_SUCCESS);
  EXPECT_EQ(bus.fake.CaptureStop(cam), DC1394_SUCCESS);
  bus.fake.CameraFree(cam);
  EXPECT_EQ(bus.fake.Stats().framesHeld, 0);
}

using C = Channel;
INSTANTIATE_TEST_SUITE_P(
    Codings, FakeIidcFrames,
    ::testing::Values(
        FrameCase{"Yuv444", DC1394_VIDEO_MODE_160x120_YUV444, {}, 0, 0, 160, 120, {{C::kU, 0}, {C::kY, 0}, {C::kV, 0}}},
        FrameCase{"Yuv422",
                  DC1394_VIDEO_MODE_320x240_YUV422,
                  {},
                  0,
                  0,
                  320,
                  240,
                  {{C::kU, 0}, {C::kY, 0}, {C::kV, 0}, {C::kY, 1}}},
        FrameCase{"Yuv411",
                  DC1394_VIDEO_MODE_640x480_YUV411,
                  {},
                  0,
                  0,
                  640,
                  480,
                  {{C::kU, 0}, {C::kY, 0}, {C::kY, 1}, {C::kV, 0}, {C::kY, 2}, {C::kY, 3}}},
        FrameCase{"Rgb8", DC1394_VIDEO_MODE_640x480_RGB8, {}, 0, 0, 640, 480, {{C::kR, 0}, {C::kG, 0}, {C::kB, 0}}},
        FrameCase{"Mono8", DC1394_VIDEO_MODE_1024x768_MONO8, {}, 0, 0, 1024, 768, {{C::kY, 0}, {C::kY, 1}}},
        FrameCase{"Mono16BigEndian", DC1394_VIDEO_MODE_640x480_MONO16, {}, 0, 0, 640, 480, {{C::kY, 0}, {C::kY, 1}}},
        FrameCase{"F7Raw8Region",
                  DC1394_VIDEO_MODE_FORMAT7_0,
                  DC1394_COLOR_CODING_RAW8,
                  40,
                  6,
                  320,
                  240,
                  {{C::kRaw, 0}, {C::kRaw, 1}}},
        FrameCase{
            "F7Raw16BigEndian", DC1394_VIDEO_MODE_FORMAT7_0, DC1394_COLOR_CODING_RAW16, 0, 0, 64, 48, {{C::kRaw, 0}}},
        FrameCase{"F7Yuv422",
                  DC1394_VIDEO_MODE_FORMAT7_0,
                  DC1394_COLOR_CODING_YUV422,
                  16,
                  8,
                  96,
                  16,
                  {{C::kU, 0}, {C::kY, 0}, {C::kV, 0}, {C::kY, 1}}},
        FrameCase{
            "F7BinnedMono8", DC1394_VIDEO_MODE_FORMAT7_1, DC1394_COLOR_CODING_MONO8, 0, 0, 640, 480, {{C::kY, 0}}}),
    [](const auto& param) { return std::string(param.param.name); });

// Faults in the middle of a capture: what dequeue, poll and the enumeration
// answer, and that the host's cleanup releases everything.
enum class Fault { kUnplugAfterFrames, kUnplugCall, kBusResetAfterFrames, kBusResetCall, kStalled };
struct FaultCase {
  const char* name;
  Fault fault;
  dc1394error_t dequeue;  // after the fault, POLICY_POLL
  int poll;
  bool listed;  // still enumerated
};
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class FakeIidcFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FakeIidcFaults, EndTheCaptureWithTheLibrarysErrorsAndLeakNothing) {
  const FaultCase& c = GetParam();
  Bus bus;
  bus.fake.Configure(kColour, [&](Camera& camera) {
    if (c.fault == Fault::kUnplugAfterFrames) camera.unplugAfterFrames = 2;
    if (c.fault == Fault::kBusResetAfterFrames) camera.busResetAfterFrames = 2;
  });
  dc1394camera_t* cam = bus.Open(kColour);
  ASSERT_EQ(bus.fake.CaptureSetup(cam, 3, DC1394_CAPTURE_FLAGS_AUTO_ISO), DC1394_SUCCESS);
  EXPECT_EQ(bus.fake.CaptureSetup(cam, 3, 0), DC1394_CAPTURE_IS_RUNNING);
  const int fd = bus.fake.CaptureGetFileno(cam);
  dc1394video_frame_t* held = nullptr;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(bus.fake.Poll(fd, 100), 1);
    ASSERT_EQ(bus.fake.CaptureDequeue(cam, DC1394_CAPTURE_POLICY_WAIT, &held), DC1394_SUCCESS);
    if (i == 0) {
      ASSERT_EQ(bus.fake.CaptureEnqueue(cam, held), DC1394_SUCCESS);
    }
  }
  if (c.fault == Fault::kUnplugCall) {
    ASSERT_TRUE(bus.fake.Unplug(kColour));
  }
  if (c.fault == Fault::kBusResetCall) {
    ASSERT_TRUE(bus.fake.BusReset(kColour));
  }
  if (c.fault == Fault::kStalled) bus.fake.Configure(kColour, [](Camera& camera) { camera.stalled = true; });

  errno = 0;
  EXPECT_EQ(bus.fake.Poll(fd, 100), c.poll);
  if (c.poll < 0) {
    EXPECT_EQ(errno, ENODEV);
  }
  dc1394video_frame_t* frame = held;
  EXPECT_EQ(bus.fake.CaptureDequeue(cam, DC1394_CAPTURE_POLICY_POLL, &frame), c.dequeue);
  EXPECT_EQ(frame, nullptr);
  if (c.fault == Fault::kStalled) {
    EXPECT_EQ(bus.fake.CaptureDequeue(cam, DC1394_CAPTURE_POLICY_WAIT, &frame), DC1394_FAILURE);
    EXPECT_EQ(bus.fake.Stats().stalledWaits, 1);
  }
  dc1394camera_list_t* list = nullptr;
  ASSERT_EQ(bus.fake.CameraEnumerate(bus.context, &list), DC1394_SUCCESS);
  bool listed = false;
  for (uint32_t i = 0; i < list->num; ++i) listed |= list->ids[i].guid == kColour;
  EXPECT_EQ(listed, c.listed);
  bus.fake.CameraFreeList(list);

  // The host's cleanup works whatever happened.
  EXPECT_EQ(bus.fake.CaptureEnqueue(cam, held), DC1394_SUCCESS);
  EXPECT_EQ(bus.fake.CaptureEnqueue(cam, held), DC1394_INVALID_ARGUMENT_VALUE);  // twice
  EXPECT_EQ(bus.fake.CaptureStop(cam), DC1394_SUCCESS);
  EXPECT_EQ(bus.fake.Poll(fd, 100), -1);
  bus.fake.CameraFree(cam);
  bus.fake.Free(bus.context);
  bus.context = nullptr;
  EXPECT_TRUE(bus.fake.AllReleased());
  EXPECT_EQ(bus.fake.Stats().badEnqueues, 1);

  // And the camera comes back usable.
  if (!c.listed) {
    ASSERT_TRUE(bus.fake.Replug(kColour));
  }
  bus.context = bus.fake.New();
  cam = bus.Open(kColour);
  ASSERT_NE(cam, nullptr);
  bus.fake.Configure(kColour, [](Camera& camera) { camera.stalled = false; });
  ASSERT_EQ(bus.fake.CaptureSetup(cam, 2, DC1394_CAPTURE_FLAGS_AUTO_ISO), DC1394_SUCCESS);
  ASSERT_EQ(bus.fake.CaptureDequeue(cam, DC1394_CAPTURE_POLICY_WAIT, &frame), DC1394_SUCCESS);
  EXPECT_NE(frame, nullptr);
  EXPECT_EQ(bus.fake.CaptureStop(cam), DC1394_SUCCESS);
  bus.fake.CameraFree(cam);
}

INSTANTIATE_TEST_SUITE_P(
    Midstream, FakeIidcFaults,
    ::testing::Values(FaultCase{"UnplugAfterFrames", Fault::kUnplugAfterFrames, DC1394_FAILURE, -1, false},
                      FaultCase{"UnplugCall", Fault::kUnplugCall, DC1394_FAILURE, -1, false},
                      FaultCase{"BusResetAfterFrames", Fault::kBusResetAfterFrames, DC1394_FAILURE, 1, true},
                      FaultCase{"BusResetCall", Fault::kBusResetCall, DC1394_FAILURE, 1, true},
                      FaultCase{"Stalled", Fault::kStalled, DC1394_SUCCESS, 0, true}),
    [](const auto& param) { return std::string(param.param.name); });

// Handles the host frees twice or uses after freeing are counted, never
// touched; a replugged camera is a fresh one; a busy camera refuses capture.
TEST(FakeIidcHandles, MisuseIsCountedAndRefused) {
  Bus bus;
  EXPECT_EQ(bus.fake.CameraNewUnit(bus.context, 0x1234, 0), nullptr);
  dc1394camera_t* a = bus.Open(kColour);
  dc1394camera_t* b = bus.Open(kColour);
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a->model, "Colour 1394");
  ASSERT_EQ(bus.fake.CaptureSetup(a, 2, 0), DC1394_SUCCESS);
  EXPECT_EQ(bus.fake.CaptureSetup(b, 2, 0), DC1394_NO_ISO_CHANNEL);  // another handle streams
  EXPECT_EQ(bus.fake.VideoSetMode(b, DC1394_VIDEO_MODE_640x480_RGB8), DC1394_CAPTURE_IS_RUNNING);
  ASSERT_EQ(bus.fake.FeatureSetValue(a, DC1394_FEATURE_BRIGHTNESS, 7), DC1394_SUCCESS);
  bus.fake.CameraFree(a);  // still capturing: stopped for the host
  EXPECT_EQ(bus.fake.Stats().implicitStops, 1);
  bus.fake.CameraFree(a);
  uint32_t v = 0;
  EXPECT_EQ(bus.fake.FeatureGetValue(a, DC1394_FEATURE_BRIGHTNESS, &v), DC1394_CAMERA_NOT_INITIALIZED);
  EXPECT_EQ(bus.fake.Stats().badFrees, 1);
  EXPECT_EQ(bus.fake.Stats().staleUses, 1);

  bus.fake.Configure(kColour, [](Camera& c) { c.busy = true; });
  EXPECT_EQ(bus.fake.CaptureSetup(b, 2, 0), DC1394_NO_ISO_CHANNEL);
  ASSERT_TRUE(bus.fake.Unplug(kColour));
  EXPECT_EQ(bus.fake.FeatureGetValue(b, DC1394_FEATURE_BRIGHTNESS, &v), DC1394_FAILURE);
  ASSERT_TRUE(bus.fake.Replug(kColour));
  EXPECT_EQ(bus.fake.FeatureGetValue(b, DC1394_FEATURE_BRIGHTNESS, &v), DC1394_FAILURE);  // the old handle
  dc1394camera_t* fresh = bus.Open(kColour);
  ASSERT_EQ(bus.fake.FeatureGetValue(fresh, DC1394_FEATURE_BRIGHTNESS, &v), DC1394_SUCCESS);
  EXPECT_EQ(v, 128u);
  EXPECT_EQ(bus.fake.CaptureSetup(fresh, 2, 0), DC1394_SUCCESS);  // not busy any more
  EXPECT_EQ(bus.fake.CaptureStop(fresh), DC1394_SUCCESS);
  bus.fake.CameraFree(fresh);
  bus.fake.CameraFree(b);
  dc1394camera_list_t* list = nullptr;
  ASSERT_EQ(bus.fake.CameraEnumerate(bus.context, &list), DC1394_SUCCESS);
  EXPECT_EQ(list->num, 2u);
  bus.fake.CameraFreeList(list);
  bus.fake.CameraFreeList(list);
  EXPECT_EQ(bus.fake.Stats().badFrees, 2);
}

// The host thread changes features and reads registers while a streaming
// thread dequeues and enqueues: every frame arrives once, in ring order.
TEST(FakeIidcThreads, HostAndStreamingThreadsShareTheCamera) {
  Bus bus;
  dc1394camera_t* cam = bus.Open(kColour);
  ASSERT_EQ(bus.fake.CaptureSetup(cam, 4, DC1394_CAPTURE_FLAGS_AUTO_ISO), DC1394_SUCCESS);
  constexpr int kFrames = 200;
  std::vector<uint32_t> ids;
  std::thread streaming([&] {
    dc1394video_frame_t* frame = nullptr;
    while (int(ids.size()) < kFrames) {
      if (bus.fake.CaptureDequeue(cam, DC1394_CAPTURE_POLICY_POLL, &frame) != DC1394_SUCCESS || !frame) continue;
      ids.push_back(frame->id);
      bus.fake.CaptureEnqueue(cam, frame);
    }
  });
  for (uint32_t i = 0; i < 500; ++i) {
    bus.fake.FeatureSetValue(cam, DC1394_FEATURE_GAIN, i % 600);
    bus.Reg(cam, kFeatureCsr + FeatureSlot(DC1394_FEATURE_GAIN));
  }
  streaming.join();
  for (int i = 0; i < kFrames; ++i) ASSERT_EQ(ids[size_t(i)], uint32_t(i % 4));
  EXPECT_EQ(bus.fake.CaptureStop(cam), DC1394_SUCCESS);
  bus.fake.CameraFree(cam);
}

}  // namespace
}  // namespace kelvane::iidc::fake
