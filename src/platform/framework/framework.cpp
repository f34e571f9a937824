// The framework's process-wide state: object counters and the fault hook.
#include <atomic>

#include "platform/framework/fault.h"
#include "platform/framework/object.h"

namespace kelvane::framework {

namespace {
std::atomic<int64_t> g_objects{0};
std::atomic<int64_t> g_references{0};
std::atomic<FaultHook> g_faultHook{nullptr};
}  // namespace

void CountObject(int delta) { g_objects.fetch_add(delta, std::memory_order_relaxed); }
void CountReference(int delta) { g_references.fetch_add(delta, std::memory_order_relaxed); }
int64_t LiveObjects() { return g_objects.load(); }
int64_t OutstandingReferences() { return g_references.load(); }

void SetFaultHook(FaultHook hook) { g_faultHook.store(hook, std::memory_order_release); }

std::optional<platform::HRESULT> TakeFault(std::string_view operation, std::string_view scope) {
  if (FaultHook hook = g_faultHook.load(std::memory_order_acquire)) return hook(operation, scope);
  return std::nullopt;
}

}  // namespace kelvane::framework
