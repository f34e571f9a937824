// The simulated bus: what a description says (cameras, their formats,
// properties and registers, decompressor filters, faults) and the live state of
// each device. Internal to the simulation.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dshow.h"
#include "platform/framework/framework.h"
#include "platform/sim/frame_source.h"
#include "platform/sim/sim.h"
#include "platform/thread_safety.h"

namespace kelvane::sim {

using platform::GUID;
using platform::HRESULT;

struct PropertyDesc {
  double minimum = 0, maximum = 100, step = 1, defaultValue = 0, value = 0;
  int32_t flags = 2;  // manual
  int32_t caps = 3;   // auto and manual
  std::vector<double> refused;  // values the camera will not take although in range
};

struct RegisterDesc {
  uint32_t value = 0;
  uint32_t writable = 0;  // bits a write may change; the rest are presence and inquiry bits
};

struct Format7Desc {
  int32_t maxWidth = 0, maxHeight = 0;
  int32_t unitX = 1, unitY = 1;  // size and offset granularity
  uint32_t packetMin = 0, packetMax = 0, packet = 0;
};

struct FormatDesc {
  GUID subtype;
  int32_t width = 0, height = 0;  // for a Format 7 mode: the size at start
  uint16_t bitCount = 0;
  std::optional<Format7Desc> format7;
  std::vector<int32_t> fpsCodes;    // frame-rate codes this format offers (driver path)
  int32_t fpsCode = -1;             // current code
  int64_t minInterval = 0, maxInterval = 0;  // 100 ns
  int64_t interval = 0;                      // current frame interval
};

struct SourceDesc {
  std::string file;  // raw frames in the format's byte layout, one after another; empty: moving pattern
  BayerPattern bayer = BayerPattern::RGGB;
  int32_t blankEvery = 0;  // every n-th frame is black (a camera's dark frame); 0: never
  bool still = false;      // a frozen picture: the first frame's, delivered again and again (benchmarks)
};

struct CameraDesc {
  std::string name;
  bool cameraInfo = false, exposure = false, color = false, basic = false, formatConfig = false;
  bool videoControl = false, procAmp = false, cameraControl = false, ksPropertySet = false,
       propertyPages = false;
  std::string vendor, model;
  int32_t number = 0;
  int32_t videoControlCaps = 0, videoControlMode = 0;
  std::map<uint32_t, RegisterDesc> registers;
  bool unknownRegistersFail = false;
  platform::HRESULT unknownRegisterResult = platform::E_FAIL;
  std::map<int32_t, PropertyDesc> properties[5];  // by PropertySet
  std::vector<FormatDesc> formats;
  int32_t defaultFormat = 0;
  SourceDesc source;
  // The property pages the camera filter and its capture pin publish, in order.
  std::vector<GUID> filterPages, pinPages;
  bool legacyDriver = false;  // the driver raises on the Format 7 rectangle and packet-size reads
  bool present = true;
};

// The decompressor filters installed on the simulated machine.
using FilterDesc = framework::DecompressorDesc;
using framework::FilterKind;
using framework::RawModeSupport;

struct BusDesc {
  std::vector<CameraDesc> cameras;
  std::vector<FilterDesc> filters;
  std::vector<Fault> faults;
  std::optional<Rate> rate;
  std::string driverVersion;  // the camera driver's file version; empty: no driver file
};

// Parses a bus description. On failure returns nullopt and a message naming
// origin, place and problem.
std::optional<BusDesc> ParseBus(std::string_view json, std::string_view origin, std::string* error);
const char* DefaultBusText();

// ---- live devices ------------------------------------------------------------------------------------

using framework::Stream;

// One camera on the bus. Every filter bound from its moniker shares it.
class Device {
 public:
  explicit Device(CameraDesc desc);

  const std::string& Name() const { return desc_.name; }
  const CameraDesc& Desc() const { return desc_; }  // the immutable part: interfaces, names
  kelvane::Mutex& Mutex() const KELVANE_RETURN_CAPABILITY(mutex_) { return mutex_; }

  bool present KELVANE_GUARDED_BY(mutex_) = true;
  std::map<uint32_t, RegisterDesc> registers KELVANE_GUARDED_BY(mutex_);
  std::map<int32_t, PropertyDesc> properties[5] KELVANE_GUARDED_BY(mutex_);
  std::vector<FormatDesc> formats KELVANE_GUARDED_BY(mutex_);
  int32_t current KELVANE_GUARDED_BY(mutex_) = 0;                // format index
  std::vector<platform::RECT> rects KELVANE_GUARDED_BY(mutex_);  // per format: the Format 7 region
  std::vector<uint32_t> packetSizes KELVANE_GUARDED_BY(mutex_);  // per format
  int32_t videoControlMode KELVANE_GUARDED_BY(mutex_) = 0;
  int64_t framesProduced KELVANE_GUARDED_BY(mutex_) = 0;
  int64_t framesLeft KELVANE_GUARDED_BY(mutex_) = -1;  // < 0: unlimited
  int64_t triggers KELVANE_GUARDED_BY(mutex_) = 0;     // pending trigger pulses
  int64_t credits KELVANE_GUARDED_BY(mutex_) = 0;      // stepped rate: frames granted ahead of a running graph
  bool connected KELVANE_GUARDED_BY(mutex_) = false;   // the output pin is connected
  std::vector<std::weak_ptr<Stream>> streams KELVANE_GUARDED_BY(mutex_);

  bool TriggerEnabled() const KELVANE_REQUIRES(mutex_);
  // The media type of format i as it stands now (Format 7: the current region).
  void FillMediaType(int32_t index, platform::AM_MEDIA_TYPE& mt, platform::VIDEO_STREAM_CONFIG_CAPS* caps) const
      KELVANE_REQUIRES(mutex_);
  bool IsFormat7(int32_t index) const KELVANE_REQUIRES(mutex_) {
    return formats[static_cast<size_t>(index)].format7.has_value();
  }
  int32_t Width(int32_t index) const KELVANE_REQUIRES(mutex_);
  int32_t Height(int32_t index) const KELVANE_REQUIRES(mutex_);

 private:
  CameraDesc desc_;
  mutable kelvane::Mutex mutex_;
};

struct Bus {
  std::vector<std::shared_ptr<Device>> cameras;
  std::vector<FilterDesc> filters;
  std::string driverVersion;
};

// The bus in use (loaded on first use).
std::shared_ptr<Bus> CurrentBus();
std::shared_ptr<Device> FindDevice(std::string_view name);

// Applies a pending fault for `operation` in `scope`: returns its result, or
// throws PlatformError for a raising fault; nullopt when none applies.
std::optional<HRESULT> TakeFault(std::string_view operation, std::string_view scope);

// Frame interval of an IIDC frame-rate code (1.875 fps at 0, doubling per code).
int64_t IntervalOfFpsCode(int32_t code);
using framework::BitCountOf;
using framework::ConvertToRgb24;
using framework::FrameBytes;
using framework::SubtypeFromName;
using framework::SubtypeName;

}  // namespace kelvane::sim

// Returns the injected result of a fault from the enclosing operation.
#define KELVANE_SIM_FAULT(operation, scope)                                  \
  do {                                                                        \
    if (auto kelvaneFault = ::kelvane::sim::TakeFault(operation, scope)) \
      return *kelvaneFault;                                                   \
  } while (0)
