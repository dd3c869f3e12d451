// The reconstruction drivers: grouping, and every kernel target against the
// plain scalar kernels, bit for bit, on scenes built from known points.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "camera.hpp"
#include "dic_sampling.hpp"
#include "fixtures.hpp"
#include "observations.hpp"
#include "pair.hpp"
#include "simd/targets.hpp"
#include "tracks.hpp"
#include "triangulation.hpp"

namespace kestrine {
namespace {

using namespace kestrine::testing;

TEST(SortById, StableSignedOrder) {
    IdRows rows{{5, 0}, {-2, 1}, {5, 2}, {3, 3}, {-2, 4}, {INT64_MIN, 5}, {INT64_MAX, 6},
                            {-1, 7}, {256, 8}, {0, 9}};
    sort_by_id(rows);
    const std::vector<std::int64_t> ids{INT64_MIN, -2, -2, -1, 0, 3, 5, 5, 256, INT64_MAX};
    const std::vector<std::int64_t> order{5, 1, 4, 7, 9, 3, 0, 2, 8, 6};
    for (std::size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(rows[k].id, ids[k]);
        EXPECT_EQ(rows[k].row, order[k]);
    }
    // Two observations given in descending id order.
    IdRows two{{9, 0}, {4, 1}};
    sort_by_id(two);
    EXPECT_EQ(two[0].row, 1);
    EXPECT_EQ(two[1].row, 0);
}

// Ids narrower than the table are grouped by address, wider ones by sorting:
// the same table with its ids spread out (order kept) must group alike. A
// spread of 4096 leaves the lowest radix digit equal in every id, so that
// pass is skipped and the moves end in the other buffer; one of 2^44 makes
// ids that span 63 bits.
TEST(Grouping, DenseIdsGroupAsSorting) {
    std::mt19937_64 rng(8);
    for (const std::int64_t spread : {std::int64_t{1000003}, std::int64_t{4096}, std::int64_t{1} << 44})
    for (const std::int64_t M : {1, 2, 9, 5000, 300001}) {
        std::vector<std::int64_t> dense(static_cast<std::size_t>(M));
        std::vector<std::int64_t> sparse(dense.size());
        std::vector<std::int32_t> cams(dense.size());
        for (std::size_t i = 0; i < dense.size(); ++i) {
            dense[i] = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(M)) - M / 2;
            sparse[i] = dense[i] * spread;
            cams[i] = static_cast<std::int32_t>(rng() % 3);
        }
        const auto table = [&](const std::vector<std::int64_t>& ids) {
            ObservationTable t;
            t.point_indices = contiguous_view<const std::int64_t, 1>(ids.data(), {M});
            t.cam_indices = contiguous_view<const std::int32_t, 1>(cams.data(), {M});
            return t;
        };
        ASSERT_GT(dense_span(id_range(table(dense)), M), 0u);
        ASSERT_EQ(dense_span(id_range(table(sparse)), M) > 0, M == 1);

        const TrackGroups by_address = group_tracks(table(dense));
        // Large tables split the sorted groupings over threads: the same groups.
        Team team(M > 131072 ? 3 : 1);
        const TrackGroups by_sorting = group_tracks(table(sparse), team);
        ASSERT_EQ(by_address.track_count, by_sorting.track_count);
        EXPECT_TRUE(std::equal(by_address.starts.begin(), by_address.starts.end(),
                               by_sorting.starts.begin(), by_sorting.starts.end()));
        for (std::size_t k = 0; k < dense.size(); ++k) {
            EXPECT_EQ(by_address.entries[k].row, by_sorting.entries[k].row) << M << " " << k;
            EXPECT_EQ(by_address.entries[k].id * spread, by_sorting.entries[k].id);
        }
        for (const auto& [a, b] : {std::pair{0, 1}, std::pair{2, 0}, std::pair{1, 1}}) {
            const PairGroups pa = group_pair(table(dense), a, b);
            const PairGroups ps = group_pair(table(sparse), a, b, team);
            EXPECT_EQ(pa.carries_a, ps.carries_a);
            EXPECT_EQ(pa.carries_b, ps.carries_b);
            ASSERT_EQ(pa.points.size(), ps.points.size()) << M << " " << a << b;
            for (std::size_t k = 0; k < pa.points.size(); ++k) {
                EXPECT_EQ(pa.points[k].id * spread, ps.points[k].id);
                EXPECT_EQ(pa.points[k].row_a, ps.points[k].row_a);
                EXPECT_EQ(pa.points[k].row_b, ps.points[k].row_b);
            }
        }
    }
}

TEST(SortByIdThreads, ChunkedSortIsTheSameOrder) {
    // Many equal ids across chunk boundaries, negative and huge ids: every
    // thread count gives the one stable order (large enough to be split).
    std::mt19937_64 rng(4);
    IdRows base(200011);
    for (std::size_t i = 0; i < base.size(); ++i) {
        const std::int64_t pick = static_cast<std::int64_t>(rng() % 300) - 150;
        base[i] = {pick * (pick % 7 == 0 ? std::int64_t{1} << 40 : 1), static_cast<std::int64_t>(i)};
    }
    IdRows expected = base;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const IdRow& a, const IdRow& b) { return a.id < b.id; });
    for (const int threads : {1, 2, 3, 8}) {
        IdRows rows = base;
        Team team(threads);
        sort_by_id(rows, team);
        bool same = true;
        for (std::size_t k = 0; k < rows.size(); ++k) {
            same = same && rows[k].id == expected[k].id && rows[k].row == expected[k].row;
        }
        EXPECT_TRUE(same) << threads << " threads";
    }
}

// A NaN whose payload must survive every step that passes it on.
const double kPayloadNaN = std::bit_cast<double>(std::uint64_t{0x7FF800000000BEEF});

// One row of the scene table: the cameras' geometry and lenses, the scale of
// the world, and the thresholds.
struct SceneCase {
    const char* name;
    double world;            // positions and translations are multiples of this
    int min_views;
    double max_error;        // max_reprojection_error_px
    double min_corrcoef;
    double hostile;          // share of observations with a broken pixel or camera
    bool axis_aligned;       // identity rotations and pixels on the principal point: equal pivots
    int dist_columns = 2;    // 0 and 1 leave k2 (and k1) at zero; columns past two are never read
    bool reversed_cameras = false;  // camera arrays viewed with negative strides
};

constexpr int kCameras = 7;
constexpr int kGridRows = 48;
constexpr int kGridCols = 40;
constexpr int kSpacing = 4;  // a node every 5 pixels

// Seven cameras around the origin; their lenses cover no distortion, k2 alone
// at 9e-13 (off) and at 2e-12 (on), strong and mild distortion, a NaN
// coefficient, and k1 = -4, whose radial factor collapses at radius 0.5.
struct Scene {
    Cameras cams;
    bool reversed_cameras;
    Dic dic{kCameras, kGridRows, kGridCols};
    std::vector<std::int64_t> ids;
    std::vector<std::int32_t> cam_of;
    std::vector<double> uv;

    Scene(const SceneCase& sc, std::int64_t points, std::uint64_t seed)
        : cams(kCameras, sc.dist_columns), reversed_cameras(sc.reversed_cameras) {
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        std::uniform_real_distribution<double> share(0.0, 1.0);
        const double lenses[kCameras][2] = {{0, 0},       {0, 9e-13},  {-0.6, 0.3}, {-0.05, 0.01},
                                            {kNaN, 0.0},  {0, 2e-12},  {-4.0, 0.0}};
        for (int c = 0; c < kCameras; ++c) {
            const double a = sc.axis_aligned ? 0.0 : 0.5 * (c - 3);
            const double Rc[9] = {std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a)};
            for (int k = 0; k < 9; ++k) cams.R[static_cast<std::size_t>(c * 9 + k)] = Rc[k];
            const double tc[3] = {sc.axis_aligned ? static_cast<double>(c % 3) : 0.1 * (c - 3),
                                  sc.axis_aligned ? static_cast<double>(c / 3) : 0.05 * c, 3.0};
            for (int k = 0; k < 3; ++k) cams.t[static_cast<std::size_t>(c * 3 + k)] = tc[k] * sc.world;
            double* K = &cams.K[static_cast<std::size_t>(c * 9)];
            K[0] = 180.0 + c;
            K[2] = 100.0;
            K[4] = 185.0;
            K[5] = 120.0;
            K[8] = 1.0;
            for (int k = 0; k < sc.dist_columns; ++k) {
                cams.dist[static_cast<std::size_t>(c * sc.dist_columns + k)] = k < 2 ? lenses[c][k] : kPayloadNaN;
            }
        }
        for (std::size_t k = 0; k < dic.u.size(); ++k) {
            dic.u[k] = 0.05 * unit(rng);
            dic.v[k] = 0.05 * unit(rng);
            dic.corr[k] = 0.75 + 0.25 * unit(rng);
            const double roll = share(rng);
            dic.valid[k] = roll < 0.03 ? 0 : 1;
            if (roll > 0.995) dic.corr[k] = kPayloadNaN;  // passes the nearest-node test
        }
        const CameraSet cs = camera_set();
        std::uniform_int_distribution<int> views(0, 13);
        std::uniform_int_distribution<int> camera(0, kCameras - 1);
        for (std::int64_t p = 0; p < points; ++p) {
            const std::int64_t id = (p * 7919) % (points + 3) - points / 2;  // unsorted, negative
            const Vector3 X{0.6 * unit(rng) * sc.world, 0.5 * unit(rng) * sc.world,
                            0.4 * unit(rng) * sc.world};
            const int n = views(rng);
            for (int v = 0; v < n; ++v) {
                const int c = camera(rng);
                Vector2 px = project_point(X, cs.K, cs.dist, cs.R, cs.t, c);
                if (std::isnan(px.x) || share(rng) < 0.02) {
                    px = {100.0 + 90.0 * unit(rng), 120.0 + 110.0 * unit(rng)};
                }
                px.x += 0.1 * unit(rng);
                px.y += 0.1 * unit(rng);
                if (c == 6 && share(rng) < 0.1) {
                    px = {100.0 + cs.K(6, 0, 0) * 0.3, 120.0 + cs.K(6, 1, 1) * 0.4};
                }
                if (sc.axis_aligned) {
                    px = share(rng) < 0.5 ? Vector2{100.0, 120.0} : Vector2{105.0, 125.0};
                }
                int cam = c;
                const double roll = share(rng);
                if (roll < sc.hostile) {
                    // Broken pixels, then grid edges: -0, halfway between nodes
                    // (ties of the nearest node), the last node column, half a
                    // node before the first, and a node just within int range.
                    const double bad[] = {kNaN, kPayloadNaN, kInf, -kInf, -3.0, 1e300, 2.0e9,
                                          -0.0, 7.5, 5.0 * (kGridCols - 1), -2.5,
                                          (2147483647.0 + 0.75) * (kSpacing + 1)};
                    constexpr std::size_t kBad = sizeof bad / sizeof bad[0];
                    (v % 2 ? px.x : px.y) = bad[static_cast<std::size_t>(p + v) % kBad];
                } else if (roll < 2 * sc.hostile) {
                    cam = (p % 2 == 0) ? kCameras : -1;  // changed after the boundary check
                }
                ids.push_back(id);
                cam_of.push_back(cam);
                uv.push_back(px.x);
                uv.push_back(px.y);
            }
        }
    }

    CameraSet camera_set() {
        CameraSet cs = cams.set();
        if (reversed_cameras) {
            // The same arrays read from the last camera back to the first.
            const auto reverse = [](auto& view) {
                view.data += (view.shape[0] - 1) * view.strides[0];
                view.strides[0] = -view.strides[0];
            };
            reverse(cs.K);
            reverse(cs.dist);
            reverse(cs.R);
            reverse(cs.t);
        }
        return cs;
    }

    ObservedScene scene() {
        ObservedScene s;
        s.cameras = camera_set();
        s.dic = dic.stack(kSpacing);
        const auto M = static_cast<std::int64_t>(ids.size());
        s.observations.point_indices = contiguous_view<const std::int64_t, 1>(ids.data(), {M});
        s.observations.cam_indices = contiguous_view<const std::int32_t, 1>(cam_of.data(), {M});
        s.observations.uv = contiguous_view<const double, 2>(uv.data(), {M, 2});
        return s;
    }
};

const SceneCase kScenes[] = {
    {"unit", 1.0, 2, 0.5, 0.6, 0.01, false},
    {"millimetre", 1e-3, 2, 0.5, 0.6, 0.01, false},
    {"micrometre", 1e-6, 3, 0.5, 0.6, 0.01, false},
    {"hostile", 1.0, 1, kInf, 0.6, 0.08, false},
    {"nan_bound", 1.0, 2, kNaN, kNaN, 0.02, false},
    {"equal_pivots", 1.0, 2, 1e3, 0.6, 0.0, true},
    // Absolute thresholds at scales far from one: eigen-solves that end at
    // the 64-rotation cap, and |W| on both sides of 1e-12.
    {"kilometre", 1e7, 2, kInf, 0.6, 0.01, false},
    {"far", 3e12, 2, kInf, 0.6, 0.01, false},
    // Few tracks with enough views: registers with no track to solve beside
    // registers with some, in one group of solves.
    {"few_eligible", 2.0, 11, 0.5, 0.6, 0.01, false},
    // Lenses of fewer or more coefficients, camera arrays read backwards.
    {"no_lens", 1.0, 2, 0.5, 0.6, 0.01, false, 0},
    {"k1_only_reversed", 1.0, 2, 0.5, 0.6, 0.01, false, 1, true},
    {"five_coefficients_reversed", 1.0, 2, 0.5, 0.6, 0.01, false, 5, true},
};
constexpr std::int64_t kPointsPerScene = 13000;  // about 6.5 observations each

// Result arrays in plain buffers: every element starts as a sentinel so that
// a row left unwritten shows.
template <typename T>
std::vector<T> filled(std::int64_t n) {
    std::vector<T> v(static_cast<std::size_t>(n));
    std::memset(v.data(), 0xA5, v.size() * sizeof(T));
    return v;
}

template <typename T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b, std::int64_t rows, int columns,
               std::string& where) {
    for (std::int64_t r = 0; r < rows; ++r) {
        if (std::memcmp(&a[static_cast<std::size_t>(r * columns)], &b[static_cast<std::size_t>(r * columns)],
                        sizeof(T) * static_cast<std::size_t>(columns)) != 0) {
            where = "row " + std::to_string(r);
            return false;
        }
    }
    return true;
}

struct TrackResult {
    std::vector<std::int64_t> ids;
    std::vector<double> triples[6];
    std::vector<std::int32_t> num_views;
    std::vector<double> scalars[3];
    std::vector<BoolByte> valid;
    TrackOutputs out;

    explicit TrackResult(std::int64_t T) : ids(filled<std::int64_t>(T)), num_views(filled<std::int32_t>(T)),
                                           valid(filled<BoolByte>(T)) {
        for (auto& v : triples) v = filled<double>(3 * T);
        for (auto& v : scalars) v = filled<double>(T);
        out = {contiguous_view(ids.data(), {T}),
               contiguous_view(triples[0].data(), {T, 3}),
               contiguous_view(triples[1].data(), {T, 3}),
               contiguous_view(triples[2].data(), {T, 3}),
               contiguous_view(triples[3].data(), {T, 3}),
               contiguous_view(triples[4].data(), {T, 3}),
               contiguous_view(triples[5].data(), {T, 3}),
               contiguous_view(num_views.data(), {T}),
               contiguous_view(scalars[0].data(), {T}),
               contiguous_view(scalars[1].data(), {T}),
               contiguous_view(scalars[2].data(), {T}),
               contiguous_view(valid.data(), {T})};
    }

    // Empty when rows [0, T) of both hold the same bits.
    std::string differs(const TrackResult& o, std::int64_t T) const {
        std::string where;
        if (!same_bits(ids, o.ids, T, 1, where)) return "point_indices " + where;
        for (int k = 0; k < 6; ++k)
            if (!same_bits(triples[k], o.triples[k], T, 3, where)) return "triple " + std::to_string(k) + " " + where;
        if (!same_bits(num_views, o.num_views, T, 1, where)) return "num_views " + where;
        for (int k = 0; k < 3; ++k)
            if (!same_bits(scalars[k], o.scalars[k], T, 1, where)) return "scalar " + std::to_string(k) + " " + where;
        if (!same_bits(valid, o.valid, T, 1, where)) return "valid " + where;
        return "";
    }
};

// The rules of one track row, written with the plain scalar kernels.
void reference_track_rows(const ObservedScene& s, const TrackGroups& g, const TrackSettings& set,
                          const TrackOutputs& out) {
    const std::int64_t cameras = usable_cameras(s);
    for (std::int64_t r = 0; r < g.track_count; ++r) {
        std::vector<Vector2> rays_ref, rays_def, uv_ref, uv_def;
        std::vector<Matrix34> poses;
        std::vector<int> cams;
        double corr_sum = 0.0;
        for (std::int64_t k = g.starts[static_cast<std::size_t>(r)]; k < g.starts[static_cast<std::size_t>(r + 1)]; ++k) {
            const std::int64_t i = g.entries[static_cast<std::size_t>(k)].row;
            const int c = s.observations.cam_indices(i);
            if (c < 0 || c >= cameras) continue;
            const Vector2 px = s.observations.pixel(i);
            const DicSample sample = sample_dic(s.dic, c, px.x, px.y, set.min_corrcoef);
            if (!sample.valid) continue;
            const Vector2 moved{px.x + sample.u, px.y + sample.v};
            rays_ref.push_back(normalize_pixel(s.cameras.K, s.cameras.dist, c, px.x, px.y));
            rays_def.push_back(normalize_pixel(s.cameras.K, s.cameras.dist, c, moved.x, moved.y));
            poses.push_back(pose_matrix(s.cameras.R, s.cameras.t, c));
            cams.push_back(c);
            uv_ref.push_back(px);
            uv_def.push_back(moved);
            corr_sum += sample.corr;
        }
        const auto n = static_cast<std::int64_t>(cams.size());
        Vector3 Xr, Xd;
        const bool triangulated = n >= set.min_views && triangulate_dlt(rays_ref, poses, Xr) &&
                                  triangulate_dlt(rays_def, poses, Xd);
        double err_ref = kInf, err_def = kInf;
        bool valid = false;
        if (triangulated) {
            err_ref = err_def = 0.0;
            for (std::size_t v = 0; v < cams.size(); ++v) {
                const CameraSet& cs = s.cameras;
                err_ref += pixel_error(project_point(Xr, cs.K, cs.dist, cs.R, cs.t, cams[v]), uv_ref[v]);
                err_def += pixel_error(project_point(Xd, cs.K, cs.dist, cs.R, cs.t, cams[v]), uv_def[v]);
            }
            err_ref = err_ref / static_cast<double>(n);
            err_def = err_def / static_cast<double>(n);
            valid = set.max_reprojection_error_px >= err_ref && set.max_reprojection_error_px >= err_def;
        }
        out.point_indices(r) = g.entries[static_cast<std::size_t>(g.starts[static_cast<std::size_t>(r)])].id;
        for (int k = 0; k < 3; ++k) {
            const double pr = valid ? Xr[k] : 0.0;
            const double pd = valid ? Xd[k] : 0.0;
            const double d = valid ? Xd[k] - Xr[k] : 0.0;
            out.points_ref_sfm(r, k) = pr;
            out.points_def_sfm(r, k) = pd;
            out.displacement_sfm(r, k) = d;
            out.points_ref_world(r, k) = pr * set.scale;
            out.points_def_world(r, k) = pd * set.scale;
            out.displacement_world(r, k) = d * set.scale;
        }
        out.num_views(r) = static_cast<std::int32_t>(n);
        out.mean_corrcoef(r) = n > 0 ? corr_sum / static_cast<double>(n) : 0.0;
        out.reprojection_error_ref(r) = err_ref;
        out.reprojection_error_def(r) = err_def;
        out.valid(r) = valid ? 1 : 0;
    }
}

TEST(TrackRows, EveryTargetMatchesTheScalarKernels) {
    std::uint64_t seed = 11;
    for (const SceneCase& sc : kScenes) {
        Scene scene(sc, kPointsPerScene, ++seed);
        const ObservedScene s = scene.scene();
        const TrackGroups groups = group_tracks(s.observations);
        const std::int64_t T = groups.track_count;
        const TrackSettings settings{sc.min_views, sc.min_corrcoef, sc.max_error, -2.5};
        TrackResult expected(T);
        reference_track_rows(s, groups, settings, expected.out);
        std::int64_t accepted = 0;
        for (std::int64_t r = 0; r < T; ++r) accepted += expected.valid[static_cast<std::size_t>(r)];
        if (sc.max_error == sc.max_error && !sc.axis_aligned && sc.world <= 1.0) {
            EXPECT_GT(accepted, T / 10) << sc.name;  // the scene exercises accepted rows too
        }
        // The same table with the arrays cut to two cameras: every target
        // then reads the cameras from registers, and the sightings of the
        // others are invalid samples. Three DIC fields are read with their
        // grid columns backwards, so their nodes are not adjacent pairs.
        ObservedScene two = s;
        for (std::int64_t* extent : {&two.cameras.K.shape[0], &two.cameras.dist.shape[0],
                                     &two.cameras.R.shape[0], &two.cameras.t.shape[0],
                                     &two.dic.u.shape[0]}) {
            *extent = 2;
        }
        const auto columns_backwards = [](auto& view) {
            view.data += (view.shape[2] - 1) * view.strides[2];
            view.strides[2] = -view.strides[2];
        };
        columns_backwards(two.dic.v);
        columns_backwards(two.dic.corrcoef);
        columns_backwards(two.dic.valid);
        TrackResult expected_two(T);
        reference_track_rows(two, groups, settings, expected_two.out);
        for (const KernelTarget& target : kernel_targets()) {
            if (!target.supported()) continue;
            const struct { const ObservedScene* scene_view; const TrackResult* want; const char* what; }
                variants[] = {{&s, &expected, "seven cameras"}, {&two, &expected_two, "two cameras"}};
            for (const auto& [scene_view, want, what] : variants) {
                TrackResult got(T);
                // Uneven ranges, as threads would split them.
                const std::int64_t cuts[] = {0, T / 3 + 1, T / 3 + 2, T};
                for (int k = 0; k < 3; ++k) {
                    SightingScratch scratch;
                    target.track_rows(*scene_view, groups, settings, got.out, std::min(cuts[k], T),
                                      std::min(cuts[k + 1], T), scratch);
                }
                EXPECT_EQ(got.differs(*want, T), "") << sc.name << ", " << what << " on " << target.name;
            }
        }
    }
}

TEST(TrackRows, OneTrackWithManyObservations) {
    // More observations than one block gathers: the track gets a block of its own.
    SceneCase sc{"long", 1.0, 2, 0.5, 0.6, 0.0, false};
    Scene scene(sc, 400, 5);
    std::fill(scene.ids.begin(), scene.ids.end(), 42);
    scene.ids.back() = 43;
    const ObservedScene s = scene.scene();
    const TrackGroups groups = group_tracks(s.observations);
    ASSERT_EQ(groups.track_count, 2);
    const TrackSettings settings{2, 0.6, kInf, 1.0};
    TrackResult expected(2);
    reference_track_rows(s, groups, settings, expected.out);
    EXPECT_GT(expected.num_views[0], 1000);
    for (const KernelTarget& target : kernel_targets()) {
        if (!target.supported()) continue;
        TrackResult got(2);
        SightingScratch scratch;
        target.track_rows(s, groups, settings, got.out, 0, 2, scratch);
        EXPECT_EQ(got.differs(expected, 2), "") << target.name;
    }
}

struct PairResult {
    std::vector<std::int64_t> ids;
    std::vector<double> pixels[4];
    std::vector<double> triples[6];
    std::vector<double> scalars[6];
    std::vector<BoolByte> valid;
    PairOutputs out;

    explicit PairResult(std::int64_t n) : ids(filled<std::int64_t>(n)), valid(filled<BoolByte>(n)) {
        for (auto& v : pixels) v = filled<double>(2 * n);
        for (auto& v : triples) v = filled<double>(3 * n);
        for (auto& v : scalars) v = filled<double>(n);
        out = {contiguous_view(ids.data(), {n}),
               contiguous_view(pixels[0].data(), {n, 2}),
               contiguous_view(pixels[1].data(), {n, 2}),
               contiguous_view(pixels[2].data(), {n, 2}),
               contiguous_view(pixels[3].data(), {n, 2}),
               contiguous_view(triples[0].data(), {n, 3}),
               contiguous_view(triples[1].data(), {n, 3}),
               contiguous_view(triples[2].data(), {n, 3}),
               contiguous_view(triples[3].data(), {n, 3}),
               contiguous_view(triples[4].data(), {n, 3}),
               contiguous_view(triples[5].data(), {n, 3}),
               contiguous_view(scalars[0].data(), {n}),
               contiguous_view(scalars[1].data(), {n}),
               contiguous_view(scalars[2].data(), {n}),
               contiguous_view(scalars[3].data(), {n}),
               contiguous_view(scalars[4].data(), {n}),
               contiguous_view(scalars[5].data(), {n}),
               contiguous_view(valid.data(), {n})};
    }

    std::string differs(const PairResult& o, std::int64_t n) const {
        std::string where;
        if (!same_bits(ids, o.ids, n, 1, where)) return "point_indices " + where;
        for (int k = 0; k < 4; ++k)
            if (!same_bits(pixels[k], o.pixels[k], n, 2, where)) return "pixels " + std::to_string(k) + " " + where;
        for (int k = 0; k < 6; ++k)
            if (!same_bits(triples[k], o.triples[k], n, 3, where)) return "triple " + std::to_string(k) + " " + where;
        for (int k = 0; k < 6; ++k)
            if (!same_bits(scalars[k], o.scalars[k], n, 1, where)) return "scalar " + std::to_string(k) + " " + where;
        if (!same_bits(valid, o.valid, n, 1, where)) return "valid " + where;
        return "";
    }
};

// The rules of the pair rows, written with the plain scalar kernels.
std::int64_t reference_pair_rows(const ObservedScene& s, const PairGroups& g, const PairSettings& set,
                                 const PairOutputs& out) {
    const CameraSet& cs = s.cameras;
    const int ca = set.cam_a, cb = set.cam_b;
    std::int64_t j = 0;
    for (const PairSlots& slots : g.points) {
        const Vector2 ra = s.observations.pixel(slots.row_a);
        const Vector2 rb = s.observations.pixel(slots.row_b);
        const DicSample sa = sample_dic(s.dic, ca, ra.x, ra.y, set.min_corrcoef);
        const DicSample sb = sample_dic(s.dic, cb, rb.x, rb.y, set.min_corrcoef);
        if (!sa.valid || !sb.valid) continue;
        const Vector2 da{ra.x + sa.u, ra.y + sa.v};
        const Vector2 db{rb.x + sb.u, rb.y + sb.v};
        const Vector2 rays_ref[2] = {normalize_pixel(cs.K, cs.dist, ca, ra.x, ra.y),
                                     normalize_pixel(cs.K, cs.dist, cb, rb.x, rb.y)};
        const Vector2 rays_def[2] = {normalize_pixel(cs.K, cs.dist, ca, da.x, da.y),
                                     normalize_pixel(cs.K, cs.dist, cb, db.x, db.y)};
        const Matrix34 poses[2] = {pose_matrix(cs.R, cs.t, ca), pose_matrix(cs.R, cs.t, cb)};
        Vector3 Xr, Xd;
        if (!triangulate_dlt(rays_ref, poses, Xr) || !triangulate_dlt(rays_def, poses, Xd)) continue;
        const double reproj_ref = 0.5 * (pixel_error(project_point(Xr, cs.K, cs.dist, cs.R, cs.t, ca), ra) +
                                         pixel_error(project_point(Xr, cs.K, cs.dist, cs.R, cs.t, cb), rb));
        const double reproj_def = 0.5 * (pixel_error(project_point(Xd, cs.K, cs.dist, cs.R, cs.t, ca), da) +
                                         pixel_error(project_point(Xd, cs.K, cs.dist, cs.R, cs.t, cb), db));
        const double corr_comb = sa.corr > sb.corr ? sb.corr : sa.corr;
        out.point_indices(j) = slots.id;
        const Vector2* px[4] = {&ra, &rb, &da, &db};
        const ArrayView<double, 2>* pv[4] = {&out.uv_ref_a, &out.uv_ref_b, &out.uv_def_a, &out.uv_def_b};
        for (int p = 0; p < 4; ++p) {
            (*pv[p])(j, 0) = px[p]->x;
            (*pv[p])(j, 1) = px[p]->y;
        }
        double sum = 0.0;
        for (int k = 0; k < 3; ++k) {
            const double d = Xd[k] - Xr[k];
            out.points_ref_sfm(j, k) = Xr[k];
            out.points_def_sfm(j, k) = Xd[k];
            out.points_ref_world(j, k) = Xr[k] * set.scale;
            out.points_def_world(j, k) = Xd[k] * set.scale;
            out.displacement_sfm(j, k) = d;
            out.displacement_world(j, k) = d * set.scale;
            sum += square(d * set.scale);
        }
        out.displacement_norm_world(j) = std::sqrt(sum);
        out.corr_a(j) = sa.corr;
        out.corr_b(j) = sb.corr;
        out.corr_comb(j) = corr_comb;
        out.reprojection_error_ref(j) = reproj_ref;
        out.reprojection_error_def(j) = reproj_def;
        out.valid_points(j) = (corr_comb >= set.min_corrcoef && reproj_ref <= set.max_reprojection_error_px &&
                               reproj_def <= set.max_reprojection_error_px) ? 1 : 0;
        ++j;
    }
    return j;
}

TEST(PairRows, EveryTargetMatchesTheScalarKernels) {
    std::uint64_t seed = 101;
    for (const SceneCase& sc : kScenes) {
        Scene scene(sc, kPointsPerScene, ++seed);
        const ObservedScene s = scene.scene();
        // Cameras 2 and 3 have distortion, 0 has none, 4 a NaN coefficient
        // (as stored; a reversed view numbers them from the end).
        for (const auto& [cam_a, cam_b] : {std::pair{2, 3}, std::pair{0, 6}, std::pair{4, 1}}) {
            const PairGroups groups = group_pair(s.observations, cam_a, cam_b);
            const auto n = static_cast<std::int64_t>(groups.points.size());
            const PairSettings settings{cam_a, cam_b, sc.min_corrcoef, sc.max_error, 0.75};
            PairResult expected(n);
            const std::int64_t kept = reference_pair_rows(s, groups, settings, expected.out);
            const int nan_lens = sc.reversed_cameras ? kCameras - 1 - 4 : 4;
            if (cam_a != nan_lens && cam_b != nan_lens && sc.world <= 1.0) {
                EXPECT_GT(kept, n / 4) << sc.name;
            }
            for (const KernelTarget& target : kernel_targets()) {
                if (!target.supported()) continue;
                PairResult got(n);
                const std::int64_t cuts[] = {0, n / 2 + 3, n / 2 + 4, n};
                std::int64_t written = 0;
                for (int k = 0; k < 3; ++k) {
                    const std::int64_t first = std::min(cuts[k], n), last = std::min(cuts[k + 1], n);
                    const std::int64_t w = target.pair_rows(s, groups, settings, got.out, first, last, written);
                    EXPECT_LE(w, last - first);
                    written += w;
                }
                ASSERT_EQ(written, kept) << sc.name << " on " << target.name;
                EXPECT_EQ(got.differs(expected, kept), "") << sc.name << " cameras " << cam_a << ", "
                                                           << cam_b << " on " << target.name;
                // Nothing is written past the kept rows.
                for (std::int64_t j = kept; j < n; ++j) {
                    ASSERT_EQ(got.valid[static_cast<std::size_t>(j)], 0xA5);
                }
            }
        }
    }
}

TEST(ReconstructionThreads, EveryThreadCountGivesTheSameBits) {
    // Thread ranges of tracks write their own rows; pair ranges are moved
    // together afterwards. Either way the rows equal the one-thread rows.
    Scene scene(kScenes[0], 3001, 77);
    const ObservedScene s = scene.scene();
    const TrackGroups tracks = group_tracks(s.observations);
    const std::int64_t T = tracks.track_count;
    const TrackSettings track_settings{2, 0.5, 0.01, 1.5};
    TrackResult expected_tracks(T);
    reference_track_rows(s, tracks, track_settings, expected_tracks.out);
    const PairGroups pairs = group_pair(s.observations, 2, 3);
    const auto n = static_cast<std::int64_t>(pairs.points.size());
    const PairSettings pair_settings{2, 3, 0.5, 0.01, 0.75};
    PairResult expected_pairs(n);
    const std::int64_t kept = reference_pair_rows(s, pairs, pair_settings, expected_pairs.out);
    ASSERT_LT(kept, n);  // some points are left out, so ranges must move
    // One team runs every pass, as in a call, with fewer members than it has.
    Team team(7);
    for (const int threads : {1, 2, 3, 7}) {
        TrackResult got_tracks(T);
        reconstruct_tracks_on_threads(s, tracks, track_settings, got_tracks.out, team, threads);
        EXPECT_EQ(got_tracks.differs(expected_tracks, T), "") << threads << " threads";
        PairResult got_pairs(n);
        ASSERT_EQ(reconstruct_pairs_on_threads(s, pairs, pair_settings, got_pairs.out, team, threads),
                  kept);
        EXPECT_EQ(got_pairs.differs(expected_pairs, kept), "") << threads << " threads";
    }
}

}  // namespace
}  // namespace kestrine
