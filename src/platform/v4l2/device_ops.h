// Every system call the V4L2 backend makes on a video device goes through
// DeviceOps, so that the backend can run on a device layer of the tests' own
// (a fake driver) as well as on the kernel's. The operations have the system
// calls' meaning exactly: the same arguments, the same results, and errno set
// on failure.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kelvane::v4l2 {

class DeviceOps {
 public:
  virtual ~DeviceOps() = default;

  // The device nodes that may be video devices ("/dev/video0", ...), in the
  // order of their numbers (video2 before video10).
  virtual std::vector<std::string> ListNodes() = 0;

  // open(2): a file descriptor, or -1 with errno set.
  virtual int Open(const char* path, int flags) = 0;
  // close(2): 0, or -1 with errno set.
  virtual int Close(int fd) = 0;
  // ioctl(2) with a VIDIOC_* request and its argument structure: 0 (or the
  // request's non-negative result), or -1 with errno set.
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  // mmap(2) of a buffer the driver offers (offset from VIDIOC_QUERYBUF):
  // the address, or MAP_FAILED with errno set.
  virtual void* Mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) = 0;
  // munmap(2): 0, or -1 with errno set.
  virtual int Munmap(void* address, size_t length) = 0;
  // poll(2) on device descriptors: the number of ready ones, 0 on timeout,
  // or -1 with errno set.
  virtual int Poll(struct pollfd* fds, nfds_t count, int timeoutMs) = 0;
};

// The kernel's device layer: the real system calls on /dev/video*.
DeviceOps& SystemDeviceOps();

// The device layer the backend uses now (the kernel's unless replaced).
DeviceOps& CurrentDeviceOps();
// Replaces the device layer (a fake driver in tests); null restores the
// kernel's. Returns the previous one. Call it before the backend lists its
// devices, and keep the object alive while any device of it is open.
DeviceOps* SetDeviceOps(DeviceOps* ops);

}  // namespace kelvane::v4l2
