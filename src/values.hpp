// Fixed-size value types shared by the camera and deformation kernels.
// Plain aggregates: passed and returned by value, never allocated.
#pragma once

#include <array>

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

}  // namespace kestrine
