// The kernels of the frame pipeline as one table of function pointers, so that
// a frame store picks a whole set once, when it is configured, and never tests
// the processor per frame or per pixel.
//
// The sets: the scalar reference (convert_common.cpp, demosaic.cpp,
// average_common.cpp) and, on x86-64 processors with AVX2, a vector set that
// gives exactly the same bytes (the *_avx2.cpp files hold the vector bodies,
// kernels_any.cpp the pixels left over at the end of a row or buffer). Where the
// processor also has AVX-512 VBMI, the vector set is the AVX2 one with the
// logarithmic 16-bit map, YUV to BGR, Y444 luma and BGR to grey done by byte
// permutes (convert_vbmi.cpp, yuv_vbmi.cpp, grey_vbmi.cpp) and the 16-bit raw unpacking and demosaicing interiors 32
// samples to a register (demosaic_vbmi.cpp). KELVANE_FORCE_SCALAR=1 in the environment, read once, pins the scalar set;
// KELVANE_KERNELS=<name> pins any set the processor runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frames/average.h"
#include "frames/demosaic_rows.h"

namespace kelvane::frames {

struct Kernels {
  const char* name;

  void (*I420ToBgr)(const uint8_t* y_plane, const uint8_t* u_plane, const uint8_t* v_plane, uint8_t* bgr, int32_t width,
                    int32_t rows);
  void (*Y411ToBgr)(const uint8_t* src, uint8_t* bgr, size_t groups);
  void (*Y411ToLuma)(const uint8_t* src, uint8_t* grey, size_t groups);
  void (*UyvyToBgr)(const uint8_t* src, uint8_t* bgr, size_t groups);
  void (*UyvyToLuma)(const uint8_t* src, uint8_t* grey, size_t groups);
  void (*Yuy2ToBgr)(const uint8_t* src, uint8_t* bgr, size_t groups);
  void (*Yuy2ToLuma)(const uint8_t* src, uint8_t* grey, size_t groups);
  void (*Y444ToBgr)(const uint8_t* src, uint8_t* bgr, size_t pixels);
  void (*Y444ToLuma)(const uint8_t* src, uint8_t* grey, size_t pixels);
  void (*BgrToGrey)(const uint8_t* src, uint8_t* grey, size_t pixels, size_t bytes_per_pixel);
  void (*CopyRowsReversed)(const uint8_t* image, uint8_t* out, size_t row_bytes, size_t rows);

  void (*Unpack16)(const uint8_t* src, uint16_t* samples, size_t count, bool swap, int32_t shift);
  void (*Mono16ToGrey)(const uint8_t* src, uint8_t* grey, size_t count, bool swap, int32_t shift, const uint8_t* map,
                       uint16_t largest);
  void (*Map16ToBytes)(const uint16_t* samples, uint8_t* dst, size_t count, const uint8_t* map, uint16_t largest);
  void (*Map16ToGrey)(const uint16_t* bgr16, uint8_t* grey, size_t pixels, const uint8_t* map, uint16_t largest);

  // The demosaicing reference, or in a vector set the reference with the set's
  // interiors (demosaic_rows.h): whole frames, row bands of a frame, and rows
  // handed to a sink one by one.
  bool (*Demosaic8)(const uint8_t* src, uint8_t* dst, int32_t w, int32_t h, BayerPattern pattern,
                    BayerAlgorithm algorithm);
  bool (*Demosaic16)(const uint16_t* src, uint16_t* dst, int32_t w, int32_t h, BayerPattern pattern,
                     BayerAlgorithm algorithm, int32_t bits);
  bool (*Demosaic8Band)(const uint8_t* src, uint8_t* dst, int32_t w, int32_t h, BayerPattern pattern,
                        BayerAlgorithm algorithm, int32_t from, int32_t to);
  bool (*Demosaic8Rows)(const uint8_t* src, uint8_t* row_buffer, int32_t w, int32_t h, BayerPattern pattern,
                        BayerAlgorithm algorithm, const RowSink<uint8_t>& sink);
  bool (*Demosaic16Rows)(const uint16_t* src, uint16_t* row_buffer, int32_t w, int32_t h, BayerPattern pattern,
                         BayerAlgorithm algorithm, int32_t bits, const RowSink<uint16_t>& sink);

  // Algorithm 4 on delivered 16-bit samples (byte-swapped when `swap`) under
  // the linear map of `bits` significant bits (10 .. 16), read straight from
  // the frame without unpacking: rows [from, to) of the w x h output, 3 bytes
  // a pixel, or the grey byte. Null in the scalar set; false, with nothing
  // written, for a frame it leaves to the interiors: narrower than its vector
  // blocks need (33 pixels). An empty range [0, 0) asks whether it takes the
  // frame.
  bool (*DeliveredSimpleRows)(const uint8_t* data, uint8_t* out, int32_t w, int32_t h, BayerPattern pattern, bool swap,
                              int32_t bits, bool grey, int32_t from, int32_t to);
  // Whether frames under the maps of 10 to 15 bits go to DeliveredSimpleRows
  // too; where not, they are unpacked first, which some processors run faster
  // (the masks and byte swaps those maps need cost more than the unpacking).
  bool DeliveredSimpleBelow16 = false;
  // Plain mean of n frames at index n - 2, n = 2..32.
  AverageKernel Average[kMaxMeanCnt - 1];
  void (*BlendRecursive)(const uint8_t* newest, uint8_t* result, size_t size, int32_t coefficient);
};

// The scalar reference set.
const Kernels& ScalarKernels();

// The vector set when this processor runs it, else null (other processors and
// other architectures). Not affected by KELVANE_FORCE_SCALAR.
const Kernels* VectorKernels();

// Every vector set this processor runs, narrowest first (the AVX2 set, then the
// one with AVX-512 VBMI where present), so tests can compare each with the
// reference. Empty on other processors and architectures.
std::vector<const Kernels*> VectorKernelSets();

// The set called `name` ("scalar", "avx2", "avx512vbmi") if this processor
// runs it, else null.
const Kernels* NamedKernels(const char* name);

// The set frame stores use: the set KELVANE_KERNELS names, if this processor
// runs it (for measuring a narrower set on a wider processor); else the vector
// set where available, unless KELVANE_FORCE_SCALAR is set to a value other
// than "0" or empty. Decided once per process.
const Kernels& SelectKernels();

}  // namespace kelvane::frames
