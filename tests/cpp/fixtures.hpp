// Cameras and DIC stacks held in plain buffers, viewed like the caller's arrays.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "camera.hpp"
#include "dic_sampling.hpp"

namespace kestrine::testing {

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
inline Cameras test_cameras(double k1, double k2, std::int64_t columns = 2) {
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

inline Vector2 camera_coordinates(const CameraSet& cs, const Vector3& X, int c) {
    double Xc[3];
    for (int i = 0; i < 3; ++i) {
        Xc[i] = ((cs.R(c, i, 0) * X.x + cs.R(c, i, 1) * X.y) + cs.R(c, i, 2) * X.z) + cs.t(c, i);
    }
    return {Xc[0] / Xc[2], Xc[1] / Xc[2]};
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

}  // namespace kestrine::testing
