#include "pair.hpp"

#include <cstring>
#include <functional>

#include "parallel.hpp"
#include "simd/targets.hpp"

namespace kestrine {

namespace {

// Each id's rows by direct address, then the complete ids in ascending
// order: the same points as sorting, in two passes. Rows go in ascending
// order, so the highest row of a camera is the one left.
void group_dense_ids(const ObservationTable& observations, int cam_a, int cam_b,
                     std::int64_t lowest, std::size_t span, PairGroups& groups) {
    const std::int64_t N = observations.size();
    std::vector<std::int64_t, ScratchAllocator<std::int64_t>> rows(2 * span, -1);
    for (std::int64_t i = 0; i < N; ++i) {
        const int cam = observations.cam_indices(i);
        const auto k = static_cast<std::size_t>(static_cast<std::uint64_t>(observations.point_indices(i)) -
                                                static_cast<std::uint64_t>(lowest));
        groups.carries_a = groups.carries_a || cam == cam_a;
        groups.carries_b = groups.carries_b || cam == cam_b;
        if (cam == cam_a) {
            rows[2 * k] = i;
        } else if (cam == cam_b) {
            rows[2 * k + 1] = i;
        }
    }
    std::size_t complete = 0;
    for (std::size_t k = 0; k < span; ++k) {
        complete += (rows[2 * k] >= 0 && rows[2 * k + 1] >= 0) ? 1 : 0;
    }
    groups.points.reserve(complete);
    for (std::size_t k = 0; k < span; ++k) {
        if (rows[2 * k] >= 0 && rows[2 * k + 1] >= 0) {
            groups.points.push_back({static_cast<std::int64_t>(static_cast<std::uint64_t>(lowest) + k),
                                     rows[2 * k], rows[2 * k + 1]});
        }
    }
}

}  // namespace

PairGroups group_pair(const ObservationTable& observations, int cam_a, int cam_b,
                      int threads) {
    PairGroups groups;
    std::int64_t lowest = 0;
    std::size_t span = 0;
    if (dense_ids(observations, lowest, span)) {
        group_dense_ids(observations, cam_a, cam_b, lowest, span, groups);
        return groups;
    }
    const std::int64_t N = observations.size();
    std::size_t in_pair = 0;
    for (std::int64_t i = 0; i < N; ++i) {
        const int cam = observations.cam_indices(i);
        groups.carries_a = groups.carries_a || cam == cam_a;
        groups.carries_b = groups.carries_b || cam == cam_b;
        in_pair += (cam == cam_a || cam == cam_b) ? 1 : 0;
    }
    // Counted first so the table of pair rows is allocated once at its size.
    // Each entry carries its camera in a high bit of the row, so the sorted
    // entries need not go back to the table in random order.
    constexpr std::int64_t kInB = std::int64_t{1} << 62;
    IdRows entries;
    entries.reserve(in_pair);
    for (std::int64_t i = 0; i < N; ++i) {
        const int cam = observations.cam_indices(i);
        if (cam == cam_a) {
            entries.push_back({observations.point_indices(i), i});
        } else if (cam == cam_b) {
            entries.push_back({observations.point_indices(i), i | kInB});
        }
    }
    sort_by_id(entries, threads);

    groups.points.reserve(in_pair / 2);
    std::size_t begin = 0;
    while (begin < entries.size()) {
        PairSlots slots{entries[begin].id, -1, -1};
        std::size_t end = begin;
        for (; end < entries.size() && entries[end].id == slots.id; ++end) {
            const std::int64_t row = entries[end].row;
            if ((row & kInB) == 0) {
                slots.row_a = row;
            } else {
                slots.row_b = row & ~kInB;
            }
        }
        if (slots.row_a >= 0 && slots.row_b >= 0) {
            groups.points.push_back(slots);
        }
        begin = end;
    }
    return groups;
}

std::int64_t reconstruct_pair_rows(const ObservedScene& scene, const PairGroups& groups,
                                   const PairSettings& settings, const PairOutputs& out,
                                   std::int64_t first, std::int64_t last, std::int64_t out_row) {
    return chosen_target().pair_rows(scene, groups, settings, out, first, last, out_row);
}

namespace {

// Moves rows [from, from + count) of a C-contiguous result to row `to`.
template <typename View>
void move_rows(const View& view, std::int64_t from, std::int64_t to, std::int64_t count) {
    if (count > 0 && from != to) {
        std::memmove(view.data + to * view.strides[0], view.data + from * view.strides[0],
                     static_cast<std::size_t>(count * view.strides[0]));
    }
}

}  // namespace

std::int64_t reconstruct_pairs_on_threads(const ObservedScene& scene, const PairGroups& groups,
                                          const PairSettings& settings, const PairOutputs& out,
                                          int threads) {
    const auto points = static_cast<std::int64_t>(groups.points.size());
    if (threads <= 1) {
        return reconstruct_pair_rows(scene, groups, settings, out, 0, points, 0);
    }
    const std::vector<std::int64_t> bounds = range_bounds(threads, points, 8);
    std::vector<std::int64_t> kept(bounds.size() - 1, 0);
    run_ranges(bounds, [&](int t, std::int64_t first, std::int64_t last) {
        kept[static_cast<std::size_t>(t)] =
            reconstruct_pair_rows(scene, groups, settings, out, first, last, first);
    });
    // Ranges in order, each moved down onto the end of the one before. Within
    // one array the moves must go in range order; the arrays are independent,
    // so they are shared out over the threads.
    std::vector<std::int64_t> to(kept.size(), 0);
    std::int64_t rows = 0;
    for (std::size_t t = 0; t < kept.size(); ++t) {
        to[t] = rows;
        rows += kept[t];
    }
    const auto move_array = [&](const auto& view) {
        for (std::size_t t = 0; t < kept.size(); ++t) {
            move_rows(view, bounds[t], to[t], kept[t]);
        }
    };
    std::vector<std::function<void()>> moves;
#define KESTRINE_MOVE_ARRAY(key, type, tail) moves.push_back([&] { move_array(out.key); });
    KESTRINE_PAIR_RESULTS(KESTRINE_MOVE_ARRAY)
#undef KESTRINE_MOVE_ARRAY
    run_ranges(threads, static_cast<std::int64_t>(moves.size()), 1,
               [&](std::int64_t first, std::int64_t last) {
                   for (std::int64_t a = first; a < last; ++a) {
                       moves[static_cast<std::size_t>(a)]();
                   }
               });
    return rows;
}

}  // namespace kestrine
