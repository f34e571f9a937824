// One IIDC camera as the backend drives it: its identity, its stream formats
// (fixed video modes and Format 7 modes in each of their colour codings), its
// features and registers, and its DMA ring. Every libdc1394 call goes through
// the table (Dc1394Ops). A camera that has left the bus (unplugged, or lost
// in a bus reset) fails every operation with kDeviceGone until it is listed
// again; its handle is then made anew.
#pragma once

#include <dc1394/dc1394.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/cache_line_allocator.h"
#include "platform/com.h"
#include "platform/iidc/codings.h"
#include "platform/iidc/dc1394_ops.h"
#include "platform/thread_safety.h"

namespace kelvane::iidc {

using platform::HRESULT;

// The failure of every operation on a camera that has left (as the simulated
// bus's kDeviceGone: the driver's "device not connected").
inline constexpr HRESULT kDeviceGone = platform::MakeHr(0x8007048Fu);
// The bus has no isochronous channel or bandwidth left: another program
// streams from the camera, or other cameras use up the bus.
inline constexpr HRESULT kDeviceBusy = platform::MakeHr(0x800700AAu);
// The failure a libdc1394 result stands for.
HRESULT ResultOf(dc1394error_t error);

// The register address space of the camera-information interface: the
// camera's control and status registers at their bus addresses, the command
// registers from 0xF0F00000 (TRIGGER_MODE at 0xF0F00830).
inline constexpr uint32_t kCsrSpace = 0xF0000000u;
inline constexpr uint32_t kDefaultCommandBase = 0xF00000u;  // within the CSR space

// One stream format: a fixed video mode, or a Format 7 mode in one colour coding.
struct Entry {
  dc1394video_mode_t mode{};
  const Coding* coding = nullptr;
  bool format7 = false;
  uint32_t width = 0, height = 0;  // the mode's size; for Format 7 its largest
  std::vector<int32_t> fpsCodes;   // fixed modes: the frame-rate codes offered, slowest first
  // Format 7: size and position granularity, packet sizes, the mosaic of RAW codings.
  uint32_t unitX = 1, unitY = 1, posUnitX = 1, posUnitY = 1;
  uint32_t packetUnit = 0, packetMax = 0;
  dc1394color_filter_t filter{};
};

// What the format interface sets per entry, applied to the camera when it streams.
struct Choice {
  int32_t fpsCode = -1;
  uint32_t left = 0, top = 0, width = 0, height = 0;  // the region (fixed modes: the whole frame)
  uint32_t packet = 0;
};

// Flags of the driver's property interfaces for an IIDC feature.
inline constexpr int32_t kFlagAuto = 0x1, kFlagManual = 0x2, kFlagOnePush = 0x4, kFlagAbsolute = 0x8, kFlagOff = 0x10;

// Which value of a feature: its one value, or a part of white balance.
enum class Part { Value, Ub, Vr };

struct FeatureRange {
  double minimum = 0, maximum = 0, step = 1, defaultValue = 0;
  int32_t caps = 0;  // the flags Set accepts
};

class Device {
 public:
  Device(Dc1394Ops& ops, dc1394_t* context, dc1394camera_t* camera);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const std::string& Name() const { return name_; }
  const std::string& Vendor() const { return vendor_; }
  const std::string& Model() const { return model_; }
  uint64_t Guid() const { return guid_; }
  int Unit() const { return unit_; }
  // The identification number of the vendor record: the low 32 bits of the GUID.
  int32_t Number() const { return static_cast<int32_t>(static_cast<uint32_t>(guid_)); }

  // S_OK, or kDeviceGone while the camera is away. A camera that has come
  // back on the bus gets a new handle.
  HRESULT Health();

  // ---- formats ----
  std::vector<Entry> Entries();
  HRESULT GetChoice(int32_t index, Choice* choice);
  int32_t Current();
  // VFW_E_WRONG_STATE while the pin is connected and the index differs.
  HRESULT SetCurrent(int32_t index);
  HRESULT SetFpsCode(int32_t index, int32_t code);
  HRESULT SetRegion(int32_t index, uint32_t left, uint32_t top, uint32_t width, uint32_t height);
  HRESULT SetPacket(int32_t index, uint32_t packet);
  // The frame interval of an entry as chosen now, 100-ns units.
  int64_t IntervalOf(int32_t index);
  void SetConnected(bool connected);
  bool Connected();

  // ---- features ----
  // Whether the camera has the feature (and for Part::Vr, white balance).
  bool HasFeature(dc1394feature_t feature);
  HRESULT Range(dc1394feature_t feature, Part part, bool absolute, FeatureRange* range);
  // The value in the camera's absolute units when its absolute control is on
  // (kFlagAbsolute in flags), else the integer value.
  HRESULT GetFeature(dc1394feature_t feature, Part part, double* value, int32_t* flags);
  HRESULT SetFeature(dc1394feature_t feature, Part part, double value, int32_t flags);
  // Lines of the capability report: each feature the camera has, with its modes and ranges.
  std::string DescribeFeatures();

  // ---- registers (addresses in the CSR space, see kCsrSpace) ----
  HRESULT ReadRegister(uint32_t address, uint32_t* value);
  HRESULT WriteRegister(uint32_t address, uint32_t value);

  // ---- streaming (the streaming thread, and Stop once it has ended) ----
  // Waits up to `waitMs` for the next frame and hands it to `deliver` in the
  // pipeline's layout: straight from the ring when it is already laid out so,
  // else through `scratch`. The frame goes back to the ring after `deliver`
  // returns (or throws). False when no frame came.
  using Deliver = std::function<void(uint8_t* data, size_t length, double time)>;
  bool NextFrame(platform::FrameBuffer& scratch, int waitMs, const Deliver& deliver);
  // Gives back to the ring, unread, every frame the camera put there while
  // nobody took frames (the stream paused between single grabs), so that the
  // next frame is one captured from now on. Takes at most twice the ring's
  // frames: a camera that fills the ring as fast as frames go back cannot keep
  // the streaming thread here. Returns the frames dropped.
  int DropCaptured();
  void StopStreaming();
  // Set when the stream ended because the camera went (unplug, bus reset);
  // cleared by the next stop.
  bool LostWhileStreaming();

 private:
  dc1394camera_t* Camera() KELVANE_REQUIRES(mutex_);  // null while gone
  // A libdc1394 result: a failure that may mean the camera has gone makes
  // the next Health ask the bus.
  HRESULT Check(dc1394error_t error) KELVANE_REQUIRES(mutex_);
  HRESULT Reprobe() KELVANE_REQUIRES(mutex_);
  void ReadEntries() KELVANE_REQUIRES(mutex_);
  void ReadFeatures() KELVANE_REQUIRES(mutex_);
  const dc1394feature_info_t* Info(dc1394feature_t feature) KELVANE_REQUIRES(mutex_);
  bool ValidIndex(int32_t index) KELVANE_REQUIRES(mutex_);
  HRESULT StartStreamingLocked() KELVANE_REQUIRES(mutex_);
  void StopStreamingLocked() KELVANE_REQUIRES(mutex_);
  void LostLocked(const std::string& why) KELVANE_REQUIRES(mutex_);
  int PollRing(int fd, int waitMs);
  HRESULT RegisterOffset(uint32_t address, bool* advanced, uint64_t* offset) KELVANE_REQUIRES(mutex_);
  void Say(const std::string& text);

  Dc1394Ops& ops_;
  dc1394_t* context_;
  const uint64_t guid_;
  const int unit_;
  std::string vendor_, model_, name_;

  // One frame at a time, and a stop against it; taken before mutex_.
  Mutex streamMutex_ KELVANE_ACQUIRED_BEFORE(mutex_);
  Mutex mutex_;
  dc1394camera_t* camera_ KELVANE_GUARDED_BY(mutex_);
  bool gone_ KELVANE_GUARDED_BY(mutex_) = false;                         // left the bus: the handle is given back
  bool suspect_ KELVANE_GUARDED_BY(mutex_) = false;                      // a call failed as a vanished camera's would
  dc1394error_t lastError_ KELVANE_GUARDED_BY(mutex_) = DC1394_SUCCESS;  // of the last call that failed
  bool entriesRead_ KELVANE_GUARDED_BY(mutex_) = false;
  std::vector<Entry> entries_ KELVANE_GUARDED_BY(mutex_);
  std::vector<Choice> choices_ KELVANE_GUARDED_BY(mutex_);
  int32_t current_ KELVANE_GUARDED_BY(mutex_) = 0;
  bool connected_ KELVANE_GUARDED_BY(mutex_) = false;
  bool featuresRead_ KELVANE_GUARDED_BY(mutex_) = false;
  dc1394featureset_t features_ KELVANE_GUARDED_BY(mutex_){};
  dc1394featureset_t defaults_ KELVANE_GUARDED_BY(mutex_){};  // the values when first read
  bool defaultsRead_ KELVANE_GUARDED_BY(mutex_) = false;

  bool streaming_ KELVANE_GUARDED_BY(mutex_) = false;
  bool lostWhileStreaming_ KELVANE_GUARDED_BY(mutex_) = false;
  bool startFailedSaid_ KELVANE_GUARDED_BY(mutex_) = false;
  bool brokenSaid_ KELVANE_GUARDED_BY(mutex_) = false;
  int emptyPolls_ KELVANE_GUARDED_BY(mutex_) = 0;  // ready descriptor, no frame: in a row
  Entry streamEntry_ KELVANE_GUARDED_BY(mutex_);   // the format of the running stream
  Choice streamChoice_ KELVANE_GUARDED_BY(mutex_);
};

}  // namespace kelvane::iidc
