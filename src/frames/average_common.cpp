// Scalar reference of the averaging kernels.
#include <array>
#include <utility>

#include "frames/average.h"

namespace kelvane::frames {
namespace {

// One instance per count, so the division by a constant N compiles to a
// multiply (and to a shift for powers of two) while reading as a division.
// The result never overlaps a source frame (__restrict); with the sum over
// frames unrolled the compiler vectorises along the bytes.
template <int N>
void AverageN(const uint8_t* const* frames, size_t size, uint8_t* __restrict result) {
  const uint8_t* f[N];
  for (int i = 0; i < N; ++i) f[i] = frames[i];
  const size_t whole = size / 8 * 8;
  for (size_t k = 0; k < whole; ++k) {
    uint16_t sum = 0;  // 32 * 255 fits in 16 bits
#pragma GCC unroll 32
    for (int i = 0; i < N; ++i) sum = static_cast<uint16_t>(sum + f[i][k]);
    result[k] = static_cast<uint8_t>(sum / N);
  }
}

template <size_t... I>
constexpr std::array<AverageKernel, sizeof...(I)> MakeAverageKernels(std::index_sequence<I...>) {
  return {&AverageN<static_cast<int>(I) + 2>...};
}

constexpr auto kAverageKernels = MakeAverageKernels(std::make_index_sequence<kMaxMeanCnt - 1>{});

}  // namespace

AverageKernel SelectAverageKernel(int32_t n) {
  if (n < 2 || n > kMaxMeanCnt) return nullptr;
  return kAverageKernels[static_cast<size_t>(n - 2)];
}

void AverageBuffers(const uint8_t* const* frames, int32_t n, size_t size, uint8_t* result) {
  if (AverageKernel kernel = SelectAverageKernel(n)) kernel(frames, size, result);
}

void BlendRecursive(const uint8_t* __restrict newest, uint8_t* __restrict result, size_t size, int32_t coefficient) {
  uint32_t c = static_cast<uint32_t>(coefficient) & 0xFFu;
  if (c > 100) c = 100;
  const uint32_t wn = c * 32768u / 100u;
  const uint32_t wo = 32768u - wn;
  const size_t whole = size / 8 * 8;
  for (size_t k = 0; k < whole; ++k) {
    const uint32_t n = newest[k], r = result[k];
    result[k] = static_cast<uint8_t>((n * wn / 256u + r * wo / 256u) >> 7);
  }
}

}  // namespace kelvane::frames
