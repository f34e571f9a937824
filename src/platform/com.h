// COM-style basics of the platform seam: GUIDs, HRESULTs, reference-counted
// interfaces with an RAII holder, and the typed exception that driver
// operations raise on older drivers.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace kelvane::platform {

using HRESULT = int32_t;
using ULONG = uint32_t;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr HRESULT MakeHr(uint32_t v) { return static_cast<HRESULT>(v); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHr(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeHr(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHr(0x80004003u);
inline constexpr HRESULT E_ABORT = MakeHr(0x80004004u);
inline constexpr HRESULT E_FAIL = MakeHr(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHr(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = MakeHr(0x80070005u);
inline constexpr HRESULT E_HANDLE = MakeHr(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHr(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHr(0x80070057u);
inline constexpr HRESULT E_PROP_ID_UNSUPPORTED = MakeHr(0x80070490u);
inline constexpr HRESULT E_PROP_SET_UNSUPPORTED = MakeHr(0x80070492u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHr(0x80040154u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHr(0x80040110u);
inline constexpr HRESULT VFW_E_INVALIDMEDIATYPE = MakeHr(0x80040200u);
inline constexpr HRESULT VFW_E_NOT_CONNECTED = MakeHr(0x80040209u);
inline constexpr HRESULT VFW_E_ALREADY_CONNECTED = MakeHr(0x80040204u);
inline constexpr HRESULT VFW_E_CANNOT_CONNECT = MakeHr(0x80040217u);
inline constexpr HRESULT VFW_E_NO_ACCEPTABLE_TYPES = MakeHr(0x80040207u);
inline constexpr HRESULT VFW_E_WRONG_STATE = MakeHr(0x80040227u);
inline constexpr HRESULT VFW_S_STATE_INTERMEDIATE = MakeHr(0x00040237u);
inline constexpr HRESULT VFW_E_NOT_FOUND = MakeHr(0x80040216u);
inline constexpr HRESULT VFW_E_DUPLICATE_NAME = MakeHr(0x80040236u);
inline constexpr HRESULT VFW_S_DUPLICATE_NAME = MakeHr(0x0004022Du);
inline constexpr HRESULT VFW_E_NOT_STOPPED = MakeHr(0x80040224u);
inline constexpr HRESULT VFW_E_NOT_IN_GRAPH = MakeHr(0x8004025Fu);
inline constexpr HRESULT VFW_E_INVALID_DIRECTION = MakeHr(0x80040208u);

struct GUID {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {};
  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.Data4[i] != b.Data4[i]) return false;
    return true;
  }
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline constexpr GUID GUID_NULL{};

// A FOURCC media subtype: {XXXXXXXX-0000-0010-8000-00AA00389B71}.
constexpr GUID FourccGuid(char a, char b, char c, char d) {
  return GUID{static_cast<uint32_t>(static_cast<uint8_t>(a)) | static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
                  static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
                  static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24,
              0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

// Raised by driver operations that older drivers lack ("raise instead of returning").
// Callers catch it exactly where the capture code expects such a driver.
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Every interface of the seam derives from IUnknown. Objects are created by the
// active platform's factory (factory.h) and live as long as references are held.
struct IUnknown {
  static constexpr IID iid{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

// RAII holder of one interface reference (the usual smart COM pointer).
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes over a reference the caller already owns.
  static ComPtr Attach(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  // Adds a reference of its own.
  static ComPtr Share(T* p) {
    if (p) p->AddRef();
    return Attach(p);
  }
  ComPtr(const ComPtr& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Output slot for functions that return a new reference ("T** out").
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  T* Detach() { return std::exchange(p_, nullptr); }

  template <class U>
  HRESULT As(ComPtr<U>& out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(U::iid, out.PutVoid());
  }
  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }

 private:
  T* p_ = nullptr;
};

// Queries interface U from any object; null holder on failure.
template <class U, class T>
HRESULT QueryInto(T* object, ComPtr<U>& out) {
  out.Reset();
  if (!object) return E_POINTER;
  return object->QueryInterface(U::iid, out.PutVoid());
}

// Task memory: what the framework hands out in media types and capability lists.
void* CoTaskMemAlloc(size_t bytes);
void CoTaskMemFree(void* p);

}  // namespace kelvane::platform
