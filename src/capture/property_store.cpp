#include "capture/property_store.h"

#include <vector>

#include "capture/property_access.h"
#include "diagnostics/diagnostics.h"
#include "settings/camera_settings.h"

namespace kelvane::capture {

using namespace platform;

void ApplyCameraProperties(CameraRecord& camera, const std::string& settingsPath) {
  PropertyAccess access(camera.CaptureFilter.Get());
  const settings::ProfileText file = settings::ProfileText::Load(settingsPath);
  for (int p = 0; p < kPropertyCount; ++p) {
    int32_t value = 0, flags = 0;
    if (FAILED(access.Get(p, &value, &flags))) continue;
    const char* name = PropertyNameOf(p);
    value = file.GetInt(camera.ConfigName, name, value);
    flags = file.GetInt(camera.ConfigName, settings::PropertyFlagsKey(name), flags);
    if (access.Set(p, value, flags) != S_OK)
      DebugPrint("%s Unable to set %s (val=%d flags=0x%x)\r\n", camera.ConfigName, name, value,
                 static_cast<unsigned>(flags));
  }
}

bool SaveCameraProperties(CameraRecord& camera, const std::string& settingsPath) {
  PropertyAccess access(camera.CaptureFilter.Get());
  std::vector<settings::ProfileEntry> entries;
  for (int p = 0; p < kPropertyCount; ++p) {
    int32_t value = 0, flags = 0;
    if (FAILED(access.Get(p, &value, &flags))) continue;
    const char* name = PropertyNameOf(p);
    entries.push_back({name, std::to_string(value)});
    entries.push_back({settings::PropertyFlagsKey(name), std::to_string(flags)});
  }
  // One transaction for all keys: one lock, one replacement of the file.
  return entries.empty() || settings::WriteProfileStrings(settingsPath, camera.ConfigName, entries);
}

void DumpCameraCapabilities(CameraRecord& camera) {
  IBaseFilter* filter = camera.CaptureFilter.Get();
  PropertyAccess access(filter);
  const char* name = camera.ConfigName;

  DebugPrint("--- IMPLEMENTED Interfaces for %s ---\r\n", name);
  struct Probe {
    const char* label;
    IID iid;
  };
  const Probe probes[] = {
      {"IAMAnalogVideoDecoder", IID_IAMAnalogVideoDecoder}, {"IAMCameraControl", IAMCameraControl::iid},
      {"IAMDroppedFrames", IID_IAMDroppedFrames},           {"IAMExtDevice", IID_IAMExtDevice},
      {"IAMExtTransport", IID_IAMExtTransport},             {"IAMFilterMiscFlags", IID_IAMFilterMiscFlags},
      {"IAMTimecodeReader", IID_IAMTimecodeReader},         {"IAMVideoCompression", IID_IAMVideoCompression},
      {"IAMVideoControl", IAMVideoControl::iid},            {"IBaseFilter", IBaseFilter::iid},
      {"IAMVideoProcAmp", IAMVideoProcAmp::iid},            {"IKsPropertySet", IID_IKsPropertySet},
      {"IMediaSeeking", IID_IMediaSeeking},                 {"IReferenceClock", IID_IReferenceClock},
      {"ISpecifyPropertyPages", IID_ISpecifyPropertyPages}, {"FiVideoFormatConfig", IFiVideoFormatConfig::iid},
  };
  for (const Probe& probe : probes) {
    IUnknown* object = nullptr;
    HRESULT hr = filter ? filter->QueryInterface(probe.iid, reinterpret_cast<void**>(&object)) : E_POINTER;
    DebugPrint("%-25s %s\r\n", probe.label, HResultName(hr));
    if (SUCCEEDED(hr) && object) object->Release();
  }

  DebugPrint("--- RANGE Properties for %s ---\r\n", name);
  for (int p = 0; p < kPropertyCount; ++p) {
    int32_t minimum = 0, maximum = 0, step = 0, defaultValue = 0, flags = 0;
    HRESULT hr = access.GetRange(p, &minimum, &maximum, &step, &defaultValue, &flags);
    if (SUCCEEDED(hr))
      DebugPrint("%-25s range=%d..%d ds=%d def=%d flags=0x%x\r\n", PropertyNameOf(p), minimum, maximum, step,
                 defaultValue, static_cast<unsigned>(flags));
    else
      DebugPrint("%-25s %s\r\n", PropertyNameOf(p), HResultName(hr));
  }

  DebugPrint("--- VALUE Properties for %s ---\r\n", name);
  for (int p = 0; p < kPropertyCount; ++p) {
    int32_t value = 0, flags = 0;
    HRESULT hr = access.Get(p, &value, &flags);
    if (SUCCEEDED(hr))
      DebugPrint("%-25s val=%d flags=0x%x\r\n", PropertyNameOf(p), value, static_cast<unsigned>(flags));
    else
      DebugPrint("%-25s %s\r\n", PropertyNameOf(p), HResultName(hr));
  }

  if (camera.VideoControl && camera.CapturePin) {
    DebugPrint("--- Video Control Properties for %s ---\r\n", name);
    int32_t caps = 0;
    HRESULT hr = camera.VideoControl->GetCaps(camera.CapturePin.Get(), &caps);
    if (SUCCEEDED(hr))
      DebugPrint("VideoControl Caps 0x%x  %s\r\n", static_cast<unsigned>(caps), HResultName(hr));
    else
      LogFailure("GetCaps", hr);
    int32_t mode = 0;
    hr = camera.VideoControl->GetMode(camera.CapturePin.Get(), &mode);
    if (SUCCEEDED(hr))
      DebugPrint("VideoControl Mode 0x%x  %s\r\n", static_cast<unsigned>(mode), HResultName(hr));
    else
      LogFailure("GetMode", hr);
  }
}

}  // namespace kelvane::capture
