// The fixed-size value types shared by the camera and deformation kernels,
// and their algebra. Plain aggregates, passed and returned by value, never
// allocated. Every sum is evaluated in the order given here; results are
// reproducible bit for bit only because nothing is reassociated.
#pragma once

#include <array>
#include <cstddef>

namespace kestrine {


struct Vector2 {
    double x = 0.0;
    double y = 0.0;
};

struct Vector3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    // Component i (0 = x, 1 = y, 2 = z).
    double operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
};

// Row-major 3 x 3; element (r, c) is m[r * 3 + c].
struct Matrix3 {
    std::array<double, 9> m{};

    double& operator[](int k) { return m[static_cast<std::size_t>(k)]; }
    double operator[](int k) const { return m[static_cast<std::size_t>(k)]; }
    double& operator()(int r, int c) { return m[static_cast<std::size_t>(r * 3 + c)]; }
    double operator()(int r, int c) const { return m[static_cast<std::size_t>(r * 3 + c)]; }
};

// Row-major 3 x 4 camera pose [R | t]; element (i, j) is m[4 * i + j].
struct Matrix34 {
    std::array<double, 12> m{};

    double operator()(int i, int j) const { return m[static_cast<std::size_t>(4 * i + j)]; }
};

// Row-major 4 x 4; element (i, j) is m[4 * i + j].
struct Matrix4 {
    std::array<double, 16> m{};

    double& operator()(int i, int j) { return m[static_cast<std::size_t>(4 * i + j)]; }
    double operator()(int i, int j) const { return m[static_cast<std::size_t>(4 * i + j)]; }
};


// ---- Algebra -----------------------------------------------------------------

double square(double x);

// (a.x*b.x + a.y*b.y) + a.z*b.z
double dot(const Vector3& a, const Vector3& b);
Vector3 subtract(const Vector3& a, const Vector3& b);
Vector3 cross(const Vector3& a, const Vector3& b);
// sqrt(dot(a, a)); no guard against overflow of the squares.
double norm(const Vector3& a);
Vector3 scaled(const Vector3& a, double s);
// True when no component is NaN or infinite.
bool all_finite(const Vector3& a);
// Element r*3 + c is a[r]*b[c].
Matrix3 outer(const Vector3& a, const Vector3& b);
Matrix3 add(const Matrix3& A, const Matrix3& B);
// Element (r, c) is (A(r,0)*B(0,c) + A(r,1)*B(1,c)) + A(r,2)*B(2,c).
Matrix3 matmul(const Matrix3& A, const Matrix3& B);
Matrix3 transpose(const Matrix3& A);
// Expansion along the first row: (A0*m0 - A1*m1) + A2*m2.
double det(const Matrix3& A);
// Adjugate times 1/det. Fails, leaving out untouched, when |det| <= 1e-18
// (absolute) or det is not finite.
bool invert(const Matrix3& A, Matrix3& out);
// sqrt of the squares of elements 0..8 summed in index order.
double frobenius_norm(const Matrix3& A);

}  // namespace kestrine
