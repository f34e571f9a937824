// The configuration exports. This build has no dialog framework: configure
// lists the cameras through the message sink, and configureCamera prints the
// camera's capability report there instead of showing its property sheet.
#include "capture/property_store.h"
#include "diagnostics/diagnostics.h"
#include "host/library.h"
#include "host/state.h"

namespace kelvane::host {

int32_t Configure() {
  HostState& s = State();
  const uint32_t count = s.CameraCount.load(std::memory_order_acquire);
  DebugPrint("configure: no configuration dialog in this build; %u camera(s)\r\n", count);
  for (uint32_t i = 0; i < count; ++i) {
    bool open;
    {
      std::lock_guard lock(s.TableMutex);
      open = s.CameraTable[i].PortCount > 0;
    }
    DebugPrint("%u: %s%s\r\n", i, s.CameraTable[i].ConfigName, open ? " (open)" : "");
  }
  return 0;
}

int32_t ConfigureCamera(const char* cameraName) {
  const int index = FindCamera(cameraName);
  if (index < 0) {
    DebugPrint("configureCamera: no camera is named \"%s\"\r\n", cameraName ? cameraName : "(null)");
    return 1;
  }
  CameraRecord& camera = State().CameraTable[static_cast<size_t>(index)];
  frames::GateHold hold(camera.Gate);
  AdoptPendingSettings(camera);
  capture::DumpCameraCapabilities(camera);
  return 0;
}

}  // namespace kelvane::host
