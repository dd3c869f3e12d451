// The batch kernels compiled for the baseline: SSE2 on x86-64, portable
// vector code elsewhere. No instruction-set switch: every CPU runs this.
#include "simd/prelude.hpp"
#include "deformation_batch.hpp"
#include "triangulation_batch.hpp"

namespace kestrine::simd {
KESTRINE_INSTANTIATE_TARGET(Baseline)
}  // namespace kestrine::simd
