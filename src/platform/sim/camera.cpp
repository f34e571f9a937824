// The simulated camera filter: the capture pin with its stream configuration,
// video control, and for IEEE 1394 cameras the driver's camera-information,
// property and format interfaces. All filters bound from one device share its
// state (registers, properties, current format).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <set>

#include "platform/factory.h"
#include "platform/sim/internal.h"

namespace kelvane::sim {

using namespace platform;

namespace {

class CameraFilter;

// Entering an operation: a disappeared device fails everything, then injected faults apply.
#define KELVANE_SIM_CAMERA_ENTER(operation, filter)           \
  do {                                                         \
    if (HRESULT gone = (filter).Health(); FAILED(gone)) return gone; \
    KELVANE_SIM_FAULT(operation, (filter).Scope());            \
  } while (0)

// The capture pin. Besides IPin it offers IAMStreamConfig (and answers
// IKsPropertySet, whose operations nothing calls).
class CapturePin final : public Pin, public IAMStreamConfig, public ISpecifyPropertyPages {
 public:
  CapturePin(CameraFilter& filter);

  HRESULT QueryInterface(REFIID riid, void** out) override { return Pin::QueryInterface(riid, out); }
  ULONG AddRef() override { return Pin::AddRef(); }
  ULONG Release() override { return Pin::Release(); }

  HRESULT SetFormat(AM_MEDIA_TYPE* mt) override;
  HRESULT GetFormat(AM_MEDIA_TYPE** mt) override;
  HRESULT GetNumberOfCapabilities(int32_t* count, int32_t* size) override;
  HRESULT GetStreamCaps(int32_t index, AM_MEDIA_TYPE** mt, uint8_t* caps) override;
  HRESULT GetPages(CAUUID* pages) override;

 protected:
  void* FindExtra(REFIID riid) override;

 private:
  CameraFilter& camera_;
};

// One of the driver's three property interfaces, on a property table of the device.
template <class I>
class FiProperties final : public Facet<I> {
 public:
  FiProperties(CameraFilter& camera, PropertySet set);
  HRESULT GetRange(int32_t code, int32_t* minimum, int32_t* maximum, int32_t* step, int32_t* defaultValue,
                   int32_t* flags) override;
  HRESULT Set(int32_t code, int32_t value, int32_t flags) override;
  HRESULT Get(int32_t code, int32_t* value, int32_t* flags) override;

 private:
  CameraFilter& camera_;
  PropertySet set_;
};

// IAMVideoProcAmp or IAMCameraControl: integer values.
template <class I>
class StdProperties final : public Facet<I> {
 public:
  StdProperties(CameraFilter& camera, PropertySet set);
  HRESULT GetRange(int32_t property, int32_t* minimum, int32_t* maximum, int32_t* step, int32_t* defaultValue,
                   int32_t* capsFlags) override;
  HRESULT Set(int32_t property, int32_t value, int32_t flags) override;
  HRESULT Get(int32_t property, int32_t* value, int32_t* flags) override;

 private:
  CameraFilter& camera_;
  PropertySet set_;
};

const char* SetName(PropertySet set) {
  switch (set) {
    case PropertySet::Exposure: return "IFiExposureControl";
    case PropertySet::Color: return "IFiColorControl";
    case PropertySet::Basic: return "IFiBasicControl";
    case PropertySet::ProcAmp: return "IAMVideoProcAmp";
    case PropertySet::CameraControl: return "IAMCameraControl";
  }
  return "";
}

class CameraFilter final : public SourceFilter,
                           public IAMVideoControl,
                           public ISpecifyPropertyPages,
                           public IFiCameraInfo,
                           public IFiVideoFormatConfig {
 public:
  explicit CameraFilter(std::shared_ptr<Device> device)
      : device_(std::move(device)),
        exposure_(*this, PropertySet::Exposure),
        color_(*this, PropertySet::Color),
        basic_(*this, PropertySet::Basic),
        procAmp_(*this, PropertySet::ProcAmp),
        cameraControl_(*this, PropertySet::CameraControl) {
    pin_ = static_cast<CapturePin*>(&AddPin(std::make_unique<CapturePin>(*this)));
    const CameraDesc& d = device_->Desc();
    floatValues_ = !(d.cameraInfo && !d.formatConfig);
    source_ = MakeFrameSource(d.source, device_->Name());
  }
  ~CameraFilter() override {
    for (FiStreamCapsEntry* list : lists_) FreeList(list);
  }

  KELVANE_IUNKNOWN

  std::string Scope() const override { return device_->Name(); }
  HRESULT Health() const override {
    MutexLock lock(device_->Mutex());
    return device_->present ? S_OK : kDeviceGone;
  }
  Device& Dev() const { return *device_; }
  std::shared_ptr<Device> DevicePtr() const { return device_; }
  bool FloatValues() const { return floatValues_; }
  CapturePin& CaptureOutput() { return *pin_; }

  // ---- negotiation and streaming ----
  std::vector<MediaType> Proposals(const Pin&) const override {
    MutexLock lock(device_->Mutex());
    AM_MEDIA_TYPE mt;
    device_->FillMediaType(device_->current, mt, nullptr);
    std::vector<MediaType> v;
    v.push_back(MediaType::Adopt(mt));
    return v;
  }
  void Connected(Pin&) override {
    MutexLock lock(device_->Mutex());
    device_->connected = true;
    source_->Restart();
  }
  void Disconnected(Pin&) override {
    MutexLock lock(device_->Mutex());
    device_->connected = false;
  }
  int64_t FrameInterval() const override {
    MutexLock lock(device_->Mutex());
    return device_->formats[static_cast<size_t>(device_->current)].interval;
  }
  bool NextFrame(FrameBuffer& frame, double* time) override;

  // ---- pacing: the simulated rate, stepping and granted frames ----
  framework::Pacing CurrentPacing() const override {
    switch (CurrentRate()) {
      case Rate::Fast: return framework::Pacing::Fast;
      case Rate::Stepped: return framework::Pacing::Stepped;
      case Rate::RealTime: break;
    }
    return framework::Pacing::RealTime;
  }
  bool TakeCredit() override {
    MutexLock lock(device_->Mutex());
    if (device_->credits <= 0) return false;
    --device_->credits;
    return true;
  }
  void StreamStarted(const std::shared_ptr<Stream>& stream) override {
    MutexLock lock(device_->Mutex());
    device_->streams.push_back(stream);
  }
  void StreamEnded(const std::shared_ptr<Stream>& stream) override {
    MutexLock lock(device_->Mutex());
    auto& v = device_->streams;
    v.erase(std::remove_if(v.begin(), v.end(),
                           [&](const std::weak_ptr<Stream>& w) {
                             auto p = w.lock();
                             return !p || p == stream;
                           }),
            v.end());
  }
  std::string StreamName() const override { return "Simulated stream"; }

  // ---- IAMVideoControl ----
  HRESULT GetCaps(IPin* pin, int32_t* caps) override {
    KELVANE_SIM_CAMERA_ENTER("IAMVideoControl::GetCaps", *this);
    if (!caps) return E_POINTER;
    if (pin != static_cast<IPin*>(pin_)) return E_INVALIDARG;
    *caps = device_->Desc().videoControlCaps;
    return S_OK;
  }
  HRESULT SetMode(IPin* pin, int32_t mode) override {
    KELVANE_SIM_CAMERA_ENTER("IAMVideoControl::SetMode", *this);
    if (pin != static_cast<IPin*>(pin_)) return E_INVALIDARG;
    if (mode & ~device_->Desc().videoControlCaps) return E_INVALIDARG;
    MutexLock lock(device_->Mutex());
    device_->videoControlMode = mode;
    return S_OK;
  }
  HRESULT GetMode(IPin* pin, int32_t* mode) override {
    KELVANE_SIM_CAMERA_ENTER("IAMVideoControl::GetMode", *this);
    if (!mode) return E_POINTER;
    if (pin != static_cast<IPin*>(pin_)) return E_INVALIDARG;
    MutexLock lock(device_->Mutex());
    *mode = device_->videoControlMode;
    return S_OK;
  }

  // ---- IFiCameraInfo ----
  HRESULT GetVendorInfo(uint8_t* record) override {
    KELVANE_SIM_CAMERA_ENTER("IFiCameraInfo::GetVendorInfo", *this);
    if (!record) return E_POINTER;
    const CameraDesc& d = device_->Desc();
    std::memset(record, 0, kVendorInfoSize);
    // Names are cut to 63 bytes, so the zeroed record ends each with a zero byte.
    std::copy_n(d.vendor.data(), std::min<size_t>(d.vendor.size(), 63), record + kVendorNameOffset);
    std::copy_n(d.model.data(), std::min<size_t>(d.model.size(), 63), record + kModelNameOffset);
    std::memcpy(record + kCameraNumberOffset, &d.number, sizeof d.number);  // little-endian, as the driver lays it
    return S_OK;
  }
  HRESULT ReadRegister(uint32_t address, uint32_t* value) override {
    KELVANE_SIM_CAMERA_ENTER("IFiCameraInfo::ReadRegister", *this);
    if (!value) return E_POINTER;
    if (address % 4) return E_INVALIDARG;  // registers are quadlets
    MutexLock lock(device_->Mutex());
    auto it = device_->registers.find(address);
    if (it != device_->registers.end()) {
      *value = it->second.value;
      return S_OK;
    }
    if (device_->Desc().unknownRegistersFail) return device_->Desc().unknownRegisterResult;
    *value = 0;
    return S_OK;
  }
  HRESULT WriteRegister(uint32_t address, uint32_t value) override {
    KELVANE_SIM_CAMERA_ENTER("IFiCameraInfo::WriteRegister", *this);
    if (address % 4) return E_INVALIDARG;
    MutexLock lock(device_->Mutex());
    auto it = device_->registers.find(address);
    if (it != device_->registers.end()) {
      // Presence and inquiry bits keep what the camera says.
      RegisterDesc& r = it->second;
      r.value = (r.value & ~r.writable) | (value & r.writable);
      return S_OK;
    }
    if (device_->Desc().unknownRegistersFail) return device_->Desc().unknownRegisterResult;
    return S_OK;  // a write to a register the camera lacks goes nowhere
  }

  // ---- ISpecifyPropertyPages ----
  HRESULT GetPages(CAUUID* pages) override {
    KELVANE_SIM_CAMERA_ENTER("ISpecifyPropertyPages::GetPages", *this);
    return CopyPages(device_->Desc().filterPages, pages);
  }
  static HRESULT CopyPages(const std::vector<GUID>& list, CAUUID* pages) {
    if (!pages) return E_POINTER;
    *pages = CAUUID{};
    if (list.empty()) return S_OK;
    auto* ids = static_cast<GUID*>(CoTaskMemAlloc(list.size() * sizeof(GUID)));
    if (!ids) return E_OUTOFMEMORY;
    for (size_t i = 0; i < list.size(); ++i) ids[i] = list[i];
    pages->cElems = static_cast<ULONG>(list.size());
    pages->pElems = ids;
    return S_OK;
  }

  // ---- IFiVideoFormatConfig ----
  HRESULT GetStreamCaps(FiStreamCapsEntry** list, uint32_t* count) override {
    KELVANE_SIM_CAMERA_ENTER("IFiVideoFormatConfig::GetStreamCaps", *this);
    if (!list || !count) return E_POINTER;
    *list = nullptr;
    *count = 0;
    MutexLock lock(device_->Mutex());
    const size_t n = device_->formats.size();
    auto* entries = static_cast<FiStreamCapsEntry*>(CoTaskMemAlloc(n * sizeof(FiStreamCapsEntry)));
    if (!entries) return E_OUTOFMEMORY;
    for (size_t i = 0; i < n; ++i) {
      new (&entries[i]) FiStreamCapsEntry();
      void* raw = CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE));
      if (!raw) continue;
      entries[i].mediaType = new (raw) AM_MEDIA_TYPE();
      device_->FillMediaType(static_cast<int32_t>(i), *entries[i].mediaType, &entries[i].caps);
    }
    {
      std::lock_guard own(mutex_);
      lists_.insert(entries);
      listSizes_[entries] = n;
    }
    CountObject(+1);  // an outstanding list is a leak until it is given back
    *list = entries;
    *count = static_cast<uint32_t>(n);
    return S_OK;
  }
  HRESULT FreeStreamCaps(FiStreamCapsEntry* list) override {
    KELVANE_SIM_FAULT("IFiVideoFormatConfig::FreeStreamCaps", Scope());
    if (!list) return E_POINTER;
    {
      std::lock_guard own(mutex_);
      if (!lists_.erase(list)) return E_INVALIDARG;  // not a list of this filter, or given back twice
    }
    FreeList(list);
    return S_OK;
  }
  HRESULT GetDefaultFormat(int32_t* index) override {
    KELVANE_SIM_CAMERA_ENTER("IFiVideoFormatConfig::GetDefaultFormat", *this);
    if (!index) return E_POINTER;
    MutexLock lock(device_->Mutex());
    *index = device_->current;
    return S_OK;
  }
  HRESULT SetDefaultFormat(int32_t index) override {
    KELVANE_SIM_CAMERA_ENTER("IFiVideoFormatConfig::SetDefaultFormat", *this);
    MutexLock lock(device_->Mutex());
    if (!ValidIndex(index)) return E_INVALIDARG;
    if (device_->connected && index != device_->current) return VFW_E_WRONG_STATE;
    device_->current = index;
    return S_OK;
  }
  HRESULT GetF7PacketInfo(int32_t index, uint32_t* minimum, uint32_t* maximum) override {
    KELVANE_SIM_CAMERA_ENTER("IFiVideoFormatConfig::GetF7PacketInfo", *this);
    if (!minimum || !maximum) return E_POINTER;
    MutexLock lock(device_->Mutex());
    if (!ValidIndex(index) || !device_->IsFormat7(index)) return E_INVALIDARG;
    const Format7Desc& f = *device_->formats[static_cast<size_t>(index)].format7;
    *minimum = f.packetMin;
    *maximum = f.packetMax;
    return S_OK;
  }
  HRESULT GetF7PacketSize(int32_t index, uint32_t* size) override {
    KELVANE_SIM_CAMERA_ENTER("IFiVideoFormatConfig::GetF7PacketSize", *this);
    if (device_->Desc().legacyDriver) throw PlatformError("GetF7PacketSize: not supported by this driver version");
    if (!size) return E_POINTER;
    MutexLock lock(device_->Mutex());
    if (!ValidIndex(index) || !device_->IsFormat7(index)) return E_INVALIDARG;
    *size = device_->packetSizes[static_cast<size_t>(index)];
    return S_OK;
  }
  HRESULT SetF7PacketSize(int32_t index, uint32_t size) override {
    KELVANE_SIM_CAMERA_ENTER("IFiVideoFormatConfig::SetF7PacketSize", *this);
    MutexLock lock(device_->Mutex());
    if (!ValidIndex(index) || !device_->IsFormat7(index)) return E_INVALIDARG;
    const Format7Desc& f = *device_->formats[static_cast<size_t>(index)].format7;
    if (size < f.packetMin || size > f.packetMax) return E_INVALIDARG;
    device_->packetSizes[static_cast<size_t>(index)] = size;
    return S_OK;
  }
  HRESULT GetCurrentFps(int32_t index, int32_t* code) override {
    KELVANE_SIM_CAMERA_ENTER("IFiVideoFormatConfig::GetCurrentFps", *this);
    if (!code) return E_POINTER;
    MutexLock lock(device_->Mutex());
    if (!ValidIndex(index)) return E_INVALIDARG;
    *code = device_->formats[static_cast<size_t>(index)].fpsCode;
    return S_OK;
  }
  HRESULT SetCurrentFps(int32_t index, int32_t code) override {
    KELVANE_SIM_CAMERA_ENTER("IFiVideoFormatConfig::SetCurrentFps", *this);
    MutexLock lock(device_->Mutex());
    if (!ValidIndex(index)) return E_INVALIDARG;
    FormatDesc& f = device_->formats[static_cast<size_t>(index)];
    bool offered = false;
    for (int32_t c : f.fpsCodes) offered = offered || c == code;
    if (!offered) return E_INVALIDARG;
    f.fpsCode = code;
    f.interval = IntervalOfFpsCode(code);
    return S_OK;
  }
  HRESULT SetCustomRect(int32_t index, RECT rect) override {
    KELVANE_SIM_CAMERA_ENTER("IFiVideoFormatConfig::SetCustomRect", *this);
    if (device_->Desc().legacyDriver) throw PlatformError("SetCustomRect: not supported by this driver version");
    MutexLock lock(device_->Mutex());
    if (!ValidIndex(index) || !device_->IsFormat7(index)) return E_INVALIDARG;
    if (!ValidRegion(*device_->formats[static_cast<size_t>(index)].format7, rect)) return E_INVALIDARG;
    if (device_->connected && index == device_->current) return VFW_E_WRONG_STATE;
    device_->rects[static_cast<size_t>(index)] = rect;
    return S_OK;
  }
  HRESULT GetCustomRect(int32_t index, RECT* rect) override {
    KELVANE_SIM_CAMERA_ENTER("IFiVideoFormatConfig::GetCustomRect", *this);
    if (device_->Desc().legacyDriver) throw PlatformError("GetCustomRect: not supported by this driver version");
    if (!rect) return E_POINTER;
    MutexLock lock(device_->Mutex());
    if (!ValidIndex(index) || !device_->IsFormat7(index)) return E_INVALIDARG;
    *rect = device_->rects[static_cast<size_t>(index)];
    return S_OK;
  }

  static bool ValidRegion(const Format7Desc& f, const RECT& r) {
    const int64_t w = int64_t{r.right} - r.left, h = int64_t{r.bottom} - r.top;
    return r.left >= 0 && r.top >= 0 && w > 0 && h > 0 && r.right <= f.maxWidth && r.bottom <= f.maxHeight &&
           r.left % f.unitX == 0 && r.top % f.unitY == 0 && w % f.unitX == 0 && h % f.unitY == 0;
  }
  bool ValidIndex(int32_t index) const KELVANE_REQUIRES(device_->Mutex()) {
    return index >= 0 && static_cast<size_t>(index) < device_->formats.size();
  }

 protected:
  void* Find(REFIID riid) override {
    const CameraDesc& d = device_->Desc();
    if (riid == IUnknown::iid || riid == IBaseFilter::iid) return static_cast<IBaseFilter*>(this);
    if (riid == IAMVideoControl::iid && d.videoControl) return static_cast<IAMVideoControl*>(this);
    if (riid == IFiCameraInfo::iid && d.cameraInfo) return static_cast<IFiCameraInfo*>(this);
    if (riid == IFiVideoFormatConfig::iid && d.formatConfig) return static_cast<IFiVideoFormatConfig*>(this);
    if (riid == IFiExposureControl::iid && d.exposure) return static_cast<IFiExposureControl*>(&exposure_);
    if (riid == IFiColorControl::iid && d.color) return static_cast<IFiColorControl*>(&color_);
    if (riid == IFiBasicControl::iid && d.basic) return static_cast<IFiBasicControl*>(&basic_);
    if (riid == IAMVideoProcAmp::iid && d.procAmp) return static_cast<IAMVideoProcAmp*>(&procAmp_);
    if (riid == IAMCameraControl::iid && d.cameraControl) return static_cast<IAMCameraControl*>(&cameraControl_);
    if (riid == ISpecifyPropertyPages::iid && d.propertyPages) return static_cast<ISpecifyPropertyPages*>(this);
    // Answered for the capability report only: nothing calls its operations,
    // so the filter's own IUnknown stands in for it.
    if (riid == IID_IKsPropertySet && d.ksPropertySet) return static_cast<IBaseFilter*>(this);
    return nullptr;
  }

 private:
  void FreeList(FiStreamCapsEntry* list) {
    size_t n = 0;
    {
      std::lock_guard own(mutex_);
      n = listSizes_[list];
      listSizes_.erase(list);
    }
    for (size_t i = 0; i < n; ++i) DeleteMediaType(list[i].mediaType);
    CoTaskMemFree(list);
    CountObject(-1);
  }

  std::shared_ptr<Device> device_;
  CapturePin* pin_ = nullptr;
  bool floatValues_ = true;
  FiProperties<IFiExposureControl> exposure_;
  FiProperties<IFiColorControl> color_;
  FiProperties<IFiBasicControl> basic_;
  StdProperties<IAMVideoProcAmp> procAmp_;
  StdProperties<IAMCameraControl> cameraControl_;
  std::set<FiStreamCapsEntry*> lists_;
  std::map<FiStreamCapsEntry*, size_t> listSizes_;
  // Streaming thread only (and Connected, which comes while no stream runs).
  std::unique_ptr<FrameSource> source_;
  GUID sentSubtype_{};    // the format of the last frame made into the stream's buffer
  size_t sentBytes_ = 0;  // its size; 0: none made
  FrameBuffer picture_;   // a Motion-JPEG camera's picture before encoding
  framework::JpegEncoder encoder_;
};

// ---- property interfaces ----------------------------------------------------------------------------

std::string Op(PropertySet set, const char* method) { return std::string(SetName(set)) + "::" + method; }

// Checks a value and flags against a property; the HRESULT a camera gives.
HRESULT CheckSet(const PropertyDesc& p, double value, int32_t flags) {
  if (!std::isfinite(value) || value < p.minimum || value > p.maximum) return E_INVALIDARG;
  if (flags & ~p.caps) return E_INVALIDARG;
  for (double r : p.refused)
    if (r == value) return E_FAIL;  // the camera will not take this one
  return S_OK;
}

int32_t FloatBits(double v) { return std::bit_cast<int32_t>(static_cast<float>(v)); }

// The camera's property `code` of one set, or null when the camera has none.
PropertyDesc* FindProperty(Device& device, PropertySet set, int32_t code) KELVANE_REQUIRES(device.Mutex()) {
  auto& table = device.properties[static_cast<int>(set)];
  auto it = table.find(code);
  return it != table.end() ? &it->second : nullptr;
}

template <class I>
FiProperties<I>::FiProperties(CameraFilter& camera, PropertySet set)
    : Facet<I>(camera), camera_(camera), set_(set) {}

template <class I>
HRESULT FiProperties<I>::GetRange(int32_t code, int32_t* minimum, int32_t* maximum, int32_t* step,
                                  int32_t* defaultValue, int32_t* flags) {
  KELVANE_SIM_CAMERA_ENTER(Op(set_, "GetRange"), camera_);
  if (!minimum || !maximum || !step || !defaultValue || !flags) return E_POINTER;
  MutexLock lock(camera_.Dev().Mutex());
  PropertyDesc* found = FindProperty(camera_.Dev(), set_, code);
  if (!found) return E_PROP_ID_UNSUPPORTED;
  const PropertyDesc& p = *found;
  auto word = [&](double v) { return camera_.FloatValues() ? FloatBits(v) : static_cast<int32_t>(v); };
  *minimum = word(p.minimum);
  *maximum = word(p.maximum);
  *step = word(p.step);
  *defaultValue = word(p.defaultValue);
  *flags = p.caps;
  return S_OK;
}

template <class I>
HRESULT FiProperties<I>::Set(int32_t code, int32_t value, int32_t flags) {
  KELVANE_SIM_CAMERA_ENTER(Op(set_, "Set"), camera_);
  MutexLock lock(camera_.Dev().Mutex());
  PropertyDesc* found = FindProperty(camera_.Dev(), set_, code);
  if (!found) return E_PROP_ID_UNSUPPORTED;
  const double v = camera_.FloatValues() ? static_cast<double>(std::bit_cast<float>(value)) : value;
  if (HRESULT hr = CheckSet(*found, v, flags); FAILED(hr)) return hr;
  found->value = v;
  found->flags = flags;
  return S_OK;
}

template <class I>
HRESULT FiProperties<I>::Get(int32_t code, int32_t* value, int32_t* flags) {
  KELVANE_SIM_CAMERA_ENTER(Op(set_, "Get"), camera_);
  if (!value || !flags) return E_POINTER;
  MutexLock lock(camera_.Dev().Mutex());
  PropertyDesc* found = FindProperty(camera_.Dev(), set_, code);
  if (!found) return E_PROP_ID_UNSUPPORTED;
  *value = camera_.FloatValues() ? FloatBits(found->value) : static_cast<int32_t>(found->value);
  *flags = found->flags;
  return S_OK;
}

template <class I>
StdProperties<I>::StdProperties(CameraFilter& camera, PropertySet set)
    : Facet<I>(camera), camera_(camera), set_(set) {}

template <class I>
HRESULT StdProperties<I>::GetRange(int32_t property, int32_t* minimum, int32_t* maximum, int32_t* step,
                                   int32_t* defaultValue, int32_t* capsFlags) {
  KELVANE_SIM_CAMERA_ENTER(Op(set_, "GetRange"), camera_);
  if (!minimum || !maximum || !step || !defaultValue || !capsFlags) return E_POINTER;
  MutexLock lock(camera_.Dev().Mutex());
  PropertyDesc* found = FindProperty(camera_.Dev(), set_, property);
  if (!found) return E_PROP_ID_UNSUPPORTED;
  const PropertyDesc& p = *found;
  *minimum = static_cast<int32_t>(p.minimum);
  *maximum = static_cast<int32_t>(p.maximum);
  *step = static_cast<int32_t>(p.step);
  *defaultValue = static_cast<int32_t>(p.defaultValue);
  *capsFlags = p.caps;
  return S_OK;
}

template <class I>
HRESULT StdProperties<I>::Set(int32_t property, int32_t value, int32_t flags) {
  KELVANE_SIM_CAMERA_ENTER(Op(set_, "Set"), camera_);
  MutexLock lock(camera_.Dev().Mutex());
  PropertyDesc* found = FindProperty(camera_.Dev(), set_, property);
  if (!found) return E_PROP_ID_UNSUPPORTED;
  if (HRESULT hr = CheckSet(*found, value, flags); FAILED(hr)) return hr;
  found->value = value;
  found->flags = flags;
  return S_OK;
}

template <class I>
HRESULT StdProperties<I>::Get(int32_t property, int32_t* value, int32_t* flags) {
  KELVANE_SIM_CAMERA_ENTER(Op(set_, "Get"), camera_);
  if (!value || !flags) return E_POINTER;
  MutexLock lock(camera_.Dev().Mutex());
  PropertyDesc* found = FindProperty(camera_.Dev(), set_, property);
  if (!found) return E_PROP_ID_UNSUPPORTED;
  *value = static_cast<int32_t>(found->value);
  *flags = found->flags;
  return S_OK;
}

// ---- capture pin ------------------------------------------------------------------------------------

CapturePin::CapturePin(CameraFilter& filter) : Pin(filter, PINDIR_OUTPUT, u"Capture"), camera_(filter) {}

void* CapturePin::FindExtra(REFIID riid) {
  if (riid == IAMStreamConfig::iid) return static_cast<IAMStreamConfig*>(this);
  if (riid == ISpecifyPropertyPages::iid && camera_.Dev().Desc().propertyPages)
    return static_cast<ISpecifyPropertyPages*>(this);
  if (riid == IID_IKsPropertySet && camera_.Dev().Desc().ksPropertySet) return static_cast<IPin*>(this);
  return nullptr;
}

HRESULT CapturePin::GetPages(CAUUID* pages) {
  KELVANE_SIM_CAMERA_ENTER("ISpecifyPropertyPages::GetPages", camera_);
  return CameraFilter::CopyPages(camera_.Dev().Desc().pinPages, pages);
}

HRESULT CapturePin::GetFormat(AM_MEDIA_TYPE** mt) {
  KELVANE_SIM_CAMERA_ENTER("IAMStreamConfig::GetFormat", camera_);
  if (!mt) return E_POINTER;
  *mt = nullptr;
  Device& d = camera_.Dev();
  MutexLock lock(d.Mutex());
  void* raw = CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE));
  if (!raw) return E_OUTOFMEMORY;
  auto* type = new (raw) AM_MEDIA_TYPE();
  d.FillMediaType(d.current, *type, nullptr);
  *mt = type;
  return S_OK;
}

HRESULT CapturePin::GetNumberOfCapabilities(int32_t* count, int32_t* size) {
  KELVANE_SIM_CAMERA_ENTER("IAMStreamConfig::GetNumberOfCapabilities", camera_);
  if (!count || !size) return E_POINTER;
  MutexLock lock(camera_.Dev().Mutex());
  *count = static_cast<int32_t>(camera_.Dev().formats.size());
  *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
  return S_OK;
}

HRESULT CapturePin::GetStreamCaps(int32_t index, AM_MEDIA_TYPE** mt, uint8_t* caps) {
  KELVANE_SIM_CAMERA_ENTER("IAMStreamConfig::GetStreamCaps", camera_);
  if (!mt || !caps) return E_POINTER;
  *mt = nullptr;
  Device& d = camera_.Dev();
  MutexLock lock(d.Mutex());
  if (index < 0) return E_INVALIDARG;
  if (static_cast<size_t>(index) >= d.formats.size()) return S_FALSE;
  void* raw = CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE));
  if (!raw) return E_OUTOFMEMORY;
  auto* type = new (raw) AM_MEDIA_TYPE();
  VIDEO_STREAM_CONFIG_CAPS c;
  d.FillMediaType(index, *type, &c);
  std::memcpy(caps, &c, sizeof c);
  *mt = type;
  return S_OK;
}

HRESULT CapturePin::SetFormat(AM_MEDIA_TYPE* mt) {
  KELVANE_SIM_CAMERA_ENTER("IAMStreamConfig::SetFormat", camera_);
  if (!mt) return E_POINTER;
  const VIDEOINFOHEADER* vih = VideoInfo(*mt);
  if (!(mt->majortype == MEDIATYPE_Video) || !vih) return VFW_E_INVALIDMEDIATYPE;
  Device& d = camera_.Dev();
  MutexLock lock(d.Mutex());
  if (d.connected) return VFW_E_WRONG_STATE;
  const int32_t w = vih->bmiHeader.biWidth;
  const int32_t h = vih->bmiHeader.biHeight < 0 ? -vih->bmiHeader.biHeight : vih->bmiHeader.biHeight;
  for (size_t i = 0; i < d.formats.size(); ++i) {
    FormatDesc& f = d.formats[i];
    if (!(f.subtype == mt->subtype)) continue;
    RECT region{0, 0, w, h};
    if (f.format7) {
      // The free region: rcSource places it when it has the frame's size.
      const RECT& s = vih->rcSource;
      if (s.right - s.left == w && s.bottom - s.top == h) region = s;
      if (!CameraFilter::ValidRegion(*f.format7, region)) continue;
    } else if (w != f.width || h != f.height) {
      continue;
    }
    const int64_t interval = vih->AvgTimePerFrame;
    if (interval != 0) {
      if (!f.fpsCodes.empty()) {
        // A driver format runs at fixed rates: take the closest one.
        int32_t best = f.fpsCode;
        for (int32_t c : f.fpsCodes)
          if (std::llabs(IntervalOfFpsCode(c) - interval) < std::llabs(IntervalOfFpsCode(best) - interval)) best = c;
        f.fpsCode = best;
        f.interval = IntervalOfFpsCode(best);
      } else {
        if (interval < f.minInterval || interval > f.maxInterval) return VFW_E_INVALIDMEDIATYPE;
        f.interval = interval;
      }
    }
    d.rects[i] = region;
    d.current = static_cast<int32_t>(i);
    return S_OK;
  }
  return VFW_E_INVALIDMEDIATYPE;
}

// ---- frames ------------------------------------------------------------------------------------------

bool CameraFilter::NextFrame(FrameBuffer& frame, double* time) {
  GUID subtype;
  FrameRequest request;
  int64_t interval = 0;
  {
    Device& d = *device_;
    MutexLock lock(d.Mutex());
    if (!d.present || d.framesLeft == 0) return false;
    if (d.TriggerEnabled()) {
      if (d.triggers == 0) return false;
      --d.triggers;
    }
    if (d.framesLeft > 0) --d.framesLeft;
    subtype = d.formats[static_cast<size_t>(d.current)].subtype;
    interval = d.formats[static_cast<size_t>(d.current)].interval;
    // A Motion-JPEG camera makes its picture beside the frame and sends it encoded.
    request.layout = PictureLayout(subtype);
    request.width = d.Width(d.current);
    request.height = d.Height(d.current);
    request.index = d.framesProduced++;
    request.bayer = d.Desc().source.bayer;
  }
  if (time) *time = static_cast<double>(request.index) * static_cast<double>(interval) * 1e-7;
  if (sentBytes_ != 0 && frame.size() == sentBytes_ && sentSubtype_ == subtype && source_->Repeats(request))
    return true;  // the buffer still holds the still picture: nothing to render or encode
  sentSubtype_ = subtype;
  sentBytes_ = 0;
  const bool encoded = !(request.layout == subtype);
  FrameBuffer& picture = encoded ? picture_ : frame;
  picture.resize(FrameBytes(request.layout, request.width, request.height));
  if (!source_->Fill(request, picture)) return false;
  if (encoded) EncodeFrame(encoder_, picture.data(), request.width, request.height, frame);
  sentBytes_ = frame.size();
  return true;
}

}  // namespace

HRESULT CreateCameraFilter(std::shared_ptr<Device> device, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return HandOut(new CameraFilter(std::move(device)), riid, out);
}

}  // namespace kelvane::sim
