// The framework behind the seam's factory: object creation by class
// identifier, with one device backend supplying the devices.
#include <map>
#include <memory>
#include <mutex>

#include "platform/framework/fault.h"
#include "platform/framework/framework.h"

namespace kelvane::framework {

using namespace platform;

namespace {

class FrameworkPlatform final : public Platform {
 public:
  explicit FrameworkPlatform(DeviceBackend& backend) : backend_(backend) {}

  HRESULT CreateInstance(REFCLSID clsid, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    struct ClassEntry {
      const CLSID* clsid;
      const char* name;  // the scope of a fault on "CoCreateInstance"
    };
    static const ClassEntry kClasses[] = {
        {&CLSID_SystemDeviceEnum, "SystemDeviceEnum"},
        {&CLSID_FilterGraph, "FilterGraph"},
        {&CLSID_CaptureGraphBuilder2, "CaptureGraphBuilder2"},
        {&CLSID_SampleGrabber, "SampleGrabber"},
        {&CLSID_NullRenderer, "NullRenderer"},
    };
    for (const auto& c : kClasses) {
      if (!(*c.clsid == clsid)) continue;
      KELVANE_FAULT("CoCreateInstance", c.name);
      if (c.clsid == &CLSID_SystemDeviceEnum) return CreateDeviceEnumerator(backend_, riid, object);
      if (c.clsid == &CLSID_FilterGraph) return CreateFilterGraph(backend_, riid, object);
      if (c.clsid == &CLSID_CaptureGraphBuilder2) return CreateCaptureGraphBuilder(riid, object);
      if (c.clsid == &CLSID_SampleGrabber) return CreateSampleGrabber(riid, object);
      return CreateNullRenderer(riid, object);
    }
    return REGDB_E_CLASSNOTREG;
  }
  std::string DriverFileVersion() override { return backend_.DriverVersion(); }

 private:
  DeviceBackend& backend_;
};

}  // namespace

Platform& PlatformFor(DeviceBackend& backend) {
  static std::mutex mutex;
  // Never destroyed: objects may outlive statics.
  static auto* platforms = new std::map<DeviceBackend*, std::unique_ptr<FrameworkPlatform>>;
  std::lock_guard lock(mutex);
  auto& p = (*platforms)[&backend];
  if (!p) p = std::make_unique<FrameworkPlatform>(backend);
  return *p;
}

}  // namespace kelvane::framework
