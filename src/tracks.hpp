// Multi-view track reconstruction: every point id becomes one row, with its
// reference and deformed position triangulated from all sightings whose DIC
// sample is valid.
#pragma once

#include <cstdint>
#include <vector>

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
// order: track r is entries[starts[r]] up to entries[starts[r + 1]].
struct TrackGroups {
    IdRows entries;
    std::vector<std::int64_t, ScratchAllocator<std::int64_t>> starts;  // track_count + 1 offsets
    std::int64_t track_count = 0;
};

// Large tables are grouped by the whole team.
TrackGroups group_tracks(const ObservationTable& observations, Team& team);
TrackGroups group_tracks(const ObservationTable& observations);

// The results of reconstruct_tracks, one row per track.
#define KESTRINE_TRACK_RESULTS(X)      \
    X(point_indices, std::int64_t, ()) \
    X(points_ref_sfm, double, (3))     \
    X(points_def_sfm, double, (3))     \
    X(displacement_sfm, double, (3))   \
    X(points_ref_world, double, (3))   \
    X(points_def_world, double, (3))   \
    X(displacement_world, double, (3)) \
    X(num_views, std::int32_t, ())     \
    X(mean_corrcoef, double, ())       \
    X(reprojection_error_ref, double, ()) \
    X(reprojection_error_def, double, ()) \
    X(valid, bool, ())

struct TrackOutputs {
    KESTRINE_TRACK_RESULTS(KESTRINE_RESULT_VIEW)
};

// Rows [first, last) of every output, row r for track r of groups. A rejected
// track gets zero points, its num_views and mean correlation, and infinite
// errors unless it reached the reprojection check. A camera index outside
// usable_cameras() is an invalid sample. Ranges touch disjoint rows.
void reconstruct_track_rows(const ObservedScene& scene, const TrackGroups& groups,
                            const TrackSettings& settings, const TrackOutputs& out,
                            std::int64_t first, std::int64_t last);

// Every row, the tracks split into contiguous ranges over `threads` members
// of the team; the same bits whatever the count.
void reconstruct_tracks_on_threads(const ObservedScene& scene, const TrackGroups& groups,
                                   const TrackSettings& settings, const TrackOutputs& out,
                                   Team& team, int threads);

// Per-sighting working arrays of the batch kernels, owned by one call of
// reconstruct_track_rows: kSightingFields arrays of `capacity` doubles each,
// and the sightings' cameras.
struct SightingBuffers {
    double* values = nullptr;
    std::int32_t* cams = nullptr;
    std::int32_t* owner = nullptr;  // track of each sighting, within its block
    std::int64_t capacity = 0;
};
inline constexpr int kSightingFields = 11;

struct SightingScratch {
    std::vector<double> values;
    std::vector<std::int32_t> cams;
    std::vector<std::int32_t> owner;
};

// Buffers for at least `count` sightings plus one register of padding. Kept
// out of line so that the vector code is compiled once, for the baseline.
SightingBuffers reserve_sightings(SightingScratch& scratch, std::int64_t count);

}  // namespace kestrine
