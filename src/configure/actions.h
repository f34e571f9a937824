// The camera actions behind the Source and Format buttons of the dialog and of
// the General page, and the operations they use: the display of an object's
// property pages and the camera driver's version probe.
#pragma once

#include <cstdint>
#include <string>

#include "host/state.h"
#include "platform/dshow.h"

namespace kelvane::configure {

using platform::HRESULT;

// Shows the property pages `object` publishes in one modal frame, leaving out
// page i (below 8) when bit i of `mask` is set. E_POINTER without an object;
// the object's failure when it publishes no pages; S_OK without a frame when
// every page is masked out; otherwise the frame's result.
HRESULT ShowPropertyPages(platform::IUnknown* object, const char* caption, uint8_t mask, int32_t x, int32_t y,
                          void* owner);

// True when the camera offers the driver's format interface and the driver's
// file version begins with "2.".
bool IsDriverVersion2(const host::CameraRecord& camera);

// Takes the camera's graph down to its filter, shows the driver's source pages,
// reads the format back and saves the settings. Refused (false, with a
// message) while ports have the camera open: they would get no more frames.
bool ConfigureSource(void* owner, int index);
// Shows the driver's format pages, reads the format back, saves the settings
// and the camera's property values.
bool ConfigureFormat(void* owner, int index);

// Saves the camera's whole settings block; false (with a message) when it
// could not be written. Call with the camera's gate held.
bool SaveSettings(host::CameraRecord& camera);

}  // namespace kelvane::configure
