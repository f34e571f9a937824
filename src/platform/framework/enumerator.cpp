// Device enumeration: the system device enumerator, its moniker lists for the
// video input category (the backend's devices) and the legacy filter category
// (the decompressors), and each moniker's property bag.
#include <optional>

#include "platform/framework/fault.h"
#include "platform/framework/framework.h"

namespace kelvane::framework {

using namespace platform;

namespace {

inline constexpr HRESULT kNoSuchProperty = MakeHr(0x80070002u);  // the bag has no value of that name

// What a moniker stands for: a device of the backend or a decompressor filter.
struct Entry {
  std::optional<DeviceEntry> device;  // empty for a filter
  DecompressorDesc filter;
  std::string Name() const { return device ? device->name : filter.name; }
  // The failure a device that has left answers with, or S_OK.
  HRESULT Health() const { return device && device->health ? device->health() : S_OK; }
};

class PropertyBag final : public Object, public IPropertyBag {
 public:
  explicit PropertyBag(Entry entry) : entry_(std::move(entry)) {}
  KELVANE_IUNKNOWN

  HRESULT Read(const char16_t* propertyName, std::u16string* value) override {
    KELVANE_FAULT("IPropertyBag::Read", entry_.Name());
    if (!propertyName || !value) return E_POINTER;
    if (HRESULT gone = entry_.Health(); FAILED(gone)) return gone;
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
  KELVANE_IUNKNOWN

  HRESULT BindToStorage(REFIID riid, void** object) override {
    KELVANE_FAULT("IMoniker::BindToStorage", entry_.Name());
    if (!object) return E_POINTER;
    *object = nullptr;
    if (HRESULT gone = entry_.Health(); FAILED(gone)) return gone;
    return HandOut(new PropertyBag(entry_), riid, object);
  }

  HRESULT BindToObject(REFIID riid, void** object) override {
    KELVANE_FAULT("IMoniker::BindToObject", entry_.Name());
    if (!object) return E_POINTER;
    *object = nullptr;
    if (HRESULT gone = entry_.Health(); FAILED(gone)) return gone;
    if (entry_.device) return entry_.device->bind(riid, object);
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
  KELVANE_IUNKNOWN

  HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) override {
    KELVANE_FAULT("IEnumMoniker::Next", "");
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
    KELVANE_FAULT("IEnumMoniker::Reset", "");
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
  explicit DeviceEnumerator(DeviceBackend& backend) : backend_(backend) {}
  KELVANE_IUNKNOWN

  HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** enumerator, uint32_t) override {
    KELVANE_FAULT("ICreateDevEnum::CreateClassEnumerator", "");
    if (!enumerator) return E_POINTER;
    *enumerator = nullptr;
    std::vector<Entry> entries;
    if (category == CLSID_VideoInputDeviceCategory) {
      for (auto& d : backend_.Devices()) {
        Entry e{std::move(d), {}};
        if (e.Health() == S_OK) entries.push_back(std::move(e));
      }
    } else if (category == CLSID_LegacyAmFilterCategory) {
      for (auto& f : backend_.Decompressors()) entries.push_back(Entry{std::nullopt, std::move(f)});
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
  DeviceBackend& backend_;
};

}  // namespace

HRESULT CreateDeviceEnumerator(DeviceBackend& backend, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return HandOut(new DeviceEnumerator(backend), riid, out);
}

}  // namespace kelvane::framework
