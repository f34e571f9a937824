// YUV to BGR with AVX-512 BW and VBMI: 64 pixels a block. The arithmetic is the
// AVX2 bodies' (see convert_avx2.cpp), 32 pixels to a register; what changes is
// the moving of bytes. A permute over 64 bytes picks each pixel's (y, u) and
// (y, v) pairs wherever they lie, and the 24-bit store is a two-table permute
// of blue and green and a masked permute of red per 64 output bytes, where the
// AVX2 store rotates, blends and puts 128-bit lanes in order.
#include "frames/simd_vbmi.h"

#ifdef KELVANE_HAVE_AVX2_KERNELS
#include <immintrin.h>

// What follows the region's opening is compiled for it: kept in this order.
// clang-format off
#include "frames/vbmi_begin.h"
#include "frames/vbmi_util.h"
#include "frames/yuv_core.h"
// clang-format on

namespace kelvane::frames::vbmi {
namespace {

struct Ops512 {
  using V = __m512i;
  struct Bgr {
    V b, g, r;
  };
  static V Maddubs(V a, V b) { return _mm512_maddubs_epi16(a, b); }
  static V Add(V a, V b) { return _mm512_add_epi16(a, b); }
  static V Set(int16_t v) { return _mm512_set1_epi16(v); }
  static V Sra8(V v) { return _mm512_srai_epi16(v, 8); }
  static V Srl8(V v) { return _mm512_srli_epi16(v, 8); }
};
using Bgr16 = Ops512::Bgr;

// 32 pixels, pixel e in lane e (yuv_core.h).
template <bool UFirst>
inline Bgr16 YuvCore(__m512i yu, __m512i yv) {
  return frames::YuvCore<Ops512, UFirst>(yu, yv);
}

// Where pixel q (0..63) lies after the pack to bytes of `a` (pixels 0-31) and
// `b` (32-63): each 128-bit lane takes 8 pixels of a, then 8 of b.
constexpr int PackedAt(int q) { return 16 * ((q % 32) / 8) + 8 * (q / 32) + q % 8; }

// Output register c of the 192 bytes: byte i is channel (64 c + i) % 3 of pixel (64 c + i) / 3.
constexpr int PixelOf(int c, int i) { return (64 * c + i) / 3; }
constexpr int ChannelOf(int c, int i) { return (64 * c + i) % 3; }
template <int C>
constexpr Index kBlueGreen = MakeIndex([](int i) {
  const int at = PackedAt(PixelOf(C, i));
  return ChannelOf(C, i) == 1 ? 64 + at : at;  // red's bytes are written over below
});
template <int C>
constexpr Index kRed = MakeIndex([](int i) { return PackedAt(PixelOf(C, i)); });
constexpr __mmask64 RedMask(int c) {
  __mmask64 m = 0;
  for (int i = 0; i < 64; ++i)
    if (ChannelOf(c, i) == 2) m |= __mmask64{1} << i;
  return m;
}

// The indices, loaded once per call.
struct BgrIndices {
  __m512i blue_green[3], red[3];
  BgrIndices()
      : blue_green{LoadIndex(kBlueGreen<0>), LoadIndex(kBlueGreen<1>), LoadIndex(kBlueGreen<2>)},
        red{LoadIndex(kRed<0>), LoadIndex(kRed<1>), LoadIndex(kRed<2>)} {}
};

// 64 pixels as two halves of 16-bit values, stored as 192 bytes B G R (the
// pack's saturation is the clamp).
[[gnu::always_inline]] inline void StoreBgr(uint8_t* dst, const BgrIndices& x, const Bgr16& a, const Bgr16& b) {
  const __m512i blue = _mm512_packus_epi16(a.b, b.b), green = _mm512_packus_epi16(a.g, b.g),
                red = _mm512_packus_epi16(a.r, b.r);
  constexpr __mmask64 kRedMask[3] = {RedMask(0), RedMask(1), RedMask(2)};
  for (size_t c = 0; c < 3; ++c) {
    const __m512i bg = _mm512_permutex2var_epi8(blue, x.blue_green[c], green);
    _mm512_storeu_si512(dst + 64 * c, _mm512_mask_permutexvar_epi8(bg, kRedMask[c], x.red[c], red));
  }
}

// 32 bytes into the low half of a register, zero above; nothing past them is read.
inline __m512i LoadLow32(const uint8_t* p) { return _mm512_maskz_loadu_epi8(0xFFFFFFFFULL, p); }

// A pair index: 16-bit lane e of the result holds bytes first(e) and second(e)
// of the register pair.
template <typename First, typename Second>
constexpr Index PairIndex(First first, Second second) {
  return MakeIndex([=](int i) { return i % 2 == 0 ? first(i / 2) : second(i / 2); });
}

// Packed 4:2:2 and 4:1:1: pixel k's luma and chroma bytes within its block,
// read from one register per 32 pixels (pixels 32-63 from kHighBase on).
template <typename Layout>
void PackedToBgr(const uint8_t* src, uint8_t* bgr, size_t blocks) {
  static constexpr Index kYu = PairIndex(Layout::Y, Layout::U), kYv = PairIndex(Layout::Y, Layout::V);
  static constexpr Index kYuHigh = PairIndex([](int e) { return Layout::Y(32 + e) - Layout::kHighBase; },
                                             [](int e) { return Layout::U(32 + e) - Layout::kHighBase; });
  static constexpr Index kYvHigh = PairIndex([](int e) { return Layout::Y(32 + e) - Layout::kHighBase; },
                                             [](int e) { return Layout::V(32 + e) - Layout::kHighBase; });
  const __m512i yu = LoadIndex(kYu), yv = LoadIndex(kYv), yu_high = LoadIndex(kYuHigh), yv_high = LoadIndex(kYvHigh);
  const BgrIndices x;
  for (size_t n = 0; n < blocks; ++n, src += Layout::kBlockBytes, bgr += 192) {
    const __m512i low = Load(src), high = Load(src + Layout::kHighBase);
    StoreBgr(bgr, x, YuvCore<false>(Permute(yu, low), Permute(yv, low)),
             YuvCore<false>(Permute(yu_high, high), Permute(yv_high, high)));
  }
}

// Y0 U Y1 V per pixel pair.
struct Yuy2 {
  static constexpr size_t kBlockBytes = 128;
  static constexpr int kHighBase = 64;
  static constexpr int Y(int k) { return 2 * k; }
  static constexpr int U(int k) { return 4 * (k / 2) + 1; }
  static constexpr int V(int k) { return 4 * (k / 2) + 3; }
};
// U Y0 V Y1.
struct Uyvy {
  static constexpr size_t kBlockBytes = 128;
  static constexpr int kHighBase = 64;
  static constexpr int Y(int k) { return 2 * k + 1; }
  static constexpr int U(int k) { return 4 * (k / 2); }
  static constexpr int V(int k) { return 4 * (k / 2) + 2; }
};
// U Y0 Y1 V Y2 Y3 per four pixels: pixels 32-63 are bytes 48-95 of the block,
// read from byte 32 on so that nothing past the block is loaded.
struct Y411 {
  static constexpr size_t kBlockBytes = 96;
  static constexpr int kHighBase = 32;
  static constexpr int Y(int k) { return 6 * (k / 4) + (k % 4 < 2 ? 1 + k % 4 : 2 + k % 4); }
  static constexpr int U(int k) { return 6 * (k / 4); }
  static constexpr int V(int k) { return 6 * (k / 4) + 3; }
};

}  // namespace

void Yuy2ToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks) { PackedToBgr<Yuy2>(src, bgr, blocks); }
void UyvyToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks) { PackedToBgr<Uyvy>(src, bgr, blocks); }
void Y411ToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks) { PackedToBgr<Y411>(src, bgr, blocks); }

// U Y V per pixel: the pairs (u, y) and (y, v) are adjacent bytes. Pixels 0-31
// lie in the first two of the block's three registers, 32-63 in the last two.
void Y444ToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks) {
  static constexpr Index kUy = PairIndex([](int e) { return 3 * e; }, [](int e) { return 3 * e + 1; });
  static constexpr Index kYv = PairIndex([](int e) { return 3 * e + 1; }, [](int e) { return 3 * e + 2; });
  static constexpr Index kUyHigh = PairIndex([](int e) { return 3 * e + 32; }, [](int e) { return 3 * e + 33; });
  static constexpr Index kYvHigh = PairIndex([](int e) { return 3 * e + 33; }, [](int e) { return 3 * e + 34; });
  const __m512i uy = LoadIndex(kUy), yv = LoadIndex(kYv), uy_high = LoadIndex(kUyHigh), yv_high = LoadIndex(kYvHigh);
  const BgrIndices x;
  for (size_t n = 0; n < blocks; ++n, src += 192, bgr += 192) {
    const __m512i r0 = Load(src), r1 = Load(src + 64), r2 = Load(src + 128);
    StoreBgr(bgr, x, YuvCore<true>(_mm512_permutex2var_epi8(r0, uy, r1), _mm512_permutex2var_epi8(r0, yv, r1)),
             YuvCore<true>(_mm512_permutex2var_epi8(r1, uy_high, r2), _mm512_permutex2var_epi8(r1, yv_high, r2)));
  }
}

// One row: 64 luma bytes and 32 bytes of each chroma plane a block. The pair
// vectors are permutes of the luma and a chroma register, the same indices for u and v.
void I420RowToBgrBlocks(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* bgr, size_t blocks) {
  static constexpr Index kLow = PairIndex([](int e) { return e; }, [](int e) { return 64 + e / 2; });
  static constexpr Index kHigh = PairIndex([](int e) { return 32 + e; }, [](int e) { return 80 + e / 2; });
  const __m512i low = LoadIndex(kLow), high = LoadIndex(kHigh);
  const BgrIndices x;
  for (size_t n = 0; n < blocks; ++n, y += 64, u += 32, v += 32, bgr += 192) {
    const __m512i luma = Load(y), cu = LoadLow32(u), cv = LoadLow32(v);
    StoreBgr(bgr, x, YuvCore<false>(_mm512_permutex2var_epi8(luma, low, cu), _mm512_permutex2var_epi8(luma, low, cv)),
             YuvCore<false>(_mm512_permutex2var_epi8(luma, high, cu), _mm512_permutex2var_epi8(luma, high, cv)));
  }
}

}  // namespace kelvane::frames::vbmi

#include "frames/avx2_end.h"
#endif
