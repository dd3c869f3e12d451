// Everything a target's translation unit includes before it switches the
// instruction set. Standard and project headers must be parsed here, under
// the baseline target: an inline function they define would otherwise be
// compiled for AVX in one translation unit and could be the copy the linker
// keeps for all of them. The lane operations (simd/lanes.hpp) are the
// opposite: they are included after the switch, by the batch kernels, so
// that they compile for the target that uses them.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "camera.hpp"
#include "deformation.hpp"
#include "dic_sampling.hpp"
#include "observations.hpp"
#include "pair.hpp"
#include "simd/target_kernels.hpp"
#include "tracks.hpp"
#include "algebra.hpp"
#include "views.hpp"
