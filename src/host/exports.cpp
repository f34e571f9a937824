// The 19 exports: the only extern "C" code. Each is a thin guard that lets no
// exception reach the host and turns one into the export's failure value.
#include <exception>

#include "diagnostics/diagnostics.h"
#include "host/library.h"
#include "kelvane/grabber.h"

namespace {

template <class R, class F>
R Guard(const char* function, R failure, F&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    kelvane::DebugPrint("%s: unexpected failure - %s\r\n", function, e.what());
  } catch (...) {
    kelvane::DebugPrint("%s: unexpected failure\r\n", function);
  }
  return failure;
}

}  // namespace

using namespace kelvane::host;

extern "C" {

KELVANE_EXPORT int32_t initialize(const char* systemPath, DebugMessageProc messageProc) {
  return Guard("initialize", 0, [&] { return Initialize(systemPath, messageProc); });
}

KELVANE_EXPORT int32_t finalize(void) { return 0; }

KELVANE_EXPORT int32_t setSystemPath(const char* path) {
  return Guard("setSystemPath", 1, [&] { return SetSystemPath(path); });
}

KELVANE_EXPORT DebugMessageProc setDebugMsgProc(DebugMessageProc messageProc) {
  return Guard("setDebugMsgProc", messageProc, [&] { return SetDebugMsgProc(messageProc); });
}

KELVANE_EXPORT int32_t getCVLMaxNoOfGrabbers(void) { return 1; }

KELVANE_EXPORT int32_t getCVLMaxNoOfPorts(void) { return 25; }

KELVANE_EXPORT int32_t getCVLNoOfSupportedCameras(void) {
  return Guard("getCVLNoOfSupportedCameras", 0, [] { return CameraCount(); });
}

KELVANE_EXPORT char** getCVLCameraConfigNames(void) {
  return Guard("getCVLCameraConfigNames", static_cast<char**>(nullptr), [] { return ConfigNameList(); });
}

KELVANE_EXPORT int32_t openCVLPort(int32_t grabber, int32_t port, const char* cameraName, int32_t* size) {
  return Guard("openCVLPort", 0, [&] { return OpenPort(grabber, port, cameraName, size); });
}

KELVANE_EXPORT bool closeCVLPort(int32_t grabber, int32_t port) {
  return Guard("closeCVLPort", false, [&] { return ClosePort(grabber, port); });
}

KELVANE_EXPORT int32_t doCVLGrab(int32_t grabber, int32_t port) {
  return Guard("doCVLGrab", 0, [&] { return Grab(grabber, port); });
}

KELVANE_EXPORT int32_t getCVLGrabRow(int32_t grabber, int32_t port, void* destination, int32_t row, int32_t first,
                                     int32_t last) {
  return Guard("getCVLGrabRow", 0, [&] { return GrabRow(grabber, port, destination, row, first, last); });
}

KELVANE_EXPORT int32_t setCompleteCallback(int32_t grabber, int32_t port, CompleteCallback callback) {
  return Guard("setCompleteCallback", 0, [&] { return SetCallback(grabber, port, callback); });
}

KELVANE_EXPORT int32_t setHWTrigger(int32_t grabber, int32_t port, int32_t enable) {
  return Guard("setHWTrigger", 0, [&] { return SetTrigger(grabber, port, enable); });
}

KELVANE_EXPORT int32_t getProperty(int32_t grabber, int32_t port, const char* name, int32_t* value) {
  return Guard("getProperty", 0, [&] { return GetProperty(grabber, port, name, value); });
}

KELVANE_EXPORT int32_t setProperty(int32_t grabber, int32_t port, const char* name, int32_t value) {
  return Guard("setProperty", 0, [&] { return SetProperty(grabber, port, name, value); });
}

KELVANE_EXPORT int32_t getPropertyRange(int32_t grabber, int32_t port, const char* name, int32_t* minimum,
                                        int32_t* maximum) {
  return Guard("getPropertyRange", 0, [&] { return GetPropertyRange(grabber, port, name, minimum, maximum); });
}

KELVANE_EXPORT int32_t configure(void) {
  return Guard("configure", 0, [] { return Configure(); });
}

KELVANE_EXPORT int32_t configureCamera(int32_t /*unused*/, const char* cameraName) {
  return Guard("configureCamera", 0, [&] { return ConfigureCamera(cameraName); });
}

}  // extern "C"
