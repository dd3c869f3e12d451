#include "dic_sampling.hpp"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>

namespace kestrine {

namespace {

// floor / llround results outside int range cannot address a grid node.
constexpr double kIntMin = static_cast<double>(std::numeric_limits<int>::min());
constexpr double kIntMax = static_cast<double>(std::numeric_limits<int>::max());

bool fits_int(double g) { return g >= kIntMin && g <= kIntMax; }

}  // namespace

DicSample sample_dic(const DicFieldStack& dic, int c, double px, double py, double min_corrcoef) {
    const DicSample invalid{};
    // The step is formed in 64 bits: subset_spacing = INT_MAX is a legal grid.
    const double step =
        static_cast<double>(static_cast<std::int64_t>(dic.subset_spacing) + 1);
    const double gx = px / step;
    const double gy = py / step;
    // A non-finite pixel, or one beyond int range in grid units, lies outside
    // every grid and has no defined node index.
    if (!std::isfinite(gx) || !std::isfinite(gy) || !fits_int(std::floor(gx)) ||
        !fits_int(std::floor(gy))) {
        return invalid;
    }
    const std::int64_t width = dic.reduced_width;
    const std::int64_t height = dic.reduced_height;
    const std::int64_t x0 = static_cast<int>(std::floor(gx));
    const std::int64_t y0 = static_cast<int>(std::floor(gy));
    const std::int64_t x1 = x0 + 1;
    const std::int64_t y1 = y0 + 1;

    if (x0 >= 0 && y0 >= 0 && x1 < width && y1 < height && dic.valid(c, y0, x0) != 0 &&
        dic.valid(c, y0, x1) != 0 && dic.valid(c, y1, x0) != 0 && dic.valid(c, y1, x1) != 0) {
        const double c00 = dic.corrcoef(c, y0, x0);
        const double c10 = dic.corrcoef(c, y0, x1);
        const double c01 = dic.corrcoef(c, y1, x0);
        const double c11 = dic.corrcoef(c, y1, x1);
        const auto min2 = [](double a, double b) { return b < a ? b : a; };
        const double m = min2(min2(c00, c10), min2(c01, c11));
        if (m >= min_corrcoef) {
            const double fx = gx - static_cast<double>(x0);
            const double fy = gy - static_cast<double>(y0);
            const double w00 = (1.0 - fx) * (1.0 - fy);
            const double w10 = fx * (1.0 - fy);
            const double w01 = (1.0 - fx) * fy;
            const double w11 = fx * fy;
            DicSample s;
            s.u = dic.u(c, y0, x0) * w00 + dic.u(c, y0, x1) * w10 + dic.u(c, y1, x0) * w01 +
                  dic.u(c, y1, x1) * w11;
            s.v = dic.v(c, y0, x0) * w00 + dic.v(c, y0, x1) * w10 + dic.v(c, y1, x0) * w01 +
                  dic.v(c, y1, x1) * w11;
            s.corr = c00 * w00 + c10 * w10 + c01 * w01 + c11 * w11;
            s.valid = true;
            return s;
        }
    }

    // Nearest node only; halves round away from zero. gx within int range
    // keeps llround defined (it may reach INT_MAX + 1, which is off the grid).
    const std::int64_t xn = std::llround(gx);
    const std::int64_t yn = std::llround(gy);
    if (xn < 0 || yn < 0 || xn >= width || yn >= height || dic.valid(c, yn, xn) == 0 ||
        dic.corrcoef(c, yn, xn) < min_corrcoef) {
        return invalid;
    }
    return {dic.u(c, yn, xn), dic.v(c, yn, xn), dic.corrcoef(c, yn, xn), true};
}

double grid_scale(const DicFieldStack& dic) {
    return 1.0 / static_cast<double>(static_cast<std::int64_t>(dic.subset_spacing) + 1);
}

void prefetch_dic(const DicFieldStack& dic, double scale, int c, double px, double py) {
    const double gx = px * scale;
    const double gy = py * scale;
    if (!(gx >= 0.0 && gy >= 0.0 && gx < dic.reduced_width && gy < dic.reduced_height)) {
        return;
    }
    const auto x0 = static_cast<std::int64_t>(gx);
    const auto y0 = static_cast<std::int64_t>(gy);
    const std::int64_t y1 = y0 + 1 < dic.reduced_height ? y0 + 1 : y0;
    for (const std::int64_t y : {y0, y1}) {
        __builtin_prefetch(dic.valid.address(c, y, x0));
        __builtin_prefetch(dic.corrcoef.address(c, y, x0));
        __builtin_prefetch(dic.u.address(c, y, x0));
        __builtin_prefetch(dic.v.address(c, y, x0));
    }
}

}  // namespace kestrine
