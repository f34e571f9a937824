// The builders of the vector kernel sets (kernels_any.cpp), for the set chooser
// (kernels.cpp) alone: the rest of the pipeline asks kernels.h for a set.
#pragma once

#include "frames/kernels.h"

namespace kelvane::frames {

// The widest set this processor runs (AVX2, or AVX-512 VBMI over it), or null.
const Kernels* BuildVectorKernels();
// The AVX2 set, or null when the processor or the build has none.
const Kernels* BuildAvx2Kernels();

}  // namespace kelvane::frames
