// The simulated camera filter: which interfaces each kind answers, the vendor
// record, the register file, the property interfaces and the format interfaces.
#include <bit>
#include <cstring>

#include "sim_fixture.h"
#include "test_names.h"

namespace kelvane::sim::testing {
namespace {

using CameraTest = SimTest;

constexpr const char* kFire = "Kestrel KC-640C";
constexpr const char* kMono = "Kestrel KM-1280M16";
constexpr const char* kUsb = "USB 2.0 Video Camera";

struct InterfaceCase {
  const char* camera;
  const char* label;
  IID iid;
  HRESULT expected;
};

void PrintTo(const InterfaceCase& c, std::ostream* os) { *os << c.camera << " " << c.label; }

const InterfaceCase kInterfaceCases[] = {
    {kFire, "IBaseFilter", IBaseFilter::iid, S_OK},
    {kFire, "IAMVideoControl", IAMVideoControl::iid, S_OK},
    {kFire, "IFiCameraInfo", IFiCameraInfo::iid, S_OK},
    {kFire, "IFiExposureControl", IFiExposureControl::iid, S_OK},
    {kFire, "IFiColorControl", IFiColorControl::iid, S_OK},
    {kFire, "IFiBasicControl", IFiBasicControl::iid, S_OK},
    {kFire, "IFiVideoFormatConfig", IFiVideoFormatConfig::iid, S_OK},
    {kFire, "IKsPropertySet", IID_IKsPropertySet, S_OK},
    {kFire, "ISpecifyPropertyPages", IID_ISpecifyPropertyPages, S_OK},
    {kFire, "IAMVideoProcAmp", IAMVideoProcAmp::iid, E_NOINTERFACE},
    {kFire, "IAMCameraControl", IAMCameraControl::iid, E_NOINTERFACE},
    {kFire, "IAMStreamConfig on the filter", IAMStreamConfig::iid, E_NOINTERFACE},
    {kFire, "IAMDroppedFrames", IID_IAMDroppedFrames, E_NOINTERFACE},
    {kFire, "IMediaSeeking", IID_IMediaSeeking, E_NOINTERFACE},
    {kMono, "IFiColorControl", IFiColorControl::iid, E_NOINTERFACE},
    {kMono, "IFiExposureControl", IFiExposureControl::iid, S_OK},
    {kUsb, "IBaseFilter", IBaseFilter::iid, S_OK},
    {kUsb, "IAMVideoProcAmp", IAMVideoProcAmp::iid, S_OK},
    {kUsb, "IAMCameraControl", IAMCameraControl::iid, S_OK},
    {kUsb, "IAMVideoControl", IAMVideoControl::iid, E_NOINTERFACE},
    {kUsb, "IFiCameraInfo", IFiCameraInfo::iid, E_NOINTERFACE},
    {kUsb, "IFiExposureControl", IFiExposureControl::iid, E_NOINTERFACE},
    {kUsb, "IFiVideoFormatConfig", IFiVideoFormatConfig::iid, E_NOINTERFACE},
    {kUsb, "IAMAnalogVideoDecoder", IID_IAMAnalogVideoDecoder, E_NOINTERFACE},
};

class CameraInterfaceTest : public SimTest, public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(CameraInterfaceTest, InterfacesPerCameraKind) {
  const InterfaceCase& c = GetParam();
  ComPtr<IBaseFilter> filter = BindCamera(c.camera);
  ASSERT_TRUE(filter);
  void* object = reinterpret_cast<void*>(1);
  const HRESULT hr = filter->QueryInterface(c.iid, &object);
  EXPECT_EQ(hr, c.expected);
  if (SUCCEEDED(hr)) {
    static_cast<IUnknown*>(object)->Release();
  } else {
    EXPECT_EQ(object, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Interfaces, CameraInterfaceTest, ::testing::ValuesIn(kInterfaceCases),
                         [](const ::testing::TestParamInfo<InterfaceCase>& param) {
                           return tests::TestName(std::string(param.param.camera) + " " + param.param.label);
                         });

TEST_F(CameraTest, CapturePinOffersStreamConfigAndVideoControlChecksThePin) {
  ComPtr<IBaseFilter> filter = BindCamera("Kestrel KC-640C");
  ComPtr<IPin> pin = OutputPin(filter.Get());
  ASSERT_TRUE(pin);
  PIN_INFO info;
  ASSERT_EQ(pin->QueryPinInfo(&info), S_OK);
  EXPECT_EQ(info.pFilter, filter.Get());
  EXPECT_EQ(info.dir, PINDIR_OUTPUT);
  info.pFilter->Release();
  ComPtr<IAMStreamConfig> config;
  EXPECT_EQ(QueryInto(pin.Get(), config), S_OK);
  ComPtr<IPin> peer;
  EXPECT_EQ(pin->ConnectedTo(peer.Put()), VFW_E_NOT_CONNECTED);
  AM_MEDIA_TYPE mt;
  EXPECT_EQ(pin->ConnectionMediaType(&mt), VFW_E_NOT_CONNECTED);

  ComPtr<IAMVideoControl> vc;
  ASSERT_EQ(filter.As(vc), S_OK);
  int32_t caps = 0, mode = -1;
  EXPECT_EQ(vc->GetCaps(pin.Get(), &caps), S_OK);
  EXPECT_EQ(caps, VideoControlFlag_ExternalTriggerEnable);
  EXPECT_EQ(vc->SetMode(pin.Get(), VideoControlFlag_ExternalTriggerEnable), S_OK);
  EXPECT_EQ(vc->GetMode(pin.Get(), &mode), S_OK);
  EXPECT_EQ(mode, 4);
  EXPECT_EQ(VideoControlMode("Kestrel KC-640C"), 4);
  EXPECT_EQ(vc->SetMode(pin.Get(), 8), E_INVALIDARG) << "a mode outside the caps";
  EXPECT_EQ(vc->SetMode(nullptr, 0), E_INVALIDARG) << "not this filter's pin";
}

TEST_F(CameraTest, VendorRecordLayout) {
  ComPtr<IBaseFilter> filter = BindCamera("Kestrel KC-640C");
  ComPtr<IFiCameraInfo> info;
  ASSERT_EQ(filter.As(info), S_OK);
  uint8_t record[kVendorInfoSize];
  std::memset(record, 0xAA, sizeof record);
  ASSERT_EQ(info->GetVendorInfo(record), S_OK);
  EXPECT_STREQ(reinterpret_cast<const char*>(record + kVendorNameOffset), "Kestrel Optics");
  EXPECT_STREQ(reinterpret_cast<const char*>(record + kModelNameOffset), "KC-640C");
  int32_t number = 0;
  std::memcpy(&number, record + kCameraNumberOffset, 4);
  EXPECT_EQ(number, 10472);
  EXPECT_EQ(record[0], 0) << "the rest of the record is cleared";
}

// The register file: presence and inquiry bits are read-only, fields are
// writable, undescribed registers read as zero or fail as described.
constexpr const char* kStrict = "Kestrel KC-320";                // unknown registers fail
constexpr const char* kLenient = "Kestrel KC-320 (old driver)";  // unknown registers read 0

struct RegisterCase {
  const char* what;
  const char* camera;
  uint32_t address;
  bool write;
  uint32_t value;
  HRESULT expected;
  uint32_t readBack;
};

void PrintTo(const RegisterCase& c, std::ostream* os) { *os << c.what; }

const RegisterCase kRegisterCases[] = {
    {"strict: trigger register as described", kStrict, 0xF0F00830, false, 0, S_OK, 0x8C1F0ABC},
    {"strict: trigger fields written", kStrict, 0xF0F00830, true, 0x8F1F0ABC, S_OK, 0x8F1F0ABC},
    {"strict: clearing keeps the read-only bits", kStrict, 0xF0F00830, true, 0x00000000, S_OK, 0x8C000000},
    {"strict: setting every bit sets the fields only", kStrict, 0xF0F00830, true, 0xFFFFFFFF, S_OK, 0x8FFF0FFF},
    {"strict: presence bit of register 800 stays", kStrict, 0xF0F00800, true, 0x7FFFFFFF, S_OK, 0x80000FFF},
    {"strict: undescribed register read fails", kStrict, 0xF0F00900, false, 0, E_FAIL, 0},
    {"strict: undescribed register write fails", kStrict, 0xF0F00900, true, 1, E_FAIL, 0},
    {"strict: unaligned address refused", kStrict, 0xF0F00832, false, 0, E_INVALIDARG, 0},
    {"lenient: default trigger register", kLenient, 0xF0F00830, false, 0, S_OK, 0x80000000},
    {"lenient: inquiry register is read-only", kLenient, 0xF0F00530, true, 0, S_OK, 0x8F00C000},
    {"lenient: undescribed register reads zero", kLenient, 0x00000000, false, 0, S_OK, 0},
    {"lenient: undescribed register write goes nowhere", kLenient, 0x00000830, true, 5, S_OK, 0},
};

class RegisterFileTest : public SimTest, public ::testing::WithParamInterface<RegisterCase> {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_TRUE(LoadBusFromFile(DataFile("legacy_bench.json")));
  }
};

TEST_P(RegisterFileTest, RegisterFileHasIidcSemantics) {
  const RegisterCase& c = GetParam();
  ComPtr<IBaseFilter> filter = BindCamera(c.camera);
  ComPtr<IFiCameraInfo> info;
  ASSERT_EQ(filter.As(info), S_OK);
  uint32_t v = 0xDEADBEEF;
  if (c.write) {
    EXPECT_EQ(info->WriteRegister(c.address, c.value), c.expected) << std::hex << c.address;
    if (SUCCEEDED(c.expected)) {
      ASSERT_EQ(info->ReadRegister(c.address, &v), S_OK);
      EXPECT_EQ(v, c.readBack) << std::hex << c.address;
    }
  } else {
    EXPECT_EQ(info->ReadRegister(c.address, &v), c.expected) << std::hex << c.address;
    if (SUCCEEDED(c.expected)) {
      EXPECT_EQ(v, c.readBack) << std::hex << c.address;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Registers, RegisterFileTest, ::testing::ValuesIn(kRegisterCases), tests::NameFromWhat());

// The test API sees and sets every bit.
TEST_F(CameraTest, TestApiSeesAndSetsEveryRegisterBit) {
  ASSERT_TRUE(LoadBusFromFile(DataFile("legacy_bench.json")));
  ASSERT_TRUE(PokeRegister(kStrict, 0xF0F00830, 0x00000000));
  uint32_t v = 1;
  ASSERT_TRUE(ReadRegister(kStrict, 0xF0F00830, &v));
  EXPECT_EQ(v, 0u);
  EXPECT_FALSE(ReadRegister(kStrict, 0xF0F00900, &v));
}

float AsFloat(int32_t bits) { return std::bit_cast<float>(bits); }
int32_t Bits(float f) { return std::bit_cast<int32_t>(f); }

TEST_F(CameraTest, DriverPropertiesTravelAsFloatBitsWithTheFormatInterface) {
  ComPtr<IBaseFilter> filter = BindCamera("Kestrel KC-640C");
  ComPtr<IFiExposureControl> exposure;
  ASSERT_EQ(filter.As(exposure), S_OK);
  int32_t mn, mx, step, def, flags;
  ASSERT_EQ(exposure->GetRange(2, &mn, &mx, &step, &def, &flags), S_OK);  // gain
  EXPECT_EQ(AsFloat(mn), 0.0f);
  EXPECT_EQ(AsFloat(mx), 24.0f);
  EXPECT_EQ(AsFloat(step), 0.0625f);
  EXPECT_EQ(flags, 3);
  ASSERT_EQ(exposure->Set(2, Bits(12.7f), 2), S_OK);
  int32_t value = 0;
  ASSERT_EQ(exposure->Get(2, &value, &flags), S_OK);
  EXPECT_EQ(AsFloat(value), 12.7f);
  EXPECT_EQ(exposure->Set(2, Bits(24.5f), 2), E_INVALIDARG) << "above the maximum";
  EXPECT_EQ(exposure->Set(2, Bits(std::numeric_limits<float>::quiet_NaN()), 2), E_INVALIDARG);
  EXPECT_EQ(exposure->Set(2, Bits(1.0f), 4), E_INVALIDARG) << "a flag outside the caps";
  EXPECT_EQ(exposure->Get(3, &value, &flags), E_PROP_ID_UNSUPPORTED) << "this camera has no iris";
  const auto state = GetProperty("Kestrel KC-640C", PropertySet::Exposure, 2);
  ASSERT_TRUE(state);
  EXPECT_FLOAT_EQ(static_cast<float>(state->value), 12.7f);
}

TEST_F(CameraTest, DriverPropertiesAreIntegersWithoutTheFormatInterfaceAndSomeValuesAreRefused) {
  ASSERT_TRUE(LoadBusFromFile(DataFile("legacy_bench.json")));
  ComPtr<IBaseFilter> filter = BindCamera("Kestrel KC-320");
  ComPtr<IFiExposureControl> exposure;
  ASSERT_EQ(filter.As(exposure), S_OK);
  int32_t mn, mx, step, def, flags, value;
  ASSERT_EQ(exposure->GetRange(1, &mn, &mx, &step, &def, &flags), S_OK);
  EXPECT_EQ(mn, 1);
  EXPECT_EQ(mx, 4095);
  EXPECT_EQ(def, 100);
  ASSERT_EQ(exposure->Set(2, 12, 2), S_OK);
  ASSERT_EQ(exposure->Get(2, &value, &flags), S_OK);
  EXPECT_EQ(value, 12);
  EXPECT_EQ(exposure->Set(2, 13, 2), E_FAIL) << "the camera refuses 13";
  ASSERT_EQ(exposure->Get(2, &value, &flags), S_OK);
  EXPECT_EQ(value, 12) << "a refused value changes nothing";
}

TEST_F(CameraTest, StandardPropertiesOnTheUsbCamera) {
  ComPtr<IBaseFilter> filter = BindCamera("USB 2.0 Video Camera");
  ComPtr<IAMVideoProcAmp> procAmp;
  ComPtr<IAMCameraControl> control;
  ASSERT_EQ(filter.As(procAmp), S_OK);
  ASSERT_EQ(filter.As(control), S_OK);
  int32_t mn, mx, step, def, caps, value, flags;
  ASSERT_EQ(procAmp->GetRange(0, &mn, &mx, &step, &def, &caps), S_OK);
  EXPECT_EQ(mn, -64);
  EXPECT_EQ(mx, 64);
  ASSERT_EQ(procAmp->Set(0, -10, 2), S_OK);
  ASSERT_EQ(procAmp->Get(0, &value, &flags), S_OK);
  EXPECT_EQ(value, -10);
  EXPECT_EQ(flags, 2);
  // Same property number, other interface: a separate table.
  ASSERT_EQ(control->Get(0, &value, &flags), S_OK);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(control->Get(6, &value, &flags), E_PROP_ID_UNSUPPORTED);
  InjectFault({.operation = "IAMVideoProcAmp::Set", .scope = "USB 2.0 Video Camera", .result = E_ACCESSDENIED});
  EXPECT_EQ(procAmp->Set(0, 1, 2), E_ACCESSDENIED);
  EXPECT_EQ(procAmp->Set(0, 1, 2), S_OK);
}

TEST_F(CameraTest, FormatListOfTheDriver) {
  ComPtr<IBaseFilter> filter = BindCamera("Kestrel KC-640C");
  ComPtr<IFiVideoFormatConfig> formats;
  ASSERT_EQ(filter.As(formats), S_OK);
  FiStreamCapsEntry* list = nullptr;
  uint32_t count = 0;
  ASSERT_EQ(formats->GetStreamCaps(&list, &count), S_OK);
  ASSERT_EQ(count, 9u);
  const GUID expected[] = {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_UYVY,  MEDIASUBTYPE_UYVY,
                           MEDIASUBTYPE_Y411, MEDIASUBTYPE_Y444,  MEDIASUBTYPE_I420,
                           MEDIASUBTYPE_Y800, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RAW8};
  for (uint32_t i = 0; i < count; ++i) {
    ASSERT_NE(list[i].mediaType, nullptr);
    EXPECT_TRUE(list[i].mediaType->subtype == expected[i]) << i;
    const VIDEOINFOHEADER* vih = VideoInfo(*list[i].mediaType);
    ASSERT_NE(vih, nullptr);
    const auto& caps = list[i].caps;
    // Only the last entry is a free-region mode (the rule the format code applies).
    const bool f7 = caps.MinOutputSize.cx != caps.MaxOutputSize.cx || caps.MinOutputSize.cy != caps.MaxOutputSize.cy ||
                    caps.CropGranularityX == caps.MaxOutputSize.cx || caps.CropGranularityY == caps.MaxOutputSize.cy;
    EXPECT_EQ(f7, i == 8) << i;
  }
  EXPECT_EQ(VideoInfo(*list[3].mediaType)->bmiHeader.biSizeImage, 640u * 480u * 3u / 2u) << "Y411: 12 bits";
  EXPECT_EQ(list[8].caps.MaxOutputSize.cx, 1024);
  EXPECT_EQ(list[8].caps.MaxOutputSize.cy, 768);
  const int64_t live = LiveObjects();
  EXPECT_EQ(formats->FreeStreamCaps(list), S_OK);
  EXPECT_EQ(LiveObjects(), live - 1) << "a list counts until it is given back";
  EXPECT_EQ(formats->FreeStreamCaps(list), E_INVALIDARG) << "given back twice";
}

TEST_F(CameraTest, Format7RegionPacketSizeAndFrameRate) {
  const char* kCam = "Kestrel KC-640C";
  ComPtr<IBaseFilter> filter = BindCamera(kCam);
  ComPtr<IFiVideoFormatConfig> formats;
  ASSERT_EQ(filter.As(formats), S_OK);
  int32_t index = -1;
  ASSERT_EQ(formats->GetDefaultFormat(&index), S_OK);
  EXPECT_EQ(index, 0);
  struct RectCase {
    RECT rect;
    HRESULT expected;
  };
  const RectCase rects[] = {
      {{0, 0, 1024, 768}, S_OK},        {{8, 2, 648, 482}, S_OK},         {{0, 0, 1032, 768}, E_INVALIDARG},
      {{4, 0, 644, 480}, E_INVALIDARG}, {{0, 0, 641, 480}, E_INVALIDARG}, {{16, 16, 16, 32}, E_INVALIDARG},
      {{-8, 0, 8, 2}, E_INVALIDARG},
  };
  for (const auto& c : rects)
    EXPECT_EQ(formats->SetCustomRect(8, c.rect), c.expected) << c.rect.left << "," << c.rect.top << "," << c.rect.right;
  EXPECT_EQ(formats->SetCustomRect(0, RECT{0, 0, 640, 480}), E_INVALIDARG) << "not a free-region mode";
  RECT r;
  ASSERT_EQ(formats->GetCustomRect(8, &r), S_OK);
  EXPECT_EQ(r.left, 8);
  EXPECT_EQ(r.bottom, 482);
  uint32_t mn = 0, mx = 0, size = 0;
  ASSERT_EQ(formats->GetF7PacketInfo(8, &mn, &mx), S_OK);
  EXPECT_EQ(mn, 64u);
  EXPECT_EQ(mx, 4096u);
  EXPECT_EQ(formats->SetF7PacketSize(8, 63), E_INVALIDARG);
  EXPECT_EQ(formats->SetF7PacketSize(8, 1024), S_OK);
  ASSERT_EQ(formats->GetF7PacketSize(8, &size), S_OK);
  EXPECT_EQ(size, 1024u);
  EXPECT_EQ(formats->GetF7PacketInfo(0, &mn, &mx), E_INVALIDARG);
  EXPECT_EQ(formats->SetCurrentFps(8, 5), E_INVALIDARG) << "60 fps is not offered in this mode";
  EXPECT_EQ(formats->SetCurrentFps(8, 2), S_OK);
  ASSERT_EQ(formats->SetDefaultFormat(8), S_OK);
  EXPECT_EQ(formats->SetDefaultFormat(9), E_INVALIDARG);
  const auto state = CurrentFormat(kCam);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->index, 8);
  EXPECT_EQ(state->width, 640);
  EXPECT_EQ(state->height, 480);
  EXPECT_EQ(state->packetSize, 1024u);
  EXPECT_EQ(state->fpsCode, 2);
  EXPECT_EQ(state->frameInterval, 1333333);
  // The stream configuration reports the region as the current format.
  ComPtr<IAMStreamConfig> config;
  ASSERT_EQ(QueryInto(OutputPin(filter.Get()).Get(), config), S_OK);
  AM_MEDIA_TYPE* mt = nullptr;
  ASSERT_EQ(config->GetFormat(&mt), S_OK);
  EXPECT_TRUE(mt->subtype == MEDIASUBTYPE_RAW8);
  const VIDEOINFOHEADER* vih = VideoInfo(*mt);
  ASSERT_NE(vih, nullptr);
  EXPECT_EQ(vih->bmiHeader.biWidth, 640);
  EXPECT_EQ(vih->bmiHeader.biHeight, 480);
  EXPECT_EQ(vih->rcSource.left, 8);
  EXPECT_EQ(vih->rcSource.top, 2);
  EXPECT_EQ(vih->AvgTimePerFrame, 1333333);
  DeleteMediaType(mt);
}

TEST_F(CameraTest, LegacyDriverRaisesOnRegionAndPacketSize) {
  ASSERT_TRUE(LoadBusFromFile(DataFile("faulty_bench.json")));
  ClearFaults();
  ComPtr<IBaseFilter> filter = BindCamera("Old format driver");
  ComPtr<IFiVideoFormatConfig> formats;
  ASSERT_EQ(filter.As(formats), S_OK);
  RECT r{0, 0, 64, 48};
  uint32_t size = 0;
  EXPECT_THROW(formats->SetCustomRect(0, r), PlatformError);
  EXPECT_THROW(formats->GetCustomRect(0, &r), PlatformError);
  EXPECT_THROW(formats->GetF7PacketSize(0, &size), PlatformError);
  uint32_t mn = 0, mx = 0;
  EXPECT_EQ(formats->GetF7PacketInfo(0, &mn, &mx), S_OK) << "the older operations still work";
}

TEST_F(CameraTest, StreamConfigListsAndSetsFormats) {
  const char* kCam = "USB 2.0 Video Camera";
  ComPtr<IBaseFilter> filter = BindCamera(kCam);
  ComPtr<IAMStreamConfig> config;
  ASSERT_EQ(QueryInto(OutputPin(filter.Get()).Get(), config), S_OK);
  int32_t count = 0, size = 0;
  ASSERT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(size, 128);
  VIDEO_STREAM_CONFIG_CAPS caps;
  AM_MEDIA_TYPE* mt = nullptr;
  EXPECT_EQ(config->GetStreamCaps(3, &mt, reinterpret_cast<uint8_t*>(&caps)), S_FALSE);
  ASSERT_EQ(config->GetStreamCaps(1, &mt, reinterpret_cast<uint8_t*>(&caps)), S_OK);
  EXPECT_EQ(caps.MaxOutputSize.cx, 320);
  EXPECT_EQ(caps.MinFrameInterval, 333333);
  EXPECT_EQ(caps.MaxFrameInterval, 2000000);
  VIDEOINFOHEADER* vih = VideoInfo(*mt);
  ASSERT_NE(vih, nullptr);
  struct Case {
    int64_t interval;
    int32_t width;
    HRESULT expected;
  };
  const Case cases[] = {
      {0, 320, S_OK}, {1000000, 320, S_OK}, {100000, 320, VFW_E_INVALIDMEDIATYPE}, {0, 322, VFW_E_INVALIDMEDIATYPE}};
  for (const auto& c : cases) {
    vih->AvgTimePerFrame = c.interval;
    vih->bmiHeader.biWidth = c.width;
    EXPECT_EQ(config->SetFormat(mt), c.expected) << c.interval << " " << c.width;
  }
  DeleteMediaType(mt);
  const auto state = CurrentFormat(kCam);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->index, 1);
  EXPECT_EQ(state->frameInterval, 1000000);
  ASSERT_EQ(config->GetFormat(&mt), S_OK);
  EXPECT_EQ(VideoInfo(*mt)->bmiHeader.biWidth, 320);
  DeleteMediaType(mt);
  EXPECT_EQ(config->SetFormat(nullptr), E_POINTER);
}

TEST_F(CameraTest, RaisingFaultOnADriverOperation) {
  InjectFault({.operation = "IFiVideoFormatConfig::GetStreamCaps",
               .scope = "Kestrel KC-640C",
               .result = S_OK,
               .raise = "old driver"});
  ComPtr<IBaseFilter> filter = BindCamera("Kestrel KC-640C");
  ComPtr<IFiVideoFormatConfig> formats;
  ASSERT_EQ(filter.As(formats), S_OK);
  FiStreamCapsEntry* list = nullptr;
  uint32_t count = 0;
  EXPECT_THROW(formats->GetStreamCaps(&list, &count), PlatformError);
  ASSERT_EQ(formats->GetStreamCaps(&list, &count), S_OK);
  EXPECT_EQ(formats->FreeStreamCaps(list), S_OK);
}

}  // namespace
}  // namespace kelvane::sim::testing
