// The entry points of each target's translation unit (simd/target_*.cpp).
// Only their addresses are taken before the CPU has been asked.
#pragma once

#include <cstdint>

#include "deformation.hpp"
#include "pair.hpp"
#include "tracks.hpp"

namespace kestrine::simd {

#define KESTRINE_TARGET_ENTRIES(target)                                                        \
    void surface_rows_##target(const SurfaceInputs& in, const SurfaceOutputs& out,           \
                               std::int64_t begin, std::int64_t end);                     \
    void track_rows_##target(const ObservedScene& scene, const TrackGroups& groups,          \
                             const TrackSettings& settings, const TrackOutputs& out,         \
                             std::int64_t first, std::int64_t last, SightingScratch& scratch); \
    std::int64_t pair_rows_##target(const ObservedScene& scene, const PairGroups& groups,    \
                                    const PairSettings& settings, const PairOutputs& out,    \
                                    std::int64_t first, std::int64_t last,                   \
                                    std::int64_t out_row);

KESTRINE_TARGET_ENTRIES(baseline)
#if defined(__x86_64__)
KESTRINE_TARGET_ENTRIES(avx2)
KESTRINE_TARGET_ENTRIES(avx512)
#endif

#undef KESTRINE_TARGET_ENTRIES

}  // namespace kestrine::simd
