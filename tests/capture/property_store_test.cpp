// Stored camera properties: saved for what the camera reports, read back at
// the next open, in the section of the camera's name as it stands.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "capture/property_store.h"
#include "capture_fixture.h"
#include "settings/profile_file.h"

namespace kelvane::capture::testing {
namespace {

class PropertyStoreTest : public CaptureTest {
 protected:
  void SetUp() override {
    CaptureTest::SetUp();
    path_ = (std::filesystem::temp_directory_path() / ("kelvane-props-" + std::to_string(getpid()) + ".ini")).string();
    std::filesystem::remove(path_);
  }
  void TearDown() override {
    std::filesystem::remove(path_);
    std::filesystem::remove(path_ + ".lock");
    CaptureTest::TearDown();
  }
  std::string path_;
};

TEST_F(PropertyStoreTest, SavesWhatTheCameraReportsAndAppliesItBack) {
  LoadBus(R"({"cameras": [{"name": "Cam [A]", "kind": "usb",
    "formats": [{"subtype": "YUY2", "width": 64, "height": 48, "interval": 333333}],
    "properties": [{"set": "proc_amp", "code": 0, "min": -64, "max": 64, "default": 5, "flags": 2},
                   {"set": "proc_amp", "code": 9, "min": 0, "max": 100, "default": 30}]}]})");
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Camera("Cam [A]");
  ASSERT_TRUE(SaveCameraProperties(camera, path_));
  // The section is the name unchanged, brackets and all; only reported properties have keys.
  const settings::ProfileText file = settings::ProfileText::Load(path_);
  EXPECT_EQ(file.Find("Cam [A]", "Brightness"), "5");
  EXPECT_EQ(file.Find("Cam [A]", "Brightness_flags"), "2");
  EXPECT_EQ(file.Find("Cam [A]", "Gain"), "30");
  EXPECT_EQ(file.Find("Cam [A]", "Focus"), std::nullopt);
  EXPECT_EQ(file.Find("Cam [A]", "Focus_flags"), std::nullopt);
  EXPECT_EQ(file.Find("Cam _A_", "Brightness"), std::nullopt);

  // A value changed in the file is applied at the next open; a refused one is reported.
  ASSERT_TRUE(settings::WriteProfileInt("Cam [A]", "Brightness", -7, path_));
  ASSERT_TRUE(settings::WriteProfileInt("Cam [A]", "Gain", 500, path_));
  ApplyCameraProperties(camera, path_);
  EXPECT_EQ(sim::GetProperty("Cam [A]", sim::PropertySet::ProcAmp, 0)->value, -7);
  EXPECT_TRUE(Logged("Cam [A] Unable to set Gain (val=500 flags=0x2)\r\n"));
  EXPECT_EQ(sim::GetProperty("Cam [A]", sim::PropertySet::ProcAmp, 9)->value, 30);
}

}  // namespace
}  // namespace kelvane::capture::testing
