#include "host/camera_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace kelvane::host {

namespace {
// strerror's text without its shared buffer: hosts may open cameras from several threads.
std::string Reason(int error) { return std::generic_category().message(error); }
}  // namespace

std::string CameraLockName(int index) { return "MARLUNE : KELVANE MUX.0." + std::to_string(index); }

std::string CameraLockDirectory() {
  const char* dir = std::getenv("KELVANE_LOCK_DIR");
  return dir && *dir ? std::string(dir) : std::string("/tmp/kelvane-locks");
}

CameraLock::Result CameraLock::TryAcquire(int index, std::string* error) {
  Release();
  const std::string dir = CameraLockDirectory();
  if (::mkdir(dir.c_str(), 0777) == 0) {
    ::chmod(dir.c_str(), 01777);  // shared by every user's hosts, like /tmp itself
  } else if (errno != EEXIST) {
    if (error) *error = dir + ": " + Reason(errno);
    return Result::Error;
  }
  const std::string path = dir + "/" + CameraLockName(index);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (error) *error = path + ": " + Reason(errno);
    return Result::Error;
  }
  // Each open is its own file description, so a second copy of the library in
  // this process conflicts with the first just as another process does.
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return Result::HeldElsewhere;
    if (error) *error = path + ": " + Reason(err);
    return Result::Error;
  }
  fd_ = fd;
  return Result::Taken;
}

bool CameraLock::Release() {
  if (fd_ < 0) return false;
  int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0;  // closing the last descriptor drops the flock
}

}  // namespace kelvane::host
