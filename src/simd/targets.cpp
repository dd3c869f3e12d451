#include "simd/targets.hpp"

#include "simd/target_kernels.hpp"

namespace kestrine {

namespace {

bool always() { return true; }

#if defined(__x86_64__)
bool has_avx2() { return __builtin_cpu_supports("avx2"); }
bool has_avx512() { return __builtin_cpu_supports("avx512f"); }
#endif

// Taking a kernel's address runs none of its instructions, so the table
// itself is safe on any CPU.
template <typename L>
constexpr KernelTarget target(const char* name, int width, bool (*supported)()) {
    return {name,
            width,
            supported,
            simd::surface_rows_lanes<L>,
            simd::track_rows_lanes<L>,
            simd::pair_rows_lanes<L>,
            simd::dic_samples_lanes<L>};
}

constexpr KernelTarget kTargets[] = {
#if defined(__x86_64__)
    target<simd::Avx512>("avx512", 8, has_avx512),
    target<simd::Avx2>("avx2", 4, has_avx2),
#endif
    target<simd::Baseline>("baseline", 2, always),
};

const KernelTarget& first_supported() {
    for (const KernelTarget& target : kTargets) {
        if (target.supported()) {
            return target;
        }
    }
    return kTargets[std::size(kTargets) - 1];
}

}  // namespace

std::span<const KernelTarget> kernel_targets() { return kTargets; }

const KernelTarget& chosen_target() {
    static const KernelTarget& chosen = first_supported();
    return chosen;
}

}  // namespace kestrine
