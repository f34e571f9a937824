// Interiors of demosaicing algorithms 0, 2, 3 and 4 for 16-bit samples that a
// linear map turns into bytes as they are stored, on processors with AVX-512 BW
// and VBMI. Everything else (nearest neighbour, 16-bit output, maps that leave
// a sample wider than a byte) goes to the AVX2 interiors.
//
// A 512-bit register holds 32 samples of 16 bits. The AVX2 loops split a block
// by column parity, so that each half computes only its own site's formulas;
// here every formula is computed for all 32 pixels of the block, from the
// samples one column left of, at and right of each pixel, and a mask that
// alternates with the column picks for each pixel the formula of its site. The
// few formulas computed for nothing cost less than the shuffles that would
// split the samples and join them back into pixel order.
//
// The mapped samples become bytes in their final B G R order by one two-source
// byte permute per 64 output bytes: B in the low and G in the high byte of one
// word per pixel, R in the low byte of a second one.
#include "frames/simd_vbmi.h"

#ifdef KELVANE_HAVE_AVX2_KERNELS
#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

// What follows the region's opening is compiled for it: kept in this order.
// clang-format off
#include "frames/vbmi_begin.h"
#include "frames/demosaic_slots.h"
// clang-format on

namespace kelvane::frames::vbmi {
namespace {

constexpr ptrdiff_t kBlock = 32;

// Sums of four samples stay within 16 bits up to this largest sample.
constexpr uint16_t kNarrowLimit = 0x3FFF;

inline __m512i Load(const uint16_t* p) { return _mm512_loadu_si512(p); }

// The low half and the words as bytes. The zero-masking forms with every lane
// selected, because GCC 12 warns that the plain ones start from an
// uninitialised value; the mask costs nothing.
inline __m256i LowHalf(__m512i v) { return _mm512_maskz_extracti64x4_epi64(0xF, v, 0); }
inline __m256i WordsToBytes(__m512i v) { return _mm512_maskz_cvtepi16_epi8(0xFFFFFFFFu, v); }

// Output byte j of a block's 96 is sample j % 3 of pixel p = j / 3: byte 2p of
// the B|G words (B) or 2p + 1 (G), or byte 2p of the R words, the permute's
// second source (64 + 2p). Bytes 96 .. 127 are not stored.
constexpr std::array<uint8_t, 128> BgrIndices() {
  std::array<uint8_t, 128> index{};
  for (int j = 0; j < 96; ++j) {
    const int p = j / 3, c = j % 3;
    index[static_cast<size_t>(j)] = static_cast<uint8_t>(c == 2 ? 64 + 2 * p : 2 * p + c);
  }
  return index;
}
alignas(64) constexpr std::array<uint8_t, 128> kBgrIndex = BgrIndices();

// A block's three outputs (samples 0 = B, 1 = G, 2 = R) for its 32 pixels in order.
struct Bgr {
  __m512i b, g, r;
};

// Lane i of a block that starts at the stretch's column parity is pixel x0 + 2n + i:
// its parity is that of i.
constexpr __mmask32 kEvenLanes = 0x55555555u, kOddLanes = 0xAAAAAAAAu;

// Lanes of row y whose site is green, when blocks start at the parity of x0.
inline __mmask32 GreenLanes(const RowStretch<uint16_t>& s) {
  return s.pattern->At(s.x0, s.y) == kG ? kEvenLanes : kOddLanes;
}

// Algorithms 0 and 2 give a green site its own sample as green, the row's
// colour from its row neighbours and the column's from its column neighbours;
// the other sites their own sample as the row colour, green from the
// neighbours around and the column colour from the diagonals. Each formula is
// computed for all lanes, and the lane's site picks.
struct Sites {
  __mmask32 green;
  bool k_is_b;  // the row colour is blue
  explicit Sites(const RowStretch<uint16_t>& s) : green(GreenLanes(s)), k_is_b(s.pattern->RowColour(s.y) == kB) {}
  [[gnu::always_inline]] Bgr Pick(__m512i centre, __m512i row_colour, __m512i green_around, __m512i column_colour,
                                  __m512i diagonal) const {
    const __m512i k = _mm512_mask_blend_epi16(green, centre, row_colour);
    const __m512i g = _mm512_mask_blend_epi16(green, green_around, centre);
    const __m512i o = _mm512_mask_blend_epi16(green, diagonal, column_colour);
    return k_is_b ? Bgr{k, g, o} : Bgr{o, g, k};
  }
};

// The loads. A 64-byte load that does not start at a multiple of 64 bytes
// touches two cache lines and was measured to cost about as much as two loads.
// So each row is loaded once per block: one column before the block for
// algorithms 0 and 2 (their blocks start at x0 = 1), at the block for
// algorithm 4 (x0 = 0), which keeps these loads aligned wherever the rows
// start at a multiple of 64 bytes. The samples one and two columns further on
// are formed from that load and the next block's, which is carried over.

// Samples r[from] .. r[min(from + 32, w) - 1], zero beyond: the load ahead of
// the last blocks of a row reads nothing past the row's end.
inline __m512i LoadAhead(const uint16_t* r, ptrdiff_t from, ptrdiff_t w) {
  const ptrdiff_t available = w - from;
  const __mmask32 lanes = available >= 32 ? ~__mmask32{0} : static_cast<__mmask32>((1u << available) - 1u);
  return _mm512_maskz_loadu_epi16(lanes, r + from);
}

// Word i + 1 of the 64 words a, n for each lane i.
constexpr std::array<uint16_t, 32> Plus1() {
  std::array<uint16_t, 32> index{};
  for (size_t i = 0; i < 32; ++i) index[i] = static_cast<uint16_t>(i + 1);
  return index;
}
alignas(64) constexpr std::array<uint16_t, 32> kPlus1 = Plus1();
inline __m512i Plus1Of(__m512i a, __m512i n) {
  return _mm512_permutex2var_epi16(a, _mm512_load_si512(kPlus1.data()), n);
}
// Word i + 2: a shift by one 32-bit element (zero-masking form: see LowHalf).
inline __m512i Plus2Of(__m512i a, __m512i n) { return _mm512_maskz_alignr_epi32(0xFFFF, n, a, 1); }

// Algorithms 0 and 2 read, for the pixels x .. x + 31 of a block, the row
// itself at one column left, at and right, and above and below only the sums
// N + S: at the pixel (N + S) and at its diagonal neighbours (the sums one
// column left and right). Carried between blocks: the row's samples and the
// sums at x - 1 .. x + 30.
struct Cross {
  const uint16_t *up, *row, *down;
  ptrdiff_t w;
  __m512i row_at, sums_at;  // from x - 1 on
  explicit Cross(const RowStretch<uint16_t>& s) : up(s.rows[1]), row(s.rows[2]), down(s.rows[3]), w(s.w) {}
  void Begin(ptrdiff_t x) {
    row_at = Load(row + x - 1);
    sums_at = _mm512_add_epi16(Load(up + x - 1), Load(down + x - 1));
  }
  struct Near {
    __m512i w, c, e;   // the row at x - 1, x, x + 1
    __m512i ns;        // N + S at x
    __m512i diagonal;  // the sum of the four diagonal neighbours
  };
  // The neighbours of the block at x (the one after the last that Begin or Step saw).
  [[gnu::always_inline]] Near Step(ptrdiff_t x) {
    const __m512i row_next = LoadAhead(row, x + 31, w);
    const __m512i sums_next = _mm512_add_epi16(LoadAhead(up, x + 31, w), LoadAhead(down, x + 31, w));
    const Near n{row_at, Plus1Of(row_at, row_next), Plus2Of(row_at, row_next), Plus1Of(sums_at, sums_next),
                 _mm512_add_epi16(sums_at, Plus2Of(sums_at, sums_next))};
    row_at = row_next;
    sums_at = sums_next;
    return n;
  }
};

// Algorithm 0: truncating halves and quarters. At a green site the row colour is
// (W + E) >> 1 and the column colour (N + S) >> 1; at the others green is
// (W + E) >> 1 and the column colour the quarter of the four diagonals.
struct OrigLoop : Cross, Sites {
  explicit OrigLoop(const RowStretch<uint16_t>& s) : Cross(s), Sites(s) {}
  [[gnu::always_inline]] Bgr Compute(ptrdiff_t x) {
    const Near n = Step(x);
    const __m512i horizontal = _mm512_srli_epi16(_mm512_add_epi16(n.w, n.e), 1);
    return Pick(n.c, horizontal, horizontal, _mm512_srli_epi16(n.ns, 1), _mm512_srli_epi16(n.diagonal, 2));
  }
};

// Algorithm 2: rounded means. At a green site the row colour is the mean of W
// and E, the column colour that of N and S; at the others green is the mean of
// the four axial neighbours and the column colour that of the four diagonals.
struct BilinearLoop : Cross, Sites {
  explicit BilinearLoop(const RowStretch<uint16_t>& s) : Cross(s), Sites(s) {}
  [[gnu::always_inline]] Bgr Compute(ptrdiff_t x) {
    const __m512i one = _mm512_set1_epi16(1), two = _mm512_set1_epi16(2);
    const Near n = Step(x);
    const __m512i we = _mm512_add_epi16(n.w, n.e);
    const __m512i axial = _mm512_srli_epi16(_mm512_add_epi16(_mm512_add_epi16(n.ns, we), two), 2);
    const __m512i diagonal = _mm512_srli_epi16(_mm512_add_epi16(n.diagonal, two), 2);
    return Pick(n.c, _mm512_avg_epu16(n.w, n.e), axial, _mm512_srli_epi16(_mm512_add_epi16(n.ns, one), 1), diagonal);
  }
};

// Samples of 15 and 16 bits, whose sums of two need 17 bits. Each sum N + S is
// carried as its rounded-up half A = avg(N, S) and its parity t = (N ^ S) & 1:
// the sum is 2A - t. The means the formulas take are then exact in 16-bit
// lanes; for pair sums p = (A, t) and q = (B, u), with S = A + B:
//   (p + 1) >> 1 = A                           p >> 1 = A - t
//   (p + q + 2) >> 2 = avg(A, B) - ((A ^ B) & (t | u) & 1)
//   (p + q) >> 2 = avg(A, B) - (((A ^ B) | t | u) & 1)
// (p + q = 2S - (t + u): with t + u = 0 the quarter is S >> 1, otherwise
// (S - 1) >> 1; avg(A, B) is (S + 1) >> 1.) Carried between blocks: the row's
// samples and the halves and parities at x - 1 .. x + 30.
struct WideCross {
  const uint16_t *up, *row, *down;
  ptrdiff_t w;
  __m512i row_at, half_at, parity_at;  // from x - 1 on
  explicit WideCross(const RowStretch<uint16_t>& s) : up(s.rows[1]), row(s.rows[2]), down(s.rows[3]), w(s.w) {}
  static __m512i One() { return _mm512_set1_epi16(1); }
  // (a ^ b) & c
  static __m512i XorAnd(__m512i a, __m512i b, __m512i c) { return _mm512_ternarylogic_epi32(a, b, c, 0x28); }
  static void Pair(__m512i n, __m512i s, __m512i& half, __m512i& parity) {
    half = _mm512_avg_epu16(n, s);
    parity = XorAnd(n, s, One());
  }
  void Begin(ptrdiff_t x) {
    row_at = Load(row + x - 1);
    Pair(Load(up + x - 1), Load(down + x - 1), half_at, parity_at);
  }
  struct Pairs {
    __m512i half, parity;
  };
  struct Near {
    __m512i w, c, e;       // the row at x - 1, x, x + 1
    Pairs ns, west, east;  // N + S at x, x - 1 and x + 1
  };
  [[gnu::always_inline]] Near Step(ptrdiff_t x) {
    const __m512i row_next = LoadAhead(row, x + 31, w);
    __m512i half_next, parity_next;
    Pair(LoadAhead(up, x + 31, w), LoadAhead(down, x + 31, w), half_next, parity_next);
    const Near n{row_at,
                 Plus1Of(row_at, row_next),
                 Plus2Of(row_at, row_next),
                 {Plus1Of(half_at, half_next), Plus1Of(parity_at, parity_next)},
                 {half_at, parity_at},
                 {Plus2Of(half_at, half_next), Plus2Of(parity_at, parity_next)}};
    row_at = row_next;
    half_at = half_next;
    parity_at = parity_next;
    return n;
  }
  // The pair W + E.
  static Pairs Across(const Near& n) { return {_mm512_avg_epu16(n.w, n.e), XorAnd(n.w, n.e, One())}; }
  // p >> 1 and (p + q + 2) >> 2, (p + q) >> 2 as above.
  static __m512i HalfDown(const Pairs& p) { return _mm512_sub_epi16(p.half, p.parity); }
  static __m512i QuarterRounded(const Pairs& p, const Pairs& q) {
    return _mm512_sub_epi16(_mm512_avg_epu16(p.half, q.half),
                            XorAnd(p.half, q.half, _mm512_or_si512(p.parity, q.parity)));
  }
  static __m512i QuarterDown(const Pairs& p, const Pairs& q) {
    // ((A ^ B) & 1) | t | u: the parities hold bit 0 only.
    const __m512i odd = XorAnd(p.half, q.half, One());
    return _mm512_sub_epi16(_mm512_avg_epu16(p.half, q.half), _mm512_ternarylogic_epi32(odd, p.parity, q.parity, 0xFE));
  }
};

// Algorithm 0 on samples of 15 and 16 bits (see OrigLoop).
struct OrigWideLoop : WideCross, Sites {
  explicit OrigWideLoop(const RowStretch<uint16_t>& s) : WideCross(s), Sites(s) {}
  [[gnu::always_inline]] Bgr Compute(ptrdiff_t x) {
    const Near n = Step(x);
    const __m512i horizontal = HalfDown(Across(n));
    return Pick(n.c, horizontal, horizontal, HalfDown(n.ns), QuarterDown(n.west, n.east));
  }
};

// Algorithm 2 on samples of 15 and 16 bits (see BilinearLoop).
struct BilinearWideLoop : WideCross, Sites {
  explicit BilinearWideLoop(const RowStretch<uint16_t>& s) : WideCross(s), Sites(s) {}
  [[gnu::always_inline]] Bgr Compute(ptrdiff_t x) {
    const Near n = Step(x);
    const Pairs across = Across(n);
    return Pick(n.c, across.half, QuarterRounded(n.ns, across), n.ns.half, QuarterRounded(n.west, n.east));
  }
};

// Algorithm 4: each pixel takes the 2 x 2 block to its lower right, green the
// rounded mean of the block's two greens. The block at an even lane has
// arrangement A (where B, R and the greens of its left and right column sit, as
// (dx, dy); see kArrangements), the one at an odd lane arrangement A ^ 1.
// Carried between blocks: the row and the row below at x .. x + 31.
struct Arrangement {
  int b_dx, b_dy, r_dx, r_dy, gl_dy, gr_dy;
};
//   0: B G / G R   1: G B / R G   2: G R / B G   3: R G / G B
constexpr Arrangement kArrangements[4] = {
    {0, 0, 1, 1, 1, 0}, {1, 0, 0, 1, 0, 1}, {0, 1, 1, 0, 0, 1}, {1, 1, 0, 0, 1, 0}};

template <int A>
struct SimpleLoop {
  const uint16_t *row, *down;
  ptrdiff_t w;
  __m512i row_at, down_at;
  explicit SimpleLoop(const RowStretch<uint16_t>& s) : row(s.rows[2]), down(s.rows[3]), w(s.w) {}
  void Begin(ptrdiff_t x) {
    row_at = Load(row + x);
    down_at = Load(down + x);
  }
  [[gnu::always_inline]] Bgr Compute(ptrdiff_t x) {
    constexpr Arrangement a = kArrangements[A], b = kArrangements[A ^ 1];
    const __m512i row_next = LoadAhead(row, x + 32, w), down_next = LoadAhead(down, x + 32, w);
    const __m512i v[2][2] = {{row_at, Plus1Of(row_at, row_next)}, {down_at, Plus1Of(down_at, down_next)}};
    row_at = row_next;
    down_at = down_next;
    const __m512i blue = _mm512_mask_blend_epi16(kOddLanes, v[a.b_dy][a.b_dx], v[b.b_dy][b.b_dx]);
    const __m512i red = _mm512_mask_blend_epi16(kOddLanes, v[a.r_dy][a.r_dx], v[b.r_dy][b.r_dx]);
    const __m512i left = _mm512_mask_blend_epi16(kOddLanes, v[a.gl_dy][0], v[b.gl_dy][0]);
    const __m512i right = _mm512_mask_blend_epi16(kOddLanes, v[a.gr_dy][1], v[b.gr_dy][1]);
    return {blue, _mm512_avg_epu16(left, right), red};
  }
};

// Where a last block ends the stretch [x0, x1) after whole blocks stopped at x:
// it overlaps pixels already done (written again with the same values) and
// starts at the column parity of x0, which the lane masks assume. Returns x when
// no such block fits.
inline ptrdiff_t LastBlock(ptrdiff_t x0, ptrdiff_t x1, ptrdiff_t x) {
  if (x >= x1 || x1 - x0 < kBlock + 1) return x;
  const ptrdiff_t last = x1 - kBlock - ((x1 - kBlock - x0) & 1);
  return last >= x0 ? last : x;
}

// Blocks of 32 pixels, each sample v >> shift, stored as 3 bytes per pixel or as
// the grey byte floor((B + G + R) / 3) of the mapped bytes (floor(s * 21846 /
// 2^16) equals floor(s / 3) for every s up to 765). The map's clamp to the
// largest sample is left out: the rows hold no larger samples, and neither
// means nor copies of them exceed it.
template <typename Loop, bool Grey>
ptrdiff_t MappedRun(const RowStretch<uint16_t>& stretch) {
  const RowStretch<uint16_t> s = stretch;  // the stores could otherwise alias it
  const MappedRows m = *s.mapped;
  Loop loop(s);
  const __m128i shift = _mm_cvtsi32_si128(m.shift), to_high = _mm_cvtsi32_si128(8 - m.shift);
  const __m512i high_byte = _mm512_set1_epi16(static_cast<int16_t>(0xFF00));
  const __m512i index_lo = _mm512_load_si512(kBgrIndex.data()), index_hi = _mm512_load_si512(kBgrIndex.data() + 64);
  uint8_t* const row = m.base + static_cast<size_t>(s.y) * m.stride;
  auto block = [&](ptrdiff_t x) {
    const Bgr p = loop.Compute(x);
    const __m512i b = _mm512_srl_epi16(p.b, shift), r = _mm512_srl_epi16(p.r, shift);
    if constexpr (Grey) {
      const __m512i sum = _mm512_add_epi16(_mm512_add_epi16(b, _mm512_srl_epi16(p.g, shift)), r);
      const __m512i grey = _mm512_mulhi_epu16(sum, _mm512_set1_epi16(21846));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + x), WordsToBytes(grey));
    } else {
      // B | mapped G << 8: G shifted left by 8 - shift, its low byte cleared (0xF8: b | (g & mask)).
      const __m512i bg = _mm512_ternarylogic_epi32(b, _mm512_sll_epi16(p.g, to_high), high_byte, 0xF8);
      uint8_t* out = row + 3 * x;
      _mm512_storeu_si512(out, _mm512_permutex2var_epi8(bg, index_lo, r));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64), LowHalf(_mm512_permutex2var_epi8(bg, index_hi, r)));
    }
  };
  ptrdiff_t x = s.x0;
  if (x + kBlock > s.x1) return x;
  loop.Begin(x);
  for (; x + kBlock <= s.x1; x += kBlock) block(x);
  const ptrdiff_t last = LastBlock(s.x0, s.x1, x);
  if (last == x) return x;
  loop.Begin(last);
  block(last);
  return last + kBlock;
}

template <typename Loop>
ptrdiff_t Mapped(const RowStretch<uint16_t>& s) {
  return s.mapped->grey ? MappedRun<Loop, true>(s) : MappedRun<Loop, false>(s);
}

// Rows with mapped output whose samples stay at or below `limit`, mapped to
// bytes (a shift of at most 8 that leaves the largest sample a byte).
inline bool Fits(const RowStretch<uint16_t>& s, uint16_t limit) {
  if (s.mapped == nullptr) return false;
  const MappedRows& m = *s.mapped;
  return m.largest <= limit && s.max <= limit && m.shift >= 0 && m.shift <= 8 && (m.largest >> m.shift) <= 255;
}

ptrdiff_t OrigRow(const RowStretch<uint16_t>& s) {
  if (Fits(s, kNarrowLimit)) return Mapped<OrigLoop>(s);
  if (Fits(s, 0xFFFF)) return Mapped<OrigWideLoop>(s);
  return avx2::kDemosaicRows16.algorithm[0](s);
}

ptrdiff_t NearestRow(const RowStretch<uint16_t>& s) { return avx2::kDemosaicRows16.algorithm[1](s); }

ptrdiff_t BilinearRow(const RowStretch<uint16_t>& s) {
  if (Fits(s, kNarrowLimit)) return Mapped<BilinearLoop>(s);
  if (Fits(s, 0xFFFF)) return Mapped<BilinearWideLoop>(s);
  return avx2::kDemosaicRows16.algorithm[2](s);
}

// Algorithm 3 on samples of any linear map: the AVX2 set's slot loop
// (demosaic_slots.h) in 512-bit registers, 16 pixel pairs a block, one in each
// 32-bit lane (the formulas' sums need more than 16 bits). The map's missing
// clamp needs every output at most the largest mapped sample: the loop clamps
// what it computes to max, which must therefore be that largest sample, and
// passes the rows' samples through, which never exceed it.
// (Algorithm 2 at 15 and 16 bits through the same loop was no faster than the
// AVX2 set's loop in pixel order: 1.92 against 1.90 times RAW8.)
struct Lanes32 {
  using Sample = uint16_t;
  using V = __m512i;
  struct Slots {
    V k[2], g[2], o[2];
  };
  static V Load(const uint16_t* p) { return _mm512_loadu_si512(p); }
  static V Lo(V v) { return _mm512_and_si512(v, _mm512_set1_epi32(0xFFFF)); }
  // The shifts, min and max in their zero-masking forms with every lane kept (see LowHalf).
  static constexpr __mmask16 kAll = 0xFFFF;
  static V Hi(V v) { return _mm512_maskz_srli_epi32(kAll, v, 16); }
  static V Add(V a, V b) { return _mm512_add_epi32(a, b); }
  static V Sub(V a, V b) { return _mm512_sub_epi32(a, b); }
  static V Set(int v) { return _mm512_set1_epi32(v); }
  template <int S>
  static V Sra(V v) {
    return _mm512_maskz_srai_epi32(kAll, v, S);
  }
  template <int S>
  static V Shl(V v) {
    return _mm512_maskz_slli_epi32(kAll, v, S);
  }
  static V Clamp(V v, V max) {
    return _mm512_maskz_min_epi32(kAll, _mm512_maskz_max_epi32(kAll, v, _mm512_setzero_si512()), max);
  }
  static V Join(V a, V b) { return _mm512_or_si512(a, Shl<16>(b)); }
  using Bgr = vbmi::Bgr;
  template <bool KIsB>
  static Bgr FromSlots(const Slots& v) {
    const V k = Join(v.k[0], v.k[1]), g = Join(v.g[0], v.g[1]), o = Join(v.o[0], v.o[1]);
    return KIsB ? Bgr{k, g, o} : Bgr{o, g, k};
  }
};

template <bool GreenA, bool KIsB>
struct HqLoop {
  RowStretch<uint16_t> s;
  explicit HqLoop(const RowStretch<uint16_t>& stretch) : s(stretch) {}
  void Begin(ptrdiff_t) {}
  [[gnu::always_inline]] Bgr Compute(ptrdiff_t x) const { return HqSites<Lanes32, GreenA, KIsB, false>::Compute(s, x); }
};

ptrdiff_t HqRow(const RowStretch<uint16_t>& s) {
  if (!Fits(s, 0xFFFF) || s.max != s.mapped->largest) return avx2::kDemosaicRows16.algorithm[3](s);
  const bool green_a = s.pattern->At(s.x0, s.y) == kG, k_is_b = s.pattern->RowColour(s.y) == kB;
  if (green_a) return k_is_b ? Mapped<HqLoop<true, true>>(s) : Mapped<HqLoop<true, false>>(s);
  return k_is_b ? Mapped<HqLoop<false, true>>(s) : Mapped<HqLoop<false, false>>(s);
}

// No sums here: any linear map, 16 significant bits included.
ptrdiff_t SimpleRow(const RowStretch<uint16_t>& s) {
  if (!Fits(s, 0xFFFF)) return avx2::kDemosaicRows16.algorithm[4](s);
  const Colour first = s.pattern->At(s.x0, s.y), second = s.pattern->At(s.x0 + 1, s.y);
  if (first == kB) return Mapped<SimpleLoop<0>>(s);
  if (first == kR) return Mapped<SimpleLoop<3>>(s);
  return second == kB ? Mapped<SimpleLoop<1>>(s) : Mapped<SimpleLoop<2>>(s);
}

}  // namespace

void Unpack16Blocks(const uint8_t* src, uint16_t* samples, size_t blocks, bool swap, int32_t shift) {
  const __m128i count = _mm_cvtsi32_si128(shift);
  const __m512i swap_bytes = _mm512_set4_epi32(0x0E0F0C0D, 0x0A0B0809, 0x06070405, 0x02030001);
  for (size_t i = 0; i < blocks; ++i, src += 64, samples += 32) {
    __m512i v = _mm512_loadu_si512(src);
    if (swap) v = _mm512_shuffle_epi8(v, swap_bytes);
    _mm512_storeu_si512(samples, _mm512_srl_epi16(v, count));
  }
}

const DemosaicRows<uint16_t> kDemosaicRows16 = {{&OrigRow, &NearestRow, &BilinearRow, &HqRow, &SimpleRow}};

}  // namespace kelvane::frames::vbmi

#include "frames/avx2_end.h"
#endif
