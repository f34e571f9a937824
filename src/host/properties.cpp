// Named camera properties, library settings and camera registers by name.
#include <strings.h>

#include <cctype>
#include <cstring>
#include <mutex>
#include <string>

#include "capture/property_access.h"
#include "diagnostics/diagnostics.h"
#include "host/grab.h"
#include "host/library.h"
#include "host/state.h"

namespace kelvane::host {

using namespace platform;

namespace {

bool Is(const char* name, const char* setting) { return strcasecmp(name, setting) == 0; }

// "0x" or "0X" and hexadecimal digits up to the first other character; none
// gives 0, a value beyond 32 bits gives 0xFFFFFFFF.
bool RegisterAddress(const char* name, uint32_t* address) {
  if (name[0] != '0' || (name[1] != 'x' && name[1] != 'X')) return false;
  uint64_t value = 0;
  for (const char* p = name + 2;; ++p) {
    int digit;
    if (*p >= '0' && *p <= '9')
      digit = *p - '0';
    else if (*p >= 'a' && *p <= 'f')
      digit = *p - 'a' + 10;
    else if (*p >= 'A' && *p <= 'F')
      digit = *p - 'A' + 10;
    else
      break;
    value = value * 16 + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFull) {
      value = 0xFFFFFFFFull;
      while (std::isxdigit(static_cast<unsigned char>(p[1]))) ++p;
    }
  }
  *address = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

int32_t GetProperty(int32_t grabber, int32_t port, const char* name, int32_t* value) {
  PortCall call("getProperty", grabber, port);
  if (!call) return 1;  // hosts rely on an unbound port not failing here
  if (!name) {
    Refuse("getProperty", grabber, port, "no property name (null pointer)");
    return 0;
  }
  // The name decides first: an unknown one changes nothing and reports
  // success, whatever the value pointer is.
  const bool setting = Is(name, "PixelSize") || Is(name, "LUT") || Is(name, "DropCnt") || Is(name, "Continous");
  std::string base;
  const bool flags = capture::SplitFlagsSuffix(name, base);
  const int index = setting ? -1 : capture::PropertyName(base.c_str());
  uint32_t address = 0;
  const bool isRegister = !setting && index < 0 && RegisterAddress(name, &address);
  if (!setting && index < 0 && !isRegister) return 1;
  if (!value) {
    Refuse("getProperty", grabber, port, "%s: no place for the value (null pointer)", name);
    return 0;
  }

  CameraRecord& camera = call.Camera();
  if (Is(name, "PixelSize")) {
    *value = camera.Frames->PixelBits();
    return 1;
  }
  if (Is(name, "LUT")) {
    *value = camera.Frames->Lut();
    return 1;
  }
  if (Is(name, "DropCnt")) {
    *value = camera.Decoder->DropCnt.load();
    return 1;
  }
  if (Is(name, "Continous")) {
    *value = camera.Decoder->Continuous.load();
    return 1;
  }
  HRESULT hr;
  capture::PropertyAccess access(camera.CaptureFilter.Get());
  if (isRegister) {
    uint32_t word = 0;
    hr = access.ReadRegisters(address, 1, &word);
    *value = static_cast<int32_t>(word);
  } else {
    int32_t other = 0;
    hr = flags ? access.Get(index, &other, value) : access.Get(index, value, &other);
  }
  if (FAILED(hr)) DebugPrint("getProperty[%d,%d] %s failed\n", grabber, port, name);
  return SUCCEEDED(hr) ? 1 : 0;
}

int32_t SetProperty(int32_t grabber, int32_t port, const char* name, int32_t value) {
  PortCall call("setProperty", grabber, port);
  if (!call) return 0;
  if (!name) {
    Refuse("setProperty", grabber, port, "no property name (null pointer)");
    return 0;
  }
  CameraRecord& camera = call.Camera();
  if (Is(name, "PixelSize")) {
    // The streaming thread converts under the same lock, so a frame is never
    // converted into buffers that are being replaced.
    std::lock_guard<std::mutex> lock(camera.Decoder->FrameLock);
    const bool color = value == 24 || value == 32;
    if (!camera.Frames->SetColorOutput(color)) {
      const std::string tooLarge = camera.Frames->LimitProblem(color);
      if (!tooLarge.empty())
        DebugPrint("%s: %s; PixelSize stays %d\r\n", camera.ConfigName, tooLarge.c_str(), camera.Frames->PixelBits());
      else
        DebugPrint("%s: no memory for the image buffers\r\n", camera.ConfigName);
      return 0;
    }
    return camera.Frames->PixelBits() == value ? 1 : 0;
  }
  if (Is(name, "LUT")) {
    camera.Frames->SetLut(value);
    return camera.Frames->Lut() == value ? 1 : 0;
  }
  if (Is(name, "DropCnt")) {
    camera.Decoder->DropCnt.store(value);
    return value >= 0 ? 1 : 0;
  }
  if (Is(name, "Continous")) {
    camera.Decoder->Continuous.store(value ? 1 : 0);
    if (!value) return 1;
    // A graph that does not run streams nothing: that is a failure, not continuous video.
    return Snapshot(camera, 0, camera.Decoder->CurrentSequence()) == SnapshotResult::Delivered ? 1 : 0;
  }
  if (Is(name, "HWTrigger")) return SwitchTrigger(camera, value);

  std::string base;
  const bool flags = capture::SplitFlagsSuffix(name, base);
  const int index = capture::PropertyName(base.c_str());
  capture::PropertyAccess access(camera.CaptureFilter.Get());
  if (index < 0) {
    uint32_t address = 0;
    if (!RegisterAddress(name, &address)) return 1;
    uint32_t word = static_cast<uint32_t>(value);
    return SUCCEEDED(access.WriteRegisters(address, 1, &word)) ? 1 : 0;
  }
  int32_t current = 0, currentFlags = 0;
  HRESULT hr = access.Get(index, &current, &currentFlags);
  if (SUCCEEDED(hr)) hr = flags ? access.Set(index, current, value) : access.Set(index, value, currentFlags);
  return SUCCEEDED(hr) ? 1 : 0;
}

int32_t GetPropertyRange(int32_t grabber, int32_t port, const char* name, int32_t* minimum, int32_t* maximum) {
  PortCall call("getPropertyRange", grabber, port);
  if (!call) return 0;
  if (!name || !minimum || !maximum) {
    Refuse("getPropertyRange", grabber, port, "%s (null pointer)",
           !name ? "no property name" : "no place for the range");
    return 0;
  }
  const int index = capture::PropertyName(name);
  if (index < 0) {
    Refuse("getPropertyRange", grabber, port, "%s is not a camera property with a range", name);
    return 0;
  }
  capture::PropertyAccess access(call.Camera().CaptureFilter.Get());
  int32_t step = 0, defaultValue = 0, flags = 0;
  return SUCCEEDED(access.GetRange(index, minimum, maximum, &step, &defaultValue, &flags)) ? 1 : 0;
}

}  // namespace kelvane::host
