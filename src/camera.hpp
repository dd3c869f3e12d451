// Camera geometry kernels: pinhole projection with two-coefficient radial
// distortion, undistortion, DIC field sampling and linear triangulation.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "values.hpp"
#include "views.hpp"

namespace kestrine {

using CameraIntrinsics = ArrayView<const double, 3>;   // K (cameras, 3, 3)
using CameraDistortion = ArrayView<const double, 2>;   // dist (cameras, D)
using CameraRotations = ArrayView<const double, 3>;    // R (cameras, 3, 3)
using CameraTranslations = ArrayView<const double, 2>; // t (cameras, 3)

// The four camera arrays read together; one index selects a camera in all of them.
struct CameraSet {
    CameraIntrinsics K;
    CameraDistortion dist;
    CameraRotations R;
    CameraTranslations t;
};

// Per-camera DIC results on a regular grid of the reference image.
struct DicFieldStack {
    ArrayView<const double, 3> u;         // dic_u [camera, grid row, grid column]
    ArrayView<const double, 3> v;         // dic_v
    ArrayView<const double, 3> corrcoef;  // dic_corrcoef
    ArrayView<const BoolByte, 3> valid;   // dic_valid
    int reduced_height = 0;
    int reduced_width = 0;
    int subset_spacing = 0;  // grid step minus one, in pixels
};

struct DicSample {
    double u = 0.0;
    double v = 0.0;
    double corr = 0.0;
    bool valid = false;
};

double square(double x);

// Distorted pixel at which camera c sees the world point X. No depth test:
// points behind the camera project like any other.
Vector2 project_point(const Vector3& X, const CameraIntrinsics& K, const CameraDistortion& dist,
                      const CameraRotations& R, const CameraTranslations& t, int c);

// Undistorted normalized image coordinates of pixel (px, py) of camera c:
// eight fixed-point iterations, no convergence test.
Vector2 normalize_pixel(const CameraIntrinsics& K, const CameraDistortion& dist, int c, double px,
                        double py);

// normalize_pixel of two pixels of camera c, computed side by side: the
// fixed-point iterations of one pixel overlap those of the other.
std::array<Vector2, 2> normalize_pixels(const CameraIntrinsics& K, const CameraDistortion& dist,
                                        int c, const Vector2& first, const Vector2& second);

// [R | t] of camera c, copied exactly.
Matrix34 pose_matrix(const CameraRotations& R, const CameraTranslations& t, int c);

// DIC displacement, correlation and validity at pixel (px, py) of camera c:
// bilinear when the four surrounding nodes pass, otherwise the nearest node.
DicSample sample_dic(const DicFieldStack& dic, int c, double px, double py, double min_corrcoef);

// Eigenvector of the smallest diagonal entry after Jacobi rotations of the
// symmetric A (largest off-diagonal pivot, absolute 1e-12 stop, at most 64
// rotations). v is always written; true when |v[3]| > 1e-12.
bool jacobi_eigen4(Matrix4 A, std::array<double, 4>& v);

// Homogeneous DLT over normalized rays and their poses (same length and
// order). X is written only from the eigen-solve on; true when X is finite.
bool triangulate_dlt(std::span<const Vector2> rays, std::span<const Matrix34> projections,
                     Vector3& X);

// The views of one point in both states: rays in the reference and the
// deformed image, with the pose of each view (all three in the same order).
struct PointRays {
    std::span<const Vector2> rays_ref;
    std::span<const Vector2> rays_def;
    std::span<const Matrix34> projections;
};

inline constexpr std::size_t kMaxTriangulationBatch = 2;

// For each of up to kMaxTriangulationBatch points: the same as triangulate_dlt
// of its reference rays and then, only when that succeeds, of its deformed
// rays; ok[j] is true when both succeed, and only then are Xr[j], Xd[j] meant
// to be used. The eigen-solves of all of them run interleaved.
void triangulate_dlt_states(std::span<const PointRays> points, std::span<Vector3> Xr,
                            std::span<Vector3> Xd, std::span<bool> ok);

// A hint only: asks for the DIC nodes that sample_dic would read at pixel
// (px, py) of camera c to be brought into cache.
void prefetch_dic(const DicFieldStack& dic, int c, double px, double py);

}  // namespace kestrine
