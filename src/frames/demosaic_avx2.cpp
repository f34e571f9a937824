// AVX2 interiors of the five demosaicing algorithms, exact to the reference.
//
// The colour of a site alternates with the column, so a block of pixels is
// split by column parity: each lane pair holds two neighbouring pixels of the
// row (8-bit samples: 16-bit lanes, 32 pixels per block; 16-bit samples: 32-bit
// lanes, 16 pixels per block). The low half of a lane is slot A (pixels
// x, x + 2, ...), the high half slot B (x + 1, x + 3, ...). Every neighbour a
// formula needs is the low or high half of a load shifted by -2 .. +2 samples,
// so each slot computes only its own formula, in lanes wide enough for the
// sums, and the two slots are joined back into pixel order for the store.
//
// 16-bit samples that a linear map turns into bytes as they are stored go
// through the loops of namespace `wide` instead (algorithms 0, 2 and 4): 16
// pixels to a vector in pixel order, with no split and no join. HQ linear does
// so in 16-bit lanes split by column parity for samples of at most 12 bits.
#include "frames/simd_avx2.h"

#ifdef KELVANE_HAVE_AVX2_KERNELS
#include <immintrin.h>

#include <cstring>

// What follows the region's opening is compiled for it: kept in this order.
// clang-format off
#include "frames/avx2_begin.h"
#include "frames/avx2_util.h"
#include "frames/demosaic_slots.h"
// clang-format on

namespace kelvane::frames::avx2 {
namespace {

// Output of one block by slot: the row colour k, green, and the other colour.
struct Slots {
  __m256i k[2], g[2], o[2];
};

// A block's three outputs in pixel order: sample 0 (B), 1 (G), 2 (R).
struct Bgr {
  __m256i v[3];
};

// What the lanes of every width share: the register, Load and the slots.
template <typename T>
struct LaneBase {
  using Sample = T;
  using V = __m256i;
  using Slots = avx2::Slots;
  using Bgr = avx2::Bgr;
  static V Load(const T* p) { return avx2::Load(p); }
};

template <typename T>
struct Lanes;

template <>
struct Lanes<uint8_t> : LaneBase<uint8_t> {
  static constexpr ptrdiff_t kBlock = 32;
  static __m256i Lo(__m256i v) { return _mm256_and_si256(v, _mm256_set1_epi16(0xFF)); }
  static __m256i Hi(__m256i v) { return _mm256_srli_epi16(v, 8); }
  static __m256i Add(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
  static __m256i Sub(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }
  static __m256i Set(int v) { return _mm256_set1_epi16(static_cast<int16_t>(v)); }
  template <int S>
  static __m256i Sra(__m256i v) {
    return _mm256_srai_epi16(v, S);
  }
  template <int S>
  static __m256i Shl(__m256i v) {
    return _mm256_slli_epi16(v, S);
  }
  static __m256i Clamp(__m256i v, __m256i max) {
    return _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()), max);
  }
  static __m256i Join(__m256i a, __m256i b) { return _mm256_or_si256(a, _mm256_slli_epi16(b, 8)); }
  template <bool KIsB>
  static Bgr FromSlots(const Slots& v) {
    const V kv = Join(v.k[0], v.k[1]), gv = Join(v.g[0], v.g[1]), ov = Join(v.o[0], v.o[1]);
    if constexpr (KIsB) return {{kv, gv, ov}};
    return {{ov, gv, kv}};
  }
  static void Store(uint8_t* out, __m256i b, __m256i g, __m256i r) { StoreBgr(out, b, g, r); }
  // Slot A's samples from a, slot B's from b.
  static __m256i Alternate(__m256i a, __m256i b) { return _mm256_blendv_epi8(a, b, _mm256_set1_epi16(-256)); }
  // (a + b + 1) >> 1
  static __m256i Mean(__m256i a, __m256i b) { return _mm256_avg_epu8(a, b); }
  // (a + b) >> 1: the rounded mean, less one where the sum is odd.
  static __m256i FloorMean(__m256i a, __m256i b) {
    return _mm256_sub_epi8(_mm256_avg_epu8(a, b), _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_set1_epi8(1)));
  }
};

template <>
struct Lanes<uint16_t> : LaneBase<uint16_t> {
  static constexpr ptrdiff_t kBlock = 16;
  static __m256i Lo(__m256i v) { return _mm256_and_si256(v, _mm256_set1_epi32(0xFFFF)); }
  static __m256i Hi(__m256i v) { return _mm256_srli_epi32(v, 16); }
  static __m256i Add(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
  static __m256i Sub(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
  static __m256i Set(int v) { return _mm256_set1_epi32(v); }
  template <int S>
  static __m256i Sra(__m256i v) {
    return _mm256_srai_epi32(v, S);
  }
  template <int S>
  static __m256i Shl(__m256i v) {
    return _mm256_slli_epi32(v, S);
  }
  static __m256i Clamp(__m256i v, __m256i max) {
    return _mm256_min_epi32(_mm256_max_epi32(v, _mm256_setzero_si256()), max);
  }
  static __m256i Join(__m256i a, __m256i b) { return _mm256_or_si256(a, _mm256_slli_epi32(b, 16)); }
  template <bool KIsB>
  static Bgr FromSlots(const Slots& v) {
    const V kv = Join(v.k[0], v.k[1]), gv = Join(v.g[0], v.g[1]), ov = Join(v.o[0], v.o[1]);
    if constexpr (KIsB) return {{kv, gv, ov}};
    return {{ov, gv, kv}};
  }
  static void Store(uint16_t* out, __m256i b, __m256i g, __m256i r) { StoreBgr16(out, b, g, r); }
  static __m256i Alternate(__m256i a, __m256i b) { return _mm256_blend_epi16(a, b, 0xAA); }
  static __m256i Mean(__m256i a, __m256i b) { return _mm256_avg_epu16(a, b); }
  static __m256i FloorMean(__m256i a, __m256i b) {
    return _mm256_sub_epi16(_mm256_avg_epu16(a, b), _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_set1_epi16(1)));
  }
};

// The loads of one source row around a block at x (demosaic_slots.h).
template <typename T, int Reach>
using Row = SlotRow<Lanes<T>, Reach>;

// Where a last block of `block` pixels ends the stretch [x0, x1) after whole
// blocks stopped at x: it overlaps pixels already done (they are written again
// with the same values) and starts at the same column parity as x0, which the
// loops were chosen by. Returns x when no such block fits.
inline ptrdiff_t LastBlock(ptrdiff_t x0, ptrdiff_t x1, ptrdiff_t x, ptrdiff_t block) {
  if (x >= x1 || x1 - x0 < block + 1) return x;
  const ptrdiff_t last = x1 - block - ((x1 - block - x0) & 1);
  return last >= x0 ? last : x;
}

// Stores blocks of T samples into the output row.
template <typename T, typename Loop>
ptrdiff_t StoreRun(const RowStretch<T>& stretch) {
  using L = Lanes<T>;
  // A local copy: the stores through `out` could otherwise alias the stretch
  // and make every block reload its pointers.
  const RowStretch<T> s = stretch;
  auto block = [&](ptrdiff_t x) {
    const Bgr p = Loop::Compute(s, x);
    L::Store(s.out + 3 * x, p.v[0], p.v[1], p.v[2]);
  };
  ptrdiff_t x = s.x0;
  for (; x + L::kBlock <= s.x1; x += L::kBlock) block(x);
  // The pixels after the last whole block would cost the reference several times
  // as much per pixel as the vector loop.
  const ptrdiff_t last = LastBlock(s.x0, s.x1, x, L::kBlock);
  if (last == x) return x;
  block(last);
  return last + L::kBlock;
}

// Two halves of byte values in 16-bit lanes to 32 bytes in pixel order: halves
// of 16 pixels each (PackInOrder), or the two column slots of 16 pixels, slot A
// in the low byte of each lane (JoinSlotBytes).
inline __m256i JoinSlotBytes(__m256i a, __m256i b) {
  return _mm256_permute4x64_epi64(_mm256_or_si256(a, _mm256_slli_epi16(b, 8)), 0xD8);
}

// 32 pixels of byte values in 16-bit lanes, given as two halves of B, G and R
// (joined by JoinSlotBytes when Slots, else by PackInOrder), stored at pixel x
// of an output row as 3 bytes per pixel or as the grey byte
// floor((B + G + R) / 3). floor(s * 21846 / 2^16) equals floor(s / 3) for every
// s up to 765.
template <bool Slots>
[[gnu::always_inline]] inline __m256i JoinBytes(__m256i lo, __m256i hi) {
  return Slots ? JoinSlotBytes(lo, hi) : PackInOrder(lo, hi);
}
template <bool Slots, bool Grey>
[[gnu::always_inline]] inline void StoreBytes(uint8_t* out, ptrdiff_t x, const __m256i (&a)[3], const __m256i (&b)[3]) {
  if constexpr (Grey) {
    const __m256i third = _mm256_set1_epi16(21846);
    const __m256i ga = _mm256_mulhi_epu16(_mm256_add_epi16(_mm256_add_epi16(a[0], a[1]), a[2]), third);
    const __m256i gb = _mm256_mulhi_epu16(_mm256_add_epi16(_mm256_add_epi16(b[0], b[1]), b[2]), third);
    Store(out + x, JoinBytes<Slots>(ga, gb));
  } else {
    StoreBgr(out + 3 * x, JoinBytes<Slots>(a[0], b[0]), JoinBytes<Slots>(a[1], b[1]), JoinBytes<Slots>(a[2], b[2]));
  }
}

// 16-bit samples mapped to bytes as they are stored: 32 pixels given as two
// halves of three channels, each sample min(v, largest) >> shift (the linear
// map), written at pixel x of the mapped row (StoreBytes).
struct MappedStore {
  const MappedRows& m;
  uint8_t* row;
  __m256i top;
  __m128i shift;
  MappedStore(const MappedRows& rows, ptrdiff_t y)
      : m(rows),
        row(rows.base + static_cast<size_t>(y) * rows.stride),
        top(_mm256_set1_epi16(static_cast<int16_t>(rows.largest))),
        shift(_mm_cvtsi32_si128(rows.shift)) {}
  template <bool Slots>
  [[gnu::always_inline]] void Put(ptrdiff_t x, const __m256i (&a)[3], const __m256i (&b)[3]) const {
    __m256i ma[3], mb[3];
    for (int c = 0; c < 3; ++c) ma[c] = Map(a[c]), mb[c] = Map(b[c]);
    if (m.grey) {
      StoreBytes<Slots, true>(row, x, ma, mb);
    } else {
      StoreBytes<Slots, false>(row, x, ma, mb);
    }
  }
  [[gnu::always_inline]] __m256i Map(__m256i v) const { return _mm256_srl_epi16(_mm256_min_epu16(v, top), shift); }
};

// Runs `block` over the stretch 32 pixels at a time; a row's last pixels get one
// more block that overlaps the last whole one. Returns the end of what was done.
template <typename Block>
[[gnu::always_inline]] inline ptrdiff_t Blocks32(const RowStretch<uint16_t>& s, Block block) {
  ptrdiff_t x = s.x0;
  for (; x + 32 <= s.x1; x += 32) block(x);
  const ptrdiff_t last = LastBlock(s.x0, s.x1, x, 32);
  if (last == x) return x;
  block(last);
  return last + 32;
}

// Two blocks of 16 pixels a step, mapped as they are stored.
template <typename Loop>
ptrdiff_t MappedRun(const RowStretch<uint16_t>& stretch) {
  const RowStretch<uint16_t> s = stretch;
  const MappedStore out(*s.mapped, s.y);
  // Inlined: HQ linear's body is large enough for GCC to leave it out of line,
  // a call per block that cost 3 to 5 % of 16-bit HQ linear.
  return Blocks32(
      s, [&](ptrdiff_t x) __attribute__((always_inline)) {
        const Bgr a = Loop::Compute(s, x), b = Loop::Compute(s, x + 16);
        out.Put<false>(x, a.v, b.v);
      });
}

template <typename T, typename Loop>
ptrdiff_t Run(const RowStretch<T>& s) {
  if constexpr (sizeof(T) == 2) {
    if (s.mapped != nullptr) return MappedRun<Loop>(s);
  }
  return StoreRun<T, Loop>(s);
}

// The per-row decisions (is slot A green, is the row colour blue) as template
// arguments, so that the loops hold no branches.
template <typename T, template <typename, bool, bool> typename Loop>
ptrdiff_t ByParity(const RowStretch<T>& s) {
  const bool green_a = s.pattern->At(s.x0, s.y) == kG;
  const bool k_is_b = s.pattern->RowColour(s.y) == kB;
  if (green_a) return k_is_b ? Run<T, Loop<T, true, true>>(s) : Run<T, Loop<T, true, false>>(s);
  return k_is_b ? Run<T, Loop<T, false, true>>(s) : Run<T, Loop<T, false, false>>(s);
}

// Algorithm 0: truncating halves and quarters (k >> 1 and k >> 2 of the sums).
// The horizontal half (W + E) >> 1 is the row colour at a green site and green
// at the others, so it is computed for every pixel in place and the samples
// only alternate; the column colour differs by site and goes by slots.
template <typename T, bool GreenA, bool KIsB>
struct OrigLoop {
  template <int Slot>
  static __m256i Column(const Row<T, 1>& up, const Row<T, 1>& down) {
    using L = Lanes<T>;
    if constexpr ((Slot == 0) == GreenA) {
      return L::template Sra<1>(L::Add(up.At(Slot, 0), down.At(Slot, 0)));
    } else {
      return L::template Sra<2>(
          L::Add(L::Add(up.At(Slot, -1), up.At(Slot, 1)), L::Add(down.At(Slot, -1), down.At(Slot, 1))));
    }
  }
  [[gnu::always_inline]] static Bgr Compute(const RowStretch<T>& s, ptrdiff_t x) {
    using L = Lanes<T>;
    const Row<T, 1> up(s.rows[1], x), row(s.rows[2], x), down(s.rows[3], x);
    const __m256i c = row.z, horizontal = L::FloorMean(row.m1, row.p1);
    const __m256i k = GreenA ? L::Alternate(horizontal, c) : L::Alternate(c, horizontal);
    const __m256i g = GreenA ? L::Alternate(c, horizontal) : L::Alternate(horizontal, c);
    const __m256i o = L::Join(Column<0>(up, down), Column<1>(up, down));
    if constexpr (KIsB) return {{k, g, o}};
    return {{o, g, k}};
  }
};

// Algorithm 2: rounded means of the nearest samples of each colour.
template <typename T, bool GreenA, bool KIsB>
struct BilinearLoop {
  template <int Slot>
  [[gnu::always_inline]] static void Site(const Row<T, 1>& up, const Row<T, 1>& row, const Row<T, 1>& down, Slots& v) {
    using L = Lanes<T>;
    const __m256i c = row.At(Slot, 0);
    const __m256i n = up.At(Slot, 0), south = down.At(Slot, 0);
    const __m256i w = row.At(Slot, -1), e = row.At(Slot, 1);
    if constexpr ((Slot == 0) == GreenA) {
      v.g[Slot] = c;
      v.k[Slot] = L::template Sra<1>(L::Add(L::Add(w, e), L::Set(1)));
      v.o[Slot] = L::template Sra<1>(L::Add(L::Add(n, south), L::Set(1)));
    } else {
      v.k[Slot] = c;
      v.g[Slot] = L::template Sra<2>(L::Add(L::Add(L::Add(n, south), L::Add(w, e)), L::Set(2)));
      v.o[Slot] = L::template Sra<2>(L::Add(
          L::Add(L::Add(up.At(Slot, -1), up.At(Slot, 1)), L::Add(down.At(Slot, -1), down.At(Slot, 1))), L::Set(2)));
    }
  }
  [[gnu::always_inline]] static Bgr Compute(const RowStretch<T>& s, ptrdiff_t x) {
    const Row<T, 1> up(s.rows[1], x), row(s.rows[2], x), down(s.rows[3], x);
    Slots v;
    Site<0>(up, row, down, v);
    Site<1>(up, row, down, v);
    return Lanes<T>::template FromSlots<KIsB>(v);
  }
};

// Algorithm 3 (demosaic_slots.h).
template <typename T, bool GreenA, bool KIsB, bool ClampCentre>
using HqSites = frames::HqSites<Lanes<T>, GreenA, KIsB, ClampCentre>;

template <typename T, bool GreenA, bool KIsB>
using HqLoop = HqSites<T, GreenA, KIsB, true>;
template <typename T, bool GreenA, bool KIsB>
using HqLoopMapped = HqSites<T, GreenA, KIsB, false>;

// Algorithms 1 and 4: each pixel takes the 2 x 2 block to its lower right; green
// is the block's right-hand green (Nearest) or the rounded mean of both (Simple).
// The four arrangements of a block, by where B, R and the greens of the
// left-hand and right-hand column sit, as (dx, dy):
//   0: B G / G R   1: G B / R G   2: G R / B G   3: R G / G B
// The block one column further on has arrangement ^ 1.
struct Arrangement {
  int b_dx, b_dy, r_dx, r_dy, gl_dy, gr_dy;
};
constexpr Arrangement kArrangements[4] = {
    {0, 0, 1, 1, 1, 0}, {1, 0, 0, 1, 0, 1}, {0, 1, 1, 0, 0, 1}, {1, 1, 0, 0, 1, 0}};

// ---- 16-bit samples mapped as they are stored, every formula for every pixel ----------------------
//
// Samples of any linear map (algorithms 0, 2 and 4; for 0 and 2 the loops for
// 15 and 16 bits are the ones further on) are computed 16 to a vector, lane i
// being pixel x + i, in pixel order: no split by column parity and no join.
// Each formula is computed for all 16 pixels from loads one column left of, at
// and right of them, and a blend that alternates with the column picks each
// pixel's formula. The shuffles of the
// split and the join were the bulk of the work; the formulas computed for
// nothing cost less.
//
// The map (a right shift by s: the unpacked samples never exceed the map's
// largest value, nor do their means, so its clamp does nothing) is folded into
// each formula's own shift, (v >> a) >> s = v >> (a + s), and the shifts are
// multiplications: v >> k is the high half of v * 2^(16 - k) for k >= 1. The
// multiplier may differ between even and odd lanes, so a blend of the raw sums
// of two formulas takes one multiplication; and the multiplier units are not
// those that shift and shuffle, which the stores keep busy.
namespace wide {

constexpr ptrdiff_t kStep = 16;

// A vector's three samples, mapped to byte values in 16-bit lanes.
struct Bgr16 {
  __m256i b, g, r;
};

// Even lanes from a, odd ones from b.
inline __m256i EvenOdd(__m256i a, __m256i b) { return _mm256_blend_epi16(a, b, 0xAA); }

template <bool KIsB>
Bgr16 Order(__m256i k, __m256i g, __m256i o) {
  if constexpr (KIsB) return {k, g, o};
  return {o, g, k};
}

// The multiplier that shifts right by `even` bits in even lanes, by `odd` bits in odd ones (both 1 .. 16).
inline __m256i ShiftBy(int32_t even, int32_t odd) {
  return EvenOdd(_mm256_set1_epi16(static_cast<int16_t>(1u << (16 - even))),
                 _mm256_set1_epi16(static_cast<int16_t>(1u << (16 - odd))));
}
inline __m256i Shift(__m256i v, __m256i by) { return _mm256_mulhi_epu16(v, by); }

// A load whose value is used twice. Short of registers, GCC folds such a load
// into both uses, loading it twice; the loads are what these loops run out of
// first, so the value is pinned to a register.
inline __m256i LoadOnce(const uint16_t* p) {
  __m256i v = Load(p);
  asm("" : "+x"(v));
  return v;
}

// What algorithms 0 and 2 read around the pixels x .. x + 15: the row one column
// left, at and right, and of the rows above and below only the sums N + S one
// column to each side (the diagonal neighbours). The sums at the pixels
// themselves are the same sums one lane on: each lane pair (2i, 2i + 1) finds
// them in its own pair of ns_w (lane 2i + 1) or ns_e (lane 2i), moved within
// the 32-bit lane by a shift or a multiply-add instead of two more loads.
struct Cross {
  __m256i w, c, e, ns_w, ns_e;
  [[gnu::always_inline]] Cross(const uint16_t* up, const uint16_t* row, const uint16_t* down, ptrdiff_t x)
      : w(Load(row + x - 1)),
        c(Load(row + x)),
        e(Load(row + x + 1)),
        ns_w(_mm256_add_epi16(Load(up + x - 1), Load(down + x - 1))),
        ns_e(_mm256_add_epi16(Load(up + x + 1), Load(down + x + 1))) {}
  // N + S in the even lanes (the odd ones 0): lane 2i + 1 of ns_w times 1
  // plus lane 2i times 0 (the sums are below 2^15, positive as signed words).
  __m256i SumsEven() const { return _mm256_madd_epi16(ns_w, _mm256_set1_epi32(0x00010000)); }
  // N + S in the odd lanes (the even ones 0): lane 2i of ns_e moved up.
  __m256i SumsOdd() const { return _mm256_slli_epi32(ns_e, 16); }
  __m256i Sums() const { return EvenOdd(SumsEven(), SumsOdd()); }
};

// Algorithm 0: truncating halves and quarters. At a green site the row colour
// is (W + E) >> 1 and the column colour (N + S) >> 1; at the others green is
// (W + E) >> 1 and the column colour the quarter of the four diagonals.
template <bool GreenEven, bool KIsB>
struct Orig {
  const uint16_t *up, *row, *down;
  __m256i k_by, g_by, o_by;
  Orig(const RowStretch<uint16_t>& s, int32_t shift)
      : up(s.rows[1]),
        row(s.rows[2]),
        down(s.rows[3]),
        k_by(GreenEven ? ShiftBy(shift + 1, shift) : ShiftBy(shift, shift + 1)),
        g_by(GreenEven ? ShiftBy(shift, shift + 1) : ShiftBy(shift + 1, shift)),
        o_by(GreenEven ? ShiftBy(shift + 1, shift + 2) : ShiftBy(shift + 2, shift + 1)) {}
  [[gnu::always_inline]] Bgr16 Compute(ptrdiff_t x) const {
    const Cross n(up, row, down, x);
    const __m256i we = _mm256_add_epi16(n.w, n.e), diagonal = _mm256_add_epi16(n.ns_w, n.ns_e);
    // N + S is needed at the green sites only.
    if constexpr (GreenEven)
      return Order<KIsB>(Shift(EvenOdd(we, n.c), k_by), Shift(EvenOdd(n.c, we), g_by),
                         Shift(EvenOdd(n.SumsEven(), diagonal), o_by));
    return Order<KIsB>(Shift(EvenOdd(n.c, we), k_by), Shift(EvenOdd(we, n.c), g_by),
                       Shift(EvenOdd(diagonal, n.SumsOdd()), o_by));
  }
};

// Algorithm 2: rounded means. At a green site the row colour is the mean of W
// and E, the column colour that of N and S; at the others green is the mean of
// the four axial neighbours and the column colour that of the four diagonals.
template <bool GreenEven, bool KIsB>
struct Bilinear {
  const uint16_t *up, *row, *down;
  __m256i k_by, g_by, o_by;
  Bilinear(const RowStretch<uint16_t>& s, int32_t shift)
      : up(s.rows[1]),
        row(s.rows[2]),
        down(s.rows[3]),
        k_by(ShiftBy(shift, shift)),
        g_by(GreenEven ? ShiftBy(shift, shift + 2) : ShiftBy(shift + 2, shift)),
        o_by(GreenEven ? ShiftBy(shift + 1, shift + 2) : ShiftBy(shift + 2, shift + 1)) {}
  [[gnu::always_inline]] Bgr16 Compute(ptrdiff_t x) const {
    const __m256i one = _mm256_set1_epi16(1);
    const Cross n(up, row, down, x);
    const __m256i column = _mm256_add_epi16(n.Sums(), one);  // N + S + 1
    const __m256i axial = _mm256_add_epi16(_mm256_add_epi16(column, one), _mm256_add_epi16(n.w, n.e));
    const __m256i diagonal = _mm256_add_epi16(_mm256_add_epi16(n.ns_w, n.ns_e), _mm256_set1_epi16(2));
    const __m256i row_mean = _mm256_avg_epu16(n.w, n.e);
    if constexpr (GreenEven)
      return Order<KIsB>(Shift(EvenOdd(row_mean, n.c), k_by), Shift(EvenOdd(n.c, axial), g_by),
                         Shift(EvenOdd(column, diagonal), o_by));
    return Order<KIsB>(Shift(EvenOdd(n.c, row_mean), k_by), Shift(EvenOdd(axial, n.c), g_by),
                       Shift(EvenOdd(diagonal, column), o_by));
  }
};

// ---- Samples of up to 16 bits (algorithms 0 and 2) ---------------------------
//
// Sums of two 16-bit samples need 17 bits, so these loops carry a pair sum
// p = a + b as its rounded-up half A = avg(a, b) = (p + 1) >> 1 and its parity
// t = (a ^ b) & 1, with p = 2A - t; the halves and quarters the formulas take
// are then exact in 16-bit lanes (x >> 1 below is x / 2 rounded down):
//   (p + 1) >> 1 = A                 p >> 1 = A - t
//   (p + q + 2) >> 2 = avg(A, B) - ((A ^ B) & (t | u) & 1)
// for pair sums p = (A, t) and q = (B, u). Each result is at most the largest
// sample, and the map's shift follows as one more shift. Algorithm 0's column
// colour, needed at every other column only, keeps its sums whole in 32-bit
// lanes instead (Orig16).

inline __m256i Avg(__m256i a, __m256i b) { return _mm256_avg_epu16(a, b); }
inline __m256i Xor(__m256i a, __m256i b) { return _mm256_xor_si256(a, b); }
inline __m256i Or(__m256i a, __m256i b) { return _mm256_or_si256(a, b); }
inline __m256i And(__m256i a, __m256i b) { return _mm256_and_si256(a, b); }
inline __m256i Sub(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }

// The pair sums of the rows above and below, one column to each side of the
// pixels x .. x + 15 (the diagonal neighbours), as halves and parities. The
// pair at a pixel itself is the pair one lane on, moved within the 32-bit
// lane: lane 2i + 1 of the west pair is at pixel 2i, lane 2i of the east
// pair at pixel 2i + 1.
struct Pairs {
  __m256i a_w, t_w, a_e, t_e;
  [[gnu::always_inline]] Pairs(const uint16_t* up, const uint16_t* down, ptrdiff_t x) {
    const __m256i uw = Load(up + x - 1), dw = Load(down + x - 1), ue = Load(up + x + 1), de = Load(down + x + 1);
    a_w = Avg(uw, dw), t_w = Xor(uw, dw), a_e = Avg(ue, de), t_e = Xor(ue, de);
  }
  // The pair at each even pixel (odd lanes 0) and at each odd pixel (even lanes 0).
  static __m256i AtEven(__m256i west) { return _mm256_srli_epi32(west, 16); }
  static __m256i AtOdd(__m256i east) { return _mm256_slli_epi32(east, 16); }
};

// Algorithm 0, truncating: at a green site the row colour is (W + E) >> 1 and
// the column colour (N + S) >> 1; at the others green is (W + E) >> 1 and the
// column colour the quarter of the four diagonals, rounded down.
//
// The column colour needs N + S only at every other column: at a green site
// its own, at the others those one column to each side. Each 32-bit lane holds
// one such sum whole (17 bits), taken from the high or the low half of the
// loads one column left and right, so the sums and the quarter are plain
// additions; the green site's value is shifted down into the lane's low half,
// the other's up into its high half, mapped on the way.
template <bool GreenEven, bool KIsB>
struct Orig16 {
  const uint16_t *up, *row, *down;
  __m256i by;
  __m128i half_by, quarter_by;  // the column colour's shifts, to the low and to the high half
  Orig16(const RowStretch<uint16_t>& s, int32_t shift)
      : up(s.rows[1]),
        row(s.rows[2]),
        down(s.rows[3]),
        by(ShiftBy(shift, shift)),
        half_by(_mm_cvtsi32_si128(GreenEven ? 1 + shift : 15 - shift)),
        quarter_by(_mm_cvtsi32_si128(GreenEven ? 14 - shift : 2 + shift)) {}
  // Every pixel's horizontal half and centre sample, and its column colour, mapped.
  struct Mapped {
    __m256i horizontal, centre, column;
  };
  [[gnu::always_inline]] Mapped Parts(ptrdiff_t x) const {
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i w = Load(row + x - 1), c = Load(row + x), e = Load(row + x + 1);
    const __m256i horizontal = Shift(Sub(Avg(w, e), And(Xor(w, e), one)), by);
    const __m256i uw = Load(up + x - 1), dw = Load(down + x - 1), ue = Load(up + x + 1), de = Load(down + x + 1);
    if constexpr (GreenEven) {
      // Lane i: N + S at x + 2i (the high halves of the west loads), then at x + 2i + 2.
      const __m256i column = _mm256_add_epi32(_mm256_srli_epi32(uw, 16), _mm256_srli_epi32(dw, 16));
      const __m256i diagonal =
          _mm256_add_epi32(column, _mm256_add_epi32(_mm256_srli_epi32(ue, 16), _mm256_srli_epi32(de, 16)));
      return {horizontal, Shift(c, by),
              EvenOdd(_mm256_srl_epi32(column, half_by), _mm256_sll_epi32(diagonal, quarter_by))};
    }
    // Lane i: N + S at x + 2i + 1 (the low halves of the east loads), then at x + 2i - 1.
    const __m256i low = _mm256_set1_epi32(0xFFFF);
    const __m256i column = _mm256_add_epi32(And(ue, low), And(de, low));
    const __m256i diagonal = _mm256_add_epi32(column, _mm256_add_epi32(And(uw, low), And(dw, low)));
    return {horizontal, Shift(c, by),
            EvenOdd(_mm256_srl_epi32(diagonal, quarter_by), _mm256_sll_epi32(column, half_by))};
  }
  // The row colour and green alternate between the horizontal half and the
  // centre sample; they are packed to bytes first and alternated byte by byte,
  // one blend a colour per 32 pixels instead of two. Grey needs no alternation:
  // the row colour and green of a pixel sum to its horizontal half and centre.
  template <bool Grey>
  [[gnu::always_inline]] void Block(uint8_t* out, ptrdiff_t x) const {
    const Mapped a = Parts(x), b = Parts(x + kStep);
    if constexpr (Grey) {
      const __m256i lo[3] = {a.horizontal, a.centre, a.column}, hi[3] = {b.horizontal, b.centre, b.column};
      StoreBytes<false, true>(out, x, lo, hi);
    } else {
      const __m256i h = PackInOrder(a.horizontal, b.horizontal), c = PackInOrder(a.centre, b.centre);
      const __m256i odd = _mm256_set1_epi16(static_cast<int16_t>(0xFF00));
      // GreenEven: the row colour is the horizontal half at the even pixels.
      const __m256i k = GreenEven ? _mm256_blendv_epi8(h, c, odd) : _mm256_blendv_epi8(c, h, odd);
      const __m256i g = GreenEven ? _mm256_blendv_epi8(c, h, odd) : _mm256_blendv_epi8(h, c, odd);
      const __m256i o = PackInOrder(a.column, b.column);
      StoreBgr(out + 3 * x, KIsB ? k : o, g, KIsB ? o : k);
    }
  }
};

// Algorithm 2, rounding: at a green site the row colour is the rounded mean of
// W and E, the column colour that of N and S; at the others green is the
// rounded quarter of the four axial neighbours, the column colour that of the
// four diagonals.
//
// Both quarters are wanted at the non-green sites only, and they take the same
// steps on their two pair sums, so one vector computes both: the diagonal
// quarter in the lanes of the non-green sites, where its pairs already are, and
// the axial quarter of the same pixels in the lanes beside them (the pair of N
// and S lies there too), then moved back within the 32-bit lane.
template <bool GreenEven, bool KIsB>
struct Bilinear16 {
  const uint16_t *up, *row, *down;
  __m256i by;
  Bilinear16(const RowStretch<uint16_t>& s, int32_t shift)
      : up(s.rows[1]), row(s.rows[2]), down(s.rows[3]), by(ShiftBy(shift, shift)) {}
  // (p + q + 2) >> 2 of the pair sums p = (a, t) and q = (b, u).
  static __m256i Quarter(__m256i a, __m256i t, __m256i b, __m256i u) {
    return Sub(Avg(a, b), And(And(Xor(a, b), Or(t, u)), _mm256_set1_epi16(1)));
  }
  [[gnu::always_inline]] Bgr16 Compute(ptrdiff_t x) const {
    const __m256i w = Load(row + x - 1), c = Load(row + x), e = Load(row + x + 1);
    const Pairs p(up, down, x);
    const __m256i row_mean = Avg(w, e), t_we = Xor(w, e);
    if constexpr (GreenEven) {
      // Non-green sites in the odd lanes: lane 2i + 1 takes the diagonal
      // quarter (the west and east pairs there), lane 2i the axial one of
      // pixel 2i + 1 (its N + S is the east pair of lane 2i; W and E are moved down).
      const __m256i quarters = Quarter(p.a_e, p.t_e, EvenOdd(_mm256_srli_epi32(row_mean, 16), p.a_w),
                                       EvenOdd(_mm256_srli_epi32(t_we, 16), p.t_w));
      const __m256i column = Pairs::AtEven(p.a_w);  // (N + S + 1) >> 1
      return Order<KIsB>(Shift(EvenOdd(row_mean, c), by), Shift(EvenOdd(c, _mm256_slli_epi32(quarters, 16)), by),
                         Shift(EvenOdd(column, quarters), by));
    }
    // Non-green sites in the even lanes: lane 2i takes the diagonal quarter,
    // lane 2i + 1 the axial one of pixel 2i (its N + S is the west pair of lane 2i + 1).
    const __m256i quarters = Quarter(p.a_w, p.t_w, EvenOdd(p.a_e, _mm256_slli_epi32(row_mean, 16)),
                                     EvenOdd(p.t_e, _mm256_slli_epi32(t_we, 16)));
    const __m256i column = Pairs::AtOdd(p.a_e);
    return Order<KIsB>(Shift(EvenOdd(c, row_mean), by), Shift(EvenOdd(_mm256_srli_epi32(quarters, 16), c), by),
                       Shift(EvenOdd(quarters, column), by));
  }
};

// Where algorithm 4 reads its samples: v[dy][dx] is the sample at x + dx of
// the row (dy 0) or the row below (dy 1) for the 16 pixels from x on.
// The unpacked rows of a stretch:
struct UnpackedSamples {
  const uint16_t *row, *down;
  explicit UnpackedSamples(const RowStretch<uint16_t>& s) : row(s.rows[2]), down(s.rows[3]) {}
  [[gnu::always_inline]] void Get(ptrdiff_t x, __m256i (&v)[2][2]) const {
    v[0][0] = LoadOnce(row + x), v[0][1] = LoadOnce(row + x + 1);
    v[1][0] = LoadOnce(down + x), v[1][1] = LoadOnce(down + x + 1);
  }
};

// The delivered samples, unpacked as they are loaded for what algorithm 4 does
// with them under a linear map of `bits` significant bits. Unpacking shifts a
// sample a right by k = 16 - bits, and the map then by bits - 8, so blue and
// red are a >> 8 whatever the bits. Green, the mean of two samples a and b, is
// (((a >> k) + (b >> k) + 1) >> 1) >> (bits - 8); with m = 2^k - 1,
// (a & ~m) + (b | m) + 1 = 2^k ((a >> k) + (b >> k) + 1), so it is also
// avg(a & ~m, b | m) >> 8. The green mean always takes its first sample from
// column 0 and its second from column 1, so the loads of column 0 drop their
// low k bits and those of column 1 set them: neither changes a >> 8 (k <= 8).
template <bool Swap, bool Masked>
struct DeliveredSamples {
  const uint8_t *row, *down;
  __m256i keep, low;
  DeliveredSamples(const uint8_t* r, const uint8_t* d, int32_t bits)
      : row(r), down(d), low(_mm256_set1_epi16(static_cast<int16_t>((1u << (16 - bits)) - 1u))) {
    keep = _mm256_xor_si256(low, _mm256_set1_epi16(-1));
  }
  [[gnu::always_inline]] __m256i At(const uint8_t* r, ptrdiff_t x) const {
    __m256i v = Load(r + 2 * x);
    if constexpr (Swap)
      v = _mm256_shuffle_epi8(v, _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14,  //
                                                  1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
    asm("" : "+x"(v));  // as LoadOnce
    return v;
  }
  [[gnu::always_inline]] void Get(ptrdiff_t x, __m256i (&v)[2][2]) const {
    v[0][0] = At(row, x), v[0][1] = At(row, x + 1);
    v[1][0] = At(down, x), v[1][1] = At(down, x + 1);
    if constexpr (Masked) {
      for (auto& r : v) r[0] = And(r[0], keep), r[1] = Or(r[1], low);
    }
  }
};

// Algorithm 4: each pixel takes the 2 x 2 block to its lower right (see
// kArrangements), green the rounded mean of the block's two greens. No sums, so
// any linear map, 16 significant bits included.
template <int ArrangementEven, typename Samples = UnpackedSamples>
struct Simple {
  Samples in;
  __m256i by;
  Simple(const RowStretch<uint16_t>& s, int32_t shift) : in(s), by(ShiftBy(shift, shift)) {}
  Simple(const Samples& samples, int32_t shift) : in(samples), by(ShiftBy(shift, shift)) {}
  [[gnu::always_inline]] Bgr16 Compute(ptrdiff_t x) const {
    constexpr Arrangement a = kArrangements[ArrangementEven], b = kArrangements[ArrangementEven ^ 1];
    __m256i v[2][2];
    in.Get(x, v);
    const __m256i blue = EvenOdd(v[a.b_dy][a.b_dx], v[b.b_dy][b.b_dx]);
    const __m256i red = EvenOdd(v[a.r_dy][a.r_dx], v[b.r_dy][b.r_dx]);
    // Both means for every pixel and one blend, rather than two blends and one
    // mean: the blends share their units with the multiplications and the
    // stores' blends, the means have more (2 to 3 % faster).
    const __m256i green = EvenOdd(_mm256_avg_epu16(v[a.gl_dy][0], v[a.gr_dy][1]),
                                  _mm256_avg_epu16(v[b.gl_dy][0], v[b.gr_dy][1]));
    return {Shift(blue, by), Shift(green, by), Shift(red, by)};
  }
};

// Blocks of 32 pixels (two vectors), stored as 3 bytes per pixel or as the grey
// byte (StoreBytes). The last block of a row overlaps the one before it.
template <typename Loop, bool Grey>
[[gnu::always_inline]] inline void Block(const Loop& loop, uint8_t* out, ptrdiff_t x) {
  if constexpr (requires { loop.template Block<Grey>(out, x); }) {
    loop.template Block<Grey>(out, x);  // a loop that stores its own blocks
  } else {
    const Bgr16 a = loop.Compute(x), b = loop.Compute(x + kStep);
    const __m256i lo[3] = {a.b, a.g, a.r}, hi[3] = {b.b, b.g, b.r};
    StoreBytes<false, Grey>(out, x, lo, hi);
  }
}

// The blocks of pixels [x0, x1) of the output row `out`; returns the end of what was done.
template <typename Loop, bool Grey>
ptrdiff_t Blocks(const Loop& loop, uint8_t* out, ptrdiff_t x0, ptrdiff_t x1) {
  ptrdiff_t x = x0;
  for (; x + 2 * kStep <= x1; x += 2 * kStep) Block<Loop, Grey>(loop, out, x);
  const ptrdiff_t last = LastBlock(x0, x1, x, 2 * kStep);
  if (last == x) return x;
  Block<Loop, Grey>(loop, out, last);
  return last + 2 * kStep;
}

template <typename Loop, bool Grey>
ptrdiff_t Run(const RowStretch<uint16_t>& stretch) {
  const RowStretch<uint16_t> s = stretch;  // the stores could otherwise alias it
  const MappedRows m = *s.mapped;
  const Loop loop(s, m.shift);
  return Blocks<Loop, Grey>(loop, m.base + static_cast<size_t>(s.y) * m.stride, s.x0, s.x1);
}

template <typename Loop>
ptrdiff_t Mapped(const RowStretch<uint16_t>& s) {
  return s.mapped->grey ? Run<Loop, true>(s) : Run<Loop, false>(s);
}

// Rows with mapped output whose samples stay at or below `limit`, mapped to
// bytes (a shift of at most 8 that leaves the largest sample a byte).
inline bool Fits(const RowStretch<uint16_t>& s, uint16_t limit) {
  if (s.mapped == nullptr) return false;
  const MappedRows& m = *s.mapped;
  return m.largest <= limit && s.max <= limit && m.shift >= 1 && m.shift <= 8 && (m.largest >> m.shift) <= 255;
}

template <template <bool, bool> typename Loop>
ptrdiff_t ByParity(const RowStretch<uint16_t>& s) {
  const bool green_even = s.pattern->At(s.x0, s.y) == kG;
  const bool k_is_b = s.pattern->RowColour(s.y) == kB;
  if (green_even) return k_is_b ? Mapped<Loop<true, true>>(s) : Mapped<Loop<true, false>>(s);
  return k_is_b ? Mapped<Loop<false, true>>(s) : Mapped<Loop<false, false>>(s);
}

inline ptrdiff_t SimpleRow(const RowStretch<uint16_t>& s) {
  const Colour first = s.pattern->At(s.x0, s.y), second = s.pattern->At(s.x0 + 1, s.y);
  if (first == kB) return Mapped<Simple<0>>(s);
  if (first == kR) return Mapped<Simple<3>>(s);
  return second == kB ? Mapped<Simple<1>>(s) : Mapped<Simple<2>>(s);
}

// Pixels [x0, x1) of output row y of algorithm 4 from the delivered rows y
// and y + 1, in blocks at the column parity of x0; returns the end of what was done.
template <bool Swap, bool Masked, bool Grey>
ptrdiff_t DeliveredSimpleRun(const DeliveredSamples<Swap, Masked>& in, uint8_t* out, const Pattern& p, ptrdiff_t y,
                             ptrdiff_t x0, ptrdiff_t x1) {
  using In = DeliveredSamples<Swap, Masked>;
  const Colour first = p.At(x0, y), second = p.At(x0 + 1, y);
  if (first == kB) return Blocks<Simple<0, In>, Grey>(Simple<0, In>(in, 8), out, x0, x1);
  if (first == kR) return Blocks<Simple<3, In>, Grey>(Simple<3, In>(in, 8), out, x0, x1);
  if (second == kB) return Blocks<Simple<1, In>, Grey>(Simple<1, In>(in, 8), out, x0, x1);
  return Blocks<Simple<2, In>, Grey>(Simple<2, In>(in, 8), out, x0, x1);
}

// Pixels 0 .. w - 2 of output row y (w >= 2 kStep + 1; the last one, black, is
// the caller's). Blocks keep the column parity they start at, so when the
// overlapping last block cannot end at w - 1 one more starts at the other parity.
template <bool Swap, bool Masked, bool Grey>
void DeliveredSimpleRow(const uint8_t* row, const uint8_t* down, uint8_t* out, ptrdiff_t w, const Pattern& p,
                        ptrdiff_t y, int32_t bits) {
  const DeliveredSamples<Swap, Masked> in(row, down, bits);
  if (DeliveredSimpleRun<Swap, Masked, Grey>(in, out, p, y, 0, w - 1) < w - 1)
    DeliveredSimpleRun<Swap, Masked, Grey>(in, out, p, y, w - 1 - 2 * kStep, w - 1);
}

}  // namespace wide

template <typename T, bool Mean, int ArrangementA>
struct BlockLoop {
  // Nothing is computed but the mean of two greens, so the samples stay in
  // place: each output is the row or the row below, at x or x + 1, taken for
  // slot A from one of these four loads and for slot B from another.
  [[gnu::always_inline]] static Bgr Compute(const RowStretch<T>& s, ptrdiff_t x) {
    using L = Lanes<T>;
    constexpr Arrangement a = kArrangements[ArrangementA], b = kArrangements[ArrangementA ^ 1];
    const __m256i v[2][2] = {{Load(s.rows[2] + x), Load(s.rows[2] + x + 1)},
                             {Load(s.rows[3] + x), Load(s.rows[3] + x + 1)}};
    const __m256i blue = L::Alternate(v[a.b_dy][a.b_dx], v[b.b_dy][b.b_dx]);
    const __m256i red = L::Alternate(v[a.r_dy][a.r_dx], v[b.r_dy][b.r_dx]);
    __m256i green = L::Alternate(v[a.gr_dy][1], v[b.gr_dy][1]);
    if constexpr (Mean) green = L::Mean(L::Alternate(v[a.gl_dy][0], v[b.gl_dy][0]), green);
    return {{blue, green, red}};
  }
};

template <typename T, bool Mean>
ptrdiff_t BlockRow(const RowStretch<T>& s) {
  if constexpr (sizeof(T) == 2 && Mean) {
    if (wide::Fits(s, 0xFFFF)) return wide::SimpleRow(s);
  }
  const Colour first = s.pattern->At(s.x0, s.y), second = s.pattern->At(s.x0 + 1, s.y);
  if (first == kB) return Run<T, BlockLoop<T, Mean, 0>>(s);
  if (first == kR) return Run<T, BlockLoop<T, Mean, 3>>(s);
  return second == kB ? Run<T, BlockLoop<T, Mean, 1>>(s) : Run<T, BlockLoop<T, Mean, 2>>(s);
}

// ---- HQ linear on 16-bit samples of at most 12 bits, mapped as they are stored -----------------------
//
// (Its formulas reach two columns and differ more between the sites than those
// of algorithms 0 and 2, so it keeps the split by column parity.) Sums of such
// samples fit 16-bit lanes, so the slots can be split into 16
// samples per vector instead of 8: a pair of loads at x' and x' + 16 is split
// into the samples at x' + 2i and those at x' + 1 + 2i. The pairs at x - 1 and
// x + 1 give every neighbour within one column of both slots:
//   m1 = x - 1 + 2i, z = x + 2i (slot A), p1 = x + 1 + 2i (slot B), p2 = x + 2 + 2i.
// The order of i within a vector (0-3, 8-11 in the low lane, 4-7, 12-15 in the
// high one) is the same in every vector and undone once, when the two slots are
// joined into bytes.
struct Split16 {
  __m256i m1, z, p1, p2;

  [[gnu::always_inline]] static void Split(const uint16_t* r, __m256i& even, __m256i& odd) {
    const __m256i m = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15,  //
                                       0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15);
    const __m256i a = _mm256_shuffle_epi8(Load(r), m), b = _mm256_shuffle_epi8(Load(r + 16), m);
    even = _mm256_unpacklo_epi64(a, b);
    odd = _mm256_unpackhi_epi64(a, b);
  }
  Split16(const uint16_t* r, ptrdiff_t x) {
    Split(r + x - 1, m1, z);
    Split(r + x + 1, p1, p2);
  }
};

inline __m256i Add16(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
inline __m256i Sum4(__m256i a, __m256i b, __m256i c, __m256i d) { return Add16(Add16(a, b), Add16(c, d)); }

// Outputs by slot: a[c] for the pixels x + 2i, b[c] for x + 1 + 2i, c = B, G, R.
struct SlotBgr {
  __m256i a[3], b[3];
};

template <bool KIsB>
void Put(__m256i (&slot)[3], __m256i k, __m256i g, __m256i o) {
  slot[KIsB ? 0 : 2] = k;
  slot[1] = g;
  slot[KIsB ? 2 : 0] = o;
}

// 32 pixels per step, each sample mapped, the slots joined into bytes (slot A in
// the low byte of each 16-bit lane is the pixel order within a lane pair). The
// block at x reads the neighbours of its pixels: x - 1 .. x + 32 (x - 2 .. x + 33
// for HQ linear).
template <typename Loop>
ptrdiff_t NarrowMappedRun(const RowStretch<uint16_t>& stretch) {
  const RowStretch<uint16_t> s = stretch;
  const MappedStore out(*s.mapped, s.y);
  return Blocks32(s, [&](ptrdiff_t x) {
    const SlotBgr v = Loop::Compute(s, x);
    out.Put<true>(x, v.a, v.b);
  });
}

// HQ linear on samples of at most 12 bits. Each formula is split into the sum of
// its positive terms and the sum of its negative ones; both stay below 14 times
// the largest sample plus 4, within 16 bits unsigned, and a saturating
// subtraction gives 0 exactly where the signed result is negative (and would be
// clamped to 0). The rest is a logical shift and the clamp to the largest sample.
struct HqSplit {
  __m256i m2, m1, z, p1, p2, p3;
  HqSplit(const uint16_t* r, ptrdiff_t x) {
    Split16::Split(r + x - 2, m2, m1);
    Split16::Split(r + x, z, p1);
    Split16::Split(r + x + 2, p2, p3);
  }
};

template <bool GreenA, bool KIsB>
struct NarrowHq {
  [[gnu::always_inline]] static __m256i Div8(__m256i plus, __m256i minus, __m256i max) {
    return _mm256_min_epu16(_mm256_srli_epi16(_mm256_subs_epu16(plus, minus), 3), max);
  }
  // One slot: its own sample c and its neighbours by direction.
  struct Site {
    __m256i c, w, e, w2, e2, n, s, n2, s2, diag;
  };
  [[gnu::always_inline]] static void Green(const Site& p, __m256i max, __m256i& k, __m256i& g, __m256i& o) {
    const __m256i four = _mm256_set1_epi16(4);
    const __m256i c5 = Add16(_mm256_slli_epi16(p.c, 2), p.c);
    k = Div8(Add16(Add16(c5, _mm256_slli_epi16(Add16(p.w, p.e), 2)), Add16(_mm256_avg_epu16(p.n2, p.s2), four)),
             Add16(p.diag, Add16(p.w2, p.e2)), max);
    o = Div8(Add16(Add16(c5, _mm256_slli_epi16(Add16(p.n, p.s), 2)), Add16(_mm256_avg_epu16(p.w2, p.e2), four)),
             Add16(p.diag, Add16(p.n2, p.s2)), max);
    g = _mm256_min_epu16(p.c, max);
  }
  [[gnu::always_inline]] static void Other(const Site& p, __m256i max, __m256i& k, __m256i& g, __m256i& o) {
    const __m256i four = _mm256_set1_epi16(4);
    const __m256i axial = Sum4(p.n, p.s, p.w, p.e), axial2 = Sum4(p.n2, p.s2, p.w2, p.e2);
    g = Div8(Add16(Add16(_mm256_slli_epi16(p.c, 2), _mm256_slli_epi16(axial, 1)), four), axial2, max);
    const __m256i c3 = Add16(_mm256_slli_epi16(p.c, 1), p.c);
    const __m256i a3 = _mm256_srli_epi16(Add16(Add16(_mm256_slli_epi16(axial2, 1), axial2), _mm256_set1_epi16(1)), 1);
    o = Div8(Add16(_mm256_slli_epi16(Add16(c3, p.diag), 1), four), a3, max);
    k = _mm256_min_epu16(p.c, max);
  }
  [[gnu::always_inline]] static SlotBgr Compute(const RowStretch<uint16_t>& s, ptrdiff_t x) {
    const __m256i max = _mm256_set1_epi16(static_cast<int16_t>(s.max));
    const HqSplit u2(s.rows[0], x), u(s.rows[1], x), r(s.rows[2], x), d(s.rows[3], x), d2(s.rows[4], x);
    // Slot A at x + 2i, slot B at x + 1 + 2i.
    const Site a{r.z, r.m1, r.p1, r.m2, r.p2, u.z, d.z, u2.z, d2.z, Sum4(u.m1, u.p1, d.m1, d.p1)};
    const Site b{r.p1, r.z, r.p2, r.m1, r.p3, u.p1, d.p1, u2.p1, d2.p1, Sum4(u.z, u.p2, d.z, d.p2)};
    SlotBgr v;
    __m256i k, g, o;
    if constexpr (GreenA) {
      Green(a, max, k, g, o);
      Put<KIsB>(v.a, k, g, o);
      Other(b, max, k, g, o);
      Put<KIsB>(v.b, k, g, o);
    } else {
      Other(a, max, k, g, o);
      Put<KIsB>(v.a, k, g, o);
      Green(b, max, k, g, o);
      Put<KIsB>(v.b, k, g, o);
    }
    return v;
  }
};

// Mapped rows whose samples stay at or below `limit` go through the narrow loops.
template <template <bool, bool> typename Loop>
bool NarrowByParity(const RowStretch<uint16_t>& s, ptrdiff_t& end, uint16_t limit = 0x3FFF) {
  if (s.mapped == nullptr || s.mapped->largest > limit || s.max > limit) return false;
  const bool green_a = s.pattern->At(s.x0, s.y) == kG;
  const bool k_is_b = s.pattern->RowColour(s.y) == kB;
  if (green_a) {
    end = k_is_b ? NarrowMappedRun<Loop<true, true>>(s) : NarrowMappedRun<Loop<true, false>>(s);
  } else {
    end = k_is_b ? NarrowMappedRun<Loop<false, true>>(s) : NarrowMappedRun<Loop<false, false>>(s);
  }
  return true;
}

template <typename T>
ptrdiff_t OrigRow(const RowStretch<T>& s) {
  if constexpr (sizeof(T) == 2) {
    if (wide::Fits(s, 0x3FFF)) return wide::ByParity<wide::Orig>(s);
    if (wide::Fits(s, 0xFFFF)) return wide::ByParity<wide::Orig16>(s);
  }
  return ByParity<T, OrigLoop>(s);
}
template <typename T>
ptrdiff_t BilinearRow(const RowStretch<T>& s) {
  if constexpr (sizeof(T) == 2) {
    if (wide::Fits(s, 0x3FFF)) return wide::ByParity<wide::Bilinear>(s);
    if (wide::Fits(s, 0xFFFF)) return wide::ByParity<wide::Bilinear16>(s);
  }
  return ByParity<T, BilinearLoop>(s);
}
template <typename T>
ptrdiff_t HqRow(const RowStretch<T>& s) {
  if constexpr (sizeof(T) == 2) {
    if (ptrdiff_t end = 0; NarrowByParity<NarrowHq>(s, end, 0x0FFF)) return end;
  }
  if (s.mapped != nullptr && s.mapped->largest <= s.max) return ByParity<T, HqLoopMapped>(s);
  return ByParity<T, HqLoop>(s);
}

}  // namespace

bool DeliveredSimpleRows(const uint8_t* data, uint8_t* out, int32_t width, int32_t height, BayerPattern pattern,
                         bool swap, int32_t bits, bool grey, int32_t from, int32_t to) {
  // Whole blocks cover pixels 0 .. w - 2.
  if (width < 2 * wide::kStep + 1 || bits < 9 || bits > 16 || !IsKnown(pattern) || from < 0 || to > height)
    return false;
  const auto w = static_cast<ptrdiff_t>(width);
  const size_t pixel_bytes = grey ? 1 : 3, row_bytes = pixel_bytes * static_cast<size_t>(w);
  const Pattern& p = LayoutOf(pattern, BayerAlgorithm::Simple);
  using RowFn = void (*)(const uint8_t*, const uint8_t*, uint8_t*, ptrdiff_t, const Pattern&, ptrdiff_t, int32_t);
  constexpr RowFn kRows[2][2][2] = {
      {{wide::DeliveredSimpleRow<false, false, false>, wide::DeliveredSimpleRow<false, false, true>},
       {wide::DeliveredSimpleRow<false, true, false>, wide::DeliveredSimpleRow<false, true, true>}},
      {{wide::DeliveredSimpleRow<true, false, false>, wide::DeliveredSimpleRow<true, false, true>},
       {wide::DeliveredSimpleRow<true, true, false>, wide::DeliveredSimpleRow<true, true, true>}}};
  const RowFn row_fn = kRows[swap ? 1 : 0][bits < 16 ? 1 : 0][grey ? 1 : 0];
  for (ptrdiff_t y = from; y < to; ++y) {
    uint8_t* o = out + static_cast<size_t>(y) * row_bytes;
    if (y + 1 == height) {
      std::memset(o, 0, row_bytes);  // the last row is black
      continue;
    }
    const uint8_t* row = data + 2 * static_cast<size_t>(y) * static_cast<size_t>(w);
    row_fn(row, row + 2 * static_cast<size_t>(w), o, w, p, y, bits);
    std::memset(o + row_bytes - pixel_bytes, 0, pixel_bytes);  // and so is the last column
  }
  return true;
}

const DemosaicRows<uint8_t> kDemosaicRows8 = {
    {&OrigRow<uint8_t>, &BlockRow<uint8_t, false>, &BilinearRow<uint8_t>, &HqRow<uint8_t>, &BlockRow<uint8_t, true>}};
const DemosaicRows<uint16_t> kDemosaicRows16 = {{&OrigRow<uint16_t>, &BlockRow<uint16_t, false>, &BilinearRow<uint16_t>,
                                                 &HqRow<uint16_t>, &BlockRow<uint16_t, true>}};

}  // namespace kelvane::frames::avx2

#include "frames/avx2_end.h"
#endif
