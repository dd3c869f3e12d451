// Camera-pair surface reconstruction: points seen by both cameras of one
// stereo pair, triangulated in both states from exactly two sightings.
#pragma once

#include <cstdint>
#include <vector>

#include "observations.hpp"
#include "views.hpp"

namespace kestrine {

// The rows a point uses in camera a and camera b.
struct PairSlots {
    std::int64_t id;
    std::int64_t row_a;
    std::int64_t row_b;
};

struct PairGroups {
    // Only points seen by both cameras, ascending id.
    std::vector<PairSlots, ScratchAllocator<PairSlots>> points;
    bool carries_a = false;         // some observation is in camera a
    bool carries_b = false;
};

// One pass over the table; within a camera the highest row of a point wins.
// With cam_a == cam_b every row goes to camera a, so no point is complete.
// Large tables are grouped by the whole team.
PairGroups group_pair(const ObservationTable& observations, int cam_a, int cam_b, Team& team);
PairGroups group_pair(const ObservationTable& observations, int cam_a, int cam_b);

struct PairSettings {
    int cam_a = 0;
    int cam_b = 1;
    double min_corrcoef = 0.0;
    double max_reprojection_error_px = 0.0;
    double scale = 1.0;
};

// The results of reconstruct_pair_surface_points, one row per point kept.
#define KESTRINE_PAIR_RESULTS(X)            \
    X(point_indices, std::int64_t, ())      \
    X(uv_ref_a, double, (2))                \
    X(uv_ref_b, double, (2))                \
    X(uv_def_a, double, (2))                \
    X(uv_def_b, double, (2))                \
    X(points_ref_sfm, double, (3))          \
    X(points_def_sfm, double, (3))          \
    X(points_ref_world, double, (3))        \
    X(points_def_world, double, (3))        \
    X(displacement_sfm, double, (3))        \
    X(displacement_world, double, (3))      \
    X(displacement_norm_world, double, ())  \
    X(corr_a, double, ())                   \
    X(corr_b, double, ())                   \
    X(corr_comb, double, ())                \
    X(reprojection_error_ref, double, ())   \
    X(reprojection_error_def, double, ())   \
    X(valid_points, bool, ())

struct PairOutputs {
    KESTRINE_PAIR_RESULTS(KESTRINE_RESULT_VIEW)
};

// Reconstructs points [first, last) of groups.points and writes the rows of
// those kept, in point order, to rows out_row, out_row + 1, ... of every
// output; returns how many it wrote (at most last - first). Points without a
// valid sample in both cameras, or whose triangulation fails in either state,
// are left out; threshold failures stay with valid_points false. World
// values are the sfm values times scale; the world displacement is the sfm
// difference scaled, not the difference of the scaled points.
std::int64_t reconstruct_pair_rows(const ObservedScene& scene, const PairGroups& groups,
                                   const PairSettings& settings, const PairOutputs& out,
                                   std::int64_t first, std::int64_t last, std::int64_t out_row);

// Every point, on `threads` members of the team taking chunks of points in turn; each
// chunk's kept rows are copied to their place in point order as soon as the
// chunks before have counted theirs. Returns the number of rows, which are
// the same bits whatever the thread count.
std::int64_t reconstruct_pairs_on_threads(const ObservedScene& scene, const PairGroups& groups,
                                          const PairSettings& settings, const PairOutputs& out,
                                          Team& team, int threads);

}  // namespace kestrine
