// The simulated platform behind the seam's factory.
#include "platform/factory.h"
#include "platform/sim/internal.h"

namespace kelvane::platform {
namespace {

struct ClassEntry {
  const CLSID* clsid;
  const char* name;  // the scope of a fault on "CoCreateInstance"
  HRESULT (*create)(REFIID, void**);
};

const ClassEntry kClasses[] = {
    {&CLSID_SystemDeviceEnum, "SystemDeviceEnum", sim::CreateDeviceEnumerator},
    {&CLSID_FilterGraph, "FilterGraph", sim::CreateFilterGraph},
    {&CLSID_CaptureGraphBuilder2, "CaptureGraphBuilder2", sim::CreateCaptureGraphBuilder},
    {&CLSID_SampleGrabber, "SampleGrabber", sim::CreateSampleGrabber},
    {&CLSID_NullRenderer, "NullRenderer", sim::CreateNullRenderer},
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
