// The batch kernels instantiated for the avx2 target.
#include "simd/prelude.hpp"
#if defined(__x86_64__)
#pragma GCC target("avx2")
#include "deformation_batch.hpp"
#include "triangulation_batch.hpp"

namespace kestrine::simd {

void surface_rows_avx2(const SurfaceInputs& in, const SurfaceOutputs& out, std::int64_t begin,
                     std::int64_t end) {
    surface_rows_lanes<Avx2>(in, out, begin, end);
}

void track_rows_avx2(const ObservedScene& scene, const TrackGroups& groups,
                   const TrackSettings& settings, const TrackOutputs& out, std::int64_t first,
                   std::int64_t last, SightingScratch& scratch) {
    track_rows_lanes<Avx2>(scene, groups, settings, out, first, last, scratch);
}

std::int64_t pair_rows_avx2(const ObservedScene& scene, const PairGroups& groups,
                          const PairSettings& settings, const PairOutputs& out,
                          std::int64_t first, std::int64_t last, std::int64_t out_row) {
    return pair_rows_lanes<Avx2>(scene, groups, settings, out, first, last, out_row);
}

}  // namespace kestrine::simd
#endif
