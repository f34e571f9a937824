// Graph control: running, pausing and stopping a built graph, frames reaching a
// sample callback on the streaming thread, and a callback that pauses its own graph.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "capture/graph.h"
#include "capture/stream_format.h"
#include "capture_fixture.h"
#include "test_names.h"

namespace kelvane::capture::testing {
namespace {

constexpr const char* kColour = "Kestrel KC-640C";

// A sample callback of the test's own: records what arrives and where, and can
// pause its graph from inside the callback as the library's own callback does.
class RecordingCallback final : public ISampleGrabberCB {
 public:
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!(riid == IUnknown::iid) && !(riid == ISampleGrabberCB::iid)) return E_NOINTERFACE;
    *out = static_cast<ISampleGrabberCB*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }  // owned by the test
  HRESULT SampleCB(double, IMediaSample*) override { return E_NOTIMPL; }

  HRESULT BufferCB(double, uint8_t* buffer, int32_t length) override {
    if (pauseFrom) pauseFrom->Pause();
    std::lock_guard lock(mutex_);
    if (lengths.empty() && buffer && length > 0) first.assign(buffer, buffer + length);
    lengths.push_back(length);
    threads.push_back(std::this_thread::get_id());
    arrived_.notify_all();
    return S_OK;
  }

  // A bounded wait: real time is the point of the test that uses it.
  bool WaitFor(size_t frames) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return lengths.size() >= frames; });
  }
  size_t Frames() {
    std::lock_guard lock(mutex_);
    return lengths.size();
  }
  ULONG References() const { return refs_.load(); }

  IMediaControl* pauseFrom = nullptr;
  std::mutex mutex_;
  std::vector<int32_t> lengths;
  std::vector<std::thread::id> threads;
  std::vector<uint8_t> first;

 private:
  std::atomic<ULONG> refs_{0};
  std::condition_variable arrived_;
};

// The colour camera built in grey Y800 (connected directly) or colour YUY2 (through its decompressor).
CameraRecord& Build(CameraRecord& camera, bool colour) {
  camera.Settings.SubType = colour ? MEDIASUBTYPE_YUY2 : MEDIASUBTYPE_Y800;
  camera.Settings.Color = colour;
  EXPECT_EQ(SetStreamConfig(camera), S_OK);
  EXPECT_EQ(BuildCaptureGraph(camera), S_OK);
  return camera;
}

FILTER_STATE StateOf(IMediaControl* control) {
  FILTER_STATE state = State_Stopped;
  control->GetState(0, &state);
  return state;
}

struct RunCase {
  const char* what;
  std::vector<sim::Fault> faults;
  int result;
  std::vector<std::string> log;
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const RunCase kRunCases[] = {
    {"runs at once", {}, 0, {}},
    {"S_FALSE, then running", {MakeFault("IMediaControl::Run", kColour, 1, S_FALSE)}, 0, {}},
    {"S_FALSE, never running",
     {MakeFault("IMediaControl::Run", kColour, 1, S_FALSE),
      MakeFault("IMediaControl::GetState", kColour, 1, VFW_S_STATE_INTERMEDIATE)},
     1, {"RunGraph failed !\n"}},
    {"Run fails", {MakeFault("IMediaControl::Run", kColour)}, 1, {"RunGraph failed !\n"}},
};
// clang-format on

class RunGraphTest : public CaptureTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(RunGraphTest, RunGraphReportsWhetherTheGraphRuns) {
  const RunCase& c = GetParam();
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Build(Camera(kColour), false);
  for (const auto& f : c.faults) sim::InjectFault(f);
  ClearLog();
  for (int32_t timeout : {0, 1000}) {
    EXPECT_EQ(RunGraph(camera.MediaControl.Get(), timeout), c.result);
    if (!c.faults.empty()) break;  // the faults are spent
  }
  EXPECT_EQ(Log(), c.log);
  EXPECT_EQ(sim::PendingFaults("IMediaControl::GetState"), 0);
  EXPECT_EQ(StopGraph(camera.MediaControl.Get()), S_OK);
  TearDownGraph(camera);
}

INSTANTIATE_TEST_SUITE_P(Cases, RunGraphTest, ::testing::ValuesIn(kRunCases), tests::NameFromWhat());

TEST_F(CaptureTest, RunGraphWithoutAControlFails) {
  ClearLog();
  EXPECT_EQ(RunGraph(nullptr, 0), 1);
  EXPECT_EQ(Log(), std::vector<std::string>{"RunGraph failed !\n"});
}

struct PauseStopCase {
  const char* what;
  HRESULT (*operation)(IMediaControl*);
  std::vector<sim::Fault> faults;
  HRESULT result;
  std::vector<std::string> log;
  FILTER_STATE state;
};

void PrintTo(const PauseStopCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const PauseStopCase kPauseStopCases[] = {
    {"pause", PauseGraph, {}, S_OK, {}, State_Paused},
    {"pause fails", PauseGraph, {MakeFault("IMediaControl::Pause", kColour)}, E_FAIL,
     {"PauseGraph failed ! - E_FAIL [0x80004005]\r\n"}, State_Running},
    {"stop", StopGraph, {}, S_OK, {}, State_Stopped},
    {"stop fails", StopGraph, {MakeFault("IMediaControl::Stop", kColour, 1, VFW_E_WRONG_STATE)},
     VFW_E_WRONG_STATE, {"StopGraph failed ! - VFW_E_WRONG_STATE [0x80040227]\r\n"}, State_Running},
};
// clang-format on

class PauseStopTest : public CaptureTest, public ::testing::WithParamInterface<PauseStopCase> {};

TEST_P(PauseStopTest, PauseAndStopLogTheirFailures) {
  const PauseStopCase& c = GetParam();
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Build(Camera(kColour), false);
  IMediaControl* control = camera.MediaControl.Get();
  ASSERT_EQ(RunGraph(control, 0), 0);
  for (const auto& f : c.faults) sim::InjectFault(f);
  ClearLog();
  EXPECT_EQ(c.operation(control), c.result);
  EXPECT_EQ(Log(), c.log);
  EXPECT_EQ(StateOf(control), c.state);
  TearDownGraph(camera);
}

INSTANTIATE_TEST_SUITE_P(Cases, PauseStopTest, ::testing::ValuesIn(kPauseStopCases), tests::NameFromWhat());

TEST_F(CaptureTest, PauseWithoutAControlFails) { EXPECT_EQ(PauseGraph(nullptr), E_POINTER); }

struct StreamCase {
  const char* what;
  bool colour;
  int32_t bytes;
  bool exact;  // the camera's own bytes arrive unchanged
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.what; }

// clang-format off
const StreamCase kStreamCases[] = {
    {"grey, direct", false, 640 * 480, true},
    {"colour, through the decompressor", true, 640 * 480 * 3, false},
};
// clang-format on

class RealTimeStreamTest : public CaptureTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(RealTimeStreamTest, BuiltGraphStreamsInRealTimeOnItsOwnThread) {
  const StreamCase& c = GetParam();
  sim::SetRate(sim::Rate::Stepped);
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Build(Camera(kColour), c.colour);
  RecordingCallback callback;
  ASSERT_EQ(camera.SampleGrabber->SetCallback(&callback, 1), S_OK);
  const int64_t firstIndex = sim::FramesProduced(kColour);

  sim::SetRate(sim::Rate::RealTime);
  ASSERT_EQ(RunGraph(camera.MediaControl.Get(), 0), 0);
  EXPECT_TRUE(callback.WaitFor(3)) << "frames did not arrive";
  EXPECT_EQ(StopGraph(camera.MediaControl.Get()), S_OK);

  std::lock_guard lock(callback.mutex_);
  ASSERT_GE(callback.lengths.size(), 3u);
  for (int32_t length : callback.lengths) EXPECT_EQ(length, c.bytes);
  for (auto id : callback.threads) EXPECT_NE(id, std::this_thread::get_id());
  if (c.exact) {
    EXPECT_EQ(callback.first, sim::RenderFrame(kColour, firstIndex));
  }
  TearDownGraph(camera);
  EXPECT_EQ(callback.References(), 0u) << "the teardown removes the callback";
}

INSTANTIATE_TEST_SUITE_P(Cases, RealTimeStreamTest, ::testing::ValuesIn(kStreamCases), tests::NameFromWhat());

TEST_F(CaptureTest, CallbackPausingItsOwnGraphDoesNotDeadlock) {
  ASSERT_EQ(Enumerate(), S_OK);
  CameraRecord& camera = Build(Camera(kColour), false);
  RecordingCallback callback;
  callback.pauseFrom = camera.MediaControl.Get();
  ASSERT_EQ(camera.SampleGrabber->SetCallback(&callback, 1), S_OK);

  for (size_t grab = 1; grab <= 2; ++grab) {
    ASSERT_EQ(RunGraph(camera.MediaControl.Get(), 0), 0);
    EXPECT_EQ(sim::Step(kColour), sim::StepResult::Delivered);
    EXPECT_EQ(callback.Frames(), grab);
    EXPECT_EQ(StateOf(camera.MediaControl.Get()), State_Paused);
    EXPECT_EQ(sim::Step(kColour), sim::StepResult::NotRunning) << "a paused graph delivers nothing";
  }
  TearDownGraph(camera);
  EXPECT_EQ(callback.Frames(), 2u);
  EXPECT_EQ(callback.References(), 0u);
}

}  // namespace
}  // namespace kelvane::capture::testing
