#include "observations.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "parallel.hpp"

namespace kestrine {

namespace {

// Flipping the sign bit makes unsigned byte order equal signed order.
std::uint64_t sort_key(const IdRow& e) {
    return static_cast<std::uint64_t>(e.id) ^ (std::uint64_t{1} << 63);
}

using Histogram = std::array<std::int64_t, 256>;

}  // namespace

void sort_by_id(IdRows& entries, int threads) {
    const auto n = static_cast<std::int64_t>(entries.size());
    if (n < 2) {
        return;
    }
    const bool sorted = std::is_sorted(entries.begin(), entries.end(),
                                       [](const IdRow& a, const IdRow& b) { return a.id < b.id; });
    if (sorted) {
        return;
    }
    // Each thread owns one contiguous chunk of the current order. A pass
    // counts every chunk's bytes, gives each (byte value, chunk) its place
    // (chunks in order within a value, so the sort stays stable), then moves
    // every chunk: the same order whatever the number of chunks.
    // Below this size a pass is shorter than starting its threads.
    constexpr std::int64_t kThreadedSortMin = std::int64_t{1} << 17;
    const int T = n >= kThreadedSortMin ? threads : 1;
    const std::vector<std::int64_t> chunks = range_bounds(T, n, 1);
    const std::size_t chunk_count = chunks.size() - 1;
    std::vector<std::array<Histogram, 8>> counts(chunk_count);
    run_ranges(chunks, [&](int t, std::int64_t begin, std::int64_t end) {
        auto& count = counts[static_cast<std::size_t>(t)];
        for (Histogram& h : count) {
            h.fill(0);
        }
        for (std::int64_t i = begin; i < end; ++i) {
            const std::uint64_t k = sort_key(entries[static_cast<std::size_t>(i)]);
            for (int b = 0; b < 8; ++b) {
                ++count[static_cast<std::size_t>(b)][(k >> (8 * b)) & 0xFF];
            }
        }
    });
    IdRows scratch(entries.size());
    std::vector<Histogram> place(chunk_count);
    bool first_pass = true;
    for (int b = 0; b < 8; ++b) {
        const auto byte = static_cast<std::size_t>(b);
        // A byte that every key shares leaves the order as it is.
        Histogram total{};
        for (const auto& count : counts) {
            for (std::size_t v = 0; v < 256; ++v) {
                total[v] += count[byte][v];
            }
        }
        if (std::find(total.begin(), total.end(), n) != total.end()) {
            continue;
        }
        // After the first pass the chunks hold other entries: count again
        // (one chunk holds them all, so its counts stay right).
        if (!first_pass && chunk_count > 1) {
            run_ranges(chunks, [&](int t, std::int64_t begin, std::int64_t end) {
                Histogram& h = counts[static_cast<std::size_t>(t)][byte];
                h.fill(0);
                for (std::int64_t i = begin; i < end; ++i) {
                    ++h[(sort_key(entries[static_cast<std::size_t>(i)]) >> (8 * b)) & 0xFF];
                }
            });
        }
        first_pass = false;
        std::int64_t offset = 0;
        for (std::size_t v = 0; v < 256; ++v) {
            for (std::size_t t = 0; t < chunk_count; ++t) {
                place[t][v] = offset;
                offset += counts[t][byte][v];
            }
        }
        run_ranges(chunks, [&](int t, std::int64_t begin, std::int64_t end) {
            Histogram& at = place[static_cast<std::size_t>(t)];
            for (std::int64_t i = begin; i < end; ++i) {
                const IdRow& e = entries[static_cast<std::size_t>(i)];
                scratch[static_cast<std::size_t>(at[(sort_key(e) >> (8 * b)) & 0xFF]++)] = e;
            }
        });
        entries.swap(scratch);
    }
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
