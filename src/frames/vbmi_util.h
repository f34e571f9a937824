// Small helpers of the AVX-512 VBMI bodies. Include only inside the VBMI region
// of a *_vbmi.cpp file (after vbmi_begin.h); everything here has internal linkage.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace kelvane::frames::vbmi {
namespace {

// A permute index, built when the library is compiled: byte i takes byte
// `pick(i)` of the pair of registers (0..63 the first, 64..127 the second).
struct alignas(64) Index {
  uint8_t byte[64];
};
template <typename Pick>
constexpr Index MakeIndex(Pick pick) {
  Index idx{};
  for (int i = 0; i < 64; ++i) idx.byte[i] = static_cast<uint8_t>(pick(i) & 127);
  return idx;
}
inline __m512i LoadIndex(const Index& idx) { return _mm512_load_si512(idx.byte); }

inline __m512i Load(const uint8_t* p) { return _mm512_loadu_si512(p); }

// Byte i of the result is byte idx[i] of a. (GCC's own intrinsic for this
// starts from an undefined register, which its warnings then take for an
// uninitialised read; the zero-masking form with every lane kept is the same
// instruction.)
inline __m512i Permute(__m512i idx, __m512i a) { return _mm512_maskz_permutexvar_epi8(~__mmask64{0}, idx, a); }

}  // namespace
}  // namespace kelvane::frames::vbmi
