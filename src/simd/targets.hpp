// The batch kernels compiled for each instruction set, and the choice among
// them: every target is built into the module, the first one the CPU
// supports is used. The choice changes speed only, never a result bit.
#pragma once

#include <cstdint>
#include <span>

#include "deformation.hpp"

namespace kestrine {

struct KernelTarget {
    const char* name;
    int width;  // lanes per register
    bool (*supported)();
    // Rows [begin, end) of the surface outputs, as compute_surface_rows.
    void (*surface_rows)(const SurfaceInputs& in, const SurfaceOutputs& out, std::int64_t begin,
                         std::int64_t end);
};

// Every target compiled into the module, best first; the last, the portable
// baseline, runs on every CPU.
std::span<const KernelTarget> kernel_targets();

// The first target the CPU supports; chosen once.
const KernelTarget& chosen_target();

}  // namespace kestrine
