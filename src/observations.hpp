// Machinery shared by the two reconstruction functions: the observation
// table, the inputs they read together, and grouping observations by point id.
#pragma once

#include <cstdint>
#include <vector>

#include "camera.hpp"
#include "dic_sampling.hpp"
#include "parallel.hpp"
#include "result_memory.hpp"
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

// Everything a reconstruction reads: cameras, DIC fields and observations.
struct ObservedScene {
    CameraSet cameras;
    DicFieldStack dic;
    ObservationTable observations;
};

// The number of cameras that every camera array and every DIC stack holds:
// a camera index read from the table addresses memory only below it.
std::int64_t usable_cameras(const ObservedScene& scene);

struct IdRow {
    std::int64_t id;
    std::int64_t row;
};
using IdRows = std::vector<IdRow, ScratchAllocator<IdRow>>;

// Grouping passes split over threads from this many rows or entries; below
// it a pass is shorter than starting its threads and sharing its data
// between cores.
inline constexpr std::int64_t kThreadedGroupingMin = std::int64_t{1} << 17;

// The lowest and highest id of a table, and whether its ids never decrease
// from row to row (true for an empty table).
struct IdRange {
    std::int64_t lowest = 0;
    std::int64_t highest = 0;
    bool ascending = true;
};
IdRange id_range(const ObservationTable& observations);

// Sorts by signed id, ascending; rows of equal id keep their relative order.
// A stable radix sort, so grouping costs O(M) whatever the id distribution,
// and matches an ordered map from id to rows appended in ascending row order.
// Large tables are counted and moved by the whole team; the order is the
// same.
void sort_by_id(IdRows& entries, Team& team);
void sort_by_id(IdRows& entries);

// The same, for entries of a table whose id_range is `ids`, taken in row
// order: it bounds the digits to sort by, and an ascending table's entries
// are sorted already.
void sort_by_id(IdRows& entries, Team& team, const IdRange& ids);

// The entries {id, row} of every row of a table whose id_range is `ids`,
// sorted as sort_by_id sorts them: the rows are read straight from the table.
IdRows sort_rows_by_id(const ObservationTable& observations, const IdRange& ids, Team& team);

// An id's offset from the lowest id of its table. Unsigned arithmetic makes it
// exact for any two int64 ids and keeps their order.
inline std::uint64_t id_offset(std::int64_t id, std::int64_t lowest) {
    return static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(lowest);
}

// When a table's ids span fewer values than it has rows, grouping can
// address it by id instead of sorting: the span (highest - lowest + 1), or
// 0 for an empty table or wider ids.
std::size_t dense_span(const IdRange& ids, std::int64_t rows);

// Euclidean pixel distance between a reprojection p and the measured pixel q.
double pixel_error(const Vector2& p, const Vector2& q);

}  // namespace kestrine
