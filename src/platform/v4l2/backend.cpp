// The V4L2 devices as the framework's device backend. A node keeps one Device
// for the life of the process, so every filter bound from it shares its state.
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

#include "platform/factory.h"
#include "platform/v4l2/v4l2.h"

namespace kelvane::v4l2 {

namespace {

class V4l2Backend final : public framework::DeviceBackend {
 public:
  std::vector<framework::DeviceEntry> Devices() override {
    DeviceOps& ops = CurrentDeviceOps();
    std::vector<framework::DeviceEntry> entries;
    for (const std::string& node : ops.ListNodes()) {
      Identity id;
      if (!ProbeNode(ops, node, &id)) {
        // Not a capture node that streams, or not openable now. A node the user
        // may not open is said once: otherwise the camera would just be missing.
        if (errno == EACCES || errno == EPERM) SayOnce(node, std::generic_category().message(errno));
        continue;
      }
      std::shared_ptr<Device> device = Find(ops, id);
      entries.push_back(
          framework::DeviceEntry{id.card, [device] { return device->Health(); },
                                 [device](REFIID riid, void** out) { return CreateCameraFilter(device, riid, out); }});
    }
    return entries;
  }
  std::vector<framework::DecompressorDesc> Decompressors() override {
    return {framework::DecompressorDesc{"AVI Decompressor", framework::FilterKind::Codecs,
                                        framework::RawModeSupport::None}};
  }

 private:
  // The device of this card on this bus, as made the first time it was seen.
  std::shared_ptr<Device> Find(DeviceOps& ops, const Identity& id) {
    std::lock_guard lock(mutex_);
    const std::string key = id.card + '\n' + id.busInfo + '\n' + id.path;
    Known& known = devices_[key];
    if (!known.device || known.ops != &ops) known = Known{&ops, std::make_shared<Device>(ops, id)};
    return known.device;
  }

  void SayOnce(const std::string& node, const std::string& reason) {
    {
      std::lock_guard lock(mutex_);
      if (!said_.insert(node).second) return;
    }
    platform::PlatformMessage(
        ("V4L2: " + node + " cannot be opened: " + reason + " (video devices belong to the video group)\r\n").c_str());
  }

  std::set<std::string> said_;
  struct Known {
    DeviceOps* ops = nullptr;  // a device of another device layer (a test's fake) is not reused
    std::shared_ptr<Device> device;
  };
  std::mutex mutex_;
  std::map<std::string, Known> devices_;
};

}  // namespace

framework::DeviceBackend& Backend() {
  static V4l2Backend* backend = new V4l2Backend;  // never destroyed: graphs may outlive statics
  return *backend;
}

size_t CountCameras() {
  DeviceOps& ops = CurrentDeviceOps();
  size_t n = 0;
  for (const std::string& node : ops.ListNodes()) {
    Identity id;
    if (ProbeNode(ops, node, &id)) ++n;
  }
  return n;
}

}  // namespace kelvane::v4l2
