#include "camera.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace kestrine {

namespace {

struct Distortion {
    double k1 = 0.0;
    double k2 = 0.0;
    bool active = false;
};

// Coefficients up to 1e-12 in magnitude count as zero. The test is written so
// that a NaN coefficient keeps the lens model on (and poisons the result)
// instead of silently switching it off.
Distortion distortion_of(const CameraDistortion& dist, int c) {
    Distortion d;
    const std::int64_t D = dist.extent(1);
    d.k1 = D > 0 ? dist(c, 0) : 0.0;
    d.k2 = D >= 2 ? dist(c, 1) : 0.0;
    d.active = !(std::fabs(d.k1) <= 1e-12 && std::fabs(d.k2) <= 1e-12);
    return d;
}

double radial_factor(const Distortion& d, double r2) {
    return (1.0 + d.k1 * r2) + (d.k2 * r2) * r2;
}

// floor / llround results outside int range cannot address a grid node.
constexpr double kIntMin = static_cast<double>(std::numeric_limits<int>::min());
constexpr double kIntMax = static_cast<double>(std::numeric_limits<int>::max());

bool fits_int(double g) { return g >= kIntMin && g <= kIntMax; }

}  // namespace

double square(double x) { return x * x; }

Vector2 project_point(const Vector3& X, const CameraIntrinsics& K, const CameraDistortion& dist,
                      const CameraRotations& R, const CameraTranslations& t, int c) {
    double Xc[3];
    for (int i = 0; i < 3; ++i) {
        Xc[i] = ((R(c, i, 0) * X.x + R(c, i, 1) * X.y) + R(c, i, 2) * X.z) + t(c, i);
    }
    double x = Xc[0] / Xc[2];
    double y = Xc[1] / Xc[2];
    const Distortion d = distortion_of(dist, c);
    if (d.active) {
        const double r2 = x * x + y * y;
        const double s = radial_factor(d, r2);
        x = x * s;
        y = y * s;
    }
    const double fx = K(c, 0, 0);
    const double cx = K(c, 0, 2);
    const double fy = K(c, 1, 1);
    const double cy = K(c, 1, 2);
    return {fx * x + cx, fy * y + cy};
}

namespace {

// Distorted normalized coordinates of a pixel: step one of undistortion.
Vector2 distorted_normalized(const CameraIntrinsics& K, int c, double px, double py) {
    const double fx = K(c, 0, 0);
    const double cx = K(c, 0, 2);
    const double fy = K(c, 1, 1);
    const double cy = K(c, 1, 2);
    return {(px - cx) / fx, (py - cy) / fy};
}

// One fixed-point step x = xd / s(r2) of undistortion; false, with the
// estimate kept, once the radial factor has collapsed to within 1e-12 of zero.
[[gnu::always_inline]] inline bool undistort_step(const Distortion& d, const Vector2& distorted, Vector2& estimate) {
    const double r2 = estimate.x * estimate.x + estimate.y * estimate.y;
    const double s = radial_factor(d, r2);
    if (std::fabs(s) <= 1e-12) {
        return false;
    }
    estimate = {distorted.x / s, distorted.y / s};
    return true;
}

}  // namespace

Vector2 normalize_pixel(const CameraIntrinsics& K, const CameraDistortion& dist, int c, double px,
                        double py) {
    const Vector2 distorted = distorted_normalized(K, c, px, py);
    const Distortion d = distortion_of(dist, c);
    if (!d.active) {
        return distorted;
    }
    Vector2 estimate = distorted;
    for (int iteration = 0; iteration < 8 && undistort_step(d, distorted, estimate); ++iteration) {
    }
    return estimate;
}

std::array<Vector2, 2> normalize_pixels(const CameraIntrinsics& K, const CameraDistortion& dist,
                                        int c, const Vector2& first, const Vector2& second) {
    const std::array<Vector2, 2> distorted{distorted_normalized(K, c, first.x, first.y),
                                           distorted_normalized(K, c, second.x, second.y)};
    const Distortion d = distortion_of(dist, c);
    if (!d.active) {
        return distorted;
    }
    std::array<Vector2, 2> estimate = distorted;
    bool active[2] = {true, true};
    for (int iteration = 0; iteration < 8 && (active[0] || active[1]); ++iteration) {
        for (int j = 0; j < 2; ++j) {
            if (active[j]) {
                active[j] = undistort_step(d, distorted[j], estimate[j]);
            }
        }
    }
    return estimate;
}

Matrix34 pose_matrix(const CameraRotations& R, const CameraTranslations& t, int c) {
    Matrix34 P;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            P.m[static_cast<std::size_t>(4 * i + j)] = R(c, i, j);
        }
        P.m[static_cast<std::size_t>(4 * i + 3)] = t(c, i);
    }
    return P;
}

DicSample sample_dic(const DicFieldStack& dic, int c, double px, double py, double min_corrcoef) {
    const DicSample invalid{};
    // The step is formed in 64 bits: subset_spacing = INT_MAX is a legal grid.
    const double step =
        static_cast<double>(static_cast<std::int64_t>(dic.subset_spacing) + 1);
    const double gx = px / step;
    const double gy = py / step;
    // A non-finite pixel, or one beyond int range in grid units, lies outside
    // every grid and has no defined node index.
    if (!std::isfinite(gx) || !std::isfinite(gy) || !fits_int(std::floor(gx)) ||
        !fits_int(std::floor(gy))) {
        return invalid;
    }
    const std::int64_t width = dic.reduced_width;
    const std::int64_t height = dic.reduced_height;
    const std::int64_t x0 = static_cast<int>(std::floor(gx));
    const std::int64_t y0 = static_cast<int>(std::floor(gy));
    const std::int64_t x1 = x0 + 1;
    const std::int64_t y1 = y0 + 1;

    if (x0 >= 0 && y0 >= 0 && x1 < width && y1 < height && dic.valid(c, y0, x0) != 0 &&
        dic.valid(c, y0, x1) != 0 && dic.valid(c, y1, x0) != 0 && dic.valid(c, y1, x1) != 0) {
        const double c00 = dic.corrcoef(c, y0, x0);
        const double c10 = dic.corrcoef(c, y0, x1);
        const double c01 = dic.corrcoef(c, y1, x0);
        const double c11 = dic.corrcoef(c, y1, x1);
        const auto min2 = [](double a, double b) { return b < a ? b : a; };
        const double m = min2(min2(c00, c10), min2(c01, c11));
        if (m >= min_corrcoef) {
            const double fx = gx - static_cast<double>(x0);
            const double fy = gy - static_cast<double>(y0);
            const double w00 = (1.0 - fx) * (1.0 - fy);
            const double w10 = fx * (1.0 - fy);
            const double w01 = (1.0 - fx) * fy;
            const double w11 = fx * fy;
            DicSample s;
            s.u = dic.u(c, y0, x0) * w00 + dic.u(c, y0, x1) * w10 + dic.u(c, y1, x0) * w01 +
                  dic.u(c, y1, x1) * w11;
            s.v = dic.v(c, y0, x0) * w00 + dic.v(c, y0, x1) * w10 + dic.v(c, y1, x0) * w01 +
                  dic.v(c, y1, x1) * w11;
            s.corr = c00 * w00 + c10 * w10 + c01 * w01 + c11 * w11;
            s.valid = true;
            return s;
        }
    }

    // Nearest node only; halves round away from zero. gx within int range
    // keeps llround defined (it may reach INT_MAX + 1, which is off the grid).
    const std::int64_t xn = std::llround(gx);
    const std::int64_t yn = std::llround(gy);
    if (xn < 0 || yn < 0 || xn >= width || yn >= height || dic.valid(c, yn, xn) == 0 ||
        dic.corrcoef(c, yn, xn) < min_corrcoef) {
        return invalid;
    }
    return {dic.u(c, yn, xn), dic.v(c, yn, xn), dic.corrcoef(c, yn, xn), true};
}

namespace {

Matrix4 identity4() {
    Matrix4 I;
    for (int i = 0; i < 4; ++i) {
        I(i, i) = 1.0;
    }
    return I;
}

// The plane rotation (c, s) in (p, q): rows of A, then columns of the
// updated A, then columns of V.
[[gnu::always_inline]] inline void rotate4(Matrix4& A, Matrix4& V, int p, int q, double c,
                                           double s) {
    for (int k = 0; k < 4; ++k) {
        const double a = A(p, k);
        const double b = A(q, k);
        A(p, k) = c * a - s * b;
        A(q, k) = s * a + c * b;
    }
    for (int k = 0; k < 4; ++k) {
        const double a = A(k, p);
        const double b = A(k, q);
        A(k, p) = c * a - s * b;
        A(k, q) = s * a + c * b;
    }
    for (int k = 0; k < 4; ++k) {
        const double a = V(k, p);
        const double b = V(k, q);
        V(k, p) = c * a - s * b;
        V(k, q) = s * a + c * b;
    }
}

// The largest upper off-diagonal magnitude of A and its position, the first
// in row order among equal magnitudes. Written as selects rather than
// branches: the pivot moves unpredictably from one rotation to the next.
[[gnu::always_inline]] inline double jacobi4_pivot(const Matrix4& A, int& p, int& q) {
    p = 0;
    q = 1;
    double max = std::fabs(A(0, 1));
    for (int i = 0; i < 4; ++i) {
        for (int j = i + 1; j < 4; ++j) {
            const double candidate = std::fabs(A(i, j));
            const bool larger = candidate > max;
            max = larger ? candidate : max;
            p = larger ? i : p;
            q = larger ? j : q;
        }
    }
    return max;
}

// The rotation that annihilates A(p, q): its cosine and sine.
[[gnu::always_inline]] inline void jacobi4_angle(const Matrix4& A, int p, int q, double& c,
                                                 double& s) {
    const double theta = (A(q, q) - A(p, p)) / (2.0 * A(p, q));
    const double sgn = theta >= 0.0 ? 1.0 : -1.0;  // NaN gives -1
    const double t = sgn / (std::fabs(theta) + std::sqrt(1.0 + theta * theta));
    c = 1.0 / std::sqrt(1.0 + t * t);
    s = t * c;
}

// One Jacobi rotation of A (accumulated into V) about its pivot; false, with
// nothing changed, once the pivot is below 1e-12 (absolute).
[[gnu::always_inline]] inline bool jacobi4_step(Matrix4& A, Matrix4& V) {
    int p = 0;
    int q = 1;
    if (jacobi4_pivot(A, p, q) < 1e-12) {
        return false;
    }
    double c = 0.0;
    double s = 0.0;
    jacobi4_angle(A, p, q, c, s);
    rotate4(A, V, p, q, c, s);
    return true;
}

// The column of V belonging to the smallest diagonal entry of A (lowest
// index on ties); true when its fourth component is usable as W.
bool jacobi4_smallest(const Matrix4& A, const Matrix4& V, std::array<double, 4>& v) {
    int idx = 0;
    double m = A(0, 0);
    for (int i = 1; i < 4; ++i) {
        if (A(i, i) < m) {
            m = A(i, i);
            idx = i;
        }
    }
    for (int k = 0; k < 4; ++k) {
        v[static_cast<std::size_t>(k)] = V(k, idx);
    }
    return std::fabs(v[3]) > 1e-12;
}

constexpr int kMaxRotations = 64;

// jacobi4_step applied to several independent matrices at once, phase by
// phase: all pivot searches, then all angles, then all rotations. Each
// matrix sees exactly the operations it would see alone (and stops exactly
// when it would), but the divisions and square roots of different matrices
// stand next to each other and overlap instead of waiting on one another.
template <std::size_t kMax>
void jacobi4_lockstep(Matrix4 (&A)[kMax], Matrix4 (&V)[kMax], bool (&active)[kMax],
                      std::size_t count) {
    int p[kMax] = {};
    int q[kMax] = {};
    double c[kMax] = {};
    double s[kMax] = {};
    for (int rotation = 0; rotation < kMaxRotations; ++rotation) {
        bool any = false;
        for (std::size_t m = 0; m < count; ++m) {
            if (active[m]) {
                active[m] = !(jacobi4_pivot(A[m], p[m], q[m]) < 1e-12);
                any = any || active[m];
            }
        }
        if (!any) {
            return;
        }
        for (std::size_t m = 0; m < count; ++m) {
            if (active[m]) {
                jacobi4_angle(A[m], p[m], q[m], c[m], s[m]);
            }
        }
        for (std::size_t m = 0; m < count; ++m) {
            if (active[m]) {
                rotate4(A[m], V[m], p[m], q[m], c[m], s[m]);
            }
        }
    }
}

// Two rows per view, x P2 - P0 and y P2 - P1, accumulated into all sixteen
// entries of the normal matrix.
Matrix4 normal_matrix(std::span<const Vector2> rays, std::span<const Matrix34> projections) {
    Matrix4 AtA;
    for (std::size_t k = 0; k < rays.size(); ++k) {
        const double x = rays[k].x;
        const double y = rays[k].y;
        const Matrix34& P = projections[k];
        double r1[4];
        double r2[4];
        for (int j = 0; j < 4; ++j) {
            r1[j] = x * P(2, j) - P(0, j);
            r2[j] = y * P(2, j) - P(1, j);
        }
        for (const double* r : {r1, r2}) {
            for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < 4; ++j) {
                    AtA(i, j) += r[i] * r[j];
                }
            }
        }
    }
    return AtA;
}

bool dehomogenize(const std::array<double, 4>& homog, Vector3& X) {
    X = {homog[0] / homog[3], homog[1] / homog[3], homog[2] / homog[3]};
    return std::isfinite(X.x) && std::isfinite(X.y) && std::isfinite(X.z);
}

}  // namespace

bool jacobi_eigen4(Matrix4 A, std::array<double, 4>& v) {
    Matrix4 V = identity4();
    for (int rotation = 0; rotation < kMaxRotations && jacobi4_step(A, V); ++rotation) {
    }
    return jacobi4_smallest(A, V, v);
}

bool triangulate_dlt(std::span<const Vector2> rays, std::span<const Matrix34> projections,
                     Vector3& X) {
    if (rays.size() < 2) {
        return false;
    }
    std::array<double, 4> homog{0.0, 0.0, 0.0, 0.0};
    if (!jacobi_eigen4(normal_matrix(rays, projections), homog)) {
        return false;
    }
    return dehomogenize(homog, X);
}

void triangulate_dlt_states(std::span<const PointRays> points, std::span<Vector3> Xr,
                            std::span<Vector3> Xd, std::span<bool> ok) {
    // The eigen-solves of all points and both states advance one rotation at
    // a time, each exactly as it would alone, so that their long chains of
    // divisions and square roots overlap.
    constexpr std::size_t kMax = 2 * kMaxTriangulationBatch;
    Matrix4 A[kMax];
    Matrix4 V[kMax];
    bool active[kMax] = {};
    const std::size_t count = std::min(points.size(), kMaxTriangulationBatch);
    for (std::size_t j = 0; j < count; ++j) {
        ok[j] = false;
        if (points[j].rays_ref.size() < 2) {
            continue;
        }
        A[2 * j] = normal_matrix(points[j].rays_ref, points[j].projections);
        A[2 * j + 1] = normal_matrix(points[j].rays_def, points[j].projections);
        V[2 * j] = identity4();
        V[2 * j + 1] = identity4();
        active[2 * j] = active[2 * j + 1] = true;
    }
    jacobi4_lockstep(A, V, active, 2 * count);
    for (std::size_t j = 0; j < count; ++j) {
        if (points[j].rays_ref.size() < 2) {
            continue;
        }
        std::array<double, 4> homog{0.0, 0.0, 0.0, 0.0};
        if (!jacobi4_smallest(A[2 * j], V[2 * j], homog) || !dehomogenize(homog, Xr[j])) {
            continue;
        }
        homog = {0.0, 0.0, 0.0, 0.0};
        ok[j] = jacobi4_smallest(A[2 * j + 1], V[2 * j + 1], homog) && dehomogenize(homog, Xd[j]);
    }
}

void prefetch_dic(const DicFieldStack& dic, int c, double px, double py) {
    const double step = static_cast<double>(static_cast<std::int64_t>(dic.subset_spacing) + 1);
    const double gx = px / step;
    const double gy = py / step;
    if (!(gx >= 0.0 && gy >= 0.0 && gx < dic.reduced_width && gy < dic.reduced_height)) {
        return;
    }
    const auto x0 = static_cast<std::int64_t>(gx);
    const auto y0 = static_cast<std::int64_t>(gy);
    const std::int64_t y1 = y0 + 1 < dic.reduced_height ? y0 + 1 : y0;
    for (const std::int64_t y : {y0, y1}) {
        __builtin_prefetch(dic.valid.address(c, y, x0));
        __builtin_prefetch(dic.corrcoef.address(c, y, x0));
        __builtin_prefetch(dic.u.address(c, y, x0));
        __builtin_prefetch(dic.v.address(c, y, x0));
    }
}

}  // namespace kestrine
