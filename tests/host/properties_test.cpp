// Named camera properties, library settings, registers, stored properties and
// the capability report, through the exports on the simulated bus.
#include <atomic>
#include <cstring>
#include <thread>

#include "capture/property_access.h"
#include "host_fixture.h"
#include "settings/camera_settings.h"

namespace kelvane::testing {
namespace {

// Catches: a name added, dropped or moved in the library's table but not in
// the public list that hosts and the tools build their property lists from.
TEST(PropertyNames, ThePublicListIsTheLibrarysTableInOrder) {
  const char* const names[] = {KELVANE_PROPERTY_NAMES};
  for (int i = 0; i < static_cast<int>(std::size(names)); ++i)
    EXPECT_STREQ(capture::PropertyNameOf(i), names[i]) << i;
  EXPECT_STREQ(capture::PropertyNameOf(static_cast<int>(std::size(names))), "Undefined");
}

using sim::PropertySet;

constexpr int32_t kUnwritten = 0x5A5A5A5A;

class PropertiesTest : public HostTest {
 protected:
  void OpenColour() {
    WriteSettings(kColour.config, {});
    Initialize();
    ASSERT_EQ(Open(0, kColour), 1);
  }
  static double Value(const Camera& c, PropertySet set, int32_t code) {
    auto p = sim::GetProperty(c.friendly, set, code);
    return p ? p->value : -1e9;
  }
};

// The colour camera's driver interfaces carry floats (it has the format interface).
TEST_F(PropertiesTest, NamesIgnoreLetterCaseButTheFlagsEndingDoesNot) {
  OpenColour();
  ASSERT_EQ(setProperty(0, 0, "gain", 12), 1);
  EXPECT_EQ(Value(kColour, PropertySet::Exposure, 2), 12.0);  // 12 is set as 12.0
  int32_t value = kUnwritten;
  ASSERT_EQ(getProperty(0, 0, "GAIN", &value), 1);
  EXPECT_EQ(value, 12);

  auto gain = *sim::GetProperty(kColour.friendly, PropertySet::Exposure, 2);
  struct Case {
    double camera;
    int32_t host;
  } reads[] = {{12.7, 12}, {-0.5, 0}, {-3.9, -3}, {23.99, 23}};
  for (const Case& c : reads) {
    gain.value = c.camera;
    ASSERT_TRUE(sim::SetProperty(kColour.friendly, PropertySet::Exposure, 2, gain));
    ASSERT_EQ(getProperty(0, 0, "Gain", &value), 1);
    EXPECT_EQ(value, c.host) << c.camera;  // truncated toward zero
  }

  gain.flags = 3;
  ASSERT_TRUE(sim::SetProperty(kColour.friendly, PropertySet::Exposure, 2, gain));
  ASSERT_EQ(getProperty(0, 0, "Gain.flags", &value), 1);
  EXPECT_EQ(value, 3);
  value = kUnwritten;
  EXPECT_EQ(getProperty(0, 0, "Gain.FLAGS", &value), 1);  // an unknown name: nothing written
  EXPECT_EQ(value, kUnwritten);
  EXPECT_EQ(setProperty(0, 0, "Gain.FLAGS", 1), 1);        // and nothing changed
  EXPECT_EQ(sim::GetProperty(kColour.friendly, PropertySet::Exposure, 2)->flags, 3);
  const std::string longName(300, 'G');
  EXPECT_EQ(getProperty(0, 0, longName.c_str(), &value), 1);
  EXPECT_EQ(value, kUnwritten);

  // ".flags" sets the flags and keeps the value.
  const double shutter = Value(kColour, PropertySet::Exposure, 1);
  ASSERT_EQ(setProperty(0, 0, "Shutter.flags", 2), 1);
  EXPECT_EQ(Value(kColour, PropertySet::Exposure, 1), shutter);
  EXPECT_EQ(sim::GetProperty(kColour.friendly, PropertySet::Exposure, 1)->flags, 2);

  int32_t minimum = 0, maximum = 0;
  ASSERT_EQ(getPropertyRange(0, 0, "Gain", &minimum, &maximum), 1);
  EXPECT_EQ(minimum, 0);
  EXPECT_EQ(maximum, 24);
  EXPECT_EQ(getPropertyRange(0, 0, "Gain.flags", &minimum, &maximum), 0);
  EXPECT_EQ(getPropertyRange(0, 0, "PixelSize", &minimum, &maximum), 0);
  EXPECT_EQ(getPropertyRange(0, 0, "0xF0F00830", &minimum, &maximum), 0);
}

// Catches: a null value pointer that makes an unknown name fail, and one that
// fails a known name without a word to the host.
TEST_F(PropertiesTest, ANullValuePointerFailsOnlyKnownNamesAndSaysSo) {
  OpenColour();
  const std::string longName(300, 'G');
  const struct Case {
    const char* name;
    int32_t result;
    bool message;
  } cases[] = {
      {"Nonsense", 1, false}, {"Gain.FLAGS", 1, false},     {"HWTrigger", 1, false}, {longName.c_str(), 1, false},
      {"PixelSize", 0, true}, {"dropcnt", 0, true},         {"Gain", 0, true},       {"Gain.flags", 0, true},
      {"0xF0F00830", 0, true}, {nullptr, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(null name)");
    ClearMessages();
    EXPECT_EQ(getProperty(0, 0, c.name, nullptr), c.result);
    EXPECT_EQ(LoggedContaining("(null pointer)"), c.message);
  }
  ClearMessages();
  getProperty(0, 0, "Gain", nullptr);
  EXPECT_EQ(Messages(), std::vector<std::string>{"getProperty[0,0]: Gain: no place for the value (null pointer)\r\n"});
  EXPECT_EQ(getProperty(0, 1, "Gain", nullptr), 1);  // an unbound port, as with any pointer
}

TEST_F(PropertiesTest, PropertiesNoInterfaceServesFailWithTheirMessage) {
  OpenColour();
  for (const char* name : {"Temperature", "Trigger", "OpticalFilter", "Contrast", "Pan", "Temperature.flags"}) {
    int32_t value = kUnwritten;
    ClearMessages();
    EXPECT_EQ(getProperty(0, 0, name, &value), 0) << name;
    EXPECT_TRUE(Logged(std::string("getProperty[0,0] ") + name + " failed\n")) << name;
    EXPECT_EQ(setProperty(0, 0, name, 1), 0) << name;  // what cannot be read cannot be set
  }
  int32_t value = kUnwritten;
  EXPECT_EQ(getProperty(0, 9, "Gain", &value), 1);  // an unbound port is not a failure here
  EXPECT_EQ(value, kUnwritten);
  EXPECT_EQ(setProperty(0, 9, "Gain", 1), 0);
  EXPECT_EQ(getProperty(0, 0, "NoSuchProperty", &value), 1);
  EXPECT_EQ(setProperty(0, 0, "NoSuchProperty", 1), 1);
}

// A camera with only the framework's standard interfaces.
TEST_F(PropertiesTest, StandardInterfacesServeWhatTheyHave) {
  Initialize();
  ASSERT_EQ(Open(0, kUsb), 1);
  int32_t value = kUnwritten;
  for (const char* name : {"Shutter", "UB", "VR"}) EXPECT_EQ(getProperty(0, 0, name, &value), 0) << name;
  ASSERT_EQ(setProperty(0, 0, "Brightness", -20), 1);
  EXPECT_EQ(Value(kUsb, PropertySet::ProcAmp, 0), -20);
  ASSERT_EQ(getProperty(0, 0, "Brightness", &value), 1);
  EXPECT_EQ(value, -20);
  ASSERT_EQ(setProperty(0, 0, "Pan", 45), 1);
  EXPECT_EQ(Value(kUsb, PropertySet::CameraControl, 0), 45);
  int32_t minimum = 0, maximum = 0;
  ASSERT_EQ(getPropertyRange(0, 0, "Pan", &minimum, &maximum), 1);
  EXPECT_EQ(minimum, -180);
  EXPECT_EQ(maximum, 180);
  // No camera-information interface: registers cannot be read; 0 is written.
  ClearMessages();
  value = kUnwritten;
  EXPECT_EQ(getProperty(0, 0, "0xF0F00830", &value), 0);
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(Logged("getProperty[0,0] 0xF0F00830 failed\n"));
  EXPECT_EQ(setProperty(0, 0, "0xF0F00830", 1), 0);
}

class IntegerFormTest : public PropertiesTest {
  void PrepareBus() override {
    ASSERT_TRUE(sim::LoadBusFromText(R"({"cameras": [{
      "name": "Old 1394 Camera", "kind": "1394", "interfaces": {"format_config": false},
      "vendor": "Old Optics", "model": "OC-1", "number": 7,
      "formats": [{"subtype": "Y800", "width": 64, "height": 48}],
      "properties": [{"set": "exposure", "code": 2, "min": 0, "max": 400, "default": 10, "refuse": [13]}],
      "registers": [{"address": "0xF0F00830", "value": "0x80000000", "writable": "0x03FF0FFF"},
                    {"address": "0x830", "value": "0x0", "writable": "0xFFFFFFFF"}]}]})"));
  }
};

TEST_F(IntegerFormTest, IntegersPassUnchangedRegistersByAddressAndRefusedValues) {
  const Camera old{"Old 1394 Camera", "Old Optics OC-1 - 7"};
  WriteSettings(old.config, {"Gain=13", "Gain_flags=2"});
  Initialize();
  ASSERT_EQ(Open(0, old), 1);
  // The stored value was applied at open and refused by the camera.
  EXPECT_TRUE(Logged("Old Optics OC-1 - 7 Unable to set Gain (val=13 flags=0x2)\r\n"));
  ASSERT_EQ(setProperty(0, 0, "Gain", 400), 1);
  EXPECT_EQ(Value(old, PropertySet::Exposure, 2), 400);
  EXPECT_EQ(setProperty(0, 0, "Gain", 13), 0);  // this camera refuses 13
  int32_t value = 0;
  ASSERT_EQ(getProperty(0, 0, "Gain", &value), 1);
  EXPECT_EQ(value, 400);

  ASSERT_EQ(getProperty(0, 0, "0xF0F00830", &value), 1);  // TRIGGER_MODE, after open switched the trigger off
  EXPECT_EQ(static_cast<uint32_t>(value), 0x80000000u);
  ASSERT_EQ(setProperty(0, 0, "0X830", 0x1234), 1);
  uint32_t reg = 0;
  ASSERT_TRUE(sim::ReadRegister(old.friendly, 0x830, &reg));
  EXPECT_EQ(reg, 0x1234u);
  ASSERT_EQ(getProperty(0, 0, "0x830zz", &value), 1);  // digits up to the first other character
  EXPECT_EQ(value, 0x1234);
  value = kUnwritten;
  ASSERT_EQ(getProperty(0, 0, "0x", &value), 1);  // no digits: register 0, which reads 0 here
  EXPECT_EQ(value, 0);
  EXPECT_EQ(getProperty(0, 0, "0x123456789", &value), 0);  // beyond 32 bits: 0xFFFFFFFF, not a register
}

TEST_F(PropertiesTest, StoredPropertiesAreAppliedAtOpen) {
  WriteSettings(kColour.config, {"Gain=300", "Gain_flags=2", "Shutter=600", "Shutter_flags=2", "Brightness=200"});
  Initialize();
  ASSERT_EQ(Open(0, kColour), 1);
  // Gain 300 is beyond this camera's range: refused, reported, and the others still applied.
  EXPECT_TRUE(Logged("Kestrel Optics KC-640C - 10472 Unable to set Gain (val=300 flags=0x2)\r\n"));
  auto shutter = sim::GetProperty(kColour.friendly, PropertySet::Exposure, 1);
  EXPECT_EQ(shutter->value, 600.0);
  EXPECT_EQ(shutter->flags, 2);
  EXPECT_EQ(Value(kColour, PropertySet::Basic, 2), 200);
  EXPECT_EQ(Value(kColour, PropertySet::Exposure, 2), 0);  // Gain kept its value
}

TEST_F(PropertiesTest, LibrarySettings) {
  WriteSettings(kColour.config, {"SubType=" + settings::GuidToText(platform::MEDIASUBTYPE_YUY2)});
  Initialize();
  ASSERT_EQ(Open(0, kColour), 1);
  int32_t value = kUnwritten;
  ASSERT_EQ(getProperty(0, 0, "pixelsize", &value), 1);
  EXPECT_EQ(value, 8);
  struct Case {
    int32_t asked, result, bits;
  } cases[] = {{32, 0, 24}, {24, 1, 24}, {16, 0, 8}, {8, 1, 8}};
  for (const Case& c : cases) {
    EXPECT_EQ(setProperty(0, 0, "PixelSize", c.asked), c.result) << c.asked;
    ASSERT_EQ(getProperty(0, 0, "PixelSize", &value), 1);
    EXPECT_EQ(value, c.bits) << c.asked;
  }
  ASSERT_EQ(setProperty(0, 0, "lut", 5), 1);
  ASSERT_EQ(getProperty(0, 0, "LUT", &value), 1);
  EXPECT_EQ(value, 5);

  value = kUnwritten;
  EXPECT_EQ(getProperty(0, 0, "HWTrigger", &value), 1);  // not readable: an unknown name
  EXPECT_EQ(value, kUnwritten);
  ASSERT_EQ(setProperty(0, 0, "HWTrigger", 1), 1);
  uint32_t reg = 0;
  ASSERT_TRUE(sim::ReadRegister(kColour.friendly, 0xF0F00830, &reg));
  EXPECT_EQ(reg & 0x02000000u, 0x02000000u);
  ASSERT_EQ(setProperty(0, 0, "HWTrigger", 0), 1);
  ASSERT_TRUE(sim::ReadRegister(kColour.friendly, 0xF0F00830, &reg));
  EXPECT_EQ(reg & 0x02000000u, 0u);
}

TEST_F(PropertiesTest, CapabilityReportLinesMatchTheirFormats) {
  Initialize();
  ClearMessages();
  ASSERT_EQ(configureCamera(0, kColour.config), 0);
  const auto lines = Messages();
  auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  EXPECT_TRUE(has("--- IMPLEMENTED Interfaces for Kestrel Optics KC-640C - 10472 ---\r\n"));
  EXPECT_TRUE(has("IAMAnalogVideoDecoder     E_NOINTERFACE\r\n"));
  EXPECT_TRUE(has("IBaseFilter               S_OK\r\n"));
  EXPECT_TRUE(has("FiVideoFormatConfig       S_OK\r\n"));
  EXPECT_TRUE(has("--- RANGE Properties for Kestrel Optics KC-640C - 10472 ---\r\n"));
  // Step and default come as the driver's float bit patterns: 0.0625 and 0.0.
  EXPECT_TRUE(has("Gain                      range=0..24 ds=1031798784 def=0 flags=0x3\r\n"));
  EXPECT_TRUE(has("BacklightCompensation     E_PROP_SET_UNSUPPORTED\r\n"));
  EXPECT_TRUE(has("--- VALUE Properties for Kestrel Optics KC-640C - 10472 ---\r\n"));
  EXPECT_TRUE(has("--- Video Control Properties for Kestrel Optics KC-640C - 10472 ---\r\n"));
  EXPECT_TRUE(has("VideoControl Caps 0x4  S_OK\r\n"));
  EXPECT_TRUE(has("VideoControl Mode 0x0  S_OK\r\n"));

  ClearMessages();
  ASSERT_EQ(configureCamera(0, kUsb.config), 0);
  const auto usb = Messages();
  EXPECT_NE(std::find(usb.begin(), usb.end(), "FiVideoFormatConfig       E_NOINTERFACE\r\n"), usb.end());
  EXPECT_NE(std::find(usb.begin(), usb.end(), "Shutter                   E_PROP_SET_UNSUPPORTED\r\n"), usb.end());
  for (const auto& line : usb) EXPECT_EQ(line.find("--- Video Control"), std::string::npos);
  EXPECT_EQ(configureCamera(0, "no such camera"), 1);
}

std::atomic<int> g_images{0};
int32_t CountImage(int32_t, int32_t) {
  g_images.fetch_add(1);
  return 0;
}

// The host changes "PixelSize" and "LUT" again and again while the camera
// streams continuously: images keep completing, with no crash and no race.
TEST_F(PropertiesTest, ChangingPixelSizeWhileStreamingIsSafe) {
  WriteSettings(kColour.config, {"ContinousVideo=1", "SubType=" + settings::GuidToText(platform::MEDIASUBTYPE_YUY2)});
  Initialize();
  ASSERT_EQ(Open(0, kColour), 1);
  sim::SetRate(sim::Rate::Fast);
  ASSERT_EQ(setCompleteCallback(0, 0, CountImage), 1);
  ASSERT_EQ(setProperty(0, 0, "Continous", 1), 1);
  std::vector<uint8_t> row(640 * 3);
  for (int i = 0; i < 200; ++i) {
    const int32_t bits = i % 2 ? 24 : 8;
    ASSERT_EQ(setProperty(0, 0, "PixelSize", bits), 1);
    ASSERT_EQ(setProperty(0, 0, "LUT", i % 9), 1);
    EXPECT_EQ(getCVLGrabRow(0, 0, row.data(), i % 480, 0, 639), 1);
  }
  const int before = g_images.load();
  for (int i = 0; i < 1000 && g_images.load() < before + 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(g_images.load(), before + 3);  // still streaming
  ASSERT_EQ(setProperty(0, 0, "Continous", 0), 1);
  EXPECT_TRUE(closeCVLPort(0, 0));  // closing while frames stream
}

}  // namespace
}  // namespace kelvane::testing
