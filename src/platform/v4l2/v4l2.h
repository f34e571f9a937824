// The V4L2 backend: the video capture devices of a Linux machine (USB video
// class cameras and any other V4L2 capture node that streams) as devices of
// the capture framework.
#pragma once

#include <memory>

#include "platform/framework/framework.h"
#include "platform/v4l2/device.h"

namespace kelvane::v4l2 {

using platform::REFIID;

// The backend the framework's enumerator and graphs use for V4L2 devices.
framework::DeviceBackend& Backend();

// How many capture nodes that stream the device layer shows now.
size_t CountCameras();

HRESULT CreateCameraFilter(std::shared_ptr<Device> device, REFIID riid, void** out);

}  // namespace kelvane::v4l2
