// Fault injection inside the framework's own objects. The framework names each
// faultable operation ("IMediaControl::Run", scoped by the cameras in the
// graph) and asks the hook a device backend installed; the simulated bus
// answers from its fault list. Without a hook every operation goes ahead.
#pragma once

#include <optional>
#include <string_view>

#include "platform/com.h"

namespace kelvane::framework {

// Returns the injected result for `operation` in `scope` (a camera's or
// filter's friendly name), or nullopt; may throw platform::PlatformError.
using FaultHook = std::optional<platform::HRESULT> (*)(std::string_view operation, std::string_view scope);
void SetFaultHook(FaultHook hook);
std::optional<platform::HRESULT> TakeFault(std::string_view operation, std::string_view scope);

}  // namespace kelvane::framework

// Returns the injected result of a fault from the enclosing operation.
#define KELVANE_FAULT(operation, scope)                                                              \
  do {                                                                                               \
    if (auto kelvaneFault = ::kelvane::framework::TakeFault(operation, scope)) return *kelvaneFault; \
  } while (0)
