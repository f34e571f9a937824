// Averaging of converted frames: the plain mean of n frames and the recursive
// (exponential) blend. Both work on whole groups of 8 bytes; the last 1..7
// bytes of an image whose size is not a multiple of 8 are left as they were.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvane::frames {

inline constexpr int32_t kMaxMeanCnt = 32;

// result[k] = floor((frames[0][k] + ... + frames[n-1][k]) / n) for n in 2..32.
using AverageKernel = void (*)(const uint8_t* const* frames, size_t size, uint8_t* result);

// The kernel for n frames, chosen once per configuration; null outside 2..32.
AverageKernel SelectAverageKernel(int32_t n);

// Convenience for any n in 2..32 (does nothing for other n).
void AverageBuffers(const uint8_t* const* frames, int32_t n, size_t size, uint8_t* result);

// result[k] = (floor(newest[k] * wn / 256) + floor(result[k] * wo / 256)) >> 7 with
// wn = floor(c * 32768 / 100), wo = 32768 - wn, c = low byte of coefficient capped at 100.
void BlendRecursive(const uint8_t* newest, uint8_t* result, size_t size, int32_t coefficient);

}  // namespace kelvane::frames
