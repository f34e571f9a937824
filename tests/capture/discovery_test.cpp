// Camera discovery: which devices take a slot, the names the host opens them
// by, and the exact lines the host's sink receives.
#include <set>

#include "capture_fixture.h"
#include "test_names.h"

namespace kelvane::capture::testing {
namespace {

// One camera of a test bus: a 1394 camera with a vendor record when `vendor`
// is set, otherwise a plain USB camera known only by its friendly name.
struct BusCamera {
  std::string friendly;
  std::string vendor;
  std::string model;
  int32_t number = 0;
};

std::string BusOf(const std::vector<BusCamera>& cameras) {
  std::string json = R"({"cameras": [)";
  for (size_t i = 0; i < cameras.size(); ++i) {
    const BusCamera& c = cameras[i];
    if (i) json += ",";
    json += R"({"name": ")" + c.friendly + R"(", )";
    if (c.vendor.empty()) {
      json += R"("kind": "usb", "formats": [{"subtype": "YUY2", "width": 64, "height": 48, "interval": 333333}]})";
    } else {
      json += R"("kind": "1394", "vendor": ")" + c.vendor + R"(", "model": ")" + c.model + R"(", "number": )" +
              std::to_string(c.number) + R"(, "formats": [{"subtype": "Y800", "width": 64, "height": 48}]})";
    }
  }
  return json + "]}";
}

TEST_F(CaptureTest, DefaultBenchIsDiscoveredWithItsInterfacesAndExactMessages) {
  ASSERT_EQ(Enumerate(), S_OK);
  ASSERT_EQ(count_, 3u);
  EXPECT_EQ(ConfigNames(), (std::vector<std::string>{"Kestrel Optics KC-640C - 10472",
                                                     "Kestrel Optics KM-1280M16 - 20931", "USB 2.0 Video Camera"}));
  for (uint32_t i = 0; i < count_; ++i) EXPECT_EQ(names_[i], records_[i]->ConfigName) << "entry points at the record";

  const CameraRecord& colour = *records_[0];
  EXPECT_TRUE(colour.CaptureFilter && colour.VideoControl && colour.CapturePin && colour.CameraInfo &&
              colour.ExposureControl && colour.ColorControl && colour.BasicControl && colour.FormatConfig);
  EXPECT_FALSE(records_[1]->ColorControl);
  const CameraRecord& usb = *records_[2];
  EXPECT_TRUE(usb.CaptureFilter && usb.CapturePin);
  EXPECT_FALSE(usb.VideoControl || usb.CameraInfo || usb.ExposureControl || usb.ColorControl || usb.BasicControl ||
               usb.FormatConfig);
  PIN_DIRECTION dir = PINDIR_INPUT;
  ASSERT_EQ(colour.CapturePin->QueryDirection(&dir), S_OK);
  EXPECT_EQ(dir, PINDIR_OUTPUT);

  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "0: Kestrel KC-640C Kestrel Optics KC-640C - 10472\r\n",
                       "Unable to get color interface for Kestrel KM-1280M16\r\n",
                       "1: Kestrel KM-1280M16 Kestrel Optics KM-1280M16 - 20931\r\n",
                       "Unable to get VideoControl interface - E_NOINTERFACE [0x80004002]\r\n",
                       "Unable to get camerainfo interface for USB 2.0 Video Camera\r\n",
                       "Unable to get exposure interface for USB 2.0 Video Camera\r\n",
                       "Unable to get color interface for USB 2.0 Video Camera\r\n",
                       "Unable to get basic interface for USB 2.0 Video Camera\r\n",
                       "2: USB 2.0 Video Camera USB 2.0 Video Camera\r\n",
                   }));
}

// A vendor and model name of the longest the vendor record holds, and the
// name they make, cut to the room the suffix " #n" leaves in the field.
const std::string kV63(63, 'V'), kM63(63, 'M');
const std::string kLongName = (kV63 + " " + kM63 + " - 2147483647").substr(0, 123);

struct ConfigNameCase {
  const char* what;
  std::vector<BusCamera> cameras;
  std::vector<std::string> expected;
};

void PrintTo(const ConfigNameCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const ConfigNameCase kConfigNameCases[] = {
    {"two of one name", {{"A", "Ven", "Mod", 7}, {"B", "Ven", "Mod", 7}}, {"Ven Mod - 7", "Ven Mod - 7 #2"}},
    {"three of one name",
     {{"A", "Ven", "Mod", 7}, {"B", "Ven", "Mod", 7}, {"C", "Ven", "Mod", 7}},
     {"Ven Mod - 7", "Ven Mod - 7 #2", "Ven Mod - 7 #3"}},
    {"number 1 after number 12 is contained in it",
     {{"A", "Ven", "Mod", 12}, {"B", "Ven", "Mod", 1}},
     {"Ven Mod - 12", "Ven Mod - 1 #2"}},
    {"number 12 after number 1 is not", {{"A", "Ven", "Mod", 1}, {"B", "Ven", "Mod", 12}},
     {"Ven Mod - 1", "Ven Mod - 12"}},
    {"negative number", {{"A", "Ven", "Mod", -5}}, {"Ven Mod - -5"}},
    {"without camera information the friendly name stays", {{"Generic Cam", "", "", 0}}, {"Generic Cam"}},
    {"two plain cameras of one friendly name", {{"Cam", "", "", 0}, {"Cam", "", "", 0}}, {"Cam", "Cam #2"}},
    {"a suffix already taken moves on to the next free number",
     {{"Ven Mod - 1 #2", "", "", 0}, {"B", "Ven", "Mod", 1}},
     {"Ven Mod - 1 #2", "Ven Mod - 1 #3"}},
    {"a name too long for the field keeps its suffix visible",
     {{"A", kV63, kM63, 2147483647}, {"B", kV63, kM63, 2147483647}, {"C", kV63, kM63, 2147483647}},
     {kLongName, kLongName + " #2", kLongName + " #3"}},
};
// clang-format on

class ConfigNameTest : public CaptureTest, public ::testing::WithParamInterface<ConfigNameCase> {};

TEST_P(ConfigNameTest, ConfigNamesAreComposedAndKeptUnique) {
  const ConfigNameCase& c = GetParam();
  LoadBus(BusOf(c.cameras));
  ASSERT_EQ(Enumerate(), S_OK);
  EXPECT_EQ(ConfigNames(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfigNameTest, ::testing::ValuesIn(kConfigNameCases), tests::NameFromWhat());

TEST_F(CaptureTest, TwelveCamerasOfOneOverlongNameGetTwelveNames) {
  // Twelve cameras of one over-long name: " #10" to " #12" still fit, every name differs.
  std::vector<BusCamera> twelve;
  for (int i = 0; i < 12; ++i) twelve.push_back({"Cam " + std::to_string(i), kV63, kM63, 2147483647});
  LoadBus(BusOf(twelve));
  ASSERT_EQ(Enumerate(), S_OK);
  const auto names = ConfigNames();
  ASSERT_EQ(names.size(), 12u);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 12u);
  EXPECT_EQ(names[11], kLongName + " #12");
  for (const auto& n : names) EXPECT_LE(n.size(), 127u);
}

struct DeviceFaultCase {
  const char* what;
  std::vector<sim::Fault> faults;
  HRESULT result;
  std::vector<std::string> names;
  std::vector<std::string> lines;  // among the messages
};

void PrintTo(const DeviceFaultCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const DeviceFaultCase kDeviceFaultCases[] = {
    {"binding fails: the slot is kept under the friendly name",
     {MakeFault("IMoniker::BindToObject", "Cam B", 1, E_ACCESSDENIED)}, S_OK,
     {"Ven A - 1", "Cam B", "Ven C - 3"},
     {"Unable to bind to camera - E_ACCESSDENIED [0x80070005]\r\n", "1: Cam B Cam B\r\n"}},
    {"friendly name unreadable: no slot", {MakeFault("IPropertyBag::Read", "Cam B")}, S_OK,
     {"Ven A - 1", "Ven C - 3"}, {"1: Cam C Ven C - 3\r\n"}},
    {"property bag unavailable: no slot", {MakeFault("IMoniker::BindToStorage", "Cam A")}, S_OK,
     {"Ven B - 2", "Ven C - 3"}, {"0: Cam B Ven B - 2\r\n"}},
    {"reading the name raises: no slot", {RaiseFault("IPropertyBag::Read", "Cam B", "bag gone")}, S_OK,
     {"Ven A - 1", "Ven C - 3"}, {"Exception enumerating camera - bag gone", "1: Cam C Ven C - 3\r\n"}},
    {"raising half-way through a record drops what was taken",
     {RaiseFault("IFiCameraInfo::GetVendorInfo", "Cam A", "driver fault")}, S_OK, {"Ven B - 2", "Ven C - 3"},
     {"Exception enumerating camera - driver fault", "0: Cam B Ven B - 2\r\n"}},
    {"vendor record unreadable: friendly name", {MakeFault("IFiCameraInfo::GetVendorInfo", "Cam C")}, S_OK,
     {"Ven A - 1", "Ven B - 2", "Cam C"}, {"Unable to get vendor info for Cam C\r\n"}},
    {"no device enumerator", {MakeFault("CoCreateInstance", "SystemDeviceEnum", 1, REGDB_E_CLASSNOTREG)},
     REGDB_E_CLASSNOTREG, {}, {"EnumCameras:IID_ICreateDevEnum - REGDB_E_CLASSNOTREG [0x80040154]\r\n"}},
    {"category enumeration fails", {MakeFault("ICreateDevEnum::CreateClassEnumerator", "")}, S_OK, {},
     {"No cameras found\r\n"}},
    {"the moniker list fails", {MakeFault("IEnumMoniker::Next", "")}, S_OK, {}, {}},
};
// clang-format on

class DeviceFaultTest : public CaptureTest, public ::testing::WithParamInterface<DeviceFaultCase> {};

TEST_P(DeviceFaultTest, DevicesThatFailAreRecordedOrSkippedAsEachStepSays) {
  const DeviceFaultCase& c = GetParam();
  const std::vector<BusCamera> bus = {{"Cam A", "Ven", "A", 1}, {"Cam B", "Ven", "B", 2}, {"Cam C", "Ven", "C", 3}};
  LoadBus(BusOf(bus));
  ClearLog();
  sim::ClearFaults();
  for (const auto& f : c.faults) sim::InjectFault(f);
  EXPECT_EQ(Enumerate(), c.result);
  EXPECT_EQ(ConfigNames(), c.names);
  for (const auto& line : c.lines) EXPECT_TRUE(Logged(line)) << "missing: " << line;
  for (uint32_t i = 0; i < count_; ++i)
    EXPECT_EQ(records_[i]->CaptureFilter == nullptr, std::string(records_[i]->ConfigName) == "Cam B");
}

INSTANTIATE_TEST_SUITE_P(Steps, DeviceFaultTest, ::testing::ValuesIn(kDeviceFaultCases), tests::NameFromWhat());

TEST_F(CaptureTest, NoCameraAtAllIsNotAFailure) {
  LoadBus(R"({"cameras": []})");
  EXPECT_EQ(Enumerate(), S_OK);
  EXPECT_EQ(count_, 0u);
  EXPECT_EQ(Log(), std::vector<std::string>{"No cameras found\r\n"});
}

struct TwentyFiveCase {
  const char* what;
  const char* unreadable;
  const char* last;
};

void PrintTo(const TwentyFiveCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const TwentyFiveCase kTwentyFiveCases[] = {
    {"all readable", nullptr, "Cam 24"},
    {"the fourth unreadable", "Cam 3", "Cam 25"},
};
// clang-format on

class TwentyFiveTest : public CaptureTest, public ::testing::WithParamInterface<TwentyFiveCase> {};

TEST_P(TwentyFiveTest, OnlyTheFirstTwentyFiveReadableDevicesAreRecorded) {
  const TwentyFiveCase& c = GetParam();
  std::vector<BusCamera> thirty;
  for (int i = 0; i < 30; ++i) thirty.push_back({"Cam " + std::to_string(i), "", "", 0});
  LoadBus(BusOf(thirty));
  sim::ClearFaults();
  if (c.unreadable) sim::InjectFault(MakeFault("IPropertyBag::Read", c.unreadable));
  ASSERT_EQ(Enumerate(), S_OK);
  ASSERT_EQ(count_, 25u);
  EXPECT_EQ(ConfigNames().back(), c.last);
  const auto names = ConfigNames();
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).count(c.unreadable ? c.unreadable : ""), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, TwentyFiveTest, ::testing::ValuesIn(kTwentyFiveCases), tests::NameFromWhat());

enum class PinFilter { Grabber, Renderer };

struct PinCase {
  const char* what;
  PinFilter filter;
  PIN_DIRECTION direction;
  std::vector<sim::Fault> faults;
  HRESULT result;
};

void PrintTo(const PinCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const PinCase kPinCases[] = {
    {"grabber input", PinFilter::Grabber, PINDIR_INPUT, {}, S_OK},
    {"grabber output", PinFilter::Grabber, PINDIR_OUTPUT, {}, S_OK},
    {"renderer has no output", PinFilter::Renderer, PINDIR_OUTPUT, {}, E_FAIL},
    {"pins cannot be listed", PinFilter::Grabber, PINDIR_INPUT,
     {MakeFault("IBaseFilter::EnumPins", "SampleGrabber", 1, E_OUTOFMEMORY)}, E_OUTOFMEMORY},
    {"an unreadable direction is passed over", PinFilter::Grabber, PINDIR_INPUT,
     {MakeFault("IPin::QueryDirection", "SampleGrabber")}, E_FAIL},
};
// clang-format on

class GetPinTest : public CaptureTest, public ::testing::WithParamInterface<PinCase> {};

TEST_P(GetPinTest, GetPinFindsTheFirstPinOfADirection) {
  const PinCase& c = GetParam();
  ComPtr<IBaseFilter> grabber, renderer;
  ASSERT_EQ(CoCreateInstance(CLSID_SampleGrabber, IBaseFilter::iid, grabber.PutVoid()), S_OK);
  ASSERT_EQ(CoCreateInstance(CLSID_NullRenderer, IBaseFilter::iid, renderer.PutVoid()), S_OK);
  sim::ClearFaults();
  for (const auto& f : c.faults) sim::InjectFault(f);
  ComPtr<IPin> pin;
  IBaseFilter* filter = c.filter == PinFilter::Grabber ? grabber.Get() : renderer.Get();
  EXPECT_EQ(GetPin(filter, c.direction, pin.Put()), c.result);
  EXPECT_EQ(static_cast<bool>(pin), c.result == S_OK);
  PIN_DIRECTION dir = PINDIR_INPUT;
  if (pin) {
    ASSERT_EQ(pin->QueryDirection(&dir), S_OK);
    EXPECT_EQ(dir, c.direction);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, GetPinTest, ::testing::ValuesIn(kPinCases), tests::NameFromWhat());

}  // namespace
}  // namespace kelvane::capture::testing
