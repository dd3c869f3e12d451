#include "camera.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fixtures.hpp"

namespace kestrine {
namespace {

using namespace kestrine::testing;

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
    Cameras tiny_k2 = test_cameras(0, 9e-13);
    Cameras active = test_cameras(2e-12, 0);
    const CameraSet a = none.set(), b = tiny.set(), c = active.set();
    const Vector2 pa = project_point(X, a.K, a.dist, a.R, a.t, 0);
    for (Cameras* off : {&tiny, &tiny_k2}) {
        const CameraSet o = off->set();
        const Vector2 po = project_point(X, o.K, o.dist, o.R, o.t, 0);
        EXPECT_EQ(pa.x, po.x);
        EXPECT_EQ(pa.y, po.y);
        EXPECT_EQ(normalize_pixel(o.K, o.dist, 0, 900.0, 700.0).x, (900.0 - 320.0) / 800.0);
    }
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

}  // namespace
}  // namespace kestrine
