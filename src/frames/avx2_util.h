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
inline __m256i Load2(const uint8_t* lo, const uint8_t* hi) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

// Masks that spread 16 bytes of one channel over the 48 bytes of 16 three-byte pixels.
constexpr LaneMask InterleaveMask(int chunk, int channel) {
  LaneMask m{};
  for (int i = 0; i < 16; ++i) {
    const int byte = 16 * chunk + i;
    m.i[i] = static_cast<int8_t>(byte % 3 == channel ? byte / 3 : -1);
  }
  return m;
}
constexpr LaneMask kInterleave[3][3] = {
    {InterleaveMask(0, 0), InterleaveMask(0, 1), InterleaveMask(0, 2)},
    {InterleaveMask(1, 0), InterleaveMask(1, 1), InterleaveMask(1, 2)},
    {InterleaveMask(2, 0), InterleaveMask(2, 1), InterleaveMask(2, 2)},
};

// 32 pixels given as three vectors of 32 bytes in pixel order, stored as 96 bytes B G R.
inline void StoreBgr(uint8_t* dst, __m256i b, __m256i g, __m256i r) {
  __m256i out[3];
  for (int c = 0; c < 3; ++c) {
    out[c] = _mm256_or_si256(
        _mm256_or_si256(_mm256_shuffle_epi8(b, Mask(kInterleave[c][0])), _mm256_shuffle_epi8(g, Mask(kInterleave[c][1]))),
        _mm256_shuffle_epi8(r, Mask(kInterleave[c][2])));
  }
  // Each lane holds the 48 bytes of its own 16 pixels; put the lanes in memory order.
  Store(dst, _mm256_permute2x128_si256(out[0], out[1], 0x20));
  Store(dst + 32, _mm256_permute2x128_si256(out[2], out[0], 0x30));
  Store(dst + 64, _mm256_permute2x128_si256(out[1], out[2], 0x31));
}


// Two vectors of 16 signed 16-bit values (pixels 0-15, 16-31) to 32 clamped bytes in order.
inline __m256i PackInOrder(__m256i lo, __m256i hi) {
  return _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8);
}

// Masks that spread 8 samples of 16 bits over the 48 bytes of 8 pixels of three samples.
constexpr LaneMask InterleaveMask16(int chunk, int channel) {
  LaneMask m{};
  for (int i = 0; i < 16; ++i) {
    const int byte = 16 * chunk + i;
    m.i[i] = static_cast<int8_t>((byte % 6) / 2 == channel ? 2 * (byte / 6) + byte % 2 : -1);
  }
  return m;
}
constexpr LaneMask kInterleave16[3][3] = {
    {InterleaveMask16(0, 0), InterleaveMask16(0, 1), InterleaveMask16(0, 2)},
    {InterleaveMask16(1, 0), InterleaveMask16(1, 1), InterleaveMask16(1, 2)},
    {InterleaveMask16(2, 0), InterleaveMask16(2, 1), InterleaveMask16(2, 2)},
};

// 16 pixels given as three vectors of 16 samples of 16 bits, stored as 96 bytes.
inline void StoreBgr16(uint16_t* dst, __m256i b, __m256i g, __m256i r) {
  __m256i out[3];
  for (int c = 0; c < 3; ++c) {
    out[c] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(b, Mask(kInterleave16[c][0])),
                                             _mm256_shuffle_epi8(g, Mask(kInterleave16[c][1]))),
                             _mm256_shuffle_epi8(r, Mask(kInterleave16[c][2])));
  }
  Store(dst, _mm256_permute2x128_si256(out[0], out[1], 0x20));
  Store(dst + 16, _mm256_permute2x128_si256(out[2], out[0], 0x30));
  Store(dst + 32, _mm256_permute2x128_si256(out[1], out[2], 0x31));
}

}  // namespace
}  // namespace kelvane::frames::avx2
