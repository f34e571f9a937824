// Hosts that drive each camera from its own thread, and careless hosts that
// call anything from anywhere. Run under ThreadSanitizer in CI: a race on the
// port or camera tables, a camera's state or a frame store shows up there.
#include <atomic>
#include <future>
#include <thread>

#include "host_fixture.h"

namespace kelvane::testing {
namespace {

class ThreadsTest : public HostTest {};

std::atomic<int> g_callbacks{0};
int32_t CountAndRead(int32_t grabber, int32_t port) {
  g_callbacks.fetch_add(1);
  std::vector<uint8_t> row(1280 * 3);
  getCVLGrabRow(grabber, port, row.data(), 0, 0, 9);
  return 0;
}

// Catches: races on the port table, the camera table and a camera's state
// between host threads (crashes, lost port bindings, a camera released while a
// port still uses it, an image's buffer freed under a copy), and deadlocks
// between host calls and callbacks.
TEST_F(ThreadsTest, EightHostThreadsOnSharedAndSeparatePorts) {
  for (const Camera* c : {&kColour, &kMono16, &kUsb}) WriteSettings(c->config, {"Timeout=10000"});
  Initialize();
  sim::SetRate(sim::Rate::Fast);
  for (const Camera* c : {&kColour, &kMono16, &kUsb}) {  // each keeps its graph for the next open
    ASSERT_EQ(Open(0, *c), 1);
    ASSERT_TRUE(closeCVLPort(0, 0));
  }
  const int64_t baseline = sim::LiveObjects();
  constexpr int kRounds = 12;
  std::atomic<int> failures{0};
  auto expect = [&](bool ok) {
    if (!ok) failures.fetch_add(1);
  };
  auto grabber = [&](int port, const Camera& camera, bool callback) {
    int32_t size[2];
    for (int i = 0; i < kRounds; ++i) {
      expect(openCVLPort(0, port, camera.config, size) == 1);
      if (callback) setCompleteCallback(0, port, CountAndRead);
      // Another thread may set or clear the camera's callback at any moment,
      // so a grab may be asynchronous; either way it must start.
      expect(doCVLGrab(0, port) == 1);
      std::vector<uint8_t> row(static_cast<size_t>(size[0]) * 3);
      getCVLGrabRow(0, port, row.data(), 0, 0, size[0] - 1);
      int32_t value = 0;
      getProperty(0, port, "PixelSize", &value);
      // New buffers while another port of the camera may be copying the image.
      setProperty(0, port, "PixelSize", i % 2 ? 8 : 24);
      setProperty(0, port, "DropCnt", i % 2);
      expect(closeCVLPort(0, port));
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(grabber, 0, std::cref(kColour), false);  // two ports sharing one camera
  threads.emplace_back(grabber, 1, std::cref(kColour), true);
  threads.emplace_back(grabber, 2, std::cref(kMono16), false);
  threads.emplace_back(grabber, 3, std::cref(kUsb), true);
  threads.emplace_back([&] {  // the camera list and the settings, read and replaced
    for (int i = 0; i < kRounds * 4; ++i) {
      expect(getCVLNoOfSupportedCameras() == 3);
      char** names = getCVLCameraConfigNames();
      expect(names && names[0] && !names[3]);
      setSystemPath(dir_.c_str());
      configure();
    }
  });
  threads.emplace_back([&] {  // ports that are bound, unbound or out of range
    for (int i = 0; i < kRounds * 8; ++i) {
      const int port = i % 27 - 1;
      int32_t value = 0;
      getProperty(0, port, "Brightness", &value);
      setHWTrigger(0, port, 0);
      std::vector<uint8_t> row(8);
      getCVLGrabRow(0, port, row.data(), 0, 0, 1);
    }
  });
  threads.emplace_back([&] {  // callbacks switched on and off on a shared camera
    for (int i = 0; i < kRounds * 4; ++i) setCompleteCallback(0, i % 2, i % 4 ? CountAndRead : nullptr);
  });
  threads.emplace_back([&] {  // a port that opens and closes the shared camera over and over
    int32_t size[2];
    for (int i = 0; i < kRounds; ++i) {
      if (openCVLPort(0, 9, kColour.config, size) == 1) expect(closeCVLPort(0, 9));
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  for (int port = 0; port < 25; ++port) closeCVLPort(0, port);
  EXPECT_EQ(sim::LiveObjects(), baseline) << "a camera not released";
}

// Catches: one camera's synchronous grab holding up the calls on another.
TEST_F(ThreadsTest, AWaitingGrabDoesNotBlockAnotherCamera) {
  WriteSettings(kColour.config, {"Timeout=5000"});
  WriteSettings(kUsb.config, {});
  Initialize();
  ASSERT_EQ(Open(0, kColour), 1);
  ASSERT_EQ(Open(1, kUsb), 1);
  ASSERT_TRUE(sim::StopFrames(kColour.friendly));
  auto waiting = std::async(std::launch::async, [] { return doCVLGrab(0, 0); });
  // The grab has started the colour camera's graph and waits for a frame that does not come.
  while (sim::Step(kColour.friendly) != sim::StepResult::NoFrame) std::this_thread::yield();
  sim::Grant(kUsb.friendly, 1);
  EXPECT_EQ(doCVLGrab(0, 1), 1);
  int32_t value = 0;
  EXPECT_EQ(getProperty(0, 1, "PixelSize", &value), 1);
  EXPECT_TRUE(closeCVLPort(0, 1));
  EXPECT_EQ(waiting.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
      << "the other camera's calls waited for this grab";
  ASSERT_TRUE(sim::ResumeFrames(kColour.friendly));
  sim::Grant(kColour.friendly, 1);
  EXPECT_EQ(waiting.get(), 1);
}

}  // namespace
}  // namespace kelvane::testing
