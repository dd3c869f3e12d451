// Machinery shared by the two reconstruction functions: the observation
// table, grouping observations by point id, and the per-view work (sample the
// DIC field, move the pixel, undistort both pixels, take the pose).
#pragma once

#include <cstdint>
#include <vector>

#include "camera.hpp"
#include "views.hpp"

namespace kestrine {

// One row per sighting: point id, camera, reference pixel (x = column 0, y = column 1).
struct ObservationTable {
    ArrayView<const std::int64_t, 1> point_indices;
    ArrayView<const std::int32_t, 1> cam_indices;
    ArrayView<const double, 2> uv;

    std::int64_t size() const { return point_indices.extent(0); }
    Vector2 pixel(std::int64_t row) const { return {uv(row, 0), uv(row, 1)}; }
    // A hint only: asks for a row's camera and pixel to be brought into cache.
    void prefetch(std::int64_t row) const {
        __builtin_prefetch(cam_indices.address(row));
        __builtin_prefetch(uv.address(row, 0));
    }
};

struct IdRow {
    std::int64_t id;
    std::int64_t row;
};

// Sorts by signed id, ascending; rows of equal id keep their relative order.
// A stable radix sort, so grouping costs O(M) whatever the id distribution,
// and matches an ordered map from id to rows appended in ascending row order.
void sort_by_id(std::vector<IdRow>& entries);

// A usable view of a point: everything both triangulations and the
// reprojection check need from one valid DIC sample.
struct ObservedView {
    Vector2 uv_ref;   // reference pixel
    Vector2 uv_def;   // reference pixel plus the sampled displacement
    Vector2 ray_ref;  // undistorted normalized reference pixel
    Vector2 ray_def;  // undistorted normalized deformed pixel
    Matrix34 pose;
};

// The view that a valid sample gives camera c at reference pixel uv_ref.
ObservedView make_view(const CameraSet& cameras, int c, const Vector2& uv_ref,
                       const DicSample& sample);

// Euclidean pixel distance between a reprojection p and the measured pixel q.
double pixel_error(const Vector2& p, const Vector2& q);

}  // namespace kestrine
