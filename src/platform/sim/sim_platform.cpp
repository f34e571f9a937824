// The simulated bus as the capture framework's device backend.
#include "platform/factory.h"
#include "platform/sim/internal.h"

namespace kelvane::sim {
namespace {

class SimulatedBackend final : public framework::DeviceBackend {
 public:
  std::vector<framework::DeviceEntry> Devices() override {
    auto bus = CurrentBus();
    // A rejected description is repeated here: its first report may have
    // come before anyone listened.
    if (std::string error = LastBusError(); !error.empty()) platform::PlatformMessage((error + "\r\n").c_str());
    std::vector<framework::DeviceEntry> entries;
    for (const auto& d : bus->cameras) {
      entries.push_back(
          framework::DeviceEntry{d->Name(),
                                 [d] {
                                   MutexLock lock(d->Mutex());
                                   return d->present ? platform::S_OK : kDeviceGone;
                                 },
                                 [d](REFIID riid, void** out) { return CreateCameraFilter(d, riid, out); }});
    }
    return entries;
  }
  std::vector<FilterDesc> Decompressors() override { return CurrentBus()->filters; }
  std::string DriverVersion() override { return CurrentBus()->driverVersion; }
};

}  // namespace

framework::DeviceBackend& Backend() {
  static SimulatedBackend* backend = new SimulatedBackend;  // never destroyed: graphs may outlive statics
  return *backend;
}

}  // namespace kelvane::sim
