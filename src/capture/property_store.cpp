#include "capture/property_store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/property_access.h"
#include "capture/stream_format.h"
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

namespace {

std::string Fps(int64_t interval) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", interval > 0 ? 1e7 / static_cast<double>(interval) : 0.0);
  return text;
}

// The formats a user can ask for: subtype (the settings' SubType), size or
// range of sizes, and frame rates, from the capture pin's stream configuration.
void DumpStreamFormats(CameraRecord& camera) {
  ComPtr<IAMStreamConfig> config;
  if (!camera.CapturePin || FAILED(QueryInto(camera.CapturePin.Get(), config)) || !config) return;
  int32_t count = 0, size = 0;
  if (FAILED(config->GetNumberOfCapabilities(&count, &size))) return;
  DebugPrint("--- FORMATS for %s ---\r\n", camera.ConfigName);
  for (int32_t i = 0; i < count && i < 1024; ++i) {
    AM_MEDIA_TYPE* raw = nullptr;
    VIDEO_STREAM_CONFIG_CAPS caps{};
    const HRESULT hr = config->GetStreamCaps(i, &raw, reinterpret_cast<uint8_t*>(&caps));
    const MediaTypePtr mt(raw);
    if (hr != S_OK || !mt) continue;
    const VIDEOINFOHEADER* vih = VideoInfo(*mt);
    const std::string subtype = MediaSubtypeName(mt->subtype).substr(std::strlen("MEDIASUBTYPE_"));
    std::string sizes;
    if (vih)
      sizes = std::to_string(vih->bmiHeader.biWidth) + "x" + std::to_string(std::abs(vih->bmiHeader.biHeight));
    if (caps.MinOutputSize.cx != caps.MaxOutputSize.cx || caps.MinOutputSize.cy != caps.MaxOutputSize.cy)
      sizes = std::to_string(caps.MinOutputSize.cx) + "x" + std::to_string(caps.MinOutputSize.cy) + " to " +
              std::to_string(caps.MaxOutputSize.cx) + "x" + std::to_string(caps.MaxOutputSize.cy) + " in steps of " +
              std::to_string(caps.OutputGranularityX) + "x" + std::to_string(caps.OutputGranularityY);
    std::string rates;
    if (caps.MinFrameInterval > 0 && caps.MaxFrameInterval > caps.MinFrameInterval)
      rates = Fps(caps.MaxFrameInterval) + " to " + Fps(caps.MinFrameInterval) + " fps";
    else if (vih && vih->AvgTimePerFrame > 0)
      rates = Fps(vih->AvgTimePerFrame) + " fps";
    DebugPrint("%-8s %s%s%s\r\n", subtype.c_str(), sizes.c_str(), rates.empty() ? "" : ", ", rates.c_str());
  }
}

}  // namespace

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

  ComPtr<IDeviceDescription> description;
  std::string text;
  if (filter && SUCCEEDED(QueryInto(filter, description)) && description &&
      SUCCEEDED(description->Describe(&text)) && !text.empty()) {
    DebugPrint("--- DEVICE for %s ---\r\n", name);
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      end = end == std::string::npos ? text.size() : end + 1;
      DebugPrint("%s", text.substr(at, end - at).c_str());
      at = end;
    }
  }
  DumpStreamFormats(camera);
}

}  // namespace kelvane::capture
