#include "tracks.hpp"

#include <limits>

namespace kestrine {

TrackGroups group_tracks(const ObservationTable& observations) {
    TrackGroups groups;
    const std::int64_t M = observations.size();
    groups.entries.reserve(static_cast<std::size_t>(M));
    for (std::int64_t i = 0; i < M; ++i) {
        groups.entries.push_back({observations.point_indices(i), i});
    }
    sort_by_id(groups.entries);
    for (std::size_t k = 0; k < groups.entries.size(); ++k) {
        if (k == 0 || groups.entries[k].id != groups.entries[k - 1].id) {
            ++groups.track_count;
        }
    }
    return groups;
}

namespace {

constexpr std::size_t kPrefetchAhead = 16;

// The six parallel per-track lists; kept across tracks so their capacity is
// reused instead of reallocated for every track.
struct TrackViews {
    std::vector<Vector2> rays_ref;
    std::vector<Vector2> rays_def;
    std::vector<Matrix34> projections;
    std::vector<int> cams;
    std::vector<Vector2> uv_ref_used;
    std::vector<Vector2> uv_def_used;
    double corr_sum = 0.0;

    void clear() {
        rays_ref.clear();
        rays_def.clear();
        projections.clear();
        cams.clear();
        uv_ref_used.clear();
        uv_def_used.clear();
        corr_sum = 0.0;
    }

    void append(int c, const ObservedView& view, double corr) {
        rays_ref.push_back(view.ray_ref);
        rays_def.push_back(view.ray_def);
        projections.push_back(view.pose);
        cams.push_back(c);
        uv_ref_used.push_back(view.uv_ref);
        uv_def_used.push_back(view.uv_def);
        corr_sum += corr;
    }
};

}  // namespace

namespace {

// The run of entries [begin, end) that shares one id, starting at begin.
std::size_t track_end(const std::vector<IdRow>& entries, std::size_t begin) {
    std::size_t end = begin + 1;
    while (end < entries.size() && entries[end].id == entries[begin].id) {
        ++end;
    }
    return end;
}

void gather_views(const CameraSet& cameras, const DicFieldStack& dic,
                  const ObservationTable& observations, const std::vector<IdRow>& entries,
                  std::size_t begin, std::size_t end, double min_corrcoef, TrackViews& views) {
    views.clear();
    for (std::size_t k = begin; k < end; ++k) {
        // Rows of a track lie anywhere in the table and its pixels anywhere
        // in the DIC grids: ask early for what later observations will read.
        if (k + kPrefetchAhead < entries.size()) {
            observations.prefetch(entries[k + kPrefetchAhead].row);
        }
        if (k + kPrefetchAhead / 2 < entries.size()) {
            const std::int64_t ahead = entries[k + kPrefetchAhead / 2].row;
            const Vector2 uv = observations.pixel(ahead);
            prefetch_dic(dic, observations.cam_indices(ahead), uv.x, uv.y);
        }
        const std::int64_t i = entries[k].row;
        const int c = observations.cam_indices(i);
        const Vector2 uv_ref = observations.pixel(i);
        const DicSample sample = sample_dic(dic, c, uv_ref.x, uv_ref.y, min_corrcoef);
        if (!sample.valid) {
            continue;
        }
        views.append(c, make_view(cameras, c, uv_ref, sample), sample.corr);
    }
}

// Reprojection check of a triangulated track and its row of the outputs.
void write_track_row(const CameraSet& cameras, const TrackSettings& settings,
                     const TrackOutputs& out, std::int64_t r, std::int64_t id,
                     const TrackViews& views, bool triangulated, const Vector3& Xr,
                     const Vector3& Xd) {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    const std::int64_t n = static_cast<std::int64_t>(views.cams.size());
    double err_ref = kInfinity;
    double err_def = kInfinity;
    bool valid = false;
    if (triangulated) {
        err_ref = 0.0;
        err_def = 0.0;
        for (std::size_t v = 0; v < views.cams.size(); ++v) {
            const int c = views.cams[v];
            const Vector2 p = project_point(Xr, cameras.K, cameras.dist, cameras.R, cameras.t, c);
            const Vector2 q = project_point(Xd, cameras.K, cameras.dist, cameras.R, cameras.t, c);
            err_ref += pixel_error(p, views.uv_ref_used[v]);
            err_def += pixel_error(q, views.uv_def_used[v]);
        }
        err_ref = err_ref / static_cast<double>(n);
        err_def = err_def / static_cast<double>(n);
        // NaN on either side fails both comparisons.
        valid = settings.max_reprojection_error_px >= err_ref &&
                settings.max_reprojection_error_px >= err_def;
    }

    out.point_indices(r) = id;
    for (int k = 0; k < 3; ++k) {
        const double pr = valid ? Xr[k] : 0.0;
        const double pd = valid ? Xd[k] : 0.0;
        const double d = valid ? Xd[k] - Xr[k] : 0.0;
        out.points_ref_sfm(r, k) = pr;
        out.points_def_sfm(r, k) = pd;
        out.displacement_sfm(r, k) = d;
        out.points_ref_world(r, k) = pr * settings.scale;
        out.points_def_world(r, k) = pd * settings.scale;
        out.displacement_world(r, k) = d * settings.scale;
    }
    out.num_views(r) = static_cast<std::int32_t>(n);
    out.mean_corrcoef(r) = n > 0 ? views.corr_sum / static_cast<double>(n) : 0.0;
    out.reprojection_error_ref(r) = err_ref;
    out.reprojection_error_def(r) = err_def;
    out.valid(r) = valid ? 1 : 0;
}

}  // namespace

void reconstruct_track_rows(const CameraSet& cameras, const DicFieldStack& dic,
                            const ObservationTable& observations, const TrackGroups& groups,
                            const TrackSettings& settings, const TrackOutputs& out) {
    constexpr std::size_t kBatch = kMaxTriangulationBatch;
    const std::vector<IdRow>& entries = groups.entries;
    // Tracks are triangulated a few at a time so that their eigen-solves
    // overlap; every track's arithmetic is the same as on its own.
    TrackViews views[kBatch];
    std::int64_t ids[kBatch] = {};
    PointRays eligible[kBatch];
    std::size_t slot_of[kBatch] = {};
    Vector3 Xr[kBatch];
    Vector3 Xd[kBatch];
    bool ok[kBatch] = {};
    std::int64_t r = 0;
    std::size_t begin = 0;
    while (begin < entries.size()) {
        std::size_t count = 0;
        std::size_t solved = 0;
        for (; count < kBatch && begin < entries.size(); ++count) {
            const std::size_t end = track_end(entries, begin);
            ids[count] = entries[begin].id;
            gather_views(cameras, dic, observations, entries, begin, end, settings.min_corrcoef,
                         views[count]);
            // Nothing is triangulated for a track below min_views.
            if (static_cast<std::int64_t>(views[count].cams.size()) >= settings.min_views) {
                eligible[solved] = {views[count].rays_ref, views[count].rays_def,
                                    views[count].projections};
                slot_of[solved] = count;
                ++solved;
            }
            begin = end;
        }
        bool triangulated[kBatch] = {};
        triangulate_dlt_states(std::span(eligible, solved), std::span(Xr, solved),
                               std::span(Xd, solved), std::span(ok, solved));
        Vector3 track_Xr[kBatch];
        Vector3 track_Xd[kBatch];
        for (std::size_t j = 0; j < solved; ++j) {
            triangulated[slot_of[j]] = ok[j];
            track_Xr[slot_of[j]] = Xr[j];
            track_Xd[slot_of[j]] = Xd[j];
        }
        for (std::size_t j = 0; j < count; ++j) {
            write_track_row(cameras, settings, out, r, ids[j], views[j], triangulated[j],
                            track_Xr[j], track_Xd[j]);
            ++r;
        }
    }
}

}  // namespace kestrine
