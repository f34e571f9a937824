// Closes the region opened by avx2_begin.h or vbmi_begin.h.
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
