#include "observations.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "parallel.hpp"

namespace kestrine {

namespace {

// Offsets from the lowest id, in unsigned arithmetic, keep the order of the
// ids and leave only as many varying digits as the ids' range needs (ids on
// both sides of zero would otherwise differ in every digit).
std::uint64_t sort_key(const IdRow& e, std::int64_t lowest) {
    return static_cast<std::uint64_t>(e.id) - static_cast<std::uint64_t>(lowest);
}

// Digits of 11 bits: ids spanning up to 2^22 values sort in two passes, and
// a pass's counts (16 KiB) stay in the first-level cache.
constexpr int kDigitBits = 11;
constexpr int kDigits = (64 + kDigitBits - 1) / kDigitBits;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
using Histogram = std::array<std::int64_t, kBuckets>;

std::size_t digit(std::uint64_t key, int d) {
    return static_cast<std::size_t>(key >> (kDigitBits * d)) & (kBuckets - 1);
}

}  // namespace

void sort_by_id(IdRows& entries, int threads) {
    const auto n = static_cast<std::int64_t>(entries.size());
    if (n < 2) {
        return;
    }
    bool sorted = true;
    std::int64_t lowest = entries[0].id;
    for (std::size_t i = 1; i < entries.size(); ++i) {
        sorted = sorted && entries[i - 1].id <= entries[i].id;
        lowest = std::min(lowest, entries[i].id);
    }
    if (sorted) {
        return;
    }
    // A short table sorts faster by comparison than by clearing the radix
    // counts (6 x 2048 per chunk); the order is the same, stable by id.
    constexpr std::int64_t kRadixMin = 4096;
    if (n < kRadixMin) {
        std::stable_sort(entries.begin(), entries.end(),
                         [](const IdRow& a, const IdRow& b) { return a.id < b.id; });
        return;
    }
    // Each thread owns one contiguous chunk of the current order. A pass
    // counts every chunk's digits, gives each (digit value, chunk) its place
    // (chunks in order within a value, so the sort stays stable), then moves
    // every chunk: the same order whatever the number of chunks.
    const int T = n >= kThreadedGroupingMin ? threads : 1;
    const std::vector<std::int64_t> chunks = range_bounds(T, n, 1);
    const std::size_t chunk_count = chunks.size() - 1;
    std::vector<std::array<Histogram, kDigits>> counts(chunk_count);
    run_ranges(chunks, [&](int t, std::int64_t begin, std::int64_t end) {
        auto& count = counts[static_cast<std::size_t>(t)];
        for (Histogram& h : count) {
            h.fill(0);
        }
        for (std::int64_t i = begin; i < end; ++i) {
            const std::uint64_t k = sort_key(entries[static_cast<std::size_t>(i)], lowest);
            for (int d = 0; d < kDigits; ++d) {
                ++count[static_cast<std::size_t>(d)][digit(k, d)];
            }
        }
    });
    IdRows scratch(entries.size());
    std::vector<Histogram> place(chunk_count);
    bool first_pass = true;
    for (int b = 0; b < kDigits; ++b) {
        const auto pass = static_cast<std::size_t>(b);
        // A digit that every key shares leaves the order as it is.
        Histogram total{};
        for (const auto& count : counts) {
            for (std::size_t v = 0; v < kBuckets; ++v) {
                total[v] += count[pass][v];
            }
        }
        if (std::find(total.begin(), total.end(), n) != total.end()) {
            continue;
        }
        // After the first pass the chunks hold other entries: count again
        // (one chunk holds them all, so its counts stay right).
        if (!first_pass && chunk_count > 1) {
            run_ranges(chunks, [&](int t, std::int64_t begin, std::int64_t end) {
                Histogram& h = counts[static_cast<std::size_t>(t)][pass];
                h.fill(0);
                for (std::int64_t i = begin; i < end; ++i) {
                    ++h[digit(sort_key(entries[static_cast<std::size_t>(i)], lowest), b)];
                }
            });
        }
        first_pass = false;
        std::int64_t offset = 0;
        for (std::size_t v = 0; v < kBuckets; ++v) {
            for (std::size_t t = 0; t < chunk_count; ++t) {
                place[t][v] = offset;
                offset += counts[t][pass][v];
            }
        }
        run_ranges(chunks, [&](int t, std::int64_t begin, std::int64_t end) {
            Histogram& at = place[static_cast<std::size_t>(t)];
            for (std::int64_t i = begin; i < end; ++i) {
                const IdRow& e = entries[static_cast<std::size_t>(i)];
                scratch[static_cast<std::size_t>(at[digit(sort_key(e, lowest), b)]++)] = e;
            }
        });
        entries.swap(scratch);
    }
}

bool dense_ids(const ObservationTable& observations, std::int64_t& lowest, std::size_t& span) {
    const std::int64_t n = observations.size();
    if (n == 0) {
        return false;
    }
    std::int64_t lo = observations.point_indices(0);
    std::int64_t hi = lo;
    for (std::int64_t i = 1; i < n; ++i) {
        const std::int64_t id = observations.point_indices(i);
        lo = std::min(lo, id);
        hi = std::max(hi, id);
    }
    // In unsigned arithmetic the width of any two int64 ids is exact.
    const std::uint64_t width = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
    if (width >= static_cast<std::uint64_t>(n)) {
        return false;
    }
    lowest = lo;
    span = static_cast<std::size_t>(width) + 1;
    return true;
}

std::int64_t usable_cameras(const ObservedScene& scene) {
    const CameraSet& cams = scene.cameras;
    const DicFieldStack& dic = scene.dic;
    return std::min({cams.K.extent(0), cams.dist.extent(0), cams.R.extent(0), cams.t.extent(0),
                     dic.u.extent(0), dic.v.extent(0), dic.corrcoef.extent(0),
                     dic.valid.extent(0)});
}

double pixel_error(const Vector2& p, const Vector2& q) {
    return std::sqrt(square(p.x - q.x) + square(p.y - q.y));
}

}  // namespace kestrine
