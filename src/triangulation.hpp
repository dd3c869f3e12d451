// Linear multi-view triangulation: the homogeneous DLT over undistorted
// normalized rays and camera poses, solved with a 4 x 4 Jacobi eigen-solver.
#pragma once

#include <array>
#include <span>

#include "algebra.hpp"

namespace kestrine {

// Eigenvector of the smallest diagonal entry after Jacobi rotations of the
// symmetric A (largest off-diagonal pivot, first in row order on ties,
// absolute 1e-12 stop, at most 64 rotations). v is always written; true when
// |v[3]| > 1e-12.
bool jacobi_eigen4(Matrix4 A, std::array<double, 4>& v);

// Homogeneous DLT over normalized rays and their camera poses (same length
// and order). X is written only from the eigen-solve on; true when X is finite.
bool triangulate_dlt(std::span<const Vector2> rays, std::span<const Matrix34> poses, Vector3& X);

}  // namespace kestrine
