// Replaced by the generated table.
#include "diagnostics/diagnostics.h"
namespace kelvane {
const char* HResultName(int32_t hr) {
  switch (hr) {
    case 0: return "S_OK";
    case 1: return "S_FALSE";
    default: return "Unknown";
  }
}
}  // namespace kelvane
