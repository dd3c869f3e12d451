#include "triangulation.hpp"

#include <cmath>

namespace kestrine {

namespace {

constexpr int kMaxRotations = 64;

// The largest upper off-diagonal magnitude of A and its position, the first
// in row order among equal magnitudes.
double jacobi4_pivot(const Matrix4& A, int& p, int& q) {
    p = 0;
    q = 1;
    double max = std::fabs(A(0, 1));
    for (int i = 0; i < 4; ++i) {
        for (int j = i + 1; j < 4; ++j) {
            if (std::fabs(A(i, j)) > max) {
                max = std::fabs(A(i, j));
                p = i;
                q = j;
            }
        }
    }
    return max;
}

// The plane rotation that annihilates A(p, q): rows of A, then columns of the
// updated A, then columns of V.
void jacobi4_rotate(Matrix4& A, Matrix4& V, int p, int q) {
    const double theta = (A(q, q) - A(p, p)) / (2.0 * A(p, q));
    const double sgn = theta >= 0.0 ? 1.0 : -1.0;  // NaN gives -1
    const double t = sgn / (std::fabs(theta) + std::sqrt(1.0 + theta * theta));
    const double c = 1.0 / std::sqrt(1.0 + t * t);
    const double s = t * c;
    for (int k = 0; k < 4; ++k) {
        const double a = A(p, k);
        const double b = A(q, k);
        A(p, k) = c * a - s * b;
        A(q, k) = s * a + c * b;
    }
    for (int k = 0; k < 4; ++k) {
        const double a = A(k, p);
        const double b = A(k, q);
        A(k, p) = c * a - s * b;
        A(k, q) = s * a + c * b;
    }
    for (int k = 0; k < 4; ++k) {
        const double a = V(k, p);
        const double b = V(k, q);
        V(k, p) = c * a - s * b;
        V(k, q) = s * a + c * b;
    }
}

// Two rows per view, x P2 - P0 and y P2 - P1, accumulated into all sixteen
// entries of the normal matrix.
Matrix4 normal_matrix(std::span<const Vector2> rays, std::span<const Matrix34> poses) {
    Matrix4 AtA;
    for (std::size_t k = 0; k < rays.size(); ++k) {
        const double x = rays[k].x;
        const double y = rays[k].y;
        const Matrix34& P = poses[k];
        double r1[4];
        double r2[4];
        for (int j = 0; j < 4; ++j) {
            r1[j] = x * P(2, j) - P(0, j);
            r2[j] = y * P(2, j) - P(1, j);
        }
        for (const double* r : {r1, r2}) {
            for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < 4; ++j) {
                    AtA(i, j) += r[i] * r[j];
                }
            }
        }
    }
    return AtA;
}

}  // namespace

bool jacobi_eigen4(Matrix4 A, std::array<double, 4>& v) {
    Matrix4 V;
    for (int i = 0; i < 4; ++i) {
        V(i, i) = 1.0;
    }
    for (int rotation = 0; rotation < kMaxRotations; ++rotation) {
        int p = 0;
        int q = 1;
        if (jacobi4_pivot(A, p, q) < 1e-12) {
            break;
        }
        jacobi4_rotate(A, V, p, q);
    }
    // The column of the smallest diagonal entry, the lowest index on ties.
    int idx = 0;
    double m = A(0, 0);
    for (int i = 1; i < 4; ++i) {
        if (A(i, i) < m) {
            m = A(i, i);
            idx = i;
        }
    }
    for (int k = 0; k < 4; ++k) {
        v[static_cast<std::size_t>(k)] = V(k, idx);
    }
    return std::fabs(v[3]) > 1e-12;
}

bool triangulate_dlt(std::span<const Vector2> rays, std::span<const Matrix34> poses, Vector3& X) {
    if (rays.size() < 2) {
        return false;
    }
    std::array<double, 4> homog{0.0, 0.0, 0.0, 0.0};
    if (!jacobi_eigen4(normal_matrix(rays, poses), homog)) {
        return false;
    }
    X = {homog[0] / homog[3], homog[1] / homog[3], homog[2] / homog[3]};
    return std::isfinite(X.x) && std::isfinite(X.y) && std::isfinite(X.z);
}

}  // namespace kestrine
