#include "host/camera_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace kelvane::host {

namespace {

// strerror's text without its shared buffer: hosts may open cameras from several threads.
std::string Reason(int error) { return std::generic_category().message(error); }

// The lock descriptors this copy of the library has open. The descriptor table
// is shared with a child forked without exec, and a child that kept one would
// keep the camera after its parent released it: the fork handler closes them
// all in the child. A slot holds a generation in its high half and the
// descriptor + 1 in its low half, 0 when free; the generation keeps a lock
// whose slot was cleared in a child from mistaking a later lock's slot for its
// own. Only atomics and close() are touched in the child.
constexpr int kSlots = 64;
static_assert(std::atomic<uint64_t>::is_always_lock_free);
std::atomic<uint64_t> g_slots[kSlots];
std::atomic<uint32_t> g_generation{0};

// Held from opening a lock file until its descriptor is in a slot, from taking
// it out of its slot until it is closed, and across fork: a child never gets a
// lock descriptor that is open but in no slot.
pthread_mutex_t g_forkGuard = PTHREAD_MUTEX_INITIALIZER;

class ForkGuard {
 public:
  ForkGuard() { pthread_mutex_lock(&g_forkGuard); }
  ~ForkGuard() { pthread_mutex_unlock(&g_forkGuard); }
  ForkGuard(const ForkGuard&) = delete;
  ForkGuard& operator=(const ForkGuard&) = delete;
};

int DescriptorOf(uint64_t token) { return static_cast<int>(token & 0xFFFFFFFFu) - 1; }

void BeforeFork() { pthread_mutex_lock(&g_forkGuard); }
void AfterForkInParent() { pthread_mutex_unlock(&g_forkGuard); }
void AfterForkInChild() {
  for (auto& slot : g_slots) {
    const uint64_t token = slot.exchange(0, std::memory_order_relaxed);
    if (token) ::close(DescriptorOf(token));  // the parent's descriptor keeps its lock
  }
  pthread_mutex_unlock(&g_forkGuard);
}

// 0, or the error of installing the fork handlers (once per copy of the library).
int ForkHandlersError() {
  static const int error = pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
  return error;
}

// Puts fd in a free slot; its token, or 0 when every slot is taken. Called
// under the fork guard.
uint64_t Register(int fd, int* slotIndex) {
  const uint64_t token =
      (uint64_t{g_generation.fetch_add(1, std::memory_order_relaxed)} << 32) | static_cast<uint32_t>(fd + 1);
  for (int i = 0; i < kSlots; ++i) {
    uint64_t expected = 0;
    if (g_slots[i].compare_exchange_strong(expected, token, std::memory_order_acq_rel)) {
      *slotIndex = i;
      return token;
    }
  }
  return 0;
}

// Creates the directory shared by every user's hosts, like /tmp: 01777 whatever
// the umask. An existing directory is used as it is. Empty, or why it failed.
std::string MakeSharedDirectory(const std::string& dir) {
  if (::mkdir(dir.c_str(), 01777) == 0) {
    if (::chmod(dir.c_str(), 01777) != 0) return dir + ": " + Reason(errno);
    return {};
  }
  if (errno != EEXIST) return dir + ": " + Reason(errno);
  return {};
}

// Opens the lock file at path, creating it usable by every user (0666 whatever
// the umask). An existing file is opened without O_CREAT: in a sticky world
// writable directory Linux (fs.protected_regular) refuses O_CREAT on a file
// another user owns even when its mode lets everyone write it. The holder's
// process id is written into the file, so it must be a plain file of its own,
// never a link to another. A descriptor, or -1 with *error set.
int OpenLockFile(const std::string& path, std::string* error) {
  constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
  int err = 0;
  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = ::open(path.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
      if (fd >= 0 && ::fchmod(fd, 0666) != 0) {
        err = errno;
        ::close(fd);
        break;
      }
    }
    if (fd >= 0) {
      struct stat st {};
      if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) return fd;
      ::close(fd);
      *error = path + ": not a plain lock file";
      return -1;
    }
    err = errno;
    if (err != EEXIST && err != ENOENT && err != EINTR) break;  // EEXIST: another host created it meanwhile
  }
  *error = path + ": " + Reason(err);
  return -1;
}

// Writes "<pid>\n" into the lock file just taken.
void WriteHolder(int fd) {
  char text[24];
  const int n = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(::getpid()));
  if (::ftruncate(fd, 0) != 0) return;
  [[maybe_unused]] const ssize_t written = ::pwrite(fd, text, static_cast<size_t>(n), 0);
}

// Empties the lock file before its holder lets go, so that no refused opener
// reads the id of a process that no longer holds the camera.
void WipeHolder(int fd) { [[maybe_unused]] const int rc = ::ftruncate(fd, 0); }

// The holder's process id as written into the lock file; 0 when it is not
// (yet) written or names a process that is gone (a killed holder leaves its id).
LockHolder ReadHolder(int fd) {
  char text[16];
  const ssize_t n = ::pread(fd, text, sizeof text, 0);
  long pid = 0;
  ssize_t i = 0;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) pid = pid * 10 + (text[i] - '0');
  if (i == 0 || i >= n || text[i] != '\n' || pid <= 0 || pid > 0x7FFFFFFF) return {};
  const int holder = static_cast<int>(pid);
  if (holder == ::getpid()) return {holder, true};
  if (::kill(holder, 0) != 0 && errno == ESRCH) return {};
  return {holder, false};
}

// A directory every user may create files in.
bool IsSharedDirectory(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & (S_IWOTH | S_IXOTH)) == (S_IWOTH | S_IXOTH) &&
         ::faccessat(AT_FDCWD, path, W_OK | X_OK, AT_EACCESS) == 0;
}

}  // namespace

std::string CameraLockName(int index) { return "MARLUNE : KELVANE MUX.0." + std::to_string(index); }

std::string PickCameraLockDirectory(const char* overrideDir, std::span<const LockDirectoryCandidate> candidates,
                                    const char* fallback) {
  if (overrideDir && *overrideDir) return overrideDir;
  for (const LockDirectoryCandidate& c : candidates)
    if (IsSharedDirectory(c.Directory) || IsSharedDirectory(c.Parent)) return c.Directory;
  return fallback;
}

std::string CameraLockDirectory() {
  return PickCameraLockDirectory(std::getenv("KELVANE_LOCK_DIR"), kSystemLockDirectories, kFallbackLockDirectory);
}

CameraLock::Result CameraLock::TryAcquire(int index, std::string* error, LockHolder* holder) {
  Release();
  if (holder) *holder = LockHolder{};
  std::string why;
  if (int err = ForkHandlersError()) {
    if (error) *error = "fork handler: " + Reason(err);
    return Result::Error;
  }
  const std::string dir = CameraLockDirectory();
  why = MakeSharedDirectory(dir);
  if (!why.empty()) {
    if (error) *error = why;
    return Result::Error;
  }
  const std::string path = dir + "/" + CameraLockName(index);
  int fd;
  {
    ForkGuard guard;
    fd = OpenLockFile(path, &why);
    if (fd >= 0) {
      token_ = Register(fd, &slot_);
      if (!token_) {
        ::close(fd);
        fd = -1;
        why = path + ": too many camera locks held in this process";
      }
    }
  }
  if (fd < 0) {
    slot_ = -1;
    if (error) *error = why;
    return Result::Error;
  }
  // Each open is its own file description, so a second copy of the library in
  // this process conflicts with the first just as another process does.
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK && holder) *holder = ReadHolder(fd);
    Close(false);
    if (err == EWOULDBLOCK) return Result::HeldElsewhere;
    if (error) *error = path + ": " + Reason(err);
    return Result::Error;
  }
  WriteHolder(fd);
  return Result::Taken;
}

bool CameraLock::Held() const { return slot_ >= 0 && g_slots[slot_].load(std::memory_order_acquire) == token_; }

bool CameraLock::Release() { return Close(true); }

// Closes the lock descriptor unless a fork closed it already (in a child, its
// number may belong to another file by now). `held`: the flock is ours.
bool CameraLock::Close(bool held) {
  if (!Held()) {
    slot_ = -1;
    return false;
  }
  const int fd = DescriptorOf(token_);
  if (held) WipeHolder(fd);
  ForkGuard guard;
  uint64_t expected = token_;
  const bool mine = g_slots[slot_].compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
  slot_ = -1;
  return mine && ::close(fd) == 0;  // closing the last descriptor drops the flock
}

}  // namespace kelvane::host
