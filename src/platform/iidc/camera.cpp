// The capture filter of an IIDC camera, as the IEEE 1394 camera driver
// presents one: its capture pin with the stream configuration, the
// camera-information interface (vendor record, registers), the three property
// interfaces on the camera's features, the format interface (fixed modes with
// their frame-rate codes, Format 7 regions and packet sizes), the video
// control's external trigger, and its frames pushed into the framework's
// streaming thread.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "platform/dshow.h"
#include "platform/factory.h"
#include "platform/firei.h"
#include "platform/framework/fault.h"
#include "platform/framework/framework.h"
#include "platform/framework/object.h"
#include "platform/iidc/iidc.h"

namespace kelvane::iidc {

using namespace platform;
using framework::Facet;
using framework::MediaType;
using framework::Pin;

namespace {

// How long one wait for a frame may hold the streaming thread: a stop waits
// for the frame in hand, so this bounds how long a stop can take.
constexpr int kFrameWaitMs = 100;
constexpr int64_t kDefaultInterval = 333'333;
constexpr uint32_t kTriggerMode = 0xF0F00830u;
constexpr uint32_t kTriggerPresent = 0x80000000u, kTriggerOn = 0x02000000u;

// A code of one of the driver's property interfaces, and the feature behind it.
struct FeatureMap {
  int32_t code;
  dc1394feature_t feature;
  Part part;
};

// clang-format off
const FeatureMap kExposure[] = {
    {0, DC1394_FEATURE_EXPOSURE, Part::Value}, {1, DC1394_FEATURE_SHUTTER, Part::Value},
    {2, DC1394_FEATURE_GAIN, Part::Value},     {3, DC1394_FEATURE_IRIS, Part::Value},
};
const FeatureMap kColor[] = {
    {0, DC1394_FEATURE_WHITE_BALANCE, Part::Ub}, {1, DC1394_FEATURE_WHITE_BALANCE, Part::Vr},
    {2, DC1394_FEATURE_HUE, Part::Value},        {3, DC1394_FEATURE_SATURATION, Part::Value},
};
const FeatureMap kBasic[] = {
    {0, DC1394_FEATURE_FOCUS, Part::Value},     {1, DC1394_FEATURE_ZOOM, Part::Value},
    {2, DC1394_FEATURE_BRIGHTNESS, Part::Value}, {3, DC1394_FEATURE_SHARPNESS, Part::Value},
    {4, DC1394_FEATURE_GAMMA, Part::Value},
};
// The camera control interface's pan and tilt: integer values.
const FeatureMap kCameraControl[] = {
    {0, DC1394_FEATURE_PAN, Part::Value}, {1, DC1394_FEATURE_TILT, Part::Value},
};
// clang-format on

template <size_t N>
const FeatureMap* FindCode(const FeatureMap (&table)[N], int32_t code) {
  for (const FeatureMap& m : table)
    if (m.code == code) return &m;
  return nullptr;
}

int32_t FloatBits(double v) { return std::bit_cast<int32_t>(static_cast<float>(v)); }
double FromBits(int32_t bits) { return static_cast<double>(std::bit_cast<float>(bits)); }

class Camera;

// One of the driver's three property interfaces: values as 32-bit floats.
template <class I, size_t N>
class FiProperties final : public Facet<I> {
 public:
  FiProperties(Camera& camera, const FeatureMap (&table)[N], const char* name);
  HRESULT GetRange(int32_t code, int32_t* minimum, int32_t* maximum, int32_t* step, int32_t* defaultValue,
                   int32_t* flags) override;
  HRESULT Set(int32_t code, int32_t value, int32_t flags) override;
  HRESULT Get(int32_t code, int32_t* value, int32_t* flags) override;
  bool Any();

 private:
  std::string Op(const char* method) const { return std::string(name_) + "::" + method; }
  Camera& camera_;
  const FeatureMap (&table_)[N];
  const char* name_;
};

// The camera control interface: integer values, automatic or manual.
class CameraControl final : public Facet<IAMCameraControl> {
 public:
  explicit CameraControl(Camera& camera);
  HRESULT GetRange(int32_t property, int32_t* minimum, int32_t* maximum, int32_t* step, int32_t* defaultValue,
                   int32_t* capsFlags) override;
  HRESULT Set(int32_t property, int32_t value, int32_t flags) override;
  HRESULT Get(int32_t property, int32_t* value, int32_t* flags) override;
  bool Any();

 private:
  Camera& camera_;
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

// The media type of entry `index` as it stands now (Format 7: its region),
// and its capabilities.
MediaType TypeOf(Device& device, const Entry& e, int32_t index, VIDEO_STREAM_CONFIG_CAPS* caps) {
  Choice c;
  device.GetChoice(index, &c);
  const int64_t interval = device.IntervalOf(index);
  const auto w = static_cast<int32_t>(c.width), h = static_cast<int32_t>(c.height);
  MediaType m = framework::MakeVideoType(e.coding->subtype, w, h, interval > 0 ? interval : kDefaultInterval);
  if (auto* vih = VideoInfo(m.Get())) {
    const RECT region{static_cast<int32_t>(c.left), static_cast<int32_t>(c.top), static_cast<int32_t>(c.left) + w,
                      static_cast<int32_t>(c.top) + h};
    vih->rcSource = vih->rcTarget = region;
    if (interval > 0)
      vih->dwBitRate = static_cast<uint32_t>(
          std::min<double>(static_cast<double>(m.Get().lSampleSize) * 8.0 * 1e7 / static_cast<double>(interval), 4e9));
  }
  if (!caps) return m;
  VIDEO_STREAM_CONFIG_CAPS& k = *caps;
  k = VIDEO_STREAM_CONFIG_CAPS{};
  k.guid = FORMAT_VideoInfo;
  const auto mw = static_cast<int32_t>(e.width), mh = static_cast<int32_t>(e.height);
  if (e.format7) {
    const auto ux = static_cast<int32_t>(e.unitX), uy = static_cast<int32_t>(e.unitY);
    k.InputSize = {mw, mh};
    k.MinCroppingSize = {ux, uy};
    k.MaxCroppingSize = {mw, mh};
    k.CropGranularityX = ux;
    k.CropGranularityY = uy;
    k.CropAlignX = static_cast<int32_t>(e.posUnitX);
    k.CropAlignY = static_cast<int32_t>(e.posUnitY);
    k.MinOutputSize = {ux, uy};
    k.MaxOutputSize = {mw, mh};
    k.OutputGranularityX = ux;
    k.OutputGranularityY = uy;
    k.MinFrameInterval = k.MaxFrameInterval = interval;
  } else {
    k.InputSize = k.MinCroppingSize = k.MaxCroppingSize = {mw, mh};
    k.MinOutputSize = k.MaxOutputSize = {mw, mh};
    k.MinFrameInterval = IntervalOfFpsCode(e.fpsCodes.back());
    k.MaxFrameInterval = IntervalOfFpsCode(e.fpsCodes.front());
  }
  const double frameBits = static_cast<double>(FrameBytes(*e.coding, e.width, e.height)) * 8.0;
  if (k.MinFrameInterval > 0)
    k.MaxBitsPerSecond = static_cast<int32_t>(std::min(frameBits * 1e7 / static_cast<double>(k.MinFrameInterval), 2e9));
  if (k.MaxFrameInterval > 0)
    k.MinBitsPerSecond = static_cast<int32_t>(std::min(frameBits * 1e7 / static_cast<double>(k.MaxFrameInterval), 2e9));
  return m;
}

class Camera final : public framework::SourceFilter,
                     public IAMVideoControl,
                     public IFiCameraInfo,
                     public IFiVideoFormatConfig,
                     public IDeviceDescription {
 public:
  explicit Camera(std::shared_ptr<Device> device)
      : device_(std::move(device)),
        exposure_(*this, kExposure, "IFiExposureControl"),
        color_(*this, kColor, "IFiColorControl"),
        basic_(*this, kBasic, "IFiBasicControl"),
        cameraControl_(*this) {
    pin_ = static_cast<CapturePin*>(&AddPin(std::make_unique<CapturePin>(*this)));
  }
  ~Camera() override {
    std::vector<FiStreamCapsEntry*> lists;
    {
      std::lock_guard own(listsMutex_);
      for (auto& [list, n] : lists_) lists.push_back(list);
    }
    for (FiStreamCapsEntry* list : lists) FreeList(list);
  }
  KELVANE_IUNKNOWN

  Device& Dev() const { return *device_; }
  std::string Scope() const override { return device_->Name(); }
  HRESULT Health() const override {
    if (device_->LostWhileStreaming()) return kDeviceGone;
    return device_->Health();
  }

  // ---- negotiation ----
  std::vector<MediaType> Proposals(const Pin&) const override {
    std::vector<MediaType> v;
    const auto entries = device_->Entries();
    const int32_t current = device_->Current();
    if (current >= 0 && static_cast<size_t>(current) < entries.size())
      v.push_back(TypeOf(*device_, entries[static_cast<size_t>(current)], current, nullptr));
    return v;
  }
  void Connected(Pin&) override { device_->SetConnected(true); }
  void Disconnected(Pin&) override { device_->SetConnected(false); }

  // ---- streaming ----
  int64_t FrameInterval() const override {
    const int64_t interval = device_->IntervalOf(device_->Current());
    return interval > 0 ? interval : kDefaultInterval;
  }
  // The camera paces the frames: the streaming thread waits in NextFrame.
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
  // Frames the camera put in the ring while the stream was paused are not handed on.
  void Resumed() override { device_->DropCaptured(); }
  void StreamEnded(const std::shared_ptr<framework::Stream>&) override { device_->StopStreaming(); }
  std::string StreamName() const override { return "IIDC stream"; }

  // ---- IAMVideoControl: the external trigger of TRIGGER_MODE ----
  HRESULT GetCaps(IPin* pin, int32_t* caps) override;
  HRESULT SetMode(IPin* pin, int32_t mode) override;
  HRESULT GetMode(IPin* pin, int32_t* mode) override;

  // ---- IFiCameraInfo ----
  HRESULT GetVendorInfo(uint8_t* record) override;
  HRESULT ReadRegister(uint32_t address, uint32_t* value) override;
  HRESULT WriteRegister(uint32_t address, uint32_t value) override;

  // ---- IFiVideoFormatConfig ----
  HRESULT GetStreamCaps(FiStreamCapsEntry** list, uint32_t* count) override;
  HRESULT FreeStreamCaps(FiStreamCapsEntry* list) override;
  HRESULT GetDefaultFormat(int32_t* index) override;
  HRESULT SetDefaultFormat(int32_t index) override;
  HRESULT GetF7PacketInfo(int32_t index, uint32_t* minimum, uint32_t* maximum) override;
  HRESULT GetF7PacketSize(int32_t index, uint32_t* size) override;
  HRESULT SetF7PacketSize(int32_t index, uint32_t size) override;
  HRESULT GetCurrentFps(int32_t index, int32_t* code) override;
  HRESULT SetCurrentFps(int32_t index, int32_t code) override;
  HRESULT SetCustomRect(int32_t index, RECT rect) override;
  HRESULT GetCustomRect(int32_t index, RECT* rect) override;

  // ---- IDeviceDescription ----
  HRESULT Describe(std::string* text) override;

  CapturePin& Output() { return *pin_; }

 protected:
  void* Find(REFIID riid) override {
    if (riid == IUnknown::iid || riid == IBaseFilter::iid) return static_cast<IBaseFilter*>(this);
    if (riid == IAMVideoControl::iid) return static_cast<IAMVideoControl*>(this);
    if (riid == IFiCameraInfo::iid) return static_cast<IFiCameraInfo*>(this);
    if (riid == IFiVideoFormatConfig::iid) return static_cast<IFiVideoFormatConfig*>(this);
    if (riid == IDeviceDescription::iid) return static_cast<IDeviceDescription*>(this);
    // A property interface is offered when the camera has one of its features.
    if (riid == IFiExposureControl::iid && exposure_.Any()) return static_cast<IFiExposureControl*>(&exposure_);
    if (riid == IFiColorControl::iid && color_.Any()) return static_cast<IFiColorControl*>(&color_);
    if (riid == IFiBasicControl::iid && basic_.Any()) return static_cast<IFiBasicControl*>(&basic_);
    if (riid == IAMCameraControl::iid && cameraControl_.Any()) return static_cast<IAMCameraControl*>(&cameraControl_);
    return nullptr;
  }

 private:
  HRESULT TriggerRegister(uint32_t* value) {
    if (HRESULT hr = device_->ReadRegister(kTriggerMode, value); FAILED(hr)) return hr;
    return S_OK;
  }
  void FreeList(FiStreamCapsEntry* list) {
    size_t n = 0;
    {
      std::lock_guard own(listsMutex_);
      auto it = lists_.find(list);
      if (it == lists_.end()) return;
      n = it->second;
      lists_.erase(it);
    }
    for (size_t i = 0; i < n; ++i) DeleteMediaType(list[i].mediaType);
    CoTaskMemFree(list);
    framework::CountObject(-1);
  }
  bool Format7(int32_t index, Entry* entry) {
    const auto entries = device_->Entries();
    if (index < 0 || static_cast<size_t>(index) >= entries.size()) return false;
    *entry = entries[static_cast<size_t>(index)];
    return entry->format7;
  }

  std::shared_ptr<Device> device_;
  CapturePin* pin_ = nullptr;
  FiProperties<IFiExposureControl, std::size(kExposure)> exposure_;
  FiProperties<IFiColorControl, std::size(kColor)> color_;
  FiProperties<IFiBasicControl, std::size(kBasic)> basic_;
  CameraControl cameraControl_;
  std::mutex listsMutex_;
  std::map<FiStreamCapsEntry*, size_t> lists_;  // handed out, not yet given back
};

#define KELVANE_IIDC_ENTER(operation, camera)                        \
  do {                                                               \
    if (HRESULT gone = (camera).Health(); FAILED(gone)) return gone; \
    KELVANE_FAULT(operation, (camera).Scope());                      \
  } while (0)

// ---- property interfaces ------------------------------------------------------------------------------

template <class I, size_t N>
FiProperties<I, N>::FiProperties(Camera& camera, const FeatureMap (&table)[N], const char* name)
    : Facet<I>(camera), camera_(camera), table_(table), name_(name) {}

template <class I, size_t N>
bool FiProperties<I, N>::Any() {
  for (const FeatureMap& m : table_)
    if (camera_.Dev().HasFeature(m.feature)) return true;
  return false;
}

template <class I, size_t N>
HRESULT FiProperties<I, N>::GetRange(int32_t code, int32_t* minimum, int32_t* maximum, int32_t* step,
                                     int32_t* defaultValue, int32_t* flags) {
  KELVANE_IIDC_ENTER(Op("GetRange"), camera_);
  if (!minimum || !maximum || !step || !defaultValue || !flags) return E_POINTER;
  const FeatureMap* m = FindCode(table_, code);
  if (!m) return E_PROP_ID_UNSUPPORTED;
  FeatureRange r;
  if (HRESULT hr = camera_.Dev().Range(m->feature, m->part, false, &r); FAILED(hr)) return hr;
  *minimum = FloatBits(r.minimum);
  *maximum = FloatBits(r.maximum);
  *step = FloatBits(r.step);
  *defaultValue = FloatBits(r.defaultValue);
  *flags = r.caps;
  return S_OK;
}

template <class I, size_t N>
HRESULT FiProperties<I, N>::Get(int32_t code, int32_t* value, int32_t* flags) {
  KELVANE_IIDC_ENTER(Op("Get"), camera_);
  if (!value || !flags) return E_POINTER;
  const FeatureMap* m = FindCode(table_, code);
  if (!m) return E_PROP_ID_UNSUPPORTED;
  double v = 0;
  int32_t f = 0;
  if (HRESULT hr = camera_.Dev().GetFeature(m->feature, m->part, &v, &f); FAILED(hr)) return hr;
  *value = FloatBits(v);
  *flags = f;
  return S_OK;
}

template <class I, size_t N>
HRESULT FiProperties<I, N>::Set(int32_t code, int32_t value, int32_t flags) {
  KELVANE_IIDC_ENTER(Op("Set"), camera_);
  const FeatureMap* m = FindCode(table_, code);
  if (!m) return E_PROP_ID_UNSUPPORTED;
  return camera_.Dev().SetFeature(m->feature, m->part, FromBits(value), flags);
}

CameraControl::CameraControl(Camera& camera) : Facet<IAMCameraControl>(camera), camera_(camera) {}

bool CameraControl::Any() {
  for (const FeatureMap& m : kCameraControl)
    if (camera_.Dev().HasFeature(m.feature)) return true;
  return false;
}

HRESULT CameraControl::GetRange(int32_t property, int32_t* minimum, int32_t* maximum, int32_t* step,
                                int32_t* defaultValue, int32_t* capsFlags) {
  KELVANE_IIDC_ENTER("IAMCameraControl::GetRange", camera_);
  if (!minimum || !maximum || !step || !defaultValue || !capsFlags) return E_POINTER;
  const FeatureMap* m = FindCode(kCameraControl, property);
  if (!m) return E_PROP_ID_UNSUPPORTED;
  FeatureRange r;
  if (HRESULT hr = camera_.Dev().Range(m->feature, m->part, true, &r); FAILED(hr)) return hr;
  *minimum = static_cast<int32_t>(r.minimum);
  *maximum = static_cast<int32_t>(r.maximum);
  *step = static_cast<int32_t>(r.step);
  *defaultValue = static_cast<int32_t>(r.defaultValue);
  *capsFlags = r.caps;
  return S_OK;
}

HRESULT CameraControl::Get(int32_t property, int32_t* value, int32_t* flags) {
  KELVANE_IIDC_ENTER("IAMCameraControl::Get", camera_);
  if (!value || !flags) return E_POINTER;
  const FeatureMap* m = FindCode(kCameraControl, property);
  if (!m) return E_PROP_ID_UNSUPPORTED;
  double v = 0;
  int32_t f = 0;
  if (HRESULT hr = camera_.Dev().GetFeature(m->feature, m->part, &v, &f); FAILED(hr)) return hr;
  if (f & kFlagAbsolute) return E_FAIL;  // the camera holds an absolute value, not an integer one
  *value = static_cast<int32_t>(v);
  *flags = (f & kFlagAuto) ? kFlagAuto : kFlagManual;
  return S_OK;
}

HRESULT CameraControl::Set(int32_t property, int32_t value, int32_t flags) {
  KELVANE_IIDC_ENTER("IAMCameraControl::Set", camera_);
  const FeatureMap* m = FindCode(kCameraControl, property);
  if (!m) return E_PROP_ID_UNSUPPORTED;
  if (flags & ~(kFlagAuto | kFlagManual)) return E_INVALIDARG;
  return camera_.Dev().SetFeature(m->feature, m->part, value, flags);
}

// ---- video control ------------------------------------------------------------------------------------

HRESULT Camera::GetCaps(IPin* pin, int32_t* caps) {
  KELVANE_IIDC_ENTER("IAMVideoControl::GetCaps", *this);
  if (!caps) return E_POINTER;
  if (pin != static_cast<IPin*>(pin_)) return E_INVALIDARG;
  uint32_t v = 0;
  if (HRESULT hr = TriggerRegister(&v); FAILED(hr)) return hr;
  *caps = (v & kTriggerPresent) ? VideoControlFlag_ExternalTriggerEnable : 0;
  return S_OK;
}

HRESULT Camera::GetMode(IPin* pin, int32_t* mode) {
  KELVANE_IIDC_ENTER("IAMVideoControl::GetMode", *this);
  if (!mode) return E_POINTER;
  if (pin != static_cast<IPin*>(pin_)) return E_INVALIDARG;
  uint32_t v = 0;
  if (HRESULT hr = TriggerRegister(&v); FAILED(hr)) return hr;
  *mode = (v & kTriggerPresent) && (v & kTriggerOn) ? VideoControlFlag_ExternalTriggerEnable : 0;
  return S_OK;
}

HRESULT Camera::SetMode(IPin* pin, int32_t mode) {
  KELVANE_IIDC_ENTER("IAMVideoControl::SetMode", *this);
  if (pin != static_cast<IPin*>(pin_)) return E_INVALIDARG;
  uint32_t v = 0;
  if (HRESULT hr = TriggerRegister(&v); FAILED(hr)) return hr;
  const int32_t caps = (v & kTriggerPresent) ? VideoControlFlag_ExternalTriggerEnable : 0;
  if (mode & ~caps) return E_INVALIDARG;
  if (!caps) return S_OK;
  v = (mode & VideoControlFlag_ExternalTriggerEnable) ? (v | kTriggerOn) : (v & ~kTriggerOn);
  return device_->WriteRegister(kTriggerMode, v);
}

// ---- camera information ------------------------------------------------------------------------------

HRESULT Camera::GetVendorInfo(uint8_t* record) {
  KELVANE_IIDC_ENTER("IFiCameraInfo::GetVendorInfo", *this);
  if (!record) return E_POINTER;
  std::memset(record, 0, kVendorInfoSize);
  const std::string& vendor = device_->Vendor();
  const std::string& model = device_->Model();
  // Names are cut to 63 bytes, so the zeroed record ends each with a zero byte.
  std::copy_n(vendor.data(), std::min<size_t>(vendor.size(), 63), record + kVendorNameOffset);
  std::copy_n(model.data(), std::min<size_t>(model.size(), 63), record + kModelNameOffset);
  const int32_t number = device_->Number();
  std::memcpy(record + kCameraNumberOffset, &number, sizeof number);  // little-endian, as the driver lays it
  return S_OK;
}

HRESULT Camera::ReadRegister(uint32_t address, uint32_t* value) {
  KELVANE_IIDC_ENTER("IFiCameraInfo::ReadRegister", *this);
  if (!value) return E_POINTER;
  return device_->ReadRegister(address, value);
}

HRESULT Camera::WriteRegister(uint32_t address, uint32_t value) {
  KELVANE_IIDC_ENTER("IFiCameraInfo::WriteRegister", *this);
  return device_->WriteRegister(address, value);
}

// ---- format interface ---------------------------------------------------------------------------------

HRESULT Camera::GetStreamCaps(FiStreamCapsEntry** list, uint32_t* count) {
  KELVANE_IIDC_ENTER("IFiVideoFormatConfig::GetStreamCaps", *this);
  if (!list || !count) return E_POINTER;
  *list = nullptr;
  *count = 0;
  const auto entries = device_->Entries();
  const size_t n = entries.size();
  auto* items = static_cast<FiStreamCapsEntry*>(CoTaskMemAlloc(std::max<size_t>(n, 1) * sizeof(FiStreamCapsEntry)));
  if (!items) return E_OUTOFMEMORY;
  for (size_t i = 0; i < n; ++i) {
    new (&items[i]) FiStreamCapsEntry();
    MediaType type = TypeOf(*device_, entries[i], static_cast<int32_t>(i), &items[i].caps);
    items[i].mediaType = CreateMediaType(type.Get());
  }
  {
    std::lock_guard own(listsMutex_);
    lists_[items] = n;
  }
  framework::CountObject(+1);  // an outstanding list is a leak until it is given back
  *list = items;
  *count = static_cast<uint32_t>(n);
  return S_OK;
}

HRESULT Camera::FreeStreamCaps(FiStreamCapsEntry* list) {
  KELVANE_FAULT("IFiVideoFormatConfig::FreeStreamCaps", Scope());
  if (!list) return E_POINTER;
  {
    std::lock_guard own(listsMutex_);
    if (!lists_.count(list)) return E_INVALIDARG;  // not a list of this filter, or given back twice
  }
  FreeList(list);
  return S_OK;
}

HRESULT Camera::GetDefaultFormat(int32_t* index) {
  KELVANE_IIDC_ENTER("IFiVideoFormatConfig::GetDefaultFormat", *this);
  if (!index) return E_POINTER;
  *index = device_->Current();
  return S_OK;
}

HRESULT Camera::SetDefaultFormat(int32_t index) {
  KELVANE_IIDC_ENTER("IFiVideoFormatConfig::SetDefaultFormat", *this);
  return device_->SetCurrent(index);
}

HRESULT Camera::GetF7PacketInfo(int32_t index, uint32_t* minimum, uint32_t* maximum) {
  KELVANE_IIDC_ENTER("IFiVideoFormatConfig::GetF7PacketInfo", *this);
  if (!minimum || !maximum) return E_POINTER;
  Entry e;
  if (!Format7(index, &e)) return E_INVALIDARG;
  *minimum = e.packetUnit;
  *maximum = e.packetMax;
  return S_OK;
}

HRESULT Camera::GetF7PacketSize(int32_t index, uint32_t* size) {
  KELVANE_IIDC_ENTER("IFiVideoFormatConfig::GetF7PacketSize", *this);
  if (!size) return E_POINTER;
  Entry e;
  Choice c;
  if (!Format7(index, &e) || FAILED(device_->GetChoice(index, &c))) return E_INVALIDARG;
  *size = c.packet;
  return S_OK;
}

HRESULT Camera::SetF7PacketSize(int32_t index, uint32_t size) {
  KELVANE_IIDC_ENTER("IFiVideoFormatConfig::SetF7PacketSize", *this);
  return device_->SetPacket(index, size);
}

HRESULT Camera::GetCurrentFps(int32_t index, int32_t* code) {
  KELVANE_IIDC_ENTER("IFiVideoFormatConfig::GetCurrentFps", *this);
  if (!code) return E_POINTER;
  Entry e;
  Choice c;
  const bool format7 = Format7(index, &e);
  if (FAILED(device_->GetChoice(index, &c))) return E_INVALIDARG;
  if (!format7) {
    *code = c.fpsCode;
    return S_OK;
  }
  // A Format 7 mode runs at the rate its packet size gives: the nearest code.
  const int64_t interval = device_->IntervalOf(index);
  int32_t best = 0;
  for (int32_t k = 1; k < 8; ++k)
    if (std::llabs(IntervalOfFpsCode(k) - interval) < std::llabs(IntervalOfFpsCode(best) - interval)) best = k;
  *code = best;
  return S_OK;
}

HRESULT Camera::SetCurrentFps(int32_t index, int32_t code) {
  KELVANE_IIDC_ENTER("IFiVideoFormatConfig::SetCurrentFps", *this);
  return device_->SetFpsCode(index, code);  // a Format 7 mode offers no codes: its packet size sets the rate
}

HRESULT Camera::SetCustomRect(int32_t index, RECT rect) {
  KELVANE_IIDC_ENTER("IFiVideoFormatConfig::SetCustomRect", *this);
  if (rect.left < 0 || rect.top < 0 || rect.right <= rect.left || rect.bottom <= rect.top) return E_INVALIDARG;
  return device_->SetRegion(index, static_cast<uint32_t>(rect.left), static_cast<uint32_t>(rect.top),
                            static_cast<uint32_t>(int64_t{rect.right} - rect.left),
                            static_cast<uint32_t>(int64_t{rect.bottom} - rect.top));
}

HRESULT Camera::GetCustomRect(int32_t index, RECT* rect) {
  KELVANE_IIDC_ENTER("IFiVideoFormatConfig::GetCustomRect", *this);
  if (!rect) return E_POINTER;
  Entry e;
  Choice c;
  if (!Format7(index, &e) || FAILED(device_->GetChoice(index, &c))) return E_INVALIDARG;
  *rect = RECT{static_cast<int32_t>(c.left), static_cast<int32_t>(c.top), static_cast<int32_t>(c.left + c.width),
               static_cast<int32_t>(c.top + c.height)};
  return S_OK;
}

// ---- description --------------------------------------------------------------------------------------

HRESULT Camera::Describe(std::string* text) {
  if (!text) return E_POINTER;
  char guid[40];
  std::snprintf(guid, sizeof guid, "0x%016llx", static_cast<unsigned long long>(device_->Guid()));
  *text = std::string("GUID: ") + guid + "\r\nUnit: " + std::to_string(device_->Unit()) +
          "\r\nVendor: " + device_->Vendor() + "\r\nModel: " + device_->Model() + "\r\n";
  if (FAILED(Health())) {
    *text += "State: gone\r\n";
    return S_OK;
  }
  std::set<std::pair<int, int>> said;
  for (const Entry& e : device_->Entries()) {
    if (!e.coding->raw || !e.format7 || !said.insert({e.mode, e.coding->coding}).second) continue;
    *text += std::string("Mosaic of Format 7 mode ") + std::to_string(e.mode - DC1394_VIDEO_MODE_FORMAT7_MIN) + " " +
             e.coding->name + ": " + FilterName(e.filter);
    if (RawModeFor(e.filter, 0))
      *text += ", RawMode " + std::to_string(RawModeFor(e.filter, 0)) + " with Algorithm 0, RawMode " +
               std::to_string(RawModeFor(e.filter, 1)) + " with Algorithms 1 to 4";
    *text += "\r\n";
  }
  *text += device_->DescribeFeatures();
  return S_OK;
}

// ---- capture pin --------------------------------------------------------------------------------------

CapturePin::CapturePin(Camera& camera) : Pin(camera, PINDIR_OUTPUT, u"Capture"), camera_(camera) {}

HRESULT CapturePin::GetFormat(AM_MEDIA_TYPE** mt) {
  KELVANE_IIDC_ENTER("IAMStreamConfig::GetFormat", camera_);
  if (!mt) return E_POINTER;
  *mt = nullptr;
  const auto entries = camera_.Dev().Entries();
  const int32_t current = camera_.Dev().Current();
  if (current < 0 || static_cast<size_t>(current) >= entries.size()) return VFW_E_INVALIDMEDIATYPE;
  MediaType type = TypeOf(camera_.Dev(), entries[static_cast<size_t>(current)], current, nullptr);
  *mt = CreateMediaType(type.Get());
  return *mt ? S_OK : E_OUTOFMEMORY;
}

HRESULT CapturePin::GetNumberOfCapabilities(int32_t* count, int32_t* size) {
  KELVANE_IIDC_ENTER("IAMStreamConfig::GetNumberOfCapabilities", camera_);
  if (!count || !size) return E_POINTER;
  *count = static_cast<int32_t>(camera_.Dev().Entries().size());
  *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
  return S_OK;
}

HRESULT CapturePin::GetStreamCaps(int32_t index, AM_MEDIA_TYPE** mt, uint8_t* caps) {
  KELVANE_IIDC_ENTER("IAMStreamConfig::GetStreamCaps", camera_);
  if (!mt || !caps) return E_POINTER;
  *mt = nullptr;
  if (index < 0) return E_INVALIDARG;
  const auto entries = camera_.Dev().Entries();
  if (static_cast<size_t>(index) >= entries.size()) return S_FALSE;
  VIDEO_STREAM_CONFIG_CAPS c{};
  MediaType type = TypeOf(camera_.Dev(), entries[static_cast<size_t>(index)], index, &c);
  std::memcpy(caps, &c, sizeof c);
  *mt = CreateMediaType(type.Get());
  return *mt ? S_OK : E_OUTOFMEMORY;
}

HRESULT CapturePin::SetFormat(AM_MEDIA_TYPE* mt) {
  KELVANE_IIDC_ENTER("IAMStreamConfig::SetFormat", camera_);
  if (!mt) return E_POINTER;
  const VIDEOINFOHEADER* vih = VideoInfo(*mt);
  if (!(mt->majortype == MEDIATYPE_Video) || !vih) return VFW_E_INVALIDMEDIATYPE;
  Device& d = camera_.Dev();
  if (d.Connected()) return VFW_E_WRONG_STATE;
  const int32_t w = vih->bmiHeader.biWidth;
  const int32_t h = vih->bmiHeader.biHeight < 0 ? -vih->bmiHeader.biHeight : vih->bmiHeader.biHeight;
  if (w <= 0 || h <= 0) return VFW_E_INVALIDMEDIATYPE;
  const auto entries = d.Entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    const auto index = static_cast<int32_t>(i);
    if (!(e.coding->subtype == mt->subtype)) continue;
    if (e.format7) {
      // The free region: rcSource places it when it has the frame's size.
      RECT region{0, 0, w, h};
      const RECT& s = vih->rcSource;
      if (s.right - s.left == w && s.bottom - s.top == h) region = s;
      if (region.left < 0 || region.top < 0) continue;
      if (FAILED(d.SetRegion(index, static_cast<uint32_t>(region.left), static_cast<uint32_t>(region.top),
                             static_cast<uint32_t>(w), static_cast<uint32_t>(h))))
        continue;
    } else {
      if (static_cast<uint32_t>(w) != e.width || static_cast<uint32_t>(h) != e.height) continue;
      if (const int64_t interval = vih->AvgTimePerFrame; interval > 0) {
        // A fixed mode runs at fixed rates: take the closest one.
        int32_t best = e.fpsCodes.front();
        for (int32_t c : e.fpsCodes)
          if (std::llabs(IntervalOfFpsCode(c) - interval) < std::llabs(IntervalOfFpsCode(best) - interval)) best = c;
        if (HRESULT hr = d.SetFpsCode(index, best); FAILED(hr)) return hr;
      }
    }
    return d.SetCurrent(index);
  }
  return VFW_E_INVALIDMEDIATYPE;
}

}  // namespace

HRESULT CreateCameraFilter(std::shared_ptr<Device> device, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return framework::HandOut(new Camera(std::move(device)), riid, out);
}

}  // namespace kelvane::iidc
