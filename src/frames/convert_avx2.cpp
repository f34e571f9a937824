// AVX2 bodies of the pixel conversions. Exact to the scalar reference:
//
// YUV to BGR. The reference computes clamp((298(y-16) + 516(u-128) + 128) >> 8)
// and its like in 32 bits. Splitting each product into a multiple of 256 and a
// small rest, e.g. 298 = 256 + 42 and 516 = 512 + 4, gives
//   (256 (Y' + 2U') + 42 Y' + 4 U' + 128) >> 8 = Y' + 2U' + ((42 Y' + 4 U' + 128) >> 8)
// (Y' = y - 16, U' = u - 128), because an arithmetic shift is a floor division.
// Every term and the sum then fit in signed 16 bits (the rests stay within
// -20128 .. 29597), so 16 pixels go through one vector and the clamp is the
// saturation of the pack to bytes. Green uses -208 = -256 + 48, red 409 = 256 + 153.
//
// Division by three of a sum of three bytes (at most 765): floor(s * 43691 / 2^17)
// equals floor(s / 3) for every s below 2^15.
#include "frames/simd_avx2.h"

#ifdef KELVANE_HAVE_AVX2_KERNELS
#include <immintrin.h>

#include "frames/avx2_begin.h"
#include "frames/avx2_util.h"

namespace kelvane::frames::avx2 {
namespace {

struct Bgr16 {
  __m256i b, g, r;
};

// 16 pixels: y, u, v as unsigned values in 16-bit lanes.
inline Bgr16 YuvCore(__m256i y, __m256i u, __m256i v) {
  const __m256i y42 = _mm256_mullo_epi16(y, _mm256_set1_epi16(42));
  Bgr16 p;
  // B = (y + 2u - 272) + ((42y + 4u - 1056) >> 8)
  const __m256i bl = _mm256_add_epi16(y42, _mm256_add_epi16(_mm256_slli_epi16(u, 2), _mm256_set1_epi16(-1056)));
  p.b = _mm256_add_epi16(_mm256_add_epi16(_mm256_add_epi16(y, _mm256_add_epi16(u, u)), _mm256_set1_epi16(-272)),
                         _mm256_srai_epi16(bl, 8));
  // G = (y - v + 112) + ((42y - 100u + 48v + 6112) >> 8)
  const __m256i gl = _mm256_add_epi16(
      y42, _mm256_add_epi16(_mm256_sub_epi16(_mm256_mullo_epi16(v, _mm256_set1_epi16(48)),
                                             _mm256_mullo_epi16(u, _mm256_set1_epi16(100))),
                            _mm256_set1_epi16(6112)));
  p.g = _mm256_add_epi16(_mm256_add_epi16(_mm256_sub_epi16(y, v), _mm256_set1_epi16(112)), _mm256_srai_epi16(gl, 8));
  // R = (y + v - 144) + ((42y + 153v - 20128) >> 8); the product wraps, the sum does not.
  const __m256i rl = _mm256_add_epi16(
      y42, _mm256_add_epi16(_mm256_mullo_epi16(v, _mm256_set1_epi16(153)), _mm256_set1_epi16(-20128)));
  p.r = _mm256_add_epi16(_mm256_add_epi16(_mm256_add_epi16(y, v), _mm256_set1_epi16(-144)), _mm256_srai_epi16(rl, 8));
  return p;
}

inline void StoreYuv(uint8_t* dst, const Bgr16& a, const Bgr16& b) {
  StoreBgr(dst, PackInOrder(a.b, b.b), PackInOrder(a.g, b.g), PackInOrder(a.r, b.r));
}

constexpr LaneMask PairChroma(int offset) {
  LaneMask m{};
  for (int word = 0; word < 8; ++word) {
    m.i[2 * word] = static_cast<int8_t>(4 * (word / 2) + offset);
    m.i[2 * word + 1] = -1;
  }
  return m;
}
constexpr LaneMask kYuy2U = PairChroma(1), kYuy2V = PairChroma(3);
constexpr LaneMask kUyvyU = PairChroma(0), kUyvyV = PairChroma(2);

// Y411, 8 pixels (two groups U Y0 Y1 V Y2 Y3) per lane, as 16-bit words.
constexpr LaneMask Y411Words(int component) {
  constexpr int kY[4] = {1, 2, 4, 5};
  LaneMask m{};
  for (int k = 0; k < 8; ++k) {
    const int base = 6 * (k / 4);
    m.i[2 * k] = static_cast<int8_t>(component == 0 ? base + kY[k % 4] : (component == 1 ? base : base + 3));
    m.i[2 * k + 1] = -1;
  }
  return m;
}
constexpr LaneMask kY411Y = Y411Words(0), kY411U = Y411Words(1), kY411V = Y411Words(2);

// Y444, 8 pixels (U Y V each) per lane from two loads 8 bytes apart, as 16-bit
// words (words) or as the low 8 bytes (bytes).
constexpr LaneMask Y444Mask(int component, int load, bool words) {
  LaneMask m{};
  for (int i = 0; i < 16; ++i) m.i[i] = -1;
  for (int k = 0; k < 8; ++k) {
    const int at = 3 * k + component;
    const int slot = words ? 2 * k : k;
    if (load == 0 && at < 16) m.i[slot] = static_cast<int8_t>(at);
    if (load == 1 && at >= 16) m.i[slot] = static_cast<int8_t>(at - 8);
  }
  return m;
}
// Component order in memory: U 0, Y 1, V 2.
constexpr LaneMask kY444Words[3][2] = {{Y444Mask(0, 0, true), Y444Mask(0, 1, true)},
                                       {Y444Mask(1, 0, true), Y444Mask(1, 1, true)},
                                       {Y444Mask(2, 0, true), Y444Mask(2, 1, true)}};
constexpr LaneMask kY444LumaA = Y444Mask(1, 0, false), kY444LumaB = Y444Mask(1, 1, false);

constexpr LaneMask kY411Luma = {{1, 2, 4, 5, 7, 8, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1}};
constexpr LaneMask kBgr24ToDwords = {{0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1}};

}  // namespace

void Yuy2ToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks) {
  const __m256i low = _mm256_set1_epi16(0xFF), mu = Mask(kYuy2U), mv = Mask(kYuy2V);
  for (size_t i = 0; i < blocks; ++i, src += 64, bgr += 96) {
    const __m256i s0 = Load(src), s1 = Load(src + 32);
    const Bgr16 a = YuvCore(_mm256_and_si256(s0, low), _mm256_shuffle_epi8(s0, mu), _mm256_shuffle_epi8(s0, mv));
    const Bgr16 b = YuvCore(_mm256_and_si256(s1, low), _mm256_shuffle_epi8(s1, mu), _mm256_shuffle_epi8(s1, mv));
    StoreYuv(bgr, a, b);
  }
}

void UyvyToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks) {
  const __m256i mu = Mask(kUyvyU), mv = Mask(kUyvyV);
  for (size_t i = 0; i < blocks; ++i, src += 64, bgr += 96) {
    const __m256i s0 = Load(src), s1 = Load(src + 32);
    const Bgr16 a = YuvCore(_mm256_srli_epi16(s0, 8), _mm256_shuffle_epi8(s0, mu), _mm256_shuffle_epi8(s0, mv));
    const Bgr16 b = YuvCore(_mm256_srli_epi16(s1, 8), _mm256_shuffle_epi8(s1, mu), _mm256_shuffle_epi8(s1, mv));
    StoreYuv(bgr, a, b);
  }
}

void Y411ToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks) {
  const __m256i my = Mask(kY411Y), mu = Mask(kY411U), mv = Mask(kY411V);
  for (size_t i = 0; i < blocks; ++i, src += 48, bgr += 96) {
    const __m256i s0 = Load2(src, src + 12), s1 = Load2(src + 24, src + 36);
    const Bgr16 a = YuvCore(_mm256_shuffle_epi8(s0, my), _mm256_shuffle_epi8(s0, mu), _mm256_shuffle_epi8(s0, mv));
    const Bgr16 b = YuvCore(_mm256_shuffle_epi8(s1, my), _mm256_shuffle_epi8(s1, mu), _mm256_shuffle_epi8(s1, mv));
    StoreYuv(bgr, a, b);
  }
}

namespace {
inline Bgr16 Y444Half(const uint8_t* src) {
  const __m256i a = Load2(src, src + 24), b = Load2(src + 8, src + 32);
  __m256i c[3];
  for (int k = 0; k < 3; ++k)
    c[k] = _mm256_or_si256(_mm256_shuffle_epi8(a, Mask(kY444Words[k][0])), _mm256_shuffle_epi8(b, Mask(kY444Words[k][1])));
  return YuvCore(c[1], c[0], c[2]);
}
}  // namespace

void Y444ToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks) {
  for (size_t i = 0; i < blocks; ++i, src += 96, bgr += 96) StoreYuv(bgr, Y444Half(src), Y444Half(src + 48));
}

void I420RowToBgrBlocks(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* bgr, size_t blocks) {
  for (size_t i = 0; i < blocks; ++i, y += 32, u += 16, v += 16, bgr += 96) {
    const __m128i cu = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u));
    const __m128i cv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v));
    const Bgr16 a = YuvCore(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y))),
                            _mm256_cvtepu8_epi16(_mm_unpacklo_epi8(cu, cu)),
                            _mm256_cvtepu8_epi16(_mm_unpacklo_epi8(cv, cv)));
    const Bgr16 b = YuvCore(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 16))),
                            _mm256_cvtepu8_epi16(_mm_unpackhi_epi8(cu, cu)),
                            _mm256_cvtepu8_epi16(_mm_unpackhi_epi8(cv, cv)));
    StoreYuv(bgr, a, b);
  }
}

void Yuy2ToLumaBlocks(const uint8_t* src, uint8_t* grey, size_t blocks) {
  const __m256i low = _mm256_set1_epi16(0xFF);
  for (size_t i = 0; i < blocks; ++i, src += 64, grey += 32)
    Store(grey, PackInOrder(_mm256_and_si256(Load(src), low), _mm256_and_si256(Load(src + 32), low)));
}

void UyvyToLumaBlocks(const uint8_t* src, uint8_t* grey, size_t blocks) {
  for (size_t i = 0; i < blocks; ++i, src += 64, grey += 32)
    Store(grey, PackInOrder(_mm256_srli_epi16(Load(src), 8), _mm256_srli_epi16(Load(src + 32), 8)));
}

namespace {
// Two vectors whose lanes hold 8 result bytes each in their low halves
// (pixels 0-7, 8-15 and 16-23, 24-31) to 32 bytes in order.
inline __m256i JoinLowHalves(__m256i a, __m256i b) {
  return _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(a, b), 0xD8);
}
inline __m256i Y444LumaHalf(const uint8_t* src) {
  return _mm256_or_si256(_mm256_shuffle_epi8(Load2(src, src + 24), Mask(kY444LumaA)),
                         _mm256_shuffle_epi8(Load2(src + 8, src + 32), Mask(kY444LumaB)));
}
}  // namespace

void Y411ToLumaBlocks(const uint8_t* src, uint8_t* grey, size_t blocks) {
  const __m256i m = Mask(kY411Luma);
  for (size_t i = 0; i < blocks; ++i, src += 48, grey += 32) {
    Store(grey, JoinLowHalves(_mm256_shuffle_epi8(Load2(src, src + 12), m),
                              _mm256_shuffle_epi8(Load2(src + 24, src + 36), m)));
  }
}

void Y444ToLumaBlocks(const uint8_t* src, uint8_t* grey, size_t blocks) {
  for (size_t i = 0; i < blocks; ++i, src += 96, grey += 32)
    Store(grey, JoinLowHalves(Y444LumaHalf(src), Y444LumaHalf(src + 48)));
}

namespace {
// Sums B + G + R of 8 pixels given as 32-bit words B G R x (x ignored).
inline __m256i SumBgr(__m256i dwords) {
  const __m256i pairs = _mm256_maddubs_epi16(dwords, _mm256_set1_epi32(0x00010101));
  return _mm256_madd_epi16(pairs, _mm256_set1_epi16(1));
}
// Four vectors of 8 sums (pixels 0-7, ..., 24-31) to 32 grey bytes in order.
inline __m256i DivideBy3InOrder(__m256i s0, __m256i s1, __m256i s2, __m256i s3) {
  const __m256i third = _mm256_set1_epi16(-21845);  // 43691 as an unsigned 16-bit multiplier
  const __m256i w01 = _mm256_srli_epi16(_mm256_mulhi_epu16(_mm256_packs_epi32(s0, s1), third), 1);
  const __m256i w23 = _mm256_srli_epi16(_mm256_mulhi_epu16(_mm256_packs_epi32(s2, s3), third), 1);
  // Dwords of 4 pixels: lane 0 holds 0-3, 8-11, 16-19, 24-27; lane 1 the others.
  return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(w01, w23), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}
}  // namespace

void Bgr24ToGreyBlocks(const uint8_t* src, uint8_t* grey, size_t blocks) {
  const __m256i m = Mask(kBgr24ToDwords);
  for (size_t i = 0; i < blocks; ++i, src += 96, grey += 32) {
    __m256i s[4];
    for (int q = 0; q < 4; ++q) s[q] = SumBgr(_mm256_shuffle_epi8(Load2(src + 24 * q, src + 24 * q + 12), m));
    Store(grey, DivideBy3InOrder(s[0], s[1], s[2], s[3]));
  }
}

void Bgr32ToGreyBlocks(const uint8_t* src, uint8_t* grey, size_t blocks) {
  for (size_t i = 0; i < blocks; ++i, src += 128, grey += 32) {
    Store(grey, DivideBy3InOrder(SumBgr(Load(src)), SumBgr(Load(src + 32)), SumBgr(Load(src + 64)),
                                 SumBgr(Load(src + 96))));
  }
}

// ---- 16-bit samples ------------------------------------------------------------------------------

namespace {
constexpr LaneMask kSwapBytes = {{1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14}};

inline __m256i Samples(const uint8_t* src, bool swap, __m128i shift) {
  __m256i s = Load(src);
  if (swap) s = _mm256_shuffle_epi8(s, Mask(kSwapBytes));
  return _mm256_srl_epi16(s, shift);
}
}  // namespace

void Unpack16Blocks(const uint8_t* src, uint16_t* samples, size_t blocks, bool swap, int32_t shift) {
  const __m128i count = _mm_cvtsi32_si128(shift);
  for (size_t i = 0; i < blocks; ++i, src += 64, samples += 32) {
    Store(samples, Samples(src, swap, count));
    Store(samples + 16, Samples(src + 32, swap, count));
  }
}

void Mono16ToGreyLowByteBlocks(const uint8_t* src, uint8_t* grey, size_t blocks, bool swap) {
  const __m256i low = _mm256_set1_epi16(0xFF);
  for (size_t i = 0; i < blocks; ++i, src += 64, grey += 32) {
    const __m256i a = Load(src), b = Load(src + 32);
    // The low byte of a sample sent most significant byte first is its second byte.
    Store(grey, swap ? PackInOrder(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8))
                     : PackInOrder(_mm256_and_si256(a, low), _mm256_and_si256(b, low)));
  }
}

void Mono16ToGreyLinearBlocks(const uint8_t* src, uint8_t* grey, size_t blocks, bool swap, int32_t shift,
                              uint16_t largest, int32_t map_shift) {
  const __m128i count = _mm_cvtsi32_si128(shift), map_count = _mm_cvtsi32_si128(map_shift);
  const __m256i top = _mm256_set1_epi16(static_cast<int16_t>(largest));
  for (size_t i = 0; i < blocks; ++i, src += 64, grey += 32) {
    const __m256i a = _mm256_srl_epi16(_mm256_min_epu16(Samples(src, swap, count), top), map_count);
    const __m256i b = _mm256_srl_epi16(_mm256_min_epu16(Samples(src + 32, swap, count), top), map_count);
    Store(grey, PackInOrder(a, b));
  }
}

void Map16ToBytesLinearBlocks(const uint16_t* samples, uint8_t* dst, size_t blocks, uint16_t largest,
                              int32_t map_shift) {
  const __m128i map_count = _mm_cvtsi32_si128(map_shift);
  const __m256i top = _mm256_set1_epi16(static_cast<int16_t>(largest));
  for (size_t i = 0; i < blocks; ++i, samples += 32, dst += 32) {
    const __m256i a = _mm256_srl_epi16(_mm256_min_epu16(Load(samples), top), map_count);
    const __m256i b = _mm256_srl_epi16(_mm256_min_epu16(Load(samples + 16), top), map_count);
    Store(dst, PackInOrder(a, b));
  }
}

void Map16ToBytesGatherBlocks(const uint16_t* samples, uint8_t* dst, size_t blocks, const uint8_t* map,
                              uint16_t largest) {
  const __m256i top = _mm256_set1_epi16(static_cast<int16_t>(largest));
  const __m256i byte = _mm256_set1_epi32(0xFF);
  const int* base = reinterpret_cast<const int*>(map);
  for (size_t i = 0; i < blocks; ++i, samples += 32, dst += 32) {
    __m256i q[4];
    for (int h = 0; h < 2; ++h) {
      const __m256i s = _mm256_min_epu16(Load(samples + 16 * h), top);
      const __m256i lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(s));
      const __m256i hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(s, 1));
      q[2 * h] = _mm256_and_si256(_mm256_i32gather_epi32(base, lo, 1), byte);
      q[2 * h + 1] = _mm256_and_si256(_mm256_i32gather_epi32(base, hi, 1), byte);
    }
    // packs: lane 0 holds samples 0-3, 8-11, ...; undo as for the grey sums.
    const __m256i w01 = _mm256_packs_epi32(q[0], q[1]);
    const __m256i w23 = _mm256_packs_epi32(q[2], q[3]);
    Store(dst, _mm256_permutevar8x32_epi32(_mm256_packus_epi16(w01, w23), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)));
  }
}

}  // namespace kelvane::frames::avx2

#include "frames/avx2_end.h"
#endif
