#include "host/state.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "diagnostics/diagnostics.h"

namespace kelvane::host {

HostState& State() {
  // Never destroyed: hosts call in from their own atexit handlers and threads.
  static HostState* state = new HostState();
  return *state;
}

namespace {
CameraRecord* BoundCamera(int32_t grabber, int32_t port, int* index) {
  if (grabber != 0 || static_cast<uint32_t>(port) >= kMaxPorts) return nullptr;
  HostState& s = State();
  MutexLock lock(s.TableMutex);
  const PortEntry& entry = s.PortTable[static_cast<size_t>(port)];
  if (index) *index = entry.CameraIndex;
  return entry.Camera;
}
}  // namespace

bool CheckPort(int32_t grabber, int32_t port) { return BoundCamera(grabber, port, nullptr) != nullptr; }

void Refuse(const char* function, int32_t grabber, int32_t port, const char* format, ...) {
  char reason[400];
  va_list args;
  va_start(args, format);
  std::vsnprintf(reason, sizeof reason, format, args);
  va_end(args);
  DebugPrint("%s[%d,%d]: %s\r\n", function, grabber, port, reason);
}

PortCall::PortCall(const char* function, int32_t grabber, int32_t port) {
  if (grabber != 0) {
    Refuse(function, grabber, port, "there is no grabber %d, only grabber 0", grabber);
    return;
  }
  if (static_cast<uint32_t>(port) >= kMaxPorts) {
    Refuse(function, grabber, port, "port %d is not one of 0..%d", port, kMaxPorts - 1);
    return;
  }
  int index = -1;
  CameraRecord* camera = BoundCamera(grabber, port, &index);
  if (camera) {
    camera->Gate.Enter();
    // The port may have been closed (or bound anew) while this call waited for the camera.
    if (BoundCamera(grabber, port, nullptr) != camera) {
      camera->Gate.Leave();
      camera = nullptr;
    }
  }
  if (!camera) {
    Refuse(function, grabber, port, "port %d is not bound to a camera (openCVLPort binds it)", port);
    return;
  }
  camera_ = camera;
  index_ = index;
  AdoptPendingSettings(*camera);
}

PortCall::~PortCall() { Leave(); }

void PortCall::Leave() {
  if (camera_) camera_->Gate.Leave();
  camera_ = nullptr;
}

void AdoptPendingSettings(CameraRecord& camera) {
  MutexLock lock(camera.PendingMutex);
  if (!camera.PendingSettings) return;
  camera.Settings = *camera.PendingSettings;
  camera.PendingSettings.reset();
}

int FindCamera(const char* name) {
  if (!name) return -1;
  HostState& s = State();
  const uint32_t count = s.CameraCount.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < count; ++i)
    if (std::strcmp(s.CameraTable[i].ConfigName, name) == 0) return static_cast<int>(i);
  return -1;
}

}  // namespace kelvane::host
