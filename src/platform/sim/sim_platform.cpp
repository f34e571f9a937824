// The simulated platform behind the seam's factory: the capture framework's
// objects, with the simulated bus as their device backend.
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
                                   std::lock_guard lock(d->Mutex());
                                   return d->present ? platform::S_OK : kDeviceGone;
                                 },
                                 [d](REFIID riid, void** out) { return CreateCameraFilter(d, riid, out); }});
    }
    return entries;
  }
  std::vector<FilterDesc> Decompressors() override { return CurrentBus()->filters; }
};

}  // namespace

framework::DeviceBackend& Backend() {
  static SimulatedBackend* backend = new SimulatedBackend;  // never destroyed: graphs may outlive statics
  return *backend;
}

}  // namespace kelvane::sim

namespace kelvane::platform {
namespace {

struct ClassEntry {
  const CLSID* clsid;
  const char* name;  // the scope of a fault on "CoCreateInstance"
  HRESULT (*create)(REFIID, void**);
};

const ClassEntry kClasses[] = {
    {&CLSID_SystemDeviceEnum, "SystemDeviceEnum",
     [](REFIID riid, void** out) { return framework::CreateDeviceEnumerator(sim::Backend(), riid, out); }},
    {&CLSID_FilterGraph, "FilterGraph",
     [](REFIID riid, void** out) { return framework::CreateFilterGraph(sim::Backend(), riid, out); }},
    {&CLSID_CaptureGraphBuilder2, "CaptureGraphBuilder2", framework::CreateCaptureGraphBuilder},
    {&CLSID_SampleGrabber, "SampleGrabber", framework::CreateSampleGrabber},
    {&CLSID_NullRenderer, "NullRenderer", framework::CreateNullRenderer},
};

class SimulatedPlatform final : public Platform {
 public:
  HRESULT CreateInstance(REFCLSID clsid, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    for (const auto& c : kClasses) {
      if (!(*c.clsid == clsid)) continue;
      KELVANE_SIM_FAULT("CoCreateInstance", c.name);
      return c.create(riid, object);
    }
    return REGDB_E_CLASSNOTREG;
  }
};

}  // namespace

Platform& DefaultPlatform() {
  static SimulatedPlatform* platform = new SimulatedPlatform;  // never destroyed: objects may outlive statics
  return *platform;
}

}  // namespace kelvane::platform
