#include "capture/discovery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "capture/ansi.h"
#include "diagnostics/diagnostics.h"
#include "platform/factory.h"

namespace kelvane::capture {

using namespace platform;

namespace {

// A composed name longer than this is cut here, so that every " #n" suffix
// (at most " #25") still fits the 127 characters and all cameras of one
// composed name share the same prefix for the duplicate count.
constexpr size_t kComposedNameLimit = kNameSize - 1 - 4;


void CopyName(char* target, const char* source) {
  std::snprintf(target, kNameSize, "%s", source);
}

// A NUL-terminated string field of the vendor record, never read past its 64 bytes.
std::string VendorField(const uint8_t* record, uint32_t offset) {
  const char* p = reinterpret_cast<const char*>(record + offset);
  return std::string(p, strnlen(p, 64));
}

void ComposeVendorName(CameraRecord& camera) {
  int32_t number = 0;
  std::memcpy(&number, camera.VendorInfo + kCameraNumberOffset, sizeof number);
  std::string name = VendorField(camera.VendorInfo, kVendorNameOffset) + " " +
                     VendorField(camera.VendorInfo, kModelNameOffset) + " - " + std::to_string(number);
  if (name.size() >= kNameSize) name.resize(kComposedNameLimit);
  CopyName(camera.ConfigName, name.c_str());
}

// Cameras that compose the same name are told apart by " #n": n - 1 earlier names contain this one.
// Containment is not equality, so the number found may already be taken (an earlier
// device called "Cam #2" and a later "Cam"); the next free number is used then, as
// the host opens cameras by this name and it must stay unique.
void MakeUnique(CameraRecord* const* cameras, uint32_t n) {
  CameraRecord& camera = *cameras[n];
  int k = 0;
  for (uint32_t j = 0; j < n; ++j)
    if (std::strstr(cameras[j]->ConfigName, camera.ConfigName)) ++k;
  if (k == 0) return;
  const std::string base = camera.ConfigName;
  for (int number = k + 1;; ++number) {
    char suffix[16];
    const int len = std::snprintf(suffix, sizeof suffix, " #%d", number);
    // The suffix always stays visible: a name too long for it is cut first.
    const std::string candidate =
        base.substr(0, std::min(base.size(), static_cast<size_t>(kNameSize - 1 - len))) + suffix;
    bool taken = false;
    for (uint32_t j = 0; j < n && !taken; ++j) taken = candidate == cameras[j]->ConfigName;
    if (!taken) {
      CopyName(camera.ConfigName, candidate.c_str());
      return;
    }
  }
}

template <class T>
void QueryOrLog(IBaseFilter* filter, ComPtr<T>& field, const char* message, const char* friendlyName) {
  if (FAILED(QueryInto(filter, field))) DebugPrint(message, friendlyName);
}

void RecordCamera(IMoniker* moniker, const char* friendlyName, CameraRecord* const* cameras, uint32_t n) {
  CameraRecord& camera = *cameras[n];
  CopyName(camera.FriendlyName, friendlyName);
  CopyName(camera.ConfigName, friendlyName);

  HRESULT hr = moniker->BindToObject(IBaseFilter::iid, camera.CaptureFilter.PutVoid());
  if (FAILED(hr)) {
    LogFailure("Unable to bind to camera", hr);
  } else {
    IBaseFilter* filter = camera.CaptureFilter.Get();
    hr = QueryInto(filter, camera.VideoControl);
    if (FAILED(hr)) LogFailure("Unable to get VideoControl interface", hr);
    hr = GetPin(filter, PINDIR_OUTPUT, camera.CapturePin.Put());
    if (FAILED(hr)) LogFailure("Unable to get output pin", hr);

    if (FAILED(QueryInto(filter, camera.CameraInfo))) {
      DebugPrint("Unable to get camerainfo interface for %s\r\n", camera.FriendlyName);
    } else if (FAILED(camera.CameraInfo->GetVendorInfo(camera.VendorInfo))) {
      DebugPrint("Unable to get vendor info for %s\r\n", camera.FriendlyName);
    } else {
      ComposeVendorName(camera);
    }
    QueryOrLog(filter, camera.ExposureControl, "Unable to get exposure interface for %s\r\n", camera.FriendlyName);
    QueryOrLog(filter, camera.ColorControl, "Unable to get color interface for %s\r\n", camera.FriendlyName);
    QueryOrLog(filter, camera.BasicControl, "Unable to get basic interface for %s\r\n", camera.FriendlyName);
    QueryInto(filter, camera.FormatConfig);
  }
  MakeUnique(cameras, n);
}

}  // namespace

HRESULT GetPin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** pin) {
  if (!pin) return E_POINTER;
  *pin = nullptr;
  if (!filter) return E_POINTER;
  ComPtr<IEnumPins> pins;
  HRESULT hr = filter->EnumPins(pins.Put());
  if (FAILED(hr)) return hr;
  if (!pins) return E_FAIL;
  for (;;) {
    ComPtr<IPin> candidate;
    ULONG fetched = 0;
    if (pins->Next(1, candidate.Put(), &fetched) != S_OK || fetched != 1 || !candidate) return E_FAIL;
    PIN_DIRECTION dir;
    if (SUCCEEDED(candidate->QueryDirection(&dir)) && dir == direction) {
      *pin = candidate.Detach();
      return S_OK;
    }
  }
}

HRESULT EnumCameras(uint32_t maximum, CameraRecord* const* cameras, uint32_t* count, char** configNames) {
  ComPtr<ICreateDevEnum> devices;
  HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, devices.PutVoid());
  if (FAILED(hr) || !devices) {
    if (SUCCEEDED(hr)) hr = E_POINTER;
    LogFailure("EnumCameras:IID_ICreateDevEnum", hr);
    return hr;
  }
  ComPtr<IEnumMoniker> monikers;
  if (devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.Put(), 0) != S_OK || !monikers) {
    DebugPrint("No cameras found\r\n");
    return S_OK;
  }

  char friendlyName[80] = {};  // shared by all devices, as the ANSI conversion buffer
  uint32_t n = 0;
  monikers->Reset();
  for (;;) {
    ComPtr<IMoniker> moniker;
    ULONG fetched = 0;
    if (monikers->Next(1, moniker.Put(), &fetched) != S_OK || fetched != 1 || !moniker) break;
    try {
      ComPtr<IPropertyBag> bag;
      HRESULT bagHr = moniker->BindToStorage(IPropertyBag::iid, bag.PutVoid());
      HRESULT readHr = E_FAIL;
      if (SUCCEEDED(bagHr) && bag) {
        std::u16string name;
        readHr = bag->Read(u"FriendlyName", &name);
        if (SUCCEEDED(readHr)) ToAnsi(name, friendlyName, sizeof friendlyName);
      }
      if (SUCCEEDED(bagHr) && bag && SUCCEEDED(readHr) && n < maximum) {
        RecordCamera(moniker.Get(), friendlyName, cameras, n);
        configNames[n] = cameras[n]->ConfigName;
        DebugPrint("%d: %s %s\r\n", static_cast<int>(n), cameras[n]->FriendlyName, cameras[n]->ConfigName);
        ++n;
      }
    } catch (const std::exception& e) {
      // The device takes no slot: drop whatever was recorded of it.
      if (n < maximum) *cameras[n] = CameraRecord{};
      DebugPrint("Exception enumerating camera - %s", e.what());
    }
  }
  *count = n;
  return S_OK;
}

}  // namespace kelvane::capture
