// Capture graph construction: the decompressor chosen for each camera, subtype
// and colour setting, the log line of every failing step, and graphs built,
// torn down and built again without losing or leaking anything.
#include "capture/graph.h"

#include "capture/stream_format.h"
#include "capture_fixture.h"
#include "test_names.h"

namespace kelvane::capture::testing {
namespace {

constexpr const char* kFirei = "Fire-i Cam";
constexpr const char* kDmk = "DMK 21F04";
constexpr const char* kPlain = "Plain Cam";
constexpr const char* kColour = "Kestrel KC-640C";

std::string DecompressorBus(const std::string& filters) {
  return R"({"cameras": [
    {"name": "Fire-i Cam", "kind": "1394", "vendor": "Ven", "model": "FI", "number": 1, "formats": [
      {"subtype": "Y800", "width": 64, "height": 48}, {"subtype": "YUY2", "width": 64, "height": 48},
      {"subtype": "RGB24", "width": 64, "height": 48}, {"subtype": "RAW8", "width": 64, "height": 48}]},
    {"name": "DMK 21F04", "kind": "usb", "formats": [{"subtype": "YUY2", "width": 64, "height": 48, "interval": 333333}]},
    {"name": "Plain Cam", "kind": "usb", "formats": [
      {"subtype": "YUY2", "width": 64, "height": 48, "interval": 333333},
      {"subtype": "LUMX", "width": 64, "height": 48, "interval": 333333}]}],
  "filters": [)" +
         filters + "]}";
}

const std::string kFireiYuv = R"({"name": "Fire-i Yuv decompressor", "kind": "fire-i-yuv"})";
const std::string kFireiNoRaw = R"({"name": "Fire-i Yuv decompressor", "kind": "fire-i-yuv", "raw_mode": "none"})";
const std::string kFireiRaises = R"({"name": "Fire-i Yuv decompressor", "kind": "fire-i-yuv", "raw_mode": "raises"})";
const std::string kIat = R"({"name": "IAT YUV", "kind": "iat-yuv"})";
const std::string kBayer = R"({"name": "BAYER RGB", "kind": "bayer-rgb"})";
const std::string kAvi = R"({"name": "AVI Decompressor", "kind": "avi"})";
const std::string kAll = kFireiYuv + "," + kIat + "," + kBayer + "," + kAvi;

// The subtype reaching the sample grabber, GUID_NULL when it is not connected.
GUID GrabberSubtype(const CameraRecord& camera) {
  AM_MEDIA_TYPE mt;
  if (!camera.SampleGrabber || FAILED(camera.SampleGrabber->GetConnectedMediaType(&mt))) return GUID_NULL;
  const GUID subtype = mt.subtype;
  FreeMediaType(mt);
  return subtype;
}

bool Connected(IPin* pin) {
  ComPtr<IPin> peer;
  return pin && SUCCEEDED(pin->ConnectedTo(peer.Put())) && peer;
}

bool InputConnected(IBaseFilter* filter) {
  ComPtr<IPin> pin;
  return filter && SUCCEEDED(GetPin(filter, PINDIR_INPUT, pin.Put())) && Connected(pin.Get());
}

std::u16string FilterName(IBaseFilter* filter) {
  FILTER_INFO info;
  if (!filter || FAILED(filter->QueryFilterInfo(&info))) return u"";
  if (info.pGraph) info.pGraph->Release();
  return info.achName;
}

struct DecompressorCase {
  const char* what;
  const char* camera;
  GUID subtype;
  int32_t color, rawMode;
  std::string filters;
  std::vector<sim::Fault> faults;
  HRESULT result;
  const char* decompressor;  // its friendly name, null: connected directly
  GUID atGrabber;
  std::vector<std::string> lines;  // among the messages
};

void PrintTo(const DecompressorCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const DecompressorCase kDecompressorCases[] = {
    {"Fire-i grey Y800: direct", kFirei, MEDIASUBTYPE_Y800, 0, 0, kAll, {}, S_OK, nullptr, MEDIASUBTYPE_Y800, {}},
    {"Fire-i grey YUY2: direct", kFirei, MEDIASUBTYPE_YUY2, 0, 0, kAll, {}, S_OK, nullptr, MEDIASUBTYPE_YUY2, {}},
    {"Fire-i colour YUY2: its decompressor", kFirei, MEDIASUBTYPE_YUY2, 1, 0, kAll, {}, S_OK,
     "Fire-i Yuv decompressor", MEDIASUBTYPE_RGB24, {}},
    {"RGB24 in colour: direct", kFirei, MEDIASUBTYPE_RGB24, 1, 0, kAll, {}, S_OK, nullptr, MEDIASUBTYPE_RGB24, {}},
    {"colour and raw mode: direct", kFirei, MEDIASUBTYPE_Y800, 1, 1, kAll, {}, S_OK, nullptr, MEDIASUBTYPE_Y800,
     {}},
    {"raw mode, direct connection fails: Fire-i decompressor", kFirei, MEDIASUBTYPE_RAW8, 1, 1, kAll,
     {MakeFault("IGraphBuilder::Connect", kFirei)}, S_OK, "Fire-i Yuv decompressor", MEDIASUBTYPE_RGB24,
     {"Connect failed: Camera-SampleGrabber - E_FAIL [0x80004005]\r\n"}},
    {"the raw mode value reaches the decompressor", kFirei, MEDIASUBTYPE_RAW8, 1, 7, kAll,
     {MakeFault("IGraphBuilder::Connect", kFirei)}, S_OK, "Fire-i Yuv decompressor", MEDIASUBTYPE_RGB24,
     {"SetRawMode - E_INVALIDARG [0x80070057]\r\n"}},
    {"SetRawMode fails twice: third result logged", kFirei, MEDIASUBTYPE_RAW8, 1, 2, kAll,
     {MakeFault("IGraphBuilder::Connect", kFirei), MakeFault("IFiRawMode::SetRawMode", "", 2)}, S_OK,
     "Fire-i Yuv decompressor", MEDIASUBTYPE_RGB24, {"SetRawMode - S_OK [0x0]\r\n"}},
    {"decompressor without raw mode", kFirei, MEDIASUBTYPE_RAW8, 1, 1, kFireiNoRaw,
     {MakeFault("IGraphBuilder::Connect", kFirei)}, S_OK, "Fire-i Yuv decompressor", MEDIASUBTYPE_RGB24, {}},
    {"older decompressor raises on raw mode", kFirei, MEDIASUBTYPE_RAW8, 1, 1, kFireiRaises,
     {MakeFault("IGraphBuilder::Connect", kFirei)}, S_OK, "Fire-i Yuv decompressor", MEDIASUBTYPE_RGB24,
     {"Raw Mode unsupported by current Unibrain YUV Decompressor\n"}},
    {"raw mode alone asks for the Fire-i decompressor", kPlain, MEDIASUBTYPE_YUY2, 0, 1, kAll,
     {MakeFault("IGraphBuilder::Connect", kPlain)}, S_OK, "Fire-i Yuv decompressor", MEDIASUBTYPE_RGB24, {}},
    {"DMK camera in colour: IAT YUV", kDmk, MEDIASUBTYPE_YUY2, 1, 0, kAll, {}, S_OK, "IAT YUV",
     MEDIASUBTYPE_RGB24, {}},
    {"DMK camera without IAT YUV: AVI", kDmk, MEDIASUBTYPE_YUY2, 1, 0, kFireiYuv + "," + kAvi, {}, S_OK,
     "AVI Decompressor", MEDIASUBTYPE_RGB24, {}},
    {"LUMX in colour: BAYER RGB", kPlain, MEDIASUBTYPE_LUMX, 1, 0, kAll, {}, S_OK, "BAYER RGB",
     MEDIASUBTYPE_RGB24, {}},
    {"no rule applies: AVI", kPlain, MEDIASUBTYPE_YUY2, 1, 0, kAll, {}, S_OK, "AVI Decompressor",
     MEDIASUBTYPE_RGB24, {}},
    {"Fire-i decompressor missing: AVI", kFirei, MEDIASUBTYPE_YUY2, 1, 0, kAvi, {}, S_OK, "AVI Decompressor",
     MEDIASUBTYPE_RGB24, {}},
    {"no decompressor at all", kPlain, MEDIASUBTYPE_YUY2, 1, 0, "", {}, S_FALSE, nullptr, GUID_NULL, {}},
};
// clang-format on

class DecompressorChoiceTest : public CaptureTest, public ::testing::WithParamInterface<DecompressorCase> {};

TEST_P(DecompressorChoiceTest, DecompressorFollowsCameraSubtypeColourAndRawMode) {
  const DecompressorCase& c = GetParam();
  LoadBus(DecompressorBus(c.filters));
  sim::ClearFaults();
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Camera(c.camera);
  camera.Settings.SubType = c.subtype;  // the first entry of the subtype, as offered
  camera.Settings.Color = c.color;
  camera.Settings.RawMode = c.rawMode;
  ASSERT_EQ(SetStreamConfig(camera), S_OK);
  for (const auto& f : c.faults) sim::InjectFault(f);
  ClearLog();

  EXPECT_EQ(BuildCaptureGraph(camera), c.result);
  EXPECT_EQ(GrabberSubtype(camera), c.atGrabber);
  EXPECT_EQ(InputConnected(camera.RendererFilter.Get()), c.result == S_OK);
  const std::string found = c.decompressor ? std::string("Decompress filter: ") + c.decompressor + "\r\n" : "";
  std::vector<std::string> lookedUp;
  for (const auto& l : Log())
    if (l.rfind("Decompress filter: ", 0) == 0) lookedUp.push_back(l);
  EXPECT_EQ(lookedUp, c.decompressor ? std::vector<std::string>{found} : std::vector<std::string>{});
  EXPECT_EQ(static_cast<bool>(camera.DecompressorFilter), c.decompressor != nullptr);
  if (camera.DecompressorFilter) {
    EXPECT_EQ(FilterName(camera.DecompressorFilter.Get()), u"Decompressor");
  }
  for (const auto& line : c.lines) EXPECT_TRUE(Logged(line)) << "missing: " << line;
  if (c.result == S_FALSE) {
    EXPECT_FALSE(Connected(camera.CapturePin.Get()));
  }
  TearDownGraph(camera);
}

INSTANTIATE_TEST_SUITE_P(Cases, DecompressorChoiceTest, ::testing::ValuesIn(kDecompressorCases), tests::NameFromWhat());

struct BuildFaultCase {
  const char* what;
  int32_t color;
  sim::Fault fault;
  HRESULT result;
  std::string line;
};

void PrintTo(const BuildFaultCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const BuildFaultCase kBuildFaultCases[] = {
    {"graph builder", 1, MakeFault("CoCreateInstance", "CaptureGraphBuilder2"), E_FAIL,
     "CreateGraph:IID_ICaptureGraphBuilder2 - E_FAIL [0x80004005]\r\n"},
    {"filter graph", 1, MakeFault("CoCreateInstance", "FilterGraph", 1, REGDB_E_CLASSNOTREG), REGDB_E_CLASSNOTREG,
     "CreateGraph:IID_IGraphBuilder - REGDB_E_CLASSNOTREG [0x80040154]\r\n"},
    {"attaching the graph", 1, MakeFault("ICaptureGraphBuilder2::SetFiltergraph", ""), E_FAIL,
     "CreateGraph:SetFiltergraph - E_FAIL [0x80004005]\r\n"},
    {"adding the camera", 1, MakeFault("IFilterGraph::AddFilter", ""), E_FAIL,
     "Failed to add Camera - E_FAIL [0x80004005]\r\n"},
    {"sample grabber", 1, MakeFault("CoCreateInstance", "SampleGrabber", 1, REGDB_E_CLASSNOTREG),
     REGDB_E_CLASSNOTREG, "Failed to create SampleGrabber! - REGDB_E_CLASSNOTREG [0x80040154]\r\n"},
    {"adding the sample grabber", 1, MakeFault("IFilterGraph::AddFilter", kColour), E_FAIL,
     "Failed to add SampleGrabber - E_FAIL [0x80004005]\r\n"},
    {"null renderer", 1, MakeFault("CoCreateInstance", "NullRenderer"), E_FAIL,
     "Failed to create NullRenderer! - E_FAIL [0x80004005]\r\n"},
    {"stream configuration", 1, MakeFault("ICaptureGraphBuilder2::FindInterface", kColour, 1, E_NOINTERFACE),
     E_NOINTERFACE, "Unable to get StreamType - E_NOINTERFACE [0x80004002]\r\n"},
    {"current format", 1, MakeFault("IAMStreamConfig::GetFormat", kColour), E_FAIL,
     "Unable to get StreamType - E_FAIL [0x80004005]\r\n"},
    // The camera's graph adds the grabber, the renderer, then the decompressor.
    {"adding the decompressor", 1, LaterFault("IFilterGraph::AddFilter", kColour, 2), E_FAIL,
     "Failed to add decompressor - E_FAIL [0x80004005]\r\n"},
    {"camera to decompressor", 1, MakeFault("IGraphBuilder::Connect", kColour), E_FAIL,
     "Connect failed: Camera-Decompressor - E_FAIL [0x80004005]\r\n"},
    {"decompressor to grabber", 1, MakeFault("IBaseFilter::EnumPins", "SampleGrabber"), E_FAIL,
     "Connect failed: Decompressor-SampleGrabber - E_FAIL [0x80004005]\r\n"},
    {"grabber to renderer", 1, MakeFault("IBaseFilter::EnumPins", "NullRenderer"), E_FAIL,
     "Connect failed: SampleGrabber-Renderer - E_FAIL [0x80004005]\r\n"},
    {"grabber input found unconnected", 1, MakeFault("IPin::ConnectedTo", "SampleGrabber"),
     VFW_E_ALREADY_CONNECTED, "Reconnect failed: Decompressor-SampleGrabber - VFW_E_ALREADY_CONNECTED [0x80040204]\r\n"},
    {"direct: camera to grabber fails, decompressor instead", 0, MakeFault("IGraphBuilder::Connect", kColour), S_OK,
     "Connect failed: Camera-SampleGrabber - E_FAIL [0x80004005]\r\n"},
    {"direct: grabber to renderer fails, undone, decompressor instead", 0,
     MakeFault("IBaseFilter::EnumPins", "NullRenderer"), S_OK,
     "Connect failed: SampleGrabber-Renderer - E_FAIL [0x80004005]\r\n"},
};
// clang-format on

class BuildFaultTest : public CaptureTest, public ::testing::WithParamInterface<BuildFaultCase> {};

TEST_P(BuildFaultTest, EveryFailingStepLogsItsLineAndTheNextBuildSucceeds) {
  const BuildFaultCase& c = GetParam();
  sim::LoadDefaultBus();
  sim::ClearFaults();
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Camera(kColour);  // YUY2 now
  camera.Settings.Color = c.color;
  sim::InjectFault(c.fault);
  ClearLog();
  EXPECT_EQ(BuildCaptureGraph(camera), c.result);
  EXPECT_TRUE(Logged(c.line)) << "missing: " << c.line;
  if (SUCCEEDED(c.result)) {
    EXPECT_TRUE(camera.DecompressorFilter);
    EXPECT_EQ(GrabberSubtype(camera), MEDIASUBTYPE_RGB24);
  } else {
    // A failed build leaves the camera free for a new format and a new build, without a teardown.
    EXPECT_FALSE(Connected(camera.CapturePin.Get()));
    sim::ClearFaults();
    camera.Settings.SubType = MEDIASUBTYPE_UYVY;
    EXPECT_EQ(SetStreamConfig(camera), S_OK);
    EXPECT_EQ(BuildCaptureGraph(camera), S_OK);
    EXPECT_EQ(GrabberSubtype(camera), MEDIASUBTYPE_RGB24);
    EXPECT_EQ(sim::CurrentFormat(kColour)->subtype, MEDIASUBTYPE_UYVY);
  }
  TearDownGraph(camera);
}

INSTANTIATE_TEST_SUITE_P(Steps, BuildFaultTest, ::testing::ValuesIn(kBuildFaultCases), tests::NameFromWhat());

TEST_F(CaptureTest, GraphIsReusedAcrossTeardownsWithoutLeaks) {
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Camera(kColour);
  camera.Settings.Color = 1;
  ASSERT_EQ(BuildCaptureGraph(camera), S_OK);
  IGraphBuilder* graph = camera.Graph.Get();
  ASSERT_TRUE(graph && camera.MediaControl);

  for (int round = 0; round < 2; ++round) {
    TearDownGraph(camera);
    EXPECT_FALSE(camera.GrabberFilter || camera.SampleGrabber || camera.RendererFilter || camera.DecompressorFilter);
    EXPECT_FALSE(Connected(camera.CapturePin.Get()));
    EXPECT_EQ(camera.Graph.Get(), graph);
    EXPECT_TRUE(camera.MediaControl);

    ClearLog();
    EXPECT_EQ(CreateGraph(camera), S_OK);
    ASSERT_EQ(BuildCaptureGraph(camera), S_OK);
    EXPECT_EQ(camera.Graph.Get(), graph);
    // The camera is not added again, and the filters of earlier builds left
    // the graph with their teardown: the new ones take the plain names.
    EXPECT_EQ(FilterName(camera.CaptureFilter.Get()), u"Camera");
    EXPECT_EQ(FilterName(camera.GrabberFilter.Get()), u"SampleGrabber");
    EXPECT_EQ(FilterName(camera.DecompressorFilter.Get()), u"Decompressor");
    EXPECT_EQ(Log(), std::vector<std::string>{"Decompress filter: Fire-i Yuv decompressor\r\n"});
    EXPECT_EQ(GrabberSubtype(camera), MEDIASUBTYPE_RGB24);
  }
  TearDownGraph(camera);
  // The fixture checks that releasing the record gives every object back.
}

// Catches: filters that would not leave the kept graph piling up in it (the
// next build's take suffixed names), and a graph kept without its media
// control, which no later open could run.
struct KeptGraphCase {
  const char* what;
  bool firstBuild;  // a build before the fault
  bool teardown;    // the fault meets a teardown, else the next build
  sim::Fault fault;
  HRESULT result;  // of the build that meets the fault
  std::string line;
};

void PrintTo(const KeptGraphCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const KeptGraphCase kKeptGraphCases[] = {
    {"a filter stays at the teardown", true, true, MakeFault("IFilterGraph::RemoveFilter", kColour), S_OK,
     "Failed to remove filter from graph - E_FAIL [0x80004005]\r\n"},
    {"a filter of a build left without teardown stays", true, false,
     MakeFault("IFilterGraph::RemoveFilter", kColour, 1, VFW_E_NOT_STOPPED), S_OK,
     "Failed to remove filter from graph - VFW_E_NOT_STOPPED [0x80040224]\r\n"},
    {"the media control cannot be had", false, false,
     MakeFault("IMediaControl::QueryInterface", kColour, 1, E_NOINTERFACE), E_NOINTERFACE,
     "CreateGraph:IID_IMediaControl - E_NOINTERFACE [0x80004002]\r\n"},
};
// clang-format on

class KeptGraphTest : public CaptureTest, public ::testing::WithParamInterface<KeptGraphCase> {};

TEST_P(KeptGraphTest, AGraphThatKeepsAFilterOrLacksItsControlIsNotKept) {
  const KeptGraphCase& c = GetParam();
  sim::LoadDefaultBus();
  sim::ClearFaults();
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Camera(kColour);
  camera.Settings.Color = 1;
  if (c.firstBuild) {
    ASSERT_EQ(BuildCaptureGraph(camera), S_OK);
  }
  sim::InjectFault(c.fault);
  ClearLog();
  HRESULT hr = S_OK;
  if (c.teardown)
    TearDownGraph(camera);
  else
    hr = BuildCaptureGraph(camera);
  EXPECT_EQ(hr, c.result);
  EXPECT_TRUE(Logged(c.line)) << "missing: " << c.line;
  EXPECT_EQ(sim::PendingFaults(c.fault.operation), 0);
  if (FAILED(hr)) {
    EXPECT_FALSE(camera.Graph) << "a graph without its control was kept";
  }

  // The next build has a graph of its own filters only, under their plain
  // names, and the control to run it.
  if (c.teardown || FAILED(hr)) {
    ASSERT_EQ(BuildCaptureGraph(camera), S_OK);
  }
  ASSERT_TRUE(camera.Graph && camera.MediaControl);
  EXPECT_EQ(FilterName(camera.CaptureFilter.Get()), u"Camera");
  EXPECT_EQ(FilterName(camera.GrabberFilter.Get()), u"SampleGrabber");
  EXPECT_EQ(FilterName(camera.RendererFilter.Get()), u"Renderer");
  EXPECT_EQ(FilterName(camera.DecompressorFilter.Get()), u"Decompressor");
  EXPECT_EQ(GrabberSubtype(camera), MEDIASUBTYPE_RGB24);
  EXPECT_EQ(RunGraph(camera.MediaControl.Get(), 0), 0);
  TearDownGraph(camera);
}

INSTANTIATE_TEST_SUITE_P(Cases, KeptGraphTest, ::testing::ValuesIn(kKeptGraphCases), tests::NameFromWhat());

}  // namespace
}  // namespace kelvane::capture::testing
