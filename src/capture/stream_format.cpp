#include "capture/stream_format.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "diagnostics/diagnostics.h"
#include "platform/factory.h"
#include "settings/camera_settings.h"

namespace kelvane::capture {

using namespace platform;

namespace {

constexpr std::array<GUID, 16> kSupported = {
    MEDIASUBTYPE_RGB8,  MEDIASUBTYPE_Y800,  MEDIASUBTYPE_IYUV,   MEDIASUBTYPE_I420, MEDIASUBTYPE_Y411,
    MEDIASUBTYPE_Y422,  MEDIASUBTYPE_YUY2,  MEDIASUBTYPE_Y444,   MEDIASUBTYPE_UYVY, MEDIASUBTYPE_RGB24,
    MEDIASUBTYPE_RGB32, MEDIASUBTYPE_ARGB32, MEDIASUBTYPE_LUMX,  MEDIASUBTYPE_MO16, MEDIASUBTYPE_RAW8,
    MEDIASUBTYPE_RAW16};

bool IsFourcc(const GUID& g) {
  return g.Data2 == 0x0000 && g.Data3 == 0x0010 && g.Data4[0] == 0x80 && g.Data4[1] == 0x00 && g.Data4[2] == 0x00 &&
         g.Data4[3] == 0xAA && g.Data4[4] == 0x00 && g.Data4[5] == 0x38 && g.Data4[6] == 0x9B && g.Data4[7] == 0x71;
}

// A driver set operation that fails is made twice more; the third result counts and is logged.
template <class Call>
HRESULT WithRetry(const char* operation, Call&& call) {
  HRESULT hr = call();
  if (SUCCEEDED(hr)) return hr;
  call();
  hr = call();
  LogFailure(operation, hr);
  return hr;
}

// Operations that a driver lacks raise instead of returning. A raise counts as
// a failed call (E_NOTIMPL) of its step, which then goes on as for any failure;
// nothing more is tried of a retried call that raised.
template <class Call>
HRESULT Guarded(const char* operation, Call&& call) {
  try {
    return call();
  } catch (const PlatformError& e) {
    DebugPrint("%s raised an error in the camera driver: %s\r\n", operation, e.what());
    return E_NOTIMPL;
  }
}

// Fetches a media type through `call` (which fills an AM_MEDIA_TYPE**) into `holder`.
template <class Call>
HRESULT FetchMediaType(const char* operation, MediaTypePtr& holder, Call&& call) {
  AM_MEDIA_TYPE* mt = nullptr;
  const HRESULT hr = Guarded(operation, [&] { return call(&mt); });
  holder.reset(mt);
  return hr;
}

// The driver's format list, given back to the driver however the step ends.
class StreamCapsList {
 public:
  explicit StreamCapsList(IFiVideoFormatConfig* config) : config_(config) {}
  ~StreamCapsList() { Free(); }
  StreamCapsList(const StreamCapsList&) = delete;
  StreamCapsList& operator=(const StreamCapsList&) = delete;

  HRESULT Fetch() {
    Free();
    const HRESULT hr = Guarded("GetStreamCaps", [&] { return config_->GetStreamCaps(&list_, &count_); });
    if (!list_) count_ = 0;
    return hr;
  }
  // The driver's answer to taking the list back (S_OK when there is none). A
  // list the driver failed to take is offered twice more, as a failed set
  // operation is made again: the list is the driver's memory, and a driver that
  // failed for the moment would otherwise keep it for good.
  HRESULT Free() {
    FiStreamCapsEntry* list = std::exchange(list_, nullptr);
    count_ = 0;
    if (!list) return S_OK;
    return Guarded("FreeStreamCaps",
                   [&] { return WithRetry("FreeStreamCaps", [&] { return config_->FreeStreamCaps(list); }); });
  }
  uint32_t Count() const { return count_; }
  FiStreamCapsEntry& operator[](uint32_t i) const { return list_[i]; }

 private:
  IFiVideoFormatConfig* config_;
  FiStreamCapsEntry* list_ = nullptr;
  uint32_t count_ = 0;
};

// Left + Width and Top + Height saturate instead of overflowing: a region from a
// hand-edited settings file that runs past the 32-bit range then fits no format.
int32_t SaturatedSum(int32_t a, int32_t b) {
  const int64_t sum = int64_t{a} + b;
  return static_cast<int32_t>(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
}

RECT WantedRect(const settings::CameraSettings& s) {
  return RECT{s.Left, s.Top, SaturatedSum(s.Left, s.Width), SaturatedSum(s.Top, s.Height)};
}

}  // namespace

std::span<const GUID> SupportedSubtypes() { return kSupported; }

bool IsSupportedSubtype(const GUID& subtype) {
  for (const GUID& g : kSupported)
    if (g == subtype) return true;
  return false;
}

bool IsCompressedSubtype(const GUID& subtype) { return subtype == MEDIASUBTYPE_MJPG; }

bool IsRgbSubtype(const GUID& subtype) {
  return subtype == MEDIASUBTYPE_RGB24 || subtype == MEDIASUBTYPE_RGB32 || subtype == MEDIASUBTYPE_ARGB32;
}

std::string MediaSubtypeName(const GUID& subtype) {
  static constexpr const char* kFourccs[] = {"CLPL", "YUYV", "IYUV", "YVU9", "Y411", "Y41P", "YUY2",
                                             "YVYU", "UYVY", "YV12", "CLJR", "IF09", "CPLA", "MJPG",
                                             "TVMJ", "WAKE", "IJPG", "Plum", "DVCS", "DVSD", "MDVF",
                                             "Y422", "Y444", "Y800", "Y160", "I420", "RAW8"};
  const std::string prefix = "MEDIASUBTYPE_";
  if (IsFourcc(subtype)) {
    char cc[5];
    for (int i = 0; i < 4; ++i) cc[i] = static_cast<char>((subtype.Data1 >> (8 * i)) & 0xFF);
    cc[4] = '\0';
    if (std::strcmp(cc, "Y211") == 0) return prefix + "Y221";
    if (std::strcmp(cc, "CFCC") == 0) return prefix + "CPCC";
    if (std::strcmp(cc, "RAW1") == 0) return prefix + "RAW16";
    for (const char* known : kFourccs)
      if (std::strcmp(cc, known) == 0) return prefix + known;
    return prefix + "????";
  }
  // {E436EB78-524F-11CE-9F53-0020AF0BA770} .. {E436EB7E-...}
  static constexpr const char* kRgb[] = {"RGB1", "RGB4", "RGB8", "RGB565", "RGB555", "RGB24", "RGB32"};
  GUID base = MEDIASUBTYPE_RGB8;
  base.Data1 = subtype.Data1;
  if (base == subtype && subtype.Data1 >= 0xE436EB78u && subtype.Data1 <= 0xE436EB7Eu)
    return prefix + kRgb[subtype.Data1 - 0xE436EB78u];
  if (subtype == MEDIASUBTYPE_ARGB32) return prefix + "ARGB32";
  if (subtype == MEDIASUBTYPE_LUMX) return prefix + "LUMX";
  if (subtype == MEDIASUBTYPE_MO16) return prefix + "MO16";
  return prefix + "????";
}

void LogUnknownSampleFormat(const char* message, const GUID& subtype) {
  DebugPrint("%s %s %s\r\n", message, MediaSubtypeName(subtype).c_str(), settings::GuidToText(subtype).c_str());
}

bool IsFormat7Caps(const VIDEO_STREAM_CONFIG_CAPS& caps) {
  return caps.MinOutputSize.cx != caps.MaxOutputSize.cx || caps.MinOutputSize.cy != caps.MaxOutputSize.cy ||
         caps.CropGranularityX == caps.MaxOutputSize.cx || caps.CropGranularityY == caps.MaxOutputSize.cy;
}

bool IsFormat7(IBaseFilter* filter, int32_t formatIndex) {
  ComPtr<IFiVideoFormatConfig> config;
  if (FAILED(QueryInto(filter, config)) || !config) return false;
  StreamCapsList list(config.Get());
  if (FAILED(list.Fetch())) return false;
  return static_cast<uint32_t>(formatIndex) < list.Count() &&
         IsFormat7Caps(list[static_cast<uint32_t>(formatIndex)].caps);
}

namespace {

// What one entry of a driver's format list asks of the driver for the wanted format.
enum class EntryStep {
  Skip,    // another subtype, or no video header: the entry is passed over
  Plain,   // no size in the settings: the entry as the driver offers it
  Region,  // the default free-region entry: the settings' region (and packet size)
  Rate,    // a fixed entry of the settings' size: its frame rate
  Refuse,  // the wanted subtype, but not at this size
};

EntryStep StepFor(const settings::CameraSettings& s, const RECT& rect, const GUID& wanted, const AM_MEDIA_TYPE* mt,
                  const VIDEO_STREAM_CONFIG_CAPS& caps, bool isDefault) {
  const VIDEOINFOHEADER* vih = mt ? VideoInfo(*mt) : nullptr;
  if (!vih || mt->subtype != wanted) return EntryStep::Skip;
  if (s.Width == 0 || s.Height == 0) return EntryStep::Plain;
  const bool f7 = IsFormat7Caps(caps);
  const bool fits = rect.right <= caps.MaxOutputSize.cx && rect.bottom <= caps.MaxOutputSize.cy;
  if (isDefault && f7 && fits) return EntryStep::Region;
  const bool sameSize = s.Width == vih->bmiHeader.biWidth && s.Height == vih->bmiHeader.biHeight;
  if (sameSize && (isDefault || !f7)) return EntryStep::Rate;
  return EntryStep::Refuse;
}

// The free region and packet size through the vendor driver. A driver without
// custom rectangles keeps its region; the packet size is set only where the
// driver says it fits.
HRESULT ApplyVendorRegion(IFiVideoFormatConfig* vendor, int32_t index, const settings::CameraSettings& s,
                          const RECT& rect) {
  try {
    WithRetry("SetCustomRect", [&] { return vendor->SetCustomRect(index, rect); });
  } catch (const PlatformError&) {
    DebugPrint("Format 7 CustomRect is not supported by current UNIBRAIN driver!\n");
  }
  uint32_t minimum = 0, maximum = 0;
  HRESULT status = Guarded("GetF7PacketInfo", [&] {
    return WithRetry("GetF7PacketInfo", [&] { return vendor->GetF7PacketInfo(index, &minimum, &maximum); });
  });
  const uint32_t packet = static_cast<uint32_t>(s.PacketSize);
  if (minimum <= packet && packet <= maximum)
    status = Guarded("SetF7PacketSize", [&] {
      return WithRetry("SetF7PacketSize", [&] { return vendor->SetF7PacketSize(index, packet); });
    });
  return status;
}

// The vendor driver's list: entries are chosen by index, and the one that is
// accepted becomes the driver's default format.
HRESULT ApplyVendorFormat(IFiVideoFormatConfig* vendor, const settings::CameraSettings& s, const GUID& wanted) {
  const RECT rect = WantedRect(s);
  StreamCapsList list(vendor);
  // The running status: what the last call said. An entry for which nothing is
  // called is accepted only while it still reads as a success.
  HRESULT status = list.Fetch();
  if (FAILED(status)) return status;
  bool accepted = false;
  for (uint32_t i = 0; i < list.Count() && !accepted; ++i) {
    const int32_t index = static_cast<int32_t>(i);
    const EntryStep step = StepFor(s, rect, wanted, list[i].mediaType, list[i].caps, s.DefFmt == index);
    if (step == EntryStep::Skip) continue;
    if (step == EntryStep::Region) {
      status = ApplyVendorRegion(vendor, index, s, rect);
    } else if (step == EntryStep::Rate) {
      if (static_cast<uint32_t>(s.AvgTimePerFrame) < 7)
        status = Guarded("SetCurrentFps", [&] {
          return WithRetry("SetCurrentFps", [&] { return vendor->SetCurrentFps(index, s.AvgTimePerFrame); });
        });
    } else if (step == EntryStep::Refuse) {
      status = VFW_E_INVALIDMEDIATYPE;
    }
    accepted = SUCCEEDED(status);
    if (accepted)
      Guarded("SetDefaultFormat",
              [&] { return WithRetry("SetDefaultFormat", [&] { return vendor->SetDefaultFormat(index); }); });
  }
  status = list.Free();
  return accepted ? status : VFW_E_INVALIDMEDIATYPE;
}

// The standard stream configuration of the capture pin: an entry is applied by
// setting its media type, edited to the settings' region and frame interval.
HRESULT ApplyStandardFormat(IPin* pin, const settings::CameraSettings& s, const GUID& wanted) {
  const RECT rect = WantedRect(s);
  ComPtr<IAMStreamConfig> config;
  // The running status, as in the vendor driver's list.
  HRESULT status = QueryInto(pin, config);
  if (FAILED(status)) return status;
  int32_t n = 0, size = 0;
  status = Guarded("GetNumberOfCapabilities", [&] { return config->GetNumberOfCapabilities(&n, &size); });
  if (FAILED(status)) return status;
  const uint32_t count = n > 0 ? static_cast<uint32_t>(n) : 0;
  bool accepted = false;
  for (uint32_t i = 0; i < count && !accepted; ++i) {
    const int32_t index = static_cast<int32_t>(i);
    MediaTypePtr mt;
    VIDEO_STREAM_CONFIG_CAPS caps{};
    status = FetchMediaType("GetStreamCaps", mt, [&](AM_MEDIA_TYPE** out) {
      return config->GetStreamCaps(index, out, reinterpret_cast<uint8_t*>(&caps));
    });
    const EntryStep step = StepFor(s, rect, wanted, mt.get(), caps, true);
    if (step == EntryStep::Skip) continue;
    const auto setFormat = [&] { return Guarded("SetFormat", [&] { return config->SetFormat(mt.get()); }); };
    VIDEOINFOHEADER* vih = VideoInfo(*mt);
    if (step == EntryStep::Plain) {
      status = setFormat();
    } else if (step == EntryStep::Region) {
      if (s.AvgTimePerFrame != 0) {
        vih->bmiHeader.biWidth = s.Width;
        vih->bmiHeader.biHeight = s.Height;
        vih->bmiHeader.biSizeImage = static_cast<uint32_t>(vih->bmiHeader.biBitCount / 8) *
                                     static_cast<uint32_t>(s.Width) * static_cast<uint32_t>(s.Height);
        vih->rcSource = rect;
        vih->rcTarget = rect;
        vih->AvgTimePerFrame = static_cast<REFERENCE_TIME>(static_cast<uint32_t>(s.AvgTimePerFrame));
        status = setFormat();
      }
    } else if (step == EntryStep::Rate) {
      if (s.AvgTimePerFrame != 0) {
        vih->AvgTimePerFrame = static_cast<REFERENCE_TIME>(static_cast<uint32_t>(s.AvgTimePerFrame));
        status = setFormat();
      }
    } else {
      status = VFW_E_INVALIDMEDIATYPE;
    }
    accepted = SUCCEEDED(status);
  }
  return accepted ? status : VFW_E_INVALIDMEDIATYPE;
}

}  // namespace

HRESULT ApplyStreamFormat(CameraRecord& camera, const GUID& wanted) {
  if (IFiVideoFormatConfig* vendor = camera.FormatConfig.Get())
    return ApplyVendorFormat(vendor, camera.Settings, wanted);
  return ApplyStandardFormat(camera.CapturePin.Get(), camera.Settings, wanted);
}

HRESULT SetStreamConfig(CameraRecord& camera) {
  const GUID wanted = camera.Settings.SubType;
  HRESULT hr = E_FAIL;
  // A compressed subtype is applied when asked for: the graph then puts a
  // decompressor before the pipeline. The fallbacks stay uncompressed.
  if (IsSupportedSubtype(wanted) || IsCompressedSubtype(wanted)) {
    hr = ApplyStreamFormat(camera, wanted);
    if (SUCCEEDED(hr)) return hr;
  }
  for (const GUID& subtype : kSupported) {
    hr = ApplyStreamFormat(camera, subtype);
    if (SUCCEEDED(hr)) break;
  }
  return hr;
}

HRESULT GetStreamConfig(IBaseFilter* filter, IAMStreamConfig** config) {
  if (!config) return E_POINTER;
  *config = nullptr;
  ComPtr<ICaptureGraphBuilder2> builder;
  HRESULT hr = CoCreateInstance(CLSID_CaptureGraphBuilder2, ICaptureGraphBuilder2::iid, builder.PutVoid());
  if (!builder) {
    LogFailure("pCaptureGraph==NULL", E_POINTER);
    return E_POINTER;
  }
  if (FAILED(hr)) {
    LogFailure("GetStreamConfig:IID_ICaptureGraphBuilder2", hr);
    return hr;
  }
  hr = builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, filter, IAMStreamConfig::iid,
                              reinterpret_cast<void**>(config));
  if (FAILED(hr)) LogFailure("GetStreamConfig:IAMStreamConfig", hr);
  return hr;
}

HRESULT StreamSubtype(IBaseFilter* filter, GUID* subtype) {
  ComPtr<IAMStreamConfig> config;
  HRESULT hr = GetStreamConfig(filter, config.Put());
  if (FAILED(hr) || !config) {
    if (SUCCEEDED(hr)) hr = E_POINTER;
    LogFailure("StreamSubtype::GetStreamConfig", hr);
    return hr;
  }
  MediaTypePtr mt;
  hr = FetchMediaType("GetFormat", mt, [&](AM_MEDIA_TYPE** out) { return config->GetFormat(out); });
  if (FAILED(hr) || !mt) {
    if (SUCCEEDED(hr)) hr = E_POINTER;
    LogFailure("StreamSubtype::GetFormat", hr);
    return hr;
  }
  *subtype = mt->subtype;
  return hr;
}

HRESULT GetStreamConfig(CameraRecord& camera) {
  ComPtr<IAMStreamConfig> config;
  HRESULT hr = QueryInto(camera.CapturePin.Get(), config);
  if (FAILED(hr)) return hr;
  MediaTypePtr mt;
  hr = FetchMediaType("GetFormat", mt, [&](AM_MEDIA_TYPE** out) { return config->GetFormat(out); });
  if (FAILED(hr) || !mt) {
    if (SUCCEEDED(hr)) hr = E_POINTER;
    LogFailure("GetStreamConfig::GetFormat", hr);
    return hr;
  }
  settings::CameraSettings& s = camera.Settings;
  VIDEOINFOHEADER* vih = VideoInfo(*mt);
  s.SubType = mt->subtype;
  if (vih) s.AvgTimePerFrame = static_cast<int32_t>(static_cast<uint32_t>(vih->AvgTimePerFrame & 0xFFFFFFFF));

  bool fromRect = false;
  if (IFiVideoFormatConfig* vendor = camera.FormatConfig.Get()) {
    // A read that fails leaves its field as read from the format above (an
    // interval's low bits are 7 or more: "leave the rate"); a made-up code 0
    // would set the slowest rate at the next open.
    int32_t index = s.DefFmt;
    if (SUCCEEDED(Guarded("GetDefaultFormat", [&] { return vendor->GetDefaultFormat(&index); }))) s.DefFmt = index;
    int32_t code = s.AvgTimePerFrame;
    if (SUCCEEDED(Guarded("GetCurrentFps", [&] { return vendor->GetCurrentFps(s.DefFmt, &code); })))
      s.AvgTimePerFrame = code;
    if (IsFormat7(camera.CaptureFilter.Get(), s.DefFmt)) {
      try {
        RECT r{};
        hr = vendor->GetCustomRect(s.DefFmt, &r);
        if (SUCCEEDED(hr)) {
          s.Left = r.left;
          s.Top = r.top;
          s.Width = r.right - r.left;
          s.Height = r.bottom - r.top;
          uint32_t packet = 0;
          hr = vendor->GetF7PacketSize(s.DefFmt, &packet);
          if (SUCCEEDED(hr)) {
            s.PacketSize = static_cast<int32_t>(packet);
            fromRect = true;
          }
        }
      } catch (const PlatformError&) {
        // An older driver: fall back to the format's own rectangle below.
      }
    }
  }
  if (!fromRect && vih) {
    s.Left = vih->rcSource.left;
    s.Top = vih->rcSource.top;
    s.Width = vih->bmiHeader.biWidth;
    s.Height = vih->bmiHeader.biHeight;
  }
  return hr;
}

}  // namespace kelvane::capture
