// The IIDC backend: IEEE 1394 and USB IIDC cameras through libdc1394, as
// devices of the capture framework that present themselves as the IEEE 1394
// camera driver's cameras do.
#pragma once

#include <memory>

#include "platform/framework/framework.h"
#include "platform/iidc/device.h"

namespace kelvane::iidc {

using platform::REFIID;

// The backend the framework's enumerator and graphs use for IIDC cameras.
framework::DeviceBackend& Backend();

// How many IIDC cameras libdc1394 lists now.
size_t CountCameras();

HRESULT CreateCameraFilter(std::shared_ptr<Device> device, REFIID riid, void** out);

}  // namespace kelvane::iidc
