#include "tracks.hpp"

#include <algorithm>

#include "parallel.hpp"
#include "simd/targets.hpp"

namespace kestrine {

namespace {

// A counting sort over the id range, in two passes over the table: the same
// entries and offsets as sorting, without the sort.
void group_dense_ids(const ObservationTable& observations, std::int64_t lowest, std::size_t span,
                     TrackGroups& groups) {
    const std::int64_t M = observations.size();
    const auto slot = [&](std::int64_t i) {
        return static_cast<std::size_t>(id_offset(observations.point_indices(i), lowest));
    };
    // place[k] becomes the first entry of id lowest + k.
    std::vector<std::int64_t, ScratchAllocator<std::int64_t>> place(span + 1, 0);
    for (std::int64_t i = 0; i < M; ++i) {
        ++place[slot(i) + 1];
    }
    std::size_t tracks = 0;
    for (std::size_t k = 1; k <= span; ++k) {
        tracks += place[k] > 0 ? 1 : 0;
        place[k] += place[k - 1];
    }
    // Without branches: every id writes its first entry where the next
    // track's start goes (past the last track, where the end goes), and
    // only an id with entries moves on.
    groups.starts.resize(tracks + 1);
    std::int64_t* const out = groups.starts.data();
    std::size_t n = 0;
    for (std::size_t k = 0; k < span; ++k) {
        out[n] = place[k];
        n += place[k + 1] > place[k] ? 1 : 0;
    }
    out[tracks] = M;
    groups.track_count = static_cast<std::int64_t>(tracks);
    groups.entries.resize(static_cast<std::size_t>(M));
    for (std::int64_t i = 0; i < M; ++i) {
        groups.entries[static_cast<std::size_t>(place[slot(i)]++)] = {observations.point_indices(i), i};
    }
}

}  // namespace

TrackGroups group_tracks(const ObservationTable& observations) {
    Team alone;
    return group_tracks(observations, alone);
}

TrackGroups group_tracks(const ObservationTable& observations, Team& team) {
    TrackGroups groups;
    const std::int64_t M = observations.size();
    const IdRange ids = id_range(observations);
    if (const std::size_t span = dense_span(ids, M); span > 0) {
        group_dense_ids(observations, ids.lowest, span, groups);
        return groups;
    }
    // Sorting and finding where tracks start split over the team where the
    // passes are long enough.
    const int T = M >= kThreadedGroupingMin ? team.size() : 1;
    groups.entries = sort_rows_by_id(observations, ids, team);
    const auto starts_track = [&](std::int64_t k) {
        return k == 0 || groups.entries[static_cast<std::size_t>(k)].id !=
                             groups.entries[static_cast<std::size_t>(k - 1)].id;
    };
    // Each range counts its track starts, then writes them from where the
    // ranges before it end. With threads, room for one track per observation
    // is taken first (only the offsets written touch memory), so nothing
    // inside the team allocates; alone, the count comes first and the
    // offsets take just their room, which is cheaper than faulting in fresh
    // pages for them.
    if (T == 1) {
        // Without branches: a track starts at about every fourth entry, at
        // random, which no branch predictor follows. Every entry writes its
        // offset where the next start goes, and only a start moves on.
        const IdRow* const e = groups.entries.data();
        std::int64_t tracks = M > 0 ? 1 : 0;
        for (std::int64_t k = 1; k < M; ++k) {
            tracks += e[k].id != e[k - 1].id ? 1 : 0;
        }
        groups.starts.resize(static_cast<std::size_t>(tracks) + 1);
        std::int64_t* const out = groups.starts.data();
        std::int64_t n = M > 0 ? 1 : 0;
        out[0] = 0;
        for (std::int64_t k = 1; k < M; ++k) {
            out[n] = k;
            n += e[k].id != e[k - 1].id ? 1 : 0;
        }
        groups.track_count = tracks;
        out[tracks] = M;
        return groups;
    }
    groups.starts.resize(static_cast<std::size_t>(M) + 1);
    std::vector<std::int64_t> counted(static_cast<std::size_t>(T), 0);
    team.run(T, [&](int t, int members, const auto& sync) {
        const std::vector<std::int64_t> ranges = range_bounds(members, M, 1);
        const auto me = static_cast<std::size_t>(t);
        std::int64_t count = 0;
        for (std::int64_t k = ranges[me]; k < ranges[me + 1]; ++k) {
            count += starts_track(k) ? 1 : 0;
        }
        counted[me] = count;
        sync();
        std::int64_t first = 0;
        for (std::size_t u = 0; u < me; ++u) {
            first += counted[u];
        }
        // Without branches, as alone, up to the range's last start, so that no
        // write lands in the next range's offsets.
        std::int64_t last = ranges[me + 1] - 1;
        while (last >= ranges[me] && !starts_track(last)) {
            --last;
        }
        std::int64_t* const out = groups.starts.data() + first;
        std::int64_t n = 0;
        for (std::int64_t k = ranges[me]; k <= last; ++k) {
            out[n] = k;
            n += starts_track(k) ? 1 : 0;
        }
    });
    groups.track_count = 0;
    for (const std::int64_t count : counted) {
        groups.track_count += count;
    }
    groups.starts.resize(static_cast<std::size_t>(groups.track_count) + 1);
    groups.starts.back() = M;
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
                                   Team& team, int threads) {
    // Aligned to whole lane groups (at most 8 tracks per register).
    team.run_ranges(threads, groups.track_count, 8, [&](std::int64_t first, std::int64_t last) {
        reconstruct_track_rows(scene, groups, settings, out, first, last);
    });
}

}  // namespace kestrine
