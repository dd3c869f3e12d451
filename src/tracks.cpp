#include "tracks.hpp"

#include "parallel.hpp"
#include "simd/targets.hpp"

namespace kestrine {

TrackGroups group_tracks(const ObservationTable& observations, int threads) {
    TrackGroups groups;
    const std::int64_t M = observations.size();
    groups.entries.reserve(static_cast<std::size_t>(M));
    for (std::int64_t i = 0; i < M; ++i) {
        groups.entries.push_back({observations.point_indices(i), i});
    }
    sort_by_id(groups.entries, threads);
    const auto starts_track = [&](std::size_t k) {
        return k == 0 || groups.entries[k].id != groups.entries[k - 1].id;
    };
    // Counted first, so the offsets are allocated once at their size.
    std::size_t tracks = 0;
    for (std::size_t k = 0; k < groups.entries.size(); ++k) {
        tracks += starts_track(k) ? 1 : 0;
    }
    groups.starts.reserve(tracks + 1);
    for (std::size_t k = 0; k < groups.entries.size(); ++k) {
        if (starts_track(k)) {
            groups.starts.push_back(static_cast<std::int64_t>(k));
        }
    }
    groups.track_count = static_cast<std::int64_t>(groups.starts.size());
    groups.starts.push_back(M);
    return groups;
}

SightingBuffers reserve_sightings(SightingScratch& scratch, std::int64_t count) {
    // One register of padding past the last sighting: lanes load whole registers.
    const auto capacity = static_cast<std::size_t>(count + 8);
    if (scratch.cams.size() < capacity) {
        scratch.values.resize(capacity * kSightingFields);
        scratch.cams.resize(capacity);
        scratch.owner.resize(capacity);
    }
    return {scratch.values.data(), scratch.cams.data(), scratch.owner.data(),
            static_cast<std::int64_t>(scratch.cams.size())};
}

void reconstruct_track_rows(const ObservedScene& scene, const TrackGroups& groups,
                            const TrackSettings& settings, const TrackOutputs& out,
                            std::int64_t first, std::int64_t last) {
    SightingScratch scratch;
    chosen_target().track_rows(scene, groups, settings, out, first, last, scratch);
}

void reconstruct_tracks_on_threads(const ObservedScene& scene, const TrackGroups& groups,
                                   const TrackSettings& settings, const TrackOutputs& out,
                                   int threads) {
    // Aligned to whole lane groups (at most 8 tracks per register).
    run_ranges(threads, groups.track_count, 8, [&](std::int64_t first, std::int64_t last) {
        reconstruct_track_rows(scene, groups, settings, out, first, last);
    });
}

}  // namespace kestrine
