#include "capture/property_access.h"

#include <strings.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace kelvane::capture {

using namespace platform;

namespace {

enum class Driver { None, Exposure, Color, Basic };
enum class Standard { None, ProcAmp, CameraControl };

struct PropertyRow {
  const char* name;
  Driver driver;
  int32_t code;
  Standard standard;
  int32_t property;
};

constexpr PropertyRow kProperties[kPropertyCount] = {
    {"Brightness", Driver::Basic, 2, Standard::ProcAmp, 0},
    {"Exposure", Driver::Exposure, 0, Standard::CameraControl, 4},
    {"Sharpness", Driver::Basic, 3, Standard::ProcAmp, 4},
    {"Contrast", Driver::None, 0, Standard::ProcAmp, 1},
    {"Hue", Driver::Color, 2, Standard::ProcAmp, 2},
    {"Saturation", Driver::Color, 3, Standard::ProcAmp, 3},
    {"UB", Driver::Color, 0, Standard::None, 0},
    {"VR", Driver::Color, 1, Standard::None, 0},
    {"WhiteBalance", Driver::None, 0, Standard::ProcAmp, 7},
    {"Gamma", Driver::Basic, 4, Standard::ProcAmp, 5},
    {"Shutter", Driver::Exposure, 1, Standard::None, 0},
    {"Gain", Driver::Exposure, 2, Standard::ProcAmp, 9},
    {"Iris", Driver::Exposure, 3, Standard::CameraControl, 5},
    {"Focus", Driver::Basic, 0, Standard::CameraControl, 6},
    {"Temperature", Driver::None, 0, Standard::None, 0},
    {"Trigger", Driver::None, 0, Standard::None, 0},
    {"Zoom", Driver::Basic, 1, Standard::CameraControl, 3},
    {"Pan", Driver::None, 0, Standard::CameraControl, 0},
    {"Tilt", Driver::None, 0, Standard::CameraControl, 1},
    {"Roll", Driver::None, 0, Standard::CameraControl, 2},
    {"OpticalFilter", Driver::None, 0, Standard::None, 0},
    {"ColorEnable", Driver::None, 0, Standard::ProcAmp, 6},
    {"BacklightCompensation", Driver::None, 0, Standard::ProcAmp, 8},
};

constexpr size_t kNameBuffer = 256;

// A float value word to an integer, truncating toward zero; NaN gives 0 and
// values beyond the 32-bit range saturate instead of being undefined.
int32_t FromFloatBits(int32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  if (std::isnan(f)) return 0;
  if (f >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  if (f <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(f);
}

int32_t ToFloatBits(int32_t value) {
  float f = static_cast<float>(value);
  int32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

}  // namespace

const char* PropertyNameOf(int index) {
  return index >= 0 && index < kPropertyCount ? kProperties[index].name : "Undefined";
}

int PropertyName(const char* name) {
  if (!name) return -1;
  for (int i = 0; i < kPropertyCount; ++i)
    if (strcasecmp(kProperties[i].name, name) == 0) return i;
  return -1;
}

bool SplitFlagsSuffix(const char* name, std::string& base) {
  base.clear();
  if (!name) return false;
  const size_t length = strnlen(name, kNameBuffer);
  if (length >= kNameBuffer) return false;  // too long for the name buffer: unknown
  const char* found = std::strstr(name, ".flags");
  if (found && found[6] == '\0') {
    base.assign(name, static_cast<size_t>(found - name));
    return true;
  }
  base.assign(name, length);
  return false;
}

PropertyAccess::PropertyAccess(IBaseFilter* captureFilter) : CaptureFilter(captureFilter) {
  QueryInto(CaptureFilter, CameraInfo);
  QueryInto(CaptureFilter, ExposureControl);
  QueryInto(CaptureFilter, ColorControl);
  QueryInto(CaptureFilter, BasicControl);
  QueryInto(CaptureFilter, ProcAmp);
  QueryInto(CaptureFilter, CameraControl);
  ComPtr<IFiVideoFormatConfig> format;
  if (SUCCEEDED(QueryInto(CaptureFilter, format)) && format)
    ValueForm = 2;
  else
    ValueForm = CameraInfo ? 1 : 0;
}

IFiPropertyControl* PropertyAccess::DriverInterface(int index, int32_t* code) const {
  const PropertyRow& row = kProperties[index];
  *code = row.code;
  switch (row.driver) {
    case Driver::Exposure: return ExposureControl.Get();
    case Driver::Color: return ColorControl.Get();
    case Driver::Basic: return BasicControl.Get();
    case Driver::None: return nullptr;
  }
  return nullptr;
}

HRESULT PropertyAccess::GetRange(int index, int32_t* minimum, int32_t* maximum, int32_t* step,
                                 int32_t* defaultValue, int32_t* flags) {
  if (index < 0 || index >= kPropertyCount) return E_INVALIDARG;
  int32_t code = 0;
  if (IFiPropertyControl* driver = DriverInterface(index, &code)) {
    int32_t lo = 0, hi = 0;
    HRESULT hr = driver->GetRange(code, &lo, &hi, step, defaultValue, flags);
    if (SUCCEEDED(hr)) {
      *minimum = ValueForm == 1 ? lo : FromFloatBits(lo);
      *maximum = ValueForm == 1 ? hi : FromFloatBits(hi);
    }
    return hr;
  }
  const PropertyRow& row = kProperties[index];
  if (row.standard == Standard::ProcAmp && ProcAmp)
    return ProcAmp->GetRange(row.property, minimum, maximum, step, defaultValue, flags);
  if (row.standard == Standard::CameraControl && CameraControl)
    return CameraControl->GetRange(row.property, minimum, maximum, step, defaultValue, flags);
  return E_PROP_SET_UNSUPPORTED;
}

HRESULT PropertyAccess::Get(int index, int32_t* value, int32_t* flags) {
  if (index < 0 || index >= kPropertyCount) return E_INVALIDARG;
  int32_t code = 0;
  if (IFiPropertyControl* driver = DriverInterface(index, &code)) {
    int32_t word = 0;
    HRESULT hr = driver->Get(code, &word, flags);
    if (SUCCEEDED(hr)) *value = ValueForm == 1 ? word : FromFloatBits(word);
    return hr;
  }
  const PropertyRow& row = kProperties[index];
  if (row.standard == Standard::ProcAmp && ProcAmp) return ProcAmp->Get(row.property, value, flags);
  if (row.standard == Standard::CameraControl && CameraControl) return CameraControl->Get(row.property, value, flags);
  return E_PROP_SET_UNSUPPORTED;
}

HRESULT PropertyAccess::Set(int index, int32_t value, int32_t flags) {
  if (index < 0 || index >= kPropertyCount) return E_INVALIDARG;
  int32_t code = 0;
  if (IFiPropertyControl* driver = DriverInterface(index, &code))
    return driver->Set(code, ValueForm == 1 ? value : ToFloatBits(value), flags);
  const PropertyRow& row = kProperties[index];
  if (row.standard == Standard::ProcAmp && ProcAmp) return ProcAmp->Set(row.property, value, flags);
  if (row.standard == Standard::CameraControl && CameraControl) return CameraControl->Set(row.property, value, flags);
  return E_PROP_SET_UNSUPPORTED;
}

HRESULT PropertyAccess::ReadRegisters(uint32_t address, uint32_t count, uint32_t* values) {
  if (!CameraInfo) return E_NOTIMPL;
  for (uint32_t k = 0; k < count; ++k) {
    HRESULT hr = CameraInfo->ReadRegister(address + 4 * k, &values[k]);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT PropertyAccess::WriteRegisters(uint32_t address, uint32_t count, const uint32_t* values) {
  if (!CameraInfo) return E_NOTIMPL;
  for (uint32_t k = 0; k < count; ++k) {
    HRESULT hr = CameraInfo->WriteRegister(address + 4 * k, values[k]);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace kelvane::capture
