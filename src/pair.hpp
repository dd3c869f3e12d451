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
    std::vector<PairSlots> points;  // only points seen by both cameras, ascending id
    bool carries_a = false;         // some observation is in camera a
    bool carries_b = false;
};

// One pass over the table; within a camera the highest row of a point wins.
// With cam_a == cam_b every row goes to camera a, so no point is complete.
PairGroups group_pair(const ObservationTable& observations, int cam_a, int cam_b);

struct PairSettings {
    int cam_a = 0;
    int cam_b = 1;
    double min_corrcoef = 0.0;
    double max_reprojection_error_px = 0.0;
    double scale = 1.0;
};

struct PairOutputs {
    ArrayView<std::int64_t, 1> point_indices;
    ArrayView<double, 2> uv_ref_a;
    ArrayView<double, 2> uv_ref_b;
    ArrayView<double, 2> uv_def_a;
    ArrayView<double, 2> uv_def_b;
    ArrayView<double, 2> points_ref_sfm;
    ArrayView<double, 2> points_def_sfm;
    ArrayView<double, 2> points_ref_world;
    ArrayView<double, 2> points_def_world;
    ArrayView<double, 2> displacement_sfm;
    ArrayView<double, 2> displacement_world;
    ArrayView<double, 1> displacement_norm_world;
    ArrayView<double, 1> corr_a;
    ArrayView<double, 1> corr_b;
    ArrayView<double, 1> corr_comb;
    ArrayView<double, 1> reprojection_error_ref;
    ArrayView<double, 1> reprojection_error_def;
    ArrayView<BoolByte, 1> valid_points;
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

}  // namespace kestrine
