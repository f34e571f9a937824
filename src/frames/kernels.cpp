// The scalar kernel set and the choice of the set frame stores use.
#include "frames/kernels.h"

#include "frames/kernel_sets.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "frames/convert.h"
#include "frames/demosaic.h"
#include "frames/demosaic_rows.h"

namespace kelvane::frames {

namespace {

Kernels MakeScalarKernels() {
  Kernels k{};
  k.name = "scalar";
  k.I420ToBgr = I420ToBgr;
  k.Y411ToBgr = Y411ToBgr;
  k.Y411ToLuma = Y411ToLuma;
  k.UyvyToBgr = UyvyToBgr;
  k.UyvyToLuma = UyvyToLuma;
  k.Yuy2ToBgr = Yuy2ToBgr;
  k.Yuy2ToLuma = Yuy2ToLuma;
  k.Y444ToBgr = Y444ToBgr;
  k.Y444ToLuma = Y444ToLuma;
  k.BgrToGrey = BgrToGrey;
  k.CopyRowsReversed = CopyRowsReversed;
  k.Unpack16 = Unpack16;
  k.Mono16ToGrey = Mono16ToGrey;
  k.Map16ToBytes = Map16ToBytes;
  k.Map16ToGrey = Map16ToGrey;
  k.Demosaic8 = Demosaic8;
  k.Demosaic16 = Demosaic16;
  k.Demosaic8Band = Demosaic8Band;
  k.Demosaic8Rows = Demosaic8Rows;
  k.Demosaic16Rows = Demosaic16Rows;
  for (int32_t n = 2; n <= kMaxMeanCnt; ++n) k.Average[n - 2] = SelectAverageKernel(n);
  k.BlendRecursive = BlendRecursive;
  return k;
}

bool ScalarForced() {
  const char* value = std::getenv("KELVANE_FORCE_SCALAR");
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

}  // namespace

const Kernels* NamedKernels(const char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  if (std::strcmp(name, ScalarKernels().name) == 0) return &ScalarKernels();
  for (const Kernels* set : VectorKernelSets())
    if (std::strcmp(name, set->name) == 0) return set;
  return nullptr;
}

const Kernels& ScalarKernels() {
  static const Kernels kernels = MakeScalarKernels();
  return kernels;
}

const Kernels* VectorKernels() {
  static const Kernels* const kernels = BuildVectorKernels();
  return kernels;
}

std::vector<const Kernels*> VectorKernelSets() {
  std::vector<const Kernels*> sets;
  if (const Kernels* avx2_set = BuildAvx2Kernels()) sets.push_back(avx2_set);
  if (const Kernels* widest = VectorKernels(); widest != nullptr && (sets.empty() || widest != sets.back()))
    sets.push_back(widest);
  return sets;
}

const Kernels& SelectKernels() {
  // The environment is read once; a frame store configured later gets the same set.
  static const Kernels* const chosen = [] {
    if (const Kernels* named = NamedKernels(std::getenv("KELVANE_KERNELS"))) return named;
    const Kernels* vector = ScalarForced() ? nullptr : VectorKernels();
    return vector != nullptr ? vector : &ScalarKernels();
  }();
  return *chosen;
}

}  // namespace kelvane::frames
