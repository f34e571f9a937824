// Loops shared by the vector sets of both register widths: a source row's
// samples split into two column slots (slot A the pixels x + 2i, slot B
// x + 1 + 2i, each sample in the low or high half of a lane twice its width),
// and HQ linear (algorithm 3) on them. Include only inside a vector region
// (after avx2_begin.h or vbmi_begin.h), after the intrinsics; everything here
// has internal linkage.
//
// L, the lane operations, gives: Sample (the sample type), V (the register
// type), Slots (k[2], g[2], o[2] of V: the row colour, green and the other
// colour of each slot), Bgr and FromSlots<KIsB> (the slots joined into pixel
// order), Load, Lo and Hi (a slot's samples from a load), Add, Sub, Set,
// Sra<S>, Shl<S> and Clamp (to 0 .. max).
#pragma once

#include <cstddef>

#include "frames/demosaic_rows.h"

namespace kelvane::frames {
namespace {

// The loads of one source row around a block at x; Reach says how far to the
// sides the algorithm looks (0: only x .. x + 1, 1: one sample, 2: two).
template <typename L, int Reach>
struct SlotRow {
  using V = typename L::V;
  V m2 = L::Set(0), m1 = m2, z, p1, p2 = m2;

  SlotRow(const typename L::Sample* r, ptrdiff_t x) {
    z = L::Load(r + x);
    p1 = L::Load(r + x + 1);
    if constexpr (Reach >= 1) m1 = L::Load(r + x - 1);
    if constexpr (Reach >= 2) {
      m2 = L::Load(r + x - 2);
      p2 = L::Load(r + x + 2);
    }
  }

  // The sample dx columns away from each pixel of a slot (0: A, 1: B).
  V At(int slot, int dx) const {
    if (slot == 0) {
      switch (dx) {
        case -2:
          return L::Lo(m2);
        case -1:
          return L::Lo(m1);
        case 0:
          return L::Lo(z);
        case 1:
          return L::Hi(z);
        default:
          return L::Lo(p2);
      }
    }
    switch (dx) {
      case -2:
        return L::Hi(m2);
      case -1:
        return L::Lo(z);
      case 0:
        return L::Hi(z);
      case 1:
        return L::Hi(p1);
      default:
        return L::Hi(p2);
    }
  }
};

// Algorithm 3: gradient-corrected interpolation on the 5 x 5 neighbourhood,
// clamped. Each site passes its centre sample through as one of its outputs;
// where the samples are mapped as they are stored, the map's own clamp to its
// largest value (no more than `max`) stands in for that output's clamp
// (ClampCentre false).
template <typename L, bool GreenA, bool KIsB, bool ClampCentre>
struct HqSites {
  using R = SlotRow<L, 2>;
  using V = typename L::V;
  template <int Slot>
  [[gnu::always_inline]] static void Site(const R& up2, const R& up, const R& row, const R& down, const R& down2, V max,
                                          typename L::Slots& v) {
    const V one = L::Set(1);
    const V c = row.At(Slot, 0);
    const V n = up.At(Slot, 0), south = down.At(Slot, 0), e = row.At(Slot, 1), w = row.At(Slot, -1);
    const V n2 = up2.At(Slot, 0), s2 = down2.At(Slot, 0), e2 = row.At(Slot, 2), w2 = row.At(Slot, -2);
    const V diag = L::Add(L::Add(up.At(Slot, -1), up.At(Slot, 1)), L::Add(down.At(Slot, -1), down.At(Slot, 1)));
    // Each formula's rounding term 4 rides on its multiple of c: 4 (c + 1) = 4c + 4.
    const V c1 = L::Add(c, one);
    const V centre = ClampCentre ? L::Clamp(c, max) : c;
    if constexpr ((Slot == 0) == GreenA) {
      const V c5 = L::Add(L::template Shl<2>(c1), c);  // 5c + 4
      const V we2 = L::Add(w2, e2), ns2 = L::Add(n2, s2);
      // (5c + 4(W + E) - diag - (W2 + E2) + ((N2 + S2 + 1) >> 1) + 4) >> 3, and the same with the axes exchanged
      const V kv = L::Add(L::Sub(L::Sub(L::Add(c5, L::template Shl<2>(L::Add(w, e))), diag), we2),
                          L::template Sra<1>(L::Add(ns2, one)));
      const V ov = L::Add(L::Sub(L::Sub(L::Add(c5, L::template Shl<2>(L::Add(n, south))), diag), ns2),
                          L::template Sra<1>(L::Add(we2, one)));
      v.g[Slot] = centre;
      v.k[Slot] = L::Clamp(L::template Sra<3>(kv), max);
      v.o[Slot] = L::Clamp(L::template Sra<3>(ov), max);
    } else {
      const V axial = L::Add(L::Add(n, south), L::Add(w, e));
      const V axial2 = L::Add(L::Add(n2, s2), L::Add(w2, e2));
      // (4c + 2 axial - axial2 + 4) >> 3
      const V gv = L::Sub(L::Add(L::template Shl<2>(c1), L::template Shl<1>(axial)), axial2);
      // (2 (3c + diag) - ((3 axial2 + 1) >> 1) + 4) >> 3, with 2 (3c + 2 + diag) for 2 (3c + diag) + 4
      const V c3 = L::Add(L::template Shl<1>(c1), c);
      const V a3 = L::template Sra<1>(L::Add(L::Add(L::template Shl<1>(axial2), axial2), one));
      const V ov = L::Sub(L::template Shl<1>(L::Add(c3, diag)), a3);
      v.k[Slot] = centre;
      v.g[Slot] = L::Clamp(L::template Sra<3>(gv), max);
      v.o[Slot] = L::Clamp(L::template Sra<3>(ov), max);
    }
  }
  [[gnu::always_inline]] static typename L::Bgr Compute(const RowStretch<typename L::Sample>& s, ptrdiff_t x) {
    const V max = L::Set(s.max);
    const R up2(s.rows[0], x), up(s.rows[1], x), row(s.rows[2], x), down(s.rows[3], x), down2(s.rows[4], x);
    typename L::Slots v;
    Site<0>(up2, up, row, down, down2, max, v);
    Site<1>(up2, up, row, down, down2, max, v);
    return L::template FromSlots<KIsB>(v);
  }
};
}  // namespace
}  // namespace kelvane::frames
