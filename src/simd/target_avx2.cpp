// The batch kernels instantiated for the avx2 target.
#include "simd/prelude.hpp"
#if defined(__x86_64__)
#pragma GCC target("avx2")
#include "deformation_batch.hpp"

namespace kestrine::simd {

void surface_rows_avx2(const SurfaceInputs& in, const SurfaceOutputs& out, std::int64_t begin,
                     std::int64_t end) {
    surface_rows_lanes<Avx2>(in, out, begin, end);
}

}  // namespace kestrine::simd
#endif
