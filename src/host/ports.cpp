// Binding ports to cameras, sharing a camera between ports, and the camera lock.
#include <string>

#include "diagnostics/diagnostics.h"
#include "host/library.h"
#include "host/state.h"

namespace kelvane::host {

void ReadSettingsOf(CameraRecord& camera);

namespace {

void BindPort(int32_t port, int index, CameraRecord& camera, int32_t* size, int32_t width, int32_t height) {
  State().PortTable[port] = PortEntry{index, &camera};
  if (size) {
    size[0] = width;
    size[1] = height < 0 ? -height : height;
  }
}

// The first open of a camera in this process. The lock is already ours; on
// failure everything taken here is released again by the caller.
bool OpenCamera(CameraRecord& camera, int32_t* width, int32_t* height) {
  ReadSettingsOf(camera);
  (void)width;
  (void)height;
  DebugPrint("%s: capture graph not available in this build\r\n", camera.ConfigName);
  return false;
}

}  // namespace

int32_t OpenPort(int32_t grabber, int32_t port, const char* cameraName, int32_t* size) {
  HostState& s = State();
  if (grabber != 0 || static_cast<uint32_t>(port) >= kMaxPorts || s.PortTable[port].Camera) return 0;
  int index = FindCamera(cameraName);
  if (index < 0) return 0;
  CameraRecord& camera = s.CameraTable[index];
  CameraLock& lock = s.CameraMutex[index];

  if (lock.Held()) {  // open in this library already: the port shares it
    BindPort(port, index, camera, size, camera.Width, camera.Height);
    ++camera.PortCount;
    return 1;
  }
  std::string error;
  switch (lock.TryAcquire(index, &error)) {
    case CameraLock::Result::Taken:
      break;
    case CameraLock::Result::HeldElsewhere:
      return 0;  // open in another process or another copy of the library
    case CameraLock::Result::Error:
      DebugPrint("Unable to lock camera %s: %s\r\n", cameraName, error.c_str());
      return 0;
  }
  DebugPrint("OPEN %s\r\n", cameraName);
  int32_t width = 0, height = 0;
  if (!OpenCamera(camera, &width, &height)) {
    lock.Release();
    return 0;
  }
  camera.Width = width;
  camera.Height = height;
  BindPort(port, index, camera, size, width, height);
  camera.PortCount = 1;
  return 1;
}

bool ClosePort(int32_t grabber, int32_t port) {
  if (!CheckPort(grabber, port)) return false;
  HostState& s = State();
  PortEntry& entry = s.PortTable[port];
  CameraRecord& camera = *entry.Camera;
  DebugPrint("CLOSE %s\r\n", camera.ConfigName);
  const int index = entry.CameraIndex;
  entry = PortEntry{-1, nullptr};
  if (--camera.PortCount > 0) return true;
  camera.PortCount = 0;
  return s.CameraMutex[index].Release();
}

}  // namespace kelvane::host
