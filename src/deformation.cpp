#include "deformation.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

namespace kestrine {

// ---- Vector3 and Matrix3 algebra -------------------------------------------

double dot(const Vector3& a, const Vector3& b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }

Vector3 subtract(const Vector3& a, const Vector3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

Vector3 cross(const Vector3& a, const Vector3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

double norm(const Vector3& a) { return std::sqrt(dot(a, a)); }

Vector3 scaled(const Vector3& a, double s) { return {a.x * s, a.y * s, a.z * s}; }

bool all_finite(const Vector3& a) {
    return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z);
}

Matrix3 outer(const Vector3& a, const Vector3& b) {
    Matrix3 out;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            out(r, c) = a[r] * b[c];
        }
    }
    return out;
}

Matrix3 add(const Matrix3& A, const Matrix3& B) {
    Matrix3 out;
    for (int k = 0; k < 9; ++k) {
        out[k] = A[k] + B[k];
    }
    return out;
}

Matrix3 matmul(const Matrix3& A, const Matrix3& B) {
    Matrix3 out;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            out(r, c) = (A[r * 3] * B[c] + A[r * 3 + 1] * B[3 + c]) + A[r * 3 + 2] * B[6 + c];
        }
    }
    return out;
}

Matrix3 transpose(const Matrix3& A) {
    Matrix3 out;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            out(r, c) = A(c, r);
        }
    }
    return out;
}

double det(const Matrix3& A) {
    return (A[0] * (A[4] * A[8] - A[5] * A[7]) - A[1] * (A[3] * A[8] - A[5] * A[6])) +
           A[2] * (A[3] * A[7] - A[4] * A[6]);
}

bool invert(const Matrix3& A, Matrix3& out) {
    const double d = det(A);
    if (std::fabs(d) <= 1e-18 || !std::isfinite(d)) {
        return false;
    }
    const double r = 1.0 / d;
    out[0] = (A[4] * A[8] - A[5] * A[7]) * r;
    out[1] = (A[2] * A[7] - A[1] * A[8]) * r;
    out[2] = (A[1] * A[5] - A[2] * A[4]) * r;
    out[3] = (A[5] * A[6] - A[3] * A[8]) * r;
    out[4] = (A[0] * A[8] - A[2] * A[6]) * r;
    out[5] = (A[2] * A[3] - A[0] * A[5]) * r;
    out[6] = (A[3] * A[7] - A[4] * A[6]) * r;
    out[7] = (A[1] * A[6] - A[0] * A[7]) * r;
    out[8] = (A[0] * A[4] - A[1] * A[3]) * r;
    return true;
}

double frobenius_norm(const Matrix3& A) {
    double sum = 0.0;
    for (int k = 0; k < 9; ++k) {
        sum += A[k] * A[k];
    }
    return std::sqrt(sum);
}

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

// Two matrices side by side, element k of both in one vector register. Each
// lane is plain IEEE double arithmetic, so a lane computes bit for bit what
// the scalar code computes.
using Lanes = double __attribute__((vector_size(16)));

double abs_of(double x) { return std::fabs(x); }
Lanes abs_of(Lanes x) { return Lanes{std::fabs(x[0]), std::fabs(x[1])}; }
double sqrt_of(double x) { return std::sqrt(x); }
Lanes sqrt_of(Lanes x) { return Lanes{std::sqrt(x[0]), std::sqrt(x[1])}; }
// 1 for theta >= 0, otherwise -1 (NaN included).
double sign_of(double theta) { return theta >= 0.0 ? 1.0 : -1.0; }
Lanes sign_of(Lanes theta) { return Lanes{sign_of(theta[0]), sign_of(theta[1])}; }

// Rotation (p, q) of a row-major A and its accumulated V (nine elements each,
// T = double or Lanes): columns p and q of A, then rows p and q of the
// updated A, then columns p and q of V. The pivot is not zeroed explicitly.
template <int p, int q, typename T>
void jacobi_rotation(T* A, T* V) {
    const T theta = (A[4 * q] - A[4 * p]) / (2.0 * A[3 * p + q]);
    const T sign = sign_of(theta);
    const T t = sign / (abs_of(theta) + sqrt_of(1.0 + theta * theta));
    const T c = 1.0 / sqrt_of(1.0 + t * t);
    const T s = t * c;
    for (int k = 0; k < 3; ++k) {
        const T a = A[3 * k + p];
        const T b = A[3 * k + q];
        A[3 * k + p] = c * a - s * b;
        A[3 * k + q] = s * a + c * b;
    }
    for (int k = 0; k < 3; ++k) {
        const T a = A[3 * p + k];
        const T b = A[3 * q + k];
        A[3 * p + k] = c * a - s * b;
        A[3 * q + k] = s * a + c * b;
    }
    for (int k = 0; k < 3; ++k) {
        const T a = V[3 * k + p];
        const T b = V[3 * k + q];
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

template <typename T>
void jacobi_rotate(int pivot, T* A, T* V) {
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

// One Jacobi step of both lanes. A lane whose iteration has ended is left
// unchanged, so asking it again gives the same answer. False when neither
// lane rotated.
bool jacobi_step(Lanes* A, Lanes* V) {
    const int pivot0 = jacobi_pivot(A[1][0], A[2][0], A[5][0]);
    const int pivot1 = jacobi_pivot(A[1][1], A[2][1], A[5][1]);
    if (pivot0 == pivot1) {
        if (pivot0 < 0) {
            return false;
        }
        jacobi_rotate(pivot0, A, V);
        return true;
    }
    const int pivots[2] = {pivot0, pivot1};
    for (int lane = 0; lane < 2; ++lane) {
        if (pivots[lane] >= 0) {
            double a[9];
            double v[9];
            for (int k = 0; k < 9; ++k) {
                a[k] = A[k][lane];
                v[k] = V[k][lane];
            }
            jacobi_rotate(pivots[lane], a, v);
            for (int k = 0; k < 9; ++k) {
                A[k][lane] = a[k];
                V[k][lane] = v[k];
            }
        }
    }
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

// jacobi_eigen3 of C, E and e of one face, identical bit for bit to three
// separate calls. The cost of a face is the three chains of dependent
// divisions and square roots; advancing them together lets the CPU overlap
// them. E = (C - I) / 2 nearly always takes the same pivots as C, so the two
// share vector registers and rotate together, each lane on its own when their
// pivots differ.
std::array<SymmetricEigen3, 3> jacobi_eigen3_of_face(const Matrix3& C, const Matrix3& E,
                                                     const Matrix3& e) {
    const Matrix3 I = identity3();
    Lanes CE[9];
    Lanes CE_vectors[9];
    for (int k = 0; k < 9; ++k) {
        CE[k] = Lanes{C[k], E[k]};
        CE_vectors[k] = Lanes{I[k], I[k]};
    }
    Matrix3 e_rotated = e;
    Matrix3 e_vectors = I;
    bool CE_active = true;
    bool e_active = true;
    for (int rotation = 0; rotation < kMaxRotations && (CE_active || e_active); ++rotation) {
        if (CE_active) {
            CE_active = jacobi_step(CE, CE_vectors);
        }
        if (e_active) {
            e_active = jacobi_step(e_rotated, e_vectors);
        }
    }
    Matrix3 C_rotated, C_vectors, E_rotated, E_vectors;
    for (int k = 0; k < 9; ++k) {
        C_rotated[k] = CE[k][0];
        C_vectors[k] = CE_vectors[k][0];
        E_rotated[k] = CE[k][1];
        E_vectors[k] = CE_vectors[k][1];
    }
    return {jacobi_result(C_rotated, C_vectors), jacobi_result(E_rotated, E_vectors),
            jacobi_result(e_rotated, e_vectors)};
}

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
    const std::array<SymmetricEigen3, 3> eig = jacobi_eigen3_of_face(k.C, k.E, k.e);
    const SymmetricEigen3& Ceig = eig[0];
    const SymmetricEigen3& Eeig = eig[1];
    const SymmetricEigen3& eeig = eig[2];
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

namespace {

constexpr double kFill = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

Vector3 point_row(const ArrayView<const double, 2>& points, std::int64_t row) {
    return {points(row, 0), points(row, 1), points(row, 2)};
}

// Faces are computed a block at a time and each output array is then written
// for the whole block. Writing nineteen arrays one row at a time scatters the
// stores over nineteen streams per face, which costs more than the arithmetic
// when the vertex reads miss the cache.
constexpr int kBlockRows = 64;

struct FaceBlock {
    std::int64_t first = 0;
    int count = 0;
    std::array<bool, kBlockRows> ok{};  // false: masked out or rejected
    std::array<TriangleKinematics, kBlockRows> kinematics;
    std::array<FaceStrain, kBlockRows> strain;
};

void write_block(const SurfaceOutputs& out, const FaceBlock& block) {
    const auto matrices = [&](const ArrayView<double, 3>& view,
                              Matrix3 TriangleKinematics::*field) {
        for (int b = 0; b < block.count; ++b) {
            const Matrix3& A = block.kinematics[b].*field;
            for (int r = 0; r < 3; ++r) {
                for (int c = 0; c < 3; ++c) {
                    view(block.first + b, r, c) = block.ok[b] ? A(r, c) : kFill;
                }
            }
        }
    };
    const auto scalars = [&](const ArrayView<double, 1>& view, double FaceStrain::*field) {
        for (int b = 0; b < block.count; ++b) {
            view(block.first + b) = block.ok[b] ? block.strain[b].*field : kFill;
        }
    };
    matrices(out.Fmat, &TriangleKinematics::F);
    matrices(out.Cmat, &TriangleKinematics::C);
    matrices(out.Emat, &TriangleKinematics::E);
    matrices(out.emat, &TriangleKinematics::e);
    for (int b = 0; b < block.count; ++b) {
        const Vector3& d3 = block.kinematics[b].d3;
        out.d3(block.first + b, 0) = block.ok[b] ? d3.x : kFill;
        out.d3(block.first + b, 1) = block.ok[b] ? d3.y : kFill;
        out.d3(block.first + b, 2) = block.ok[b] ? d3.z : kFill;
    }
    scalars(out.J, &FaceStrain::J);
    scalars(out.Emgn, &FaceStrain::Emgn);
    scalars(out.emgn, &FaceStrain::emgn);
    scalars(out.Epc1, &FaceStrain::Epc1);
    scalars(out.Epc2, &FaceStrain::Epc2);
    scalars(out.epc1, &FaceStrain::epc1);
    scalars(out.epc2, &FaceStrain::epc2);
    scalars(out.EShearMax, &FaceStrain::EShearMax);
    scalars(out.eShearMax, &FaceStrain::eShearMax);
    scalars(out.Eeq, &FaceStrain::Eeq);
    scalars(out.eeq, &FaceStrain::eeq);
    scalars(out.Area, &FaceStrain::Area);
    scalars(out.Lambda1, &FaceStrain::Lambda1);
    scalars(out.Lambda2, &FaceStrain::Lambda2);
    for (int b = 0; b < block.count; ++b) {
        out.valid_strain_faces(block.first + b) = block.ok[b] ? 1 : 0;
    }
}

}  // namespace

void compute_surface_rows(const SurfaceInputs& in, const SurfaceOutputs& out) {
    const std::int64_t M = in.faces.shape[0];
    FaceBlock block;
    for (block.first = 0; block.first < M; block.first += kBlockRows) {
        block.count = static_cast<int>(std::min<std::int64_t>(kBlockRows, M - block.first));
        for (int b = 0; b < block.count; ++b) {
            const std::int64_t i = block.first + b;
            block.ok[b] = false;
            if (in.valid_faces(i) == 0) {
                continue;
            }
            const std::int64_t v1 = in.faces(i, 0);
            const std::int64_t v2 = in.faces(i, 1);
            const std::int64_t v3 = in.faces(i, 2);
            TriangleKinematics& k = block.kinematics[b];
            if (triangle_kinematics(point_row(in.points_ref, v1), point_row(in.points_ref, v2),
                                    point_row(in.points_ref, v3), point_row(in.points_def, v1),
                                    point_row(in.points_def, v2), point_row(in.points_def, v3),
                                    k)) {
                block.strain[b] = strain_measures(k);
                block.ok[b] = true;
            }
        }
        write_block(out, block);
    }
}

}  // namespace kestrine
