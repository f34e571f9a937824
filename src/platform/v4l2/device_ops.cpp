// The kernel's device layer, and the switch that lets tests put a fake driver
// in its place.
#include "platform/v4l2/device_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kelvane::v4l2 {

namespace {

class SystemOps final : public DeviceOps {
 public:
  std::vector<std::string> ListNodes() override {
    std::vector<std::pair<long, std::string>> found;
    DIR* dir = ::opendir("/dev");
    if (!dir) return {};
    while (dirent* entry = ::readdir(dir)) {
      const char* name = entry->d_name;
      if (std::strncmp(name, "video", 5) != 0 || name[5] < '0' || name[5] > '9') continue;
      char* end = nullptr;
      const long number = std::strtol(name + 5, &end, 10);
      if (*end != '\0') continue;
      found.emplace_back(number, std::string("/dev/") + name);
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end());
    std::vector<std::string> nodes;
    nodes.reserve(found.size());
    for (auto& f : found) nodes.push_back(std::move(f.second));
    return nodes;
  }
  int Open(const char* path, int flags) override { return ::open(path, flags | O_CLOEXEC); }
  int Close(int fd) override { return ::close(fd); }
  int Ioctl(int fd, unsigned long request, void* arg) override { return ::ioctl(fd, request, arg); }
  void* Mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) override {
    return ::mmap(address, length, protection, flags, fd, offset);
  }
  int Munmap(void* address, size_t length) override { return ::munmap(address, length); }
  int Poll(struct pollfd* fds, nfds_t count, int timeoutMs) override { return ::poll(fds, count, timeoutMs); }
};

std::atomic<DeviceOps*> g_ops{nullptr};

}  // namespace

DeviceOps& SystemDeviceOps() {
  static SystemOps* ops = new SystemOps;  // never destroyed: devices may be closed during exit
  return *ops;
}

DeviceOps& CurrentDeviceOps() {
  DeviceOps* ops = g_ops.load(std::memory_order_acquire);
  return ops ? *ops : SystemDeviceOps();
}

DeviceOps* SetDeviceOps(DeviceOps* ops) { return g_ops.exchange(ops, std::memory_order_acq_rel); }

}  // namespace kelvane::v4l2
