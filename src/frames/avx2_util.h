// Small helpers of the AVX2 bodies. Include only inside the AVX2 region of a
// *_avx2.cpp file (after avx2_begin.h); everything here has internal linkage.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace kelvane::frames::avx2 {
namespace {

// 16 shuffle indices, the same in both 128-bit lanes; -1 gives a zero byte.
struct LaneMask {
  int8_t i[16];
};

inline __m256i Mask(const LaneMask& m) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(m.i)));
}

inline __m256i Load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
inline void Store(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
// p on a 32-byte boundary.
inline void StoreAligned(void* p, __m256i v) { _mm256_store_si256(static_cast<__m256i*>(p), v); }
inline __m256i Load2(const uint8_t* lo, const uint8_t* hi) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

// Planar to packed three-channel bytes. Within a 16-byte lane, sample p of a
// channel ch goes to byte 3p + ch of the lane's 48 output bytes, that is to
// byte (3p + ch) mod 16 of chunk (3p + ch) / 16. Since 3 and 16 are coprime,
// one shuffle per channel puts every sample at its position mod 16, and each
// output chunk is then a blend of the three shuffled channels.
constexpr LaneMask RotateMask(int channel) {
  LaneMask m{};
  for (int p = 0; p < 16; ++p) m.i[(3 * p + channel) % 16] = static_cast<int8_t>(p);
  return m;
}
constexpr LaneMask kRotate[3] = {RotateMask(0), RotateMask(1), RotateMask(2)};
// Bytes of chunk c that come from channel ch: all ones, else zero.
constexpr LaneMask ChunkMask(int chunk, int channel) {
  LaneMask m{};
  for (int i = 0; i < 16; ++i) m.i[i] = static_cast<int8_t>((16 * chunk + i) % 3 == channel ? -1 : 0);
  return m;
}
constexpr LaneMask kChunk[3][2] = {
    {ChunkMask(0, 1), ChunkMask(0, 2)}, {ChunkMask(1, 1), ChunkMask(1, 2)}, {ChunkMask(2, 1), ChunkMask(2, 2)}};

// 32 pixels given as three vectors of 32 bytes in pixel order, stored as 96 bytes B G R.
[[gnu::always_inline]] inline void StoreBgr(uint8_t* dst, __m256i b, __m256i g, __m256i r) {
  const __m256i rb = _mm256_shuffle_epi8(b, Mask(kRotate[0]));
  const __m256i rg = _mm256_shuffle_epi8(g, Mask(kRotate[1]));
  const __m256i rr = _mm256_shuffle_epi8(r, Mask(kRotate[2]));
  __m256i out[3];
  for (int c = 0; c < 3; ++c)
    out[c] = _mm256_blendv_epi8(_mm256_blendv_epi8(rb, rg, Mask(kChunk[c][0])), rr, Mask(kChunk[c][1]));
  // Each lane holds the 48 bytes of its own 16 pixels; put the lanes in memory
  // order. The middle store takes a lane from each as it stands: a blend, which
  // is cheaper than a lane permute.
  Store(dst, _mm256_inserti128_si256(out[0], _mm256_castsi256_si128(out[1]), 1));
  Store(dst + 32, _mm256_blend_epi32(out[2], out[0], 0xF0));
  Store(dst + 64, _mm256_permute2x128_si256(out[1], out[2], 0x31));
}

// Two vectors of 16 signed 16-bit values (pixels 0-15, 16-31) to 32 clamped bytes in order.
inline __m256i PackInOrder(__m256i lo, __m256i hi) {
  return _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8);
}

// The same for 16-bit samples, 8 pixels per lane: sample p of channel ch goes to
// word (3p + ch) mod 8 of chunk (3p + ch) / 8.
constexpr LaneMask RotateMask16(int channel) {
  LaneMask m{};
  for (int p = 0; p < 8; ++p) {
    const size_t word = static_cast<size_t>((3 * p + channel) % 8);
    m.i[2 * word] = static_cast<int8_t>(2 * p);
    m.i[2 * word + 1] = static_cast<int8_t>(2 * p + 1);
  }
  return m;
}
constexpr LaneMask kRotate16[3] = {RotateMask16(0), RotateMask16(1), RotateMask16(2)};
// Words of chunk c that come from channel ch, as a blend immediate.
constexpr int ChunkBits16(int chunk, int channel) {
  int bits = 0;
  for (int i = 0; i < 8; ++i) bits |= ((8 * chunk + i) % 3 == channel ? 1 : 0) << i;
  return bits;
}

// 16 pixels given as three vectors of 16 samples of 16 bits, stored as 96 bytes.
[[gnu::always_inline]] inline void StoreBgr16(uint16_t* dst, __m256i b, __m256i g, __m256i r) {
  const __m256i rb = _mm256_shuffle_epi8(b, Mask(kRotate16[0]));
  const __m256i rg = _mm256_shuffle_epi8(g, Mask(kRotate16[1]));
  const __m256i rr = _mm256_shuffle_epi8(r, Mask(kRotate16[2]));
  // Named constants, so that the immediates are constant expressions without optimisation too.
  constexpr int kG0 = ChunkBits16(0, 1), kR0 = ChunkBits16(0, 2), kG1 = ChunkBits16(1, 1), kR1 = ChunkBits16(1, 2),
                kG2 = ChunkBits16(2, 1), kR2 = ChunkBits16(2, 2);
  const __m256i out0 = _mm256_blend_epi16(_mm256_blend_epi16(rb, rg, kG0), rr, kR0);
  const __m256i out1 = _mm256_blend_epi16(_mm256_blend_epi16(rb, rg, kG1), rr, kR1);
  const __m256i out2 = _mm256_blend_epi16(_mm256_blend_epi16(rb, rg, kG2), rr, kR2);
  Store(dst, _mm256_inserti128_si256(out0, _mm256_castsi256_si128(out1), 1));
  Store(dst + 16, _mm256_blend_epi32(out2, out0, 0xF0));
  Store(dst + 32, _mm256_permute2x128_si256(out1, out2, 0x31));
}

}  // namespace
}  // namespace kelvane::frames::avx2
