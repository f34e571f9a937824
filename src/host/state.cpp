#include "host/state.h"

#include <cstring>

namespace kelvane::host {

HostState& State() {
  // Never destroyed: hosts call in from their own atexit handlers and threads.
  static HostState* state = new HostState();
  return *state;
}

bool CheckPort(int32_t grabber, int32_t port) {
  return grabber == 0 && static_cast<uint32_t>(port) < kMaxPorts && State().PortTable[port].Camera != nullptr;
}

int FindCamera(const char* name) {
  if (!name) return -1;
  HostState& s = State();
  for (uint32_t i = 0; i < s.CameraCount; ++i)
    if (std::strcmp(s.CameraTable[i].ConfigName, name) == 0) return static_cast<int>(i);
  return -1;
}

}  // namespace kelvane::host
