// Device enumeration: the system device enumerator, its moniker lists for the
// video input category (the cameras on the bus) and the legacy filter
// category (the decompressors), and each moniker's property bag.
#include "platform/factory.h"
#include "platform/sim/internal.h"

namespace kelvane::sim {

using namespace platform;

namespace {

inline constexpr HRESULT kNoSuchProperty = MakeHr(0x80070002u);  // the bag has no value of that name

// What a moniker stands for: a camera of the bus or a decompressor filter.
struct Entry {
  std::shared_ptr<Device> device;  // null for a filter
  FilterDesc filter;
  std::string Name() const { return device ? device->Name() : filter.name; }
  bool Gone() const {
    if (!device) return false;
    std::lock_guard lock(device->Mutex());
    return !device->present;
  }
};

class PropertyBag final : public Object, public IPropertyBag {
 public:
  explicit PropertyBag(Entry entry) : entry_(std::move(entry)) {}
  KELVANE_SIM_IUNKNOWN

  HRESULT Read(const char16_t* propertyName, std::u16string* value) override {
    KELVANE_SIM_FAULT("IPropertyBag::Read", entry_.Name());
    if (!propertyName || !value) return E_POINTER;
    if (entry_.Gone()) return kDeviceGone;
    if (std::u16string_view(propertyName) != u"FriendlyName") return kNoSuchProperty;
    *value = ToUtf16(entry_.Name());
    return S_OK;
  }

 private:
  void* Find(REFIID riid) override {
    if (riid == IUnknown::iid || riid == IPropertyBag::iid) return static_cast<IPropertyBag*>(this);
    return nullptr;
  }
  Entry entry_;
};

class Moniker final : public Object, public IMoniker {
 public:
  explicit Moniker(Entry entry) : entry_(std::move(entry)) {}
  KELVANE_SIM_IUNKNOWN

  HRESULT BindToStorage(REFIID riid, void** object) override {
    KELVANE_SIM_FAULT("IMoniker::BindToStorage", entry_.Name());
    if (!object) return E_POINTER;
    *object = nullptr;
    if (entry_.Gone()) return kDeviceGone;
    return HandOut(new PropertyBag(entry_), riid, object);
  }

  HRESULT BindToObject(REFIID riid, void** object) override {
    KELVANE_SIM_FAULT("IMoniker::BindToObject", entry_.Name());
    if (!object) return E_POINTER;
    *object = nullptr;
    if (entry_.Gone()) return kDeviceGone;
    if (entry_.device) return CreateCameraFilter(entry_.device, riid, object);
    return CreateDecompressor(entry_.filter, riid, object);
  }

 private:
  void* Find(REFIID riid) override {
    if (riid == IUnknown::iid || riid == IMoniker::iid) return static_cast<IMoniker*>(this);
    return nullptr;
  }
  Entry entry_;
};

class MonikerList final : public Object, public IEnumMoniker {
 public:
  explicit MonikerList(std::vector<Entry> entries) : entries_(std::move(entries)) {}
  KELVANE_SIM_IUNKNOWN

  HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) override {
    KELVANE_SIM_FAULT("IEnumMoniker::Next", "");
    if (!monikers || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    std::lock_guard lock(mutex_);
    while (n < count && next_ < entries_.size()) {
      auto* m = new Moniker(entries_[next_++]);
      monikers[n++] = m;  // the creation reference goes to the caller
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }

  HRESULT Reset() override {
    KELVANE_SIM_FAULT("IEnumMoniker::Reset", "");
    std::lock_guard lock(mutex_);
    next_ = 0;
    return S_OK;
  }

 private:
  void* Find(REFIID riid) override {
    if (riid == IUnknown::iid || riid == IEnumMoniker::iid) return static_cast<IEnumMoniker*>(this);
    return nullptr;
  }
  std::mutex mutex_;
  std::vector<Entry> entries_;
  size_t next_ = 0;
};

class DeviceEnumerator final : public Object, public ICreateDevEnum {
 public:
  KELVANE_SIM_IUNKNOWN

  HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** enumerator, uint32_t) override {
    KELVANE_SIM_FAULT("ICreateDevEnum::CreateClassEnumerator", "");
    if (!enumerator) return E_POINTER;
    *enumerator = nullptr;
    auto bus = CurrentBus();
    std::vector<Entry> entries;
    if (category == CLSID_VideoInputDeviceCategory) {
      // A rejected description is repeated here: its first report may have
      // come before anyone listened.
      if (std::string error = LastBusError(); !error.empty()) PlatformMessage((error + "\r\n").c_str());
      for (const auto& d : bus->cameras) {
        Entry e{d, {}};
        if (!e.Gone()) entries.push_back(std::move(e));
      }
    } else if (category == CLSID_LegacyAmFilterCategory) {
      for (const auto& f : bus->filters) entries.push_back(Entry{nullptr, f});
    }
    if (entries.empty()) return S_FALSE;
    *enumerator = new MonikerList(std::move(entries));
    return S_OK;
  }

 private:
  void* Find(REFIID riid) override {
    if (riid == IUnknown::iid || riid == ICreateDevEnum::iid) return static_cast<ICreateDevEnum*>(this);
    return nullptr;
  }
};

}  // namespace

HRESULT CreateDeviceEnumerator(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return HandOut(new DeviceEnumerator, riid, out);
}

}  // namespace kelvane::sim
