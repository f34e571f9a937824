// Interim declarations; the settings subsystem replaces this file.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include "platform/com.h"
namespace kelvane::settings {
struct CameraSettings {
  platform::GUID SubType;
  int32_t Left = 0, Top = 0, Width = 0, Height = 0, AvgTimePerFrame = 0, PacketSize = 0, Timeout = 2000, Color = 0,
          ContinousVideo = 1, HWTrigger = 0, TriggerPolarity = 0, TriggerMode = 0, RawMode = 0, Algorithm = 0, Lut = 0,
          DropCnt = 0, BlackLvlPoints = 0, BlackLvlValue = 16, BlackLvlRange = 0, BlackLvlRetry = 3, DefFmt = -1,
          MeanCnt = 1, RecursiveMean = 0, RecursiveCoeff = 80;
};
inline std::optional<std::string> BuildSettingsPath(std::string_view) { return std::nullopt; }
inline void ReadCameraSettings(const std::string&, const char*, CameraSettings& s) { s = CameraSettings{}; }
}  // namespace kelvane::settings
