// Single grabs (ContinousVideo=0) on the device backends: a real camera keeps
// capturing into its queued buffers while the graph is paused between grabs,
// and those frames must not reach the next grab. Each fake camera writes its
// frame number into every pixel, so the bytes of a grab say which frame it is.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_iidc.h"
#include "fake_v4l2.h"
#include "host_fixture.h"
#include "platform/iidc/dc1394_ops.h"
#include "platform/v4l2/device_ops.h"

namespace kelvane::testing {
namespace {

v4l2::fake::FakeV4l2& V4l2Fake() {
  static auto* driver = new v4l2::fake::FakeV4l2;  // the library may use it until the process ends
  return *driver;
}

iidc::fake::FakeIidc& IidcFake() {
  static auto* bus = new iidc::fake::FakeIidc;
  return *bus;
}

constexpr const char* kNode = "/dev/video0";
constexpr uint64_t kGuid = 0x0814436102bb0002ull;
// The buffers each backend streams with, and so the most frames a resumed
// stream may drop: twice that.
constexpr int kBuffers = 4;

enum class Backend { V4l2, Iidc };

struct StaleCase {
  const char* name;
  Backend backend;
  int captured;      // frames the camera captures while the graph is paused
  int dropCnt;       // the camera's DropCnt
  bool alwaysReady;  // a camera that has a frame ready whenever anyone looks
};

// clang-format off
const StaleCase kCases[] = {
    // The next grab takes the frame after the ones captured meanwhile, not the oldest of them.
    {"V4l2ThreeCaptured",        Backend::V4l2, 3, 0, false},
    {"IidcThreeCaptured",        Backend::Iidc, 3, 0, false},
    // More than the buffers hold: the frames that found none are lost, the rest dropped.
    {"V4l2MoreThanTheBuffers",   Backend::V4l2, 7, 0, false},
    {"IidcMoreThanTheRing",      Backend::Iidc, 7, 0, false},
    // The dropped frames are not the grab's DropCnt: that many fresh frames are still skipped.
    {"V4l2DropCntStillSkips",    Backend::V4l2, 3, 2, false},
    {"IidcDropCntStillSkips",    Backend::Iidc, 3, 2, false},
    // A camera that always has a frame ready keeps the streaming thread only a bounded while.
    {"V4l2AlwaysReady",          Backend::V4l2, 0, 0, true},
    {"IidcAlwaysReady",          Backend::Iidc, 0, 0, true},
};
// clang-format on

void PrintTo(const StaleCase& c, std::ostream* os) { *os << c.name; }

class StaleFramesTest : public HostTest, public ::testing::WithParamInterface<StaleCase> {
 public:
  void PrepareBus() override {
    const StaleCase& c = GetParam();
    if (c.backend == Backend::V4l2) {
      setenv("KELVANE_BACKEND", "v4l2", 1);
      v4l2::SetDeviceOps(&V4l2Fake());
      v4l2::fake::Device d{.path = kNode, .card = "Fake Grey Camera", .busInfo = "platform:stale"};
      d.formats = {v4l2::fake::Format{.fourcc = V4L2_PIX_FMT_GREY,
                                      .description = "8-bit grey",
                                      .sizes = {v4l2::fake::FrameSize{64, 48, {.discrete = {{1, 30}}}}}}};
      d.producer = [](const v4l2::fake::FrameRequest& r) {
        return std::vector<uint8_t>(r.sizeimage, static_cast<uint8_t>(r.sequence));
      };
      d.alwaysReady = c.alwaysReady;
      V4l2Fake().AddDevice(d);
      name_ = d.card;
    } else {
      setenv("KELVANE_BACKEND", "iidc", 1);
      iidc::SetOps(&IidcFake());
      iidc::fake::Camera cam = iidc::fake::MonoCamera(kGuid);
      cam.mode = DC1394_VIDEO_MODE_640x480_MONO8;
      cam.rate = DC1394_FRAMERATE_15;
      cam.producer = [](const iidc::fake::FrameRequest& r, std::span<uint8_t> image) {
        std::fill(image.begin(), image.end(), static_cast<uint8_t>(r.sequence));
      };
      cam.alwaysReady = c.alwaysReady;
      IidcFake().AddCamera(cam);
      name_ = cam.vendor + " " + cam.model + " - " + std::to_string(static_cast<int32_t>(static_cast<uint32_t>(kGuid)));
    }
  }

  int Capture(int n) {
    return GetParam().backend == Backend::V4l2 ? V4l2Fake().Capture(kNode, n) : IidcFake().Capture(kGuid, n);
  }

  // The frame number the grabbed image carries in every byte; -1 when the bytes differ.
  int GrabbedFrame() {
    const std::vector<uint8_t> image = ReadRows(0);
    if (image.empty() || std::any_of(image.begin(), image.end(), [&](uint8_t b) { return b != image[0]; })) return -1;
    return image[0];
  }

  std::string name_;
};

TEST_P(StaleFramesTest, TheNextGrabTakesAFrameCapturedAfterItWasAskedFor) {
  const StaleCase& c = GetParam();
  WriteSettings(name_, {"Color=0", "DropCnt=" + std::to_string(c.dropCnt), "Timeout=60000"});
  Initialize();
  ASSERT_EQ(openCVLPort(0, 0, name_.c_str(), size_), 1);
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  const int first = GrabbedFrame();
  ASSERT_GE(first, 0);

  // The graph is paused now. The frame the first grab took may still be on
  // its way back to the driver, so at most three buffers are sure to be free.
  const int kept = Capture(c.captured);
  if (c.captured <= kBuffers - 1) {
    EXPECT_EQ(kept, c.captured);
  }

  ASSERT_EQ(doCVLGrab(0, 0), 1);
  const int second = GrabbedFrame();
  if (c.alwaysReady) {
    // Some frames dropped, but no more than twice the buffers, then the grab's own.
    EXPECT_GT(second, first + c.dropCnt);
    EXPECT_LE(second, first + 2 * kBuffers + c.dropCnt + 1);
  } else {
    // Every frame captured while paused (kept or lost) is older than the grab;
    // the grab skips its DropCnt fresh frames and takes the next.
    EXPECT_EQ(second, first + c.captured + c.dropCnt + 1);
  }
  // Later grabs still find nothing stale.
  ASSERT_EQ(doCVLGrab(0, 0), 1);
  const int third = GrabbedFrame();
  if (!c.alwaysReady) {
    EXPECT_EQ(third, second + c.dropCnt + 1);
  }

  EXPECT_TRUE(closeCVLPort(0, 0));
  if (c.backend == Backend::V4l2) {
    EXPECT_TRUE(V4l2Fake().AllClosed());
    EXPECT_EQ(V4l2Fake().Stats().buffersAllocated, 0);
  } else {
    const auto stats = IidcFake().Stats();
    EXPECT_EQ(stats.captures, 0);
    EXPECT_EQ(stats.framesHeld, 0);
    EXPECT_EQ(stats.badEnqueues, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, StaleFramesTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<StaleCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace kelvane::testing
