#include "deformation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "parallel.hpp"
#include "simd/targets.hpp"

namespace kestrine {

// ---- Triangle kinematics ---------------------------------------------------

bool triangle_kinematics(const Vector3& X1, const Vector3& X2, const Vector3& X3,
                         const Vector3& x1, const Vector3& x2, const Vector3& x3,
                         TriangleKinematics& out) {
    if (!all_finite(X1) || !all_finite(X2) || !all_finite(X3) || !all_finite(x1) ||
        !all_finite(x2) || !all_finite(x3)) {
        return false;
    }
    const Vector3 D1 = subtract(X2, X1);
    const Vector3 D2 = subtract(X3, X1);
    const Vector3 d1 = subtract(x2, x1);
    const Vector3 d2 = subtract(x3, x1);

    const Vector3 crossD = cross(D1, D2);
    const Vector3 crossd = cross(d1, d2);
    const double nD = norm(crossD);
    const double nd = norm(crossd);
    // Absolute threshold. A NaN norm (overflowed squares) passes these tests;
    // the finiteness test of invert rejects such a triangle later.
    if (nD <= 1e-18 || nd <= 1e-18) {
        return false;
    }
    const Vector3 D3 = scaled(crossD, 1.0 / nD);
    const Vector3 d3 = scaled(crossd, 1.0 / nd);

    const double twice_area = dot(crossD, D3);
    if (std::fabs(twice_area) <= 1e-18) {
        return false;
    }
    const Vector3 Drec1 = scaled(cross(D2, D3), 1.0 / twice_area);
    const Vector3 Drec2 = scaled(cross(D3, D1), 1.0 / twice_area);

    // The normal term maps D3 onto d3: no stretch through the thickness, and
    // det F > 0 even for a mirrored deformed triangle.
    const Matrix3 F = add(add(outer(d1, Drec1), outer(d2, Drec2)), outer(d3, D3));
    const Matrix3 C = matmul(transpose(F), F);
    const Matrix3 B = matmul(F, transpose(F));
    Matrix3 B_inv;
    if (!invert(B, B_inv)) {
        return false;
    }

    out.D3 = D3;
    out.d3 = d3;
    out.twice_area = twice_area;
    out.F = F;
    out.C = C;
    out.B_inv = B_inv;
    for (int k = 0; k < 9; ++k) {
        const double delta = (k == 0 || k == 4 || k == 8) ? 1.0 : 0.0;
        out.E[k] = 0.5 * (C[k] - delta);
        out.e[k] = 0.5 * (delta - B_inv[k]);
    }
    return true;
}

// ---- Eigen-analysis and strain measures ------------------------------------

namespace {

Matrix3 identity3() {
    Matrix3 I;
    I(0, 0) = 1.0;
    I(1, 1) = 1.0;
    I(2, 2) = 1.0;
    return I;
}

// Rotation (p, q) of a row-major A and its accumulated V: columns p and q of
// A, then rows p and q of the updated A, then columns p and q of V. The pivot
// is not zeroed explicitly.
template <int p, int q>
void jacobi_rotation(double* A, double* V) {
    const double theta = (A[4 * q] - A[4 * p]) / (2.0 * A[3 * p + q]);
    const double sign = theta >= 0.0 ? 1.0 : -1.0;  // NaN gives -1
    const double t = sign / (std::fabs(theta) + std::sqrt(1.0 + theta * theta));
    const double c = 1.0 / std::sqrt(1.0 + t * t);
    const double s = t * c;
    for (int k = 0; k < 3; ++k) {
        const double a = A[3 * k + p];
        const double b = A[3 * k + q];
        A[3 * k + p] = c * a - s * b;
        A[3 * k + q] = s * a + c * b;
    }
    for (int k = 0; k < 3; ++k) {
        const double a = A[3 * p + k];
        const double b = A[3 * q + k];
        A[3 * p + k] = c * a - s * b;
        A[3 * q + k] = s * a + c * b;
    }
    for (int k = 0; k < 3; ++k) {
        const double a = V[3 * k + p];
        const double b = V[3 * k + q];
        V[3 * k + p] = c * a - s * b;
        V[3 * k + q] = s * a + c * b;
    }
}

// Pivot of a matrix from its upper off-diagonal elements: 0, 1, 2 for (0,1),
// (0,2), (1,2), a later position winning only when strictly greater; -1 when
// the pivot's magnitude is below 1e-14 (absolute), which ends the iteration.
int jacobi_pivot(double a01, double a02, double a12) {
    int pivot = 0;
    double m = std::fabs(a01);
    if (std::fabs(a02) > m) {
        pivot = 1;
        m = std::fabs(a02);
    }
    if (std::fabs(a12) > m) {
        pivot = 2;
        m = std::fabs(a12);
    }
    return m < 1e-14 ? -1 : pivot;
}

void jacobi_rotate(int pivot, double* A, double* V) {
    if (pivot == 0) {
        jacobi_rotation<0, 1>(A, V);
    } else if (pivot == 1) {
        jacobi_rotation<0, 2>(A, V);
    } else {
        jacobi_rotation<1, 2>(A, V);
    }
}

// One Jacobi step; false, with nothing changed, when the iteration has ended.
bool jacobi_step(Matrix3& A, Matrix3& V) {
    const int pivot = jacobi_pivot(A[1], A[2], A[5]);
    if (pivot < 0) {
        return false;
    }
    jacobi_rotate(pivot, A.m.data(), V.m.data());
    return true;
}

// Diagonal of the rotated A ascending, with the matching columns of V. The
// insertion sort with strict < is stable: equal diagonal entries keep their
// index order.
SymmetricEigen3 jacobi_result(const Matrix3& A, const Matrix3& V) {
    std::array<int, 3> order{0, 1, 2};
    for (int i = 1; i < 3; ++i) {
        for (int j = i; j > 0 && A(order[j], order[j]) < A(order[j - 1], order[j - 1]); --j) {
            const int tmp = order[j];
            order[j] = order[j - 1];
            order[j - 1] = tmp;
        }
    }
    SymmetricEigen3 out;
    for (int i = 0; i < 3; ++i) {
        out.values[i] = A(order[i], order[i]);
        for (int r = 0; r < 3; ++r) {
            out.vectors(r, i) = V(r, order[i]);
        }
    }
    return out;
}

constexpr int kMaxRotations = 64;

}  // namespace

SymmetricEigen3 jacobi_eigen3(Matrix3 A) {
    Matrix3 V = identity3();
    // Running out of rotations is silent: the current diagonal is returned.
    for (int rotation = 0; rotation < kMaxRotations && jacobi_step(A, V); ++rotation) {
    }
    return jacobi_result(A, V);
}

namespace {

// The two entries of v other than v[skip], in index order, then ascending.
std::array<double, 2> other_two_ascending(const std::array<double, 3>& v, int skip) {
    const double a = skip == 0 ? v[1] : v[0];
    const double b = skip == 2 ? v[1] : v[2];
    if (b < a) {
        return {b, a};
    }
    return {a, b};
}

}  // namespace

std::array<double, 2> planar_values(const SymmetricEigen3& eig, const Vector3& n) {
    int normal = 0;
    double best = -1.0;
    for (int k = 0; k < 3; ++k) {
        const Vector3 column{eig.vectors(0, k), eig.vectors(1, k), eig.vectors(2, k)};
        const double alignment = std::fabs(dot(column, n));
        if (alignment > best) {
            best = alignment;
            normal = k;
        }
    }
    return other_two_ascending(eig.values, normal);
}

namespace {

// A minus a third of its trace on the diagonal; the trace sums (0,0) + (1,1)
// first.
Matrix3 deviator(const Matrix3& A) {
    const double third_trace = ((A[0] + A[4]) + A[8]) / 3.0;
    Matrix3 out = A;
    out[0] = A[0] - third_trace;
    out[4] = A[4] - third_trace;
    out[8] = A[8] - third_trace;
    return out;
}

// sqrt(2/3 Adev:Adev), with the constant the double nearest 2/3.
double equivalent_strain(const Matrix3& A) {
    const Matrix3 dev = deviator(A);
    const double fn = frobenius_norm(dev);
    return std::sqrt((0.6666666666666666 * fn) * fn);
}

}  // namespace

FaceStrain strain_measures(const TriangleKinematics& k) {
    const SymmetricEigen3 Ceig = jacobi_eigen3(k.C);
    std::array<double, 3> lambdas{};
    for (int i = 0; i < 3; ++i) {
        // Clamps negative and NaN eigenvalues of C to a stretch of 0.
        const double v = Ceig.values[i];
        lambdas[i] = std::sqrt(v > 0.0 ? v : 0.0);
    }
    // The through-thickness stretch is 1 by construction of F; the stretch
    // nearest 1 is dropped whatever its eigenvector (lower index on ties).
    int out_of_plane = 0;
    double distance = std::fabs(lambdas[0] - 1.0);
    for (int i = 1; i < 3; ++i) {
        const double d = std::fabs(lambdas[i] - 1.0);
        if (d < distance) {
            distance = d;
            out_of_plane = i;
        }
    }
    const std::array<double, 2> planar_lambda = other_two_ascending(lambdas, out_of_plane);

    const SymmetricEigen3 Eeig = jacobi_eigen3(k.E);
    const SymmetricEigen3 eeig = jacobi_eigen3(k.e);
    const std::array<double, 2> Eplanar = planar_values(Eeig, k.D3);
    const std::array<double, 2> eplanar = planar_values(eeig, k.d3);

    FaceStrain s;
    s.J = det(k.F);
    s.Emgn = frobenius_norm(k.E);
    s.emgn = frobenius_norm(k.e);
    s.Epc1 = Eplanar[0];
    s.Epc2 = Eplanar[1];
    s.epc1 = eplanar[0];
    s.epc2 = eplanar[1];
    s.EShearMax = 0.5 * (Eplanar[1] - Eplanar[0]);
    s.eShearMax = 0.5 * (eplanar[1] - eplanar[0]);
    s.Eeq = equivalent_strain(k.E);
    s.eeq = equivalent_strain(k.e);
    s.Area = 0.5 * k.twice_area;
    s.Lambda1 = planar_lambda[0];
    s.Lambda2 = planar_lambda[1];
    return s;
}

// ---- Driver over a whole mesh ----------------------------------------------

void compute_surface_rows(const SurfaceInputs& in, const SurfaceOutputs& out, Team& team,
                          int threads) {
    const KernelTarget& target = chosen_target();
    // Range boundaries on whole blocks keep each thread's output stores apart.
    team.run_ranges(threads, in.faces.shape[0], 64, [&](std::int64_t begin, std::int64_t end) {
        target.surface_rows(in, out, begin, end);
    });
}

void compute_surface_rows(const SurfaceInputs& in, const SurfaceOutputs& out) {
    chosen_target().surface_rows(in, out, 0, in.faces.shape[0]);
}

}  // namespace kestrine
