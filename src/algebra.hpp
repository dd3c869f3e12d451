// Fixed-size vector and matrix algebra on the value types. Every sum is
// evaluated in the order given here; results are reproducible bit for bit
// only because nothing is reassociated.
#pragma once

#include "values.hpp"

namespace kestrine {

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
