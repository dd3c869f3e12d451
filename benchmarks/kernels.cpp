// ns per element of every batch-kernel target this CPU supports, on the same
// inputs, so the instruction sets can be compared without Python in the way:
// faces for the surface, observations for tracks, points for the pair, and
// the scalar grouping that the reconstruction drivers need beside them.
//     build/cpp/kernel_bench [elements]
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <algorithm>
#include <vector>

#include "camera.hpp"
#include "deformation.hpp"
#include "dic_sampling.hpp"
#include "pair.hpp"
#include "simd/targets.hpp"
#include "tracks.hpp"

namespace {

using namespace kestrine;

template <typename Fn>
double best_ns(Fn&& fn, int repeats) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        const auto stop = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
    }
    return best;
}

// A structured triangulation of a cylinder patch, stretched 2 % and slightly
// perturbed, as the Python benchmark builds it.
struct Mesh {
    std::vector<double> ref, def;
    std::vector<std::int32_t> faces;
    std::vector<std::uint8_t> valid;
    std::int64_t points = 0, count = 0;

    explicit Mesh(std::int64_t n_faces) {
        std::mt19937_64 rng(17);
        std::normal_distribution<double> noise(0.0, 1e-4);
        const std::int64_t nx = static_cast<std::int64_t>(std::sqrt(static_cast<double>(n_faces) / 2.0)) + 2;
        const std::int64_t ny = n_faces / (2 * (nx - 1)) + 2;
        for (std::int64_t j = 0; j < ny; ++j) {
            for (std::int64_t i = 0; i < nx; ++i) {
                const double phi = 0.8 * (static_cast<double>(i) / static_cast<double>(nx) - 0.5);
                const double y = 40.0 * (static_cast<double>(j) / static_cast<double>(ny) - 0.5);
                const double X[3] = {25.0 * std::sin(phi), y, 25.0 * std::cos(phi)};
                const double x[3] = {X[0] * 0.994 + 0.8, X[1] * 1.02 - 0.5, X[2] * 0.994 + 1.2};
                for (int c = 0; c < 3; ++c) {
                    ref.push_back(X[c]);
                    def.push_back(x[c] + noise(rng));
                }
            }
        }
        points = nx * ny;
        for (std::int64_t j = 0; j + 1 < ny && count < n_faces; ++j) {
            for (std::int64_t i = 0; i + 1 < nx && count < n_faces; ++i) {
                const auto v00 = static_cast<std::int32_t>(j * nx + i);
                const auto v10 = v00 + 1;
                const auto v01 = static_cast<std::int32_t>(v00 + nx);
                const auto v11 = v01 + 1;
                faces.insert(faces.end(), {v00, v10, v11, v00, v11, v01});
                count += 2;
            }
        }
        faces.resize(static_cast<std::size_t>(3 * count));
        count = std::min(count, n_faces);
        valid.assign(static_cast<std::size_t>(count), 1);
    }

    SurfaceInputs inputs() const {
        SurfaceInputs in;
        in.faces = contiguous_view(faces.data(), {count, 3});
        in.points_ref = contiguous_view(ref.data(), {points, 3});
        in.points_def = contiguous_view(def.data(), {points, 3});
        in.valid_faces = contiguous_view(valid.data(), {count});
        return in;
    }
};

struct SurfaceResult {
    std::vector<double> matrices, d3, scalars;
    std::vector<BoolByte> ok;
    SurfaceOutputs views;

    explicit SurfaceResult(std::int64_t m)
        : matrices(static_cast<std::size_t>(36 * m)), d3(static_cast<std::size_t>(3 * m)),
          scalars(static_cast<std::size_t>(14 * m)), ok(static_cast<std::size_t>(m)) {
        ArrayView<double, 3>* mats[4] = {&views.Fmat, &views.Cmat, &views.Emat, &views.emat};
        for (int k = 0; k < 4; ++k) {
            *mats[k] = contiguous_view(matrices.data() + 9 * m * k, {m, 3, 3});
        }
        views.d3 = contiguous_view(d3.data(), {m, 3});
        ArrayView<double, 1>* s[14] = {&views.J,    &views.Emgn,      &views.emgn,
                                       &views.Epc1, &views.Epc2,      &views.epc1,
                                       &views.epc2, &views.EShearMax, &views.eShearMax,
                                       &views.Eeq,  &views.eeq,       &views.Area,
                                       &views.Lambda1, &views.Lambda2};
        for (int k = 0; k < 14; ++k) {
            *s[k] = contiguous_view(scalars.data() + m * k, {m});
        }
        views.valid_strain_faces = contiguous_view(ok.data(), {m});
    }
};

// Four cameras on an arc looking at a patch, each point seen by all of
// them at its exact projection (mild distortion), a smooth DIC field with
// valid nodes everywhere: the common case, where every track is accepted.
struct Scene {
    static constexpr int kCameras = 4;
    static constexpr std::int64_t kRows = 200, kCols = 260;
    std::vector<double> K, dist, R, t, dic_u, dic_v, dic_corr;
    std::vector<std::uint8_t> dic_valid;
    std::vector<std::int64_t> ids;
    std::vector<std::int32_t> cams;
    std::vector<double> uv;

    explicit Scene(std::int64_t points)
        : K(9 * kCameras), dist(2 * kCameras), R(9 * kCameras), t(3 * kCameras),
          dic_u(static_cast<std::size_t>(kCameras * kRows * kCols)), dic_v(dic_u.size()),
          dic_corr(dic_u.size(), 0.95), dic_valid(dic_u.size(), 1) {
        std::mt19937_64 rng(5);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        for (int c = 0; c < kCameras; ++c) {
            const double a = 0.3 * (c - 1.5);
            const double Rc[9] = {std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a)};
            std::copy(Rc, Rc + 9, &R[static_cast<std::size_t>(9 * c)]);
            t[static_cast<std::size_t>(3 * c + 2)] = 400.0;
            const double Kc[9] = {2400.0, 0, 640.0, 0, 2400.0, 500.0, 0, 0, 1};
            std::copy(Kc, Kc + 9, &K[static_cast<std::size_t>(9 * c)]);
            dist[static_cast<std::size_t>(2 * c)] = -0.08;
            dist[static_cast<std::size_t>(2 * c + 1)] = 0.02;
        }
        for (std::size_t k = 0; k < dic_u.size(); ++k) {
            dic_u[k] = 1.5 + 0.001 * static_cast<double>(k % kCols);
            dic_v[k] = -0.7 + 0.001 * static_cast<double>((k / kCols) % kRows);
        }
        const CameraSet cs = cameras();
        std::vector<std::int64_t> order(static_cast<std::size_t>(points));
        for (std::int64_t p = 0; p < points; ++p) order[static_cast<std::size_t>(p)] = p;
        std::shuffle(order.begin(), order.end(), rng);
        for (std::int64_t p : order) {
            const Vector3 X{40.0 * unit(rng), 30.0 * unit(rng), 5.0 * unit(rng)};
            for (int c = 0; c < kCameras; ++c) {
                const Vector2 px = project_point(X, cs.K, cs.dist, cs.R, cs.t, c);
                ids.push_back(p);
                cams.push_back(c);
                uv.push_back(px.x);
                uv.push_back(px.y);
            }
        }
    }

    CameraSet cameras() const {
        return {contiguous_view<const double, 3>(K.data(), {kCameras, 3, 3}),
                contiguous_view<const double, 2>(dist.data(), {kCameras, 2}),
                contiguous_view<const double, 3>(R.data(), {kCameras, 3, 3}),
                contiguous_view<const double, 2>(t.data(), {kCameras, 3})};
    }

    ObservedScene scene() const {
        ObservedScene s;
        s.cameras = cameras();
        s.dic.u = contiguous_view<const double, 3>(dic_u.data(), {kCameras, kRows, kCols});
        s.dic.v = contiguous_view<const double, 3>(dic_v.data(), {kCameras, kRows, kCols});
        s.dic.corrcoef = contiguous_view<const double, 3>(dic_corr.data(), {kCameras, kRows, kCols});
        s.dic.valid = contiguous_view<const BoolByte, 3>(dic_valid.data(), {kCameras, kRows, kCols});
        s.dic.reduced_height = static_cast<int>(kRows);
        s.dic.reduced_width = static_cast<int>(kCols);
        s.dic.subset_spacing = 4;
        const auto M = static_cast<std::int64_t>(ids.size());
        s.observations.point_indices = contiguous_view<const std::int64_t, 1>(ids.data(), {M});
        s.observations.cam_indices = contiguous_view<const std::int32_t, 1>(cams.data(), {M});
        s.observations.uv = contiguous_view<const double, 2>(uv.data(), {M, 2});
        return s;
    }
};

// Result buffers with one row per element: n rows of `width` doubles per
// array is more than any output needs.
struct Rows {
    std::vector<double> values;
    std::vector<std::int64_t> ids;
    std::vector<std::int32_t> counts;
    std::vector<BoolByte> flags;
    std::int64_t n;

    explicit Rows(std::int64_t rows)
        : values(static_cast<std::size_t>(18 * 3 * rows)), ids(static_cast<std::size_t>(rows)),
          counts(static_cast<std::size_t>(rows)), flags(static_cast<std::size_t>(rows)), n(rows) {}
    ArrayView<double, 2> triple(int k) { return contiguous_view(values.data() + 3 * n * k, {n, 3}); }
    ArrayView<double, 2> pair(int k) { return contiguous_view(values.data() + 3 * n * k, {n, 2}); }
    ArrayView<double, 1> single(int k) { return contiguous_view(values.data() + 3 * n * k, {n}); }

    TrackOutputs tracks() {
        return {contiguous_view(ids.data(), {n}), triple(0), triple(1), triple(2), triple(3),
                triple(4), triple(5), contiguous_view(counts.data(), {n}), single(6), single(7),
                single(8), contiguous_view(flags.data(), {n})};
    }
    PairOutputs pairs() {
        return {contiguous_view(ids.data(), {n}), pair(0), pair(1), pair(2), pair(3), triple(4),
                triple(5), triple(6), triple(7), triple(8), triple(9), single(10), single(11),
                single(12), single(13), single(14), single(15), contiguous_view(flags.data(), {n})};
    }
};

void print_row(const char* kernel, const char* target, std::int64_t elements, double ns) {
    std::printf("%-12s %-10s %10lld %12.1f\n", kernel, target, static_cast<long long>(elements),
                ns / static_cast<double>(elements));
}

void reconstruction_rows(std::int64_t n) {
    // Tracks: ns per observation, as the Python benchmark counts them.
    const Scene scene(n / Scene::kCameras);
    const ObservedScene s = scene.scene();
    const TrackGroups tracks = group_tracks(s.observations);
    Rows rows(tracks.track_count);
    TrackSettings track_settings{2, 0.6, 0.5, 1e-3};
    const auto observations = static_cast<std::int64_t>(scene.ids.size());
    for (const KernelTarget& target : kernel_targets()) {
        if (!target.supported()) continue;
        const double ns = best_ns(
            [&] {
                SightingScratch scratch;
                target.track_rows(s, tracks, track_settings, rows.tracks(), 0, tracks.track_count,
                                  scratch);
            },
            5);
        print_row("tracks", target.name, observations, ns);
    }
    print_row("tracks", "grouping", observations,
              best_ns([&] { (void)group_tracks(s.observations); }, 5));
    // The DIC sampling alone, every observation in table order.
    std::vector<DicSample> samples(static_cast<std::size_t>(observations));
    std::vector<double> px(samples.size()), py(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        px[i] = scene.uv[2 * i];
        py[i] = scene.uv[2 * i + 1];
    }
    for (const KernelTarget& target : kernel_targets()) {
        if (!target.supported()) continue;
        print_row("dic", target.name, observations, best_ns([&] {
                      target.dic_samples(s.dic, scene.cams.data(), px.data(), py.data(), observations,
                                         track_settings.min_corrcoef, samples.data());
                  }, 5));
    }
    print_row("dic", "scalar", observations, best_ns([&] {
                  for (std::size_t i = 0; i < samples.size(); ++i) {
                      samples[i] = sample_dic(s.dic, scene.cams[i], px[i], py[i], track_settings.min_corrcoef);
                  }
              }, 5));
    // Pair: ns per point of cameras 1 and 2.
    const PairGroups pair = group_pair(s.observations, 1, 2);
    const auto points = static_cast<std::int64_t>(pair.points.size());
    Rows pair_rows(points);
    PairSettings pair_settings{1, 2, 0.6, 0.5, 1e-3};
    for (const KernelTarget& target : kernel_targets()) {
        if (!target.supported()) continue;
        const double ns = best_ns(
            [&] { target.pair_rows(s, pair, pair_settings, pair_rows.pairs(), 0, points, 0); }, 5);
        print_row("pair", target.name, points, ns);
    }
    print_row("pair", "grouping", points, best_ns([&] { (void)group_pair(s.observations, 1, 2); }, 5));
}

}  // namespace

int main(int argc, char** argv) {
    const std::int64_t n = argc > 1 ? static_cast<std::int64_t>(std::atof(argv[1])) : 100000;
    std::printf("%-12s %-10s %10s %12s\n", "kernel", "target", "elements", "ns/element");
    const Mesh mesh(n);
    SurfaceResult result(mesh.count);
    const SurfaceInputs in = mesh.inputs();
    for (const KernelTarget& target : kernel_targets()) {
        if (!target.supported()) {
            continue;
        }
        const double ns = best_ns([&] { target.surface_rows(in, result.views, 0, mesh.count); }, 5);
        std::printf("%-12s %-10s %10lld %12.1f\n", "surface", target.name,
                    static_cast<long long>(mesh.count), ns / static_cast<double>(mesh.count));
    }
    const double scalar = best_ns(
        [&] {
            for (std::int64_t i = 0; i < mesh.count; ++i) {
                const std::int32_t* f = &mesh.faces[static_cast<std::size_t>(3 * i)];
                const auto p = [](const std::vector<double>& v, std::int32_t k) {
                    return Vector3{v[3 * k], v[3 * k + 1], v[3 * k + 2]};
                };
                TriangleKinematics k;
                if (triangle_kinematics(p(mesh.ref, f[0]), p(mesh.ref, f[1]), p(mesh.ref, f[2]),
                                        p(mesh.def, f[0]), p(mesh.def, f[1]), p(mesh.def, f[2]),
                                        k)) {
                    result.scalars[static_cast<std::size_t>(i)] = strain_measures(k).Eeq;
                }
            }
        },
        5);
    std::printf("%-12s %-10s %10lld %12.1f\n", "surface", "scalar", static_cast<long long>(mesh.count),
                scalar / static_cast<double>(mesh.count));
    reconstruction_rows(n);
    return 0;
}
