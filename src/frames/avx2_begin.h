// Included after every other header of a *_avx2.cpp file: the functions that
// follow are compiled for AVX2, while the inline functions of the headers above
// keep the baseline instruction set (the linker may pick their copies for
// callers on any processor). avx2_end.h closes the region.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
