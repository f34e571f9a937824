#include "configure/driver_pages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "capture/property_access.h"
#include "capture/stream_format.h"
#include "configure/texts.h"
#include "diagnostics/hresult_names.h"
#include "platform/firei.h"

namespace kelvane::configure {

using namespace platform;

namespace {

std::string Failure(const char* step, HRESULT hr) {
  char text[160];
  std::snprintf(text, sizeof text, "%s - %s [0x%x]", step, HResultName(hr), static_cast<unsigned>(hr));
  return text;
}

// The filter behind an object: the object itself, or the filter of a pin.
ComPtr<IBaseFilter> FilterOf(IUnknown* object) {
  ComPtr<IBaseFilter> filter;
  if (SUCCEEDED(QueryInto(object, filter)) && filter) return filter;
  ComPtr<IPin> pin;
  if (FAILED(QueryInto(object, pin)) || !pin) return {};
  PIN_INFO info;
  if (FAILED(pin->QueryPinInfo(&info))) return {};
  return ComPtr<IBaseFilter>::Attach(info.pFilter);
}

struct MediaTypeHolder {
  AM_MEDIA_TYPE* mt = nullptr;
  ~MediaTypeHolder() { DeleteMediaType(mt); }
};

std::string RateText(int64_t interval) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f fps", interval > 0 ? 1e7 / static_cast<double>(interval) : 0.0);
  return text;
}

std::string SubtypeText(const GUID& subtype) {
  std::string name = capture::MediaSubtypeName(subtype);
  constexpr std::string_view prefix = "MEDIASUBTYPE_";
  if (name.rfind(prefix, 0) == 0) name.erase(0, prefix.size());
  return name;
}

// What a page needs of an unused interface operation.
class PageBase : public DriverPageObject {
 public:
  std::vector<SourceProperty> Properties() override { return {}; }
  std::string SetProperty(int, int32_t, bool) override { return "not a source page"; }
  std::vector<FormatEntry> Formats() override { return {}; }
  FormatChoice CurrentFormat() override { return {}; }
  std::string SetFormat(const FormatChoice&) override { return "not a format page"; }
};

// ---- Source: the camera's properties -------------------------------------------------------------------

class SourcePage final : public PageBase {
 public:
  explicit SourcePage(ComPtr<IBaseFilter> filter) : filter_(std::move(filter)), access_(filter_.Get()) {}
  Kind PageKind() override { return Kind::Source; }
  const char* Title() override { return kSourcePageTitle; }

  std::vector<SourceProperty> Properties() override {
    std::vector<SourceProperty> rows;
    for (int p = 0; p < capture::kPropertyCount; ++p) {
      SourceProperty row;
      int32_t caps = 0, flags = 0;
      if (FAILED(access_.GetRange(p, &row.minimum, &row.maximum, &row.step, &row.defaultValue, &caps))) continue;
      if (FAILED(access_.Get(p, &row.value, &flags))) continue;
      row.index = p;
      row.name = capture::PropertyNameOf(p);
      row.canAuto = (caps & kFlagsAuto) != 0;
      row.automatic = (flags & kFlagsAuto) != 0;
      if (row.step <= 0) row.step = 1;
      rows.push_back(row);
    }
    return rows;
  }

  std::string SetProperty(int index, int32_t value, bool automatic) override {
    int32_t lo = 0, hi = 0, step = 0, def = 0, caps = 0;
    HRESULT hr = access_.GetRange(index, &lo, &hi, &step, &def, &caps);
    if (FAILED(hr)) return Failure("GetRange", hr);
    const char* name = capture::PropertyNameOf(index);
    char text[160];
    if (value < lo || value > hi) {
      std::snprintf(text, sizeof text, "%s: %d is not within %d to %d", name, value, lo, hi);
      return text;
    }
    if (automatic && !(caps & kFlagsAuto)) {
      std::snprintf(text, sizeof text, "%s has no automatic mode", name);
      return text;
    }
    hr = access_.Set(index, value, automatic ? kFlagsAuto : kFlagsManual);
    if (hr == S_OK) return {};
    std::snprintf(text, sizeof text, "Set %s", name);
    return Failure(text, FAILED(hr) ? hr : E_FAIL);
  }

 private:
  static constexpr int32_t kFlagsAuto = 1, kFlagsManual = 2;
  ComPtr<IBaseFilter> filter_;  // PropertyAccess holds no reference of its own
  capture::PropertyAccess access_;
};

// ---- Format: the stream format ---------------------------------------------------------------------------

class FormatPage final : public PageBase {
 public:
  FormatPage(ComPtr<IBaseFilter> filter, ComPtr<IAMStreamConfig> config)
      : filter_(std::move(filter)), config_(std::move(config)) {
    QueryInto(filter_.Get(), vendor_);
    Load();
  }
  Kind PageKind() override { return Kind::Format; }
  const char* Title() override { return kFormatPageTitle; }
  std::vector<FormatEntry> Formats() override { return entries_; }

  FormatChoice CurrentFormat() override {
    FormatChoice c;
    if (vendor_) {
      int32_t index = -1;
      if (FAILED(vendor_->GetDefaultFormat(&index)) || index < 0 || static_cast<size_t>(index) >= entries_.size())
        return c;
      c.entry = index;
      int32_t code = -1;
      if (SUCCEEDED(vendor_->GetCurrentFps(index, &code)))
        for (size_t r = 0; r < entries_[static_cast<size_t>(index)].rates.size(); ++r)
          if (entries_[static_cast<size_t>(index)].rates[r].code == code) c.rate = static_cast<int>(r);
    }
    // The current media type gives the region (and, without the driver's
    // interface, the entry and rate).
    MediaTypeHolder mt;
    const VIDEOINFOHEADER* vih = nullptr;
    if (config_ && SUCCEEDED(config_->GetFormat(&mt.mt)) && mt.mt) vih = VideoInfo(*mt.mt);
    if (vih) {
      c.left = vih->rcSource.left;
      c.top = vih->rcSource.top;
      c.width = vih->bmiHeader.biWidth;
      c.height = std::abs(vih->bmiHeader.biHeight);
      if (c.entry < 0) {
        for (size_t i = 0; i < entries_.size() && c.entry < 0; ++i)
          if (subtypes_[i] == mt.mt->subtype &&
              (entries_[i].freeRegion || (sizes_[i].cx == c.width && sizes_[i].cy == c.height)))
            c.entry = static_cast<int>(i);
        if (c.entry >= 0) {
          const auto& rates = entries_[static_cast<size_t>(c.entry)].rates;
          int64_t best = -1;
          for (size_t r = 0; r < rates.size(); ++r) {
            const int64_t d = std::llabs(rates[r].interval - vih->AvgTimePerFrame);
            if (best < 0 || d < best) {
              best = d;
              c.rate = static_cast<int>(r);
            }
          }
        }
      }
    }
    if (vendor_ && c.entry >= 0 && entries_[static_cast<size_t>(c.entry)].freeRegion) {
      try {
        RECT r{};
        if (SUCCEEDED(vendor_->GetCustomRect(c.entry, &r))) {
          c.left = r.left;
          c.top = r.top;
          c.width = r.right - r.left;
          c.height = r.bottom - r.top;
        }
        uint32_t packet = 0;
        if (SUCCEEDED(vendor_->GetF7PacketSize(c.entry, &packet))) c.packet = packet;
      } catch (const PlatformError&) {
        // An older driver: the media type's region stands, the packet size is unknown.
      }
    }
    return c;
  }

  std::string SetFormat(const FormatChoice& c) override {
    if (c.entry < 0 || static_cast<size_t>(c.entry) >= entries_.size()) return "No format is selected";
    const FormatEntry& e = entries_[static_cast<size_t>(c.entry)];
    if (c.rate >= static_cast<int>(e.rates.size())) return "No such frame rate";
    if (e.freeRegion) {
      const bool fits = c.left >= 0 && c.top >= 0 && c.width > 0 && c.height > 0 &&
                        int64_t{c.left} + c.width <= e.maxWidth && int64_t{c.top} + c.height <= e.maxHeight &&
                        c.left % e.unitX == 0 && c.top % e.unitY == 0 && c.width % e.unitX == 0 &&
                        c.height % e.unitY == 0;
      if (!fits) {
        char text[200];
        std::snprintf(text, sizeof text, "The region %d x %d at %d, %d does not fit %d x %d in steps of %d x %d",
                      c.width, c.height, c.left, c.top, e.maxWidth, e.maxHeight, e.unitX, e.unitY);
        return text;
      }
      if (c.packet != 0 && (c.packet < e.packetMin || c.packet > e.packetMax)) {
        char text[120];
        std::snprintf(text, sizeof text, "The packet size %u is not within %u to %u", c.packet, e.packetMin,
                      e.packetMax);
        return text;
      }
    }
    try {
      return vendor_ ? SetVendor(c, e) : SetStandard(c, e);
    } catch (const PlatformError& error) {
      return error.what();
    }
  }

 private:
  std::string SetVendor(const FormatChoice& c, const FormatEntry& e) {
    HRESULT hr = vendor_->SetDefaultFormat(c.entry);
    if (FAILED(hr)) return Failure("SetDefaultFormat", hr);
    if (c.rate >= 0) {
      hr = vendor_->SetCurrentFps(c.entry, e.rates[static_cast<size_t>(c.rate)].code);
      if (FAILED(hr)) return Failure("SetCurrentFps", hr);
    }
    if (e.freeRegion) {
      hr = vendor_->SetCustomRect(c.entry, RECT{c.left, c.top, c.left + c.width, c.top + c.height});
      if (FAILED(hr)) return Failure("SetCustomRect", hr);
      if (c.packet != 0) {
        hr = vendor_->SetF7PacketSize(c.entry, c.packet);
        if (FAILED(hr)) return Failure("SetF7PacketSize", hr);
      }
    }
    return {};
  }

  std::string SetStandard(const FormatChoice& c, const FormatEntry& e) {
    if (!config_) return "The camera has no stream configuration";
    MediaTypeHolder mt;
    VIDEO_STREAM_CONFIG_CAPS caps{};
    HRESULT hr = config_->GetStreamCaps(c.entry, &mt.mt, reinterpret_cast<uint8_t*>(&caps));
    if (hr != S_OK || !mt.mt) return Failure("GetStreamCaps", FAILED(hr) ? hr : E_FAIL);
    VIDEOINFOHEADER* vih = VideoInfo(*mt.mt);
    if (!vih) return Failure("GetStreamCaps", VFW_E_INVALIDMEDIATYPE);
    if (c.rate >= 0) vih->AvgTimePerFrame = e.rates[static_cast<size_t>(c.rate)].interval;
    if (e.freeRegion) {
      vih->rcSource = RECT{c.left, c.top, c.left + c.width, c.top + c.height};
      vih->rcTarget = vih->rcSource;
      vih->bmiHeader.biWidth = c.width;
      vih->bmiHeader.biHeight = c.height;
    }
    hr = config_->SetFormat(mt.mt);
    return FAILED(hr) ? Failure("SetFormat", hr) : std::string();
  }

  void Load() {
    if (vendor_) {
      FiStreamCapsEntry* list = nullptr;
      uint32_t count = 0;
      if (FAILED(vendor_->GetStreamCaps(&list, &count)) || !list) return;
      for (uint32_t i = 0; i < count && i < 1024; ++i) {
        if (!list[i].mediaType) continue;
        Add(*list[i].mediaType, list[i].caps, static_cast<int32_t>(i));
      }
      vendor_->FreeStreamCaps(list);
      return;
    }
    int32_t count = 0, size = 0;
    if (!config_ || FAILED(config_->GetNumberOfCapabilities(&count, &size))) return;
    for (int32_t i = 0; i < count && i < 1024; ++i) {
      MediaTypeHolder mt;
      VIDEO_STREAM_CONFIG_CAPS caps{};
      if (config_->GetStreamCaps(i, &mt.mt, reinterpret_cast<uint8_t*>(&caps)) != S_OK || !mt.mt) break;
      Add(*mt.mt, caps, i);
    }
  }

  void Add(const AM_MEDIA_TYPE& mt, const VIDEO_STREAM_CONFIG_CAPS& caps, int32_t index) {
    FormatEntry e;
    const VIDEOINFOHEADER* vih = VideoInfo(mt);
    SIZE size{vih ? vih->bmiHeader.biWidth : 0, vih ? std::abs(vih->bmiHeader.biHeight) : 0};
    e.freeRegion = capture::IsFormat7Caps(caps);
    char text[96];
    if (e.freeRegion) {
      e.maxWidth = caps.MaxOutputSize.cx;
      e.maxHeight = caps.MaxOutputSize.cy;
      e.unitX = std::max(1, caps.OutputGranularityX);
      e.unitY = std::max(1, caps.OutputGranularityY);
      std::snprintf(text, sizeof text, "%s free region up to %d x %d", SubtypeText(mt.subtype).c_str(), e.maxWidth,
                    e.maxHeight);
      e.width = e.maxWidth;
      e.height = e.maxHeight;
      if (vendor_) {
        uint32_t lo = 0, hi = 0;
        if (SUCCEEDED(vendor_->GetF7PacketInfo(index, &lo, &hi))) {
          e.packetMin = lo;
          e.packetMax = hi;
        }
        try {
          RECT r{};
          if (SUCCEEDED(vendor_->GetCustomRect(index, &r)) && r.right > r.left && r.bottom > r.top) {
            e.left = r.left;
            e.top = r.top;
            e.width = r.right - r.left;
            e.height = r.bottom - r.top;
          }
          uint32_t packet = 0;
          if (SUCCEEDED(vendor_->GetF7PacketSize(index, &packet))) e.packet = packet;
        } catch (const PlatformError&) {
          // An older driver: the whole sensor, and the packet size unknown.
        }
      }
    } else {
      std::snprintf(text, sizeof text, "%s %d x %d", SubtypeText(mt.subtype).c_str(), size.cx, size.cy);
    }
    e.text = text;
    const int64_t lo = caps.MinFrameInterval, hi = caps.MaxFrameInterval;
    if (vendor_) {
      // The driver runs at fixed rates: the codes whose interval its range covers.
      for (int32_t code = 7; code >= 0; --code) {
        const int64_t interval = IntervalOfFpsCode(code);
        if (interval >= lo - 1 && interval <= hi + 1) e.rates.push_back({RateText(interval), code, interval});
      }
    } else if (lo > 0 && hi > lo) {
      // A free interval: the usual rates within the range, and its ends.
      std::vector<int64_t> intervals{lo, hi};
      for (double fps : {60.0, 30.0, 25.0, 20.0, 15.0, 10.0, 7.5, 5.0}) {
        const auto interval = static_cast<int64_t>(std::llround(1e7 / fps));
        if (interval > lo && interval < hi) intervals.push_back(interval);
      }
      std::sort(intervals.begin(), intervals.end());
      for (int64_t interval : intervals) e.rates.push_back({RateText(interval), -1, interval});
    } else if (vih && vih->AvgTimePerFrame > 0) {
      e.rates.push_back({RateText(vih->AvgTimePerFrame), -1, vih->AvgTimePerFrame});
    }
    entries_.push_back(std::move(e));
    subtypes_.push_back(mt.subtype);
    sizes_.push_back(size);
  }

  ComPtr<IBaseFilter> filter_;
  ComPtr<IAMStreamConfig> config_;
  ComPtr<IFiVideoFormatConfig> vendor_;
  std::vector<FormatEntry> entries_;
  std::vector<GUID> subtypes_;
  std::vector<SIZE> sizes_;
};

}  // namespace

int64_t IntervalOfFpsCode(int32_t code) {
  if (code < 0 || code > 7) return 0;
  return static_cast<int64_t>(std::llround(1e7 / (1.875 * static_cast<double>(1 << code))));
}

std::vector<std::unique_ptr<DriverPageObject>> MakeDriverPages(IUnknown* object, const CLSID* pages, uint32_t count) {
  std::vector<std::unique_ptr<DriverPageObject>> made;
  ComPtr<IBaseFilter> filter = FilterOf(object);
  if (!filter) return made;
  for (uint32_t i = 0; i < count; ++i) {
    if (pages[i] == CLSID_VideoSourcePropertyPage) {
      made.push_back(std::make_unique<SourcePage>(filter));
    } else if (pages[i] == CLSID_VideoFormatPropertyPage) {
      ComPtr<IAMStreamConfig> config;
      if (FAILED(QueryInto(object, config)) || !config) capture::GetStreamConfig(filter.Get(), config.Put());
      made.push_back(std::make_unique<FormatPage>(filter, std::move(config)));
    }
  }
  return made;
}

}  // namespace kelvane::configure
