// ns per element of every batch-kernel target this CPU supports, on the same
// inputs, so the instruction sets can be compared without Python in the way.
//     build/cpp/kernel_bench [elements]
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "deformation.hpp"
#include "simd/targets.hpp"

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
    return 0;
}
