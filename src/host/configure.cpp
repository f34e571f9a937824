// The configuration dialog and property sheet are not part of this build: the
// exports keep their documented results and say so through the message sink.
#include "diagnostics/diagnostics.h"
#include "host/library.h"
#include "host/state.h"

namespace kelvane::host {

int32_t Configure() {
  DebugPrint("configure: no configuration interface in this build\r\n");
  return 0;
}
int32_t ConfigureCamera(const char* cameraName) {
  if (FindCamera(cameraName) < 0) return 1;
  DebugPrint("configureCamera: no configuration interface in this build\r\n");
  return 0;
}

}  // namespace kelvane::host
