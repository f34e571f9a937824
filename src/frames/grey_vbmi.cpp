// Y444 luma and BGR to grey with AVX-512 VBMI byte permutes. One permute picks
// any 64 bytes out of two input registers, so a block of 64 output pixels costs
// a permute or two where the AVX2 bodies shuffle within 128-bit lanes and then
// put the lanes back in order.
#include "frames/simd_vbmi.h"

#ifdef KELVANE_HAVE_AVX2_KERNELS
#include <immintrin.h>

// What follows the region's opening is compiled for it: kept in this order.
// clang-format off
#include "frames/vbmi_begin.h"
#include "frames/vbmi_util.h"
// clang-format on

namespace kelvane::frames::vbmi {
namespace {

// Of 64 pixels of three bytes, pixels 0-31 lie in the first two of the three
// input registers, 32-63 in the last two.
constexpr __mmask64 kUpperHalf = 0xFFFFFFFF00000000ULL;

// B + G + R of 32 pixels as words, from the pair (a, b) in which pixel j's blue
// is byte base + bpp * j.
struct SumIndices {
  __m512i blue_green, red;
};
template <int Base, int Bpp>
inline SumIndices MakeSumIndices() {
  static constexpr Index kBlueGreen = MakeIndex([](int i) { return Base + Bpp * (i / 2) + (i & 1); });
  static constexpr Index kRed = MakeIndex([](int i) { return Base + Bpp * (i / 2) + 2; });
  return {LoadIndex(kBlueGreen), LoadIndex(kRed)};
}
constexpr Index kLowBytes = MakeIndex([](int i) { return 2 * i; });
inline __m512i Sums(__m512i a, __m512i b, const SumIndices& s) {
  const __m512i bg = _mm512_permutex2var_epi8(a, s.blue_green, b);
  const __m512i r = _mm512_maskz_permutex2var_epi8(0x5555555555555555ULL, a, s.red, b);  // red, 0
  return _mm512_add_epi16(_mm512_maddubs_epi16(bg, _mm512_set1_epi8(1)), r);
}
// sum / 3 rounded down for sums up to 765: (sum * 21846) >> 16 is off by less
// than 0.008 before the rounding, never enough to reach the next integer.
inline __m512i Third(__m512i sums) { return _mm512_mulhi_epu16(sums, _mm512_set1_epi16(21846)); }

}  // namespace

void Y444ToLumaBlocks(const uint8_t* src, uint8_t* grey, size_t blocks) {
  static constexpr Index kLow = MakeIndex([](int i) { return 3 * i + 1; });
  static constexpr Index kHigh = MakeIndex([](int i) { return 3 * i + 1 - 64; });
  const __m512i low = LoadIndex(kLow), high = LoadIndex(kHigh);
  for (size_t n = 0; n < blocks; ++n, src += 192, grey += 64) {
    const __m512i r0 = Load(src), r1 = Load(src + 64), r2 = Load(src + 128);
    _mm512_storeu_si512(grey, _mm512_mask_blend_epi8(kUpperHalf, _mm512_permutex2var_epi8(r0, low, r1),
                                                     _mm512_permutex2var_epi8(r1, high, r2)));
  }
}

void Bgr24ToGreyBlocks(const uint8_t* src, uint8_t* grey, size_t blocks) {
  // Pixels 32-63 start at byte 96, byte 32 of the second register.
  const SumIndices first = MakeSumIndices<0, 3>(), second = MakeSumIndices<32, 3>();
  const __m512i low_bytes = LoadIndex(kLowBytes);
  for (size_t n = 0; n < blocks; ++n, src += 192, grey += 64) {
    const __m512i r0 = Load(src), r1 = Load(src + 64), r2 = Load(src + 128);
    const __m512i q0 = Third(Sums(r0, r1, first)), q1 = Third(Sums(r1, r2, second));
    _mm512_storeu_si512(grey, _mm512_permutex2var_epi8(q0, low_bytes, q1));
  }
}

void Bgr32ToGreyBlocks(const uint8_t* src, uint8_t* grey, size_t blocks) {
  const SumIndices sums = MakeSumIndices<0, 4>();
  const __m512i low_bytes = LoadIndex(kLowBytes);
  for (size_t n = 0; n < blocks; ++n, src += 256, grey += 64) {
    const __m512i q0 = Third(Sums(Load(src), Load(src + 64), sums));
    const __m512i q1 = Third(Sums(Load(src + 128), Load(src + 192), sums));
    _mm512_storeu_si512(grey, _mm512_permutex2var_epi8(q0, low_bytes, q1));
  }
}

}  // namespace kelvane::frames::vbmi

#include "frames/avx2_end.h"
#endif
