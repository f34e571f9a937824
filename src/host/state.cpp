#include "host/state.h"

#include <cstring>

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
  std::lock_guard lock(s.TableMutex);
  const PortEntry& entry = s.PortTable[static_cast<size_t>(port)];
  if (index) *index = entry.CameraIndex;
  return entry.Camera;
}
}  // namespace

bool CheckPort(int32_t grabber, int32_t port) { return BoundCamera(grabber, port, nullptr) != nullptr; }

PortCall::PortCall(int32_t grabber, int32_t port) {
  int index = -1;
  CameraRecord* camera = BoundCamera(grabber, port, &index);
  if (!camera) return;
  camera->Gate.Enter();
  // The port may have been closed (or bound anew) while this call waited for the camera.
  if (BoundCamera(grabber, port, nullptr) != camera) {
    camera->Gate.Leave();
    return;
  }
  camera_ = camera;
  index_ = index;
  AdoptPendingSettings(*camera);
}

PortCall::~PortCall() {
  if (camera_) camera_->Gate.Leave();
}

void AdoptPendingSettings(CameraRecord& camera) {
  std::lock_guard lock(camera.PendingMutex);
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
