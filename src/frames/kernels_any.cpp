// The vector kernel set: each kernel runs the AVX2 body over the whole blocks
// it can and the scalar reference over what is left (the last pixels of a row
// or buffer, and blocks whose loads would reach past the end of the input).
#include <bit>
#include <utility>

#include "frames/convert.h"
#include "frames/demosaic.h"
#include "frames/demosaic_rows.h"
#include "frames/kernel_sets.h"
#include "frames/kernels.h"
#include "frames/simd_avx2.h"
#include "frames/simd_vbmi.h"
#include "frames/tables.h"

namespace kelvane::frames {

#ifdef KELVANE_HAVE_AVX2_KERNELS
namespace {

// Whole blocks of `block_bytes` input bytes in `bytes`, when each block's loads
// reach `overread` bytes past it.
constexpr size_t SafeBlocks(size_t bytes, size_t block_bytes, size_t overread) {
  return bytes < overread ? 0 : (bytes - overread) / block_bytes;
}

// How a kernel's unit (a pixel, or a group of pixels that share chroma) is laid
// out: pixels in it, bytes read and written for it, and how far past a block
// its vector body reads.
struct Unit {
  size_t pixels;
  size_t in_bytes;
  size_t out_bytes;
  size_t overread = 0;
};
inline constexpr Unit kYuv422ToBgr{2, 4, 6};          // Y0 U Y1 V or U Y0 V Y1, to two B G R
inline constexpr Unit kYuv422ToLuma{2, 4, 2};
inline constexpr Unit kY411ToBgr{4, 6, 12, 4};        // U Y0 Y1 V Y2 Y3; the body reads 4 bytes on
inline constexpr Unit kY411ToLuma{4, 6, 4, 4};
inline constexpr Unit kY411ToBgrExact{4, 6, 12};  // a body that reads no further than its block
inline constexpr Unit kY444ToBgr{1, 3, 3};
inline constexpr Unit kY444ToLuma{1, 3, 1};

// A kernel over `units` units made of a vector body that converts blocks of
// kBlockPixels pixels and the scalar reference, which takes what is left: the
// last units, and blocks whose loads would reach past the end of the input.
template <auto Body, auto Reference, size_t kBlockPixels, Unit kUnit>
void Any11(const uint8_t* src, uint8_t* dst, size_t units) {
  static_assert(kUnit.pixels > 0 && kUnit.in_bytes > 0 && kUnit.out_bytes > 0);
  static_assert(kBlockPixels % kUnit.pixels == 0, "a block holds whole units");
  constexpr size_t kUnitsPerBlock = kBlockPixels / kUnit.pixels;
  const size_t blocks = SafeBlocks(kUnit.in_bytes * units, kUnit.in_bytes * kUnitsPerBlock, kUnit.overread);
  const size_t done = kUnitsPerBlock * blocks;
  Body(src, dst, blocks);
  Reference(src + kUnit.in_bytes * done, dst + kUnit.out_bytes * done, units - done);
}

// The wrappers, named after their vector body's instruction set.
constexpr auto Yuy2ToBgr_Any_AVX2 = Any11<avx2::Yuy2ToBgrBlocks, Yuy2ToBgr, avx2::kPixelsPerBlock, kYuv422ToBgr>;
constexpr auto UyvyToBgr_Any_AVX2 = Any11<avx2::UyvyToBgrBlocks, UyvyToBgr, avx2::kPixelsPerBlock, kYuv422ToBgr>;
constexpr auto Y411ToBgr_Any_AVX2 = Any11<avx2::Y411ToBgrBlocks, Y411ToBgr, avx2::kPixelsPerBlock, kY411ToBgr>;
constexpr auto Y444ToBgr_Any_AVX2 = Any11<avx2::Y444ToBgrBlocks, Y444ToBgr, avx2::kPixelsPerBlock, kY444ToBgr>;
constexpr auto Yuy2ToLuma_Any_AVX2 = Any11<avx2::Yuy2ToLumaBlocks, Yuy2ToLuma, avx2::kPixelsPerBlock, kYuv422ToLuma>;
constexpr auto UyvyToLuma_Any_AVX2 = Any11<avx2::UyvyToLumaBlocks, UyvyToLuma, avx2::kPixelsPerBlock, kYuv422ToLuma>;
constexpr auto Y411ToLuma_Any_AVX2 = Any11<avx2::Y411ToLumaBlocks, Y411ToLuma, avx2::kPixelsPerBlock, kY411ToLuma>;
constexpr auto Y444ToLuma_Any_AVX2 = Any11<avx2::Y444ToLumaBlocks, Y444ToLuma, avx2::kPixelsPerBlock, kY444ToLuma>;
constexpr auto Y444ToLuma_Any_VBMI =
    Any11<vbmi::Y444ToLumaBlocks, Y444ToLuma, vbmi::kGreyPixelsPerBlock, kY444ToLuma>;
constexpr auto Yuy2ToBgr_Any_VBMI = Any11<vbmi::Yuy2ToBgrBlocks, Yuy2ToBgr, vbmi::kYuvPixelsPerBlock, kYuv422ToBgr>;
constexpr auto UyvyToBgr_Any_VBMI = Any11<vbmi::UyvyToBgrBlocks, UyvyToBgr, vbmi::kYuvPixelsPerBlock, kYuv422ToBgr>;
constexpr auto Y411ToBgr_Any_VBMI = Any11<vbmi::Y411ToBgrBlocks, Y411ToBgr, vbmi::kYuvPixelsPerBlock, kY411ToBgrExact>;
constexpr auto Y444ToBgr_Any_VBMI = Any11<vbmi::Y444ToBgrBlocks, Y444ToBgr, vbmi::kYuvPixelsPerBlock, kY444ToBgr>;

// I420 goes row by row (its chroma rows serve two luma rows), so it has a
// wrapper of its own; so do the kernels below with a head, a choice of body or
// parameters of their own.
template <auto RowBody, size_t kBlockPixels>
void I420ToBgrAny(const uint8_t* y_plane, const uint8_t* u_plane, const uint8_t* v_plane, uint8_t* bgr, int32_t width,
                  int32_t rows) {
  const YuvTables& t = GetYuvTables();
  const size_t w = static_cast<size_t>(width);
  const size_t chroma_width = (w + 1) / 2;
  const size_t blocks = w / kBlockPixels;
  for (size_t y = 0; y < static_cast<size_t>(rows); ++y) {
    const uint8_t* luma = y_plane + y * w;
    const uint8_t* u = u_plane + (y / 2) * chroma_width;
    const uint8_t* v = v_plane + (y / 2) * chroma_width;
    uint8_t* out = bgr + y * w * 3;
    RowBody(luma, u, v, out, blocks);
    for (size_t x = kBlockPixels * blocks; x < w; ++x) YuvToBgr(t, luma[x], u[x / 2], v[x / 2], out + 3 * x);
  }
}

void BgrToGreyAny(const uint8_t* src, uint8_t* grey, size_t pixels, size_t bytes_per_pixel) {
  if (bytes_per_pixel == 3) {
    // The blocks read 4 bytes before their first pixel: the first two pixels go to the reference.
    const size_t head = pixels < 2 ? pixels : 2;
    BgrToGrey(src, grey, head, 3);
    const size_t blocks = SafeBlocks(3 * (pixels - head), 96, 4), end = head + 32 * blocks;
    avx2::Bgr24ToGreyBlocks(src + 3 * head, grey + head, blocks);
    BgrToGrey(src + 3 * end, grey + end, pixels - end, 3);
    return;
  }
  size_t blocks = 0;
  if (bytes_per_pixel == 4) {
    blocks = pixels / 32;
    avx2::Bgr32ToGreyBlocks(src, grey, blocks);
  }
  const size_t done = 32 * blocks;
  BgrToGrey(src + bytes_per_pixel * done, grey + done, pixels - done, bytes_per_pixel);
}

void Unpack16Any(const uint8_t* src, uint16_t* samples, size_t count, bool swap, int32_t shift) {
  const size_t blocks = shift >= 0 && shift < 16 ? count / 32 : 0, done = 32 * blocks;
  avx2::Unpack16Blocks(src, samples, blocks, swap, shift);
  Unpack16(src + 2 * done, samples + done, count - done, swap, shift);
}

// The table a map pointer stands for: 0 unknown, 1 linear, 2 logarithmic (each
// padded so a 4-byte read at its last entry stays inside).
int MapKind(const uint8_t* map, uint16_t largest, int32_t& bits) {
  const uint32_t entries = uint32_t{largest} + 1;
  if (map == nullptr || !std::has_single_bit(entries)) return 0;
  bits = std::countr_zero(entries);
  if (map == GetMapTable(false, bits)) return 1;
  if (map == GetMapTable(true, bits)) return 2;
  return 0;
}

void Map16ToBytesAny(const uint16_t* samples, uint8_t* dst, size_t count, const uint8_t* map, uint16_t largest) {
  int32_t bits = 0;
  const int kind = MapKind(map, largest, bits);
  const size_t blocks = kind != 0 ? count / 32 : 0, done = 32 * blocks;
  if (kind == 1) avx2::Map16ToBytesLinearBlocks(samples, dst, blocks, largest, bits - 8);
  if (kind == 2) avx2::Map16ToBytesGatherBlocks(samples, dst, blocks, map, largest);
  Map16ToBytes(samples + done, dst + done, count - done, map, largest);
}

void Mono16ToGreyAny(const uint8_t* src, uint8_t* grey, size_t count, bool swap, int32_t shift, const uint8_t* map,
                     uint16_t largest) {
  size_t done = 0;
  int32_t bits = 0;
  if (shift >= 0 && shift < 16) {
    if (map == nullptr) {
      const size_t blocks = count / 32;
      avx2::Mono16ToGreyLowByteBlocks(src, grey, blocks, swap);
      done = 32 * blocks;
    } else if (const int kind = MapKind(map, largest, bits); kind == 1) {
      const size_t blocks = count / 32;
      avx2::Mono16ToGreyLinearBlocks(src, grey, blocks, swap, shift, largest, bits - 8);
      done = 32 * blocks;
    } else if (kind == 2) {
      // Unpacked a stretch at a time into a buffer that stays in the first-level cache.
      uint16_t samples[512];
      for (; count - done >= 512; done += 512) {
        avx2::Unpack16Blocks(src + 2 * done, samples, 16, swap, shift);
        avx2::Map16ToBytesGatherBlocks(samples, grey + done, 16, map, largest);
      }
    }
  }
  Mono16ToGrey(src + 2 * done, grey + done, count - done, swap, shift, map, largest);
}

void Map16ToGreyAny(const uint16_t* bgr16, uint8_t* grey, size_t pixels, const uint8_t* map, uint16_t largest) {
  int32_t bits = 0;
  size_t done = 0;
  if (MapKind(map, largest, bits) != 0) {
    // 64 pixels at a time: their 192 samples to bytes, then to grey. The grey
    // body reads 4 bytes before and after its input, hence the padding.
    uint8_t bytes[4 + 192 + 4] = {};
    for (; pixels - done >= 64; done += 64) {
      Map16ToBytesAny(bgr16 + 3 * done, bytes + 4, 192, map, largest);
      avx2::Bgr24ToGreyBlocks(bytes + 4, grey + done, 2);
    }
  }
  Map16ToGrey(bgr16 + 3 * done, grey + done, pixels - done, map, largest);
}

// A set's demosaicing entries: the reference with the interiors of `Hooks`.
template <const DemosaicRows<uint8_t>& Hooks>
bool Demosaic8Using(const uint8_t* src, uint8_t* dst, int32_t w, int32_t h, BayerPattern pattern,
                    BayerAlgorithm algorithm) {
  return Demosaic8With(Hooks, src, dst, w, h, pattern, algorithm);
}
template <const DemosaicRows<uint16_t>& Hooks>
bool Demosaic16Using(const uint16_t* src, uint16_t* dst, int32_t w, int32_t h, BayerPattern pattern,
                     BayerAlgorithm algorithm, int32_t bits) {
  return Demosaic16With(Hooks, src, dst, w, h, pattern, algorithm, bits);
}
template <const DemosaicRows<uint8_t>& Hooks>
bool Demosaic8BandUsing(const uint8_t* src, uint8_t* dst, int32_t w, int32_t h, BayerPattern pattern,
                        BayerAlgorithm algorithm, int32_t from, int32_t to) {
  return Demosaic8BandWith(Hooks, src, dst, w, h, pattern, algorithm, from, to);
}
template <const DemosaicRows<uint8_t>& Hooks>
bool Demosaic8RowsUsing(const uint8_t* src, uint8_t* row_buffer, int32_t w, int32_t h, BayerPattern pattern,
                        BayerAlgorithm algorithm, const RowSink<uint8_t>& sink) {
  return Demosaic8RowsWith(Hooks, src, row_buffer, w, h, pattern, algorithm, sink);
}
template <const DemosaicRows<uint16_t>& Hooks>
bool Demosaic16RowsUsing(const uint16_t* src, uint16_t* row_buffer, int32_t w, int32_t h, BayerPattern pattern,
                         BayerAlgorithm algorithm, int32_t bits, const RowSink<uint16_t>& sink) {
  return Demosaic16RowsWith(Hooks, src, row_buffer, w, h, pattern, algorithm, bits, sink);
}

avx2::Divider g_dividers[kMaxMeanCnt + 1];

template <int N>
void AverageAny(const uint8_t* const* frames, size_t size, uint8_t* result) {
  const size_t whole = size / 8 * 8;
  const size_t blocks = whole / 32, done = 32 * blocks;
  avx2::AverageBlocks(frames, N, g_dividers[N], blocks, result);
  if (done == whole) return;
  const uint8_t* rest[N];
  for (int i = 0; i < N; ++i) rest[i] = frames[i] + done;
  SelectAverageKernel(N)(rest, whole - done, result + done);
}

// Above 8 frames the reference, which the compiler vectorises, was measured as
// fast or faster: the work is bound by memory there, and the vector body with
// more frame pointers than registers loses to it (32 frames: 6.4 ms against
// 8.6 ms at 1280 x 960 x 3).
template <int N>
AverageKernel VectorAverage() {
  if constexpr (N <= avx2::kMaxAverage) {
    if (g_dividers[N].exact) return &AverageAny<N>;
  }
  return SelectAverageKernel(N);
}

template <int... I>
void FillAverage(Kernels& k, std::integer_sequence<int, I...>) {
  ((k.Average[I] = VectorAverage<I + 2>()), ...);
}

void BlendRecursiveAny(const uint8_t* newest, uint8_t* result, size_t size, int32_t coefficient) {
  uint32_t c = static_cast<uint32_t>(coefficient) & 0xFFu;
  if (c > 100) c = 100;
  const uint32_t wn = c * 32768u / 100u;
  const size_t whole = size / 8 * 8;
  const size_t blocks = whole / 32, done = 32 * blocks;
  avx2::BlendBlocks(newest, result, blocks, static_cast<uint16_t>(wn), static_cast<uint16_t>(32768u - wn));
  BlendRecursive(newest + done, result + done, whole - done, coefficient);
}

Kernels MakeAvx2Kernels() {
  Kernels k = ScalarKernels();
  k.name = "avx2";
  k.I420ToBgr = I420ToBgrAny<avx2::I420RowToBgrBlocks, avx2::kPixelsPerBlock>;
  k.Y411ToBgr = Y411ToBgr_Any_AVX2;
  k.Y411ToLuma = Y411ToLuma_Any_AVX2;
  k.UyvyToBgr = UyvyToBgr_Any_AVX2;
  k.UyvyToLuma = UyvyToLuma_Any_AVX2;
  k.Yuy2ToBgr = Yuy2ToBgr_Any_AVX2;
  k.Yuy2ToLuma = Yuy2ToLuma_Any_AVX2;
  k.Y444ToBgr = Y444ToBgr_Any_AVX2;
  k.Y444ToLuma = Y444ToLuma_Any_AVX2;
  k.BgrToGrey = BgrToGreyAny;
  k.CopyRowsReversed = avx2::CopyRowsReversed;
  k.Unpack16 = Unpack16Any;
  k.Mono16ToGrey = Mono16ToGreyAny;
  k.Map16ToBytes = Map16ToBytesAny;
  k.Map16ToGrey = Map16ToGreyAny;
  k.Demosaic8 = Demosaic8Using<avx2::kDemosaicRows8>;
  k.Demosaic16 = Demosaic16Using<avx2::kDemosaicRows16>;
  k.Demosaic8Band = Demosaic8BandUsing<avx2::kDemosaicRows8>;
  k.Demosaic8Rows = Demosaic8RowsUsing<avx2::kDemosaicRows8>;
  k.Demosaic16Rows = Demosaic16RowsUsing<avx2::kDemosaicRows16>;
  k.DeliveredSimpleRows = avx2::DeliveredSimpleRows;
  // Under the maps of 10 to 14 bits, RAW16 simple at 1280 x 960 with this set
  // took 0.29-0.31 ms read from the delivered samples on an AMD EPYC (this set
  // forced on a processor with AVX-512) against 0.20-0.21 ms unpacked first
  // (2.2-2.3 against 1.7-1.8 times RAW8). On an Intel Xeon (forced as well)
  // the delivered samples were the faster at every map.
  k.DeliveredSimpleBelow16 = !__builtin_cpu_is("amd");
  for (int32_t n = 2; n <= kMaxMeanCnt; ++n) g_dividers[n] = avx2::DividerFor(n);
  FillAverage(k, std::make_integer_sequence<int, kMaxMeanCnt - 1>{});
  k.BlendRecursive = BlendRecursiveAny;
  return k;
}

// The byte tables of a logarithmic map, built once per bit count on first use;
// null if the map cannot be written so (the gather stays in use then).
const vbmi::ByteMapLevels* LogLevels(int32_t bits) {
  const auto build = [](vbmi::ByteMapLevels& v, int32_t b) {
    return vbmi::BuildByteMapLevels(GetMapTable(true, b), static_cast<uint16_t>((1u << b) - 1u), v);
  };
  switch (bits) {
    case 10: {
      static vbmi::ByteMapLevels v;
      static const bool ok = build(v, 10);
      return ok ? &v : nullptr;
    }
    case 12: {
      static vbmi::ByteMapLevels v;
      static const bool ok = build(v, 12);
      return ok ? &v : nullptr;
    }
    case 14: {
      static vbmi::ByteMapLevels v;
      static const bool ok = build(v, 14);
      return ok ? &v : nullptr;
    }
    case 16: {
      static vbmi::ByteMapLevels v;
      static const bool ok = build(v, 16);
      return ok ? &v : nullptr;
    }
    default:
      return nullptr;
  }
}

void Mono16ToGreyVbmi(const uint8_t* src, uint8_t* grey, size_t count, bool swap, int32_t shift, const uint8_t* map,
                      uint16_t largest) {
  int32_t bits = 0;
  const vbmi::ByteMapLevels* levels =
      shift >= 0 && shift < 16 && MapKind(map, largest, bits) == 2 ? LogLevels(bits) : nullptr;
  if (levels == nullptr) {
    Mono16ToGreyAny(src, grey, count, swap, shift, map, largest);
    return;
  }
  const size_t blocks = count / vbmi::kSamplesPerBlock, done = vbmi::kSamplesPerBlock * blocks;
  vbmi::Mono16ToGreyLevelsBlocks(src, grey, blocks, swap, shift, largest, *levels);
  Mono16ToGrey(src + 2 * done, grey + done, count - done, swap, shift, map, largest);
}

void BgrToGreyVbmi(const uint8_t* src, uint8_t* grey, size_t pixels, size_t bytes_per_pixel) {
  const size_t blocks = pixels / vbmi::kGreyPixelsPerBlock;
  if (bytes_per_pixel == 3) {
    vbmi::Bgr24ToGreyBlocks(src, grey, blocks);
  } else if (bytes_per_pixel == 4) {
    vbmi::Bgr32ToGreyBlocks(src, grey, blocks);
  } else {
    BgrToGrey(src, grey, pixels, bytes_per_pixel);
    return;
  }
  const size_t done = blocks * vbmi::kGreyPixelsPerBlock;
  BgrToGrey(src + bytes_per_pixel * done, grey + done, pixels - done, bytes_per_pixel);
}

void Unpack16Vbmi(const uint8_t* src, uint16_t* samples, size_t count, bool swap, int32_t shift) {
  const size_t blocks = shift >= 0 && shift < 16 ? count / 32 : 0, done = 32 * blocks;
  vbmi::Unpack16Blocks(src, samples, blocks, swap, shift);
  Unpack16(src + 2 * done, samples + done, count - done, swap, shift);
}

// The AVX2 set with YUV to BGR, Y444 luma, BGR to grey and the logarithmic
// 16-bit map done by byte permutes, and the 16-bit raw unpacking and demosaicing interiors in
// 512-bit registers. (YUY2 and UYVY luma stay with the AVX2 bodies: both reach
// the memory's limit, the narrower one a little nearer.)
Kernels MakeVbmiKernels(const Kernels& avx2_set) {
  Kernels k = avx2_set;
  k.name = "avx512vbmi";
  k.Y444ToLuma = Y444ToLuma_Any_VBMI;
  k.Yuy2ToBgr = Yuy2ToBgr_Any_VBMI;
  k.UyvyToBgr = UyvyToBgr_Any_VBMI;
  k.Y411ToBgr = Y411ToBgr_Any_VBMI;
  k.Y444ToBgr = Y444ToBgr_Any_VBMI;
  k.I420ToBgr = I420ToBgrAny<vbmi::I420RowToBgrBlocks, vbmi::kYuvPixelsPerBlock>;
  k.BgrToGrey = BgrToGreyVbmi;
  k.Mono16ToGrey = Mono16ToGreyVbmi;
  k.Unpack16 = Unpack16Vbmi;
  k.Demosaic16Rows = Demosaic16RowsUsing<vbmi::kDemosaicRows16>;
  // The simple algorithm from the delivered samples at 16 bits only. At
  // 1280 x 960 the VBMI interior on unpacked samples took 0.29-0.30 ms under
  // the maps of 10 to 14 bits against 0.34-0.37 ms read directly, and
  // 0.32-0.36 ms at 16 bits against 0.26-0.32 ms.
  k.DeliveredSimpleBelow16 = false;
  return k;
}

}  // namespace
#endif

const Kernels* BuildAvx2Kernels() {
#ifdef KELVANE_HAVE_AVX2_KERNELS
  __builtin_cpu_init();
  // Also false when the operating system does not save the 256-bit registers.
  if (!__builtin_cpu_supports("avx2")) return nullptr;
  static const Kernels kernels = MakeAvx2Kernels();
  return &kernels;
#else
  return nullptr;
#endif
}

const Kernels* BuildVectorKernels() {
#ifdef KELVANE_HAVE_AVX2_KERNELS
  const Kernels* avx2_set = BuildAvx2Kernels();
  if (avx2_set == nullptr) return nullptr;
  // Also false when the operating system does not save the 512-bit registers.
  if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512bw") ||
      !__builtin_cpu_supports("avx512vbmi"))
    return avx2_set;
  static const Kernels kernels = MakeVbmiKernels(*avx2_set);
  return &kernels;
#else
  return nullptr;
#endif
}

}  // namespace kelvane::frames
