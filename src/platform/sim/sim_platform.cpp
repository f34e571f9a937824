// Placeholder until the simulated bus lands: a platform that creates nothing.
#include "platform/factory.h"

namespace kelvane::platform {
namespace {
class EmptyPlatform final : public Platform {
 public:
  HRESULT CreateInstance(REFCLSID, REFIID, void** object) override {
    if (object) *object = nullptr;
    return REGDB_E_CLASSNOTREG;
  }
};
}  // namespace
Platform& DefaultPlatform() {
  static EmptyPlatform p;
  return p;
}
}  // namespace kelvane::platform
