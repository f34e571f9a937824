#include "platform/iidc/device.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/dshow.h"
#include "platform/factory.h"

namespace kelvane::iidc {

using namespace platform;

namespace {

constexpr uint32_t kRingFrames = 4;
constexpr int kMaxInterruptions = 64;
// A descriptor that keeps saying "ready" without a frame behind it belongs
// to a ring the bus has taken away: after this many in a row the stream ends.
constexpr int kMaxEmptyPolls = 16;

bool IsFormat7(dc1394video_mode_t mode) {
  return mode >= DC1394_VIDEO_MODE_FORMAT7_MIN && mode <= DC1394_VIDEO_MODE_FORMAT7_MAX;
}

// clang-format off
const char* const kFeatureNames[DC1394_FEATURE_NUM] = {
    "Brightness", "Exposure", "Sharpness", "WhiteBalance", "Hue", "Saturation", "Gamma", "Shutter", "Gain",
    "Iris", "Focus", "Temperature", "Trigger", "TriggerDelay", "WhiteShading", "FrameRate", "Zoom", "Pan",
    "Tilt", "OpticalFilter", "CaptureSize", "CaptureQuality"};
// clang-format on

bool HasMode(const dc1394feature_info_t& info, dc1394feature_mode_t mode) {
  for (uint32_t i = 0; i < info.modes.num && i < DC1394_FEATURE_MODE_NUM; ++i)
    if (info.modes.modes[i] == mode) return true;
  return false;
}

int32_t FlagOfMode(dc1394feature_mode_t mode) {
  switch (mode) {
    case DC1394_FEATURE_MODE_AUTO:
      return kFlagAuto;
    case DC1394_FEATURE_MODE_ONE_PUSH_AUTO:
      return kFlagOnePush;
    case DC1394_FEATURE_MODE_MANUAL:
      break;
  }
  return kFlagManual;
}

int ModeBits(int32_t flags) {
  return ((flags & kFlagAuto) != 0) + ((flags & kFlagManual) != 0) + ((flags & kFlagOnePush) != 0);
}

std::string Decimal(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

}  // namespace

HRESULT ResultOf(dc1394error_t error) {
  switch (error) {
    case DC1394_SUCCESS:
      return S_OK;
    case DC1394_FUNCTION_NOT_SUPPORTED:
      return E_NOTIMPL;
    case DC1394_MEMORY_ALLOCATION_FAILURE:
      return E_OUTOFMEMORY;
    case DC1394_NO_ISO_CHANNEL:
    case DC1394_NO_BANDWIDTH:
      return kDeviceBusy;
    case DC1394_FAILURE:
    case DC1394_NOT_A_CAMERA:
    case DC1394_CAMERA_NOT_INITIALIZED:
    case DC1394_IOCTL_FAILURE:
    case DC1394_RAW1394_FAILURE:
    case DC1394_CAPTURE_IS_NOT_SET:
    case DC1394_CAPTURE_IS_RUNNING:
      return E_FAIL;
    default:
      break;
  }
  return E_INVALIDARG;
}

Device::Device(Dc1394Ops& ops, dc1394_t* context, dc1394camera_t* camera)
    : ops_(ops), context_(context), guid_(camera->guid), unit_(camera->unit), camera_(camera) {
  vendor_ = camera->vendor ? camera->vendor : "";
  model_ = camera->model ? camera->model : "";
  // The vendor record holds 63 characters of each.
  if (vendor_.size() > 63) vendor_.resize(63);
  if (model_.size() > 63) model_.resize(63);
  name_ = vendor_;
  if (!model_.empty()) name_ += (name_.empty() ? "" : " ") + model_;
  if (name_.empty()) name_ = "IIDC camera";
}

Device::~Device() {
  MutexLock stream(streamMutex_);
  MutexLock lock(mutex_);
  StopStreamingLocked();
  if (camera_) ops_.CameraFree(camera_);
  camera_ = nullptr;
}

void Device::Say(const std::string& text) { PlatformMessage(("IIDC camera " + name_ + ": " + text + "\r\n").c_str()); }

dc1394camera_t* Device::Camera() { return gone_ ? nullptr : camera_; }

HRESULT Device::Check(dc1394error_t error) {
  const HRESULT hr = ResultOf(error);
  if (error != DC1394_SUCCESS) lastError_ = error;
  // The library says little more than "failed" when the camera has left the
  // bus: the next Health asks the bus whether it is still there.
  if (hr == E_FAIL) suspect_ = true;
  return hr;
}

HRESULT Device::Reprobe() {
  bool listed = false;
  dc1394camera_list_t* list = nullptr;
  if (ops_.CameraEnumerate(context_, &list) == DC1394_SUCCESS && list) {
    for (uint32_t i = 0; i < list->num; ++i)
      listed = listed || (list->ids[i].guid == guid_ && list->ids[i].unit == unit_);
    ops_.CameraFreeList(list);
  }
  // The old handle may speak of a bus generation that is over: a camera that
  // is still (or again) there gets a new one.
  dc1394camera_t* fresh = listed ? ops_.CameraNewUnit(context_, guid_, unit_) : nullptr;
  if (camera_) ops_.CameraFree(camera_);
  camera_ = fresh;
  gone_ = !fresh;
  suspect_ = false;
  return fresh ? S_OK : kDeviceGone;
}

HRESULT Device::Health() {
  MutexLock lock(mutex_);
  if (!gone_ && !suspect_) return S_OK;
  if (streaming_) return gone_ ? kDeviceGone : S_OK;
  return Reprobe();
}

// ---- formats ------------------------------------------------------------------------------------------

void Device::ReadEntries() {
  if (entriesRead_) return;
  dc1394camera_t* cam = Camera();
  if (!cam) return;
  dc1394video_modes_t modes{};
  if (FAILED(Check(ops_.VideoGetSupportedModes(cam, &modes)))) return;
  std::vector<Entry> entries;
  std::vector<Choice> choices;
  dc1394video_mode_t currentMode{};
  const bool haveCurrent = ops_.VideoGetMode(cam, &currentMode) == DC1394_SUCCESS;
  dc1394framerate_t currentRate{};
  const bool haveRate =
      haveCurrent && !IsFormat7(currentMode) && ops_.VideoGetFramerate(cam, &currentRate) == DC1394_SUCCESS;
  int32_t current = 0;
  for (uint32_t i = 0; i < modes.num && i < DC1394_VIDEO_MODE_NUM; ++i) {
    const dc1394video_mode_t mode = modes.modes[i];
    if (mode == DC1394_VIDEO_MODE_EXIF) continue;
    if (!IsFormat7(mode)) {
      dc1394color_coding_t coding{};
      Entry e;
      e.mode = mode;
      if (ops_.GetColorCodingFromVideoMode(cam, mode, &coding) != DC1394_SUCCESS) continue;
      e.coding = FindCoding(coding);
      if (!e.coding) continue;  // a coding the pipeline cannot read
      if (ops_.GetImageSizeFromVideoMode(cam, mode, &e.width, &e.height) != DC1394_SUCCESS || !e.width || !e.height)
        continue;
      dc1394framerates_t rates{};
      if (ops_.VideoGetSupportedFramerates(cam, mode, &rates) != DC1394_SUCCESS) continue;
      for (uint32_t k = 0; k < rates.num && k < DC1394_FRAMERATE_NUM; ++k)
        if (const int32_t code = FpsCodeOf(rates.framerates[k]); code >= 0) e.fpsCodes.push_back(code);
      if (e.fpsCodes.empty()) continue;
      std::sort(e.fpsCodes.begin(), e.fpsCodes.end());
      e.fpsCodes.erase(std::unique(e.fpsCodes.begin(), e.fpsCodes.end()), e.fpsCodes.end());
      Choice c;
      c.width = e.width;
      c.height = e.height;
      // The rate the camera runs the mode at, else its fastest.
      c.fpsCode = e.fpsCodes.back();
      if (haveRate && currentMode == mode && std::count(e.fpsCodes.begin(), e.fpsCodes.end(), FpsCodeOf(currentRate)))
        c.fpsCode = FpsCodeOf(currentRate);
      if (haveCurrent && currentMode == mode) current = static_cast<int32_t>(entries.size());
      entries.push_back(std::move(e));
      choices.push_back(c);
      continue;
    }
    Entry base;
    base.mode = mode;
    base.format7 = true;
    if (ops_.Format7GetMaxImageSize(cam, mode, &base.width, &base.height) != DC1394_SUCCESS || !base.width ||
        !base.height)
      continue;
    if (ops_.Format7GetUnitSize(cam, mode, &base.unitX, &base.unitY) != DC1394_SUCCESS) continue;
    base.unitX = std::max<uint32_t>(base.unitX, 1);
    base.unitY = std::max<uint32_t>(base.unitY, 1);
    if (ops_.Format7GetUnitPosition(cam, mode, &base.posUnitX, &base.posUnitY) != DC1394_SUCCESS || !base.posUnitX ||
        !base.posUnitY) {
      base.posUnitX = base.unitX;  // a camera without its own offset units places in size units
      base.posUnitY = base.unitY;
    }
    if (ops_.Format7GetPacketParameters(cam, mode, &base.packetUnit, &base.packetMax) != DC1394_SUCCESS ||
        !base.packetUnit || base.packetMax < base.packetUnit)
      continue;
    dc1394color_filter_t filter{};
    if (ops_.Format7GetColorFilter(cam, mode, &filter) == DC1394_SUCCESS) base.filter = filter;
    dc1394color_codings_t codings{};
    if (ops_.Format7GetColorCodings(cam, mode, &codings) != DC1394_SUCCESS) continue;
    // The camera's own region and packet size, where they are valid.
    dc1394color_coding_t nowCoding{};
    uint32_t packet = 0, left = 0, top = 0, width = 0, height = 0;
    const bool haveRoi =
        ops_.Format7GetRoi(cam, mode, &nowCoding, &packet, &left, &top, &width, &height) == DC1394_SUCCESS;
    Choice c;
    c.width = base.width - base.width % base.unitX;
    c.height = base.height - base.height % base.unitY;
    c.packet = base.packetMax - base.packetMax % base.packetUnit;
    if (haveRoi && width > 0 && height > 0 && width % base.unitX == 0 && height % base.unitY == 0 &&
        left % base.posUnitX == 0 && top % base.posUnitY == 0 && uint64_t{left} + width <= base.width &&
        uint64_t{top} + height <= base.height) {
      c.left = left;
      c.top = top;
      c.width = width;
      c.height = height;
    }
    if (haveRoi && packet >= base.packetUnit && packet <= base.packetMax && packet % base.packetUnit == 0)
      c.packet = packet;
    if (c.width == 0 || c.height == 0) continue;
    for (uint32_t k = 0; k < codings.num && k < DC1394_COLOR_CODING_NUM; ++k) {
      Entry e = base;
      e.coding = FindCoding(codings.codings[k]);
      if (!e.coding) continue;
      if (haveCurrent && currentMode == mode && haveRoi && nowCoding == codings.codings[k])
        current = static_cast<int32_t>(entries.size());
      entries.push_back(std::move(e));
      choices.push_back(c);
    }
  }
  if (suspect_ && entries.empty()) return;  // asked again once the camera answers
  entries_ = std::move(entries);
  choices_ = std::move(choices);
  current_ = current;
  entriesRead_ = true;
}

std::vector<Entry> Device::Entries() {
  MutexLock lock(mutex_);
  ReadEntries();
  return entries_;
}

bool Device::ValidIndex(int32_t index) {
  ReadEntries();
  return index >= 0 && static_cast<size_t>(index) < entries_.size();
}

HRESULT Device::GetChoice(int32_t index, Choice* choice) {
  MutexLock lock(mutex_);
  if (!ValidIndex(index)) return E_INVALIDARG;
  *choice = choices_[static_cast<size_t>(index)];
  return S_OK;
}

int32_t Device::Current() {
  MutexLock lock(mutex_);
  ReadEntries();
  return current_;
}

HRESULT Device::SetCurrent(int32_t index) {
  MutexLock lock(mutex_);
  if (!ValidIndex(index)) return E_INVALIDARG;
  if ((connected_ || streaming_) && index != current_) return VFW_E_WRONG_STATE;
  current_ = index;
  return S_OK;
}

HRESULT Device::SetFpsCode(int32_t index, int32_t code) {
  MutexLock lock(mutex_);
  if (!ValidIndex(index)) return E_INVALIDARG;
  const Entry& e = entries_[static_cast<size_t>(index)];
  if (!std::count(e.fpsCodes.begin(), e.fpsCodes.end(), code)) return E_INVALIDARG;
  if (streaming_ && index == current_ && code != choices_[static_cast<size_t>(index)].fpsCode) return VFW_E_WRONG_STATE;
  choices_[static_cast<size_t>(index)].fpsCode = code;
  return S_OK;
}

HRESULT Device::SetRegion(int32_t index, uint32_t left, uint32_t top, uint32_t width, uint32_t height) {
  MutexLock lock(mutex_);
  if (!ValidIndex(index)) return E_INVALIDARG;
  const Entry& e = entries_[static_cast<size_t>(index)];
  if (!e.format7) return E_INVALIDARG;
  if (width == 0 || height == 0 || width % e.unitX || height % e.unitY || left % e.posUnitX || top % e.posUnitY ||
      uint64_t{left} + width > e.width || uint64_t{top} + height > e.height)
    return E_INVALIDARG;
  if ((connected_ || streaming_) && index == current_) return VFW_E_WRONG_STATE;
  Choice& c = choices_[static_cast<size_t>(index)];
  c.left = left;
  c.top = top;
  c.width = width;
  c.height = height;
  return S_OK;
}

HRESULT Device::SetPacket(int32_t index, uint32_t packet) {
  MutexLock lock(mutex_);
  if (!ValidIndex(index)) return E_INVALIDARG;
  const Entry& e = entries_[static_cast<size_t>(index)];
  if (!e.format7 || packet < e.packetUnit || packet > e.packetMax) return E_INVALIDARG;
  if (streaming_ && index == current_) return VFW_E_WRONG_STATE;
  if (packet % e.packetUnit) {
    const uint32_t taken = packet - packet % e.packetUnit;
    Say("packet size " + std::to_string(packet) + " is not a multiple of the camera's " + std::to_string(e.packetUnit) +
        " bytes; " + std::to_string(taken) + " is used");
    packet = taken;
  }
  choices_[static_cast<size_t>(index)].packet = packet;
  return S_OK;
}

int64_t Device::IntervalOf(int32_t index) {
  MutexLock lock(mutex_);
  if (!ValidIndex(index)) return 0;
  const Entry& e = entries_[static_cast<size_t>(index)];
  const Choice& c = choices_[static_cast<size_t>(index)];
  if (e.format7) return Format7Interval(FrameBytes(*e.coding, c.width, c.height), c.packet);
  return IntervalOfFpsCode(c.fpsCode);
}

void Device::SetConnected(bool connected) {
  MutexLock lock(mutex_);
  connected_ = connected;
}

bool Device::Connected() {
  MutexLock lock(mutex_);
  return connected_;
}

// ---- features -----------------------------------------------------------------------------------------

void Device::ReadFeatures() {
  if (featuresRead_) return;
  dc1394camera_t* cam = Camera();
  if (!cam) return;
  dc1394featureset_t set{};
  if (FAILED(Check(ops_.FeatureGetAll(cam, &set)))) return;
  features_ = set;
  if (!defaultsRead_) defaults_ = set;  // a feature's default is the value the camera had when first seen
  defaultsRead_ = true;
  featuresRead_ = true;
}

const dc1394feature_info_t* Device::Info(dc1394feature_t feature) {
  if (feature < DC1394_FEATURE_MIN || feature > DC1394_FEATURE_MAX) return nullptr;
  ReadFeatures();
  if (!featuresRead_) return nullptr;
  const dc1394feature_info_t& info = features_.feature[feature - DC1394_FEATURE_MIN];
  return info.available ? &info : nullptr;
}

bool Device::HasFeature(dc1394feature_t feature) {
  MutexLock lock(mutex_);
  return Info(feature) != nullptr;
}

HRESULT Device::Range(dc1394feature_t feature, Part part, bool integerForm, FeatureRange* range) {
  MutexLock lock(mutex_);
  const dc1394feature_info_t* info = Info(feature);
  if (!info) return Camera() ? E_PROP_ID_UNSUPPORTED : kDeviceGone;
  dc1394camera_t* cam = Camera();
  const dc1394feature_info_t& initial = defaults_.feature[feature - DC1394_FEATURE_MIN];
  FeatureRange r;
  const bool canAuto = HasMode(*info, DC1394_FEATURE_MODE_AUTO);
  if (integerForm) {
    r.caps = kFlagManual | (canAuto ? kFlagAuto : 0);
  } else {
    r.caps = kFlagManual | (canAuto ? kFlagAuto : 0) |
             (HasMode(*info, DC1394_FEATURE_MODE_ONE_PUSH_AUTO) ? kFlagOnePush : 0) |
             (info->on_off_capable ? kFlagOff : 0) |
             (info->absolute_capable && part == Part::Value ? kFlagAbsolute : 0);
  }
  bool absolute = false;
  if (!integerForm && info->absolute_capable && part == Part::Value) {
    dc1394switch_t on = DC1394_OFF;
    if (HRESULT hr = Check(ops_.FeatureGetAbsoluteControl(cam, feature, &on)); FAILED(hr)) return hr;
    absolute = on == DC1394_ON;
  }
  if (absolute) {
    float minimum = 0, maximum = 0;
    if (HRESULT hr = Check(ops_.FeatureGetAbsoluteBoundaries(cam, feature, &minimum, &maximum)); FAILED(hr)) return hr;
    r.minimum = minimum;
    r.maximum = maximum;
    r.step = info->max > info->min ? (r.maximum - r.minimum) / static_cast<double>(info->max - info->min) : 0;
    r.defaultValue = initial.abs_value;
  } else {
    r.minimum = info->min;
    r.maximum = info->max;
    r.step = 1;
    r.defaultValue = part == Part::Ub ? initial.BU_value : part == Part::Vr ? initial.RV_value : initial.value;
  }
  *range = r;
  return S_OK;
}

HRESULT Device::GetFeature(dc1394feature_t feature, Part part, double* value, int32_t* flags) {
  MutexLock lock(mutex_);
  const dc1394feature_info_t* info = Info(feature);
  if (!info) return Camera() ? E_PROP_ID_UNSUPPORTED : kDeviceGone;
  dc1394camera_t* cam = Camera();
  int32_t f = 0;
  if (info->on_off_capable) {
    dc1394switch_t power = DC1394_ON;
    if (HRESULT hr = Check(ops_.FeatureGetPower(cam, feature, &power)); FAILED(hr)) return hr;
    if (power == DC1394_OFF) f |= kFlagOff;
  }
  bool absolute = false;
  if (info->absolute_capable && part == Part::Value) {
    dc1394switch_t on = DC1394_OFF;
    if (HRESULT hr = Check(ops_.FeatureGetAbsoluteControl(cam, feature, &on)); FAILED(hr)) return hr;
    absolute = on == DC1394_ON;
    if (absolute) f |= kFlagAbsolute;
  }
  dc1394feature_mode_t mode = DC1394_FEATURE_MODE_MANUAL;
  if (info->modes.num > 0) {
    if (HRESULT hr = Check(ops_.FeatureGetMode(cam, feature, &mode)); FAILED(hr)) return hr;
  }
  f |= FlagOfMode(mode);
  if (absolute) {
    float v = 0;
    if (HRESULT hr = Check(ops_.FeatureGetAbsoluteValue(cam, feature, &v)); FAILED(hr)) return hr;
    *value = v;
  } else if (part != Part::Value) {
    uint32_t ub = 0, vr = 0;
    if (HRESULT hr = Check(ops_.FeatureWhitebalanceGetValue(cam, &ub, &vr)); FAILED(hr)) return hr;
    *value = part == Part::Ub ? ub : vr;
  } else {
    uint32_t v = 0;
    if (HRESULT hr = Check(ops_.FeatureGetValue(cam, feature, &v)); FAILED(hr)) return hr;
    *value = v;
  }
  *flags = f;
  return S_OK;
}

HRESULT Device::SetFeature(dc1394feature_t feature, Part part, double value, int32_t flags) {
  MutexLock lock(mutex_);
  const dc1394feature_info_t* info = Info(feature);
  if (!info) return Camera() ? E_PROP_ID_UNSUPPORTED : kDeviceGone;
  dc1394camera_t* cam = Camera();
  const int32_t caps = kFlagManual | (HasMode(*info, DC1394_FEATURE_MODE_AUTO) ? kFlagAuto : 0) |
                       (HasMode(*info, DC1394_FEATURE_MODE_ONE_PUSH_AUTO) ? kFlagOnePush : 0) |
                       (info->on_off_capable ? kFlagOff : 0) |
                       (info->absolute_capable && part == Part::Value ? kFlagAbsolute : 0);
  if ((flags & ~caps) || ModeBits(flags) > 1 || !std::isfinite(value)) return E_INVALIDARG;
  if (flags & kFlagOff) return Check(ops_.FeatureSetPower(cam, feature, DC1394_OFF));

  const bool absolute = (flags & kFlagAbsolute) != 0;
  bool manual = (flags & kFlagManual) != 0;
  bool keepValue = false;
  if (ModeBits(flags) == 0) {
    dc1394feature_mode_t mode = DC1394_FEATURE_MODE_MANUAL;
    if (info->modes.num > 0) {
      if (HRESULT hr = Check(ops_.FeatureGetMode(cam, feature, &mode)); FAILED(hr)) return hr;
    }
    manual = mode == DC1394_FEATURE_MODE_MANUAL;
  }
  // The value is checked before anything is written: a refused set changes nothing.
  uint32_t raw = 0;
  if (manual) {
    if (absolute) {
      // The host reads an absolute value truncated to an integer: that
      // integer, written back, means the value as it is (a stored shutter of
      // 0.004 s must not become 0 at the next open).
      float now = 0;
      dc1394switch_t on = DC1394_OFF;
      if (Check(ops_.FeatureGetAbsoluteControl(cam, feature, &on)) == S_OK && on == DC1394_ON &&
          Check(ops_.FeatureGetAbsoluteValue(cam, feature, &now)) == S_OK && std::trunc(now) == value)
        keepValue = true;
      float minimum = 0, maximum = 0;
      if (HRESULT hr = Check(ops_.FeatureGetAbsoluteBoundaries(cam, feature, &minimum, &maximum)); FAILED(hr))
        return hr;
      if (!keepValue && (value < minimum || value > maximum)) return E_INVALIDARG;
    } else {
      const double rounded = std::nearbyint(value);
      if (rounded < info->min || rounded > info->max) return E_INVALIDARG;
      raw = static_cast<uint32_t>(rounded);
    }
  }
  if (info->on_off_capable) {
    if (HRESULT hr = Check(ops_.FeatureSetPower(cam, feature, DC1394_ON)); FAILED(hr)) return hr;
  }
  if (info->absolute_capable && part == Part::Value) {
    if (HRESULT hr = Check(ops_.FeatureSetAbsoluteControl(cam, feature, absolute ? DC1394_ON : DC1394_OFF)); FAILED(hr))
      return hr;
  }
  if (ModeBits(flags) == 1) {
    const dc1394feature_mode_t mode = (flags & kFlagAuto)      ? DC1394_FEATURE_MODE_AUTO
                                      : (flags & kFlagOnePush) ? DC1394_FEATURE_MODE_ONE_PUSH_AUTO
                                                               : DC1394_FEATURE_MODE_MANUAL;
    if (HRESULT hr = Check(ops_.FeatureSetMode(cam, feature, mode)); FAILED(hr)) return hr;
  }
  if (!manual || keepValue) return S_OK;
  if (absolute) return Check(ops_.FeatureSetAbsoluteValue(cam, feature, static_cast<float>(value)));
  if (part != Part::Value) {
    uint32_t ub = 0, vr = 0;
    if (HRESULT hr = Check(ops_.FeatureWhitebalanceGetValue(cam, &ub, &vr)); FAILED(hr)) return hr;
    (part == Part::Ub ? ub : vr) = raw;
    return Check(ops_.FeatureWhitebalanceSetValue(cam, ub, vr));
  }
  return Check(ops_.FeatureSetValue(cam, feature, raw));
}

std::string Device::DescribeFeatures() {
  MutexLock lock(mutex_);
  dc1394camera_t* cam = Camera();
  dc1394featureset_t set{};
  if (!cam || ops_.FeatureGetAll(cam, &set) != DC1394_SUCCESS) return {};
  std::string text;
  for (int i = 0; i < DC1394_FEATURE_NUM; ++i) {
    const dc1394feature_info_t& f = set.feature[i];
    if (!f.available) continue;
    text += std::string("Feature ") + kFeatureNames[i] + ": ";
    const auto feature = static_cast<dc1394feature_t>(DC1394_FEATURE_MIN + i);
    if (feature == DC1394_FEATURE_TRIGGER) {
      text += "mode " + std::to_string(f.trigger_mode - DC1394_TRIGGER_MODE_MIN) +
              (f.is_on == DC1394_ON ? ", on" : ", off");
    } else {
      text += std::to_string(f.min) + " to " + std::to_string(f.max) + ", value ";
      if (feature == DC1394_FEATURE_WHITE_BALANCE)
        text += std::to_string(f.BU_value) + "/" + std::to_string(f.RV_value);
      else if (feature == DC1394_FEATURE_WHITE_SHADING)
        text += std::to_string(f.R_value) + "/" + std::to_string(f.G_value) + "/" + std::to_string(f.B_value);
      else if (feature == DC1394_FEATURE_TEMPERATURE)
        text += std::to_string(f.value) + " (target " + std::to_string(f.target_value) + ")";
      else
        text += std::to_string(f.value);
      text += f.current_mode == DC1394_FEATURE_MODE_AUTO ? ", auto" : ", manual";
      if (f.absolute_capable)
        text += ", absolute " + Decimal(f.abs_min) + " to " + Decimal(f.abs_max) +
                (f.abs_control == DC1394_ON ? " (on, " + Decimal(f.abs_value) + ")" : " (off)");
      if (HasMode(f, DC1394_FEATURE_MODE_ONE_PUSH_AUTO)) text += ", one-push";
      if (f.on_off_capable) text += f.is_on == DC1394_ON ? ", on" : ", off";
    }
    text += "\r\n";
  }
  return text;
}

// ---- registers ----------------------------------------------------------------------------------------

HRESULT Device::RegisterOffset(uint32_t address, bool* advanced, uint64_t* offset) {
  dc1394camera_t* cam = Camera();
  if (!cam) return kDeviceGone;
  if (address % 4 || address < kCsrSpace) return E_INVALIDARG;
  const uint64_t csr = address - kCsrSpace;
  const uint64_t command = cam->command_registers_base ? cam->command_registers_base : kDefaultCommandBase;
  const uint64_t adv = cam->advanced_features_csr;
  // The nearer of the two areas below the address.
  if (adv && csr >= adv && (adv >= command || csr < command)) {
    *advanced = true;
    *offset = csr - adv;
    return S_OK;
  }
  if (csr < command) return E_INVALIDARG;
  *advanced = false;
  *offset = csr - command;
  return S_OK;
}

HRESULT Device::ReadRegister(uint32_t address, uint32_t* value) {
  MutexLock lock(mutex_);
  bool advanced = false;
  uint64_t offset = 0;
  if (HRESULT hr = RegisterOffset(address, &advanced, &offset); FAILED(hr)) return hr;
  uint32_t v = 0;
  const dc1394error_t error =
      advanced ? ops_.GetAdvControlRegisters(camera_, offset, &v, 1) : ops_.GetControlRegisters(camera_, offset, &v, 1);
  if (HRESULT hr = Check(error); FAILED(hr)) return hr;
  *value = v;
  return S_OK;
}

HRESULT Device::WriteRegister(uint32_t address, uint32_t value) {
  MutexLock lock(mutex_);
  bool advanced = false;
  uint64_t offset = 0;
  if (HRESULT hr = RegisterOffset(address, &advanced, &offset); FAILED(hr)) return hr;
  const dc1394error_t error = advanced ? ops_.SetAdvControlRegisters(camera_, offset, &value, 1)
                                       : ops_.SetControlRegisters(camera_, offset, &value, 1);
  // Features may have changed under the cache's feet (modes, absolute control):
  // their ranges and availability are asked again.
  featuresRead_ = false;
  return Check(error);
}

// ---- streaming ----------------------------------------------------------------------------------------

bool Device::LostWhileStreaming() {
  MutexLock lock(mutex_);
  return lostWhileStreaming_;
}

HRESULT Device::StartStreamingLocked() {
  ReadEntries();
  dc1394camera_t* cam = Camera();
  if (!cam) return kDeviceGone;
  if (!ValidIndex(current_)) return VFW_E_INVALIDMEDIATYPE;
  const Entry e = entries_[static_cast<size_t>(current_)];
  const Choice c = choices_[static_cast<size_t>(current_)];
  // A 1394a speed every IIDC camera takes; a USB camera ignores it.
  ops_.VideoSetIsoSpeed(cam, DC1394_ISO_SPEED_400);
  if (HRESULT hr = Check(ops_.VideoSetMode(cam, e.mode)); FAILED(hr)) return hr;
  if (e.format7) {
    if (HRESULT hr = Check(ops_.Format7SetRoi(cam, e.mode, e.coding->coding, static_cast<int32_t>(c.packet),
                                              static_cast<int32_t>(c.left), static_cast<int32_t>(c.top),
                                              static_cast<int32_t>(c.width), static_cast<int32_t>(c.height)));
        FAILED(hr))
      return hr;
  } else if (HRESULT hr = Check(ops_.VideoSetFramerate(cam, RateOfFpsCode(c.fpsCode))); FAILED(hr)) {
    return hr;
  }
  if (HRESULT hr = Check(ops_.CaptureSetup(cam, kRingFrames, DC1394_CAPTURE_FLAGS_DEFAULT)); FAILED(hr)) return hr;
  if (HRESULT hr = Check(ops_.VideoSetTransmission(cam, DC1394_ON)); FAILED(hr)) {
    ops_.CaptureStop(cam);
    return hr;
  }
  streaming_ = true;
  streamEntry_ = e;
  streamChoice_ = c;
  emptyPolls_ = 0;
  brokenSaid_ = false;
  return S_OK;
}

void Device::StopStreamingLocked() {
  if (!streaming_) return;
  streaming_ = false;
  if (camera_) {
    ops_.VideoSetTransmission(camera_, DC1394_OFF);
    ops_.CaptureStop(camera_);
  }
}

void Device::StopStreaming() {
  MutexLock stream(streamMutex_);
  MutexLock lock(mutex_);
  StopStreamingLocked();
  lostWhileStreaming_ = false;
  startFailedSaid_ = false;
}

void Device::LostLocked(const std::string& why) {
  if (lostWhileStreaming_) return;
  lostWhileStreaming_ = true;
  Say("the camera is gone (unplugged, or lost in a bus reset: " + why + "); streaming ended");
  StopStreamingLocked();
  suspect_ = true;  // the next open asks the bus for it and takes a new handle
}

// Waits up to waitMs for a frame in the ring; an interrupted wait is waited
// again (a signal costs no frame).
int Device::PollRing(int fd, int waitMs) {
  int ready;
  int tries = 0;
  do ready = ops_.Poll(fd, waitMs);
  while (ready < 0 && errno == EINTR && ++tries < kMaxInterruptions);
  return ready;
}

int Device::DropCaptured() {
  MutexLock stream(streamMutex_);
  MutexLock lock(mutex_);
  if (!streaming_ || lostWhileStreaming_ || !camera_) return 0;
  dc1394camera_t* cam = camera_;
  // A poll of the ring's descriptor that does not wait says whether a frame
  // is there now; without a descriptor the polling dequeue alone says it.
  const int fd = ops_.CaptureGetFileno(cam);
  int dropped = 0;
  while (dropped < static_cast<int>(2 * kRingFrames)) {
    if (fd >= 0) {
      if (PollRing(fd, 0) <= 0) break;  // a failed wait is the next frame's to report
    }
    dc1394video_frame_t* frame = nullptr;
    if (ops_.CaptureDequeue(cam, DC1394_CAPTURE_POLICY_POLL, &frame) != DC1394_SUCCESS) {
      LostLocked("taking a frame failed");
      break;
    }
    if (!frame) break;
    ++dropped;
    if (ops_.CaptureEnqueue(cam, frame) != DC1394_SUCCESS) {
      LostLocked("giving a frame back failed");
      break;
    }
  }
  return dropped;
}

bool Device::NextFrame(FrameBuffer& scratch, int waitMs, const Deliver& deliver) {
  MutexLock stream(streamMutex_);
  dc1394camera_t* cam = nullptr;
  Entry entry;
  Choice choice;
  {
    MutexLock lock(mutex_);
    if (lostWhileStreaming_) return false;
    if (!streaming_) {
      const HRESULT hr = StartStreamingLocked();
      if (FAILED(hr)) {
        // A camera that cannot start because it has left ends the stream as one that left while streaming.
        // Asked of the bus once per stream, not at every turn of the streaming thread.
        const bool gone = gone_ || (suspect_ && !startFailedSaid_ && FAILED(Reprobe()));
        if (!startFailedSaid_) {
          startFailedSaid_ = true;
          Say(std::string("cannot start streaming: ") +
              (gone                 ? "the camera is gone"
               : hr == kDeviceBusy  ? "the bus has no channel or bandwidth left: another program may be streaming "
                                      "from the camera"
               : hr == E_INVALIDARG ? "the camera refuses the format"
                                    : "the camera does not answer") +
              " (libdc1394 error " + std::to_string(static_cast<int>(lastError_)) + ")");
        }
        if (gone) lostWhileStreaming_ = true;
        return false;
      }
    }
    cam = camera_;
    entry = streamEntry_;
    choice = streamChoice_;
  }

  // The descriptor becomes readable when a frame is in the ring. An
  // interrupted wait is waited again: a signal costs no frame.
  const int fd = ops_.CaptureGetFileno(cam);
  if (fd >= 0) {
    const int ready = PollRing(fd, waitMs);
    if (ready == 0) return false;  // nothing yet: asked again at the next turn
    if (ready < 0) {
      const int error = errno;
      MutexLock lock(mutex_);
      if (error != EINTR) LostLocked(std::string("waiting for a frame failed: ") + std::generic_category().message(error));
      return false;
    }
  }

  dc1394video_frame_t* frame = nullptr;
  {
    MutexLock lock(mutex_);
    if (!streaming_) return false;
    const dc1394error_t error = ops_.CaptureDequeue(cam, DC1394_CAPTURE_POLICY_POLL, &frame);
    if (error != DC1394_SUCCESS) {
      LostLocked("taking a frame failed");
      return false;
    }
    if (!frame) {
      if (fd >= 0 && ++emptyPolls_ >= kMaxEmptyPolls) LostLocked("the frame ring answers without frames");
      return false;
    }
    emptyPolls_ = 0;
  }

  // The frame goes back to the ring whatever happens to it.
  bool requeued = false;
  const auto requeue = [&] {
    if (requeued) return;
    requeued = true;
    MutexLock lock(mutex_);
    if (streaming_ && ops_.CaptureEnqueue(cam, frame) != DC1394_SUCCESS) LostLocked("giving a frame back failed");
  };
  struct Requeue {
    const decltype(requeue)& f;
    ~Requeue() { f(); }
  } guard{requeue};

  const Coding& coding = *entry.coding;
  const uint32_t w = choice.width, h = choice.height;
  const size_t bytes = FrameBytes(coding, w, h);
  size_t used = frame->image_bytes ? frame->image_bytes : static_cast<size_t>(frame->total_bytes);
  if (frame->allocated_image_bytes) used = std::min<size_t>(used, frame->allocated_image_bytes);
  const uint32_t stride = frame->stride;
  const bool little = frame->little_endian == DC1394_TRUE;
  const uint32_t order = frame->yuv_byte_order;
  const bool sizeMatches = frame->size[0] == w && frame->size[1] == h;
  if (!frame->image || !sizeMatches || used < (stride ? size_t{stride} * (h - 1) + RowBytes(coding, w) : bytes)) {
    MutexLock lock(mutex_);
    if (!brokenSaid_) {
      brokenSaid_ = true;
      Say("a frame of " + std::to_string(frame->size[0]) + "x" + std::to_string(frame->size[1]) + " and " +
          std::to_string(used) + " bytes does not fit the stream's " + std::to_string(w) + "x" + std::to_string(h) +
          " " + coding.name + "; such frames are dropped");
    }
    return false;
  }
  const double time = static_cast<double>(frame->timestamp) / 1e6;
  if (InPipelineLayout(coding, w, stride, little, order)) {
    deliver(frame->image, bytes, time);
    return true;
  }
  scratch.resize(bytes);
  if (!Repack(coding, w, h, stride, little, order, frame->image, used, scratch.data())) return false;
  requeue();
  deliver(scratch.data(), scratch.size(), time);
  return true;
}

}  // namespace kelvane::iidc
