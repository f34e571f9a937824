// The YUV to BGR arithmetic of the vector bodies, one formula for every
// register width (see convert_avx2.cpp for why it is exact). Include only
// inside an AVX2 or VBMI region of a *_avx2.cpp or *_vbmi.cpp file, after the
// intrinsics; everything here has internal linkage.
//
// Ops gives the register type V, a struct Bgr of three of them, and on
// 16-bit lanes: Maddubs (pair sums of
// unsigned bytes times signed weights), Add, Set, Sra8 and Srl8 (shifts right
// by 8, arithmetic and logical).
#pragma once

#include <cstdint>

namespace kelvane::frames {
namespace {

// The weights of a pair: bytes (first, second) of every lane; WeightsU takes
// the weights of y and u in the pair's order.
template <typename Ops>
[[gnu::always_inline]] inline typename Ops::V Weights(int first, int second) {
  return Ops::Set(static_cast<int16_t>((first & 0xFF) | (second * 256)));
}
template <typename Ops, bool UFirst>
[[gnu::always_inline]] inline typename Ops::V WeightsU(int y, int u) {
  return UFirst ? Weights<Ops>(u, y) : Weights<Ops>(y, u);
}

// Pixels given as byte pairs (y, u), or (u, y) when UFirst, and (y, v) per
// 16-bit lane, to B, G and R in 16-bit lanes (Ops::Bgr). The pair sums of
// maddubs stay far inside 16 bits, so none saturates.
template <typename Ops, bool UFirst>
[[gnu::always_inline]] inline typename Ops::Bgr YuvCore(typename Ops::V yu, typename Ops::V yv) {
  using V = typename Ops::V;
  constexpr auto wu = WeightsU<Ops, UFirst>;
  constexpr auto w = Weights<Ops>;
  typename Ops::Bgr p;
  // B = (y + 2u - 272) + ((42y + 4u - 1056) >> 8)
  p.b = Ops::Add(Ops::Add(Ops::Maddubs(yu, wu(1, 2)), Ops::Set(-272)),
                 Ops::Sra8(Ops::Add(Ops::Maddubs(yu, wu(42, 4)), Ops::Set(-1056))));
  // G = (y - v + 112) + ((42y + 48v - 100u + 6112) >> 8); the u term from the
  // (y, u) pair with y weighed 0 spares a third pair vector and its shuffle.
  // The 112 rides in the shifted sum: 42y + 48v - 100u + 6112 + 112 * 256 lies
  // within 9284 .. 57734, so a logical shift of the wrapped 16 bits is exact.
  const V gl = Ops::Add(Ops::Add(Ops::Maddubs(yv, w(42, 48)), Ops::Maddubs(yu, wu(0, -100))),
                        Ops::Set(static_cast<int16_t>(6112 + 112 * 256 - 65536)));
  p.g = Ops::Add(Ops::Maddubs(yv, w(1, -1)), Ops::Srl8(gl));
  // R = (y + 2v - 272) + ((42y - 103v + 12640) >> 8), from 409 = 512 - 103
  p.r = Ops::Add(Ops::Add(Ops::Maddubs(yv, w(1, 2)), Ops::Set(-272)),
                 Ops::Sra8(Ops::Add(Ops::Maddubs(yv, w(42, -103)), Ops::Set(12640))));
  return p;
}

}  // namespace
}  // namespace kelvane::frames
