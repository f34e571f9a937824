#include "settings/camera_settings.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <vector>

namespace kelvane::settings {
namespace {

using CS = CameraSettings;

// File order of the integer keys; PacketSize sits after DefFmt in the file,
// unlike in the block.
constexpr std::array<SettingsIntKey, 24> kIntKeys{{
    {"Left", &CS::Left, 0, false},
    {"Top", &CS::Top, 0, false},
    {"Width", &CS::Width, 0, false},
    {"Height", &CS::Height, 0, false},
    {"AvgTimePerFrame", &CS::AvgTimePerFrame, 0, false},
    {"Timeout", &CS::Timeout, 2000, false},
    {"Color", &CS::Color, 0, true},
    {"ContinousVideo", &CS::ContinousVideo, 1, true},
    {"HWTrigger", &CS::HWTrigger, 0, true},
    {"TriggerPolarity", &CS::TriggerPolarity, 0, false},
    {"TriggerMode", &CS::TriggerMode, 0, false},
    {"RawMode", &CS::RawMode, 0, false},
    {"Algorithm", &CS::Algorithm, 0, false},
    {"Lut", &CS::Lut, 0, false},
    {"DropCnt", &CS::DropCnt, 0, false},
    {"DefFmt", &CS::DefFmt, -1, false},
    {"PacketSize", &CS::PacketSize, 0, false},
    {"BlackLvlPoints", &CS::BlackLvlPoints, 0, false},
    {"BlackLvlValue", &CS::BlackLvlValue, 16, false},
    {"BlackLvlRange", &CS::BlackLvlRange, 0, false},
    {"BlackLvlRetry", &CS::BlackLvlRetry, 3, false},
    {"MeanCnt", &CS::MeanCnt, 1, false},
    {"RecursiveMean", &CS::RecursiveMean, 0, false},
    {"RecursiveCoeff", &CS::RecursiveCoeff, 80, false},
}};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads n hex digits at text[pos]; false on any non-digit.
bool ParseHex(std::string_view text, size_t pos, size_t n, uint32_t& out) {
  out = 0;
  for (size_t i = 0; i < n; ++i) {
    int d = HexDigit(text[pos + i]);
    if (d < 0) return false;
    out = out << 4 | static_cast<uint32_t>(d);
  }
  return true;
}

std::string IntText(int32_t v) {
  char buf[16];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;  // 16 characters always hold a 32-bit integer
  return std::string(buf, static_cast<size_t>(end - buf));
}

}  // namespace

std::span<const SettingsIntKey> SettingsIntKeys() { return kIntKeys; }

std::optional<std::string> BuildSettingsPath(std::string_view systemPath) {
  std::string path(systemPath);
  if (!path.empty() && path.back() != '/') path += '/';
  path += kSettingsFileName;
  if (path.size() > kMaxSettingsPathLength) return std::nullopt;
  return path;
}

std::string SettingsSection(std::string_view configName) {
  std::string section(configName);
  for (char& c : section)
    if (c == '[' || c == ']') c = '_';
  return section;
}

std::string PropertyFlagsKey(std::string_view propertyName) { return std::string(propertyName) + "_flags"; }

std::string GuidToText(const platform::GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1),
                static_cast<unsigned>(g.Data2), static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2],
                g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return std::string(buf, 38);
}

bool TextToGuid(std::string_view text, platform::GUID& guid) {
  guid = platform::GUID_NULL;
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
      text[19] != '-' || text[24] != '-')
    return false;
  platform::GUID g;
  uint32_t v = 0;
  if (!ParseHex(text, 1, 8, v)) return false;
  g.Data1 = v;
  if (!ParseHex(text, 10, 4, v)) return false;
  g.Data2 = static_cast<uint16_t>(v);
  if (!ParseHex(text, 15, 4, v)) return false;
  g.Data3 = static_cast<uint16_t>(v);
  // Data4: two bytes in the fourth group, six in the fifth.
  constexpr size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (size_t i = 0; i < 8; ++i) {
    if (!ParseHex(text, kBytePos[i], 2, v)) return false;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  guid = g;
  return true;
}

CameraSettings ReadCameraSettings(const ProfileText& file, std::string_view configName) {
  const std::string section = SettingsSection(configName);
  CameraSettings s;
  if (std::optional<std::string> text = file.Find(section, kSubTypeKey)) TextToGuid(*text, s.SubType);
  for (const SettingsIntKey& k : kIntKeys) {
    int32_t v = file.GetInt(section, k.Name, k.Default);
    s.*k.Field = k.IsFlag ? (v != 0 ? 1 : 0) : v;
  }
  return s;
}

CameraSettings ReadCameraSettings(const std::string& settingsPath, std::string_view configName) {
  return ReadCameraSettings(ProfileText::Load(settingsPath), configName);
}

bool WriteCameraSettings(const std::string& settingsPath, std::string_view configName,
                         const CameraSettings& settings) {
  std::vector<ProfileEntry> entries;
  entries.reserve(1 + kIntKeys.size());
  entries.push_back({std::string(kSubTypeKey), GuidToText(settings.SubType)});
  for (const SettingsIntKey& k : kIntKeys) entries.push_back({std::string(k.Name), IntText(settings.*k.Field)});
  return WriteProfileStrings(settingsPath, SettingsSection(configName), entries);
}

}  // namespace kelvane::settings
