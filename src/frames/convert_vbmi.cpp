// The logarithmic 16-bit map with AVX-512 VBMI byte permutes: four 64-byte
// registers hold a 256-entry byte table, two permutes and a blend on the index's
// top bit look up 64 samples at once (see simd_vbmi.h for the table layout).
#include "frames/simd_vbmi.h"

#ifdef KELVANE_HAVE_AVX2_KERNELS
#include <bit>

namespace kelvane::frames::vbmi {
namespace {

// The byte level i gives sample s, as the vector body computes it.
uint8_t LevelByte(const ByteMapLevels& v, int32_t i, uint32_t s) {
  const uint32_t h = s >> v.shift[i];
  const uint32_t low = s & ((1u << v.shift[i]) - 1u);
  return static_cast<uint8_t>(v.base[i][h] + (low > v.over[i][h] ? 1 : 0));
}

uint8_t LevelsByte(const ByteMapLevels& v, uint32_t s) {
  int32_t level = 0;
  for (int32_t i = 1; i < v.count; ++i)
    if (s < (256u << v.shift[i])) level = i;
  return LevelByte(v, level, s);
}

// Fills level i with buckets of 2^shift samples; returns the first sample above
// which every bucket holds at most one step (0: the whole level is usable).
uint32_t FillLevel(const uint8_t* map, uint32_t entries, int32_t shift, ByteMapLevels& v, int32_t i) {
  v.shift[i] = shift;
  const uint32_t width = 1u << shift;
  uint32_t usable_from = 0;
  for (uint32_t h = 0; h < 256; ++h) {
    const uint32_t first = h << shift;
    v.base[i][h] = first < entries ? map[first] : 0;
    v.over[i][h] = 255;
    bool fits = true;
    for (uint32_t low = 0; low < width && first + low < entries && fits; ++low) {
      const uint8_t m = map[first + low];
      if (m == v.base[i][h]) {
        fits = v.over[i][h] == 255;  // a fall back to the base after a step
      } else if (m == v.base[i][h] + 1) {
        if (v.over[i][h] == 255) v.over[i][h] = static_cast<uint8_t>(low - 1);
      } else {
        fits = false;
      }
    }
    if (!fits) usable_from = first + width;
  }
  return usable_from;
}

}  // namespace

bool BuildByteMapLevels(const uint8_t* map, uint16_t largest, ByteMapLevels& v) {
  const uint32_t entries = uint32_t{largest} + 1;
  if (map == nullptr || !std::has_single_bit(entries) || entries < 256) return false;
  int32_t shift = std::countr_zero(entries) - 8;
  v.count = 0;
  while (v.count < kMaxLevels) {
    const uint32_t usable_from = FillLevel(map, entries, shift, v, v.count++);
    if (usable_from == 0) break;
    // The next level must cover every sample below usable_from, with narrower buckets.
    int32_t next = 0;
    while ((256u << next) < usable_from) ++next;
    if (next >= shift || v.count == kMaxLevels) return false;
    shift = next;
  }
  for (uint32_t s = 0; s < entries; ++s)
    if (LevelsByte(v, s) != map[s]) return false;
  return true;
}

}  // namespace kelvane::frames::vbmi

#include <immintrin.h>

#include "frames/vbmi_begin.h"

namespace kelvane::frames::vbmi {
namespace {

struct Table256 {
  __m512i q[4];
};

inline Table256 LoadTable(const uint8_t* t) {
  Table256 r;
  for (ptrdiff_t i = 0; i < 4; ++i) r.q[i] = _mm512_load_si512(t + 64 * i);
  return r;
}

// Bytes t[idx] for 64 indices; `top` holds the indices' bit 7.
inline __m512i Look(const Table256& t, __m512i idx, __mmask64 top) {
  const __m512i lo = _mm512_permutex2var_epi8(t.q[0], idx, t.q[1]);
  const __m512i hi = _mm512_permutex2var_epi8(t.q[2], idx, t.q[3]);
  return _mm512_mask_blend_epi8(top, lo, hi);
}

inline __m512i Samples(const uint8_t* src, bool swap, __m128i shift, __m512i top) {
  __m512i s = _mm512_loadu_si512(src);
  if (swap) s = _mm512_or_si512(_mm512_slli_epi16(s, 8), _mm512_srli_epi16(s, 8));
  return _mm512_min_epu16(_mm512_srl_epi16(s, shift), top);
}

// One level, its tables held in registers across the blocks.
struct Level {
  Table256 base, over;
  __m128i shift;
  __m512i low_mask;
  __m512i limit;  // first-level buckets below this are this level's
};

inline Level LoadLevel(const ByteMapLevels& v, int32_t i) {
  Level l;
  l.base = LoadTable(v.base[i]);
  l.over = LoadTable(v.over[i]);
  l.shift = _mm_cvtsi32_si128(v.shift[i]);
  l.low_mask = _mm512_set1_epi16(static_cast<int16_t>((1 << v.shift[i]) - 1));
  // s < 256 << shift[i] exactly when its first-level bucket is below 2^(8 + shift[i] - shift[0]).
  l.limit = _mm512_set1_epi8(static_cast<char>(i == 0 ? 0 : 1 << (8 + v.shift[i] - v.shift[0])));
  return l;
}

// One level's bytes for 64 samples a (0-31) and b (32-63). The packs put bytes
// in the order of packus (per 128-bit lane: 8 from a, 8 from b); the caller
// restores sample order once at the end.
inline __m512i LevelBytes(const Level& l, __m512i a, __m512i b, __m512i& idx) {
  idx = _mm512_packus_epi16(_mm512_srl_epi16(a, l.shift), _mm512_srl_epi16(b, l.shift));
  const __m512i low = _mm512_packus_epi16(_mm512_and_si512(a, l.low_mask), _mm512_and_si512(b, l.low_mask));
  const __mmask64 top = _mm512_movepi8_mask(idx);
  const __m512i base = Look(l.base, idx, top);
  const __m512i over = Look(l.over, idx, top);
  return _mm512_mask_add_epi8(base, _mm512_cmpgt_epu8_mask(low, over), base, _mm512_set1_epi8(1));
}

// N levels, a constant so the tables stay in registers (as far as they fit).
template <int32_t N>
void LevelsLoop(const uint8_t* src, uint8_t* grey, size_t blocks, bool swap, int32_t shift, uint16_t largest,
                const ByteMapLevels& v) {
  Level level[N];
  for (int32_t i = 0; i < N; ++i) level[i] = LoadLevel(v, i);
  const __m128i count = _mm_cvtsi32_si128(shift);
  const __m512i top = _mm512_set1_epi16(static_cast<int16_t>(largest));
  const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
  for (size_t n = 0; n < blocks; ++n, src += 128, grey += 64) {
    const __m512i a = Samples(src, swap, count, top), b = Samples(src + 64, swap, count, top);
    __m512i idx0, idx;
    __m512i out = LevelBytes(level[0], a, b, idx0);
    for (int32_t i = 1; i < N; ++i) {
      const __mmask64 here = _mm512_cmplt_epu8_mask(idx0, level[i].limit);
      if (here == 0) break;  // the narrower levels cover ever fewer samples: none of these either
      out = _mm512_mask_mov_epi8(out, here, LevelBytes(level[i], a, b, idx));
    }
    _mm512_storeu_si512(grey, _mm512_maskz_permutexvar_epi64(0xFF, order, out));
  }
}

}  // namespace

void Mono16ToGreyLevelsBlocks(const uint8_t* src, uint8_t* grey, size_t blocks, bool swap, int32_t shift,
                              uint16_t largest, const ByteMapLevels& v) {
  static_assert(kMaxLevels == 6);
  switch (v.count) {
    case 1: return LevelsLoop<1>(src, grey, blocks, swap, shift, largest, v);
    case 2: return LevelsLoop<2>(src, grey, blocks, swap, shift, largest, v);
    case 3: return LevelsLoop<3>(src, grey, blocks, swap, shift, largest, v);
    case 4: return LevelsLoop<4>(src, grey, blocks, swap, shift, largest, v);
    case 5: return LevelsLoop<5>(src, grey, blocks, swap, shift, largest, v);
    case 6: return LevelsLoop<6>(src, grey, blocks, swap, shift, largest, v);
    default: return;
  }
}

}  // namespace kelvane::frames::vbmi

#include "frames/avx2_end.h"
#endif
