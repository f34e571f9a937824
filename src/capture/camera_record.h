// What the capture layer knows of one camera: its driver interfaces, names,
// graph objects and settings. The host's camera table holds one per camera.
#pragma once

#include <cstdint>

#include "platform/dshow.h"
#include "platform/firei.h"
#include "settings/camera_settings.h"

namespace kelvane::capture {

using platform::ComPtr;

inline constexpr int kMaxCameras = 25;
inline constexpr int kNameSize = 128;  // FriendlyName and ConfigName, at most 127 characters

struct CameraRecord {
  // Found at discovery, held for the life of the library.
  ComPtr<platform::IBaseFilter> CaptureFilter;
  ComPtr<platform::IAMVideoControl> VideoControl;
  ComPtr<platform::IPin> CapturePin;
  ComPtr<platform::IFiCameraInfo> CameraInfo;
  ComPtr<platform::IFiExposureControl> ExposureControl;
  ComPtr<platform::IFiColorControl> ColorControl;
  ComPtr<platform::IFiBasicControl> BasicControl;
  ComPtr<platform::IFiVideoFormatConfig> FormatConfig;
  uint8_t VendorInfo[platform::kVendorInfoSize] = {};

  // The capture graph: Graph and MediaControl survive a teardown and are reused.
  ComPtr<platform::IGraphBuilder> Graph;
  ComPtr<platform::IBaseFilter> GrabberFilter;
  ComPtr<platform::IBaseFilter> DecompressorFilter;
  ComPtr<platform::ISampleGrabber> SampleGrabber;
  ComPtr<platform::IBaseFilter> RendererFilter;
  ComPtr<platform::IMediaControl> MediaControl;

  settings::CameraSettings Settings;
  char FriendlyName[kNameSize] = {};
  char ConfigName[kNameSize] = {};
};

}  // namespace kelvane::capture
