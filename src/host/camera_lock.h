// The cross-process lock that keeps a camera to one process (and to one loaded
// copy of the library). It is an exclusive flock on a file named after the
// camera index: the operating system drops it when its holder dies, so a killed
// host never leaves a camera unusable, and taking it is one step (no window
// between testing and creating).
#pragma once

#include <string>

namespace kelvane::host {

// "MARLUNE : KELVANE MUX.0.<index>"
std::string CameraLockName(int index);

// Where the lock files live: $KELVANE_LOCK_DIR, else /tmp/kelvane-locks.
std::string CameraLockDirectory();

class CameraLock {
 public:
  enum class Result { Taken, HeldElsewhere, Error };

  CameraLock() = default;
  CameraLock(const CameraLock&) = delete;
  CameraLock& operator=(const CameraLock&) = delete;
  ~CameraLock() { Release(); }

  // Takes the lock of camera `index`. On Error, *error says why.
  Result TryAcquire(int index, std::string* error);
  bool Held() const { return fd_ >= 0; }
  // Gives the lock back; true when it was held and closing succeeded.
  bool Release();

 private:
  int fd_ = -1;
};

}  // namespace kelvane::host
