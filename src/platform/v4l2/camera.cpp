// The capture filter of a V4L2 camera: its capture pin with the stream
// configuration, its controls behind the video processing amplifier and the
// camera control interface, and its frames pushed into the framework's
// streaming thread.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/dshow.h"
#include "platform/factory.h"
#include "platform/framework/fault.h"
#include "platform/framework/framework.h"
#include "platform/framework/object.h"
#include "platform/v4l2/v4l2.h"

namespace kelvane::v4l2 {

using namespace platform;
using framework::Facet;
using framework::MediaType;
using framework::Pin;

namespace {

constexpr int32_t kFlagAuto = 1, kFlagManual = 2;
// How long one wait for a frame may hold the streaming thread: a stop waits
// for the frame in hand, so this bounds how long a stop can take.
constexpr int kFrameWaitMs = 100;
constexpr int64_t kDefaultInterval = 333'333;  // 30 frames a second, for a device that does not say

// A property of the video processing amplifier or the camera control
// interface, and the V4L2 controls behind it.
struct ControlMap {
  int32_t property;
  uint32_t id;
  uint32_t autoId;  // 0: no automatic mode
};

// clang-format off
const ControlMap kProcAmp[] = {
    {0, V4L2_CID_BRIGHTNESS, V4L2_CID_AUTOBRIGHTNESS},
    {1, V4L2_CID_CONTRAST, 0},
    {2, V4L2_CID_HUE, V4L2_CID_HUE_AUTO},
    {3, V4L2_CID_SATURATION, 0},
    {4, V4L2_CID_SHARPNESS, 0},
    {5, V4L2_CID_GAMMA, 0},
    {7, V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_AUTO_WHITE_BALANCE},
    {8, V4L2_CID_BACKLIGHT_COMPENSATION, 0},
    {9, V4L2_CID_GAIN, V4L2_CID_AUTOGAIN},
    {10, V4L2_CID_POWER_LINE_FREQUENCY, 0},
};
const ControlMap kCameraControl[] = {
    {0, V4L2_CID_PAN_ABSOLUTE, 0},
    {1, V4L2_CID_TILT_ABSOLUTE, 0},
    {3, V4L2_CID_ZOOM_ABSOLUTE, 0},
    {4, V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CID_EXPOSURE_AUTO},
    {5, V4L2_CID_IRIS_ABSOLUTE, 0},
    {6, V4L2_CID_FOCUS_ABSOLUTE, V4L2_CID_FOCUS_AUTO},
};
// clang-format on

const ControlMap* FindControl(const ControlMap* table, size_t n, int32_t property) {
  for (size_t i = 0; i < n; ++i)
    if (table[i].property == property) return &table[i];
  return nullptr;
}

// The exposure's automatic switch is a menu in which only "manual" is manual.
bool IsAutoValue(uint32_t autoId, int32_t value) {
  return autoId == V4L2_CID_EXPOSURE_AUTO ? value != V4L2_EXPOSURE_MANUAL : value != 0;
}

class Camera;

template <class I>
class Controls final : public Facet<I> {
 public:
  Controls(Camera& camera, const ControlMap* table, size_t count, const char* name);
  HRESULT GetRange(int32_t property, int32_t* minimum, int32_t* maximum, int32_t* step, int32_t* defaultValue,
                   int32_t* capsFlags) override;
  HRESULT Set(int32_t property, int32_t value, int32_t flags) override;
  HRESULT Get(int32_t property, int32_t* value, int32_t* flags) override;
  bool Any();

 private:
  std::string Op(const char* method) const { return std::string(name_) + "::" + method; }
  Camera& camera_;
  const ControlMap* table_;
  size_t count_;
  const char* name_;
};

class CapturePin final : public Pin, public IAMStreamConfig {
 public:
  explicit CapturePin(Camera& camera);
  HRESULT QueryInterface(REFIID riid, void** out) override { return Pin::QueryInterface(riid, out); }
  ULONG AddRef() override { return Pin::AddRef(); }
  ULONG Release() override { return Pin::Release(); }

  HRESULT SetFormat(AM_MEDIA_TYPE* mt) override;
  HRESULT GetFormat(AM_MEDIA_TYPE** mt) override;
  HRESULT GetNumberOfCapabilities(int32_t* count, int32_t* size) override;
  HRESULT GetStreamCaps(int32_t index, AM_MEDIA_TYPE** mt, uint8_t* caps) override;

 protected:
  void* FindExtra(REFIID riid) override {
    return riid == IAMStreamConfig::iid ? static_cast<IAMStreamConfig*>(this) : nullptr;
  }

 private:
  Camera& camera_;
};

// A media type for a device format: the pipeline's subtype at the device's size.
MediaType TypeOf(const PixelFormat& format, uint32_t width, uint32_t height, int64_t interval) {
  MediaType m =
      framework::MakeVideoType(format.subtype, static_cast<int32_t>(width), static_cast<int32_t>(height), interval);
  // Several device formats may share one subtype (the four Bayer orders, the
  // 4:2:0 layouts): the device's own code rides along, so that a format taken
  // from the capabilities is set exactly as listed.
  if (auto* vih = platform::VideoInfo(m.Get())) vih->dwBitErrorRate = format.fourcc;
  if (format.layout == Layout::Compressed) {
    // A compressed frame is at most this big; each one says its own length.
    AM_MEDIA_TYPE& mt = m.Get();
    const uint32_t bound = width * height * 2;
    mt.lSampleSize = bound;
    if (auto* vih = platform::VideoInfo(mt)) {
      vih->bmiHeader.biSizeImage = bound;
      vih->bmiHeader.biBitCount = 16;
    }
  }
  return m;
}

class Camera final : public framework::SourceFilter, public IDeviceDescription {
 public:
  explicit Camera(std::shared_ptr<Device> device)
      : device_(std::move(device)),
        procAmp_(*this, kProcAmp, std::size(kProcAmp), "IAMVideoProcAmp"),
        cameraControl_(*this, kCameraControl, std::size(kCameraControl), "IAMCameraControl") {
    pin_ = static_cast<CapturePin*>(&AddPin(std::make_unique<CapturePin>(*this)));
  }
  KELVANE_IUNKNOWN

  Device& Dev() const { return *device_; }
  std::string Scope() const override { return device_->Id().card; }
  HRESULT Health() const override {
    if (device_->LostWhileStreaming()) return kDeviceGone;
    return device_->Health();
  }

  // ---- negotiation ----
  std::vector<MediaType> Proposals(const Pin&) const override {
    std::vector<MediaType> v;
    // A device another program streams from connects to nothing.
    if (FAILED(device_->Claim())) return v;
    Current c;
    if (SUCCEEDED(CurrentOrFirst(&c))) v.push_back(TypeOf(*c.format, c.width, c.height, c.interval));
    return v;
  }
  void Connected(Pin&) override { connected_.store(true); }
  void Disconnected(Pin&) override { connected_.store(false); }
  bool IsConnected() const { return connected_.load(); }

  // The format the device streams now; a device that streams a format the
  // pipeline cannot read is set to the first one it can.
  HRESULT CurrentOrFirst(Current* c) const {
    HRESULT hr = device_->GetCurrent(c);
    if (hr != VFW_E_INVALIDMEDIATYPE) return hr;
    const auto modes = device_->Modes();
    if (modes.empty()) return VFW_E_INVALIDMEDIATYPE;
    const Mode& m = modes.front();
    hr = device_->SetCurrent(*m.format, m.width, m.height, 0);
    if (FAILED(hr)) return hr;
    return device_->GetCurrent(c);
  }

  // ---- streaming ----
  int64_t FrameInterval() const override {
    const int64_t interval = device_->FrameInterval();
    return interval > 0 ? interval : kDefaultInterval;
  }
  // The device paces the frames: the streaming thread waits in NextFrame.
  framework::Pacing CurrentPacing() const override { return framework::Pacing::Fast; }
  bool NextFrame(FrameBuffer& frame, double* time) override {
    bool got = false;
    device_->NextFrame(frame, kFrameWaitMs, [&](uint8_t* data, size_t length, double t) {
      if (data != frame.data()) frame.assign(data, data + length);
      *time = t;
      got = true;
    });
    return got;
  }
  bool ProduceFrame(FrameBuffer& scratch, Pin& output) override {
    return device_->NextFrame(scratch, kFrameWaitMs,
                              [&](uint8_t* data, size_t length, double time) { Deliver(output, data, length, time); });
  }
  // Frames the driver filled while the stream was paused are not handed on.
  void Resumed() override { device_->DropCaptured(); }
  void StreamEnded(const std::shared_ptr<framework::Stream>&) override { device_->StopStreaming(); }
  std::string StreamName() const override { return "V4L2 stream"; }

  CapturePin& Output() { return *pin_; }

  // ---- IDeviceDescription ----
  HRESULT Describe(std::string* text) override {
    if (!text) return E_POINTER;
    Identity id = device_->Id();
    *text = "Device node: " + id.path + "\r\nDriver: " + id.driver + "\r\nCard: " + id.card + "\r\nBus: " + id.busInfo +
            "\r\n";
    if (FAILED(Health())) *text += "State: gone\r\n";
    std::vector<const PixelFormat*> said;
    for (const Mode& m : device_->Modes()) {
      if (!m.format->bayer || std::find(said.begin(), said.end(), m.format) != said.end()) continue;
      said.push_back(m.format);
      *text += std::string("Mosaic of ") + m.format->name + ": " + BayerName(m.format->bayer) + ", RawMode " +
               std::to_string(RawModeFor(m.format->bayer, 0)) + " with Algorithm 0, RawMode " +
               std::to_string(RawModeFor(m.format->bayer, 1)) + " with Algorithms 1 to 4\r\n";
    }
    return S_OK;
  }

 protected:
  void* Find(REFIID riid) override {
    if (riid == IUnknown::iid || riid == IBaseFilter::iid) return static_cast<IBaseFilter*>(this);
    if (riid == IDeviceDescription::iid) return static_cast<IDeviceDescription*>(this);
    if (riid == IAMVideoProcAmp::iid && procAmp_.Any()) return static_cast<IAMVideoProcAmp*>(&procAmp_);
    if (riid == IAMCameraControl::iid && cameraControl_.Any()) return static_cast<IAMCameraControl*>(&cameraControl_);
    return nullptr;
  }

 private:
  std::shared_ptr<Device> device_;
  CapturePin* pin_ = nullptr;
  Controls<IAMVideoProcAmp> procAmp_;
  Controls<IAMCameraControl> cameraControl_;
  std::atomic<bool> connected_{false};
};

#define KELVANE_V4L2_ENTER(operation, camera)                        \
  do {                                                               \
    if (HRESULT gone = (camera).Health(); FAILED(gone)) return gone; \
    KELVANE_FAULT(operation, (camera).Scope());                      \
  } while (0)

// ---- controls -----------------------------------------------------------------------------------------

template <class I>
Controls<I>::Controls(Camera& camera, const ControlMap* table, size_t count, const char* name)
    : Facet<I>(camera), camera_(camera), table_(table), count_(count), name_(name) {}

template <class I>
bool Controls<I>::Any() {
  for (size_t i = 0; i < count_; ++i) {
    Control c;
    if (SUCCEEDED(camera_.Dev().QueryControl(table_[i].id, &c))) return true;
  }
  return false;
}

template <class I>
HRESULT Controls<I>::GetRange(int32_t property, int32_t* minimum, int32_t* maximum, int32_t* step,
                              int32_t* defaultValue, int32_t* capsFlags) {
  KELVANE_V4L2_ENTER(Op("GetRange"), camera_);
  if (!minimum || !maximum || !step || !defaultValue || !capsFlags) return E_POINTER;
  const ControlMap* map = FindControl(table_, count_, property);
  if (!map) return E_PROP_ID_UNSUPPORTED;
  Control c;
  if (HRESULT hr = camera_.Dev().QueryControl(map->id, &c); FAILED(hr)) return hr;
  Control a;
  const bool hasAuto = map->autoId && SUCCEEDED(camera_.Dev().QueryControl(map->autoId, &a));
  *minimum = c.minimum;
  *maximum = c.maximum;
  *step = c.step;
  *defaultValue = c.defaultValue;
  *capsFlags = kFlagManual | (hasAuto ? kFlagAuto : 0);
  return S_OK;
}

template <class I>
HRESULT Controls<I>::Get(int32_t property, int32_t* value, int32_t* flags) {
  KELVANE_V4L2_ENTER(Op("Get"), camera_);
  if (!value || !flags) return E_POINTER;
  const ControlMap* map = FindControl(table_, count_, property);
  if (!map) return E_PROP_ID_UNSUPPORTED;
  Control c;
  if (HRESULT hr = camera_.Dev().QueryControl(map->id, &c); FAILED(hr)) return hr;
  if (HRESULT hr = camera_.Dev().GetControl(map->id, value); FAILED(hr)) return hr;
  *flags = kFlagManual;
  Control a;
  int32_t autoValue = 0;
  if (map->autoId && SUCCEEDED(camera_.Dev().QueryControl(map->autoId, &a)) &&
      SUCCEEDED(camera_.Dev().GetControl(map->autoId, &autoValue)) && IsAutoValue(map->autoId, autoValue))
    *flags = kFlagAuto;
  return S_OK;
}

template <class I>
HRESULT Controls<I>::Set(int32_t property, int32_t value, int32_t flags) {
  KELVANE_V4L2_ENTER(Op("Set"), camera_);
  const ControlMap* map = FindControl(table_, count_, property);
  if (!map) return E_PROP_ID_UNSUPPORTED;
  Device& d = camera_.Dev();
  Control c;
  if (HRESULT hr = d.QueryControl(map->id, &c); FAILED(hr)) return hr;
  Control a;
  const bool hasAuto = map->autoId && SUCCEEDED(d.QueryControl(map->autoId, &a));
  if (flags & ~(kFlagAuto | kFlagManual)) return E_INVALIDARG;
  if ((flags & kFlagAuto) && !hasAuto) return E_INVALIDARG;
  if (flags & kFlagAuto) {
    // Automatic: the device's own choice of automatic mode for the exposure
    // (its default when that is automatic), else on.
    int32_t on = 1;
    if (map->autoId == V4L2_CID_EXPOSURE_AUTO) {
      on = a.defaultValue != V4L2_EXPOSURE_MANUAL ? a.defaultValue : V4L2_EXPOSURE_APERTURE_PRIORITY;
      if (on < a.minimum || on > a.maximum) on = V4L2_EXPOSURE_AUTO;
    }
    return d.SetControl(map->autoId, on);
  }
  if (value < c.minimum || value > c.maximum) return E_INVALIDARG;
  if (hasAuto) {
    const int32_t manual = map->autoId == V4L2_CID_EXPOSURE_AUTO ? V4L2_EXPOSURE_MANUAL : 0;
    if (HRESULT hr = d.SetControl(map->autoId, manual); FAILED(hr)) return hr;
  }
  return d.SetControl(map->id, value);
}

// ---- capture pin --------------------------------------------------------------------------------------

CapturePin::CapturePin(Camera& camera) : Pin(camera, PINDIR_OUTPUT, u"Capture"), camera_(camera) {}

HRESULT CapturePin::GetFormat(AM_MEDIA_TYPE** mt) {
  KELVANE_V4L2_ENTER("IAMStreamConfig::GetFormat", camera_);
  if (!mt) return E_POINTER;
  *mt = nullptr;
  Current c;
  if (HRESULT hr = camera_.CurrentOrFirst(&c); FAILED(hr)) return hr;
  MediaType type = TypeOf(*c.format, c.width, c.height, c.interval > 0 ? c.interval : kDefaultInterval);
  *mt = CreateMediaType(type.Get());
  return *mt ? S_OK : E_OUTOFMEMORY;
}

HRESULT CapturePin::GetNumberOfCapabilities(int32_t* count, int32_t* size) {
  KELVANE_V4L2_ENTER("IAMStreamConfig::GetNumberOfCapabilities", camera_);
  if (!count || !size) return E_POINTER;
  *count = static_cast<int32_t>(camera_.Dev().Modes().size());
  *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
  return S_OK;
}

HRESULT CapturePin::GetStreamCaps(int32_t index, AM_MEDIA_TYPE** mt, uint8_t* caps) {
  KELVANE_V4L2_ENTER("IAMStreamConfig::GetStreamCaps", camera_);
  if (!mt || !caps) return E_POINTER;
  *mt = nullptr;
  if (index < 0) return E_INVALIDARG;
  const auto modes = camera_.Dev().Modes();
  if (static_cast<size_t>(index) >= modes.size()) return S_FALSE;
  const Mode& m = modes[static_cast<size_t>(index)];
  const int64_t interval = m.minInterval > 0 ? m.minInterval : kDefaultInterval;
  MediaType type = TypeOf(*m.format, m.width, m.height, interval);
  VIDEO_STREAM_CONFIG_CAPS c{};
  c.guid = FORMAT_VideoInfo;
  const auto w = static_cast<int32_t>(m.width), h = static_cast<int32_t>(m.height);
  c.InputSize = {w, h};
  c.MinCroppingSize = {static_cast<int32_t>(m.minWidth), static_cast<int32_t>(m.minHeight)};
  c.MaxCroppingSize = {w, h};
  c.CropGranularityX = static_cast<int32_t>(m.stepWidth);
  c.CropGranularityY = static_cast<int32_t>(m.stepHeight);
  c.CropAlignX = static_cast<int32_t>(m.stepWidth);
  c.CropAlignY = static_cast<int32_t>(m.stepHeight);
  c.MinOutputSize = c.MinCroppingSize;
  c.MaxOutputSize = {w, h};
  c.OutputGranularityX = static_cast<int32_t>(m.stepWidth);
  c.OutputGranularityY = static_cast<int32_t>(m.stepHeight);
  c.MinFrameInterval = interval;
  c.MaxFrameInterval = m.maxInterval > 0 ? m.maxInterval : interval;
  std::memcpy(caps, &c, sizeof c);
  *mt = CreateMediaType(type.Get());
  return *mt ? S_OK : E_OUTOFMEMORY;
}

HRESULT CapturePin::SetFormat(AM_MEDIA_TYPE* mt) {
  KELVANE_V4L2_ENTER("IAMStreamConfig::SetFormat", camera_);
  if (!mt) return E_POINTER;
  const VIDEOINFOHEADER* vih = VideoInfo(*mt);
  if (!(mt->majortype == MEDIATYPE_Video) || !vih) return VFW_E_INVALIDMEDIATYPE;
  if (camera_.IsConnected()) return VFW_E_WRONG_STATE;
  const int32_t w = vih->bmiHeader.biWidth;
  const int32_t h = vih->bmiHeader.biHeight < 0 ? -vih->bmiHeader.biHeight : vih->bmiHeader.biHeight;
  if (w <= 0 || h <= 0) return VFW_E_INVALIDMEDIATYPE;
  const auto uw = static_cast<uint32_t>(w), uh = static_cast<uint32_t>(h);
  const auto modes = camera_.Dev().Modes();
  bool named = false;  // whether the type names one of the device's formats
  for (const Mode& m : modes) named = named || m.format->fourcc == vih->dwBitErrorRate;
  for (const Mode& m : modes) {
    if (!(m.format->subtype == mt->subtype)) continue;
    if (named && m.format->fourcc != vih->dwBitErrorRate) continue;
    const bool fits = m.Ranged() ? uw >= m.minWidth && uw <= m.width && uh >= m.minHeight && uh <= m.height &&
                                       (uw - m.minWidth) % m.stepWidth == 0 && (uh - m.minHeight) % m.stepHeight == 0
                                 : uw == m.width && uh == m.height;
    if (!fits) continue;
    const int64_t interval = vih->AvgTimePerFrame;
    if (interval != 0 && m.minInterval > 0 && m.intervals.empty() &&
        (interval < m.minInterval || interval > m.maxInterval))
      return VFW_E_INVALIDMEDIATYPE;
    return camera_.Dev().SetCurrent(*m.format, uw, uh, interval > 0 ? interval : 0);
  }
  return VFW_E_INVALIDMEDIATYPE;
}

}  // namespace

HRESULT CreateCameraFilter(std::shared_ptr<Device> device, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return framework::HandOut(new Camera(std::move(device)), riid, out);
}

}  // namespace kelvane::v4l2
