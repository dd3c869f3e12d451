#include "camera.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "observations.hpp"

namespace kestrine {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// One or more cameras held in plain buffers, viewed like the caller's arrays.
struct Cameras {
    std::vector<double> K, dist, R, t;
    std::int64_t count = 0;
    std::int64_t dist_columns = 2;

    Cameras(std::int64_t n, std::int64_t columns)
        : K(static_cast<std::size_t>(n * 9)),
          dist(static_cast<std::size_t>(n * columns)),
          R(static_cast<std::size_t>(n * 9)),
          t(static_cast<std::size_t>(n * 3)),
          count(n),
          dist_columns(columns) {}

    CameraSet set() {
        return {contiguous_view<const double, 3>(K.data(), {count, 3, 3}),
                contiguous_view<const double, 2>(dist.data(), {count, dist_columns}),
                contiguous_view<const double, 3>(R.data(), {count, 3, 3}),
                contiguous_view<const double, 2>(t.data(), {count, 3})};
    }
};

// A camera looking along +z with a slight tilt about y, 3 units from the origin.
Cameras test_cameras(double k1, double k2, std::int64_t columns = 2) {
    Cameras cams(2, columns);
    for (int c = 0; c < 2; ++c) {
        const double a = c == 0 ? 0.2 : -0.25;
        const double Rc[9] = {std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a)};
        for (int k = 0; k < 9; ++k) {
            cams.R[static_cast<std::size_t>(c * 9 + k)] = Rc[k];
        }
        cams.t[static_cast<std::size_t>(c * 3 + 2)] = 3.0;
        cams.t[static_cast<std::size_t>(c * 3 + 0)] = c == 0 ? -0.5 : 0.6;
        double* K = &cams.K[static_cast<std::size_t>(c * 9)];
        K[0] = 800.0 + c;
        K[2] = 320.0;
        K[4] = 810.0;
        K[5] = 240.0 + c;
        K[8] = 1.0;
        if (columns > 0) cams.dist[static_cast<std::size_t>(c * columns)] = k1;
        if (columns > 1) cams.dist[static_cast<std::size_t>(c * columns + 1)] = k2;
    }
    return cams;
}

Vector2 camera_coordinates(const CameraSet& cs, const Vector3& X, int c) {
    double Xc[3];
    for (int i = 0; i < 3; ++i) {
        Xc[i] = ((cs.R(c, i, 0) * X.x + cs.R(c, i, 1) * X.y) + cs.R(c, i, 2) * X.z) + cs.t(c, i);
    }
    return {Xc[0] / Xc[2], Xc[1] / Xc[2]};
}

TEST(ProjectPoint, PinholeWithoutDistortionColumns) {
    Cameras cams = test_cameras(0, 0, 0);
    const CameraSet cs = cams.set();
    const Vector3 X{0.1, -0.2, 0.3};
    const Vector2 n = camera_coordinates(cs, X, 0);
    const Vector2 p = project_point(X, cs.K, cs.dist, cs.R, cs.t, 0);
    EXPECT_EQ(p.x, 800.0 * n.x + 320.0);
    EXPECT_EQ(p.y, 810.0 * n.y + 240.0);
    const Vector2 back = normalize_pixel(cs.K, cs.dist, 0, p.x, p.y);
    EXPECT_NEAR(back.x, n.x, 1e-15);
    EXPECT_NEAR(back.y, n.y, 1e-15);
}

TEST(ProjectPoint, DistortionThresholdIsAbsolute) {
    const Vector3 X{0.4, 0.3, 0.1};
    Cameras none = test_cameras(0, 0);
    Cameras tiny = test_cameras(1e-13, 0);
    Cameras active = test_cameras(2e-12, 0);
    const CameraSet a = none.set(), b = tiny.set(), c = active.set();
    const Vector2 pa = project_point(X, a.K, a.dist, a.R, a.t, 0);
    const Vector2 pb = project_point(X, b.K, b.dist, b.R, b.t, 0);
    EXPECT_EQ(pa.x, pb.x);
    EXPECT_EQ(pa.y, pb.y);
    // 2e-12 is on: the radial factor differs from 1 by far less than an ulp
    // of the pixel, but the lens branch runs (seen through normalize_pixel's
    // fixed point, which is not the identity once active).
    const Vector2 nb = normalize_pixel(b.K, b.dist, 0, 900.0, 700.0);
    const Vector2 nc = normalize_pixel(c.K, c.dist, 0, 900.0, 700.0);
    EXPECT_EQ(nb.x, (900.0 - 320.0) / 800.0);
    EXPECT_NE(nc.x, nb.x);
}

TEST(ProjectPoint, OnlyFirstTwoCoefficientsAndNoSkew) {
    const Vector3 X{0.3, -0.1, 0.2};
    Cameras two = test_cameras(-0.2, 0.05, 2);
    Cameras five = test_cameras(-0.2, 0.05, 5);
    five.dist[2] = 7.0;
    five.dist[3] = -3.0;
    five.dist[4] = 11.0;
    five.K[1] = 123.0;  // skew
    five.K[3] = 55.0;   // K[1,0]
    five.K[6] = 9.0;    // third row
    const CameraSet a = two.set(), b = five.set();
    const Vector2 pa = project_point(X, a.K, a.dist, a.R, a.t, 0);
    const Vector2 pb = project_point(X, b.K, b.dist, b.R, b.t, 0);
    EXPECT_EQ(pa.x, pb.x);
    EXPECT_EQ(pa.y, pb.y);
    const Vector2 na = normalize_pixel(a.K, a.dist, 0, 500.0, 100.0);
    const Vector2 nb = normalize_pixel(b.K, b.dist, 0, 500.0, 100.0);
    EXPECT_EQ(na.x, nb.x);
    EXPECT_EQ(na.y, nb.y);

    Cameras one = test_cameras(-0.2, 0.0, 1);
    Cameras k1_only = test_cameras(-0.2, 0.0, 2);
    const CameraSet c = one.set(), d = k1_only.set();
    const Vector2 pc = project_point(X, c.K, c.dist, c.R, c.t, 0);
    const Vector2 pd = project_point(X, d.K, d.dist, d.R, d.t, 0);
    EXPECT_EQ(pc.x, pd.x);
    EXPECT_EQ(pc.y, pd.y);
}

TEST(NormalizePixel, UndistortionRoundTrip) {
    Cameras cams = test_cameras(-0.08, 0.02);
    const CameraSet cs = cams.set();
    for (const Vector3& X : {Vector3{0.3, 0.2, 0.0}, Vector3{-0.5, 0.4, 0.1}, Vector3{0, 0, 0}}) {
        const Vector2 n = camera_coordinates(cs, X, 1);
        const Vector2 p = project_point(X, cs.K, cs.dist, cs.R, cs.t, 1);
        const Vector2 back = normalize_pixel(cs.K, cs.dist, 1, p.x, p.y);
        EXPECT_NEAR(back.x, n.x, 1e-9);
        EXPECT_NEAR(back.y, n.y, 1e-9);
    }
}

TEST(NormalizePixel, CollapsedRadialFactorKeepsDistortedCoordinates) {
    // k1 = -1 at radius 1 gives s = 0 at the first iteration.
    Cameras cams = test_cameras(-1.0, 0.0);
    const CameraSet cs = cams.set();
    const double px = 320.0 + 800.0 * 0.6;
    const double py = 240.0 + 810.0 * 0.8;
    const Vector2 n = normalize_pixel(cs.K, cs.dist, 0, px, py);
    EXPECT_EQ(n.x, (px - 320.0) / 800.0);
    EXPECT_EQ(n.y, (py - 240.0) / 810.0);
}

TEST(NormalizePixel, NaNCoefficientKeepsLensModelOn) {
    Cameras cams = test_cameras(kNaN, 0.0);
    const CameraSet cs = cams.set();
    const Vector2 n = normalize_pixel(cs.K, cs.dist, 0, 400.0, 300.0);
    EXPECT_TRUE(std::isnan(n.x));
    const Vector2 p = project_point({0.1, 0.1, 0.0}, cs.K, cs.dist, cs.R, cs.t, 0);
    EXPECT_TRUE(std::isnan(p.x));
}

TEST(ProjectPoint, BehindAndAtTheCamera) {
    Cameras cams = test_cameras(0, 0);
    const CameraSet cs = cams.set();
    // Camera 0 sits at depth 3 along its axis; a point at depth -1 in camera coordinates.
    const Vector3 behind{0.0, 0.0, -4.0};
    const Vector2 p = project_point(behind, cs.K, cs.dist, cs.R, cs.t, 0);
    EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y));
    Cameras flat = test_cameras(0, 0);
    flat.R.assign(flat.R.size(), 0.0);
    flat.t.assign(flat.t.size(), 0.0);
    const CameraSet fs = flat.set();
    const Vector2 q = project_point({1.0, 1.0, 1.0}, fs.K, fs.dist, fs.R, fs.t, 0);
    EXPECT_FALSE(std::isfinite(q.x));
}

TEST(PoseMatrix, CopiesWithoutNormalising) {
    Cameras cams = test_cameras(0, 0);
    for (std::size_t k = 9; k < 18; ++k) cams.R[k] = 2.0 * static_cast<double>(k);
    cams.t[3] = 7.5;
    const CameraSet cs = cams.set();
    const Matrix34 P = pose_matrix(cs.R, cs.t, 1);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) EXPECT_EQ(P(i, j), cs.R(1, i, j));
        EXPECT_EQ(P(i, 3), cs.t(1, i));
    }
}

// A DIC stack of one or two cameras with fields that make each node recognisable.
struct Dic {
    std::int64_t cams, rows, cols;
    std::vector<double> u, v, corr;
    std::vector<BoolByte> valid;

    Dic(std::int64_t c, std::int64_t h, std::int64_t w)
        : cams(c), rows(h), cols(w),
          u(static_cast<std::size_t>(c * h * w)), v(u.size()), corr(u.size(), 0.9),
          valid(u.size(), 1) {
        for (std::int64_t k = 0; k < c * h * w; ++k) {
            u[static_cast<std::size_t>(k)] = 0.5 * static_cast<double>(k);
            v[static_cast<std::size_t>(k)] = -0.25 * static_cast<double>(k);
        }
    }
    std::size_t at(int c, std::int64_t j, std::int64_t i) const {
        return static_cast<std::size_t>((c * rows + j) * cols + i);
    }
    DicFieldStack stack(int spacing) const {
        DicFieldStack s;
        s.u = contiguous_view<const double, 3>(u.data(), {cams, rows, cols});
        s.v = contiguous_view<const double, 3>(v.data(), {cams, rows, cols});
        s.corrcoef = contiguous_view<const double, 3>(corr.data(), {cams, rows, cols});
        s.valid = contiguous_view<const BoolByte, 3>(valid.data(), {cams, rows, cols});
        s.reduced_height = static_cast<int>(rows);
        s.reduced_width = static_cast<int>(cols);
        s.subset_spacing = spacing;
        return s;
    }
};

TEST(SampleDic, BilinearWeightsAtCellCentre) {
    Dic dic(1, 4, 6);
    // Spacing 4: nodes every 5 pixels; (12.5, 7.5) is the centre of columns 2-3, rows 1-2.
    const DicSample s = sample_dic(dic.stack(4), 0, 12.5, 7.5, 0.5);
    ASSERT_TRUE(s.valid);
    const double expected = dic.u[dic.at(0, 1, 2)] * 0.25 + dic.u[dic.at(0, 1, 3)] * 0.25 +
                            dic.u[dic.at(0, 2, 2)] * 0.25 + dic.u[dic.at(0, 2, 3)] * 0.25;
    EXPECT_EQ(s.u, expected);
    EXPECT_DOUBLE_EQ(s.corr, 0.9);
}

TEST(SampleDic, OnANodeReturnsTheNode) {
    Dic dic(2, 4, 6);
    const DicSample s = sample_dic(dic.stack(0), 1, 2.0, 1.0, 0.5);
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.u, dic.u[dic.at(1, 1, 2)]);
    EXPECT_EQ(s.v, dic.v[dic.at(1, 1, 2)]);
}

TEST(SampleDic, FallbackRoundingAtTheGridEdges) {
    Dic dic(1, 3, 5);
    const DicFieldStack s = dic.stack(0);
    // Last column cannot interpolate: nearest node.
    DicSample last = sample_dic(s, 0, 4.0, 1.2, 0.5);
    ASSERT_TRUE(last.valid);
    EXPECT_EQ(last.u, dic.u[dic.at(0, 1, 4)]);
    // -0.3 rounds to column 0; -0.5 rounds away from zero to -1.
    DicSample left = sample_dic(s, 0, -0.3, 1.0, 0.5);
    ASSERT_TRUE(left.valid);
    EXPECT_EQ(left.u, dic.u[dic.at(0, 1, 0)]);
    EXPECT_FALSE(sample_dic(s, 0, -0.5, 1.0, 0.5).valid);
    // reduced_width - 0.5 rounds to reduced_width: off the grid.
    EXPECT_FALSE(sample_dic(s, 0, 4.5, 1.0, 0.5).valid);
    const DicSample below = sample_dic(s, 0, 4.49, 1.0, 0.5);
    EXPECT_TRUE(below.valid);
}

TEST(SampleDic, InvalidNodeFallsBackToNearest) {
    Dic dic(1, 4, 6);
    dic.valid[dic.at(0, 1, 3)] = 0;
    // Nearest node (2, 1) is fine: its values, not interpolated.
    DicSample s = sample_dic(dic.stack(0), 0, 2.2, 1.3, 0.5);
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.u, dic.u[dic.at(0, 1, 2)]);
    // Nearest node is the invalid one: no other neighbour is searched.
    EXPECT_FALSE(sample_dic(dic.stack(0), 0, 2.8, 1.3, 0.5).valid);
    // A non-zero byte other than 1 is a valid node.
    dic.valid[dic.at(0, 1, 3)] = 7;
    EXPECT_TRUE(sample_dic(dic.stack(0), 0, 2.8, 1.3, 0.5).valid);
}

TEST(SampleDic, CorrelationThresholdOnBothPaths) {
    Dic dic(1, 4, 6);
    dic.corr[dic.at(0, 2, 3)] = 0.1;
    // Low minimum among the four: nearest node alone decides.
    DicSample s = sample_dic(dic.stack(0), 0, 2.2, 1.2, 0.5);
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.u, dic.u[dic.at(0, 1, 2)]);
    EXPECT_EQ(s.corr, 0.9);
    EXPECT_FALSE(sample_dic(dic.stack(0), 0, 2.8, 1.8, 0.5).valid);
    // NaN threshold: never bilinear, the nearest valid node always passes.
    DicSample nan = sample_dic(dic.stack(0), 0, 2.8, 1.8, kNaN);
    ASSERT_TRUE(nan.valid);
    EXPECT_EQ(nan.u, dic.u[dic.at(0, 2, 3)]);
    // The pairwise minimum keeps its first operand against NaN: a NaN in the
    // last node drops out of m and the cell interpolates (with a NaN corr);
    // a NaN in the first node makes m NaN and sends the pixel to the fallback,
    // which accepts the nearest node.
    dic.corr[dic.at(0, 2, 3)] = kNaN;
    DicSample nan_last = sample_dic(dic.stack(0), 0, 2.8, 1.8, 0.5);
    ASSERT_TRUE(nan_last.valid);
    EXPECT_TRUE(std::isnan(nan_last.corr));
    dic.corr[dic.at(0, 2, 3)] = 0.9;
    dic.corr[dic.at(0, 1, 2)] = kNaN;
    DicSample nan_first = sample_dic(dic.stack(0), 0, 2.8, 1.8, 0.5);
    ASSERT_TRUE(nan_first.valid);
    EXPECT_EQ(nan_first.u, dic.u[dic.at(0, 2, 3)]);
}

TEST(SampleDic, HostilePixelsAndGridSteps) {
    Dic dic(1, 4, 6);
    const DicFieldStack s = dic.stack(0);
    for (double bad : {kNaN, kInf, -kInf, 1e300, -1e300, 2147483647.0, 2147483647.6, -2147483648.6}) {
        EXPECT_FALSE(sample_dic(s, 0, bad, 1.0, 0.5).valid) << bad;
        EXPECT_FALSE(sample_dic(s, 0, 1.0, bad, 0.5).valid) << bad;
    }
    // The largest legal spacing: a step of 2^31 pixels, everything near the origin is node 0.
    DicFieldStack wide = dic.stack(2147483647);
    const DicSample origin = sample_dic(wide, 0, 0.0, 0.0, 0.5);
    ASSERT_TRUE(origin.valid);
    EXPECT_EQ(origin.u, dic.u[dic.at(0, 0, 0)]);
    EXPECT_TRUE(sample_dic(wide, 0, 1e6, 1e6, 0.5).valid);
    // Grid coordinate 2147483647 exactly: x0 + 1 must not wrap around.
    EXPECT_FALSE(sample_dic(wide, 0, 2147483647.0 * 2147483648.0, 0.0, 0.5).valid);
    // A zero or negative step is not a grid: nothing samples, nothing overflows.
    EXPECT_FALSE(sample_dic(dic.stack(-1), 0, 1.0, 1.0, 0.5).valid);
    EXPECT_FALSE(sample_dic(dic.stack(-2), 0, 1.0, 1.0, 0.5).valid);
}

TEST(JacobiEigen4, DiagonalInput) {
    Matrix4 A;
    A(0, 0) = 3.0;
    A(1, 1) = 2.0;
    A(2, 2) = 5.0;
    A(3, 3) = 2.0;
    A(0, 1) = A(1, 0) = 5e-13;  // below the threshold: no rotation
    std::array<double, 4> v{};
    EXPECT_FALSE(jacobi_eigen4(A, v));  // smallest is index 1 (tie keeps the lower): W = 0
    EXPECT_EQ(v[0], 0.0);
    EXPECT_EQ(v[1], 1.0);
    EXPECT_EQ(v[3], 0.0);
    A(3, 3) = 1.0;
    EXPECT_TRUE(jacobi_eigen4(A, v));
    EXPECT_EQ(v[3], 1.0);
    EXPECT_EQ(v[0], 0.0);
}

TEST(JacobiEigen4, SmallestEigenvectorOfSymmetricMatrix) {
    // A = Q diag(4, 3, 2, 0.5) Q^T with a known orthonormal Q (Householder).
    const double w[4] = {0.5, -0.5, 0.5, 0.5};
    double Q[4][4];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) Q[i][j] = (i == j ? 1.0 : 0.0) - 2.0 * w[i] * w[j];
    const double lambda[4] = {4.0, 3.0, 2.0, 0.5};
    Matrix4 A;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 4; ++k) A(i, j) += Q[i][k] * lambda[k] * Q[j][k];
    std::array<double, 4> v{};
    ASSERT_TRUE(jacobi_eigen4(A, v));
    const double sign = v[3] / Q[3][3] > 0 ? 1.0 : -1.0;
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(v[k], sign * Q[k][3], 1e-12);
}

TEST(TriangulateDlt, ExactRaysFromTwoAndThreeViews) {
    Cameras cams = test_cameras(0, 0);
    Cameras three(3, 2);
    three.K = cams.K;
    three.K.resize(27);
    three.R = cams.R;
    three.R.insert(three.R.end(), {1, 0, 0, 0, 0, -1, 0, 1, 0});  // looks along y
    three.t = cams.t;
    three.t.insert(three.t.end(), {0.1, 0.2, 3.5});
    const CameraSet cs = three.set();
    const Vector3 X{0.2, -0.1, 0.3};
    std::vector<Vector2> rays;
    std::vector<Matrix34> poses;
    for (int c = 0; c < 3; ++c) {
        rays.push_back(camera_coordinates(cs, X, c));
        poses.push_back(pose_matrix(cs.R, cs.t, c));
    }
    Vector3 two;
    ASSERT_TRUE(triangulate_dlt(std::span(rays).first(2), std::span(poses).first(2), two));
    EXPECT_NEAR(two.x, X.x, 1e-12);
    EXPECT_NEAR(two.y, X.y, 1e-12);
    EXPECT_NEAR(two.z, X.z, 1e-12);
    Vector3 all;
    ASSERT_TRUE(triangulate_dlt(rays, poses, all));
    EXPECT_NEAR(all.x, two.x, 1e-12);
    EXPECT_NEAR(all.y, two.y, 1e-12);
    EXPECT_NEAR(all.z, two.z, 1e-12);
    // A repeated view contributes twice without moving the point.
    rays.push_back(rays[0]);
    poses.push_back(poses[0]);
    Vector3 repeated;
    ASSERT_TRUE(triangulate_dlt(rays, poses, repeated));
    EXPECT_NEAR(repeated.z, X.z, 1e-12);
}

TEST(TriangulateDlt, FailuresLeaveOutputAlone) {
    Cameras cams = test_cameras(0, 0);
    const CameraSet cs = cams.set();
    const Vector3 sentinel{7, 8, 9};
    std::vector<Vector2> rays{{0.1, 0.2}};
    std::vector<Matrix34> poses{pose_matrix(cs.R, cs.t, 0)};
    Vector3 X = sentinel;
    EXPECT_FALSE(triangulate_dlt({}, {}, X));
    EXPECT_FALSE(triangulate_dlt(rays, poses, X));
    EXPECT_EQ(X.x, 7);
    rays.push_back({kNaN, 0.0});
    poses.push_back(pose_matrix(cs.R, cs.t, 1));
    EXPECT_FALSE(triangulate_dlt(rays, poses, X));
    EXPECT_EQ(X.y, 8);
}

TEST(NormalizePixels, SameBitsAsOneAtATime) {
    Cameras cams = test_cameras(-0.3, 0.1);
    Cameras collapsing = test_cameras(-1.0, 0.0);
    for (Cameras* set : {&cams, &collapsing}) {
        const CameraSet cs = set->set();
        const Vector2 a{320.0 + 800.0 * 0.6, 240.0 + 810.0 * 0.8};  // collapses when k1 = -1
        const Vector2 b{100.0, 50.0};
        const std::array<Vector2, 2> both = normalize_pixels(cs.K, cs.dist, 1, a, b);
        const Vector2 na = normalize_pixel(cs.K, cs.dist, 1, a.x, a.y);
        const Vector2 nb = normalize_pixel(cs.K, cs.dist, 1, b.x, b.y);
        EXPECT_EQ(both[0].x, na.x);
        EXPECT_EQ(both[0].y, na.y);
        EXPECT_EQ(both[1].x, nb.x);
        EXPECT_EQ(both[1].y, nb.y);
    }
}

TEST(TriangulateDltStates, SameBitsAsSequentialCalls) {
    Cameras cams = test_cameras(0, 0);
    const CameraSet cs = cams.set();
    const std::vector<Matrix34> poses{pose_matrix(cs.R, cs.t, 0), pose_matrix(cs.R, cs.t, 1)};
    const std::vector<Vector2> good_ref{{0.11, -0.05}, {0.02, -0.04}};
    const std::vector<Vector2> good_def{{0.12, -0.05}, {0.03, -0.041}};
    const std::vector<Vector2> bad{{kNaN, 0.0}, {0.0, 0.0}};
    const std::vector<Vector2> one{{0.1, 0.1}};
    struct Case {
        const std::vector<Vector2>* ref;
        const std::vector<Vector2>* def;
    };
    // Both states fine; deformed state failing; reference failing; too few views.
    const Case cases[] = {{&good_ref, &good_def}, {&good_ref, &bad}, {&bad, &good_def}, {&one, &one}};
    for (const Case& first : cases) {
        for (const Case& second : cases) {
            const PointRays points[2] = {
                {*first.ref, *first.def, std::span(poses).first(first.ref->size())},
                {*second.ref, *second.def, std::span(poses).first(second.ref->size())}};
            Vector3 Xr[2];
            Vector3 Xd[2];
            bool ok[2] = {true, true};
            triangulate_dlt_states(points, Xr, Xd, ok);
            for (int j = 0; j < 2; ++j) {
                Vector3 r;
                Vector3 d;
                const bool alone = triangulate_dlt(points[j].rays_ref, points[j].projections, r) &&
                                   triangulate_dlt(points[j].rays_def, points[j].projections, d);
                ASSERT_EQ(ok[j], alone);
                if (alone) {
                    EXPECT_EQ(Xr[j].x, r.x);
                    EXPECT_EQ(Xr[j].z, r.z);
                    EXPECT_EQ(Xd[j].y, d.y);
                    EXPECT_EQ(Xd[j].z, d.z);
                }
            }
        }
    }
}

TEST(SortById, StableSignedOrder) {
    std::vector<IdRow> rows{{5, 0}, {-2, 1}, {5, 2}, {3, 3}, {-2, 4}, {INT64_MIN, 5}, {INT64_MAX, 6},
                            {-1, 7}, {256, 8}, {0, 9}};
    sort_by_id(rows);
    const std::vector<std::int64_t> ids{INT64_MIN, -2, -2, -1, 0, 3, 5, 5, 256, INT64_MAX};
    const std::vector<std::int64_t> order{5, 1, 4, 7, 9, 3, 0, 2, 8, 6};
    for (std::size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(rows[k].id, ids[k]);
        EXPECT_EQ(rows[k].row, order[k]);
    }
}

}  // namespace
}  // namespace kestrine
