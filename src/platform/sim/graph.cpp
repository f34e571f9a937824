// Filter graph, capture graph builder and streaming.
#include "platform/sim/internal.h"

namespace kelvane::sim {

using namespace platform;

HRESULT CreateFilterGraph(REFIID, void** out) {
  if (out) *out = nullptr;
  return REGDB_E_CLASSNOTREG;
}
HRESULT CreateCaptureGraphBuilder(REFIID, void** out) {
  if (out) *out = nullptr;
  return REGDB_E_CLASSNOTREG;
}
StepResult Step(const std::string&) { return StepResult::NotRunning; }

}  // namespace kelvane::sim
