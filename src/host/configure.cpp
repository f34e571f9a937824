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
  DebugPrint("configure: no configuration dialog in this build; %u camera(s)\r\n", s.CameraCount);
  for (uint32_t i = 0; i < s.CameraCount; ++i)
    DebugPrint("%u: %s%s\r\n", i, s.CameraTable[i].ConfigName, s.CameraTable[i].PortCount > 0 ? " (open)" : "");
  return 0;
}

int32_t ConfigureCamera(const char* cameraName) {
  const int index = FindCamera(cameraName);
  if (index < 0) return 1;
  capture::DumpCameraCapabilities(State().CameraTable[index]);
  return 0;
}

}  // namespace kelvane::host
