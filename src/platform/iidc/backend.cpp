// The IIDC cameras as the framework's device backend. A camera keeps one
// Device for the life of the process, so every filter bound from it shares
// its state; the libdc1394 context stays open while any camera of it is known.
#include <map>
#include <mutex>
#include <tuple>

#include "platform/factory.h"
#include "platform/iidc/iidc.h"

namespace kelvane::iidc {

namespace {

struct CameraId {
  uint64_t guid;
  int unit;
};

class IidcBackend final : public framework::DeviceBackend {
 public:
  std::vector<framework::DeviceEntry> Devices() override {
    Dc1394Ops& ops = CurrentOps();
    std::lock_guard lock(mutex_);
    std::vector<framework::DeviceEntry> entries;
    dc1394_t* context = ContextFor(ops);
    if (!context) return entries;
    for (const CameraId& id : List(ops, context)) {
      Known& known = devices_[std::make_tuple(&ops, id.guid, id.unit)];
      if (!known.device) {
        dc1394camera_t* camera = ops.CameraNewUnit(context, id.guid, id.unit);
        if (!camera) continue;  // left between the listing and now
        known.device = std::make_shared<Device>(ops, context, camera);
      }
      std::shared_ptr<Device> device = known.device;
      entries.push_back(
          framework::DeviceEntry{device->Name(), [device] { return device->Health(); },
                                 [device](REFIID riid, void** out) { return CreateCameraFilter(device, riid, out); }});
    }
    ReleaseIfIdle(ops);
    return entries;
  }
  std::vector<framework::DecompressorDesc> Decompressors() override {
    return {framework::DecompressorDesc{"AVI Decompressor", framework::FilterKind::Codecs,
                                        framework::RawModeSupport::None}};
  }

  size_t Count() {
    Dc1394Ops& ops = CurrentOps();
    std::lock_guard lock(mutex_);
    dc1394_t* context = ContextFor(ops);
    const size_t n = context ? List(ops, context).size() : 0;
    ReleaseIfIdle(ops);
    return n;
  }

 private:
  // The context of this table, made on first use. Null (said once) when
  // libdc1394 finds no way to the cameras on this machine.
  dc1394_t* ContextFor(Dc1394Ops& ops) {
    dc1394_t*& context = contexts_[&ops];
    if (!context) {
      context = ops.New();
      if (!context && !saidNoContext_) {
        saidNoContext_ = true;
        platform::PlatformMessage(
            "IIDC: libdc1394 finds no IEEE 1394 or USB camera access on this machine (see docs/cameras.md)\r\n");
      }
    }
    return context;
  }

  // A context no camera uses is given back: it may hold the USB library's threads.
  void ReleaseIfIdle(Dc1394Ops& ops) {
    auto it = contexts_.find(&ops);
    if (it == contexts_.end() || !it->second) return;
    for (const auto& [key, known] : devices_)
      if (std::get<0>(key) == &ops && known.device) return;
    ops.Free(it->second);
    contexts_.erase(it);
  }

  static std::vector<CameraId> List(Dc1394Ops& ops, dc1394_t* context) {
    std::vector<CameraId> ids;
    dc1394camera_list_t* list = nullptr;
    if (ops.CameraEnumerate(context, &list) != DC1394_SUCCESS || !list) return ids;
    for (uint32_t i = 0; i < list->num; ++i) ids.push_back({list->ids[i].guid, list->ids[i].unit});
    ops.CameraFreeList(list);
    return ids;
  }

  struct Known {
    std::shared_ptr<Device> device;
  };
  std::mutex mutex_;
  std::map<Dc1394Ops*, dc1394_t*> contexts_;
  // A camera of another table (a test's fake) is not reused.
  std::map<std::tuple<Dc1394Ops*, uint64_t, int>, Known> devices_;
  bool saidNoContext_ = false;
};

IidcBackend& TheBackend() {
  static IidcBackend* backend = new IidcBackend;  // never destroyed: graphs may outlive statics
  return *backend;
}

}  // namespace

framework::DeviceBackend& Backend() { return TheBackend(); }

size_t CountCameras() { return TheBackend().Count(); }

}  // namespace kelvane::iidc
