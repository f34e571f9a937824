// The library's own small pool of threads that converts large frames in row
// bands beside the streaming thread. It starts its threads the first time a
// frame is large enough to share, and never more than the limit allows; the
// streaming thread always takes a band itself, so a frame is never left
// waiting for a thread that is busy elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvane::frames {

// Frames of fewer pixels than this are converted on the streaming thread
// alone: waking a second thread costs more than it saves on them.
inline constexpr size_t kDefaultBandPixels = size_t{1} << 20;

// Threads a frame may be converted on, the streaming thread included: 0 lets
// the library choose (the processor count, at most 4), 1 switches the pool off.
void SetConversionThreads(int32_t threads);
// The threads a large frame is converted on now (1 when the pool is off).
int32_t ConversionThreads();
// The smallest frame (in pixels) that is shared between threads; for tests,
// which use small frames. 0 restores the default.
void SetBandPixels(size_t pixels);
size_t BandPixels();

// Runs band(context, i) for i = 0 .. bands - 1, one band on the calling thread
// and the others on the pool's threads where there are any, and returns when
// every band is done. Several streaming threads may share the pool at once.
void RunBands(int32_t bands, void (*band)(void* context, int32_t index), void* context);

}  // namespace kelvane::frames
