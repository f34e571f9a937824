// Choosing a camera's stream format from its settings (subtype, region, frame
// interval or frame-rate code, free-region rectangle and packet size), reading it
// back, and the subtype tables the frame pipeline accepts.
#pragma once

#include <span>
#include <string>

#include "capture/camera_record.h"

namespace kelvane::capture {

using platform::GUID;
using platform::HRESULT;

// The 16 subtypes the pipeline takes, in fallback order.
std::span<const GUID> SupportedSubtypes();
bool IsSupportedSubtype(const GUID& subtype);
bool IsRgbSubtype(const GUID& subtype);  // RGB24, RGB32, ARGB32
// Compressed subtypes (MJPG): never taken by the pipeline, only through a
// decompressor. A camera set to one is given it, but none is a fallback.
bool IsCompressedSubtype(const GUID& subtype);

// "MEDIASUBTYPE_" and a short name (at most 19 characters in all).
std::string MediaSubtypeName(const GUID& subtype);
// "%s %s %s\r\n": message, subtype name, GUID text.
void LogUnknownSampleFormat(const char* message, const GUID& subtype);

HRESULT SetStreamConfig(CameraRecord& camera);
HRESULT ApplyStreamFormat(CameraRecord& camera, const GUID& subtype);
bool IsFormat7(platform::IBaseFilter* filter, int32_t formatIndex);
bool IsFormat7Caps(const platform::VIDEO_STREAM_CONFIG_CAPS& caps);

// Reads the camera's current format back into its settings.
HRESULT GetStreamConfig(CameraRecord& camera);
// The stream-configuration interface of the filter's capture pin.
HRESULT GetStreamConfig(platform::IBaseFilter* filter, platform::IAMStreamConfig** config);
HRESULT StreamSubtype(platform::IBaseFilter* filter, GUID* subtype);

}  // namespace kelvane::capture
