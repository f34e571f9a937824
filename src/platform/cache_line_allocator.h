// Memory that starts on a cache line, as capture drivers hand out frame
// buffers: whole 64-byte vector loads of a frame then never straddle two lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace kelvane::platform {

template <typename T>
struct CacheLineAllocator {
  using value_type = T;
  CacheLineAllocator() = default;
  template <typename U>
  explicit CacheLineAllocator(const CacheLineAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{64})); }
  void deallocate(T* p, size_t) { ::operator delete(p, std::align_val_t{64}); }
  bool operator==(const CacheLineAllocator&) const { return true; }
};

using FrameBuffer = std::vector<uint8_t, CacheLineAllocator<uint8_t>>;

}  // namespace kelvane::platform
