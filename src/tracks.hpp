// Multi-view track reconstruction: every point id becomes one row, with its
// reference and deformed position triangulated from all views whose DIC
// sample is valid.
#pragma once

#include <cstdint>
#include <vector>

#include "camera.hpp"
#include "observations.hpp"
#include "views.hpp"

namespace kestrine {

struct TrackSettings {
    int min_views = 2;
    double min_corrcoef = 0.0;
    double max_reprojection_error_px = 0.0;
    double scale = 1.0;
};

// Observation rows ordered by ascending point id, each track's rows in table
// order; a track is a run of equal ids.
struct TrackGroups {
    std::vector<IdRow> entries;
    std::int64_t track_count = 0;
};

TrackGroups group_tracks(const ObservationTable& observations);

struct TrackOutputs {
    ArrayView<std::int64_t, 1> point_indices;
    ArrayView<double, 2> points_ref_sfm;
    ArrayView<double, 2> points_def_sfm;
    ArrayView<double, 2> displacement_sfm;
    ArrayView<double, 2> points_ref_world;
    ArrayView<double, 2> points_def_world;
    ArrayView<double, 2> displacement_world;
    ArrayView<std::int32_t, 1> num_views;
    ArrayView<double, 1> mean_corrcoef;
    ArrayView<double, 1> reprojection_error_ref;
    ArrayView<double, 1> reprojection_error_def;
    ArrayView<BoolByte, 1> valid;
};

// Writes row r of every output for the r-th track. A rejected track gets zero
// points, its view count and mean correlation, and infinite errors unless it
// reached the reprojection check.
void reconstruct_track_rows(const CameraSet& cameras, const DicFieldStack& dic,
                            const ObservationTable& observations, const TrackGroups& groups,
                            const TrackSettings& settings, const TrackOutputs& out);

}  // namespace kestrine
