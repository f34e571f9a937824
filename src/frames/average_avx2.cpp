// AVX2 bodies of the plain mean and the recursive blend, exact to the scalar
// reference. Sums of up to 32 bytes fit 16-bit lanes; the division by n is a
// multiply-high by ceil(2^(16+s) / n) and a shift by s, which DividerFor checks
// against the true floor for every sum that can occur.
#include "frames/simd_avx2.h"

#ifdef KELVANE_HAVE_AVX2_KERNELS
#include <immintrin.h>

#include <array>
#include <utility>

#include "frames/avx2_begin.h"
#include "frames/avx2_util.h"

namespace kelvane::frames::avx2 {

Divider DividerFor(int32_t n) {
  if (n < 2 || n > 32) return {0, 0, false};
  if ((n & (n - 1)) == 0) {
    int32_t log2 = 0;
    while ((1 << log2) < n) ++log2;
    return {0, log2, true};  // a plain shift
  }
  int32_t shift = 0;
  while ((2 << shift) < n) ++shift;  // 2^shift < n < 2^(shift + 1)
  const uint32_t multiplier = ((uint32_t{1} << (16 + shift)) + static_cast<uint32_t>(n) - 1) / static_cast<uint32_t>(n);
  Divider d{static_cast<uint16_t>(multiplier), shift, multiplier < 65536};
  for (uint32_t s = 0; d.exact && s <= 255u * static_cast<uint32_t>(n); ++s)
    d.exact = ((s * multiplier) >> (16 + shift)) == s / static_cast<uint32_t>(n);
  return d;
}

namespace {

template <int N>
void AverageN(const uint8_t* const* frames, Divider d, size_t blocks, uint8_t* result) {
  const uint8_t* f[N];
  for (int i = 0; i < N; ++i) f[i] = frames[i];
  const __m256i zero = _mm256_setzero_si256();
  const __m256i multiplier = _mm256_set1_epi16(static_cast<int16_t>(d.multiplier));
  const __m128i shift = _mm_cvtsi32_si128(d.shift);
  const bool power_of_two = (N & (N - 1)) == 0;
  for (size_t b = 0; b < blocks; ++b) {
    const size_t at = 32 * b;
    __m256i lo = zero, hi = zero;
#pragma GCC unroll 8
    for (int i = 0; i < N; ++i) {
      const __m256i v = Load(f[i] + at);
      lo = _mm256_add_epi16(lo, _mm256_unpacklo_epi8(v, zero));
      hi = _mm256_add_epi16(hi, _mm256_unpackhi_epi8(v, zero));
    }
    if (power_of_two) {
      lo = _mm256_srl_epi16(lo, shift);
      hi = _mm256_srl_epi16(hi, shift);
    } else {
      lo = _mm256_srl_epi16(_mm256_mulhi_epu16(lo, multiplier), shift);
      hi = _mm256_srl_epi16(_mm256_mulhi_epu16(hi, multiplier), shift);
    }
    // unpacklo/hi split each lane; packing them back restores the byte order.
    Store(result + at, _mm256_packus_epi16(lo, hi));
  }
}

using AverageBody = void (*)(const uint8_t* const*, Divider, size_t, uint8_t*);

template <int... I>
constexpr auto MakeBodies(std::integer_sequence<int, I...>) {
  return std::array<AverageBody, sizeof...(I)>{&AverageN<I + 2>...};
}

}  // namespace

void AverageBlocks(const uint8_t* const* frames, int32_t n, Divider d, size_t blocks, uint8_t* result) {
  static constexpr auto kBodies = MakeBodies(std::make_integer_sequence<int, kMaxAverage - 1>{});
  if (n < 2 || n > kMaxAverage || !d.exact) return;
  kBodies[static_cast<size_t>(n - 2)](frames, d, blocks, result);
}

void BlendBlocks(const uint8_t* newest, uint8_t* result, size_t blocks, uint16_t wn, uint16_t wo) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i mn = _mm256_set1_epi16(static_cast<int16_t>(wn)), mo = _mm256_set1_epi16(static_cast<int16_t>(wo));
  for (size_t b = 0; b < blocks; ++b, newest += 32, result += 32) {
    const __m256i n = Load(newest), r = Load(result);
    // A byte in the high half of a lane is the byte times 256, so the high half
    // of its product with w is floor(byte * w / 256).
    const __m256i lo = _mm256_add_epi16(_mm256_mulhi_epu16(_mm256_unpacklo_epi8(zero, n), mn),
                                        _mm256_mulhi_epu16(_mm256_unpacklo_epi8(zero, r), mo));
    const __m256i hi = _mm256_add_epi16(_mm256_mulhi_epu16(_mm256_unpackhi_epi8(zero, n), mn),
                                        _mm256_mulhi_epu16(_mm256_unpackhi_epi8(zero, r), mo));
    Store(result, _mm256_packus_epi16(_mm256_srli_epi16(lo, 7), _mm256_srli_epi16(hi, 7)));
  }
}

}  // namespace kelvane::frames::avx2

#include "frames/avx2_end.h"
#endif
