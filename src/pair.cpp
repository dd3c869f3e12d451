#include "pair.hpp"

#include <cmath>

namespace kestrine {

PairGroups group_pair(const ObservationTable& observations, int cam_a, int cam_b) {
    PairGroups groups;
    const std::int64_t N = observations.size();
    std::size_t in_pair = 0;
    for (std::int64_t i = 0; i < N; ++i) {
        const int cam = observations.cam_indices(i);
        groups.carries_a = groups.carries_a || cam == cam_a;
        groups.carries_b = groups.carries_b || cam == cam_b;
        in_pair += (cam == cam_a || cam == cam_b) ? 1 : 0;
    }
    // Counted first so the table of pair rows is allocated once at its size.
    std::vector<IdRow> entries;
    entries.reserve(in_pair);
    for (std::int64_t i = 0; i < N; ++i) {
        const int cam = observations.cam_indices(i);
        if (cam == cam_a || cam == cam_b) {
            entries.push_back({observations.point_indices(i), i});
        }
    }
    sort_by_id(entries);

    std::size_t begin = 0;
    while (begin < entries.size()) {
        PairSlots slots{entries[begin].id, -1, -1};
        std::size_t end = begin;
        for (; end < entries.size() && entries[end].id == slots.id; ++end) {
            const std::int64_t row = entries[end].row;
            if (observations.cam_indices(row) == cam_a) {
                slots.row_a = row;
            } else {
                slots.row_b = row;
            }
        }
        if (slots.row_a >= 0 && slots.row_b >= 0) {
            groups.points.push_back(slots);
        }
        begin = end;
    }
    return groups;
}

namespace {

// A point whose two samples are valid, waiting for its triangulation.
struct PairCandidate {
    std::int64_t id = 0;
    ObservedView view_a;
    ObservedView view_b;
    double corr_a = 0.0;
    double corr_b = 0.0;
    Vector2 rays_ref[2];
    Vector2 rays_def[2];
    Matrix34 projections[2];
};

PairPointRow finish_row(const CameraSet& cameras, const PairSettings& settings,
                        const PairCandidate& p, const Vector3& Xr, const Vector3& Xd) {
    const int cam_a = settings.cam_a;
    const int cam_b = settings.cam_b;
    const Vector2 ref_proj_a = project_point(Xr, cameras.K, cameras.dist, cameras.R, cameras.t, cam_a);
    const Vector2 ref_proj_b = project_point(Xr, cameras.K, cameras.dist, cameras.R, cameras.t, cam_b);
    const Vector2 def_proj_a = project_point(Xd, cameras.K, cameras.dist, cameras.R, cameras.t, cam_a);
    const Vector2 def_proj_b = project_point(Xd, cameras.K, cameras.dist, cameras.R, cameras.t, cam_b);

    PairPointRow row;
    row.point_id = p.id;
    row.uv_ref_a = p.view_a.uv_ref;
    row.uv_ref_b = p.view_b.uv_ref;
    row.uv_def_a = p.view_a.uv_def;
    row.uv_def_b = p.view_b.uv_def;
    row.Xr = Xr;
    row.Xd = Xd;
    row.reproj_ref =
        0.5 * (pixel_error(ref_proj_a, row.uv_ref_a) + pixel_error(ref_proj_b, row.uv_ref_b));
    row.reproj_def =
        0.5 * (pixel_error(def_proj_a, row.uv_def_a) + pixel_error(def_proj_b, row.uv_def_b));
    row.corr_a = p.corr_a;
    row.corr_b = p.corr_b;
    // The minimum; a tie or a NaN comparison keeps corr_a.
    row.corr_comb = row.corr_a > row.corr_b ? row.corr_b : row.corr_a;
    // Inclusive bounds; NaN on either side fails.
    row.is_valid = row.corr_comb >= settings.min_corrcoef &&
                   row.reproj_ref <= settings.max_reprojection_error_px &&
                   row.reproj_def <= settings.max_reprojection_error_px;
    return row;
}

}  // namespace

std::vector<PairPointRow> reconstruct_pair_rows(const CameraSet& cameras,
                                                const DicFieldStack& dic,
                                                const ObservationTable& observations,
                                                const PairGroups& groups,
                                                const PairSettings& settings) {
    const int cam_a = settings.cam_a;
    const int cam_b = settings.cam_b;
    std::vector<PairPointRow> rows;
    // Reserved once: at most one row per complete point, so appending never reallocates.
    rows.reserve(groups.points.size());

    constexpr std::size_t kBatch = kMaxTriangulationBatch;
    constexpr std::size_t kPrefetchAhead = 8;
    PairCandidate batch[kBatch];
    std::size_t pending = 0;
    // Points are triangulated a few at a time so that their eigen-solves
    // overlap; rows still come out in point order.
    const auto flush = [&]() {
        PointRays points[kBatch];
        for (std::size_t j = 0; j < pending; ++j) {
            points[j] = {batch[j].rays_ref, batch[j].rays_def, batch[j].projections};
        }
        Vector3 Xr[kBatch];
        Vector3 Xd[kBatch];
        bool ok[kBatch] = {};
        triangulate_dlt_states(std::span(points, pending), std::span(Xr, pending),
                               std::span(Xd, pending), std::span(ok, pending));
        for (std::size_t j = 0; j < pending; ++j) {
            if (ok[j]) {
                rows.push_back(finish_row(cameras, settings, batch[j], Xr[j], Xd[j]));
            }
        }
        pending = 0;
    };

    for (std::size_t index = 0; index < groups.points.size(); ++index) {
        const PairSlots& slots = groups.points[index];
        // The two rows of a point lie anywhere in the table and its pixels
        // anywhere in the DIC grids: ask early for what later points will read.
        if (index + kPrefetchAhead < groups.points.size()) {
            observations.prefetch(groups.points[index + kPrefetchAhead].row_a);
            observations.prefetch(groups.points[index + kPrefetchAhead].row_b);
        }
        if (index + kPrefetchAhead / 2 < groups.points.size()) {
            const PairSlots& ahead = groups.points[index + kPrefetchAhead / 2];
            const Vector2 uv_a = observations.pixel(ahead.row_a);
            const Vector2 uv_b = observations.pixel(ahead.row_b);
            prefetch_dic(dic, cam_a, uv_a.x, uv_a.y);
            prefetch_dic(dic, cam_b, uv_b.x, uv_b.y);
        }
        const Vector2 uv_ref_a = observations.pixel(slots.row_a);
        const Vector2 uv_ref_b = observations.pixel(slots.row_b);
        // Both samples are taken before either is tested.
        const DicSample sample_a =
            sample_dic(dic, cam_a, uv_ref_a.x, uv_ref_a.y, settings.min_corrcoef);
        const DicSample sample_b =
            sample_dic(dic, cam_b, uv_ref_b.x, uv_ref_b.y, settings.min_corrcoef);
        if (!sample_a.valid || !sample_b.valid) {
            continue;
        }
        PairCandidate& p = batch[pending++];
        p.id = slots.id;
        p.view_a = make_view(cameras, cam_a, uv_ref_a, sample_a);
        p.view_b = make_view(cameras, cam_b, uv_ref_b, sample_b);
        p.corr_a = sample_a.corr;
        p.corr_b = sample_b.corr;
        p.rays_ref[0] = p.view_a.ray_ref;
        p.rays_ref[1] = p.view_b.ray_ref;
        p.rays_def[0] = p.view_a.ray_def;
        p.rays_def[1] = p.view_b.ray_def;
        p.projections[0] = p.view_a.pose;
        p.projections[1] = p.view_b.pose;
        if (pending == kBatch) {
            flush();
        }
    }
    flush();
    return rows;
}

void write_pair_rows(const std::vector<PairPointRow>& rows, double scale, const PairOutputs& out) {
    const auto put2 = [](const ArrayView<double, 2>& a, std::int64_t j, const Vector2& p) {
        a(j, 0) = p.x;
        a(j, 1) = p.y;
    };
    for (std::size_t index = 0; index < rows.size(); ++index) {
        const PairPointRow& r = rows[index];
        const std::int64_t j = static_cast<std::int64_t>(index);
        out.point_indices(j) = r.point_id;
        put2(out.uv_ref_a, j, r.uv_ref_a);
        put2(out.uv_ref_b, j, r.uv_ref_b);
        put2(out.uv_def_a, j, r.uv_def_a);
        put2(out.uv_def_b, j, r.uv_def_b);
        out.corr_a(j) = r.corr_a;
        out.corr_b(j) = r.corr_b;
        out.corr_comb(j) = r.corr_comb;
        out.reprojection_error_ref(j) = r.reproj_ref;
        out.reprojection_error_def(j) = r.reproj_def;
        out.valid_points(j) = r.is_valid ? 1 : 0;
        double sum = 0.0;
        for (int k = 0; k < 3; ++k) {
            const double d = r.Xd[k] - r.Xr[k];
            out.points_ref_sfm(j, k) = r.Xr[k];
            out.points_def_sfm(j, k) = r.Xd[k];
            out.points_ref_world(j, k) = r.Xr[k] * scale;
            out.points_def_world(j, k) = r.Xd[k] * scale;
            out.displacement_sfm(j, k) = d;
            out.displacement_world(j, k) = d * scale;
            sum += square(d * scale);
        }
        out.displacement_norm_world(j) = std::sqrt(sum);
    }
}

}  // namespace kestrine
