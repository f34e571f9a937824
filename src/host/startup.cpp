// Start-up, the system path and the message sink.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "capture/discovery.h"
#include "diagnostics/diagnostics.h"
#include "frames/band_pool.h"
#include "host/library.h"
#include "host/state.h"
#include "platform/backends.h"
#include "platform/factory.h"
#include "settings/camera_settings.h"

namespace kelvane::host {

namespace {

void ForwardPlatformMessage(const char* text) { DebugPrint("%s", text); }

}  // namespace

std::optional<std::string> SettingsPath() {
  HostState& s = State();
  char systemPath[kSystemPathSize];
  {
    MutexLock lock(s.PathMutex);
    std::memcpy(systemPath, s.SystemPath, sizeof systemPath);
  }
  auto path = settings::BuildSettingsPath(systemPath);
  if (!path) DebugPrint("Settings path too long, settings file not used: %s\r\n", systemPath);
  return path;
}

// The device backend: KELVANE_BACKEND, else "Backend" in the settings file's
// [Kelvane] section, else whichever has cameras.
platform::BackendChoice ChooseBackend(const char* systemPath) {
  if (const char* env = std::getenv("KELVANE_BACKEND"); env && *env)
    return platform::ChooseBackend(env, "KELVANE_BACKEND");
  if (auto path = settings::BuildSettingsPath(systemPath ? systemPath : "")) {
    if (auto value = settings::ProfileText::Load(*path).Find("Kelvane", "Backend"); value && !value->empty())
      return platform::ChooseBackend(*value, "Backend in [Kelvane] of Kelvane.ini");
  }
  return platform::ChooseBackend("auto", "");
}

namespace {

// "ConvertThreads" in [Kelvane]: how many threads a large frame is converted
// on (1: the streaming thread alone; absent or 0: the library chooses).
void ApplyConvertThreads(const settings::ProfileText& file) {
  int32_t threads = 0;
  if (auto value = file.Find("Kelvane", "ConvertThreads"); value && !value->empty()) {
    char* end = nullptr;
    const long n = std::strtol(value->c_str(), &end, 10);
    if (*end != '\0' || n < 0 || n > 64)
      DebugPrint("ConvertThreads in [Kelvane] of Kelvane.ini is \"%s\", not a thread count 0..64; the library "
                 "chooses\r\n",
                 value->c_str());
    else
      threads = static_cast<int32_t>(n);
  }
  frames::SetConversionThreads(threads);
}

}  // namespace

int32_t Initialize(const char* systemPath, DebugMessageProc messageProc) {
  HostState& s = State();
  std::string backendMessage;
  {
    // Start-up runs once; a host thread that calls meanwhile waits for it.
    std::lock_guard start(s.StartMutex);
    if (!s.Initialized.load(std::memory_order_acquire)) {
      platform::SetPlatformMessageSink(ForwardPlatformMessage);
      backendMessage = ChooseBackend(systemPath).message;
      uint32_t count = 0;
      capture::CameraRecord* records[kMaxCameras];
      for (int i = 0; i < kMaxCameras; ++i) records[i] = &s.CameraTable[i];
      platform::HRESULT hr = capture::EnumCameras(kMaxCameras, records, &count, s.ConfigNames);
      if (platform::FAILED(hr)) DebugPrint("Failed to initialize !  hr=0x%x\r\n", static_cast<unsigned>(hr));
      s.CameraCount.store(count, std::memory_order_release);
      s.Initialized.store(true, std::memory_order_release);
    }
  }
  SetSystemPath(systemPath);
  SetDebugMsgProc(messageProc);
  if (!backendMessage.empty()) DebugPrint("%s\r\n", backendMessage.c_str());
  return 0;
}

int32_t SetSystemPath(const char* path) {
  HostState& s = State();
  {
    MutexLock lock(s.PathMutex);
    std::snprintf(s.SystemPath, sizeof s.SystemPath, "%s", path ? path : "");
  }
  // One read of the file serves every camera. A camera takes its new settings
  // at its next call, so a grab under way on another thread keeps what it began with.
  auto settingsPath = SettingsPath();
  const settings::ProfileText file =
      settingsPath ? settings::ProfileText::Load(*settingsPath) : settings::ProfileText{};
  ApplyConvertThreads(file);
  const uint32_t count = s.CameraCount.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < count; ++i) {
    CameraRecord& camera = s.CameraTable[i];
    MutexLock lock(camera.PendingMutex);
    camera.PendingSettings = settings::ReadCameraSettings(file, camera.ConfigName);
  }
  return 1;
}

DebugMessageProc SetDebugMsgProc(DebugMessageProc messageProc) {
  SetMessageSink(messageProc);
  return messageProc;
}

int32_t CameraCount() { return static_cast<int32_t>(State().CameraCount.load(std::memory_order_acquire)); }

char** ConfigNameList() { return State().ConfigNames; }

}  // namespace kelvane::host
