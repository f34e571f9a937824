// The simulated graph: membership and connections, decompressors, state
// changes, completion events, and frame-by-frame streaming on the graph's own
// thread.
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "platform/sim/bus.h"
#include "platform/sim/internal.h"
#include "sim_fixture.h"
#include "test_names.h"

#if KELVANE_HAVE_JPEG
#include <turbojpeg.h>
#endif

namespace kelvane::sim::testing {
namespace {

// A callback in the manner of the library's: its life is its owner's, not counted.
class Recorder final : public ISampleGrabberCB {
 public:
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!(riid == ISampleGrabberCB::iid || riid == IUnknown::iid)) return E_NOINTERFACE;
    *out = this;
    return S_OK;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT SampleCB(double time, IMediaSample* sample) override {
    uint8_t* p = nullptr;
    sample->GetPointer(&p);
    return BufferCB(time, p, sample->GetActualDataLength());
  }
  HRESULT BufferCB(double, uint8_t* buffer, int32_t length) override {
    {
      std::lock_guard lock(mutex);
      frames.emplace_back(buffer, buffer + length);
      threads.push_back(std::this_thread::get_id());
    }
    if (hook) hook();
    return S_OK;
  }
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<std::thread::id> threads;
  std::function<void()> hook;
};

struct Graph {
  ComPtr<IGraphBuilder> graph;
  ComPtr<IMediaControl> control;
  ComPtr<IMediaEventEx> events;
  ComPtr<IBaseFilter> camera, grabberFilter, renderer, decompressor;
  ComPtr<ISampleGrabber> grabber;
  HRESULT connected = E_FAIL;
};

ComPtr<IPin> FirstPin(IBaseFilter* filter, PIN_DIRECTION direction) {
  ComPtr<IEnumPins> pins;
  ComPtr<IPin> pin;
  if (FAILED(filter->EnumPins(pins.Put()))) return pin;
  while (pins->Next(1, pin.Put(), nullptr) == S_OK) {
    PIN_DIRECTION d;
    if (SUCCEEDED(pin->QueryDirection(&d)) && d == direction) return pin;
  }
  pin.Reset();
  return pin;
}

HRESULT ConnectFilters(IGraphBuilder* graph, IBaseFilter* up, IBaseFilter* down) {
  ComPtr<IPin> out = FirstPin(up, PINDIR_OUTPUT), in = FirstPin(down, PINDIR_INPUT);
  if (!out || !in) return E_FAIL;
  return graph->Connect(out.Get(), in.Get());
}

ComPtr<IBaseFilter> FindDecompressor(const std::string& name) {
  ComPtr<ICreateDevEnum> devices;
  CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, devices.PutVoid());
  ComPtr<IEnumMoniker> list;
  ComPtr<IBaseFilter> filter;
  if (devices->CreateClassEnumerator(CLSID_LegacyAmFilterCategory, list.Put(), 0) != S_OK) return filter;
  ComPtr<IMoniker> moniker;
  while (list->Next(1, moniker.Put(), nullptr) == S_OK) {
    ComPtr<IPropertyBag> bag;
    std::u16string friendly;
    moniker->BindToStorage(IPropertyBag::iid, bag.PutVoid());
    if (bag && SUCCEEDED(bag->Read(u"FriendlyName", &friendly)) && friendly == ToUtf16(name)) {
      moniker->BindToObject(IBaseFilter::iid, filter.PutVoid());
      break;
    }
  }
  return filter;
}

class GraphTest : public SimTest {
 protected:
  // camera -> [decompressor ->] sample grabber -> null renderer, with the recorder installed.
  Graph Build(const std::string& camera, const std::string& decompressor = "", int32_t method = 1) {
    Graph g;
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, IGraphBuilder::iid, g.graph.PutVoid()), S_OK);
    EXPECT_EQ(g.graph.As(g.control), S_OK);
    EXPECT_EQ(g.graph.As(g.events), S_OK);
    g.camera = BindCamera(camera);
    EXPECT_EQ(g.graph->AddFilter(g.camera.Get(), u"Camera"), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_SampleGrabber, IBaseFilter::iid, g.grabberFilter.PutVoid()), S_OK);
    EXPECT_EQ(g.graph->AddFilter(g.grabberFilter.Get(), u"SampleGrabber"), S_OK);
    EXPECT_EQ(g.grabberFilter.As(g.grabber), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_NullRenderer, IBaseFilter::iid, g.renderer.PutVoid()), S_OK);
    EXPECT_EQ(g.graph->AddFilter(g.renderer.Get(), u"Renderer"), S_OK);
    if (decompressor.empty()) {
      g.connected = ConnectFilters(g.graph.Get(), g.camera.Get(), g.grabberFilter.Get());
    } else {
      g.decompressor = FindDecompressor(decompressor);
      EXPECT_TRUE(g.decompressor) << decompressor;
      EXPECT_EQ(g.graph->AddFilter(g.decompressor.Get(), u"Decompressor"), S_OK);
      g.connected = ConnectFilters(g.graph.Get(), g.camera.Get(), g.decompressor.Get());
      if (SUCCEEDED(g.connected))
        g.connected = ConnectFilters(g.graph.Get(), g.decompressor.Get(), g.grabberFilter.Get());
    }
    if (SUCCEEDED(g.connected)) g.connected = ConnectFilters(g.graph.Get(), g.grabberFilter.Get(), g.renderer.Get());
    EXPECT_EQ(g.grabber->SetCallback(&recorder_, method), S_OK);
    return g;
  }

  Recorder recorder_;
};

TEST_F(GraphTest, NamesAreMadeUniqueAndFiltersKnowTheirGraph) {
  ComPtr<IGraphBuilder> graph;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, IGraphBuilder::iid, graph.PutVoid()), S_OK);
  ComPtr<IBaseFilter> a, b, c;
  ASSERT_EQ(CoCreateInstance(CLSID_SampleGrabber, IBaseFilter::iid, a.PutVoid()), S_OK);
  ASSERT_EQ(CoCreateInstance(CLSID_SampleGrabber, IBaseFilter::iid, b.PutVoid()), S_OK);
  ASSERT_EQ(CoCreateInstance(CLSID_SampleGrabber, IBaseFilter::iid, c.PutVoid()), S_OK);
  EXPECT_EQ(graph->AddFilter(a.Get(), u"SampleGrabber"), S_OK);
  EXPECT_EQ(graph->AddFilter(b.Get(), u"SampleGrabber"), VFW_S_DUPLICATE_NAME);
  EXPECT_EQ(graph->AddFilter(c.Get(), u"SampleGrabber"), VFW_S_DUPLICATE_NAME);
  EXPECT_EQ(graph->AddFilter(c.Get(), u"Again"), E_INVALIDARG) << "already a member";
  const std::pair<IBaseFilter*, std::u16string> expected[] = {
      {a.Get(), u"SampleGrabber"}, {b.Get(), u"SampleGrabber 0001"}, {c.Get(), u"SampleGrabber 0002"}};
  for (const auto& [filter, name] : expected) {
    FILTER_INFO info;
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(std::u16string(info.achName), name);
    ComPtr<IFilterGraph> own;
    ASSERT_EQ(graph.As(own), S_OK);
    EXPECT_EQ(info.pGraph, own.Get());
    info.pGraph->Release();
  }
}

TEST_F(GraphTest, ConnectionsCarryTheCameraFormatAndChangeOnlyWhenStopped) {
  Graph g = Build("Kestrel KC-640C");
  ASSERT_EQ(g.connected, S_OK);
  AM_MEDIA_TYPE mt;
  ASSERT_EQ(g.grabber->GetConnectedMediaType(&mt), S_OK);
  EXPECT_TRUE(mt.subtype == MEDIASUBTYPE_YUY2);
  EXPECT_EQ(VideoInfo(mt)->bmiHeader.biWidth, 640);
  FreeMediaType(mt);
  ComPtr<IPin> capture = FirstPin(g.camera.Get(), PINDIR_OUTPUT);
  ComPtr<IPin> peer;
  ASSERT_EQ(capture->ConnectedTo(peer.Put()), S_OK);
  PIN_INFO info;
  ASSERT_EQ(peer->QueryPinInfo(&info), S_OK);
  EXPECT_EQ(info.pFilter, g.grabberFilter.Get());
  info.pFilter->Release();
  // The camera refuses a format change while connected.
  ComPtr<IAMStreamConfig> config;
  ASSERT_EQ(QueryInto(capture.Get(), config), S_OK);
  AM_MEDIA_TYPE* current = nullptr;
  ASSERT_EQ(config->GetFormat(&current), S_OK);
  EXPECT_EQ(config->SetFormat(current), VFW_E_WRONG_STATE);
  DeleteMediaType(current);
  ASSERT_EQ(g.control->Run(), S_OK);
  EXPECT_EQ(g.graph->Disconnect(capture.Get()), VFW_E_NOT_STOPPED);
  ASSERT_EQ(g.control->Stop(), S_OK);
  EXPECT_EQ(g.graph->Disconnect(peer.Get()), S_OK);
  EXPECT_EQ(g.graph->Disconnect(capture.Get()), S_OK);
  EXPECT_EQ(g.graph->Disconnect(capture.Get()), S_FALSE) << "not connected any more";
  EXPECT_EQ(g.grabber->GetConnectedMediaType(&mt), VFW_E_NOT_CONNECTED);
  // Pins of a filter outside the graph are refused.
  ComPtr<IBaseFilter> stranger;
  ASSERT_EQ(CoCreateInstance(CLSID_NullRenderer, IBaseFilter::iid, stranger.PutVoid()), S_OK);
  EXPECT_EQ(ConnectFilters(g.graph.Get(), g.camera.Get(), stranger.Get()), VFW_E_NOT_IN_GRAPH);
}

TEST_F(GraphTest, ConnectFailsCleanlyWhenNoConverterFits) {
  ASSERT_TRUE(LoadBusFromFile(DataFile("legacy_bench.json")));
  Graph h;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, IGraphBuilder::iid, h.graph.PutVoid()), S_OK);
  h.camera = BindCamera("Kestrel KC-320");
  h.decompressor = FindDecompressor("BAYER RGB");
  ASSERT_EQ(h.graph->AddFilter(h.camera.Get(), u"Camera"), S_OK);
  ASSERT_EQ(h.graph->AddFilter(h.decompressor.Get(), u"Decompressor"), S_OK);
  ComPtr<IAMStreamConfig> config;
  ASSERT_EQ(QueryInto(FirstPin(h.camera.Get(), PINDIR_OUTPUT).Get(), config), S_OK);
  AM_MEDIA_TYPE* mt = nullptr;
  VIDEO_STREAM_CONFIG_CAPS caps;
  ASSERT_EQ(config->GetStreamCaps(1, &mt, reinterpret_cast<uint8_t*>(&caps)), S_OK);  // YUY2
  ASSERT_EQ(config->SetFormat(mt), S_OK);
  DeleteMediaType(mt);
  // YUY2 into a Bayer filter: the converters all give RGB, which it does not take either.
  EXPECT_EQ(ConnectFilters(h.graph.Get(), h.camera.Get(), h.decompressor.Get()), VFW_E_CANNOT_CONNECT);
  ComPtr<IPin> capture = FirstPin(h.camera.Get(), PINDIR_OUTPUT), peer;
  EXPECT_EQ(capture->ConnectedTo(peer.Put()), VFW_E_NOT_CONNECTED) << "a tried converter leaves no trace";
}

// Stepped streaming: one frame per step, on the graph's thread, in the camera's layout.
TEST_F(GraphTest, SteppedFramesArriveOnTheStreamingThread) {
  Graph g = Build("Kestrel KC-640C");
  ASSERT_EQ(g.connected, S_OK);
  EXPECT_EQ(Step("Kestrel KC-640C"), StepResult::NotRunning);
  ASSERT_EQ(g.control->Run(), S_OK);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Step("Kestrel KC-640C"), StepResult::Delivered);
  std::lock_guard lock(recorder_.mutex);
  ASSERT_EQ(recorder_.frames.size(), 3u);
  std::vector<uint8_t> expected(FrameBytes(MEDIASUBTYPE_YUY2, 640, 480));
  for (int64_t i = 0; i < 3; ++i) {
    RenderPattern(MEDIASUBTYPE_YUY2, 640, 480, i, BayerPattern::RGGB, expected.data());
    EXPECT_EQ(recorder_.frames[static_cast<size_t>(i)], expected) << "frame " << i;
    EXPECT_NE(recorder_.threads[static_cast<size_t>(i)], std::this_thread::get_id());
  }
  EXPECT_NE(recorder_.frames[0], recorder_.frames[1]) << "the pattern moves";
  EXPECT_EQ(FramesProduced("Kestrel KC-640C"), 3);
}

// Frame size and layout follow the chosen format and free region.
struct LayoutCase {
  const char* what;
  const char* camera;
  int32_t format;
  RECT region;  // empty: the format's size
  GUID subtype;
  int32_t width, height;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.what; }

const LayoutCase kLayoutCases[] = {
    {"Y411 640x480", "Kestrel KC-640C", 3, {}, MEDIASUBTYPE_Y411, 640, 480},
    {"Y444 160x120", "Kestrel KC-640C", 4, {}, MEDIASUBTYPE_Y444, 160, 120},
    {"I420 640x480", "Kestrel KC-640C", 5, {}, MEDIASUBTYPE_I420, 640, 480},
    {"RGB24 640x480", "Kestrel KC-640C", 7, {}, MEDIASUBTYPE_RGB24, 640, 480},
    {"RAW8 region 320x240", "Kestrel KC-640C", 8, {16, 8, 336, 248}, MEDIASUBTYPE_RAW8, 320, 240},
    {"MO16 whole sensor", "Kestrel KM-1280M16", 1, {0, 0, 1280, 960}, MEDIASUBTYPE_MO16, 1280, 960},
    {"MO16 region 64x48", "Kestrel KM-1280M16", 1, {4, 2, 68, 50}, MEDIASUBTYPE_MO16, 64, 48},
};

class FrameLayoutTest : public GraphTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(FrameLayoutTest, FrameLayoutFollowsFormatAndRegion) {
  const LayoutCase& c = GetParam();
  {
    ComPtr<IBaseFilter> camera = BindCamera(c.camera);
    ComPtr<IFiVideoFormatConfig> formats;
    ASSERT_EQ(camera.As(formats), S_OK);
    if (c.region.right) {
      ASSERT_EQ(formats->SetCustomRect(c.format, c.region), S_OK);
    }
    ASSERT_EQ(formats->SetDefaultFormat(c.format), S_OK);
  }
  Graph g = Build(c.camera);
  ASSERT_EQ(g.connected, S_OK);
  ASSERT_EQ(g.control->Run(), S_OK);
  ASSERT_EQ(Step(c.camera), StepResult::Delivered);
  ASSERT_EQ(g.control->Stop(), S_OK);
  std::vector<uint8_t> frame;
  {
    std::lock_guard lock(recorder_.mutex);
    ASSERT_EQ(recorder_.frames.size(), 1u);
    frame = std::move(recorder_.frames[0]);
    recorder_.frames.clear();
  }
  EXPECT_EQ(frame.size(), FrameBytes(c.subtype, c.width, c.height)) << SubtypeName(c.subtype);
  std::vector<uint8_t> expected(frame.size());
  RenderPattern(c.subtype, c.width, c.height, FramesProduced(c.camera) - 1, BayerPattern::RGGB, expected.data());
  EXPECT_EQ(frame, expected) << SubtypeName(c.subtype);
  if (c.subtype == MEDIASUBTYPE_MO16) {
    // Grey at full 16-bit scale, most significant byte first: both bytes of a sample agree.
    for (size_t i = 0; i + 1 < frame.size(); i += 2) ASSERT_EQ(frame[i], frame[i + 1]) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FrameLayoutTest, ::testing::ValuesIn(kLayoutCases), tests::NameFromWhat());

TEST_F(GraphTest, DecompressorsGiveBottomUpRgb) {
  // Y800 through the Fire-i decompressor: grey RGB, picture row 0 last in memory.
  {
    ComPtr<IBaseFilter> camera = BindCamera("Kestrel KC-640C");
    ComPtr<IFiVideoFormatConfig> formats;
    ASSERT_EQ(camera.As(formats), S_OK);
    ASSERT_EQ(formats->SetDefaultFormat(6), S_OK);
  }
  Graph g = Build("Kestrel KC-640C", "Fire-i Yuv decompressor", 0);
  ASSERT_EQ(g.connected, S_OK);
  AM_MEDIA_TYPE mt;
  ASSERT_EQ(g.grabber->GetConnectedMediaType(&mt), S_OK);
  EXPECT_TRUE(mt.subtype == MEDIASUBTYPE_RGB24);
  FreeMediaType(mt);
  ASSERT_EQ(g.control->Run(), S_OK);
  ASSERT_EQ(Step("Kestrel KC-640C"), StepResult::Delivered);
  std::vector<uint8_t> grey(640 * 480);
  RenderPattern(MEDIASUBTYPE_Y800, 640, 480, 0, BayerPattern::RGGB, grey.data());
  std::lock_guard lock(recorder_.mutex);
  ASSERT_EQ(recorder_.frames.size(), 1u);
  const auto& rgb = recorder_.frames[0];
  ASSERT_EQ(rgb.size(), 640u * 480u * 3u);
  for (size_t y : {size_t{0}, size_t{1}, size_t{479}})
    for (size_t x : {size_t{0}, size_t{320}, size_t{639}}) {
      const uint8_t* p = &rgb[((479 - y) * 640 + x) * 3];
      EXPECT_EQ(p[0], grey[y * 640 + x]) << x << "," << y;
      EXPECT_EQ(p[1], p[0]);
      EXPECT_EQ(p[2], p[0]);
    }
}

TEST_F(GraphTest, RawModeDemosaicsInTheDecompressor) {
  const std::vector<uint8_t> mosaic = {200, 100, 100, 50};  // one RGGB cell: R G / G B
  std::vector<uint8_t> rgb(2 * 2 * 3);
  ASSERT_TRUE(ConvertToRgb24(MEDIASUBTYPE_RAW8, 2, 2, mosaic.data(), mosaic.size(), 1, rgb.data()));
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(rgb[3 * i + 2], 200) << "red";
    EXPECT_EQ(rgb[3 * i + 1], 100) << "green";
    EXPECT_EQ(rgb[3 * i + 0], 50) << "blue";
  }
  ASSERT_TRUE(ConvertToRgb24(MEDIASUBTYPE_RAW8, 2, 2, mosaic.data(), mosaic.size(), 4, rgb.data()));
  EXPECT_EQ(rgb[2], 50) << "BGGR reads the same cell the other way round";
  EXPECT_FALSE(ConvertToRgb24(MEDIASUBTYPE_RAW8, 2, 2, mosaic.data(), 3, 1, rgb.data())) << "short frame";
  EXPECT_FALSE(ConvertToRgb24(MEDIASUBTYPE_RGB24, 2, 2, rgb.data(), rgb.size(), 0, rgb.data()));
}

TEST_F(GraphTest, PauseFromInsideTheCallbackDoesNotDeadlock) {
  Graph g = Build("Kestrel KC-640C");
  IMediaControl* control = g.control.Get();
  recorder_.hook = [control] { control->Pause(); };
  ASSERT_EQ(g.control->Run(), S_OK);
  EXPECT_EQ(Step("Kestrel KC-640C"), StepResult::Delivered);
  FILTER_STATE state = State_Running;
  EXPECT_EQ(g.control->GetState(0, &state), S_OK);
  EXPECT_EQ(state, State_Paused);
  EXPECT_EQ(Step("Kestrel KC-640C"), StepResult::NotRunning) << "paused delivers nothing";
  recorder_.hook = nullptr;
  ASSERT_EQ(g.control->Run(), S_OK);
  EXPECT_EQ(Step("Kestrel KC-640C"), StepResult::Delivered);
  EXPECT_EQ(recorder_.frames.size(), 2u);
}

TEST_F(GraphTest, StopFromInsideTheCallbackAndRestart) {
  Graph g = Build("Kestrel KC-640C");
  IMediaControl* control = g.control.Get();
  recorder_.hook = [control] { control->Stop(); };
  ASSERT_EQ(g.control->Run(), S_OK);
  EXPECT_EQ(Step("Kestrel KC-640C"), StepResult::Delivered);
  recorder_.hook = nullptr;
  ComPtr<IPin> capture = FirstPin(g.camera.Get(), PINDIR_OUTPUT);
  ASSERT_EQ(g.control->Run(), S_OK);
  EXPECT_EQ(Step("Kestrel KC-640C"), StepResult::Delivered);
  ASSERT_EQ(g.control->Stop(), S_OK);
  EXPECT_EQ(g.graph->Disconnect(capture.Get()), S_OK);
}

TEST_F(GraphTest, StopWaitsForTheFrameInFlight) {
  Graph g = Build("Kestrel KC-640C");
  std::promise<void> entered, release;
  std::atomic<bool> finished{false};
  auto releaseFuture = release.get_future().share();
  recorder_.hook = [&] {
    entered.set_value();
    releaseFuture.wait();
    finished = true;
  };
  ASSERT_EQ(g.control->Run(), S_OK);
  auto stepper = std::async(std::launch::async, [] { return Step("Kestrel KC-640C"); });
  entered.get_future().wait();
  auto stopper = std::async(std::launch::async, [&] {
    g.control->Stop();
    return finished.load();
  });
  release.set_value();
  EXPECT_TRUE(stopper.get()) << "Stop returned while the callback was still running";
  EXPECT_EQ(stepper.get(), StepResult::Delivered);
  recorder_.hook = nullptr;
}

// Catches: a pause (or run) from the callback that reaches the graph after a
// stop has taken the streaming thread away starting a second thread, so that
// the first never ends and the stop waits for it for ever.
TEST_F(GraphTest, APauseOrRunDuringAStopDoesNotStartStreamingAgain) {
  for (const bool run : {false, true}) {
    SCOPED_TRACE(run ? "run" : "pause");
    Graph g = Build("Kestrel KC-640C");
    IMediaControl* control = g.control.Get();
    std::atomic<HRESULT> late{S_OK};
    std::promise<void> entered;
    recorder_.hook = [&] {
      entered.set_value();
      // Wait until the stop has begun (the state reads stopped) ...
      FILTER_STATE state = State_Running;
      while (control->GetState(0, &state) == S_OK && state != State_Stopped) std::this_thread::yield();
      // ... then do what a single-grab callback does after its image.
      late = run ? control->Run() : control->Pause();
    };
    ASSERT_EQ(g.control->Run(), S_OK);
    ASSERT_TRUE(Grant("Kestrel KC-640C", 1));
    entered.get_future().wait();
    auto stopper = std::async(std::launch::async, [&] { return g.control->Stop(); });
    if (stopper.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "Stop never returned";
      std::_Exit(1);
    }
    EXPECT_EQ(stopper.get(), S_OK);
    EXPECT_TRUE(FAILED(late.load())) << "the late call was taken";
    FILTER_STATE state = State_Running;
    EXPECT_EQ(g.control->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
    ComPtr<IPin> capture = FirstPin(g.camera.Get(), PINDIR_OUTPUT);
    EXPECT_EQ(g.graph->Disconnect(capture.Get()), S_OK) << "the graph still streams";
    recorder_.hook = nullptr;
  }
}

TEST_F(GraphTest, RunLateOrNeverThroughFaults) {
  Graph g = Build("Kestrel KC-640C");
  InjectFault({.operation = "IMediaControl::Run", .scope = "Kestrel KC-640C", .result = S_FALSE});
  EXPECT_EQ(g.control->Run(), S_FALSE);
  EXPECT_EQ(Step("Kestrel KC-640C"), StepResult::NotRunning) << "not running yet";
  FILTER_STATE state = State_Stopped;
  EXPECT_EQ(g.control->GetState(200, &state), S_OK);
  EXPECT_EQ(state, State_Running) << "late, but there";
  EXPECT_EQ(Step("Kestrel KC-640C"), StepResult::Delivered);
  ASSERT_EQ(g.control->Stop(), S_OK);

  InjectFault({.operation = "IMediaControl::Run", .result = S_FALSE});
  InjectFault({.operation = "IMediaControl::GetState", .count = -1, .result = VFW_S_STATE_INTERMEDIATE});
  EXPECT_EQ(g.control->Run(), S_FALSE);
  EXPECT_EQ(g.control->GetState(200, &state), VFW_S_STATE_INTERMEDIATE);
  EXPECT_EQ(state, State_Paused) << "never gets there";
  ClearFaults();
  InjectFault({.operation = "IMediaControl::Run"});
  EXPECT_EQ(g.control->Run(), E_FAIL);
}

TEST_F(GraphTest, CompletionEndsTheWaitOnlyForTheImageItBelongsTo) {
  Graph g = Build("Kestrel KC-640C");
  ComPtr<IMediaEventSink> sink;
  ASSERT_EQ(g.graph.As(sink), S_OK);
  int32_t code = -1;
  EXPECT_EQ(g.events->WaitForCompletion(0, &code), VFW_E_WRONG_STATE) << "a stopped graph completes nothing";
  EXPECT_EQ(code, 0);
  // A completion posted before a run belongs to an earlier image: Run discards it.
  ASSERT_EQ(sink->Notify(EC_COMPLETE, 0, 0), S_OK);
  ASSERT_EQ(g.control->Run(), S_OK);
  EXPECT_EQ(g.events->WaitForCompletion(0, &code), E_ABORT);
  EXPECT_EQ(code, 0);
  // The callback finishing its image posts the completion on the streaming thread.
  IMediaEventSink* s = sink.Get();
  IMediaControl* control = g.control.Get();
  recorder_.hook = [s, control] {
    control->Pause();
    s->Notify(EC_COMPLETE, 0, 0);
  };
  auto waiter = std::async(std::launch::async, [&] {
    int32_t c = 0;
    g.events->WaitForCompletion(INFINITE_WAIT, &c);
    return c;
  });
  EXPECT_EQ(Step("Kestrel KC-640C"), StepResult::Delivered);
  EXPECT_EQ(waiter.get(), EC_COMPLETE);
  EXPECT_EQ(g.events->WaitForCompletion(0, &code), E_ABORT) << "one completion ends one wait";
  recorder_.hook = nullptr;
}

TEST_F(GraphTest, CamerasThatGiveNoFrame) {
  const char* kCam = "Kestrel KC-640C";
  Graph g = Build(kCam);
  ASSERT_EQ(g.control->Run(), S_OK);
  ASSERT_TRUE(StopFrames(kCam, 1));
  EXPECT_EQ(Step(kCam), StepResult::Delivered);
  EXPECT_EQ(Step(kCam), StepResult::NoFrame);
  ASSERT_TRUE(ResumeFrames(kCam));
  EXPECT_EQ(Step(kCam), StepResult::Delivered);
  // In trigger mode a frame needs a trigger pulse.
  ASSERT_TRUE(PokeRegister(kCam, 0xF0F00830, 0x82000000));
  EXPECT_EQ(Step(kCam), StepResult::NoFrame);
  ASSERT_TRUE(FireTrigger(kCam));
  EXPECT_EQ(Step(kCam), StepResult::Delivered);
  EXPECT_EQ(Step(kCam), StepResult::NoFrame);
  ASSERT_TRUE(PokeRegister(kCam, 0xF0F00830, 0x80000000));
  ASSERT_TRUE(Disappear(kCam));
  EXPECT_EQ(Step(kCam), StepResult::NoFrame);
  EXPECT_EQ(recorder_.frames.size(), 3u);
}

// Free-running rates: frames flow on their own until the callback pauses the graph.
struct RateCase {
  const char* what;
  Rate rate;
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.what; }

const RateCase kFreeRates[] = {{"fast", Rate::Fast}, {"real time", Rate::RealTime}};

class FreeRunningTest : public GraphTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(FreeRunningTest, FreeRunningRatesStreamUntilTheCallbackPauses) {
  const Rate rate = GetParam().rate;
  Graph g = Build("USB 2.0 Video Camera");
  ComPtr<IMediaEventSink> sink;
  ASSERT_EQ(g.graph.As(sink), S_OK);
  IMediaEventSink* s = sink.Get();
  IMediaControl* control = g.control.Get();
  std::atomic<int> count{0};
  const int wanted = rate == Rate::Fast ? 5 : 2;
  recorder_.hook = [&, s, control] {
    if (++count == wanted) {
      control->Pause();
      s->Notify(EC_COMPLETE, 0, 0);
    }
  };
  SetRate(rate);
  ASSERT_EQ(g.control->Run(), S_OK);
  int32_t code = 0;
  EXPECT_EQ(g.events->WaitForCompletion(INFINITE_WAIT, &code), S_OK);
  EXPECT_EQ(code, EC_COMPLETE);
  EXPECT_EQ(count.load(), wanted) << "paused right after the last wanted frame";
  // A step at a free-running rate returns after the next frame.
  ASSERT_EQ(g.control->Run(), S_OK);
  EXPECT_EQ(Step("USB 2.0 Video Camera"), StepResult::Delivered);
  ASSERT_EQ(g.control->Stop(), S_OK);
  recorder_.hook = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Rates, FreeRunningTest, ::testing::ValuesIn(kFreeRates), tests::NameFromWhat());

// Frames from a file play in a loop; dark frames of the description come at their period.
TEST_F(GraphTest, FrameSourcesFileAndDarkFrames) {
  const std::string file = ::testing::TempDir() + "kelvane_sim_frames.raw";
  {
    std::vector<uint8_t> frames(2 * 8 * 4);
    std::fill(frames.begin(), frames.begin() + 32, uint8_t{11});
    std::fill(frames.begin() + 32, frames.end(), uint8_t{22});
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(frames.data(), 1, frames.size(), f), frames.size());
    std::fclose(f);
  }
  const std::string bus = R"({"cameras": [
      {"name": "Player", "kind": "usb", "formats": [{"subtype": "Y800", "width": 8, "height": 4}],
       "source": {"file": ")" +
                          file + R"("}},
      {"name": "Dark", "kind": "usb", "formats": [{"subtype": "YUY2", "width": 8, "height": 4}],
       "source": {"blank_every": 2}}]})";
  ASSERT_TRUE(LoadBusFromText(bus)) << LastBusError();
  {
    Graph g = Build("Player");
    ASSERT_EQ(g.control->Run(), S_OK);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Step("Player"), StepResult::Delivered);
  }
  {
    Graph g = Build("Dark");
    ASSERT_EQ(g.control->Run(), S_OK);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(Step("Dark"), StepResult::Delivered);
  }
  std::lock_guard lock(recorder_.mutex);
  ASSERT_EQ(recorder_.frames.size(), 5u);
  EXPECT_EQ(recorder_.frames[0], std::vector<uint8_t>(32, 11));
  EXPECT_EQ(recorder_.frames[1], std::vector<uint8_t>(32, 22));
  EXPECT_EQ(recorder_.frames[2], std::vector<uint8_t>(32, 11)) << "the file plays again from the start";
  EXPECT_NE(recorder_.frames[3][0], 0) << "a picture";
  std::vector<uint8_t> rgb(8 * 4 * 3, 0xFF);
  ASSERT_TRUE(
      ConvertToRgb24(MEDIASUBTYPE_YUY2, 8, 4, recorder_.frames[4].data(), recorder_.frames[4].size(), 0, rgb.data()));
  EXPECT_EQ(rgb, std::vector<uint8_t>(rgb.size(), 0)) << "the second frame is dark";
  std::remove(file.c_str());
}

// A frame source that is not a regular file is refused without opening it for
// a blocking read (a named pipe would hold the streaming thread, and with it
// every Stop, until some writer came): the camera sends its test pattern and
// says so once.
TEST_F(GraphTest, FrameSourcesThatAreNotRegularFilesGiveThePattern) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "kelvane_sim_sources";
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(std::filesystem::create_directories(dir / "frames.d"));
  const std::string fifo = (dir / "frames.pipe").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& file : {fifo, (dir / "frames.d").string()}) {
    const std::string source = R"("source": {"file": ")" + file + R"("})";
    ASSERT_TRUE(LoadBusFromText(R"({"cameras": [{"name": "Player", "kind": "usb", )" + source +
                                R"(, "formats": [{"subtype": "Y800", "width": 8, "height": 4}]}]})"))
        << LastBusError();
    {
      std::lock_guard lock(g_messagesMutex);
      g_messages.clear();
    }
    {
      Graph g = Build("Player");
      ASSERT_EQ(g.control->Run(), S_OK);
      for (int i = 0; i < 2; ++i) ASSERT_EQ(Step("Player"), StepResult::Delivered) << file;
      ASSERT_EQ(g.control->Stop(), S_OK);
    }
    EXPECT_EQ(Messages(), std::vector<std::string>{"Simulated camera Player: frame source " + file +
                                                   ": not a regular file; sending the test pattern\r\n"});
    std::lock_guard lock(recorder_.mutex);
    ASSERT_EQ(recorder_.frames.size(), 2u);
    EXPECT_EQ(recorder_.frames[0], RenderFrame("Player", 0)) << file;
    EXPECT_EQ(recorder_.frames[1], RenderFrame("Player", 1)) << file;
    recorder_.frames.clear();
  }
  std::filesystem::remove_all(dir);
}

TEST_F(GraphTest, CaptureGraphBuilderFindsStreamConfigOnTheCapturePin) {
  ComPtr<ICaptureGraphBuilder2> builder;
  ASSERT_EQ(CoCreateInstance(CLSID_CaptureGraphBuilder2, ICaptureGraphBuilder2::iid, builder.PutVoid()), S_OK);
  ComPtr<IGraphBuilder> graph;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, IGraphBuilder::iid, graph.PutVoid()), S_OK);
  EXPECT_EQ(builder->SetFiltergraph(graph.Get()), S_OK);
  EXPECT_EQ(builder->SetFiltergraph(graph.Get()), E_UNEXPECTED);
  ComPtr<IBaseFilter> camera = BindCamera("USB 2.0 Video Camera");
  ComPtr<IAMStreamConfig> config;
  EXPECT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.Get(), IAMStreamConfig::iid,
                                   config.PutVoid()),
            S_OK);
  EXPECT_TRUE(config);
  ComPtr<IBaseFilter> grabber;
  ASSERT_EQ(CoCreateInstance(CLSID_SampleGrabber, IBaseFilter::iid, grabber.PutVoid()), S_OK);
  EXPECT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, grabber.Get(), IAMStreamConfig::iid,
                                   config.PutVoid()),
            E_NOINTERFACE);
  EXPECT_FALSE(config);
}

#if KELVANE_HAVE_JPEG

// ---- Motion-JPEG through the AVI Decompressor ------------------------------------------------------

// A JPEG of the test pattern made as a camera makes one.
std::vector<uint8_t> MakeJpeg(int32_t w, int32_t h, int subsampling, int64_t picture = 0) {
  std::vector<uint8_t> bgr(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
  RenderPattern(MEDIASUBTYPE_RGB24, w, h, picture, BayerPattern::RGGB, bgr.data());
  tjhandle encoder = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(encoder, bgr.data(), w, w * 3, h, TJPF_BGR, &jpeg, &size, subsampling, 85, TJFLAG_BOTTOMUP), 0);
  std::vector<uint8_t> out(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(encoder);
  return out;
}

// libjpeg-turbo's own decode: the reference, filled with other bytes first.
std::vector<uint8_t> DecodeJpeg(const std::vector<uint8_t>& jpeg, int32_t w, int32_t h) {
  std::vector<uint8_t> bgr(static_cast<size_t>(w) * static_cast<size_t>(h) * 3, 0x5A);
  tjhandle decoder = tjInitDecompress();
  EXPECT_EQ(tjDecompress2(decoder, jpeg.data(), static_cast<unsigned long>(jpeg.size()), bgr.data(), w, w * 3, h,
                          TJPF_BGR, TJFLAG_BOTTOMUP),
            0)
      << tjGetErrorStr2(decoder);
  tjDestroy(decoder);
  return bgr;
}

// The frame without its DHT segments, as UVC cameras send it: the standard
// tables are implied.
std::vector<uint8_t> WithoutHuffmanTables(std::vector<uint8_t> jpeg) {
  size_t i = 2;
  while (i + 4 <= jpeg.size() && jpeg[i] == 0xFF && jpeg[i + 1] != 0xDA) {
    const size_t length = size_t{jpeg[i + 2]} << 8 | jpeg[i + 3];
    if (jpeg[i + 1] == 0xC4)
      jpeg.erase(jpeg.begin() + static_cast<std::ptrdiff_t>(i),
                 jpeg.begin() + static_cast<std::ptrdiff_t>(i + 2 + length));
    else
      i += 2 + length;
  }
  return jpeg;
}

bool HasHuffmanTables(const std::vector<uint8_t>& jpeg) {
  for (size_t i = 0; i + 1 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC4) return true;
  return false;
}

std::string MjpegBus(int32_t w, int32_t h) {
  return R"({"cameras": [{"name": "Mjpeg", "kind": "usb", "formats": [{"subtype": "MJPG", "width": )" +
         std::to_string(w) + R"(, "height": )" + std::to_string(h) + R"(}]}],
      "filters": [{"name": "Fire-i Yuv decompressor", "kind": "fire-i-yuv"},
                  {"name": "AVI Decompressor", "kind": "avi"}]})";
}

struct JpegCase {
  const char* name;
  int32_t width, height;
  int subsampling;
  bool withoutTables;
};
void PrintTo(const JpegCase& c, std::ostream* os) { *os << c.name; }

class MjpegDecompressorTest : public GraphTest, public ::testing::WithParamInterface<JpegCase> {
 protected:
  // Hands a frame to the decompressor's input as the streaming thread would.
  static void Feed(Graph& g, std::vector<uint8_t> frame) {
    framework::Filter* decompressor = framework::AsFilter(g.decompressor.Get());
    decompressor->Receive(*decompressor->FirstPin(PINDIR_INPUT), frame.data(), frame.size(), 0);
  }
};

// A JPEG through the decompressor gives exactly libjpeg-turbo's bottom-up BGR
// of it, at any size, in any subsampling, grey, and without Huffman tables;
// and the simulated camera's own frames decode the same way.
TEST_P(MjpegDecompressorTest, DecodesAsLibjpegTurboDoes) {
  const JpegCase& c = GetParam();
  ASSERT_TRUE(LoadBusFromText(MjpegBus(c.width, c.height))) << LastBusError();
  Graph g = Build("Mjpeg", "AVI Decompressor");
  ASSERT_EQ(g.connected, S_OK);
  AM_MEDIA_TYPE mt;
  ASSERT_EQ(g.grabber->GetConnectedMediaType(&mt), S_OK);
  EXPECT_TRUE(mt.subtype == MEDIASUBTYPE_RGB24);
  ASSERT_NE(VideoInfo(mt), nullptr);
  EXPECT_EQ(VideoInfo(mt)->bmiHeader.biWidth, c.width);
  EXPECT_EQ(VideoInfo(mt)->bmiHeader.biHeight, c.height);
  FreeMediaType(mt);

  std::vector<uint8_t> jpeg = MakeJpeg(c.width, c.height, c.subsampling);
  const std::vector<uint8_t> expected = DecodeJpeg(jpeg, c.width, c.height);
  if (c.withoutTables) {
    jpeg = WithoutHuffmanTables(std::move(jpeg));
    ASSERT_FALSE(HasHuffmanTables(jpeg));
  }
  Feed(g, jpeg);
  ASSERT_EQ(g.control->Run(), S_OK);
  ASSERT_EQ(Step("Mjpeg"), StepResult::Delivered);
  ASSERT_EQ(g.control->Stop(), S_OK);
  const std::vector<uint8_t> sent = RenderFrame("Mjpeg", 0);
  ASSERT_GE(sent.size(), 4u);
  EXPECT_TRUE(sent[0] == 0xFF && sent[1] == 0xD8) << "the camera sends a JPEG";
  EXPECT_LT(sent.size(), FrameBytes(MEDIASUBTYPE_MJPG, c.width, c.height));

  std::lock_guard lock(recorder_.mutex);
  ASSERT_EQ(recorder_.frames.size(), 2u);
  EXPECT_TRUE(recorder_.frames[0] == expected);
  EXPECT_TRUE(recorder_.frames[1] == DecodeJpeg(sent, c.width, c.height));
  EXPECT_TRUE(Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Jpegs, MjpegDecompressorTest,
                         ::testing::Values(JpegCase{"Vga422", 640, 480, TJSAMP_422, false},
                                           JpegCase{"Odd420", 100, 75, TJSAMP_420, false},
                                           JpegCase{"Odd422", 33, 17, TJSAMP_422, false},
                                           JpegCase{"Odd444", 50, 30, TJSAMP_444, false},
                                           JpegCase{"Grey", 64, 48, TJSAMP_GRAY, false},
                                           JpegCase{"NoHuffmanTables", 160, 120, TJSAMP_422, true},
                                           JpegCase{"NoHuffmanTablesOdd420", 75, 45, TJSAMP_420, true}),
                         [](const ::testing::TestParamInfo<JpegCase>& param) { return std::string(param.param.name); });

// Frames that do not decode are dropped, none written past the decoder's
// buffer (the sanitizer build watches), and said once for the stream; the
// next good frame goes through, and a new connection says it again.
TEST_F(MjpegDecompressorTest, BadFramesAreDroppedAndSaidOncePerStream) {
  constexpr int32_t w = 64, h = 48;
  ASSERT_TRUE(LoadBusFromText(MjpegBus(w, h))) << LastBusError();
  const std::vector<uint8_t> good = MakeJpeg(w, h, TJSAMP_422);
  auto garbled = good;  // a run of fill bytes and a marker where scan data should be
  for (size_t i = good.size() / 2; i < good.size() / 2 + 16; ++i) garbled[i] = 0xFF;
  garbled[good.size() / 2 + 16] = 0xD3;
  auto badMarker = good;
  badMarker[3] = 0x01;
  std::vector<uint8_t> junk(200, 0x37);
  junk[0] = 0xFF, junk[1] = 0xD8;
  const std::pair<const char*, std::vector<uint8_t>> bad[] = {
      {"cut in half", std::vector<uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2))},
      {"no end marker", std::vector<uint8_t>(good.begin(), good.end() - 2)},
      {"scan data garbled", garbled},
      {"bad marker", badMarker},
      {"no frame header", junk},
      {"three bytes", std::vector<uint8_t>(good.begin(), good.begin() + 3)},
      {"empty", {}},
      {"larger picture", MakeJpeg(2 * w, 2 * h, TJSAMP_422)},
      {"wider picture", MakeJpeg(w + 16, h, TJSAMP_420)},
      {"smaller picture", MakeJpeg(w / 2, h / 2, TJSAMP_422)},
  };
  const std::string said = "Simulated stream: Mjpeg: AVI Decompressor: dropped a Motion-JPEG frame";
  auto count = [&] {
    int n = 0;
    for (const auto& m : Messages()) n += m.rfind(said, 0) == 0 ? 1 : 0;
    return n;
  };
  for (int connection = 0; connection < 2; ++connection) {
    Graph g = Build("Mjpeg", "AVI Decompressor");
    ASSERT_EQ(g.connected, S_OK);
    for (const auto& [name, frame] : bad) {
      SCOPED_TRACE(name);
      Feed(g, frame);
      std::lock_guard lock(recorder_.mutex);
      EXPECT_TRUE(recorder_.frames.empty());
    }
    EXPECT_EQ(count(), connection + 1) << "once per stream";
    Feed(g, good);
    std::lock_guard lock(recorder_.mutex);
    ASSERT_EQ(recorder_.frames.size(), 1u);
    EXPECT_TRUE(recorder_.frames[0] == DecodeJpeg(good, w, h)) << "a good frame after bad ones";
    recorder_.frames.clear();
  }
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], said +
                             " that does not decode (Premature end of JPEG file); further ones are dropped "
                             "without a message\r\n");
}

// The Fire-i decompressor does not read Motion-JPEG, and no converter makes
// anything it reads out of it.
TEST_F(MjpegDecompressorTest, FireiDecompressorRefusesMjpg) {
  ASSERT_TRUE(LoadBusFromText(MjpegBus(64, 48))) << LastBusError();
  Graph g = Build("Mjpeg", "Fire-i Yuv decompressor");
  EXPECT_EQ(g.connected, VFW_E_CANNOT_CONNECT);
}

#endif  // KELVANE_HAVE_JPEG

}  // namespace
}  // namespace kelvane::sim::testing
