#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "frames/average.h"

namespace kelvane::frames {
namespace {

TEST(Average, ExactFloorForEveryCountAndTailUntouched) {
  std::mt19937 rng(7);
  const size_t size = 8 * 37 + 5;  // five bytes past the last whole group
  for (int n = 2; n <= kMaxMeanCnt; ++n) {
    std::vector<std::vector<uint8_t>> frames(static_cast<size_t>(n), std::vector<uint8_t>(size));
    std::vector<const uint8_t*> ptrs;
    for (auto& f : frames) {
      for (auto& b : f) b = static_cast<uint8_t>(rng());
      f[0] = 255;  // the largest sum must not wrap
      ptrs.push_back(f.data());
    }
    std::vector<uint8_t> result(size, 0xAB);
    AverageBuffers(ptrs.data(), n, size, result.data());
    for (size_t k = 0; k < size; ++k) {
      unsigned sum = 0;
      for (auto& f : frames) sum += f[k];
      EXPECT_EQ(result[k], k < size - 5 ? sum / static_cast<unsigned>(n) : 0xAB) << "n " << n << " byte " << k;
    }
  }
  const std::vector<uint8_t> a(8, 10), b(8, 11), c(8, 255), d(8, 254);
  std::vector<uint8_t> out(8);
  const uint8_t* three[] = {a.data(), b.data(), b.data()};
  AverageBuffers(three, 3, 8, out.data());
  EXPECT_EQ(out[0], 10);
  const uint8_t* two[] = {c.data(), d.data()};
  AverageBuffers(two, 2, 8, out.data());
  EXPECT_EQ(out[7], 254);
}

TEST(Average, BlendRecursive) {
  const struct {
    int32_t coeff;
    uint8_t newest, old, want;
  } cases[] = {{80, 200, 100, 179}, {300, 200, 100, (200 * 14417 / 256 + 100 * 18351 / 256) >> 7},
               {100, 9, 250, 9},    {0, 9, 250, 250},  {356, 0, 255, 0},  {100, 255, 255, 255},
               {-1, 77, 3, 77}};
  for (const auto& c : cases) {
    const std::vector<uint8_t> newest(13, c.newest);
    std::vector<uint8_t> result(13, c.old);
    BlendRecursive(newest.data(), result.data(), result.size(), c.coeff);
    EXPECT_EQ(result[7], c.want) << c.coeff;
    EXPECT_EQ(result[8], c.old) << "bytes past the last group of 8 stay";
  }
}

}  // namespace
}  // namespace kelvane::frames
