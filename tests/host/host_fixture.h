// Export-level tests: the 19 exports called in-process on the simulated bus.
// The library's state is process-wide and start-up runs once, so every test
// runs in its own process (CTest runs each discovered test on its own).
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelvane/grabber.h"
#include "platform/sim/sim.h"

namespace kelvane::testing {

inline std::mutex g_messagesMutex;
inline std::vector<std::string> g_messages;

inline int32_t CollectMessage(const char* text) {
  std::lock_guard lock(g_messagesMutex);
  g_messages.emplace_back(text);
  return 0;
}

// The threads of this process once the kernel has let go of those that were
// joined: a thread that pthread_join has returned for can still be listed in
// /proc for a moment while it finishes exiting, so the count is read until it
// holds still (for at most two seconds).
inline int SettledThreads() {
  const auto count = [] {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
      while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
      closedir(dir);
    }
    return n;
  };
  int last = count();
  for (int i = 0; i < 400; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int now = count();
    if (now == last) return now;
    last = now;
  }
  return last;
}

// The default bus's cameras: friendly name (the simulation's key) and the
// name the host opens them by.
struct Camera {
  const char* friendly;
  const char* config;
};
inline constexpr Camera kColour{"Kestrel KC-640C", "Kestrel Optics KC-640C - 10472"};
inline constexpr Camera kMono16{"Kestrel KM-1280M16", "Kestrel Optics KM-1280M16 - 20931"};
inline constexpr Camera kUsb{"USB 2.0 Video Camera", "USB 2.0 Video Camera"};

// Ends the process when one case takes longer than its limit, naming the
// case, so a hang fails the test (and says where) instead of the whole run.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit) : limit_(limit) {
    thread_ = std::thread([this] {
      std::unique_lock lock(mutex_);
      while (!finished_) {
        const uint64_t started = generation_;
        if (!changed_.wait_for(lock, limit_, [&] { return finished_ || generation_ != started; })) {
          std::fprintf(stderr, "watchdog: hung in %s\n", label_.c_str());
          std::fflush(stderr);
          std::_Exit(1);
        }
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  // A new case begins: its time starts now.
  void Begin(std::string label) {
    {
      std::lock_guard lock(mutex_);
      label_ = std::move(label);
      ++generation_;
    }
    changed_.notify_all();
  }

 private:
  const std::chrono::seconds limit_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string label_ = "the traced cycle";
  uint64_t generation_ = 0;
  bool finished_ = false;
  std::thread thread_;
};

class HostTest : public ::testing::Test {
 public:
  // Runs before initialize: tests that need another bus load it here.
  virtual void PrepareBus() { sim::LoadDefaultBus(); }

  void SetUp() override {
    // The library starts up once per process: a second export-level test in
    // the same process would see the first one's cameras and ports.
    static bool used = false;
    if (used) GTEST_SKIP() << "export-level tests need a process each; run them through ctest";
    used = true;
    dir_ = std::filesystem::temp_directory_path() / ("kelvane-host-" + std::to_string(getpid()) + "-" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ / "locks");
    setenv("KELVANE_LOCK_DIR", (dir_ / "locks").c_str(), 1);
    sim::ClearFaults();
    sim::SetRate(sim::Rate::Stepped);
    PrepareBus();
    setDebugMsgProc(CollectMessage);
  }

  // A failing test shows the library's messages: they usually say why.
  void TearDown() override {
    if (HasFailure())
      for (const auto& m : Messages()) std::fprintf(stderr, "message: %s", m.c_str());
    if (dir_.empty()) return;
    for (int port = 0; port < 25; ++port) closeCVLPort(0, port);
    std::filesystem::remove_all(dir_);
  }

  void Initialize() { initialize(dir_.c_str(), CollectMessage); }

  std::string SettingsFile() const { return (dir_ / "Kelvane.ini").string(); }

  // Appends a section with these lines to the settings file. Unless the lines
  // say otherwise the camera is opened with ContinousVideo=0: its graph is
  // paused between grabs, so frames granted before a synchronous grab wait
  // for the grab that takes them instead of streaming past an unarmed camera.
  void WriteSettings(const std::string& section, std::vector<std::string> lines) {
    bool continuous = false;
    for (const auto& line : lines) continuous |= line.rfind("ContinousVideo=", 0) == 0;
    if (!continuous) lines.insert(lines.begin(), "ContinousVideo=0");
    std::ofstream out(SettingsFile(), std::ios::app);
    out << "[" << section << "]\n";
    for (const auto& line : lines) out << line << "\n";
  }

  // Gives every camera of the settings file this Timeout from its next call on
  // (setSystemPath re-reads the file). Tests that wait out a short Timeout on
  // purpose raise it before a grab that must succeed, so that a slow build
  // (the sanitizers) cannot fail that grab.
  void SetTimeouts(int32_t ms) {
    std::string text;
    {
      std::ifstream in(SettingsFile());
      std::string line;
      while (std::getline(in, line))
        text += (line.rfind("Timeout=", 0) == 0 ? "Timeout=" + std::to_string(ms) : line) + "\n";
    }
    std::ofstream(SettingsFile(), std::ios::trunc) << text;
    setSystemPath(dir_.c_str());
  }

  // Opens the port with `frames` frames granted for the initial snapshot.
  int32_t Open(int32_t port, const Camera& camera, int frames = 1) {
    sim::Grant(camera.friendly, frames);
    return openCVLPort(0, port, camera.config, size_);
  }

  // Objects alive once a camera has been opened and closed once: its graph
  // is kept for the next open, everything else was released.
  int64_t Baseline(const Camera& camera) {
    EXPECT_EQ(Open(0, camera), 1);
    EXPECT_TRUE(closeCVLPort(0, 0));
    return sim::LiveObjects();
  }

  static std::vector<std::string> Messages() {
    std::lock_guard lock(g_messagesMutex);
    return g_messages;
  }
  static void ClearMessages() {
    std::lock_guard lock(g_messagesMutex);
    g_messages.clear();
  }
  static bool Logged(const std::string& text) {
    for (const auto& m : Messages())
      if (m == text) return true;
    return false;
  }
  static bool LoggedContaining(const std::string& text) {
    for (const auto& m : Messages())
      if (m.find(text) != std::string::npos) return true;
    return false;
  }

  // The whole image as the host sees it, top row first, read row by row.
  std::vector<uint8_t> ReadRows(int32_t port) {
    int32_t bits = 8;
    getProperty(0, port, "PixelSize", &bits);
    const size_t row = static_cast<size_t>(size_[0]) * static_cast<size_t>(bits / 8);
    std::vector<uint8_t> image(row * static_cast<size_t>(size_[1]));
    for (int32_t y = 0; y < size_[1]; ++y)
      EXPECT_EQ(getCVLGrabRow(0, port, image.data() + row * static_cast<size_t>(y), y, 0, size_[0] - 1), 1);
    return image;
  }

  std::filesystem::path dir_;
  int32_t size_[2] = {0, 0};
};

}  // namespace kelvane::testing
