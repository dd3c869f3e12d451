// The batch kernels compiled for each instruction set, and the choice among
// them: every target is built into the module, the first one the CPU
// supports is used. The choice changes speed only, never a result bit.
#pragma once

#include <cstdint>
#include <span>

#include "deformation.hpp"
#include "pair.hpp"
#include "tracks.hpp"

namespace kestrine {

struct KernelTarget {
    const char* name;
    int width;  // lanes per register
    bool (*supported)();
    // Rows [begin, end) of the surface outputs, as compute_surface_rows.
    void (*surface_rows)(const SurfaceInputs& in, const SurfaceOutputs& out, std::int64_t begin,
                         std::int64_t end);
    // Rows [first, last) of the track outputs, as reconstruct_track_rows.
    void (*track_rows)(const ObservedScene& scene, const TrackGroups& groups,
                       const TrackSettings& settings, const TrackOutputs& out,
                       std::int64_t first, std::int64_t last, SightingScratch& scratch);
    // Points [first, last) written from out_row on, as reconstruct_pair_rows.
    std::int64_t (*pair_rows)(const ObservedScene& scene, const PairGroups& groups,
                              const PairSettings& settings, const PairOutputs& out,
                              std::int64_t first, std::int64_t last, std::int64_t out_row);
    // sample_dic of pixels (px[i], py[i]) of cameras cams[i], as the track
    // kernel samples its observations; a camera of -1 is no sample.
    void (*dic_samples)(const DicFieldStack& dic, const std::int32_t* cams, const double* px,
                        const double* py, std::int64_t n, double min_corrcoef, DicSample* out);
};

// Every target compiled into the module, best first; the last, the portable
// baseline, runs on every CPU.
std::span<const KernelTarget> kernel_targets();

// The first target the CPU supports; chosen once.
const KernelTarget& chosen_target();

}  // namespace kestrine
