// Start-up, the system path and the message sink.
#include <cstdio>
#include <cstring>

#include "capture/discovery.h"
#include "diagnostics/diagnostics.h"
#include "host/library.h"
#include "host/state.h"
#include "platform/factory.h"
#include "settings/camera_settings.h"

namespace kelvane::host {

namespace {

void ForwardPlatformMessage(const char* text) { DebugPrint("%s", text); }

}  // namespace

std::optional<std::string> SettingsPath() {
  HostState& s = State();
  auto path = settings::BuildSettingsPath(s.SystemPath);
  if (!path) DebugPrint("Settings path too long, settings file not used: %s\r\n", s.SystemPath);
  return path;
}

int32_t Initialize(const char* systemPath, DebugMessageProc messageProc) {
  HostState& s = State();
  if (!s.Initialized) {
    platform::SetPlatformMessageSink(ForwardPlatformMessage);
    for (auto& camera : s.CameraTable) camera = CameraRecord{};
    for (auto& port : s.PortTable) port = PortEntry{};
    s.CameraCount = 0;
    for (auto& name : s.ConfigNames) name = nullptr;
    s.Initialized = true;
    uint32_t count = 0;
    capture::CameraRecord* records[kMaxCameras];
    for (int i = 0; i < kMaxCameras; ++i) records[i] = &s.CameraTable[i];
    platform::HRESULT hr = capture::EnumCameras(kMaxCameras, records, &count, s.ConfigNames);
    if (platform::FAILED(hr)) DebugPrint("Failed to initialize !  hr=0x%x\r\n", static_cast<unsigned>(hr));
    s.CameraCount = count;
  }
  SetSystemPath(systemPath);
  SetDebugMsgProc(messageProc);
  return 0;
}

int32_t SetSystemPath(const char* path) {
  HostState& s = State();
  std::snprintf(s.SystemPath, sizeof s.SystemPath, "%s", path ? path : "");
  // One read of the file serves every camera.
  auto settingsPath = SettingsPath();
  const settings::ProfileText file =
      settingsPath ? settings::ProfileText::Load(*settingsPath) : settings::ProfileText{};
  for (uint32_t i = 0; i < s.CameraCount; ++i)
    s.CameraTable[i].Settings = settings::ReadCameraSettings(file, s.CameraTable[i].ConfigName);
  return 1;
}

DebugMessageProc SetDebugMsgProc(DebugMessageProc messageProc) {
  SetMessageSink(messageProc);
  return messageProc;
}

int32_t CameraCount() { return static_cast<int32_t>(State().CameraCount); }

char** ConfigNameList() { return State().ConfigNames; }

}  // namespace kelvane::host
