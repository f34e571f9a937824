// Object creation through the active platform: class identifier in, interface out.
// The simulated platform is the built-in backend; a real backend installs itself
// with SetPlatform before the host's first initialize.
#pragma once

#include <string>

#include "platform/com.h"

namespace kelvane::platform {

class Platform {
 public:
  virtual ~Platform() = default;
  // COM's CoCreateInstance for an in-process server.
  virtual HRESULT CreateInstance(REFCLSID clsid, REFIID iid, void** object) = 0;
  // The file version of the IEEE 1394 camera driver installed on the machine,
  // "%u.%u.%u.%u"; empty when there is none (or it has no version).
  virtual std::string DriverFileVersion() { return {}; }
};

// The backend in use; never null once a backend library is linked.
Platform& ActivePlatform();
// Replaces the backend (tests, other backends). Returns the previous one.
Platform* SetPlatform(Platform* platform);

inline HRESULT CoCreateInstance(REFCLSID clsid, REFIID iid, void** object) {
  return ActivePlatform().CreateInstance(clsid, iid, object);
}

// Diagnostics of the platform itself (a malformed bus description, say) go to
// the host's message sink through this hook; without a sink they are dropped.
using PlatformMessageSink = void (*)(const char* text);
void SetPlatformMessageSink(PlatformMessageSink sink);
void PlatformMessage(const char* text);

// Provided by the backend library that is linked in (the simulated platform by default).
Platform& DefaultPlatform();

}  // namespace kelvane::platform
