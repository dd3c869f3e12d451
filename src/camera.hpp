// The camera model: pinhole projection with two-coefficient radial
// distortion, undistortion of pixels and the camera pose.
#pragma once

#include "algebra.hpp"
#include "views.hpp"

namespace kestrine {

// The camera arrays, each a stack over all cameras.
using IntrinsicsStack = ArrayView<const double, 3>;   // K (cameras, 3, 3)
using DistortionStack = ArrayView<const double, 2>;   // dist (cameras, D)
using RotationStack = ArrayView<const double, 3>;     // R (cameras, 3, 3)
using TranslationStack = ArrayView<const double, 2>;  // t (cameras, 3)

// The four camera arrays read together; one index selects a camera in all of them.
struct CameraSet {
    IntrinsicsStack K;
    DistortionStack dist;
    RotationStack R;
    TranslationStack t;
};


// Distorted pixel at which camera c sees the world point X. No depth test:
// points behind the camera project like any other.
Vector2 project_point(const Vector3& X, const IntrinsicsStack& K, const DistortionStack& dist,
                      const RotationStack& R, const TranslationStack& t, int c);

// Undistorted normalized image coordinates of pixel (px, py) of camera c:
// eight fixed-point iterations, no convergence test.
Vector2 normalize_pixel(const IntrinsicsStack& K, const DistortionStack& dist, int c, double px,
                        double py);

// The pose [R | t] of camera c, copied exactly.
Matrix34 pose_matrix(const RotationStack& R, const TranslationStack& t, int c);

}  // namespace kestrine
