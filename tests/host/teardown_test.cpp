// The last close of a camera always finishes, releases everything and never
// touches freed memory: closes that meet a callback, a graph that will not
// stop, and drivers that fail or raise on the way out.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "host/camera_lock.h"
#include "host_fixture.h"

namespace kelvane::testing {
namespace {

class TeardownTest : public HostTest {
 protected:
  // Another holder of the camera lock (as another process would be) can take it.
  static bool LockIsFree(int index) {
    host::CameraLock other;
    std::string error;
    return other.TryAcquire(index, &error) == host::CameraLock::Result::Taken;
  }
  // A clean open, grab and close after whatever the test did. A graph that
  // streams continuously would deliver a frame granted ahead before the grab
  // asks for it, and that frame is not the grab's: frames are stepped through
  // until the grab has its own.
  void CleanCycle(const Camera& camera, int64_t baseline) {
    sim::ClearFaults();
    ASSERT_EQ(Open(0, camera), 1);
    sim::Grant(camera.friendly, 1);
    auto grab = std::async(std::launch::async, [] { return doCVLGrab(0, 0); });
    while (grab.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      sim::Step(camera.friendly);
      std::this_thread::yield();
    }
    EXPECT_EQ(grab.get(), 1) << "the first grab after the reopen";
    EXPECT_TRUE(closeCVLPort(0, 0));
    EXPECT_EQ(sim::LiveObjects(), baseline);
  }
};

// The callback that closes its own port, and what it saw.
std::promise<bool> g_closedInside;
int32_t CloseOwnPort(int32_t grabber, int32_t port) {
  g_closedInside.set_value(closeCVLPort(grabber, port));
  return 0;
}

// Catches: the sample callback object freed by a close from inside the
// callback it is still running (use after free), and a release that never
// happens (lock held, graph kept) because it could not wait for itself.
TEST_F(TeardownTest, ACallbackMayCloseItsOwnPort) {
  WriteSettings(kColour.config, {});
  Initialize();
  const int64_t baseline = Baseline(kColour);
  Watchdog watchdog(std::chrono::seconds(60));
  ASSERT_EQ(Open(0, kColour), 1);
  ASSERT_EQ(setCompleteCallback(0, 0, CloseOwnPort), 1);
  auto closed = g_closedInside.get_future();
  sim::Grant(kColour.friendly, 1);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  EXPECT_TRUE(closed.get());
  EXPECT_EQ(doCVLGrab(0, 0), 0) << "the port is closed";
  // The reopen waits for the release that the callback began.
  CleanCycle(kColour, baseline);
  EXPECT_TRUE(LockIsFree(0));
}

// A callback that waits inside until the test lets it go.
std::atomic<bool> g_inside{false};
std::promise<void> g_entered;
std::shared_future<void> g_leave;
int32_t WaitInside(int32_t, int32_t) {
  g_inside = true;
  g_entered.set_value();
  g_leave.wait();
  g_inside = false;
  return 0;
}

// Catches: setCompleteCallback(NULL) or closeCVLPort returning (and the host
// freeing what its callback uses) while the camera's callback still runs.
TEST_F(TeardownTest, HostCallsDoNotReturnWhileTheCallbackRuns) {
  WriteSettings(kColour.config, {});
  Initialize();
  Watchdog watchdog(std::chrono::seconds(60));
  for (const bool close : {false, true}) {
    SCOPED_TRACE(close ? "closeCVLPort" : "setCompleteCallback(NULL)");
    g_entered = std::promise<void>();
    std::promise<void> leave;
    g_leave = leave.get_future().share();
    ASSERT_EQ(Open(0, kColour), 1);
    ASSERT_EQ(setCompleteCallback(0, 0, WaitInside), 1);
    sim::Grant(kColour.friendly, 1);
    ASSERT_EQ(doCVLGrab(0, 0), 1);
    g_entered.get_future().wait();
    auto call = std::async(std::launch::async, [close] {
      if (close)
        closeCVLPort(0, 0);
      else
        setCompleteCallback(0, 0, nullptr);
      return g_inside.load();
    });
    // The call must still be waiting; a call that returns at once is caught here.
    EXPECT_EQ(call.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    leave.set_value();
    EXPECT_FALSE(call.get()) << "returned while the callback was running";
    if (!close) {
      EXPECT_TRUE(closeCVLPort(0, 0));
    }
  }
}

// Catches: a close that lands while a single-grab image is finished hanging
// for ever (the callback's pause restarting the graph under the stop).
TEST_F(TeardownTest, CloseAsAnImageFinishesNeverHangs) {
  WriteSettings(kColour.config, {"Timeout=1"});
  Initialize();
  sim::SetRate(sim::Rate::Fast);
  Watchdog watchdog(std::chrono::seconds(60));
  for (int i = 0; i < 40; ++i) {
    int32_t size[2];
    ASSERT_EQ(openCVLPort(0, 0, kColour.config, size), 1) << "cycle " << i;
    doCVLGrab(0, 0);
    ASSERT_TRUE(closeCVLPort(0, 0)) << "cycle " << i;
  }
}

struct DriverFault {
  const char* operation;
  bool raise;
};
void PrintTo(const DriverFault& f, std::ostream* os) { *os << f.operation << (f.raise ? " raises" : " fails"); }

class FailingCloseTest : public TeardownTest, public ::testing::WithParamInterface<DriverFault> {};

// Catches: a driver that fails or raises during the last close skipping the
// rest of it: the camera left locked with no port on it, a graph that keeps
// streaming into a freed callback and frame store, a camera that never opens
// again, or a first grab after the reopen that times out.
TEST_P(FailingCloseTest, TheLastCloseReleasesEverything) {
  const DriverFault f = GetParam();
  WriteSettings(kColour.config, {"ContinousVideo=1"});
  Initialize();
  const int64_t baseline = Baseline(kColour);
  Watchdog watchdog(std::chrono::seconds(60));
  ASSERT_EQ(Open(0, kColour), 1);
  // Streaming into the callback while the close runs.
  sim::SetRate(sim::Rate::Fast);
  ASSERT_EQ(setProperty(0, 0, "Continous", 1), 1);
  sim::InjectFault(
      {f.operation, "", -1, platform::E_FAIL, f.raise ? std::optional<std::string>("driver fault") : std::nullopt});
  closeCVLPort(0, 0);
  sim::ClearFaults();
  EXPECT_TRUE(LockIsFree(0)) << "the camera stayed locked";
  sim::SetRate(sim::Rate::Stepped);
  CleanCycle(kColour, baseline);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, FailingCloseTest,
    ::testing::Values(DriverFault{"IMediaControl::Stop", false}, DriverFault{"IMediaControl::Stop", true},
                      DriverFault{"IFiCameraInfo::ReadRegister", true},
                      DriverFault{"IFiCameraInfo::WriteRegister", true}, DriverFault{"IBaseFilter::EnumPins", true},
                      DriverFault{"IFilterGraph::Disconnect", true}, DriverFault{"IFilterGraph::Disconnect", false},
                      DriverFault{"IFilterGraph::RemoveFilter", true}, DriverFault{"IPin::ConnectedTo", true},
                      DriverFault{"IPin::QueryPinInfo", true}, DriverFault{"ISampleGrabber::SetCallback", true},
                      DriverFault{"ISampleGrabber::SetCallback", false}),
    [](const ::testing::TestParamInfo<DriverFault>& param) {
      std::string name = param.param.operation;
      for (char& c : name)
        if (c == ':') c = '_';
      return name + (param.param.raise ? "_raises" : "_fails");
    });

}  // namespace
}  // namespace kelvane::testing
