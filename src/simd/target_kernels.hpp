// The entry points of each target's translation unit (simd/target_*.cpp).
// Only their addresses are taken before the CPU has been asked.
#pragma once

#include <cstdint>

#include "deformation.hpp"
#include "pair.hpp"
#include "tracks.hpp"

namespace kestrine::simd {

// The lane types of the targets (simd/lanes.hpp defines them).
struct Baseline;
struct Avx2;
struct Avx512;

// The batch kernels, templates over the lane type. Each target's translation
// unit defines them for its lane type (KESTRINE_INSTANTIATE_TARGET), compiled
// for its instruction set; no other translation unit instantiates them.
template <typename L>
void surface_rows_lanes(const SurfaceInputs& in, const SurfaceOutputs& out, std::int64_t begin,
                        std::int64_t end);
template <typename L>
void track_rows_lanes(const ObservedScene& scene, const TrackGroups& groups,
                      const TrackSettings& settings, const TrackOutputs& out, std::int64_t first,
                      std::int64_t last, SightingScratch& scratch);
template <typename L>
std::int64_t pair_rows_lanes(const ObservedScene& scene, const PairGroups& groups,
                             const PairSettings& settings, const PairOutputs& out,
                             std::int64_t first, std::int64_t last, std::int64_t out_row);
template <typename L>
void dic_samples_lanes(const DicFieldStack& dic, const std::int32_t* cams, const double* px,
                       const double* py, std::int64_t n, double min_corrcoef, DicSample* out);

#define KESTRINE_INSTANTIATE_TARGET(L)                                                          \
    template void surface_rows_lanes<L>(const SurfaceInputs&, const SurfaceOutputs&,            \
                                        std::int64_t, std::int64_t);                            \
    template void track_rows_lanes<L>(const ObservedScene&, const TrackGroups&,                 \
                                      const TrackSettings&, const TrackOutputs&, std::int64_t,  \
                                      std::int64_t, SightingScratch&);                          \
    template std::int64_t pair_rows_lanes<L>(const ObservedScene&, const PairGroups&,           \
                                             const PairSettings&, const PairOutputs&,           \
                                             std::int64_t, std::int64_t, std::int64_t);         \
    template void dic_samples_lanes<L>(const DicFieldStack&, const std::int32_t*, const double*, \
                                       const double*, std::int64_t, double, DicSample*);

}  // namespace kestrine::simd
