#include "platform/backends.h"

#include <atomic>

#include "platform/factory.h"
#include "platform/framework/framework.h"
#include "platform/iidc/iidc.h"
#include "platform/sim/internal.h"
#include "platform/v4l2/v4l2.h"

namespace kelvane::platform {

namespace {

enum class Kind { Simulated, V4l2, Iidc };
std::atomic<Kind> g_kind{Kind::Simulated};

framework::DeviceBackend& BackendOf(Kind kind) {
  switch (kind) {
    case Kind::V4l2:
      return v4l2::Backend();
    case Kind::Iidc:
      return iidc::Backend();
    case Kind::Simulated:
      break;
  }
  return sim::Backend();
}

std::string Lower(std::string_view text) {
  std::string s(text);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

BackendChoice ChooseBackend(std::string_view requested, std::string_view source) {
  const std::string want = Lower(requested);
  std::string note;
  if (want == "sim") {
    g_kind = Kind::Simulated;
    return {"sim", "Kelvane: using the simulated bus (" + std::string(source) + ")"};
  }
  if (want == "v4l2") {
    g_kind = Kind::V4l2;
    const size_t n = v4l2::CountCameras();
    return {"v4l2", "Kelvane: using the V4L2 cameras (" + std::string(source) + "); " + std::to_string(n) +
                        (n == 1 ? " camera found" : " cameras found")};
  }
  if (want == "iidc") {
    g_kind = Kind::Iidc;
    const size_t n = iidc::CountCameras();
    return {"iidc", "Kelvane: using the IIDC cameras (" + std::string(source) + "); " + std::to_string(n) +
                        (n == 1 ? " camera found" : " cameras found")};
  }
  if (!want.empty() && want != "auto")
    note = "; \"" + std::string(requested) + "\" (" + std::string(source) +
           ") is not a backend: choose sim, v4l2, iidc or auto";
  // The cameras this library was made for come first.
  if (const size_t n = iidc::CountCameras(); n > 0) {
    g_kind = Kind::Iidc;
    return {"iidc", "Kelvane: using the IIDC cameras: " + std::to_string(n) +
                        (n == 1 ? " camera found" : " cameras found") + note};
  }
  if (const size_t n = v4l2::CountCameras(); n > 0) {
    g_kind = Kind::V4l2;
    return {"v4l2", "Kelvane: using the V4L2 cameras: " + std::to_string(n) +
                        (n == 1 ? " camera found" : " cameras found") + note};
  }
  g_kind = Kind::Simulated;
  return {"sim", "Kelvane: using the simulated bus: this machine shows no IIDC or V4L2 camera" + note};
}

std::string ActiveBackendName() {
  switch (g_kind.load()) {
    case Kind::V4l2:
      return "v4l2";
    case Kind::Iidc:
      return "iidc";
    case Kind::Simulated:
      break;
  }
  return "sim";
}

Platform& DefaultPlatform() { return framework::PlatformFor(BackendOf(g_kind.load())); }

}  // namespace kelvane::platform
