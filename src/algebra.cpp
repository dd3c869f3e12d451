#include "algebra.hpp"

#include <cmath>

namespace kestrine {

double square(double x) { return x * x; }

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

}  // namespace kestrine
