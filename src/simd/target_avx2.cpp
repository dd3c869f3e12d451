// The batch kernels compiled for AVX2.
#include "simd/prelude.hpp"
#if defined(__x86_64__)
#pragma GCC target("avx2")
#include "deformation_batch.hpp"
#include "triangulation_batch.hpp"

namespace kestrine::simd {
KESTRINE_INSTANTIATE_TARGET(Avx2)
}  // namespace kestrine::simd
#endif
