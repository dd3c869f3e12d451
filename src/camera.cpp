#include "camera.hpp"

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

Vector2 normalize_pixel(const CameraIntrinsics& K, const CameraDistortion& dist, int c, double px,
                        double py) {
    const double fx = K(c, 0, 0);
    const double cx = K(c, 0, 2);
    const double fy = K(c, 1, 1);
    const double cy = K(c, 1, 2);
    const double xd = (px - cx) / fx;
    const double yd = (py - cy) / fy;
    const Distortion d = distortion_of(dist, c);
    if (!d.active) {
        return {xd, yd};
    }
    double x = xd;
    double y = yd;
    for (int iteration = 0; iteration < 8; ++iteration) {
        const double r2 = x * x + y * y;
        const double s = radial_factor(d, r2);
        if (std::fabs(s) <= 1e-12) {
            break;
        }
        x = xd / s;
        y = yd / s;
    }
    return {x, y};
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

bool jacobi_eigen4(Matrix4 A, std::array<double, 4>& v) {
    Matrix4 V;
    for (int i = 0; i < 4; ++i) {
        V(i, i) = 1.0;
    }
    for (int rotation = 0; rotation < 64; ++rotation) {
        int p = 0;
        int q = 1;
        double max = std::fabs(A(0, 1));
        for (int i = 0; i < 4; ++i) {
            for (int j = i + 1; j < 4; ++j) {
                if (std::fabs(A(i, j)) > max) {
                    max = std::fabs(A(i, j));
                    p = i;
                    q = j;
                }
            }
        }
        if (max < 1e-12) {
            break;
        }
        const double theta = (A(q, q) - A(p, p)) / (2.0 * A(p, q));
        const double sgn = theta >= 0.0 ? 1.0 : -1.0;
        const double t = sgn / (std::fabs(theta) + std::sqrt(1.0 + theta * theta));
        const double c = 1.0 / std::sqrt(1.0 + t * t);
        const double s = t * c;
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

bool triangulate_dlt(std::span<const Vector2> rays, std::span<const Matrix34> projections,
                     Vector3& X) {
    const std::size_t n = rays.size();
    if (n < 2) {
        return false;
    }
    Matrix4 AtA;
    for (std::size_t k = 0; k < n; ++k) {
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
    std::array<double, 4> homog{0.0, 0.0, 0.0, 0.0};
    if (!jacobi_eigen4(AtA, homog)) {
        return false;
    }
    X = {homog[0] / homog[3], homog[1] / homog[3], homog[2] / homog[3]};
    return std::isfinite(X.x) && std::isfinite(X.y) && std::isfinite(X.z);
}

}  // namespace kestrine
