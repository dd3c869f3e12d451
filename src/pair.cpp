#include "pair.hpp"

#include <algorithm>
#include <cstring>
#include <atomic>
#include <thread>
#include <vector>

#include "parallel.hpp"
#include "simd/targets.hpp"

namespace kestrine {

namespace {

// Each id's rows by direct address, then the complete ids in ascending
// order: the same points as sorting, in two passes. Rows go in ascending
// order, so the highest row of a camera is the one left. Without branches,
// as the cameras come in no order: a row of neither camera goes to a spare
// slot past the ids', and every id writes its point, complete or not, to
// the next free one (or a spare once all are taken).
void group_dense_ids(const ObservationTable& observations, int cam_a, int cam_b,
                     std::int64_t lowest, std::size_t span, PairGroups& groups) {
    const std::int64_t N = observations.size();
    std::vector<std::int64_t, ScratchAllocator<std::int64_t>> rows(2 * span + 1, -1);
    const std::size_t spare_row = 2 * span;
    unsigned a = 0;
    unsigned b = 0;
    for (std::int64_t i = 0; i < N; ++i) {
        const int cam = observations.cam_indices(i);
        const auto k = static_cast<std::size_t>(id_offset(observations.point_indices(i), lowest));
        const unsigned in_a = cam == cam_a;
        const unsigned in_b = cam == cam_b;
        a |= in_a;
        b |= in_b;
        const unsigned to_b = in_b & (in_a ^ 1u);
        const std::size_t keep = std::size_t{0} - ((in_a | in_b) & 1u);
        rows[((2 * k + to_b) & keep) | (spare_row & ~keep)] = i;
    }
    groups.carries_a = a != 0;
    groups.carries_b = b != 0;
    const auto complete = [&](std::size_t k) {
        return static_cast<std::size_t>((rows[2 * k] >= 0) & (rows[2 * k + 1] >= 0));
    };
    std::size_t points = 0;
    for (std::size_t k = 0; k < span; ++k) {
        points += complete(k);
    }
    groups.points.resize(points);
    PairSlots* const out = groups.points.data();
    PairSlots spare;
    std::size_t m = 0;
    for (std::size_t k = 0; k < span; ++k) {
        const auto id = static_cast<std::int64_t>(static_cast<std::uint64_t>(lowest) + k);
        *(m < points ? out + m : &spare) = {id, rows[2 * k], rows[2 * k + 1]};
        m += complete(k);
    }
}

}  // namespace

PairGroups group_pair(const ObservationTable& observations, int cam_a, int cam_b) {
    Team alone;
    return group_pair(observations, cam_a, cam_b, alone);
}

PairGroups group_pair(const ObservationTable& observations, int cam_a, int cam_b, Team& team) {
    PairGroups groups;
    const IdRange ids = id_range(observations);
    if (const std::size_t span = dense_span(ids, observations.size()); span > 0) {
        group_dense_ids(observations, cam_a, cam_b, ids.lowest, span, groups);
        return groups;
    }
    // Rows, then sorted entries, are split into contiguous ranges over the
    // threads where the passes are long enough to pay for starting them.
    const std::int64_t N = observations.size();
    const int T = N >= kThreadedGroupingMin ? team.size() : 1;
    const std::vector<std::int64_t> rows = range_bounds(T, N, 1);
    const auto ranges = static_cast<std::size_t>(T);

    // Counted first, so the entries are allocated once at their size and each
    // range knows where its own go.
    std::vector<std::int64_t> first_entry(ranges + 1, 0);
    std::vector<std::uint8_t> carries(2 * ranges, 0);
    team.run_ranges(rows, [&](int t, std::int64_t begin, std::int64_t end) {
        // Bitwise, not short-circuit: the cameras come in no order, and a
        // branch on them would be mispredicted every other row.
        std::int64_t count = 0;
        unsigned a = 0;
        unsigned b = 0;
        for (std::int64_t i = begin; i < end; ++i) {
            const int cam = observations.cam_indices(i);
            const unsigned in_a = cam == cam_a;
            const unsigned in_b = cam == cam_b;
            a |= in_a;
            b |= in_b;
            count += in_a | in_b;
        }
        const auto r = static_cast<std::size_t>(t);
        first_entry[r + 1] = count;
        carries[2 * r] = static_cast<std::uint8_t>(a);
        carries[2 * r + 1] = static_cast<std::uint8_t>(b);
    });
    for (std::size_t r = 0; r < ranges; ++r) {
        first_entry[r + 1] += first_entry[r];
        groups.carries_a = groups.carries_a || carries[2 * r] != 0;
        groups.carries_b = groups.carries_b || carries[2 * r + 1] != 0;
    }

    // Each entry carries its camera in a high bit of the row, so the sorted
    // entries need not go back to the table in random order. Cameras come in
    // no order, so the loop chooses by selects rather than branches: every
    // row is written, to the range's next slot or to a spare once the range
    // has all its entries, and only rows of the pair advance the slot.
    constexpr std::int64_t kInB = std::int64_t{1} << 62;
    IdRows entries(static_cast<std::size_t>(first_entry[ranges]));
    team.run_ranges(rows, [&](int t, std::int64_t begin, std::int64_t end) {
        const auto r = static_cast<std::size_t>(t);
        IdRow* const out = entries.data() + first_entry[r];
        const std::int64_t count = first_entry[r + 1] - first_entry[r];
        IdRow spare;
        std::int64_t n = 0;
        for (std::int64_t i = begin; i < end; ++i) {
            const int cam = observations.cam_indices(i);
            const unsigned in_a = cam == cam_a;
            const unsigned in_b = (cam == cam_b) & (in_a ^ 1u);
            IdRow* const slot = n < count ? out + n : &spare;
            *slot = {observations.point_indices(i), i | (static_cast<std::int64_t>(in_b) * kInB)};
            n += in_a | in_b;
        }
    });
    sort_by_id(entries, team, ids);

    // The sorted entries cut at id changes. A range starting at entry e
    // writes its points from (e + 1) / 2 on: every complete point takes two
    // entries at least, so no range reaches the next one's points. The gaps
    // are then closed in order.
    const auto count = static_cast<std::int64_t>(entries.size());
    std::vector<std::int64_t> cut = range_bounds(count >= kThreadedGroupingMin ? T : 1, count, 1);
    for (std::size_t r = 1; r + 1 < cut.size(); ++r) {
        std::int64_t c = std::max(cut[r], cut[r - 1]);
        while (c > 0 && c < count && entries[static_cast<std::size_t>(c)].id ==
                                         entries[static_cast<std::size_t>(c - 1)].id) {
            ++c;
        }
        cut[r] = c;
    }
    groups.points.resize(static_cast<std::size_t>((count + 1) / 2));
    std::vector<std::int64_t> made(cut.size() - 1, 0);
    // Without branches, as the entries were made: an id has one or two
    // entries, at random. Every entry writes the point so far to the next
    // slot (or a spare once the range's slots are all taken), and an id
    // change moves on past a complete one. The choices are masks, which the
    // compiler keeps as arithmetic.
    team.run_ranges(cut, [&](int t, std::int64_t begin, std::int64_t end) {
        PairSlots* const out = groups.points.data() + (begin + 1) / 2;
        const std::int64_t room = (end + 1) / 2 - (begin + 1) / 2;
        PairSlots spare;
        std::int64_t m = 0;
        PairSlots slots{entries[static_cast<std::size_t>(begin)].id, -1, -1};
        const auto complete = [](const PairSlots& s) {
            return static_cast<std::int64_t>((s.row_a >= 0) & (s.row_b >= 0));
        };
        for (std::int64_t k = begin; k < end; ++k) {
            const IdRow e = entries[static_cast<std::size_t>(k)];
            const auto fresh = static_cast<std::int64_t>(e.id != slots.id);
            *(m < room ? out + m : &spare) = slots;
            m += fresh & complete(slots);
            slots.id = e.id;
            slots.row_a |= -fresh;  // -1 from a new id on
            slots.row_b |= -fresh;
            const std::int64_t in_b = -((e.row & kInB) >> 62);
            slots.row_a = (slots.row_a & in_b) | (e.row & ~in_b);
            slots.row_b = (slots.row_b & ~in_b) | (e.row & ~kInB & in_b);
        }
        if (complete(slots) != 0) {
            out[m++] = slots;
        }
        made[static_cast<std::size_t>(t)] = m;
    });
    std::int64_t points = 0;
    for (std::size_t r = 0; r < made.size(); ++r) {
        const std::int64_t from = (cut[r] + 1) / 2;
        if (made[r] > 0 && from != points) {
            std::memmove(groups.points.data() + points, groups.points.data() + from,
                         static_cast<std::size_t>(made[r]) * sizeof(PairSlots));
        }
        points += made[r];
    }
    groups.points.resize(static_cast<std::size_t>(points));
    return groups;
}

std::int64_t reconstruct_pair_rows(const ObservedScene& scene, const PairGroups& groups,
                                   const PairSettings& settings, const PairOutputs& out,
                                   std::int64_t first, std::int64_t last, std::int64_t out_row) {
    return chosen_target().pair_rows(scene, groups, settings, out, first, last, out_row);
}

namespace {

// Rows of every result for one chunk of points, written by the kernels
// before the chunk's place in the results is known.
class PairStaging {
public:
    explicit PairStaging(std::int64_t rows) {
        std::size_t bytes = 0;
#define KESTRINE_STAGING_BYTES(key, type, tail) \
    bytes += static_cast<std::size_t>(rows) * result_row_bytes<type KESTRINE_EXTENTS(tail)>();
        KESTRINE_PAIR_RESULTS(KESTRINE_STAGING_BYTES)
#undef KESTRINE_STAGING_BYTES
        storage_.resize(bytes);
        unsigned char* at = storage_.data();
#define KESTRINE_STAGING_VIEW(key, type, tail) \
    views_.key = staged<type KESTRINE_EXTENTS(tail)>(at, rows);
        KESTRINE_PAIR_RESULTS(KESTRINE_STAGING_VIEW)
#undef KESTRINE_STAGING_VIEW
    }

    const PairOutputs& views() const { return views_; }

    // Copies the first `count` staged rows of every result to row `row` of out.
    void copy_to(const PairOutputs& out, std::int64_t row, std::int64_t count) const {
#define KESTRINE_STAGING_COPY(key, type, tail) copy_rows(views_.key, out.key, row, count);
        KESTRINE_PAIR_RESULTS(KESTRINE_STAGING_COPY)
#undef KESTRINE_STAGING_COPY
    }

private:
    template <typename T, int... extents>
    static ResultView<T, extents...> staged(unsigned char*& at, std::int64_t rows) {
        const std::int64_t shape[] = {rows, extents...};
        auto* data = reinterpret_cast<Element<T>*>(at);
        at += static_cast<std::size_t>(rows) * result_row_bytes<T, extents...>();
        return contiguous_view(data, shape);
    }

    // Both views are C-contiguous with the same row length.
    template <typename View>
    static void copy_rows(const View& from, const View& to, std::int64_t row, std::int64_t count) {
        if (count > 0) {
            std::memcpy(to.data + row * to.strides[0], from.data,
                        static_cast<std::size_t>(count * to.strides[0]));
        }
    }

    std::vector<unsigned char> storage_;
    PairOutputs views_;
};

}  // namespace

std::int64_t reconstruct_pairs_on_threads(const ObservedScene& scene, const PairGroups& groups,
                                          const PairSettings& settings, const PairOutputs& out,
                                          Team& team, int threads) {
    const auto points = static_cast<std::int64_t>(groups.points.size());
    if (threads <= 1) {
        return reconstruct_pair_rows(scene, groups, settings, out, 0, points, 0);
    }
    // Threads take chunks of points in turn. A chunk's kept rows are staged
    // (a chunk's rows fit a core's cache), its first row is the previous
    // chunk's first row plus that chunk's kept count, and it is copied there
    // as soon as that is known: the rows land in point order, each written to
    // the results once. The chunk a thread waits for is always held by a
    // thread that is computing it or waiting for an earlier one, down to the
    // lowest, which waits for nothing.
    // The last chunks shrink, so that the threads finish together; each is
    // at least three quarters of the one before, so that a thread finishing
    // a short chunk seldom waits for a longer one started before it.
    constexpr std::int64_t kChunk = 2048;
    constexpr std::int64_t kShortest = 256;
    std::vector<std::int64_t> starts{0};
    for (std::int64_t at = 0, size = kChunk; at < points; starts.push_back(at)) {
        if (points - at <= 2 * threads * kChunk) {
            size = std::max(kShortest, size * 3 / 4);
        }
        at = std::min(points, at + size);
    }
    const auto chunks = static_cast<std::int64_t>(starts.size()) - 1;
    std::vector<std::atomic<std::int64_t>> first_row(static_cast<std::size_t>(chunks) + 1);
    for (auto& row : first_row) {
        row.store(-1, std::memory_order_relaxed);
    }
    first_row[0].store(0, std::memory_order_relaxed);
    std::atomic<std::int64_t> next{0};
    std::atomic<bool> failed{false};
    team.run_ranges(threads, threads, 1, [&](std::int64_t, std::int64_t) {
        try {
            const PairStaging staging(kChunk);
            for (std::int64_t c = next++; c < chunks; c = next++) {
                const std::int64_t first = starts[static_cast<std::size_t>(c)];
                const std::int64_t last = starts[static_cast<std::size_t>(c) + 1];
                const std::int64_t kept =
                    reconstruct_pair_rows(scene, groups, settings, staging.views(), first, last, 0);
                std::int64_t row = first_row[static_cast<std::size_t>(c)].load(std::memory_order_acquire);
                while (row < 0) {
                    if (failed.load(std::memory_order_relaxed)) {
                        return;
                    }
                    std::this_thread::yield();
                    row = first_row[static_cast<std::size_t>(c)].load(std::memory_order_acquire);
                }
                first_row[static_cast<std::size_t>(c) + 1].store(row + kept, std::memory_order_release);
                staging.copy_to(out, row, kept);
            }
        } catch (...) {
            // Nobody waits for a chunk this thread never took; those waiting
            // for one it took give up, and the error is rethrown after the join.
            failed.store(true, std::memory_order_relaxed);
            throw;
        }
    });
    return first_row[static_cast<std::size_t>(chunks)].load(std::memory_order_acquire);
}

}  // namespace kestrine
