// Camera-pair surface reconstruction: points seen by both cameras of one
// stereo pair, triangulated in both states from exactly two views.
#pragma once

#include <cstdint>
#include <vector>

#include "camera.hpp"
#include "observations.hpp"
#include "views.hpp"

namespace kestrine {

// The rows a point uses in camera a and camera b; -1 when it has none there.
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
};

struct PairPointRow {
    std::int64_t point_id;
    Vector2 uv_ref_a;
    Vector2 uv_ref_b;
    Vector2 uv_def_a;
    Vector2 uv_def_b;
    Vector3 Xr;
    Vector3 Xd;
    double corr_a;
    double corr_b;
    double corr_comb;
    double reproj_ref;
    double reproj_def;
    bool is_valid;
};

// Points without a valid sample in both cameras, or whose triangulation fails
// in either state, are left out; threshold failures stay with is_valid false.
std::vector<PairPointRow> reconstruct_pair_rows(const CameraSet& cameras,
                                                const DicFieldStack& dic,
                                                const ObservationTable& observations,
                                                const PairGroups& groups,
                                                const PairSettings& settings);

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

// World values are the sfm values times scale; the world displacement is the
// sfm difference scaled, not the difference of the scaled points.
void write_pair_rows(const std::vector<PairPointRow>& rows, double scale, const PairOutputs& out);

}  // namespace kestrine
