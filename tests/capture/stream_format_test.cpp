// Stream formats: which format the camera ends up in for given settings, on the
// driver's format interface and on the standard stream configuration, every
// retried driver call with its log line, reading the format back, and names.
#include "capture/stream_format.h"

#include <climits>

#include "capture_fixture.h"
#include "settings/camera_settings.h"
#include "test_names.h"

namespace kelvane::capture::testing {
namespace {

constexpr const char* kColour = "Kestrel KC-640C";
constexpr const char* kUsb = "USB 2.0 Video Camera";

// The default colour camera's formats: 0 YUY2 640x480 (current), 1 UYVY 640x480,
// 2 UYVY 320x240, 3 Y411, 4 Y444, 5 I420, 6 Y800 640x480, 7 RGB24, 8 RAW8 free
// region up to 1024x768 (packets 64..4096, now 2048). Rate codes now 4 (2: 3).
struct Wanted {
  GUID subtype;
  int32_t left = 0, top = 0, width = 0, height = 0;
  int32_t avgTimePerFrame = 0;
  int32_t packetSize = 0;
  int32_t defFmt = -1;
};

void Apply(settings::CameraSettings& s, const Wanted& w) {
  s.SubType = w.subtype;
  s.Left = w.left;
  s.Top = w.top;
  s.Width = w.width;
  s.Height = w.height;
  s.AvgTimePerFrame = w.avgTimePerFrame;
  s.PacketSize = w.packetSize;
  s.DefFmt = w.defFmt;
}

struct Expected {
  int32_t index;
  RECT rect;
  uint32_t packet = 0;   // checked for free-region formats
  int32_t fpsCode = -1;  // checked when not -1
  int64_t interval = 0;  // checked when not 0
};

void ExpectFormat(const char* camera, const Expected& e) {
  auto f = sim::CurrentFormat(camera);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->index, e.index);
  EXPECT_EQ(f->rect.left, e.rect.left);
  EXPECT_EQ(f->rect.top, e.rect.top);
  EXPECT_EQ(f->rect.right, e.rect.right);
  EXPECT_EQ(f->rect.bottom, e.rect.bottom);
  if (e.packet) {
    EXPECT_EQ(f->packetSize, e.packet);
  }
  if (e.fpsCode != -1) {
    EXPECT_EQ(f->fpsCode, e.fpsCode);
  }
  if (e.interval) {
    EXPECT_EQ(f->frameInterval, e.interval);
  }
}

const RECT kVga{0, 0, 640, 480};
const RECT kQvga{0, 0, 320, 240};
const RECT kSensor{0, 0, 1024, 768};
const RECT kRegion{16, 8, 656, 488};

struct FormatCase {
  const char* what;
  Wanted wanted;
  std::vector<sim::Fault> faults;
  HRESULT result;
  Expected format;
  std::vector<std::string> log;  // exactly
  int pendingAfter = 0;          // faults not consumed (calls not made)
  int listsKept = 0;             // format lists the driver would not take back
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.what; }

const GUID kUyvy = MEDIASUBTYPE_UYVY, kRaw8 = MEDIASUBTYPE_RAW8, kY800 = MEDIASUBTYPE_Y800;
constexpr const char* kSetCustomRect = "IFiVideoFormatConfig::SetCustomRect";

// A driver call on the colour camera failing `count` times.
sim::Fault DriverFault(const char* operation, int count, HRESULT result = E_FAIL) {
  return MakeFault(operation, kColour, count, result);
}

// A call of the driver's format interface raising, as an older driver does.
sim::Fault DriverRaise(const char* method) {
  return RaiseFault(std::string("IFiVideoFormatConfig::") + method, kColour, "old driver");
}

std::string Raised(const char* method) {
  return std::string(method) + " raised an error in the camera driver: old driver\r\n";
}

// clang-format off
const FormatCase kVendorCases[] = {
    {"fixed size: rate code set", {kUyvy, 0, 0, 320, 240, 5}, {}, S_OK, {2, kQvga, 0, 5}, {}},
    {"rate code 7 or more leaves the rate", {kY800, 0, 0, 640, 480, 7}, {}, S_OK, {6, kVga, 0, 4}, {}},
    {"rate code -1 is above 6 unsigned", {kY800, 0, 0, 640, 480, -1}, {}, S_OK, {6, kVga, 0, 4}, {}},
    {"an earlier entry of another size fails a later entry that needs no call",
     {kUyvy, 0, 0, 320, 240, 7}, {}, VFW_E_INVALIDMEDIATYPE, {0, kVga, 0, 4}, {}},
    {"width 0: first entry of the subtype, nothing but the default set", {kUyvy, 0, 0, 0, 0, 5}, {}, S_OK,
     {1, kVga, 0, 4}, {}},
    {"no default format: a free-region mode of the exact size is not taken", {kRaw8, 0, 0, 1024, 768, 3},
     {}, VFW_E_INVALIDMEDIATYPE, {0, kVga}, {}},
    {"free region and packet size", {kRaw8, 16, 8, 640, 480, 3, 1024, 8}, {}, S_OK, {8, kRegion, 1024}, {}},
    {"packet size 0 below the driver's minimum is not applied", {kRaw8, 16, 8, 640, 480, 3, 0, 8}, {}, S_OK,
     {8, kRegion, 2048}, {}},
    {"packet size above the maximum is not applied", {kRaw8, 16, 8, 640, 480, 3, 8192, 8}, {}, S_OK,
     {8, kRegion, 2048}, {}},
    {"negative packet size is huge unsigned", {kRaw8, 16, 8, 640, 480, 3, -1, 8}, {}, S_OK, {8, kRegion, 2048}, {}},
    {"packet size at exactly the minimum is applied", {kRaw8, 16, 8, 640, 480, 3, 64, 8}, {}, S_OK,
     {8, kRegion, 64}, {}},
    {"packet size at exactly the maximum is applied", {kRaw8, 16, 8, 640, 480, 3, 4096, 8}, {}, S_OK,
     {8, kRegion, 4096}, {}},
    {"region ending exactly at the sensor's edge", {kRaw8, 384, 288, 640, 480, 3, 1024, 8}, {}, S_OK,
     {8, RECT{384, 288, 1024, 768}, 1024}, {}},
    {"region one pixel past the sensor's edge", {kRaw8, 385, 288, 640, 480, 3, 1024, 8}, {},
     VFW_E_INVALIDMEDIATYPE, {0, kVga}, {}},
    {"region past the sensor", {kRaw8, 512, 0, 640, 480, 3, 1024, 8}, {}, VFW_E_INVALIDMEDIATYPE, {0, kVga}, {}},
    {"region past the 32-bit range", {kRaw8, INT_MAX, 0, 8, 2, 3, 1024, 8}, {}, VFW_E_INVALIDMEDIATYPE,
     {0, kVga}, {}},
    {"SetCustomRect fails twice, the third call succeeds and is still logged",
     {kRaw8, 16, 8, 640, 480, 3, 1024, 8}, {DriverFault(kSetCustomRect, 2)}, S_OK, {8, kRegion, 1024},
     {"SetCustomRect - S_OK [0x0]\r\n"}},
    {"SetCustomRect fails every time: three calls, the format is still taken",
     {kRaw8, 16, 8, 640, 480, 3, 1024, 8}, {DriverFault(kSetCustomRect, 5)}, S_OK, {8, kSensor, 1024},
     {"SetCustomRect - E_FAIL [0x80004005]\r\n"}, 2},
    {"SetCustomRect raises on an older driver", {kRaw8, 16, 8, 640, 480, 3, 1024, 8},
     {RaiseFault(kSetCustomRect, kColour, "no such operation")}, S_OK, {8, kSensor, 1024},
     {"Format 7 CustomRect is not supported by current UNIBRAIN driver!\n"}},
    {"SetCustomRect fails, then raises on the retry", {kRaw8, 16, 8, 640, 480, 3, 1024, 8},
     {DriverFault(kSetCustomRect, 1), RaiseFault(kSetCustomRect, kColour, "no such operation")}, S_OK,
     {8, kSensor, 1024},
     {"Format 7 CustomRect is not supported by current UNIBRAIN driver!\n"}},
    {"GetF7PacketInfo fails twice", {kRaw8, 16, 8, 640, 480, 3, 1024, 8},
     {DriverFault("IFiVideoFormatConfig::GetF7PacketInfo", 2)}, S_OK, {8, kRegion, 1024},
     {"GetF7PacketInfo - S_OK [0x0]\r\n"}},
    {"GetF7PacketInfo fails three times: not taken", {kRaw8, 16, 8, 640, 480, 3, 1024, 8},
     {DriverFault("IFiVideoFormatConfig::GetF7PacketInfo", 3)}, VFW_E_INVALIDMEDIATYPE, {0, kVga},
     {"GetF7PacketInfo - E_FAIL [0x80004005]\r\n"}},
    {"SetF7PacketSize fails twice", {kRaw8, 16, 8, 640, 480, 3, 1024, 8},
     {DriverFault("IFiVideoFormatConfig::SetF7PacketSize", 2)}, S_OK, {8, kRegion, 1024},
     {"SetF7PacketSize - S_OK [0x0]\r\n"}},
    {"SetF7PacketSize fails three times: not taken", {kRaw8, 16, 8, 640, 480, 3, 1024, 8},
     {DriverFault("IFiVideoFormatConfig::SetF7PacketSize", 3, E_INVALIDARG)}, VFW_E_INVALIDMEDIATYPE, {0, kVga},
     {"SetF7PacketSize - E_INVALIDARG [0x80070057]\r\n"}},
    {"SetCurrentFps fails twice", {kUyvy, 0, 0, 320, 240, 5}, {DriverFault("IFiVideoFormatConfig::SetCurrentFps", 2)},
     S_OK, {2, kQvga, 0, 5}, {"SetCurrentFps - S_OK [0x0]\r\n"}},
    {"SetCurrentFps fails three times: not taken", {kUyvy, 0, 0, 320, 240, 5},
     {DriverFault("IFiVideoFormatConfig::SetCurrentFps", 3)}, VFW_E_INVALIDMEDIATYPE, {0, kVga, 0, 4},
     {"SetCurrentFps - E_FAIL [0x80004005]\r\n"}},
    {"SetDefaultFormat fails twice", {kUyvy, 0, 0, 320, 240, 5},
     {DriverFault("IFiVideoFormatConfig::SetDefaultFormat", 2)}, S_OK, {2, kQvga, 0, 5},
     {"SetDefaultFormat - S_OK [0x0]\r\n"}},
    {"SetDefaultFormat fails three times: still taken", {kUyvy, 0, 0, 320, 240, 5},
     {DriverFault("IFiVideoFormatConfig::SetDefaultFormat", 3)}, S_OK, {0, kVga},
     {"SetDefaultFormat - E_FAIL [0x80004005]\r\n"}},
    {"format list unavailable", {kUyvy, 0, 0, 320, 240, 5}, {DriverFault("IFiVideoFormatConfig::GetStreamCaps", 1)},
     E_FAIL, {0, kVga}, {}},
    // A call the driver raises on counts as that call failing, without retries.
    {"GetStreamCaps raises", {kUyvy, 0, 0, 320, 240, 5}, {DriverRaise("GetStreamCaps")}, E_NOTIMPL, {0, kVga},
     {Raised("GetStreamCaps")}},
    {"GetF7PacketInfo raises: not taken", {kRaw8, 16, 8, 640, 480, 3, 1024, 8}, {DriverRaise("GetF7PacketInfo")},
     VFW_E_INVALIDMEDIATYPE, {0, kVga}, {Raised("GetF7PacketInfo")}},
    {"SetF7PacketSize raises: not taken", {kRaw8, 16, 8, 640, 480, 3, 1024, 8}, {DriverRaise("SetF7PacketSize")},
     VFW_E_INVALIDMEDIATYPE, {0, kVga}, {Raised("SetF7PacketSize")}},
    {"SetCurrentFps raises: not taken", {kUyvy, 0, 0, 320, 240, 5}, {DriverRaise("SetCurrentFps")},
     VFW_E_INVALIDMEDIATYPE, {0, kVga, 0, 4}, {Raised("SetCurrentFps")}},
    {"SetDefaultFormat raises: still taken", {kUyvy, 0, 0, 320, 240, 5}, {DriverRaise("SetDefaultFormat")}, S_OK,
     {0, kVga}, {Raised("SetDefaultFormat")}},
    {"FreeStreamCaps raises: its result counts", {kUyvy, 0, 0, 320, 240, 5}, {DriverRaise("FreeStreamCaps")},
     E_NOTIMPL, {2, kQvga, 0, 5}, {Raised("FreeStreamCaps")}, 0, 1},
};
// clang-format on

class VendorFormatTest : public CaptureTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(VendorFormatTest, VendorPathChoosesAndConfiguresTheFormat) {
  const FormatCase& c = GetParam();
  sim::LoadDefaultBus();
  sim::ClearFaults();
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Camera(kColour);
  Apply(camera.Settings, c.wanted);
  for (const auto& f : c.faults) sim::InjectFault(f);
  ClearLog();
  const int64_t objects = sim::LiveObjects();
  EXPECT_EQ(ApplyStreamFormat(camera, c.wanted.subtype), c.result);
  EXPECT_EQ(sim::LiveObjects(), objects + c.listsKept) << "format lists not given back";
  EXPECT_EQ(Log(), c.log);
  ExpectFormat(kColour, c.format);
  int pending = 0;
  for (const auto& f : c.faults) pending = std::max(pending, sim::PendingFaults(f.operation));
  EXPECT_EQ(pending, c.pendingAfter) << "number of driver calls";
}

INSTANTIATE_TEST_SUITE_P(Cases, VendorFormatTest, ::testing::ValuesIn(kVendorCases), tests::NameFromWhat());

// A 1394 camera without the driver's format interface goes the standard way too.
const std::string kStandardBus = R"({"cameras": [
    {"name": "USB 2.0 Video Camera", "kind": "usb", "formats": [
      {"subtype": "YUY2", "width": 640, "height": 480, "interval": 333333, "min_interval": 333333, "max_interval": 2000000},
      {"subtype": "YUY2", "width": 320, "height": 240, "interval": 333333, "min_interval": 333333, "max_interval": 2000000},
      {"subtype": "RGB24", "width": 640, "height": 480, "interval": 666666, "min_interval": 666666, "max_interval": 2000000}]},
    {"name": "Plain 1394", "kind": "1394", "interfaces": {"format_config": false}, "formats": [
      {"subtype": "Y800", "width": 640, "height": 480, "interval": 333333, "min_interval": 333333, "max_interval": 2000000},
      {"subtype": "RAW8", "format7": {"max_width": 1024, "max_height": 768, "unit_x": 8, "unit_y": 2},
       "interval": 333333, "min_interval": 333333, "max_interval": 2000000}]}]})";
const GUID kYuy2 = MEDIASUBTYPE_YUY2, kRgb24 = MEDIASUBTYPE_RGB24;

struct StandardCase {
  const char* camera;
  FormatCase c;
};

void PrintTo(const StandardCase& k, std::ostream* os) { *os << k.c.what; }

// clang-format off
const StandardCase kStandardCases[] = {
    {kUsb, {"same size: frame interval set", {kYuy2, 0, 0, 320, 240, 1000000}, {}, S_OK,
            {1, kQvga, 0, -1, 1000000}, {}}},
    {kUsb, {"same size, interval 0: nothing set but accepted", {kYuy2, 0, 0, 320, 240, 0}, {}, S_OK,
            {0, kVga, 0, -1, 333333}, {}}},
    {kUsb, {"width 0: the entry as offered", {kRgb24, 0, 0, 0, 0, 0}, {}, S_OK, {2, kVga, 0, -1, 666666}, {}}},
    {kUsb, {"interval the camera refuses", {kRgb24, 0, 0, 640, 480, 50000}, {}, VFW_E_INVALIDMEDIATYPE,
            {0, kVga}, {}}},
    {kUsb, {"no entry of that size", {kYuy2, 0, 0, 800, 600, 333333}, {}, VFW_E_INVALIDMEDIATYPE, {0, kVga}, {}}},
    {kUsb, {"each entry renews the status", {kYuy2, 0, 0, 320, 240, 1000000},
            {MakeFault("IAMStreamConfig::GetStreamCaps", kUsb)}, S_OK, {1, kQvga, 0, -1, 1000000}, {}}},
    {kUsb, {"capabilities unavailable", {kYuy2, 0, 0, 320, 240, 1000000},
            {MakeFault("IAMStreamConfig::GetNumberOfCapabilities", kUsb)}, E_FAIL, {0, kVga}, {}}},
    {"Plain 1394", {"free region with a frame interval", {kRaw8, 8, 2, 320, 240, 400000}, {}, S_OK,
                    {1, RECT{8, 2, 328, 242}, 0, -1, 400000}, {}}},
    {"Plain 1394", {"free region without a frame interval: nothing set", {kRaw8, 8, 2, 320, 240, 0}, {}, S_OK,
                    {0, kVga}, {}}},
    {kUsb, {"SetFormat raises: the entry is not taken", {kYuy2, 0, 0, 320, 240, 1000000},
            {RaiseFault("IAMStreamConfig::SetFormat", kUsb, "old driver")}, VFW_E_INVALIDMEDIATYPE, {0, kVga},
            {"SetFormat raised an error in the camera driver: old driver\r\n"}}},
    {kUsb, {"GetStreamCaps raises on one entry: the next one renews the status", {kYuy2, 0, 0, 320, 240, 1000000},
            {RaiseFault("IAMStreamConfig::GetStreamCaps", kUsb, "old driver")}, S_OK, {1, kQvga, 0, -1, 1000000},
            {"GetStreamCaps raised an error in the camera driver: old driver\r\n"}}},
    {kUsb, {"GetNumberOfCapabilities raises", {kYuy2, 0, 0, 320, 240, 1000000},
            {RaiseFault("IAMStreamConfig::GetNumberOfCapabilities", kUsb, "old driver")}, E_NOTIMPL, {0, kVga},
            {"GetNumberOfCapabilities raised an error in the camera driver: old driver\r\n"}}},
};
// clang-format on

class StandardFormatTest : public CaptureTest, public ::testing::WithParamInterface<StandardCase> {};

TEST_P(StandardFormatTest, StandardPathChoosesAndConfiguresTheFormat) {
  const StandardCase& k = GetParam();
  const FormatCase& c = k.c;
  LoadBus(kStandardBus);
  sim::ClearFaults();
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Camera(k.camera);
  ASSERT_FALSE(camera.FormatConfig);
  Apply(camera.Settings, c.wanted);
  for (const auto& f : c.faults) sim::InjectFault(f);
  ClearLog();
  EXPECT_EQ(ApplyStreamFormat(camera, c.wanted.subtype), c.result);
  EXPECT_EQ(Log(), c.log);
  ExpectFormat(k.camera, c.format);
}

INSTANTIATE_TEST_SUITE_P(Cases, StandardFormatTest, ::testing::ValuesIn(kStandardCases),
                         [](const ::testing::TestParamInfo<StandardCase>& param) {
                           return tests::TestName(param.param.c.what);
                         });

const std::string kTableOrderBus = R"({"cameras": [
    {"name": "Mono", "kind": "1394", "formats": [
      {"subtype": "RAW8", "width": 640, "height": 480}, {"subtype": "MO16", "width": 640, "height": 480}]},
    {"name": "Raw16", "kind": "1394", "formats": [
      {"subtype": "YUY2", "width": 320, "height": 240}, {"subtype": "RAW16", "width": 640, "height": 480}]}]})";

struct TableOrderCase {
  const char* what;
  const char* camera;
  GUID subtype;
  int32_t width, height;
  HRESULT result;
  int32_t index;
};

void PrintTo(const TableOrderCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const TableOrderCase kTableOrderCases[] = {
    {"no subtype: Y800 is tried before YUY2", kColour, GUID_NULL, 640, 480, S_OK, 6},
    {"an unknown subtype is like none", kColour, FourccGuid('M', 'J', 'P', 'G'), 640, 480, S_OK, 6},
    {"the configured subtype first", kColour, MEDIASUBTYPE_UYVY, 640, 480, S_OK, 1},
    {"configured subtype without a match falls back", kColour, MEDIASUBTYPE_RGB8, 640, 480, S_OK, 6},
    {"nothing fits: the last failure", kColour, MEDIASUBTYPE_YUY2, 123, 45, VFW_E_INVALIDMEDIATYPE, 0},
    {"MO16 before RAW8 whatever the camera's order", "Mono", GUID_NULL, 640, 480, S_OK, 1},
    {"the last entry of the table is reached", "Raw16", GUID_NULL, 640, 480, S_OK, 1},
};
// clang-format on

class TableOrderTest : public CaptureTest, public ::testing::WithParamInterface<TableOrderCase> {};

TEST_P(TableOrderTest, SetStreamConfigTriesTheConfiguredSubtypeThenTheTableInOrder) {
  const TableOrderCase& c = GetParam();
  LoadBus(c.camera == std::string(kColour) ? sim::DefaultBusJson() : kTableOrderBus);
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Camera(c.camera);
  Apply(camera.Settings, Wanted{c.subtype, 0, 0, c.width, c.height, 7});
  EXPECT_EQ(SetStreamConfig(camera), c.result);
  EXPECT_EQ(sim::CurrentFormat(c.camera)->index, c.index);
}

INSTANTIATE_TEST_SUITE_P(Cases, TableOrderTest, ::testing::ValuesIn(kTableOrderCases), tests::NameFromWhat());

struct ReadBackCase {
  const char* what;
  const char* camera;
  bool region;  // the free-region format is set up first
  std::vector<sim::Fault> faults;
  HRESULT result;
  Wanted read;  // packet 777: not read
  std::vector<std::string> log;
};

void PrintTo(const ReadBackCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const ReadBackCase kReadBackCases[] = {
    {"free region read from the driver", kColour, true, {}, S_OK,
     {MEDIASUBTYPE_RAW8, 16, 8, 640, 480, 3, 1024, 8}, {}},
    {"an older driver raises on GetCustomRect: the format's own rectangle", kColour, true,
     {RaiseFault("IFiVideoFormatConfig::GetCustomRect", kColour, "old")}, S_OK,
     {MEDIASUBTYPE_RAW8, 16, 8, 640, 480, 3, 777, 8}, {}},
    {"an older driver raises on GetF7PacketSize", kColour, true,
     {RaiseFault("IFiVideoFormatConfig::GetF7PacketSize", kColour, "old")}, S_OK,
     {MEDIASUBTYPE_RAW8, 16, 8, 640, 480, 3, 777, 8}, {}},
    {"GetCustomRect fails", kColour, true, {MakeFault("IFiVideoFormatConfig::GetCustomRect", kColour)}, E_FAIL,
     {MEDIASUBTYPE_RAW8, 16, 8, 640, 480, 3, 777, 8}, {}},
    {"a fixed-size format", kColour, false, {}, S_OK, {MEDIASUBTYPE_YUY2, 0, 0, 640, 480, 4, 777, 0}, {}},
    {"rate code unreadable: the interval's low bits stay", kColour, false,
     {MakeFault("IFiVideoFormatConfig::GetCurrentFps", kColour)}, S_OK,
     {MEDIASUBTYPE_YUY2, 0, 0, 640, 480, 333333, 777, 0}, {}},
    {"standard path: the frame interval", kUsb, false, {}, S_OK, {MEDIASUBTYPE_YUY2, 0, 0, 640, 480, 333333, 777, 5},
     {}},
    {"format unreadable: nothing changes", kColour, false, {MakeFault("IAMStreamConfig::GetFormat", kColour)},
     E_FAIL, {GUID_NULL, 1, 1, 1, 1, 1, 777, 5}, {"GetStreamConfig::GetFormat - E_FAIL [0x80004005]\r\n"}},
    {"rate code read raises: the interval's low bits stay", kColour, false,
     {RaiseFault("IFiVideoFormatConfig::GetCurrentFps", kColour, "old")}, S_OK,
     {MEDIASUBTYPE_YUY2, 0, 0, 640, 480, 333333, 777, 0},
     {"GetCurrentFps raised an error in the camera driver: old\r\n"}},
    {"default format read raises: the index stays", kColour, false,
     {RaiseFault("IFiVideoFormatConfig::GetDefaultFormat", kColour, "old")}, S_OK,
     {MEDIASUBTYPE_YUY2, 0, 0, 640, 480, 3, 777, 5},  // format 5's rate code
     {"GetDefaultFormat raised an error in the camera driver: old\r\n"}},
    {"format list raises: the format's own rectangle", kColour, true,
     {RaiseFault("IFiVideoFormatConfig::GetStreamCaps", kColour, "old")}, S_OK,
     {MEDIASUBTYPE_RAW8, 16, 8, 640, 480, 3, 777, 8},
     {"GetStreamCaps raised an error in the camera driver: old\r\n"}},
};
// clang-format on

class ReadBackTest : public CaptureTest, public ::testing::WithParamInterface<ReadBackCase> {};

TEST_P(ReadBackTest, GetStreamConfigReadsTheCurrentFormatBack) {
  const ReadBackCase& c = GetParam();
  sim::LoadDefaultBus();
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Camera(c.camera);
  if (c.region) {
    Apply(camera.Settings, Wanted{MEDIASUBTYPE_RAW8, 16, 8, 640, 480, 3, 1024, 8});
    ASSERT_EQ(ApplyStreamFormat(camera, MEDIASUBTYPE_RAW8), S_OK);
  }
  Apply(camera.Settings, Wanted{GUID_NULL, 1, 1, 1, 1, 1, 777, 5});
  for (const auto& f : c.faults) sim::InjectFault(f);
  ClearLog();
  const int64_t objects = sim::LiveObjects();
  EXPECT_EQ(GetStreamConfig(camera), c.result);
  EXPECT_EQ(sim::LiveObjects(), objects) << "format lists not given back";
  const settings::CameraSettings& s = camera.Settings;
  EXPECT_EQ(s.SubType, c.read.subtype);
  EXPECT_EQ((std::vector<int32_t>{s.Left, s.Top, s.Width, s.Height, s.AvgTimePerFrame, s.PacketSize, s.DefFmt}),
            (std::vector<int32_t>{c.read.left, c.read.top, c.read.width, c.read.height, c.read.avgTimePerFrame,
                                  c.read.packetSize, c.read.defFmt}));
  EXPECT_EQ(Log(), c.log);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadBackTest, ::testing::ValuesIn(kReadBackCases), tests::NameFromWhat());

struct SubtypeCase {
  const char* what;
  std::vector<sim::Fault> faults;
  HRESULT result;
  std::vector<std::string> log;
};

void PrintTo(const SubtypeCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const SubtypeCase kSubtypeCases[] = {
    {"current subtype", {}, S_OK, {}},
    {"no capture graph builder", {MakeFault("CoCreateInstance", "CaptureGraphBuilder2", 1, REGDB_E_CLASSNOTREG)},
     E_POINTER,
     {"pCaptureGraph==NULL - E_POINTER [0x80004003]\r\n",
      "StreamSubtype::GetStreamConfig - E_POINTER [0x80004003]\r\n"}},
    {"no stream configuration", {MakeFault("ICaptureGraphBuilder2::FindInterface", kColour, 1, E_NOINTERFACE)},
     E_NOINTERFACE,
     {"GetStreamConfig:IAMStreamConfig - E_NOINTERFACE [0x80004002]\r\n",
      "StreamSubtype::GetStreamConfig - E_NOINTERFACE [0x80004002]\r\n"}},
    {"format unreadable", {MakeFault("IAMStreamConfig::GetFormat", kColour)}, E_FAIL,
     {"StreamSubtype::GetFormat - E_FAIL [0x80004005]\r\n"}},
};
// clang-format on

class StreamSubtypeTest : public CaptureTest, public ::testing::WithParamInterface<SubtypeCase> {};

TEST_P(StreamSubtypeTest, StreamSubtypeAndItsFailures) {
  const SubtypeCase& c = GetParam();
  ASSERT_EQ(Enumerate(), S_OK);
  IBaseFilter* filter = Camera(kColour).CaptureFilter.Get();
  for (const auto& f : c.faults) sim::InjectFault(f);
  ClearLog();
  GUID subtype = GUID_NULL;
  EXPECT_EQ(StreamSubtype(filter, &subtype), c.result);
  EXPECT_EQ(subtype, c.result == S_OK ? MEDIASUBTYPE_YUY2 : GUID_NULL);
  EXPECT_EQ(Log(), c.log);
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamSubtypeTest, ::testing::ValuesIn(kSubtypeCases), tests::NameFromWhat());

TEST_F(CaptureTest, MediaSubtypeNames) {
  const GUID rgbBase = MEDIASUBTYPE_RGB8;
  auto rgb = [&](uint32_t data1) {
    GUID g = rgbBase;
    g.Data1 = data1;
    return g;
  };
  auto cc = [](const char* s) { return FourccGuid(s[0], s[1], s[2], s[3]); };
  struct Case {
    GUID subtype;
    const char* name;
  } cases[] = {
      {cc("Y211"), "MEDIASUBTYPE_Y221"},
      {cc("CFCC"), "MEDIASUBTYPE_CPCC"},
      {cc("RAW1"), "MEDIASUBTYPE_RAW16"},
      {rgb(0xE436EB78), "MEDIASUBTYPE_RGB1"},
      {rgb(0xE436EB79), "MEDIASUBTYPE_RGB4"},
      {rgb(0xE436EB7A), "MEDIASUBTYPE_RGB8"},
      {rgb(0xE436EB7B), "MEDIASUBTYPE_RGB565"},
      {rgb(0xE436EB7C), "MEDIASUBTYPE_RGB555"},
      {rgb(0xE436EB7D), "MEDIASUBTYPE_RGB24"},
      {rgb(0xE436EB7E), "MEDIASUBTYPE_RGB32"},
      {MEDIASUBTYPE_ARGB32, "MEDIASUBTYPE_ARGB32"},
      {MEDIASUBTYPE_LUMX, "MEDIASUBTYPE_LUMX"},
      {MEDIASUBTYPE_MO16, "MEDIASUBTYPE_MO16"},
      {rgb(0xE436EB77), "MEDIASUBTYPE_????"},
      {rgb(0xE436EB7F), "MEDIASUBTYPE_????"},
      {cc("NV12"), "MEDIASUBTYPE_????"},
      {cc("plum"), "MEDIASUBTYPE_????"},
      {GUID_NULL, "MEDIASUBTYPE_????"},
  };
  for (const Case& c : cases) EXPECT_EQ(MediaSubtypeName(c.subtype), c.name);
  for (const char* fourcc :
       {"CLPL", "YUYV", "IYUV", "YVU9", "Y411", "Y41P", "YUY2", "YVYU", "UYVY", "YV12", "CLJR", "IF09", "CPLA", "MJPG",
        "TVMJ", "WAKE", "IJPG", "Plum", "DVCS", "DVSD", "MDVF", "Y422", "Y444", "Y800", "Y160", "I420", "RAW8"})
    EXPECT_EQ(MediaSubtypeName(cc(fourcc)), std::string("MEDIASUBTYPE_") + fourcc);

  LogUnknownSampleFormat("Unknown Sample format", MEDIASUBTYPE_YUY2);
  EXPECT_EQ(Log(), std::vector<std::string>{
                       "Unknown Sample format MEDIASUBTYPE_YUY2 {32595559-0000-0010-8000-00AA00389B71}\r\n"});
}

TEST_F(CaptureTest, SubtypeTablesAndTheFreeRegionRule) {
  const GUID order[] = {GUID{0xE436EB7A, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}},
                        FourccGuid('Y', '8', '0', '0'),
                        FourccGuid('I', 'Y', 'U', 'V'),
                        FourccGuid('I', '4', '2', '0'),
                        FourccGuid('Y', '4', '1', '1'),
                        FourccGuid('Y', '4', '2', '2'),
                        FourccGuid('Y', 'U', 'Y', '2'),
                        FourccGuid('Y', '4', '4', '4'),
                        FourccGuid('U', 'Y', 'V', 'Y'),
                        GUID{0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}},
                        GUID{0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}},
                        GUID{0x773C9AC0, 0x3274, 0x11D0, {0xB7, 0x24, 0x00, 0xAA, 0x00, 0x6C, 0x1A, 0x01}},
                        GUID{0xF6E72551, 0xEEC1, 0x4018, {0x8A, 0xFB, 0x8B, 0xBD, 0x05, 0x35, 0x06, 0x01}},
                        GUID{0x36316F4D, 0xFB2A, 0x11D3, {0x9B, 0x34, 0x00, 0x10, 0x4B, 0x31, 0x0C, 0x3D}},
                        FourccGuid('R', 'A', 'W', '8'),
                        FourccGuid('R', 'A', 'W', '1')};
  ASSERT_EQ(SupportedSubtypes().size(), std::size(order));
  for (size_t i = 0; i < std::size(order); ++i) {
    EXPECT_EQ(SupportedSubtypes()[i], order[i]) << i;
    EXPECT_TRUE(IsSupportedSubtype(order[i]));
    EXPECT_EQ(IsRgbSubtype(order[i]), i >= 9 && i <= 11) << i;
  }
  EXPECT_FALSE(IsSupportedSubtype(FourccGuid('R', 'A', 'W', '6')));

  auto caps = [](SIZE min, SIZE max, int32_t gx, int32_t gy) {
    VIDEO_STREAM_CONFIG_CAPS c;
    c.MinOutputSize = min;
    c.MaxOutputSize = max;
    c.CropGranularityX = gx;
    c.CropGranularityY = gy;
    return c;
  };
  EXPECT_FALSE(IsFormat7Caps(caps({640, 480}, {640, 480}, 0, 0)));
  EXPECT_TRUE(IsFormat7Caps(caps({8, 480}, {640, 480}, 0, 0)));
  EXPECT_TRUE(IsFormat7Caps(caps({640, 2}, {640, 480}, 0, 0)));
  EXPECT_TRUE(IsFormat7Caps(caps({640, 480}, {640, 480}, 640, 0)));
  EXPECT_TRUE(IsFormat7Caps(caps({640, 480}, {640, 480}, 0, 480)));

  ASSERT_EQ(Enumerate(), S_OK);
  IBaseFilter* colour = Camera(kColour).CaptureFilter.Get();
  EXPECT_TRUE(IsFormat7(colour, 8));
  EXPECT_FALSE(IsFormat7(colour, 0));
  EXPECT_FALSE(IsFormat7(colour, 9));
  EXPECT_FALSE(IsFormat7(colour, -1));
  EXPECT_FALSE(IsFormat7(Camera(kUsb).CaptureFilter.Get(), 0));
}

}  // namespace
}  // namespace kelvane::capture::testing
