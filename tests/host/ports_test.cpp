// Start-up, camera names, port binding and sharing, and keeping a camera to one
// process, through the exports.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>

#include "host_fixture.h"
#include "settings/camera_settings.h"

namespace kelvane::testing {
namespace {

class PortsTest : public HostTest {};

TEST_F(PortsTest, StartupListsTheBusOnceAndAnswersBeforeIt) {
  EXPECT_EQ(getCVLMaxNoOfGrabbers(), 1);
  EXPECT_EQ(getCVLMaxNoOfPorts(), 25);
  EXPECT_EQ(getCVLNoOfSupportedCameras(), 0);
  Initialize();
  ASSERT_EQ(getCVLNoOfSupportedCameras(), 3);
  char** names = getCVLCameraConfigNames();
  EXPECT_STREQ(names[0], kColour.config);
  EXPECT_STREQ(names[1], kMono16.config);
  EXPECT_STREQ(names[2], kUsb.config);  // no vendor record: the friendly name
  EXPECT_EQ(names[3], nullptr);
  EXPECT_TRUE(Logged("0: Kestrel KC-640C Kestrel Optics KC-640C - 10472\r\n"));

  // A second initialize neither enumerates again nor forgets open ports.
  ASSERT_EQ(Open(2, kColour), 1);
  ClearMessages();
  EXPECT_EQ(initialize(dir_.c_str(), CollectMessage), 0);
  EXPECT_EQ(getCVLNoOfSupportedCameras(), 3);
  EXPECT_FALSE(LoggedContaining("0: Kestrel"));
  EXPECT_EQ(getCVLCameraConfigNames(), names);
  EXPECT_TRUE(closeCVLPort(0, 2));
  EXPECT_EQ(finalize(), 0);
}

// A second initialize re-reads the settings, also of an open camera: the
// trigger settings are read again at the next setHWTrigger.
TEST_F(PortsTest, SecondInitializeRereadsSettingsOfOpenCameras) {
  Initialize();
  ASSERT_EQ(Open(0, kColour), 1);
  WriteSettings(kColour.config, {"TriggerPolarity=1", "TriggerMode=3"});
  EXPECT_EQ(initialize(dir_.c_str(), CollectMessage), 0);
  sim::PokeRegister(kColour.friendly, 0xF0F00830, 0x80000000);
  EXPECT_EQ(setHWTrigger(0, 0, 1), 1);
  uint32_t value = 0;
  ASSERT_TRUE(sim::ReadRegister(kColour.friendly, 0xF0F00830, &value));
  EXPECT_EQ(value, 0x83030000u);
}

// A system path too long for the settings file's name is kept to 255
// characters and refused for the file with a message, never cut silently into
// the name of another file; the cameras keep the defaults.
TEST_F(PortsTest, ASystemPathTooLongForTheSettingsFileIsRefused) {
  Initialize();
  const std::string longPath = "/" + std::string(299, 'p');
  ClearMessages();
  EXPECT_EQ(setSystemPath(longPath.c_str()), 1);
  EXPECT_TRUE(LoggedContaining("Settings path too long"));
  WriteSettings(kColour.config, {"SubType=" + settings::GuidToText(platform::MEDIASUBTYPE_RGB24)});
  ASSERT_EQ(Open(0, kColour), 1);  // the file in dir_ is not read: the camera's default format
  EXPECT_NE(sim::CurrentFormat(kColour.friendly)->subtype, platform::MEDIASUBTYPE_RGB24);
  EXPECT_TRUE(closeCVLPort(0, 0));
  EXPECT_EQ(setSystemPath(dir_.c_str()), 1);  // back to a usable path: read again
  ASSERT_EQ(Open(0, kColour), 1);
  EXPECT_EQ(sim::CurrentFormat(kColour.friendly)->subtype, platform::MEDIASUBTYPE_RGB24);
  EXPECT_EQ(setSystemPath(nullptr), 1);
}

class EmptyBusTest : public HostTest {
  void PrepareBus() override { ASSERT_TRUE(sim::LoadBusFromText(R"({"cameras": []})")); }
};

TEST_F(EmptyBusTest, NoCameraGivesAnEmptyListAndRefusesEveryName) {
  Initialize();
  EXPECT_EQ(getCVLNoOfSupportedCameras(), 0);
  ASSERT_NE(getCVLCameraConfigNames(), nullptr);
  EXPECT_EQ(getCVLCameraConfigNames()[0], nullptr);
  EXPECT_TRUE(Logged("No cameras found\r\n"));
  int32_t size[2];
  EXPECT_EQ(openCVLPort(0, 0, kColour.config, size), 0);
  EXPECT_EQ(configureCamera(0, kColour.config), 1);
}

// A camera with a free-region mode as large as the simulation allows.
constexpr Camera kVast{"Vast F7", "Vast F7-16K - 1"};

class LargeSensorTest : public HostTest {
  void PrepareBus() override {
    ASSERT_TRUE(sim::LoadBusFromText(R"({"cameras": [
      {"name": "Vast F7", "kind": "1394", "vendor": "Vast", "model": "F7-16K", "number": 1, "formats": [
        {"subtype": "RAW8", "format7": {"max_width": 16384, "max_height": 16384, "unit_x": 8, "unit_y": 2}}]}]})"))
        << sim::LastBusError();
  }

 protected:
  // The camera's only section, written anew: RAW8, the region at the left top.
  void Settings(int32_t width, int32_t height, std::vector<std::string> lines) {
    std::filesystem::remove(SettingsFile());
    lines.insert(lines.end(), {"SubType=" + settings::GuidToText(platform::MEDIASUBTYPE_RAW8), "DefFmt=0",
                               "Width=" + std::to_string(width), "Height=" + std::to_string(height), "Timeout=50"});
    WriteSettings(kVast.config, lines);
  }
};

// Catches: image buffers of gigabytes taken for a huge sensor or a deep
// average, a refused open that keeps its filters, frame store or lock, and a
// RawMode that silently turns colour into grey.
TEST_F(LargeSensorTest, OpenRefusesBuffersPastTheLimitsAndSaysWhy) {
  Initialize();
  Settings(640, 480, {"Color=1", "RawMode=1"});
  ASSERT_EQ(Open(0, kVast), 1);
  ASSERT_TRUE(closeCVLPort(0, 0));
  const int64_t baseline = sim::LiveObjects();

  const struct Case {
    const char* what;
    int32_t width, height;
    std::vector<std::string> lines;
    std::string message;
  } refused[] = {
      {"the whole sensor demosaiced to colour",
       16384,
       16384,
       {"Color=1", "RawMode=1"},
       "Vast F7-16K - 1: 16384 x 16384 images of 24 bits need a buffer of 805306368 bytes, more than the "
       "268435456 bytes allowed; the camera is not opened\r\n"},
      {"32 frames averaged from a large region",
       8192,
       4096,
       {"MeanCnt=32"},
       "Vast F7-16K - 1: 8192 x 4096 images of 8 bits with MeanCnt 32 (35 image buffers) need 1174405120 bytes, "
       "more than the 1073741824 bytes allowed; the camera is not opened\r\n"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.what);
    Settings(c.width, c.height, c.lines);
    const int64_t frames = sim::FramesProduced(kVast.friendly);
    ClearMessages();
    EXPECT_EQ(openCVLPort(0, 0, kVast.config, size_), 0);
    EXPECT_TRUE(Logged(c.message)) << (Messages().empty() ? "" : Messages().back());
    EXPECT_EQ(sim::FramesProduced(kVast.friendly), frames);  // no frame of that size was made
    EXPECT_EQ(sim::LiveObjects(), baseline);
    int32_t bits = 0;
    EXPECT_EQ(getProperty(0, 0, "PixelSize", &bits), 1);  // an unbound port
    EXPECT_EQ(bits, 0);
  }

  // The lock was given back. A RawMode outside 0..4 opens, grey, and says so.
  Settings(640, 480, {"Color=1", "RawMode=7"});
  ClearMessages();
  ASSERT_EQ(Open(0, kVast), 1);
  EXPECT_TRUE(
      Logged("Vast F7-16K - 1: RawMode 7 is not one of 0..4; raw data will not be demosaiced and its colour "
             "images will be grey\r\n"));
  int32_t bits = 0;
  EXPECT_EQ(getProperty(0, 0, "PixelSize", &bits), 1);
  EXPECT_EQ(bits, 8);
  EXPECT_TRUE(closeCVLPort(0, 0));
  EXPECT_EQ(sim::LiveObjects(), baseline);
}

// Every refusal also says why, through the message sink.
TEST_F(PortsTest, OpenRefusesBadArgumentsAndNamesOfOtherLetterCase) {
  Initialize();
  ASSERT_EQ(Open(4, kMono16), 1);
  struct Case {
    int32_t grabber, port;
    const char* name;
    const char* reason;
  } cases[] = {
      {1, 0, kColour.config, "openCVLPort[1,0]: there is no grabber 1, only grabber 0"},
      {0, 25, kColour.config, "openCVLPort[0,25]: port 25 is not one of 0..24"},
      {0, -1, kColour.config, "openCVLPort[0,-1]: port -1 is not one of 0..24"},  // compared unsigned
      {0, 4, kColour.config, "openCVLPort[0,4]: port 4 is already bound to Kestrel Optics KM-1280M16 - 20931"},
      // Names compare case-sensitively, and never by prefix.
      {0, 0, "KESTREL OPTICS KC-640C - 10472",
       "openCVLPort[0,0]: no camera is named \"KESTREL OPTICS KC-640C - 10472\""},
      {0, 0, "Kestrel Optics KC-640C", "openCVLPort[0,0]: no camera is named \"Kestrel Optics KC-640C\""},
      {0, 0, nullptr, "openCVLPort[0,0]: no camera name (null pointer)"},
  };
  for (const Case& c : cases) {
    ClearMessages();
    int32_t size[2] = {-7, -7};
    EXPECT_EQ(openCVLPort(c.grabber, c.port, c.name, size), 0) << c.port << " " << (c.name ? c.name : "null");
    EXPECT_EQ(size[0], -7);
    EXPECT_TRUE(LoggedContaining(c.reason)) << c.reason;
  }
  struct Refused {
    int32_t grabber, port;
    const char* reason;
  } closes[] = {
      {0, 0, "closeCVLPort[0,0]: port 0 is not bound to a camera"},
      {1, 4, "closeCVLPort[1,4]: there is no grabber 1, only grabber 0"},
      {0, 25, "closeCVLPort[0,25]: port 25 is not one of 0..24"},
  };
  for (const Refused& c : closes) {
    ClearMessages();
    EXPECT_FALSE(closeCVLPort(c.grabber, c.port));
    EXPECT_TRUE(LoggedContaining(c.reason)) << c.reason;
  }
  ClearMessages();
  EXPECT_EQ(doCVLGrab(0, 3), 0);
  EXPECT_TRUE(LoggedContaining("doCVLGrab[0,3]: port 3 is not bound to a camera"));
  uint8_t row[16];
  EXPECT_EQ(getCVLGrabRow(0, 4, row, 0, 5, 5), 0);
  EXPECT_TRUE(LoggedContaining("getCVLGrabRow[0,4]: last (5) is not above first (5)"));
  EXPECT_EQ(getCVLGrabRow(0, 4, row, 100000, 0, 1), 0);
  EXPECT_TRUE(LoggedContaining("getCVLGrabRow[0,4]: row 100000 is not one of 0.."));
  EXPECT_TRUE(closeCVLPort(0, 4));
  EXPECT_FALSE(closeCVLPort(0, 4));
}

TEST_F(PortsTest, PortsShareACameraThatIsReleasedWithTheLastOfThem) {
  WriteSettings(kColour.config, {});
  Initialize();
  ASSERT_EQ(Open(3, kColour), 1);
  const int32_t width = size_[0], height = size_[1];
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 480);
  int32_t size[2] = {0, 0};
  const int64_t produced = sim::FramesProduced(kColour.friendly);
  ASSERT_EQ(openCVLPort(0, 5, kColour.config, size), 1);  // sharing waits for no frame
  EXPECT_EQ(sim::FramesProduced(kColour.friendly), produced);
  EXPECT_EQ(size[0], width);
  EXPECT_EQ(size[1], height);

  EXPECT_TRUE(closeCVLPort(0, 3));
  sim::Grant(kColour.friendly, 1);
  EXPECT_EQ(doCVLGrab(0, 5), 1);  // the other port still grabs
  EXPECT_EQ(doCVLGrab(0, 3), 0);  // the closed one does not

  ASSERT_EQ(Open(3, kColour), 1);  // a closed port binds again
  EXPECT_TRUE(closeCVLPort(0, 3));
  EXPECT_TRUE(closeCVLPort(0, 5));
  ASSERT_EQ(Open(6, kColour), 1);  // released with the last port: a first open again
  EXPECT_TRUE(closeCVLPort(0, 6));
}

// Runs a child process that opens the camera through the exports and holds it
// until told to close (a byte on `command`) or killed. Returns its pid once
// the camera is open.
pid_t StartHolder(HostTest& test, int command[2]) {
  int ready[2];
  if (pipe(ready) != 0 || pipe(command) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(command[1]);
    sim::Grant(kColour.friendly, 1);
    int32_t size[2];
    char ok = openCVLPort(0, 0, kColour.config, size) == 1 ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    char c;
    if (read(command[0], &c, 1) == 1) closeCVLPort(0, 0);
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    _exit(0);
  }
  (void)test;
  close(ready[1]);
  close(command[0]);
  char ok = 0;
  if (read(ready[0], &ok, 1) != 1 || ok != 'y') return -1;
  command[0] = ready[0];  // the parent reads the child's "closed" answer here
  return pid;
}

TEST_F(PortsTest, AnotherProcessCannotTakeAnOpenCameraUntilItIsClosed) {
  Initialize();  // before fork: no streaming thread exists yet
  int channel[2];
  pid_t holder = StartHolder(*this, channel);
  ASSERT_GT(holder, 0);
  EXPECT_EQ(Open(0, kColour), 0);
  EXPECT_FALSE(LoggedContaining("OPEN"));  // refused before any work
  EXPECT_TRUE(LoggedContaining("camera in use by process " + std::to_string(holder)));
  char c = 'c';
  ASSERT_EQ(write(channel[1], &c, 1), 1);
  ASSERT_EQ(read(channel[0], &c, 1), 1);  // the child closed its port
  EXPECT_EQ(Open(0, kColour), 1);
  int status = 0;
  waitpid(holder, &status, 0);
}

TEST_F(PortsTest, AKilledHolderLeavesTheCameraUsable) {
  Initialize();
  int channel[2];
  pid_t holder = StartHolder(*this, channel);
  ASSERT_GT(holder, 0);
  EXPECT_EQ(Open(0, kColour), 0);
  EXPECT_EQ(Open(1, kMono16), 1);  // other cameras are not affected
  kill(holder, SIGKILL);
  int status = 0;
  waitpid(holder, &status, 0);
  EXPECT_EQ(Open(0, kColour), 1);
}

// A second copy of the library loaded into this process has state of its own;
// it must not take a camera this copy holds, and can once it is released.
TEST_F(PortsTest, ASecondLoadedCopyOfTheLibraryCannotTakeAnOpenCamera) {
  const std::filesystem::path copy = dir_ / "libkelvane-copy.so";
  std::filesystem::copy_file(KELVANE_LIBRARY, copy);
  void* other = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(other, nullptr) << dlerror();
  auto otherInitialize = reinterpret_cast<decltype(&initialize)>(dlsym(other, "initialize"));
  auto otherOpen = reinterpret_cast<decltype(&openCVLPort)>(dlsym(other, "openCVLPort"));
  auto otherClose = reinterpret_cast<decltype(&closeCVLPort)>(dlsym(other, "closeCVLPort"));
  ASSERT_TRUE(otherInitialize && otherOpen && otherClose);

  Initialize();
  otherInitialize(dir_.c_str(), nullptr);  // its own simulated bus, its own tables
  ASSERT_EQ(Open(0, kColour), 1);
  int32_t size[2];
  EXPECT_EQ(otherOpen(0, 0, kColour.config, size), 0);
  EXPECT_TRUE(closeCVLPort(0, 0));
  ASSERT_EQ(otherOpen(0, 0, kColour.config, size), 1);  // the copy streams in real time by default
  EXPECT_EQ(Open(0, kColour), 0);
  EXPECT_TRUE(otherClose(0, 0));
  EXPECT_EQ(Open(0, kColour), 1);
  // The copy stays loaded: like a host, it never unloads a library with threads of its own.
}

}  // namespace
}  // namespace kelvane::testing
