// Camera property values kept in the settings file: applied when a camera is
// opened, saved after the driver's format pages were shown. Their section is
// the camera's ConfigName unchanged; the keys are the property's name and the
// name followed by "_flags".
#pragma once

#include <string>

#include "capture/camera_record.h"

namespace kelvane::capture {

void ApplyCameraProperties(CameraRecord& camera, const std::string& settingsPath);
// False when the file could not be written (the previous file then stands).
bool SaveCameraProperties(CameraRecord& camera, const std::string& settingsPath);

// The capability report: interfaces, property ranges and values, video control.
void DumpCameraCapabilities(CameraRecord& camera);

}  // namespace kelvane::capture
