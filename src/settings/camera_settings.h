// The per-camera settings block and its place in the settings file
// "Kelvane.ini": one section per camera, named after its configuration name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/com.h"
#include "settings/profile_file.h"

namespace kelvane::settings {

inline constexpr std::string_view kSettingsFileName = "Kelvane.ini";
// The settings file path is at most this many characters; a longer one is
// refused rather than cut, so no other file is ever read or written.
inline constexpr size_t kMaxSettingsPathLength = 255;

// A camera's settings, each field named after its key. A fresh block holds the
// values a camera gets when the file has no entry for it.
struct CameraSettings {
  platform::GUID SubType{};     // stream format's media subtype; null: none chosen
  int32_t Left = 0;             // image region, pixels
  int32_t Top = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t AvgTimePerFrame = 0;  // frame interval in 100 ns, or the driver's frame-rate code
  int32_t PacketSize = 0;       // bus packet size of a Format 7 stream, bytes
  int32_t Timeout = 2000;       // first snapshot's time limit, ms
  int32_t Color = 0;            // 0 or 1
  int32_t ContinousVideo = 1;   // 0 or 1
  int32_t HWTrigger = 0;        // 0 or 1
  int32_t TriggerPolarity = 0;  // bit 0 used
  int32_t TriggerMode = 0;      // low 4 bits used
  int32_t RawMode = 0;          // Bayer pattern 1..4, 0 for data not demosaiced
  int32_t Algorithm = 0;        // demosaicing algorithm 0..4
  int32_t Lut = 0;              // 16-to-8-bit mapping 0..8
  int32_t DropCnt = 0;          // frames skipped after a trigger
  int32_t BlackLvlPoints = 0;   // static-image test points
  int32_t BlackLvlValue = 16;
  int32_t BlackLvlRange = 0;
  int32_t BlackLvlRetry = 3;
  int32_t DefFmt = -1;          // driver format list index; -1: none
  int32_t MeanCnt = 1;          // frames averaged per grab
  int32_t RecursiveMean = 0;    // 1: running average instead of a plain mean
  int32_t RecursiveCoeff = 80;  // newest frame's weight, percent

  friend bool operator==(const CameraSettings&, const CameraSettings&) = default;
};

// One integer key of the block: its name, field and default. The switches
// Color, ContinousVideo and HWTrigger read as 0 or 1 (any non-zero value is 1);
// every other value is taken as it stands.
struct SettingsIntKey {
  std::string_view Name;
  int32_t CameraSettings::*Field;
  int32_t Default;
  bool IsFlag;
};

// The 24 integer keys in the order they are read and written (after
// "SubType", which comes first).
std::span<const SettingsIntKey> SettingsIntKeys();
inline constexpr std::string_view kSubTypeKey = "SubType";

// The settings file in the system directory: "<systemPath>/Kelvane.ini", no
// separator added when the path is empty or already ends in "/". nullopt when
// the result would exceed kMaxSettingsPathLength characters.
std::optional<std::string> BuildSettingsPath(std::string_view systemPath);

// The section of a camera's settings keys: its configuration name with every
// "[" and "]" replaced by "_". (Per-property keys use the name unchanged.)
std::string SettingsSection(std::string_view configName);

// The key of a camera property's flag word; its value is under the bare name.
std::string PropertyFlagsKey(std::string_view propertyName);

// Registry text of a GUID: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", 38
// characters, upper-case hexadecimal.
std::string GuidToText(const platform::GUID& guid);
// Parses that form (either letter case, nothing before or after it). On
// failure returns false and sets guid to the null GUID.
bool TextToGuid(std::string_view text, platform::GUID& guid);

// Reads a camera's block from its section; absent keys give the defaults, a
// missing file gives a default block. A SubType that is no GUID text reads as
// the null GUID; an integer value reads as ParseProfileInt takes it.
CameraSettings ReadCameraSettings(const ProfileText& file, std::string_view configName);
CameraSettings ReadCameraSettings(const std::string& settingsPath, std::string_view configName);

// Writes all 25 keys of the block to the camera's section in one transaction,
// every key also when it holds its default. False when nothing was written.
bool WriteCameraSettings(const std::string& settingsPath, std::string_view configName,
                         const CameraSettings& settings);

}  // namespace kelvane::settings
