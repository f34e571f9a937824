// Open, grab and close in repeated and odd orders. Each case says which fault
// it would catch; every one ends with the simulation holding exactly the
// objects it held after the first open and close (nothing leaked per cycle).
#include <atomic>
#include <thread>

#include "host_fixture.h"
#include "settings/camera_settings.h"

namespace kelvane::testing {
namespace {

class LifecycleTest : public HostTest {};

std::atomic<int> g_images{0};
int32_t Count(int32_t, int32_t) {
  g_images.fetch_add(1);
  return 0;
}

// Catches: resources of a first open not released by the last close (filters,
// callback, frame store, camera lock), and a graph rebuilt instead of reused.
TEST_F(LifecycleTest, RepeatedOpenGrabCloseLeaksNothing) {
  WriteSettings(kColour.config, {});
  WriteSettings(kUsb.config, {});
  Initialize();
  const int64_t colour = Baseline(kColour);
  const int64_t references = sim::OutstandingReferences();
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(Open(i % 25, kColour), 1);
    sim::Grant(kColour.friendly, 1);
    ASSERT_EQ(doCVLGrab(0, i % 25), 1);
    ASSERT_TRUE(closeCVLPort(0, i % 25));
    EXPECT_EQ(sim::LiveObjects(), colour) << "cycle " << i;
    EXPECT_EQ(sim::OutstandingReferences(), references) << "cycle " << i;
  }
  // Two cameras grabbing at once, closed in the other order.
  const int64_t both = Baseline(kUsb);
  const int64_t bothReferences = sim::OutstandingReferences();
  ASSERT_EQ(Open(1, kColour), 1);
  ASSERT_EQ(Open(2, kUsb), 1);
  sim::Grant(kColour.friendly, 1);
  sim::Grant(kUsb.friendly, 1);
  std::thread other([] { EXPECT_EQ(doCVLGrab(0, 2), 1); });
  EXPECT_EQ(doCVLGrab(0, 1), 1);
  other.join();
  EXPECT_TRUE(closeCVLPort(0, 1));
  EXPECT_TRUE(closeCVLPort(0, 2));
  EXPECT_EQ(sim::LiveObjects(), both);
  EXPECT_EQ(sim::OutstandingReferences(), bothReferences);
}

// Catches: a close that tears the graph down under a streaming thread that is
// still converting or calling back, and a reopen that finds stale state.
TEST_F(LifecycleTest, CloseWhileStreamingContinuouslyThenReopenAtOnce) {
  WriteSettings(kColour.config, {"ContinousVideo=1"});
  Initialize();
  const int64_t baseline = Baseline(kColour);
  sim::SetRate(sim::Rate::Fast);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Open(0, kColour), 1);
    ASSERT_EQ(setCompleteCallback(0, 0, Count), 1);
    const int before = g_images.load();
    ASSERT_EQ(setProperty(0, 0, "Continous", 1), 1);
    for (int n = 0; n < 2000 && g_images.load() < before + 2; ++n)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(g_images.load(), before + 2);
    ASSERT_TRUE(closeCVLPort(0, 0));  // frames still streaming
    EXPECT_EQ(sim::LiveObjects(), baseline);
  }
  const int after = g_images.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(g_images.load(), after);  // nothing calls back after the close
}

// Catches: a port closed twice, a shared camera released while another port
// still uses it, and a port of a closed camera that still grabs.
TEST_F(LifecycleTest, OddOrdersOfPortsOnOneCamera) {
  WriteSettings(kColour.config, {});
  Initialize();
  const int64_t baseline = Baseline(kColour);
  int32_t size[2];
  ASSERT_EQ(Open(7, kColour), 1);
  ASSERT_EQ(openCVLPort(0, 8, kColour.config, size), 1);
  ASSERT_EQ(openCVLPort(0, 9, kColour.config, size), 1);
  EXPECT_TRUE(closeCVLPort(0, 8));
  EXPECT_FALSE(closeCVLPort(0, 8));
  sim::Grant(kColour.friendly, 1);
  EXPECT_EQ(doCVLGrab(0, 9), 1);
  EXPECT_TRUE(closeCVLPort(0, 7));
  sim::Grant(kColour.friendly, 1);
  EXPECT_EQ(doCVLGrab(0, 9), 1);
  EXPECT_EQ(doCVLGrab(0, 7), 0);
  EXPECT_TRUE(closeCVLPort(0, 9));
  EXPECT_EQ(sim::LiveObjects(), baseline);
  EXPECT_EQ(doCVLGrab(0, 9), 0);
}

// Catches: a failed first open that keeps the lock, the graph's filters, the
// frame store or the callback.
TEST_F(LifecycleTest, AFailedOpenReleasesWhatItTook) {
  WriteSettings(kColour.config, {});
  Initialize();
  const int64_t baseline = Baseline(kColour);
  sim::InjectFault({.operation = "IGraphBuilder::Connect", .scope = kColour.friendly, .count = -1});
  EXPECT_EQ(Open(0, kColour), 0);
  EXPECT_TRUE(LoggedContaining("Connect failed"));
  sim::ClearFaults();
  EXPECT_EQ(Open(0, kColour), 1);  // the lock was given back
  EXPECT_TRUE(closeCVLPort(0, 0));
  EXPECT_EQ(sim::LiveObjects(), baseline);

  sim::InjectFault({.operation = "ISampleGrabber::SetCallback"});
  EXPECT_EQ(Open(0, kColour), 0);
  sim::ClearFaults();
  EXPECT_EQ(Open(0, kColour), 1);
  EXPECT_TRUE(closeCVLPort(0, 0));
  EXPECT_EQ(sim::LiveObjects(), baseline);

  // A platform operation that raises during the open: the host gets 0, nothing is kept.
  sim::InjectFault({.operation = "IAMStreamConfig::GetFormat", .raise = std::string("driver fault")});
  EXPECT_EQ(Open(0, kColour), 0);
  EXPECT_TRUE(LoggedContaining("driver fault"));
  sim::ClearFaults();
  EXPECT_EQ(Open(0, kColour), 1);
  EXPECT_TRUE(closeCVLPort(0, 0));
  EXPECT_EQ(sim::LiveObjects(), baseline);
}

}  // namespace
}  // namespace kelvane::testing
