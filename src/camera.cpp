#include "camera.hpp"

#include <cmath>
#include <cstdint>

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
Distortion distortion_of(const DistortionStack& dist, int c) {
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

}  // namespace


Vector2 project_point(const Vector3& X, const IntrinsicsStack& K, const DistortionStack& dist,
                      const RotationStack& R, const TranslationStack& t, int c) {
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

Vector2 normalize_pixel(const IntrinsicsStack& K, const DistortionStack& dist, int c, double px,
                        double py) {
    const double fx = K(c, 0, 0);
    const double cx = K(c, 0, 2);
    const double fy = K(c, 1, 1);
    const double cy = K(c, 1, 2);
    const Vector2 distorted{(px - cx) / fx, (py - cy) / fy};
    const Distortion d = distortion_of(dist, c);
    if (!d.active) {
        return distorted;
    }
    Vector2 estimate = distorted;
    for (int iteration = 0; iteration < 8; ++iteration) {
        const double r2 = estimate.x * estimate.x + estimate.y * estimate.y;
        const double s = radial_factor(d, r2);
        if (std::fabs(s) <= 1e-12) {
            break;  // the radial factor collapsed: keep the current estimate
        }
        estimate = {distorted.x / s, distorted.y / s};
    }
    return estimate;
}

Matrix34 pose_matrix(const RotationStack& R, const TranslationStack& t, int c) {
    Matrix34 P;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            P.m[static_cast<std::size_t>(4 * i + j)] = R(c, i, j);
        }
        P.m[static_cast<std::size_t>(4 * i + 3)] = t(c, i);
    }
    return P;
}

}  // namespace kestrine
