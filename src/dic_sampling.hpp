// Sampling of per-camera DIC fields at arbitrary pixels of the reference image.
#pragma once

#include "views.hpp"

namespace kestrine {

// Per-camera DIC results on a regular grid of the reference image.
struct DicFieldStack {
    ArrayView<const double, 3> u;         // dic_u [camera, grid row, grid column]
    ArrayView<const double, 3> v;         // dic_v
    ArrayView<const double, 3> corrcoef;  // dic_corrcoef
    ArrayView<const BoolByte, 3> valid;   // dic_valid
    int reduced_height = 0;
    int reduced_width = 0;
    int subset_spacing = 0;  // grid step minus one, in pixels
};

struct DicSample {
    double u = 0.0;
    double v = 0.0;
    double corr = 0.0;
    bool valid = false;
};

// DIC displacement, correlation and validity at pixel (px, py) of camera c:
// bilinear when the four surrounding nodes pass, otherwise the nearest node.
DicSample sample_dic(const DicFieldStack& dic, int c, double px, double py, double min_corrcoef);

// 1 / grid step: pixel to grid units for prefetch_dic.
double grid_scale(const DicFieldStack& dic);

// A hint only: asks for the DIC nodes that sample_dic would read at pixel
// (px, py) of camera c to be brought into cache. `scale` is grid_scale(dic):
// a product may miss the exact quotient's node by one, which a hint can
// afford, and it leaves the divider to the sampling.
void prefetch_dic(const DicFieldStack& dic, double scale, int c, double px, double py);

}  // namespace kestrine
