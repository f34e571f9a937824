#include "settings/camera_settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace kelvane::settings {
namespace {

using platform::GUID;
using test::ScratchDir;
using test::Slurp;
using test::Spit;

TEST(CameraSettings, DefaultsWithoutAFile) {
  ScratchDir dir;
  CameraSettings s = ReadCameraSettings(dir.File("Kelvane.ini"), "Acme Cam - 1");
  CameraSettings expected;
  std::memset(static_cast<void*>(&expected), 0, sizeof expected);
  expected.Timeout = 2000;
  expected.ContinousVideo = 1;
  expected.BlackLvlValue = 16;
  expected.BlackLvlRetry = 3;
  expected.DefFmt = -1;
  expected.MeanCnt = 1;
  expected.RecursiveCoeff = 80;
  EXPECT_EQ(s, expected);
  // The key table's defaults agree with the block's.
  for (const SettingsIntKey& k : SettingsIntKeys()) EXPECT_EQ(CameraSettings{}.*k.Field, k.Default) << k.Name;
}

TEST(CameraSettings, ValuesReadAsWritten) {
  struct Case {
    const char* line;
    int32_t CameraSettings::*field;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {"Color=7", &CameraSettings::Color, 1},
      {"ContinousVideo=0", &CameraSettings::ContinousVideo, 0},
      {"HWTrigger=-3", &CameraSettings::HWTrigger, 1},
      {"MeanCnt=0", &CameraSettings::MeanCnt, 0},
      {"DefFmt=-1", &CameraSettings::DefFmt, -1},
      {"RecursiveMean=5", &CameraSettings::RecursiveMean, 5},
      {"Lut=abc", &CameraSettings::Lut, 0},
      {"Timeout=", &CameraSettings::Timeout, 2000},
      {"timeout = 750ms", &CameraSettings::Timeout, 750},
      {"PacketSize=4096", &CameraSettings::PacketSize, 4096},
  };
  ScratchDir dir;
  const std::string path = dir.File("Kelvane.ini");
  for (const Case& c : cases) {
    Spit(path, std::string("[Cam]\r\n") + c.line + "\r\n");
    EXPECT_EQ(ReadCameraSettings(path, "Cam").*c.field, c.expected) << c.line;
  }
  struct GuidCase {
    const char* text;
    GUID expected;
  };
  const std::vector<GuidCase> guids = {
      {"{32595559-0000-0010-8000-00AA00389B71}", platform::FourccGuid('Y', 'U', 'Y', '2')},
      {"{32595559-0000-0010-8000-00aa00389b71}", platform::FourccGuid('Y', 'U', 'Y', '2')},
      {"YUY2", platform::GUID_NULL},
      {"{32595559-0000-0010-8000-00AA00389B71}x", platform::GUID_NULL},
  };
  for (const GuidCase& g : guids) {
    Spit(path, std::string("[Cam]\nSubType=") + g.text + "\n");
    EXPECT_EQ(ReadCameraSettings(path, "Cam").SubType, g.expected) << g.text;
  }
}

TEST(CameraSettings, GuidText) {
  const GUID yuy2 = platform::FourccGuid('Y', 'U', 'Y', '2');
  EXPECT_EQ(GuidToText(yuy2), "{32595559-0000-0010-8000-00AA00389B71}");
  EXPECT_EQ(GuidToText(platform::GUID_NULL), "{00000000-0000-0000-0000-000000000000}");
  const GUID odd{0xDEADBEEF, 0x0123, 0xABCD, {0xFE, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xFF}};
  EXPECT_EQ(GuidToText(odd), "{DEADBEEF-0123-ABCD-FE01-0203040506FF}");
  GUID back;
  ASSERT_TRUE(TextToGuid(GuidToText(odd), back));
  EXPECT_EQ(back, odd);

  const std::vector<std::string> bad = {
      "",
      "DEADBEEF-0123-ABCD-FE01-0203040506FF",
      "{DEADBEEF-0123-ABCD-FE01-0203040506FG}",
      "{DEADBEEF-0123-ABCD-FE010-203040506FF}",
      "{DEADBEEF-0123-ABCD-FE01-0203040506FF} ",
      "{-EADBEEF-0123-ABCD-FE01-0203040506FF}",
  };
  for (const std::string& t : bad) {
    GUID g = odd;
    EXPECT_FALSE(TextToGuid(t, g)) << t;
    EXPECT_EQ(g, platform::GUID_NULL) << t;
  }
}

TEST(CameraSettings, FreshSectionGetsAll25KeysInOrder) {
  ScratchDir dir;
  const std::string path = dir.File("Kelvane.ini");
  ASSERT_TRUE(WriteCameraSettings(path, "Acme Cam - 1", CameraSettings{}));
  EXPECT_EQ(Slurp(path),
            "[Acme Cam - 1]\n"
            "SubType={00000000-0000-0000-0000-000000000000}\n"
            "Left=0\nTop=0\nWidth=0\nHeight=0\nAvgTimePerFrame=0\nTimeout=2000\nColor=0\nContinousVideo=1\n"
            "HWTrigger=0\nTriggerPolarity=0\nTriggerMode=0\nRawMode=0\nAlgorithm=0\nLut=0\nDropCnt=0\n"
            "DefFmt=-1\nPacketSize=0\nBlackLvlPoints=0\nBlackLvlValue=16\nBlackLvlRange=0\nBlackLvlRetry=3\n"
            "MeanCnt=1\nRecursiveMean=0\nRecursiveCoeff=80\n");

  // Every field survives a round trip, in its own key.
  CameraSettings s;
  s.SubType = platform::FourccGuid('B', 'Y', '8', ' ');
  int32_t v = -5;
  for (const SettingsIntKey& k : SettingsIntKeys()) s.*k.Field = k.IsFlag ? 1 : v++;
  ASSERT_TRUE(WriteCameraSettings(path, "Acme Cam - 1", s));
  EXPECT_EQ(ReadCameraSettings(path, "Acme Cam - 1"), s);
}

// A file as the other platform writes it: CRLF, comments, foreign sections,
// keys in other letter case, per-property keys in the camera's section.
TEST(CameraSettings, WindowsWrittenFileReadsAndSurvivesASave) {
  ScratchDir dir;
  const std::string path = dir.File("Kelvane.ini");
  const std::string before =
      "; Kelvane camera settings\r\n"
      "[General]\r\n"
      "Language=EN\r\n"
      "\r\n"
      "[Acme Fire-i - 1]\r\n"
      "subtype = {32595559-0000-0010-8000-00AA00389B71}\r\n"
      "TIMEOUT=500\r\n"
      "color=1\r\n"
      "; stored camera properties\r\n"
      "Gain=300\r\n"
      "Gain_flags=2\r\n"
      "\r\n"
      "[Other Cam - 2]\r\n"
      "Color=1\r\n";
  Spit(path, before);
  CameraSettings s = ReadCameraSettings(path, "Acme Fire-i - 1");
  EXPECT_EQ(s.SubType, platform::FourccGuid('Y', 'U', 'Y', '2'));
  EXPECT_EQ(s.Timeout, 500);
  EXPECT_EQ(s.Color, 1);
  EXPECT_EQ(s.MeanCnt, 1);
  EXPECT_EQ(ReadProfileInt("Acme Fire-i - 1", PropertyFlagsKey("Gain"), 0, path), 2);

  s.Timeout = 900;
  s.MeanCnt = 4;
  ASSERT_TRUE(WriteCameraSettings(path, "Acme Fire-i - 1", s));
  EXPECT_EQ(Slurp(path),
            "; Kelvane camera settings\r\n"
            "[General]\r\n"
            "Language=EN\r\n"
            "\r\n"
            "[Acme Fire-i - 1]\r\n"
            "subtype={32595559-0000-0010-8000-00AA00389B71}\r\n"
            "TIMEOUT=900\r\n"
            "color=1\r\n"
            "; stored camera properties\r\n"
            "Gain=300\r\n"
            "Gain_flags=2\r\n"
            "Left=0\r\nTop=0\r\nWidth=0\r\nHeight=0\r\nAvgTimePerFrame=0\r\nContinousVideo=1\r\n"
            "HWTrigger=0\r\nTriggerPolarity=0\r\nTriggerMode=0\r\nRawMode=0\r\nAlgorithm=0\r\nLut=0\r\n"
            "DropCnt=0\r\nDefFmt=-1\r\nPacketSize=0\r\nBlackLvlPoints=0\r\nBlackLvlValue=16\r\n"
            "BlackLvlRange=0\r\nBlackLvlRetry=3\r\nMeanCnt=4\r\nRecursiveMean=0\r\nRecursiveCoeff=80\r\n"
            "\r\n"
            "[Other Cam - 2]\r\n"
            "Color=1\r\n");
  EXPECT_EQ(ReadCameraSettings(path, "Acme Fire-i - 1"), s);
  EXPECT_EQ(ReadCameraSettings(path, "Other Cam - 2").Color, 1);
}

TEST(CameraSettings, BracketsInNames) {
  EXPECT_EQ(SettingsSection("Cam [1] - 2 #2"), "Cam _1_ - 2 #2");
  EXPECT_EQ(SettingsSection("]["), "__");
  ScratchDir dir;
  const std::string path = dir.File("Kelvane.ini");
  CameraSettings s;
  s.Lut = 5;
  ASSERT_TRUE(WriteCameraSettings(path, "Cam [1]", s));
  ASSERT_TRUE(WriteProfileInt("Cam [1]", "Gain", 300, path));
  // Names that differ only by brackets against underscores share the settings
  // section; per-property keys go to the name's own section.
  EXPECT_EQ(ReadCameraSettings(path, "Cam _1_").Lut, 5);
  EXPECT_EQ(ReadProfileInt("Cam [1]", "Gain", 0, path), 300);
  EXPECT_EQ(ReadProfileInt("Cam _1_", "Gain", -1, path), -1);
  EXPECT_EQ(ReadProfileInt("Cam [1]", "Lut", -1, path), -1);
  // A later save of the block leaves the property keys alone.
  s.Lut = 6;
  ASSERT_TRUE(WriteCameraSettings(path, "Cam [1]", s));
  EXPECT_EQ(ReadProfileInt("Cam [1]", "Gain", 0, path), 300);
  EXPECT_EQ(ReadCameraSettings(path, "Cam [1]").Lut, 6);
}

TEST(CameraSettings, SettingsPath) {
  const std::string exact = "/" + std::string(kMaxSettingsPathLength - 1 - 1 - kSettingsFileName.size(), 'x');
  struct Case {
    std::string systemPath;
    std::optional<std::string> path;
  };
  const std::vector<Case> cases = {
      {"", "Kelvane.ini"},
      {"/opt/vision", "/opt/vision/Kelvane.ini"},
      {"/opt/vision/", "/opt/vision/Kelvane.ini"},
      {"/", "/Kelvane.ini"},
      {"rel", "rel/Kelvane.ini"},
      {exact, exact + "/Kelvane.ini"},
      {exact + "y", std::nullopt},
      {exact + "/", exact + "/Kelvane.ini"},
      {std::string(300, 'p'), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildSettingsPath(c.systemPath), c.path) << c.systemPath.size();
    if (c.path) {
      EXPECT_LE(c.path->size(), kMaxSettingsPathLength);
    }
  }
  EXPECT_EQ(BuildSettingsPath(exact)->size(), kMaxSettingsPathLength);
}

}  // namespace
}  // namespace kelvane::settings
