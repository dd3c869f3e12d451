// The batch kernels instantiated for the baseline target.
#include "simd/prelude.hpp"
// No instruction-set switch: this is the code every CPU runs.
#include "deformation_batch.hpp"

namespace kestrine::simd {

void surface_rows_baseline(const SurfaceInputs& in, const SurfaceOutputs& out, std::int64_t begin,
                     std::int64_t end) {
    surface_rows_lanes<Baseline>(in, out, begin, end);
}

}  // namespace kestrine::simd

