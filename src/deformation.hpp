// Surface deformation of a triangle mesh known in a reference and a deformed
// state: per-triangle membrane kinematics, the symmetric 3 x 3
// eigen-decomposition, strain measures and the per-face driver loop.
// No Python here: the driver reads and writes through strided views.
#pragma once

#include <array>
#include <cstdint>

#include "algebra.hpp"
#include "parallel.hpp"
#include "views.hpp"

namespace kestrine {

// ---- Triangle kinematics ---------------------------------------------------

struct TriangleKinematics {
    Vector3 D3;             // unit normal of the reference triangle
    Vector3 d3;             // unit normal of the deformed triangle
    double twice_area = 0;  // twice the reference area
    Matrix3 F;              // deformation gradient; maps D3 onto d3
    Matrix3 C;              // F^T F
    Matrix3 B_inv;          // (F F^T)^-1
    Matrix3 E;              // Green-Lagrange strain, (C - I) / 2
    Matrix3 e;              // Euler-Almansi strain, (I - B_inv) / 2
};

// Membrane kinematics of the triangle X1 X2 X3 deformed into x1 x2 x3. Rejects
// (returns false, out unspecified) a non-finite vertex, a cross-product norm
// <= 1e-18 in either state, twice the area <= 1e-18 (thresholds absolute, in
// squared input units) and a singular F F^T (|det F| <= ~1e-9).
bool triangle_kinematics(const Vector3& X1, const Vector3& X2, const Vector3& X3,
                         const Vector3& x1, const Vector3& x2, const Vector3& x3,
                         TriangleKinematics& out);

// ---- Eigen-analysis and strain measures ------------------------------------

struct SymmetricEigen3 {
    std::array<double, 3> values{};  // ascending
    Matrix3 vectors;                 // column k belongs to values[k]
};

// Classical Jacobi on a symmetric matrix: the pivot is the largest upper
// off-diagonal element (ties keep the earlier of (0,1), (0,2), (1,2)); stops
// when it is below 1e-14 (absolute) or after 64 rotations, silently. Values
// are sorted stably, so equal diagonal entries keep their index order.
SymmetricEigen3 jacobi_eigen3(Matrix3 A);

// The two principal values whose eigenvector is not the one most aligned with
// the unit normal n (earliest on ties), ascending.
std::array<double, 2> planar_values(const SymmetricEigen3& eig, const Vector3& n);

struct FaceStrain {
    double J = 0, Emgn = 0, emgn = 0, Epc1 = 0, Epc2 = 0, epc1 = 0, epc2 = 0, EShearMax = 0,
           eShearMax = 0, Eeq = 0, eeq = 0, Area = 0, Lambda1 = 0, Lambda2 = 0;
};

// Scalar strain measures of an accepted triangle. In-plane stretches drop the
// stretch closest to 1 (lower index on ties); in-plane strains drop the value
// whose eigenvector is most aligned with the normal of their state.
FaceStrain strain_measures(const TriangleKinematics& k);

// ---- Driver over a whole mesh ----------------------------------------------

struct SurfaceInputs {
    ArrayView<const std::int32_t, 2> faces;
    ArrayView<const double, 2> points_ref;
    ArrayView<const double, 2> points_def;
    ArrayView<const BoolByte, 1> valid_faces;
};

// The results of compute_surface_deformation, one row per face.
#define KESTRINE_SURFACE_RESULTS(X)    \
    X(Fmat, double, (3, 3))            \
    X(Cmat, double, (3, 3))            \
    X(J, double, ())                   \
    X(Emat, double, (3, 3))            \
    X(emat, double, (3, 3))            \
    X(Emgn, double, ())                \
    X(emgn, double, ())                \
    X(Epc1, double, ())                \
    X(Epc2, double, ())                \
    X(epc1, double, ())                \
    X(epc2, double, ())                \
    X(EShearMax, double, ())           \
    X(eShearMax, double, ())           \
    X(Eeq, double, ())                 \
    X(eeq, double, ())                 \
    X(Area, double, ())                \
    X(d3, double, (3))                 \
    X(Lambda1, double, ())             \
    X(Lambda2, double, ())             \
    X(valid_strain_faces, bool, ())

struct SurfaceOutputs {
    KESTRINE_SURFACE_RESULTS(KESTRINE_RESULT_VIEW)
};

// Writes every element of rows 0 .. M-1 (M = rows of faces): the results of a
// valid, accepted face, or quiet NaN (0x7FF8000000000000) and false. Each row
// is written only once all its values are known. Requires check_surface_inputs
// to have passed. With threads > 1 the rows are split into contiguous ranges,
// one per member of the team; the results are the same bits whatever the count.
void compute_surface_rows(const SurfaceInputs& in, const SurfaceOutputs& out, Team& team,
                          int threads);
void compute_surface_rows(const SurfaceInputs& in, const SurfaceOutputs& out);

}  // namespace kestrine
