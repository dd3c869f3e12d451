#include "deformation.hpp"
#include "simd/targets.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace kestrine {
namespace {

constexpr double kTol = 1e-12;

Matrix3 identity() {
    Matrix3 I;
    I(0, 0) = I(1, 1) = I(2, 2) = 1.0;
    return I;
}

Matrix3 diag(double a, double b, double c) {
    Matrix3 D;
    D(0, 0) = a;
    D(1, 1) = b;
    D(2, 2) = c;
    return D;
}

Vector3 apply(const Matrix3& A, const Vector3& v) {
    return {(A(0, 0) * v.x + A(0, 1) * v.y) + A(0, 2) * v.z,
            (A(1, 0) * v.x + A(1, 1) * v.y) + A(1, 2) * v.z,
            (A(2, 0) * v.x + A(2, 1) * v.y) + A(2, 2) * v.z};
}

Vector3 add3(const Vector3& a, const Vector3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }

// Rotation by angle about the unit axis u (Rodrigues).
Matrix3 rotation(Vector3 u, double angle) {
    u = scaled(u, 1.0 / norm(u));
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    Matrix3 K;
    K(0, 1) = -u.z;
    K(0, 2) = u.y;
    K(1, 0) = u.z;
    K(1, 2) = -u.x;
    K(2, 0) = -u.y;
    K(2, 1) = u.x;
    Matrix3 R = identity();
    const Matrix3 K2 = matmul(K, K);
    for (int k = 0; k < 9; ++k) {
        R[k] = R[k] + s * K[k] + (1.0 - c) * K2[k];
    }
    return R;
}

void expect_matrix_near(const Matrix3& A, const Matrix3& B, double tol) {
    for (int k = 0; k < 9; ++k) {
        EXPECT_NEAR(A[k], B[k], tol) << "element " << k;
    }
}

void expect_vector_near(const Vector3& a, const Vector3& b, double tol) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
}

struct Triangle {
    Vector3 X1, X2, X3, x1, x2, x3;
};

bool kinematics(const Triangle& t, TriangleKinematics& k) {
    return triangle_kinematics(t.X1, t.X2, t.X3, t.x1, t.x2, t.x3, k);
}

// A scalene triangle in general position.
const Vector3 kP1{0.3, -1.2, 0.7};
const Vector3 kP2{2.1, 0.4, -0.5};
const Vector3 kP3{-0.8, 1.9, 1.3};

// ---- triangle_kinematics ---------------------------------------------------

void expect_undeformed(const TriangleKinematics& k) {
    const Matrix3 I = identity();
    expect_matrix_near(k.F, I, kTol);
    expect_matrix_near(k.C, I, kTol);
    expect_matrix_near(k.B_inv, I, kTol);
    expect_matrix_near(k.E, Matrix3{}, kTol);
    expect_matrix_near(k.e, Matrix3{}, kTol);
    expect_vector_near(k.d3, k.D3, kTol);
    EXPECT_NEAR(k.twice_area, norm(cross(subtract(kP2, kP1), subtract(kP3, kP1))), kTol);
    EXPECT_NEAR(norm(k.D3), 1.0, kTol);
}

TEST(TriangleKinematics, Identity) {
    TriangleKinematics k;
    ASSERT_TRUE(kinematics({kP1, kP2, kP3, kP1, kP2, kP3}, k));
    expect_undeformed(k);
}

TEST(TriangleKinematics, Translation) {
    const Vector3 shift{10.5, -3.25, 7.0};
    TriangleKinematics k;
    ASSERT_TRUE(kinematics(
        {kP1, kP2, kP3, add3(kP1, shift), add3(kP2, shift), add3(kP3, shift)}, k));
    expect_undeformed(k);
}

TEST(TriangleKinematics, RigidRotation) {
    const Matrix3 R = rotation({0.2, -0.7, 0.4}, 1.1);
    const Vector3 shift{1.0, 2.0, -3.0};
    TriangleKinematics k;
    ASSERT_TRUE(kinematics({kP1, kP2, kP3, add3(apply(R, kP1), shift),
                            add3(apply(R, kP2), shift), add3(apply(R, kP3), shift)},
                           k));
    expect_matrix_near(k.F, R, kTol);
    expect_matrix_near(k.C, identity(), kTol);
    expect_matrix_near(k.E, Matrix3{}, kTol);
    expect_matrix_near(k.e, Matrix3{}, kTol);
    expect_vector_near(k.d3, apply(R, k.D3), kTol);
}

TEST(TriangleKinematics, UniformScaling) {
    const double s = 1.7;
    const auto scale = [&](const Vector3& X) { return add3(kP1, scaled(subtract(X, kP1), s)); };
    TriangleKinematics k;
    ASSERT_TRUE(kinematics({kP1, kP2, kP3, kP1, scale(kP2), scale(kP3)}, k));
    const Matrix3 nn = outer(k.D3, k.D3);
    Matrix3 F_expected;
    Matrix3 E_expected;
    for (int i = 0; i < 9; ++i) {
        const double in_plane = identity()[i] - nn[i];
        F_expected[i] = s * in_plane + nn[i];
        E_expected[i] = 0.5 * (s * s - 1.0) * in_plane;
    }
    expect_matrix_near(k.F, F_expected, kTol);
    expect_matrix_near(k.E, E_expected, kTol);
    expect_vector_near(k.d3, k.D3, kTol);
    EXPECT_NEAR(det(k.F), s * s, kTol);
}

TEST(TriangleKinematics, MirroredTriangle) {
    TriangleKinematics k;
    ASSERT_TRUE(kinematics(
        {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 0}, {-1, 0, 0}, {0, 1, 0}}, k));
    EXPECT_EQ(k.D3.z, 1.0);
    EXPECT_EQ(k.twice_area, 1.0);
    EXPECT_EQ(k.d3.z, -1.0);
    expect_matrix_near(k.F, diag(-1.0, 1.0, -1.0), 0.0);
    EXPECT_EQ(det(k.F), 1.0);
}

TEST(TriangleKinematics, CollinearRejected) {
    const Vector3 a{0, 0, 0}, b{1, 1, 1}, c{2, 2, 2};
    TriangleKinematics k;
    EXPECT_FALSE(kinematics({a, b, c, kP1, kP2, kP3}, k));
    EXPECT_FALSE(kinematics({kP1, kP2, kP3, a, b, c}, k));
    EXPECT_FALSE(kinematics({kP1, kP2, kP1, kP1, kP2, kP1}, k));  // repeated vertex
}

TEST(TriangleKinematics, NonFiniteVertexRejected) {
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (double value : bad) {
        for (int vertex = 0; vertex < 6; ++vertex) {
            Triangle t{kP1, kP2, kP3, kP1, kP2, kP3};
            Vector3* v[] = {&t.X1, &t.X2, &t.X3, &t.x1, &t.x2, &t.x3};
            v[vertex]->y = value;
            TriangleKinematics k;
            EXPECT_FALSE(kinematics(t, k)) << "vertex " << vertex << " value " << value;
        }
    }
}

TEST(TriangleKinematics, AbsoluteAreaThreshold) {
    // The cross product of (1,0,0) and (0,h,0) has norm exactly h.
    const auto flat = [](double h) {
        return Triangle{{0, 0, 0}, {1, 0, 0}, {0, h, 0}, {0, 0, 0}, {1, 0, 0}, {0, h, 0}};
    };
    TriangleKinematics k;
    EXPECT_FALSE(kinematics(flat(1e-18), k));
    EXPECT_FALSE(kinematics(flat(std::nextafter(1e-18, 0.0)), k));
    EXPECT_TRUE(kinematics(flat(std::nextafter(1e-18, 1.0)), k));
    EXPECT_FALSE(kinematics(flat(0.5e-18), k));
    ASSERT_TRUE(kinematics(flat(2e-18), k));
    expect_matrix_near(k.F, identity(), kTol);
    EXPECT_DOUBLE_EQ(k.twice_area, 2e-18);

    // Deformed state alone at the threshold.
    Triangle t = flat(1.0);
    t.x3 = {0, 1e-18, 0};
    EXPECT_FALSE(kinematics(t, k));
}

TEST(TriangleKinematics, AreaShrinkRejectedByInvert) {
    // Cross-product norms pass (1e-10 > 1e-18) but det(F F^T) = 1e-20.
    Triangle t{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 0}, {1, 0, 0}, {0, 1e-10, 0}};
    TriangleKinematics k;
    EXPECT_FALSE(kinematics(t, k));
    t.x3 = {0, 1e-8, 0};  // det(F F^T) = 1e-16: accepted
    ASSERT_TRUE(kinematics(t, k));
    EXPECT_NEAR(det(k.F), 1e-8, 1e-20);
}

TEST(TriangleKinematics, VertexPermutation) {
    const Matrix3 A{{1.2, 0.3, -0.1, 0.05, 0.9, 0.2, -0.15, 0.1, 1.1}};
    const Vector3 y1 = apply(A, kP1), y2 = apply(A, kP2), y3 = apply(A, kP3);
    TriangleKinematics base, cyclic, swapped;
    ASSERT_TRUE(kinematics({kP1, kP2, kP3, y1, y2, y3}, base));
    ASSERT_TRUE(kinematics({kP2, kP3, kP1, y2, y3, y1}, cyclic));
    ASSERT_TRUE(kinematics({kP2, kP1, kP3, y2, y1, y3}, swapped));
    for (const TriangleKinematics* other : {&cyclic, &swapped}) {
        expect_matrix_near(other->F, base.F, kTol);
        expect_matrix_near(other->C, base.C, kTol);
        expect_matrix_near(other->E, base.E, kTol);
        expect_matrix_near(other->e, base.e, kTol);
    }
    expect_vector_near(cyclic.D3, base.D3, kTol);
    expect_vector_near(cyclic.d3, base.d3, kTol);
    expect_vector_near(swapped.D3, scaled(base.D3, -1.0), kTol);
    expect_vector_near(swapped.d3, scaled(base.d3, -1.0), kTol);
}

TEST(Invert, LeavesOutputUntouchedOnFailure) {
    Matrix3 out = diag(7.0, 7.0, 7.0);
    EXPECT_FALSE(invert(diag(1.0, 1.0, 1e-18), out));
    Matrix3 nan_matrix = identity();
    nan_matrix(1, 2) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(invert(nan_matrix, out));
    expect_matrix_near(out, diag(7.0, 7.0, 7.0), 0.0);

    const Matrix3 A{{2.0, 1.0, 0.5, -1.0, 3.0, 0.25, 0.0, 1.5, 4.0}};
    ASSERT_TRUE(invert(A, out));
    expect_matrix_near(matmul(A, out), identity(), kTol);
}

// ---- jacobi_eigen3 ---------------------------------------------------------

void expect_column(const SymmetricEigen3& eig, int k, const Vector3& v, double tol) {
    EXPECT_NEAR(eig.vectors(0, k), v.x, tol) << "column " << k;
    EXPECT_NEAR(eig.vectors(1, k), v.y, tol) << "column " << k;
    EXPECT_NEAR(eig.vectors(2, k), v.z, tol) << "column " << k;
}

TEST(JacobiEigen3, DiagonalInput) {
    const SymmetricEigen3 eig = jacobi_eigen3(diag(3.0, 1.0, 2.0));
    EXPECT_EQ(eig.values, (std::array<double, 3>{1.0, 2.0, 3.0}));
    expect_column(eig, 0, {0, 1, 0}, 0.0);
    expect_column(eig, 1, {0, 0, 1}, 0.0);
    expect_column(eig, 2, {1, 0, 0}, 0.0);
}

TEST(JacobiEigen3, EqualDiagonalKeepsIndexOrder) {
    const SymmetricEigen3 eig = jacobi_eigen3(diag(1.0, 1.0, 0.0));
    EXPECT_EQ(eig.values, (std::array<double, 3>{0.0, 1.0, 1.0}));
    expect_column(eig, 0, {0, 0, 1}, 0.0);
    expect_column(eig, 1, {1, 0, 0}, 0.0);
    expect_column(eig, 2, {0, 1, 0}, 0.0);
}

TEST(JacobiEigen3, BelowThresholdIgnored) {
    Matrix3 A = diag(1.0, 2.0, 3.0);
    A(0, 1) = A(1, 0) = 1e-15;
    const SymmetricEigen3 eig = jacobi_eigen3(A);
    EXPECT_EQ(eig.values, (std::array<double, 3>{1.0, 2.0, 3.0}));
    expect_matrix_near(eig.vectors, identity(), 0.0);
}

TEST(JacobiEigen3, EqualOffDiagonalsPivotOnTheFirst) {
    // All three off-diagonals tie, so the first rotation is in (0,1): it turns
    // column 0 of V into (1, -1, 0)/sqrt(2), which no later rotation (all in
    // (1,2)) touches, and leaves A(0,0) exactly 0. Pivoting on (0,2) first
    // would give (1, 0, -1)/sqrt(2) instead.
    Matrix3 ones;
    ones.m.fill(1.0);
    const SymmetricEigen3 eig = jacobi_eigen3(ones);
    EXPECT_NEAR(eig.values[2], 3.0, 1e-14);
    const double h = 1.0 / std::sqrt(2.0);
    int found = 0;
    for (int k = 0; k < 2; ++k) {
        if (eig.values[k] == 0.0 && eig.vectors(0, k) == h && eig.vectors(1, k) == -h &&
            eig.vectors(2, k) == 0.0) {
            ++found;
        }
    }
    EXPECT_EQ(found, 1);
}

TEST(JacobiEigen3, OneRotation) {
    const Matrix3 A{{2, 1, 0, 1, 2, 0, 0, 0, 5}};
    const SymmetricEigen3 eig = jacobi_eigen3(A);
    EXPECT_NEAR(eig.values[0], 1.0, 1e-15);
    EXPECT_NEAR(eig.values[1], 3.0, 1e-15);
    EXPECT_EQ(eig.values[2], 5.0);
    const double h = 1.0 / std::sqrt(2.0);
    expect_column(eig, 0, {h, -h, 0}, 1e-15);
    expect_column(eig, 1, {h, h, 0}, 1e-15);
    expect_column(eig, 2, {0, 0, 1}, 0.0);
}

TEST(JacobiEigen3, ReconstructsRandomSymmetric) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    for (int trial = 0; trial < 200; ++trial) {
        Matrix3 A;
        for (int r = 0; r < 3; ++r) {
            for (int c = r; c < 3; ++c) {
                A(r, c) = A(c, r) = u(rng);
            }
        }
        const SymmetricEigen3 eig = jacobi_eigen3(A);
        EXPECT_LE(eig.values[0], eig.values[1]);
        EXPECT_LE(eig.values[1], eig.values[2]);
        const Matrix3 Vt = transpose(eig.vectors);
        expect_matrix_near(matmul(Vt, eig.vectors), identity(), kTol);
        const Matrix3 rebuilt = matmul(
            matmul(eig.vectors, diag(eig.values[0], eig.values[1], eig.values[2])), Vt);
        expect_matrix_near(rebuilt, A, 1e-12);
    }
}

// ---- strain_measures -------------------------------------------------------

FaceStrain strain_of(const Triangle& t) {
    TriangleKinematics k;
    EXPECT_TRUE(kinematics(t, k));
    return strain_measures(k);
}

TEST(StrainMeasures, StretchByTwo) {
    const FaceStrain s =
        strain_of({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 0}, {2, 0, 0}, {0, 1, 0}});
    EXPECT_EQ(s.Lambda1, 1.0);
    EXPECT_EQ(s.Lambda2, 2.0);
    EXPECT_EQ(s.Epc1, 0.0);
    EXPECT_EQ(s.Epc2, 1.5);
    EXPECT_EQ(s.epc1, 0.0);
    EXPECT_EQ(s.epc2, 0.375);
    EXPECT_EQ(s.EShearMax, 0.75);
    EXPECT_EQ(s.eShearMax, 0.1875);
    EXPECT_EQ(s.Emgn, 1.5);
    EXPECT_EQ(s.emgn, 0.375);
    EXPECT_EQ(s.J, 2.0);
    EXPECT_EQ(s.Area, 0.5);
    EXPECT_NEAR(s.Eeq, 1.0, 1e-15);
    EXPECT_NEAR(s.eeq, 0.25, 1e-15);
}

TEST(StrainMeasures, Undeformed) {
    const FaceStrain s = strain_of({kP1, kP2, kP3, kP1, kP2, kP3});
    EXPECT_NEAR(s.Lambda1, 1.0, kTol);
    EXPECT_NEAR(s.Lambda2, 1.0, kTol);
    EXPECT_NEAR(s.J, 1.0, kTol);
    for (double v : {s.Emgn, s.emgn, s.Epc1, s.Epc2, s.epc1, s.epc2, s.EShearMax, s.eShearMax,
                     s.Eeq, s.eeq}) {
        EXPECT_NEAR(v, 0.0, kTol);
    }
}

TEST(StrainMeasures, UniformScaling) {
    for (double s : {0.6, 1.3, 2.5}) {
        const auto scale = [&](const Vector3& X) {
            return add3(kP1, scaled(subtract(X, kP1), s));
        };
        const FaceStrain f = strain_of({kP1, kP2, kP3, kP1, scale(kP2), scale(kP3)});
        EXPECT_NEAR(f.Lambda1, s, kTol);
        EXPECT_NEAR(f.Lambda2, s, kTol);
        EXPECT_NEAR(f.Epc1, 0.5 * (s * s - 1.0), kTol);
        EXPECT_NEAR(f.Epc2, 0.5 * (s * s - 1.0), kTol);
        EXPECT_NEAR(f.epc1, 0.5 * (1.0 - 1.0 / (s * s)), kTol);
        EXPECT_NEAR(f.epc2, 0.5 * (1.0 - 1.0 / (s * s)), kTol);
        EXPECT_NEAR(f.EShearMax, 0.0, kTol);
        EXPECT_NEAR(f.Eeq, std::fabs(s * s - 1.0) / 3.0, kTol);
        EXPECT_NEAR(f.Area, 0.5 * norm(cross(subtract(kP2, kP1), subtract(kP3, kP1))), kTol);
    }
}

TEST(StrainMeasures, PrincipalIdentitiesOnGeneralFaces) {
    // Rotated, sheared, possibly mirrored faces: the in-plane strains must be
    // those of the in-plane stretches, whichever eigenvalue gets dropped.
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int trial = 0; trial < 300; ++trial) {
        Matrix3 A = identity();
        for (int k = 0; k < 9; ++k) {
            A[k] += 0.6 * u(rng);
        }
        const Vector3 X1{u(rng), u(rng), u(rng)}, X2{u(rng), u(rng), u(rng)},
            X3{u(rng), u(rng), u(rng)};
        TriangleKinematics k;
        if (!triangle_kinematics(X1, X2, X3, apply(A, X1), apply(A, X2), apply(A, X3), k) ||
            k.twice_area < 1e-3 || std::fabs(det(k.F)) < 1e-2) {
            continue;
        }
        const FaceStrain s = strain_measures(k);
        const double L1 = s.Lambda1, L2 = s.Lambda2;
        EXPECT_LE(L1, L2);
        EXPECT_NEAR(s.Epc1, 0.5 * (L1 * L1 - 1.0), 1e-10);
        EXPECT_NEAR(s.Epc2, 0.5 * (L2 * L2 - 1.0), 1e-10);
        EXPECT_NEAR(s.epc1, 0.5 * (1.0 - 1.0 / (L1 * L1)), 1e-10);
        EXPECT_NEAR(s.epc2, 0.5 * (1.0 - 1.0 / (L2 * L2)), 1e-10);
        EXPECT_NEAR(s.J, L1 * L2, 1e-10);
        EXPECT_GE(s.EShearMax, 0.0);
        EXPECT_GE(s.eShearMax, 0.0);
    }
}

TEST(StrainMeasures, UsesExactlyTheEigenDecompositions) {
    // strain_measures decomposes C, E and e together; each result must be the
    // one jacobi_eigen3 gives alone, bit for bit.
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    int checked = 0;
    for (int trial = 0; trial < 200; ++trial) {
        const Vector3 X1{u(rng), u(rng), u(rng)}, X2{u(rng), u(rng), u(rng)},
            X3{u(rng), u(rng), u(rng)};
        const Vector3 x1 = add3(X1, scaled({u(rng), u(rng), u(rng)}, 0.3));
        const Vector3 x2 = add3(X2, scaled({u(rng), u(rng), u(rng)}, 0.3));
        const Vector3 x3 = add3(X3, scaled({u(rng), u(rng), u(rng)}, 0.3));
        TriangleKinematics k;
        if (!triangle_kinematics(X1, X2, X3, x1, x2, x3, k)) {
            continue;
        }
        ++checked;
        const FaceStrain s = strain_measures(k);
        const std::array<double, 2> Ep = planar_values(jacobi_eigen3(k.E), k.D3);
        const std::array<double, 2> ep = planar_values(jacobi_eigen3(k.e), k.d3);
        EXPECT_EQ(s.Epc1, Ep[0]);
        EXPECT_EQ(s.Epc2, Ep[1]);
        EXPECT_EQ(s.epc1, ep[0]);
        EXPECT_EQ(s.epc2, ep[1]);
        const std::array<double, 3> Cv = jacobi_eigen3(k.C).values;
        const double L[3] = {std::sqrt(Cv[0] > 0.0 ? Cv[0] : 0.0),
                             std::sqrt(Cv[1] > 0.0 ? Cv[1] : 0.0),
                             std::sqrt(Cv[2] > 0.0 ? Cv[2] : 0.0)};
        int drop = 0;
        for (int i = 1; i < 3; ++i) {
            if (std::fabs(L[i] - 1.0) < std::fabs(L[drop] - 1.0)) {
                drop = i;
            }
        }
        EXPECT_EQ(s.Lambda1, drop == 0 ? L[1] : L[0]);
        EXPECT_EQ(s.Lambda2, drop == 2 ? L[1] : L[2]);
    }
    EXPECT_GT(checked, 150);
}

// ---- compute_surface_rows ---------------------------------------------------

// Owns contiguous buffers for a whole mesh call.
struct Mesh {
    std::vector<std::int32_t> faces;
    std::int64_t face_columns = 3;
    std::vector<double> ref, def;
    std::int64_t ref_columns = 3, def_columns = 3;
    std::vector<BoolByte> valid;

    std::int64_t rows() const { return static_cast<std::int64_t>(faces.size()) / face_columns; }

    SurfaceInputs inputs() const {
        const std::int64_t n_ref = static_cast<std::int64_t>(ref.size()) / ref_columns;
        const std::int64_t n_def = static_cast<std::int64_t>(def.size()) / def_columns;
        return {contiguous_view<const std::int32_t, 2>(faces.data(), {rows(), face_columns}),
                contiguous_view<const double, 2>(ref.data(), {n_ref, ref_columns}),
                contiguous_view<const double, 2>(def.data(), {n_def, def_columns}),
                contiguous_view<const BoolByte, 1>(
                    valid.data(), {static_cast<std::int64_t>(valid.size())})};
    }
};

Mesh unit_mesh() {
    // Vertices 0..3 of the unit square, stretched by 2 along x.
    Mesh mesh;
    mesh.ref = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0};
    mesh.def = {0, 0, 0, 2, 0, 0, 0, 1, 0, 2, 1, 0};
    mesh.faces = {0, 1, 2, 1, 3, 2};
    mesh.valid = {1, 1};
    return mesh;
}

bool is_fill(double v) { return std::bit_cast<std::uint64_t>(v) == 0x7FF8000000000000ULL; }

// The scalar outputs in the order of SurfaceOutputs' (M,) arrays.
constexpr double FaceStrain::*kScalarFields[14] = {
    &FaceStrain::J,         &FaceStrain::Emgn,      &FaceStrain::emgn,    &FaceStrain::Epc1,
    &FaceStrain::Epc2,      &FaceStrain::epc1,      &FaceStrain::epc2,    &FaceStrain::EShearMax,
    &FaceStrain::eShearMax, &FaceStrain::Eeq,       &FaceStrain::eeq,     &FaceStrain::Area,
    &FaceStrain::Lambda1,   &FaceStrain::Lambda2};

// Owns contiguous output buffers of M rows, pre-set to a sentinel so that an
// unwritten element shows.
struct Outputs {
    std::vector<double> F, C, E, e, d3;
    std::vector<std::vector<double>> scalars;
    std::vector<BoolByte> valid;
    SurfaceOutputs views;

    explicit Outputs(std::int64_t M)
        : F(M * 9, 12345.0), C(M * 9, 12345.0), E(M * 9, 12345.0), e(M * 9, 12345.0),
          d3(M * 3, 12345.0), scalars(14, std::vector<double>(M, 12345.0)), valid(M, 77) {
        views.Fmat = contiguous_view<double, 3>(F.data(), {M, 3, 3});
        views.Cmat = contiguous_view<double, 3>(C.data(), {M, 3, 3});
        views.Emat = contiguous_view<double, 3>(E.data(), {M, 3, 3});
        views.emat = contiguous_view<double, 3>(e.data(), {M, 3, 3});
        views.d3 = contiguous_view<double, 2>(d3.data(), {M, 3});
        ArrayView<double, 1>* targets[] = {
            &views.J,    &views.Emgn,      &views.emgn,      &views.Epc1, &views.Epc2,
            &views.epc1, &views.epc2,      &views.EShearMax, &views.eShearMax, &views.Eeq,
            &views.eeq,  &views.Area,      &views.Lambda1,   &views.Lambda2};
        for (int s = 0; s < 14; ++s) {
            *targets[s] = contiguous_view<double, 1>(scalars[s].data(), {M});
        }
        views.valid_strain_faces = contiguous_view<BoolByte, 1>(valid.data(), {M});
    }

    // The (M,) output of one FaceStrain field.
    double& scalar(double FaceStrain::*field, std::int64_t i) {
        const auto k = std::find(std::begin(kScalarFields), std::end(kScalarFields), field) -
                       std::begin(kScalarFields);
        return scalars[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)];
    }

    // Every float64 element of row i, in a fixed order.
    std::vector<double> row(std::int64_t i) const {
        std::vector<double> out;
        for (const std::vector<double>* m : {&F, &C, &E, &e}) {
            out.insert(out.end(), m->begin() + i * 9, m->begin() + i * 9 + 9);
        }
        out.insert(out.end(), d3.begin() + i * 3, d3.begin() + i * 3 + 3);
        for (const std::vector<double>& s : scalars) {
            out.push_back(s[static_cast<std::size_t>(i)]);
        }
        return out;
    }
};

TEST(ComputeSurfaceRows, FillRowsAndResults) {
    Mesh mesh = unit_mesh();
    mesh.ref.insert(mesh.ref.end(), {5, 5, 5});
    mesh.def.insert(mesh.def.end(), {5, 5, std::numeric_limits<double>::quiet_NaN()});
    // 0: stretched, 1: masked with -1 indices, 2: repeated vertex,
    // 3: uses the NaN vertex, 4: the square's other half.
    mesh.faces = {0, 1, 2, -1, -1, -1, 0, 1, 1, 0, 1, 4, 1, 3, 2};
    mesh.valid = {1, 0, 1, 255, 1};  // any non-zero byte is true
    Outputs out(5);
    compute_surface_rows(mesh.inputs(), out.views);

    EXPECT_EQ(out.valid, (std::vector<BoolByte>{1, 0, 0, 0, 1}));
    for (std::int64_t i : {1, 2, 3}) {
        for (double v : out.row(i)) {
            EXPECT_TRUE(is_fill(v)) << "row " << i;
        }
    }

    // Row 0 holds every field of the kernels in its own array.
    TriangleKinematics k;
    ASSERT_TRUE(triangle_kinematics({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 0}, {2, 0, 0},
                                    {0, 1, 0}, k));
    const FaceStrain s = strain_measures(k);
    std::vector<double> expected;
    for (const Matrix3* m : {&k.F, &k.C, &k.E, &k.e}) {
        expected.insert(expected.end(), m->m.begin(), m->m.end());
    }
    expected.insert(expected.end(), {k.d3.x, k.d3.y, k.d3.z, s.J, s.Emgn, s.emgn, s.Epc1,
                                     s.Epc2, s.epc1, s.epc2, s.EShearMax, s.eShearMax, s.Eeq,
                                     s.eeq, s.Area, s.Lambda1, s.Lambda2});
    EXPECT_EQ(out.row(0), expected);
    EXPECT_EQ(out.F[0], 2.0);
    EXPECT_EQ(out.scalar(&FaceStrain::J, 0), 2.0);
    EXPECT_EQ(out.scalar(&FaceStrain::Area, 0), 0.5);
    EXPECT_EQ(out.scalar(&FaceStrain::Lambda2, 0), 2.0);
    EXPECT_NEAR(out.scalar(&FaceStrain::J, 4), 2.0, kTol);
}

// One face per row of mesh, each with its own three vertices, from a table of
// ordinary and hostile shapes.
Mesh adversarial_mesh(std::int64_t M, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    Mesh mesh;
    const auto random_point = [&] { return Vector3{u(rng), u(rng), u(rng)}; };
    const auto affine = [&](const Vector3& X, double scale) {
        return Vector3{scale * (X.x + 0.1 * u(rng)), scale * (X.y + 0.1 * u(rng)),
                       scale * (X.z + 0.1 * u(rng))};
    };
    for (std::int64_t i = 0; i < M; ++i) {
        Vector3 X[3] = {random_point(), random_point(), random_point()};
        Vector3 x[3];
        for (int j = 0; j < 3; ++j) {
            x[j] = affine(X[j], 1.0 + 0.1 * u(rng));
        }
        bool valid = true;
        switch (i % 14) {
            case 0: break;                                    // general position
            case 1: x[1].y = nan; break;                      // NaN vertex
            case 2: X[2].z = (u(rng) > 0 ? inf : -inf); break;  // infinite vertex
            case 3: x[2] = x[0]; break;                        // repeated vertex
            case 4: x[2] = Vector3{2 * x[1].x - x[0].x, 2 * x[1].y - x[0].y,
                                   2 * x[1].z - x[0].z};
                break;                                         // collinear deformed
            case 5: std::swap(x[1], x[2]); break;              // mirrored deformed
            case 6: {                                          // area near the 1e-18 threshold
                const double s = std::pow(10.0, -9.0 + 0.5 * u(rng));
                for (int j = 1; j < 3; ++j) {
                    X[j] = {X[0].x + s * u(rng), X[0].y + s * u(rng), X[0].z + s * u(rng)};
                    x[j] = {x[0].x + s * u(rng), x[0].y + s * u(rng), x[0].z + s * u(rng)};
                }
                break;
            }
            case 7: {                                          // axis-aligned stretch: tied pivots
                X[0] = {0, 0, 0}; X[1] = {1, 0, 0}; X[2] = {0, 1, 0};
                const double a = 1.0 + std::floor(4 * u(rng)) / 4, b = 1.0 + std::floor(4 * u(rng)) / 4;
                x[0] = {0, 0, 0}; x[1] = {a, 0, 0}; x[2] = {0, b, 0};
                break;
            }
            case 8:                                            // huge stretch: rotation cap
                for (int j = 0; j < 3; ++j) {
                    x[j] = affine(X[j], 1e7);
                }
                break;
            case 9: valid = false; break;                      // masked out
            case 10: for (int j = 0; j < 3; ++j) x[j] = X[j]; break;  // undeformed
            case 11: x[2] = Vector3{x[1].x + 1e-6 * (x[1].x - x[0].x) + 1e-6 * u(rng), x[1].y, x[1].z};
                break;                                         // near-singular F
            case 12: for (int j = 0; j < 3; ++j) x[j] = affine(X[j], 0.0) , x[j] = {2.5 * X[j].x, 2.5 * X[j].y, 2.5 * X[j].z};
                break;                                         // uniform scaling
            case 13: for (int j = 0; j < 3; ++j) x[j] = Vector3{-X[j].y, X[j].x, X[j].z};
                break;                                         // rigid quarter turn
        }
        for (int j = 0; j < 3; ++j) {
            mesh.ref.insert(mesh.ref.end(), {X[j].x, X[j].y, X[j].z});
            mesh.def.insert(mesh.def.end(), {x[j].x, x[j].y, x[j].z});
            mesh.faces.push_back(valid ? static_cast<std::int32_t>(3 * i + j) : -1);
        }
        mesh.valid.push_back(valid ? 1 : 0);
    }
    return mesh;
}

// The rows as the scalar kernels give them, face by face.
Outputs reference_rows(const Mesh& mesh) {
    const std::int64_t M = mesh.rows();
    Outputs out(M);
    const auto point = [](const std::vector<double>& p, std::int32_t v) {
        return Vector3{p[3 * v], p[3 * v + 1], p[3 * v + 2]};
    };
    const double fill = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
    for (std::int64_t i = 0; i < M; ++i) {
        const std::int32_t* f = &mesh.faces[static_cast<std::size_t>(3 * i)];
        TriangleKinematics k;
        const bool ok = mesh.valid[i] != 0 &&
                        triangle_kinematics(point(mesh.ref, f[0]), point(mesh.ref, f[1]),
                                            point(mesh.ref, f[2]), point(mesh.def, f[0]),
                                            point(mesh.def, f[1]), point(mesh.def, f[2]), k);
        const FaceStrain s = ok ? strain_measures(k) : FaceStrain{};
        for (int c = 0; c < 9; ++c) {
            out.F[9 * i + c] = ok ? k.F[c] : fill;
            out.C[9 * i + c] = ok ? k.C[c] : fill;
            out.E[9 * i + c] = ok ? k.E[c] : fill;
            out.e[9 * i + c] = ok ? k.e[c] : fill;
        }
        for (int c = 0; c < 3; ++c) {
            out.d3[3 * i + c] = ok ? k.d3[c] : fill;
        }
        for (int c = 0; c < 14; ++c) {
            out.scalars[c][i] = ok ? s.*kScalarFields[c] : fill;
        }
        out.valid[i] = ok ? 1 : 0;
    }
    return out;
}

void expect_same_bits(const Outputs& a, const Outputs& b, const char* target) {
    const auto same = [](const auto& x, const auto& y) {
        return x.size() == y.size() &&
               std::memcmp(x.data(), y.data(), x.size() * sizeof(x[0])) == 0;
    };
    EXPECT_TRUE(same(a.F, b.F) && same(a.C, b.C) && same(a.E, b.E) && same(a.e, b.e))
        << target << ": matrices";
    EXPECT_TRUE(same(a.d3, b.d3)) << target << ": d3";
    for (int s = 0; s < 14; ++s) {
        EXPECT_TRUE(same(a.scalars[s], b.scalars[s])) << target << ": scalar " << s;
    }
    EXPECT_TRUE(same(a.valid, b.valid)) << target << ": valid";
}

TEST(SurfaceTargets, EveryTargetMatchesTheScalarKernelsBitForBit) {
    const Mesh mesh = adversarial_mesh(100003, 11);
    const Outputs expected = reference_rows(mesh);
    std::int64_t accepted = 0;
    for (const BoolByte v : expected.valid) {
        accepted += v;
    }
    ASSERT_GT(accepted, 50000);  // the table is mostly usable faces
    int tried = 0;
    for (const KernelTarget& target : kernel_targets()) {
        if (!target.supported()) {
            continue;
        }
        ++tried;
        Outputs whole(mesh.rows());
        target.surface_rows(mesh.inputs(), whole.views, 0, mesh.rows());
        expect_same_bits(whole, expected, target.name);
        // Ranges that split blocks and lane groups write exactly their rows.
        Outputs split(mesh.rows());
        for (const auto& [begin, end] : {std::pair<std::int64_t, std::int64_t>{0, 12345},
                                         {12345, 12347}, {12347, mesh.rows()}}) {
            target.surface_rows(mesh.inputs(), split.views, begin, end);
        }
        expect_same_bits(split, expected, target.name);
    }
    EXPECT_GE(tried, 1);
}

TEST(SurfaceThreads, EveryThreadCountGivesTheSameBits) {
    const Mesh mesh = adversarial_mesh(20011, 5);
    const Outputs expected = reference_rows(mesh);
    for (const int threads : {1, 2, 3, 7}) {
        Outputs out(mesh.rows());
        Team team(threads);
        compute_surface_rows(mesh.inputs(), out.views, team, threads);
        expect_same_bits(out, expected, "threads");
    }
}

}  // namespace
}  // namespace kestrine
