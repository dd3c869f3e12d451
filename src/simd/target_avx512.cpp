// The batch kernels compiled for AVX-512.
#include "simd/prelude.hpp"
#if defined(__x86_64__)
#pragma GCC target("avx512f")
#include "deformation_batch.hpp"
#include "triangulation_batch.hpp"

namespace kestrine::simd {
KESTRINE_INSTANTIATE_TARGET(Avx512)
}  // namespace kestrine::simd
#endif
