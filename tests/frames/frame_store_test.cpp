#include "frames/frame_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/dshow.h"

namespace kelvane::frames {
namespace {

int LiveSlots(const FrameStore& s) {
  int live = 0;
  for (int i = 0; i < FrameStore::kSlots; ++i) live += s.Buffer(i) != nullptr;
  return live;
}

std::unique_ptr<FrameStore> Grey8(int32_t w, int32_t h, const FrameSettings& s) {
  auto store = std::make_unique<FrameStore>(FrameType::Grey8, w, h, 0);
  store->ApplySettings(s);
  EXPECT_TRUE(store->SetColorOutput(false));
  return store;
}

struct DepthCase {
  FrameType type;
  int32_t raw_mode;
  bool color;
  int bits;
};

std::string DepthName(const ::testing::TestParamInfo<DepthCase>& param) {
  const DepthCase& c = param.param;
  return std::string(IsKnown(c.type) ? FrameTypeName(c.type) : "Unknown") + "_RawMode" + std::to_string(c.raw_mode) +
         (c.color ? "_Colour" : "_Grey");
}

class DepthTest : public ::testing::TestWithParam<DepthCase> {};

TEST_P(DepthTest, DepthAndSizeFollowTypeAndRawMode) {
  const DepthCase& c = GetParam();
  FrameStore store(c.type, 640, 480, 0);
  FrameSettings s;
  s.RawMode = c.raw_mode;
  store.ApplySettings(s);
  EXPECT_TRUE(store.SetColorOutput(c.color));
  EXPECT_EQ(store.PixelBits(), c.bits);
  EXPECT_EQ(store.FrameSize(), 640u * 480u * static_cast<uint32_t>(c.bits / 8));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, DepthTest,
    ::testing::Values(DepthCase{FrameType::Grey8, 0, true, 8}, DepthCase{FrameType::Grey8, 1, true, 24},
                      DepthCase{FrameType::Raw8, 0, true, 8}, DepthCase{FrameType::Raw16, 2, true, 24},
                      DepthCase{FrameType::I420, 0, true, 24}, DepthCase{FrameType::Rgb24, 0, false, 8},
                      DepthCase{FrameType::Rgb32, 0, true, 32}, DepthCase{FrameType::Mono16, 0, true, 8},
                      DepthCase{FrameType::Mono16, 3, true, 24}, DepthCase{FrameType{42}, 0, true, 8}),
    DepthName);

struct RowOrderCase {
  FrameType type;
  int32_t height;
  bool color;
  bool bottom_up;
};

std::string RowOrderName(const ::testing::TestParamInfo<RowOrderCase>& param) {
  const RowOrderCase& c = param.param;
  return std::string(FrameTypeName(c.type)) + (c.height < 0 ? "_NegativeHeight" : "") + (c.color ? "_Colour" : "_Grey");
}

class RowOrderTest : public ::testing::TestWithParam<RowOrderCase> {};

TEST_P(RowOrderTest, RowsComeFromTheBottomForBitmapsAndNegativeHeights) {
  const RowOrderCase& c = GetParam();
  FrameStore store(c.type, 5, c.height, 0);
  ASSERT_TRUE(store.SetColorOutput(c.color));
  const uint32_t row = store.RowLength();
  EXPECT_EQ(store.Rows(), 3);
  EXPECT_EQ(store.Row(0), store.ResultBuffer() + (c.bottom_up ? 2 * row : 0));
  EXPECT_EQ(store.Row(2), store.ResultBuffer() + (c.bottom_up ? 0 : 2 * row));
  EXPECT_EQ(store.Row(3), nullptr);
  EXPECT_EQ(store.Row(-1), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Formats, RowOrderTest,
                         ::testing::Values(RowOrderCase{FrameType::Rgb24, 3, true, true},
                                           RowOrderCase{FrameType::Rgb32, 3, false, true},
                                           RowOrderCase{FrameType::Uyvy, 3, true, false},
                                           RowOrderCase{FrameType::Uyvy, -3, true, true},
                                           RowOrderCase{FrameType::Grey8, -3, false, true}),
                         RowOrderName);

TEST(FrameStore, SlotsByModeAndClampedSettings) {
  // Averaging slots only: the image buffers are apart from them.
  const struct {
    int32_t mean_cnt, recursive;
    int live, stored_mean;
  } cases[] = {{1, 0, 0, 1}, {3, 0, 3, 3},  {3, 1, 1, 3},   {1, 1, 1, 1},
               {0, 0, 0, 1}, {-5, 1, 1, 1}, {99, 0, 32, 32}, {INT32_MAX, 1, 1, 32}};
  for (const auto& c : cases) {
    FrameSettings s;
    s.MeanCnt = c.mean_cnt;
    s.RecursiveMean = c.recursive;
    auto owner = Grey8(8, 2, s);
    FrameStore& store = *owner;
    EXPECT_EQ(store.MeanCnt(), c.stored_mean);
    EXPECT_EQ(LiveSlots(store), c.live) << c.mean_cnt;
    ASSERT_NE(store.ResultBuffer(), nullptr);
    for (int i = 0; i < FrameStore::kSlots; ++i) EXPECT_NE(store.ResultBuffer(), store.Buffer(i)) << c.mean_cnt;
  }
  FrameSettings s;
  s.BlackLvlPoints = -1;  // would make every frame "static"
  s.RawMode = 9;
  auto owner = Grey8(8, 2, s);
  FrameStore& store = *owner;
  EXPECT_EQ(store.BlackLvlPoints(), 0);
  EXPECT_EQ(store.RawMode(), 0);
}

TEST(FrameStore, UnusableGeometryRefusesFrames) {
  for (auto [w, h] : {std::pair{-1, 10}, std::pair{100000, 100000}, std::pair{10, INT32_MIN}}) {
    FrameStore store(FrameType::Rgb24, w, h, 0);
    EXPECT_FALSE(store.SetColorOutput(true));
    EXPECT_EQ(LiveSlots(store), 0);
    const uint8_t byte = 0;
    EXPECT_EQ(store.ProcessFrame(&byte, 1), kNoPipeline);
    EXPECT_EQ(store.Row(0), nullptr);
  }
  FrameStore unknown(FrameType{11}, 4, 4, 0);
  const std::vector<uint8_t> frame(16);
  EXPECT_EQ(unknown.ProcessFrame(frame.data(), frame.size()), kNoPipeline);
}

// Catches: a hostile geometry or averaging depth that takes gigabytes, a limit
// off by one, scratch buffers left out of the count, sizes that wrap in 64
// bits, and a refused depth that still throws away the image the store held.
// The allowed cases allocate up to 1 GiB, which calloc maps without touching.
TEST(FrameStore, BuffersPastTheLimitsAreRefusedBeforeAnythingChanges) {
  using enum FrameType;
  const struct Case {
    const char* what;
    FrameType type;
    int32_t w, h;
    bool color;
    int32_t raw_mode, mean_cnt, recursive;
    bool fits;
  } cases[] = {
      {"grey 16384 x 16384 is exactly one buffer's limit", Grey8, 16384, 16384, false, 0, 1, 0, true},
      {"one row more", Grey8, 16384, 16385, false, 0, 1, 0, false},
      {"the same sensor demosaiced to colour", Raw8, 16384, 16384, true, 1, 1, 0, false},
      {"16-bit raw: its working copy of 2 bytes a pixel fills the limit", Raw16, 16384, 8192, false, 1, 1, 0, true},
      {"16-bit raw: one row more passes it", Raw16, 16384, 8193, false, 1, 1, 0, false},
      {"32 slots and 3 images just within 1 GiB", Grey8, 30678337, 1, false, 0, 32, 0, true},
      {"32 slots and 3 images one pixel wider", Grey8, 30678338, 1, false, 0, 32, 0, false},
      {"a running average needs 1 slot and 3 images only", Grey8, 30678338, 1, false, 0, 32, 1, true},
      {"sizes beyond 64 bits", Rgb32, INT32_MAX, INT32_MAX, true, 0, 32, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FrameStore store(c.type, c.w, c.h, 0);
    const uint8_t* grey = store.ResultBuffer();
    FrameSettings s;
    s.RawMode = c.raw_mode;
    s.MeanCnt = c.mean_cnt;
    s.RecursiveMean = c.recursive;
    store.ApplySettings(s);
    const FrameStore::BufferNeeds needs = store.NeedsFor(c.color);
    EXPECT_EQ(needs.largest <= FrameStore::kMaxBufferBytes && needs.total <= FrameStore::kMaxStoreBytes, c.fits);
    EXPECT_EQ(store.LimitProblem(c.color).empty(), c.fits) << store.LimitProblem(c.color);
    EXPECT_EQ(store.SetColorOutput(c.color), c.fits);
    if (c.fits) {
      EXPECT_EQ(LiveSlots(store), c.recursive ? 1 : (c.mean_cnt > 1 ? c.mean_cnt : 0));
    } else {
      // Refused before the store let go of what it had.
      EXPECT_EQ(store.ResultBuffer(), grey);
      EXPECT_EQ(store.PixelBits(), 8);
    }
  }
  // The message says which limit and by how much.
  FrameStore colour(FrameType::Raw8, 16384, 16384, 0);
  FrameSettings s;
  s.RawMode = 1;
  colour.ApplySettings(s);
  EXPECT_EQ(colour.LimitProblem(true),
            "16384 x 16384 images of 24 bits need a buffer of 805306368 bytes, more than the 268435456 bytes allowed");
  FrameStore deep(FrameType::Grey8, 8192, 4096, 0);
  s.RawMode = 0;
  s.MeanCnt = 32;
  deep.ApplySettings(s);
  EXPECT_EQ(deep.LimitProblem(false),
            "8192 x 4096 images of 8 bits with MeanCnt 32 (35 image buffers) need 1174405120 bytes, more than the "
            "1073741824 bytes allowed");
}

TEST(FrameStore, SettingsChangedWithoutReallocationAreNotUsedUnsafely) {
  auto owner = Grey8(8, 1, FrameSettings{});
  FrameStore& store = *owner;
  FrameSettings s;
  s.MeanCnt = 5;  // slots 1..5 do not exist yet
  store.ApplySettings(s);
  const std::vector<uint8_t> frame(8, 1);
  EXPECT_EQ(store.ProcessFrame(frame.data(), frame.size()), kNoPipeline);
  ASSERT_TRUE(store.SetColorOutput(false));
  EXPECT_EQ(store.ProcessFrame(frame.data(), frame.size()), kNeedMoreFrames);
}

// Frames of one value each through the store; returns the pipeline results.
std::vector<int> Feed(FrameStore& store, std::initializer_list<uint8_t> values, size_t size) {
  std::vector<int> results;
  for (uint8_t v : values) {
    const std::vector<uint8_t> frame(size, v);
    results.push_back(store.ProcessFrame(frame.data(), frame.size()));
    if (results.back() == kImageFinished) store.ResetCycle();  // as the sample callback does
  }
  return results;
}

TEST(FrameStore, PipelineOrder) {
  const size_t size = 16;
  {  // Static frames: two rejected, the third accepted; counters untouched by rejects.
    FrameSettings s;
    s.BlackLvlPoints = 4;
    s.BlackLvlValue = 16;
    s.MeanCnt = 2;
    auto owner = Grey8(16, 1, s);
    FrameStore& store = *owner;
    EXPECT_EQ(Feed(store, {16, 16}, size), (std::vector<int>{kStaticRejected, kStaticRejected}));
    EXPECT_EQ(store.FrameCount(), 0);
    EXPECT_EQ(store.RetryCount(), 2);
    EXPECT_EQ(Feed(store, {16, 17, 40}, size), (std::vector<int>{kNeedMoreFrames, kImageFinished, kNeedMoreFrames}));
    EXPECT_EQ(store.RetryCount(), 0);
    EXPECT_EQ(store.ResultBuffer()[0], 16);  // floor((16 + 17) / 2)
  }
  {  // Plain mean of three fresh frames per image, slots written in turn.
    FrameSettings s;
    s.MeanCnt = 3;
    auto owner = Grey8(16, 1, s);
    FrameStore& store = *owner;
    EXPECT_EQ(Feed(store, {10, 11, 11}, size), (std::vector<int>{kNeedMoreFrames, kNeedMoreFrames, kImageFinished}));
    EXPECT_EQ(std::vector<uint8_t>(store.Row(0), store.Row(0) + size), std::vector<uint8_t>(size, 10));
    EXPECT_EQ(Feed(store, {200, 100, 0}, size).back(), kImageFinished);
    EXPECT_EQ(store.ResultBuffer()[15], 100);
  }
  {  // Recursive mean, one frame per image: a running average across grabs.
    FrameSettings s;
    s.RecursiveMean = 1;
    auto owner = Grey8(16, 1, s);
    FrameStore& store = *owner;
    EXPECT_EQ(Feed(store, {100, 200}, size), (std::vector<int>{kImageFinished, kImageFinished}));
    EXPECT_EQ(store.ResultBuffer()[0], 179);
    EXPECT_EQ(Feed(store, {179}, size).back(), kImageFinished);
    EXPECT_EQ(store.ResultBuffer()[0], 178);  // blended again, not copied: floor arithmetic loses one
    // New buffers hold no image: the first frame after reallocation is copied.
    ASSERT_TRUE(store.SetColorOutput(false));
    Feed(store, {7}, size);
    EXPECT_EQ(store.ResultBuffer()[0], 7);
  }
  {  // Recursive mean of two frames: each grab starts over with a copy.
    FrameSettings s;
    s.RecursiveMean = 1;
    s.MeanCnt = 2;
    s.RecursiveCoeff = 100;
    auto owner = Grey8(16, 1, s);
    FrameStore& store = *owner;
    EXPECT_EQ(Feed(store, {50, 60}, size), (std::vector<int>{kNeedMoreFrames, kImageFinished}));
    EXPECT_EQ(store.ResultBuffer()[0], 60);
    EXPECT_EQ(Feed(store, {9, 0}, size).back(), kImageFinished);
    EXPECT_EQ(store.ResultBuffer()[0], 0);
  }
}

// Catches: a conversion that writes into the image a host is copying (the
// host would see two images torn together), a newer image that is not
// published beside the held one, and a frame that is rejected or still being
// averaged showing to the host before its image is finished.
TEST(FrameStore, AHeldImageStaysWholeWhileNewerImagesArePublished) {
  const size_t size = 16;
  const struct Case {
    const char* what;
    FrameSettings settings;
    std::initializer_list<uint8_t> first, later;
    uint8_t held, newest;
  } cases[] = {
      {"one frame per image", {}, {10}, {20, 30, 40}, 10, 40},
      {"mean of two", {.MeanCnt = 2}, {10, 12}, {20, 22, 30, 32, 40}, 11, 31},
      {"running average", {.RecursiveMean = 1, .RecursiveCoeff = 100}, {10}, {20, 30, 40}, 10, 40},
      {"running average of three",
       {.MeanCnt = 3, .RecursiveMean = 1, .RecursiveCoeff = 100},
       {1, 2, 10},
       {20, 30},
       10,
       10},
      {"a frozen frame is rejected", {.BlackLvlPoints = 4, .BlackLvlValue = 16, .BlackLvlRetry = 9}, {10}, {16, 16},
       10, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto owner = Grey8(16, 1, c.settings);
    FrameStore& store = *owner;
    Feed(store, c.first, size);
    const FrameStore::PublishedImage held = store.Published();
    Feed(store, c.later, size);
    EXPECT_EQ(std::vector<uint8_t>(held.Data(), held.Data() + size), std::vector<uint8_t>(size, c.held));
    EXPECT_EQ(store.ResultBuffer()[size - 1], c.newest);
  }
}

// Catches: buffers freed or replaced under a host's copy, which runs outside
// the camera's gate (the copy would read freed memory, or another image).
// Each call that lets the buffers go must wait for the held image first. The
// store lives in storage of the test's own, so that a store destroyed too early
// fails the test rather than taking the test's reads of it down with it.
TEST(FrameStore, BuffersOutliveTheImagesHeldFromThem) {
  const struct Case {
    const char* what;
    void (*let_go)(FrameStore*);
    bool destroys;
  } cases[] = {
      {"colour output switched", [](FrameStore* s) { s->SetColorOutput(true); }, false},
      {"the store destroyed (the last close)", [](FrameStore* s) { s->~FrameStore(); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    alignas(FrameStore) unsigned char storage[sizeof(FrameStore)];
    auto* store = new (storage) FrameStore(FrameType::Grey8, 16, 1, 0);
    ASSERT_TRUE(store->SetColorOutput(false));
    Feed(*store, {10}, 16);
    std::atomic<bool> done{false};
    std::thread worker;
    {
      const FrameStore::PublishedImage held = store->Published();
      worker = std::thread([&] {
        c.let_go(store);
        done = true;
      });
      while (!done && store->WaitingForReaders() == 0) std::this_thread::yield();
      EXPECT_FALSE(done) << "the buffers went while an image was held";
      EXPECT_EQ(std::vector<uint8_t>(held.Data(), held.Data() + 16), std::vector<uint8_t>(16, 10));
    }
    worker.join();
    if (!c.destroys) store->~FrameStore();
  }
}

// Bytes the process has mapped outside the C library's heap.
uint64_t MappedBytes() {
  std::ifstream maps("/proc/self/maps");
  uint64_t total = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find("[heap]") != std::string::npos) continue;
    uint64_t from = 0, to = 0;
    if (std::sscanf(line.c_str(), "%" SCNx64 "-%" SCNx64, &from, &to) == 2) total += to - from;
  }
  return total;
}

// Catches: image buffers of megabytes (mapped apart from the heap, in huge
// pages where that wastes little; the three images of a store in one block)
// that are shorter than the images, or whose mapping is not given back whole
// when the store goes. Three images of w x 1024 grey pixels and their cache
// line offsets (as the sizes say) in one block:
TEST(FrameStore, BlocksOfMegabytesAreWholeAndGivenBackWhole) {
  const struct Case {
    const char* what;
    int32_t w;
  } cases[] = {
      {"just under a huge page, from the heap", 682},       {"just over a huge page: the rest in small pages", 683},
      {"a last huge page that wastes little", 1100},        {"just over two huge pages: the rest in small pages", 1366},
      {"a last huge page that would waste too much", 2047},
  };
  constexpr int32_t kRows = 1024;
  // The address sanitizer's builds take the images from its own heap, which
  // keeps freed blocks mapped for a while to catch a use after the free.
#if defined(__SANITIZE_ADDRESS__)
  constexpr bool kOwnMappings = false;
#else
  constexpr bool kOwnMappings = true;
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t bytes = size_t{static_cast<uint32_t>(c.w)} * kRows;
    const std::vector<uint8_t> frame(bytes, 77);
    auto cycle = [&] {
      auto owner = Grey8(c.w, kRows, FrameSettings{});
      for (int i = 0; i < 3; ++i) {  // into each of the three image buffers
        ASSERT_EQ(owner->ProcessFrame(frame.data(), frame.size()), kImageFinished);
        owner->ResetCycle();
        const FrameStore::PublishedImage image = owner->Published();
        EXPECT_EQ(image.Data()[0], 77);
        EXPECT_EQ(image.Data()[bytes - 1], 77);
      }
    };
    cycle();
    const uint64_t before = MappedBytes();
    for (int i = 0; i < 3; ++i) cycle();
    if (kOwnMappings) {
      EXPECT_EQ(MappedBytes(), before);
    }
  }
}

TEST(FrameStore, StaticTestSamplesEvenlySpacedPoints) {
  FrameSettings s;
  s.BlackLvlPoints = 4;
  s.BlackLvlValue = 16;
  s.BlackLvlRetry = 1;
  auto owner = Grey8(640, 480, s);
  FrameStore& store = *owner;
  std::vector<uint8_t> frame(640 * 480, 200);
  for (size_t at : {0u, 76800u, 153600u, 230400u}) frame[at] = 16;
  store.ProcessFrame(frame.data(), frame.size());
  EXPECT_TRUE(store.IsStaticImage(store.ResultBuffer()));
  frame[76800] = 17;
  store.ProcessFrame(frame.data(), frame.size());
  EXPECT_FALSE(store.IsStaticImage(store.ResultBuffer()));
  s.BlackLvlRange = 255;
  store.ApplySettings(s);
  EXPECT_TRUE(store.IsStaticImage(store.ResultBuffer()));

  // More points than bytes: every point is byte 0 (a hand-edited count must not
  // cost a loop of 2^31 steps per frame).
  s.BlackLvlRange = 0;
  s.BlackLvlPoints = INT32_MAX;
  store.ApplySettings(s);
  EXPECT_TRUE(store.IsStaticImage(store.ResultBuffer()));  // byte 0 is 16
  frame[0] = 15;
  store.ProcessFrame(frame.data(), frame.size());
  EXPECT_FALSE(store.IsStaticImage(store.ResultBuffer()));
}

}  // namespace
}  // namespace kelvane::frames

namespace kelvane::frames {
namespace {

// Catches: a RawMode (Bayer order) that the store does not demosaic, which
// would give a camera of that order a grey mosaic instead of colour. A scene
// of pure red, laid out in each order, must come out red in every algorithm.
TEST(FrameStore, EveryBayerOrderDemosaicsARedSceneToRed) {
  constexpr int32_t w = 16, h = 12;
  // Where the sample shown as red lies in the top-left 2 x 2 block (row 0 first
  // in memory) for RawMode 1..4: algorithms 1 to 4 read the codes with red and
  // blue exchanged against algorithm 0.
  const struct {
    int32_t rawMode, redX, redY, redX0, redY0;
  } orders[] = {{1, 1, 1, 0, 0}, {2, 1, 0, 0, 1}, {3, 0, 1, 1, 0}, {4, 0, 0, 1, 1}};
  const std::optional<FrameType> raw8 = FrameTypeForSubtype(platform::MEDIASUBTYPE_RAW8);
  ASSERT_EQ(raw8, FrameType::Raw8);
  for (const auto& o : orders)
    for (int32_t algorithm = 0; algorithm <= 4; ++algorithm) {
      SCOPED_TRACE(testing::Message() << "RawMode " << o.rawMode << " algorithm " << algorithm);
      std::vector<uint8_t> mosaic(w * h, 0);
      const int32_t redX = algorithm == 0 ? o.redX0 : o.redX, redY = algorithm == 0 ? o.redY0 : o.redY;
      for (int32_t y = redY; y < h; y += 2)
        for (int32_t x = redX; x < w; x += 2) mosaic[static_cast<size_t>(y * w + x)] = 200;
      FrameStore store(*raw8, w, h, 0);
      FrameSettings s;
      s.RawMode = o.rawMode;
      s.Algorithm = algorithm;
      store.ApplySettings(s);
      ASSERT_TRUE(store.SetColorOutput(true));
      ASSERT_EQ(store.ProcessFrame(mosaic.data(), mosaic.size()), kImageFinished);
      const uint8_t* pixel = store.Row(h / 2) + 3 * (w / 2);  // blue, green, red, away from the edges
      EXPECT_EQ(pixel[0], 0);
      EXPECT_EQ(pixel[1], 0);
      EXPECT_EQ(pixel[2], 200);
    }
}

}  // namespace
}  // namespace kelvane::frames
