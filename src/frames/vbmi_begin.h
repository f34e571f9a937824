// Included after every other header of a file of AVX-512 VBMI bodies: the
// functions that follow are compiled for AVX2 and AVX-512 F, BW and VBMI (see
// avx2_begin.h for why the region starts after the headers). avx2_end.h
// closes it.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512bw,avx512vbmi"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512bw,avx512vbmi")
#endif
