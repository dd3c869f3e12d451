#include "triangulation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fixtures.hpp"

namespace kestrine {
namespace {

using namespace kestrine::testing;

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

}  // namespace
}  // namespace kestrine
