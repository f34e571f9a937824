#pragma once

#include <cstdint>

#include "capture/camera_record.h"

namespace kelvane::capture {

// Finds the video input devices once and records at most `maximum` of them in
// *cameras[0..count-1] (the table's records are the caller's, possibly of a
// derived type, so they are passed by pointer), giving each its host-facing
// ConfigName and pointing configNames[n] at it. Returns the failure of the
// device enumerator's creation, S_OK in every other case.
platform::HRESULT EnumCameras(uint32_t maximum, CameraRecord* const* cameras, uint32_t* count, char** configNames);

// The first pin of `direction` on the filter (a new reference), or E_FAIL.
platform::HRESULT GetPin(platform::IBaseFilter* filter, platform::PIN_DIRECTION direction, platform::IPin** pin);

}  // namespace kelvane::capture
