// A fake IIDC bus for the tests of the IIDC backend: cameras behind the
// Dc1394Ops table that answer as the IIDC register map and libdc1394's
// documentation say, with no bus, thread, timer or sleep involved. Every
// camera has a register file (inquiry, status and control registers, Format 7
// and absolute-value areas, an advanced-feature area) that always agrees with
// what the feature, video-mode and Format 7 calls report, because both are
// views of one state. Frames are made by a producer the test chooses, so every
// byte a backend sees is known.
//
//   FakeIidc fake;
//   fake.AddCamera(ColourCamera(0x0814436102aa0001));
//   iidc::SetOps(&fake);
//
// Errors. Every call answers the library's codes:
//   - null, unknown or freed context or camera: DC1394_CAMERA_NOT_INITIALIZED
//     (a freed one also counts in Counters::staleUses);
//   - a camera that was unplugged (its handle outlives it): DC1394_FAILURE, as
//     a failed bus transaction; Poll on its descriptor: -1 with errno ENODEV;
//   - something the camera lacks (a feature, a feature mode, power or
//     absolute control, 1394b, the advanced area): DC1394_FUNCTION_NOT_SUPPORTED;
//   - an enum outside the library's range: DC1394_INVALID_FEATURE,
//     DC1394_INVALID_VIDEO_MODE, DC1394_INVALID_FRAMERATE,
//     DC1394_INVALID_ISO_SPEED, DC1394_INVALID_OPERATION_MODE,
//     DC1394_INVALID_FEATURE_MODE, DC1394_INVALID_COLOR_CODING,
//     DC1394_INVALID_CAPTURE_POLICY; a mode the camera lacks, or a Format 7
//     call on a fixed mode: DC1394_INVALID_VIDEO_MODE; a rate the current
//     fixed mode does not offer: DC1394_INVALID_FRAMERATE; a colour coding
//     the Format 7 mode does not offer: DC1394_INVALID_COLOR_CODING;
//   - a value outside a feature's range, a Format 7 region off the units or
//     past the maximum size, a packet size off the unit bytes or outside
//     [unit bytes, max bytes]: DC1394_REQ_VALUE_OUTSIDE_RANGE;
//   - the single-value calls on white balance, temperature or white shading:
//     DC1394_INVALID_FEATURE (the library sends those to their own calls);
//   - a change of mode, rate or Format 7 region while a capture is set up:
//     DC1394_CAPTURE_IS_RUNNING;
//   - capture: a second CaptureSetup on the same handle:
//     DC1394_CAPTURE_IS_RUNNING; a mode that cannot stream (unsupported
//     format/mode pair, fixed mode without a rate it offers):
//     DC1394_INVALID_VIDEO_MODE; a busy camera (another program streams, or
//     another handle captures): Camera::busyError (DC1394_NO_ISO_CHANNEL
//     unless set); dequeue, enqueue or stop without a capture:
//     DC1394_CAPTURE_IS_NOT_SET; an enqueue of a frame that is not dequeued
//     from this capture: DC1394_INVALID_ARGUMENT_VALUE (counted); a dequeue
//     after a bus reset: DC1394_FAILURE until the capture is set up again
//     (Poll answers 1 then, as poll(2) does for a descriptor in error);
//     POLICY_WAIT when no frame will ever come (transmission off, stalled,
//     the next ring buffer still held by the client): DC1394_FAILURE at once
//     instead of blocking, counted in Counters::stalledWaits.
//   - the calls that only give back what the host holds (CaptureEnqueue,
//     CaptureStop, CameraFree) still work on an unplugged camera or after a
//     bus reset, so that nothing leaks;
//   - Poll on a descriptor that is not a live capture's: -1 with errno EBADF;
//   - register access at an address the camera does not decode:
//     DC1394_FAILURE; a null values pointer or zero count:
//     DC1394_INVALID_ARGUMENT_VALUE.
// Capture. CaptureGetFileno gives a number from 7000 up that is never given
// twice (no real descriptor), -1 without a capture. The camera fills the ring
// buffers in order while it transmits: a buffer still held by the host stops
// it, as a DMA ring does. It captures a frame when the host waits for one (a
// Poll with a timeout, a dequeue with nothing in the ring), or when the test
// says it captured some while nobody dequeued (FakeIidc::Capture): those wait
// in the ring and are dequeued oldest first; a Poll that does not wait finds
// only those ready. Frames count from sequence 0 at every CaptureSetup; their
// timestamps are 1 s plus the sequence times the frame period (a fixed mode's
// rate; Format 7: one packet per 125 us cycle); frames_behind counts the
// captured frames still in the ring behind the one dequeued. The
// DC1394_CAPTURE_FLAGS_AUTO_ISO flag switches transmission on at setup and
// off at stop.
//
// Registers. Writes to the format, mode, rate, ISO and the current Format 7
// mode's region, coding and packet size are ignored while the camera
// transmits; a refused Format 7 write raises ErrorFlag_1 of VALUE_SETTING.
// Writing INITIALIZE returns the camera to its power-up state (the advanced
// area kept). A one-push adjustment completes with the next frame delivered.
#pragma once

#include <dc1394/dc1394.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/iidc/dc1394_ops.h"

namespace kelvane::iidc::fake {

// The byte in a frame's padding, after the image bytes.
inline constexpr uint8_t kPaddingMarker = 0xEE;

// Register offsets from the command-register base (IIDC 1.31).
inline constexpr uint64_t kInitialize = 0x000;
inline constexpr uint64_t kVFormatInq = 0x100;
inline constexpr uint64_t kVModeInq = 0x180;  // + 4 * format
inline constexpr uint64_t kVRateInq = 0x200;  // + 32 * format + 4 * mode
inline constexpr uint64_t kVCsrInq7 = 0x2E0;  // + 4 * Format 7 mode: quadlet offset of its CSR
inline constexpr uint64_t kBasicFuncInq = 0x400;
inline constexpr uint64_t kFeatureHiInq = 0x404;
inline constexpr uint64_t kFeatureLoInq = 0x408;
inline constexpr uint64_t kAdvancedFeatureInq = 0x480;  // quadlet offset of the advanced area
inline constexpr uint64_t kFeatureInq = 0x500;          // + FeatureSlot(feature)
inline constexpr uint64_t kTriggerInq = 0x530;
inline constexpr uint64_t kAbsCsrInq = 0x700;  // + FeatureSlot(feature): quadlet offset of its absolute CSR
inline constexpr uint64_t kCurVFrmRate = 0x600;
inline constexpr uint64_t kCurVMode = 0x604;
inline constexpr uint64_t kCurVFormat = 0x608;
inline constexpr uint64_t kIsoChannelSpeed = 0x60C;
inline constexpr uint64_t kIsoEn = 0x614;
inline constexpr uint64_t kFeatureCsr = 0x800;  // + FeatureSlot(feature)
inline constexpr uint64_t kTriggerMode = 0x830;
// Where this fake places the areas the inquiry registers point to, from the
// command-register base: the absolute CSR of a feature (minimum, maximum,
// value as IEEE floats) and the CSR of a Format 7 mode.
inline constexpr uint64_t kAbsCsrArea = 0x1000;      // + 0x10 * (feature - DC1394_FEATURE_MIN)
inline constexpr uint64_t kFormat7CsrArea = 0x2000;  // + 0x100 * Format 7 mode number
// Offsets inside a Format 7 mode's CSR.
inline constexpr uint64_t kF7MaxImageSizeInq = 0x000;
inline constexpr uint64_t kF7UnitSizeInq = 0x004;
inline constexpr uint64_t kF7ImagePosition = 0x008;
inline constexpr uint64_t kF7ImageSize = 0x00C;
inline constexpr uint64_t kF7ColorCodingId = 0x010;
inline constexpr uint64_t kF7ColorCodingInq = 0x014;
inline constexpr uint64_t kF7PixelNumberInq = 0x034;
inline constexpr uint64_t kF7TotalBytesHiInq = 0x038;
inline constexpr uint64_t kF7TotalBytesLoInq = 0x03C;
inline constexpr uint64_t kF7PacketParaInq = 0x040;
inline constexpr uint64_t kF7BytePerPacket = 0x044;
inline constexpr uint64_t kF7PacketPerFrameInq = 0x048;
inline constexpr uint64_t kF7UnitPositionInq = 0x04C;
inline constexpr uint64_t kF7DataDepthInq = 0x054;
inline constexpr uint64_t kF7ColorFilterId = 0x058;
inline constexpr uint64_t kF7ValueSetting = 0x07C;

// The offset of a feature's inquiry, absolute-CSR inquiry and status/control
// registers from their areas (0x500, 0x700, 0x800): 0x00..0x3C for
// BRIGHTNESS..FRAME_RATE, 0x80.. for ZOOM..OPTICAL_FILTER, 0xC0.. for
// CAPTURE_SIZE and CAPTURE_QUALITY.
uint64_t FeatureSlot(dc1394feature_t feature);

// Bits of the feature registers, IIDC bit n counted from the most significant.
inline constexpr uint32_t kPresence = 1u << 31;
inline constexpr uint32_t kInqAbsControl = 1u << 30;
inline constexpr uint32_t kInqOnePush = 1u << 28;
inline constexpr uint32_t kInqReadOut = 1u << 27;
inline constexpr uint32_t kInqOnOff = 1u << 26;
inline constexpr uint32_t kInqAuto = 1u << 25;
inline constexpr uint32_t kInqManual = 1u << 24;
inline constexpr uint32_t kCsrAbsControl = 1u << 30;
inline constexpr uint32_t kCsrOnePush = 1u << 26;
inline constexpr uint32_t kCsrOnOff = 1u << 25;
inline constexpr uint32_t kCsrAuto = 1u << 24;
// TRIGGER_MODE: ON_OFF bit 6, polarity bit 7, source bits 8-10, the input
// level bit 11 (read only), mode bits 12-15, parameter bits 20-31.
inline constexpr uint32_t kTriggerOn = 1u << 25;
inline constexpr uint32_t kTriggerPolarityHigh = 1u << 24;
inline constexpr int kTriggerSourceShift = 21;
inline constexpr uint32_t kTriggerValue = 1u << 20;
inline constexpr int kTriggerModeShift = 16;

struct Feature {
  dc1394feature_t id = DC1394_FEATURE_BRIGHTNESS;
  uint32_t min = 0;  // 12-bit register fields
  uint32_t max = 4095;
  // The value (white balance: U/B; temperature: the target).
  uint32_t value = 0;
  uint32_t value2 = 0;                    // white balance: V/R; temperature: the current temperature (read only)
  uint32_t red = 0, green = 0, blue = 0;  // white shading, 8 bits each
  bool readOut = true;
  bool onOffCapable = false;
  bool autoCapable = false;
  bool manualCapable = true;
  bool onePushCapable = false;
  bool on = true;
  dc1394feature_mode_t mode = DC1394_FEATURE_MODE_MANUAL;
  // Absolute control: the value in units (seconds, dB...) mapped linearly
  // onto [min, max]; setting one moves the other.
  bool absoluteCapable = false;
  bool absoluteOn = false;
  float absMin = 0.0f;
  float absMax = 0.0f;
  float absValue = 0.0f;  // follows value when the camera is added
};

struct Trigger {
  bool present = true;
  bool onOffCapable = true;
  bool polarityCapable = true;
  bool readOut = true;
  // Modes the camera offers as trigger mode numbers (0..5, 14, 15).
  std::vector<uint32_t> modes{0, 1, 3};
  // Sources as numbers (0..3, 7 the software trigger).
  std::vector<uint32_t> sources{0};
  bool on = false;
  bool polarityHigh = false;
  uint32_t mode = 0;
  uint32_t source = 0;
  uint32_t parameter = 0;  // 12 bits
};

// A fixed (Format 0..2) video mode and the frame rates it offers.
struct FixedMode {
  dc1394video_mode_t mode = DC1394_VIDEO_MODE_640x480_MONO8;
  std::vector<dc1394framerate_t> rates{};
};

// A Format 7 mode: the free region in units of the sensor.
struct Format7Mode {
  dc1394video_mode_t mode = DC1394_VIDEO_MODE_FORMAT7_0;
  uint32_t maxWidth = 0, maxHeight = 0;
  uint32_t unitWidth = 1, unitHeight = 1;  // the size is a non-zero multiple of these
  uint32_t unitLeft = 0, unitTop = 0;      // the position is a multiple of these; 0: the size units
  std::vector<dc1394color_coding_t> codings{};
  dc1394color_filter_t filter = DC1394_COLOR_FILTER_RGGB;  // of the RAW codings
  uint32_t unitBytes = 4;                                  // the packet size is a multiple of this
  uint32_t maxBytes = 4096;                                // and at most this
  // The current region, coding and packet size (0 width/height: the maximum;
  // 0 packet size: the maximum; no coding: the first).
  uint32_t left = 0, top = 0, width = 0, height = 0;
  std::optional<dc1394color_coding_t> coding{};
  uint32_t packetSize = 0;
};

// What the producer is asked for: one frame of the current mode.
struct FrameRequest {
  dc1394video_mode_t mode = DC1394_VIDEO_MODE_640x480_MONO8;
  dc1394color_coding_t coding = DC1394_COLOR_CODING_MONO8;
  uint32_t width = 0, height = 0;  // pixels
  uint32_t left = 0, top = 0;      // the region's position on the sensor (Format 7)
  uint32_t stride = 0;             // bytes of a row
  uint32_t sequence = 0;           // counts from 0 at every CaptureSetup
};
// Writes the image bytes (stride * height of them); the padding after them
// (up to total_bytes) is kPaddingMarker. Runs under the fake's lock: it must not call the fake.
using FrameProducer = std::function<void(const FrameRequest&, std::span<uint8_t> image)>;

// The sample channels of the default pattern.
enum class Channel { kY, kU, kV, kR, kG, kB, kRaw };

// The default pattern: the value of one channel at sensor pixel (x, y) of
// frame `sequence` (a Format 7 region's pixel (0, 0) is sensor pixel (left,
// top)), over 8 bits for the 8-bit codings and 16 bits (high and low bytes
// differ) for MONO16 and RAW16. The chroma of YUV 4:2:2 and 4:1:1 is the
// value at the first pixel of its group of 2 or 4 in the row.
uint16_t PatternValue(uint32_t sequence, uint32_t x, uint32_t y, Channel channel, bool sixteenBits);
// The default producer: the pattern laid out in the camera's byte order
// (YUV 4:4:4 U Y V, 4:2:2 U Y V Y, 4:1:1 U Y Y V Y Y, RGB8 R G B, MONO16 and
// RAW16 big-endian).
void DefaultFrame(const FrameRequest& request, std::span<uint8_t> image);
// The whole image of a request as DefaultFrame writes it (stride * height bytes).
std::vector<uint8_t> ExpectedImage(const FrameRequest& request);

// Bits per pixel of a colour coding (YUV411: 12); 0 for one the fake does not know.
uint32_t BitsPerPixel(dc1394color_coding_t coding);
// The bytes per packet of a fixed mode at a rate: the rows sent per 125 us
// isochronous cycle (rate * height / 7200 of them), in bytes, rounded up to
// a quadlet.
uint32_t FixedPacketSize(dc1394video_mode_t mode, dc1394framerate_t rate);

struct Camera {
  uint64_t guid = 0;
  int unit = 0;
  std::string vendor = "Fakevision";
  std::string model = "IIDC-1";
  uint32_t vendorId = 0x00A0B1;
  uint32_t modelId = 0x000001;
  dc1394iidc_version_t iidcVersion = DC1394_IIDC_VERSION_1_31;
  bool bModeCapable = false;  // 1394b: operation mode B and speeds over 400
  std::vector<FixedMode> modes{};
  std::vector<Format7Mode> format7{};  // two at most are needed; their modes must differ
  std::vector<Feature> features{};     // TRIGGER is described by `trigger`, not here
  Trigger trigger{};
  // The advanced-feature area (quadlets from its base); empty: none.
  std::vector<uint32_t> advanced{};
  // The mode and rate at power-up.
  dc1394video_mode_t mode = DC1394_VIDEO_MODE_640x480_MONO8;
  dc1394framerate_t rate = DC1394_FRAMERATE_15;
  FrameProducer producer{};  // unset: DefaultFrame

  // Behaviour.
  int unplugAfterFrames = -1;    // after this many delivered frames the camera is gone; -1: never
  int busResetAfterFrames = -1;  // after this many delivered frames a bus reset ends the capture; -1: never
  bool busy = false;             // another program streams from it: CaptureSetup answers busyError
  dc1394error_t busyError = DC1394_NO_ISO_CHANNEL;
  bool stalled = false;  // the camera sends nothing: Poll times out, dequeue finds nothing
  // The camera fills the ring faster than anyone takes frames: even a Poll that
  // does not wait finds a frame whenever a ring buffer is free.
  bool alwaysReady = false;
};

// Ready-made cameras.
// A colour camera: 160x120 YUV444, 320x240 YUV422, 640x480 YUV411, YUV422,
// RGB8, MONO8 and MONO16, 1024x768 MONO8; Format 7 mode 0 (1280x960 full
// sensor, MONO8, RAW8, RAW16, YUV422, RGB8 with an RGGB filter) and mode 1
// (640x480 binned, MONO8 and RAW8, GBRG); the usual features, the trigger and
// a few advanced quadlets.
Camera ColourCamera(uint64_t guid = 0x0814436102aa0001ull);
// A monochrome camera: 640x480 MONO8 and MONO16 only, no Format 7, shutter and
// gain with absolute control, a trigger without polarity control.
Camera MonoCamera(uint64_t guid = 0x0814436102bb0002ull);

struct Counters {
  // Live now.
  int contexts = 0;    // New without Free
  int cameras = 0;     // CameraNewUnit without CameraFree
  int lists = 0;       // CameraEnumerate lists not yet freed
  int captures = 0;    // CaptureSetup without CaptureStop (or the CameraFree that stops it)
  int framesHeld = 0;  // dequeued and not enqueued, in live captures
  // Totals.
  int framesDelivered = 0;
  int pollCalls = 0;
  int pollTimeouts = 0;   // Poll calls that found nothing ready (the fake does not wait)
  int stalledWaits = 0;   // POLICY_WAIT dequeues that would block forever
  int badFrees = 0;       // Free, CameraFreeList or CameraFree of something not live (double free...)
  int staleUses = 0;      // calls on a freed context or camera
  int badEnqueues = 0;    // enqueues of a frame not dequeued from the capture
  int implicitStops = 0;  // CameraFree of a camera still capturing (the fake stops it)
};

class FakeIidc : public Dc1394Ops {
 public:
  FakeIidc();
  ~FakeIidc() override;
  FakeIidc(const FakeIidc&) = delete;
  FakeIidc& operator=(const FakeIidc&) = delete;

  // Plugs a camera in, replacing one with the same GUID and unit.
  void AddCamera(Camera camera);
  // Changes a plugged camera's description and state under the lock (its
  // knobs: busy, stalled, producer, feature values...); false when not plugged.
  bool Configure(uint64_t guid, const std::function<void(Camera&)>& change);
  // The camera goes away: it leaves the enumeration, every call on a handle of
  // it fails (DC1394_FAILURE), Poll on its capture reports an error. False when
  // not plugged.
  bool Unplug(uint64_t guid);
  // Plugs an unplugged camera back as a fresh camera (the description as it
  // was added, power-up state); handles of the old one keep failing.
  bool Replug(uint64_t guid);
  // A bus reset: every capture of the camera stops delivering (dequeue fails
  // until it is set up again) and transmission goes off; the camera stays.
  bool BusReset(uint64_t guid);
  // The capturing camera captures n frames while nobody dequeues: each goes
  // into the next free ring buffer; one that finds the ring full is lost (the
  // camera's frame count moves on all the same). Returns the frames kept; none
  // without a capture, while not transmitting, stalled or after a bus reset.
  int Capture(uint64_t guid, int n);

  Counters Stats() const;
  // Nothing live: no context, camera, list, capture or held frame.
  bool AllReleased() const;
  // A plugged camera's state as its registers show it (the current values of
  // features, trigger, mode, rate, Format 7 regions).
  std::optional<Camera> State(uint64_t guid) const;
  // A control register of a plugged camera, read as the bus would.
  std::optional<uint32_t> Register(uint64_t guid, uint64_t offset) const;
  bool Transmitting(uint64_t guid) const;
  bool Capturing(uint64_t guid) const;
  // Calls made through the table, by operation name ("CaptureSetup"...).
  int Calls(const std::string& operation) const;

  // Dc1394Ops.
  dc1394_t* New() override;
  void Free(dc1394_t* context) override;
  dc1394error_t CameraEnumerate(dc1394_t* context, dc1394camera_list_t** list) override;
  void CameraFreeList(dc1394camera_list_t* list) override;
  dc1394camera_t* CameraNewUnit(dc1394_t* context, uint64_t guid, int unit) override;
  void CameraFree(dc1394camera_t* camera) override;
  dc1394error_t VideoGetSupportedModes(dc1394camera_t* camera, dc1394video_modes_t* modes) override;
  dc1394error_t VideoGetSupportedFramerates(dc1394camera_t* camera, dc1394video_mode_t mode,
                                            dc1394framerates_t* rates) override;
  dc1394error_t VideoGetMode(dc1394camera_t* camera, dc1394video_mode_t* mode) override;
  dc1394error_t VideoSetMode(dc1394camera_t* camera, dc1394video_mode_t mode) override;
  dc1394error_t VideoGetFramerate(dc1394camera_t* camera, dc1394framerate_t* rate) override;
  dc1394error_t VideoSetFramerate(dc1394camera_t* camera, dc1394framerate_t rate) override;
  dc1394error_t VideoSetIsoSpeed(dc1394camera_t* camera, dc1394speed_t speed) override;
  dc1394error_t VideoSetOperationMode(dc1394camera_t* camera, dc1394operation_mode_t mode) override;
  dc1394error_t VideoSetTransmission(dc1394camera_t* camera, dc1394switch_t power) override;
  dc1394error_t GetImageSizeFromVideoMode(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* width,
                                          uint32_t* height) override;
  dc1394error_t GetColorCodingFromVideoMode(dc1394camera_t* camera, dc1394video_mode_t mode,
                                            dc1394color_coding_t* coding) override;
  dc1394error_t Format7GetMaxImageSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* width,
                                       uint32_t* height) override;
  dc1394error_t Format7GetUnitSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* hUnit,
                                   uint32_t* vUnit) override;
  dc1394error_t Format7GetUnitPosition(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* hUnit,
                                       uint32_t* vUnit) override;
  dc1394error_t Format7GetColorCodings(dc1394camera_t* camera, dc1394video_mode_t mode,
                                       dc1394color_codings_t* codings) override;
  dc1394error_t Format7GetColorFilter(dc1394camera_t* camera, dc1394video_mode_t mode,
                                      dc1394color_filter_t* filter) override;
  dc1394error_t Format7GetPacketParameters(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* unitBytes,
                                           uint32_t* maxBytes) override;
  dc1394error_t Format7GetPacketSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* size) override;
  dc1394error_t Format7SetPacketSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t size) override;
  dc1394error_t Format7GetRoi(dc1394camera_t* camera, dc1394video_mode_t mode, dc1394color_coding_t* coding,
                              uint32_t* packetSize, uint32_t* left, uint32_t* top, uint32_t* width,
                              uint32_t* height) override;
  // Flags: DC1394_QUERY_FROM_CAMERA keeps a value (the coding's too); the
  // other flags take 0 for a position, the largest size on the units from the
  // position, the maximum packet size (the camera recommends none).
  dc1394error_t Format7SetRoi(dc1394camera_t* camera, dc1394video_mode_t mode, dc1394color_coding_t coding,
                              int32_t packetSize, int32_t left, int32_t top, int32_t width, int32_t height) override;
  dc1394error_t Format7GetTotalBytes(dc1394camera_t* camera, dc1394video_mode_t mode, uint64_t* bytes) override;
  dc1394error_t FeatureGetAll(dc1394camera_t* camera, dc1394featureset_t* features) override;
  dc1394error_t FeatureGetValue(dc1394camera_t* camera, dc1394feature_t feature, uint32_t* value) override;
  dc1394error_t FeatureSetValue(dc1394camera_t* camera, dc1394feature_t feature, uint32_t value) override;
  dc1394error_t FeatureGetBoundaries(dc1394camera_t* camera, dc1394feature_t feature, uint32_t* minimum,
                                     uint32_t* maximum) override;
  dc1394error_t FeatureGetMode(dc1394camera_t* camera, dc1394feature_t feature, dc1394feature_mode_t* mode) override;
  dc1394error_t FeatureSetMode(dc1394camera_t* camera, dc1394feature_t feature, dc1394feature_mode_t mode) override;
  dc1394error_t FeatureGetPower(dc1394camera_t* camera, dc1394feature_t feature, dc1394switch_t* power) override;
  dc1394error_t FeatureSetPower(dc1394camera_t* camera, dc1394feature_t feature, dc1394switch_t power) override;
  dc1394error_t FeatureGetAbsoluteControl(dc1394camera_t* camera, dc1394feature_t feature,
                                          dc1394switch_t* power) override;
  dc1394error_t FeatureSetAbsoluteControl(dc1394camera_t* camera, dc1394feature_t feature,
                                          dc1394switch_t power) override;
  dc1394error_t FeatureGetAbsoluteBoundaries(dc1394camera_t* camera, dc1394feature_t feature, float* minimum,
                                             float* maximum) override;
  dc1394error_t FeatureGetAbsoluteValue(dc1394camera_t* camera, dc1394feature_t feature, float* value) override;
  dc1394error_t FeatureSetAbsoluteValue(dc1394camera_t* camera, dc1394feature_t feature, float value) override;
  dc1394error_t FeatureWhitebalanceGetValue(dc1394camera_t* camera, uint32_t* ub, uint32_t* vr) override;
  dc1394error_t FeatureWhitebalanceSetValue(dc1394camera_t* camera, uint32_t ub, uint32_t vr) override;
  dc1394error_t FeatureTemperatureGetValue(dc1394camera_t* camera, uint32_t* target, uint32_t* current) override;
  dc1394error_t FeatureTemperatureSetValue(dc1394camera_t* camera, uint32_t target) override;
  dc1394error_t FeatureWhiteshadingGetValue(dc1394camera_t* camera, uint32_t* r, uint32_t* g, uint32_t* b) override;
  dc1394error_t FeatureWhiteshadingSetValue(dc1394camera_t* camera, uint32_t r, uint32_t g, uint32_t b) override;
  dc1394error_t GetControlRegisters(dc1394camera_t* camera, uint64_t offset, uint32_t* values, uint32_t count) override;
  dc1394error_t SetControlRegisters(dc1394camera_t* camera, uint64_t offset, const uint32_t* values,
                                    uint32_t count) override;
  dc1394error_t GetAdvControlRegisters(dc1394camera_t* camera, uint64_t offset, uint32_t* values,
                                       uint32_t count) override;
  dc1394error_t SetAdvControlRegisters(dc1394camera_t* camera, uint64_t offset, const uint32_t* values,
                                       uint32_t count) override;
  dc1394error_t CaptureSetup(dc1394camera_t* camera, uint32_t buffers, uint32_t flags) override;
  dc1394error_t CaptureStop(dc1394camera_t* camera) override;
  int CaptureGetFileno(dc1394camera_t* camera) override;
  int Poll(int fd, int timeoutMs) override;
  dc1394error_t CaptureDequeue(dc1394camera_t* camera, dc1394capture_policy_t policy,
                               dc1394video_frame_t** frame) override;
  dc1394error_t CaptureEnqueue(dc1394camera_t* camera, dc1394video_frame_t* frame) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelvane::iidc::fake
