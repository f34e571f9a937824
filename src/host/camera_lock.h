// The cross-process lock that keeps a camera to one process (and to one loaded
// copy of the library). It is an exclusive flock on a file named after the
// camera index: the operating system drops it when its holder dies, so a killed
// host never leaves a camera unusable, and taking it is one step (no window
// between testing and creating). Its holder writes its process id into the
// file, so that a refused opener can say who has the camera. A child forked
// without exec never holds its parent's camera locks.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kelvane::host {

// "MARLUNE : KELVANE MUX.0.<index>"
std::string CameraLockName(int index);

// A machine-wide place for the lock files: `Directory`, when it or its
// `Parent` is a directory every user may create files in.
struct LockDirectoryCandidate {
  const char* Parent;
  const char* Directory;
};

// /run/lock/kelvane, else /var/lock/kelvane: seen by every host of the machine,
// also by services with a private /tmp.
inline constexpr LockDirectoryCandidate kSystemLockDirectories[] = {{"/run/lock", "/run/lock/kelvane"},
                                                                    {"/var/lock", "/var/lock/kelvane"}};
inline constexpr char kFallbackLockDirectory[] = "/tmp/kelvane-locks";

// `overrideDir` when set and not empty, else the first usable candidate, else
// `fallback`. A candidate counts only when it is shared by every user (world
// writable), so that every user's hosts make the same choice.
std::string PickCameraLockDirectory(const char* overrideDir, std::span<const LockDirectoryCandidate> candidates,
                                    const char* fallback);

// Where the lock files live: $KELVANE_LOCK_DIR, else the first usable system
// directory, else /tmp/kelvane-locks.
std::string CameraLockDirectory();

// Who holds a camera lock that could not be taken.
struct LockHolder {
  int Pid = 0;               // its process id; 0 when unknown (not written yet, or its writer is gone)
  bool ThisProcess = false;  // another loaded copy of the library in this process
};

class CameraLock {
 public:
  enum class Result { Taken, HeldElsewhere, Error };

  CameraLock() = default;
  CameraLock(const CameraLock&) = delete;
  CameraLock& operator=(const CameraLock&) = delete;
  ~CameraLock() { Release(); }

  // Takes the lock of camera `index`. On Error, *error says why; on
  // HeldElsewhere, *holder says who has it.
  Result TryAcquire(int index, std::string* error, LockHolder* holder = nullptr);
  // False also in a forked child for a lock its parent holds.
  bool Held() const;
  // Gives the lock back; true when it was held and closing succeeded.
  bool Release();

 private:
  bool Close(bool held);

  int slot_ = -1;       // in the table of lock descriptors the fork handler closes
  uint64_t token_ = 0;  // what that slot holds while this lock owns it
};

}  // namespace kelvane::host
