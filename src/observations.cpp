#include "observations.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "parallel.hpp"

namespace kestrine {

namespace {

// Digits of at most 11 bits: ids spanning up to 2^22 values sort in two
// passes, and a pass's counts (16 KiB) stay in the first-level cache. The
// passes share the bits evenly: fewer buckets are fewer places written at
// once while moving.
constexpr int kDigitBits = 11;
constexpr int kDigits = (64 + kDigitBits - 1) / kDigitBits;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
using Histogram = std::array<std::int64_t, kBuckets>;

struct Digits {
    int bits;
    std::size_t operator()(std::uint64_t key, int d) const {
        return static_cast<std::size_t>(key >> (bits * d)) & ((std::size_t{1} << bits) - 1);
    }
    std::size_t buckets() const { return std::size_t{1} << bits; }
};

}  // namespace

void sort_by_id(IdRows& entries) {
    Team alone;
    sort_by_id(entries, alone);
}

namespace {

// The range of ids id(0) .. id(n - 1). Each compared with the one before, not
// with a running value: the rows are independent, so a contiguous column is
// taken a vector at a time.
template <typename Id>
IdRange range_of(std::int64_t n, const Id& id) {
    IdRange ids;
    if (n == 0) {
        return ids;
    }
    std::int64_t lowest = id(0);
    std::int64_t highest = lowest;
    bool descends = false;
    for (std::int64_t i = 1; i < n; ++i) {
        const std::int64_t here = id(i);
        descends |= here < id(i - 1);
        lowest = here < lowest ? here : lowest;
        highest = here > highest ? here : highest;
    }
    ids.lowest = lowest;
    ids.highest = highest;
    ids.ascending = !descends;
    return ids;
}

}  // namespace

void sort_by_id(IdRows& entries, Team& team) {
    const IdRow* const e = entries.data();
    const auto id = [e](std::int64_t i) { return e[i].id; };
    sort_by_id(entries, team, range_of(static_cast<std::int64_t>(entries.size()), id));
}

namespace {

// Sorts the n entries source(0) .. source(n - 1) by id, stably, into
// `entries` (n long); `in_place` says that source reads `entries` itself.
// A least significant digit radix sort: each member of the team owns one
// contiguous chunk of the current order. A pass counts every chunk's digits,
// gives each (digit value, chunk) its place (chunks in order within a value,
// so the sort stays stable), then moves every chunk: the same order whatever
// the number of chunks. The first move reads the source, so a table's rows
// are never copied before they are sorted; the two buffers then take turns.
template <typename Source>
void sort_entries(IdRows& entries, std::int64_t n, const Source& source, bool in_place, Team& team,
                  const IdRange& ids) {
    const auto fill = [&] {
        if (!in_place) {
            for (std::int64_t i = 0; i < n; ++i) {
                entries[static_cast<std::size_t>(i)] = source(i);
            }
        }
    };
    if (n < 2 || ids.ascending) {
        fill();
        return;
    }
    // A short table sorts faster by comparison than by clearing the radix
    // counts; the order is the same, stable by id.
    constexpr std::int64_t kRadixMin = 4096;
    if (n < kRadixMin) {
        fill();
        std::stable_sort(entries.begin(), entries.end(),
                         [](const IdRow& a, const IdRow& b) { return a.id < b.id; });
        return;
    }
    const std::int64_t lowest = ids.lowest;
    // Only the digits that the ids' offsets can fill are counted and sorted.
    const std::uint64_t width = id_offset(ids.highest, lowest);
    int width_bits = 1;
    while (width_bits < 64 && (width >> width_bits) != 0) {
        ++width_bits;
    }
    const int digits = (width_bits + kDigitBits - 1) / kDigitBits;
    const Digits digit{(width_bits + digits - 1) / digits};
    // Offsets from the lowest id vary in only as many digits as the ids' range
    // needs (ids on both sides of zero would otherwise differ in every digit).
    const auto key = [lowest](const IdRow& e) { return id_offset(e.id, lowest); };

    const int members = n >= kThreadedGroupingMin ? team.size() : 1;
    IdRows scratch(static_cast<std::size_t>(n));
    std::vector<std::array<Histogram, kDigits>> counts(static_cast<std::size_t>(members));
    bool in_scratch = false;  // where the sorted order ends
    team.run(members, [&](int t, int m, const auto& sync) {
        const std::vector<std::int64_t> chunks = range_bounds(m, n, 1);
        const auto me = static_cast<std::size_t>(t);
        const std::int64_t begin = chunks[me];
        const std::int64_t end = chunks[me + 1];
        auto& count = counts[me];
        for (int d = 0; d < digits; ++d) {
            count[static_cast<std::size_t>(d)].fill(0);
        }
        // The digit count as a constant, so that the loop over the digits
        // unrolls and the counts of all digits are taken in one pass.
        const auto count_digits = [&]<int D>() {
            for (std::int64_t i = begin; i < end; ++i) {
                const std::uint64_t k = key(source(i));
                for (int d = 0; d < D; ++d) {
                    ++count[static_cast<std::size_t>(d)][digit(k, d)];
                }
            }
        };
        switch (digits) {
            case 1: count_digits.template operator()<1>(); break;
            case 2: count_digits.template operator()<2>(); break;
            case 3: count_digits.template operator()<3>(); break;
            case 4: count_digits.template operator()<4>(); break;
            case 5: count_digits.template operator()<5>(); break;
            default: count_digits.template operator()<kDigits>(); break;
        }
        sync();
        // A digit that every key shares leaves the order as it is. Every
        // member decides alike from the first counts, which passes only
        // rewrite after the sync that ends the first move.
        bool shared[kDigits];
        for (int d = 0; d < digits; ++d) {
            Histogram total{};
            for (int u = 0; u < m; ++u) {
                const Histogram& h = counts[static_cast<std::size_t>(u)][static_cast<std::size_t>(d)];
                for (std::size_t v = 0; v < digit.buckets(); ++v) {
                    total[v] += h[v];
                }
            }
            shared[d] = std::find(total.begin(), total.end(), n) != total.end();
        }
        // The first move leaves `entries` to be read when sorting in place;
        // the buffers swap at the end when the last move wrote the scratch.
        IdRow* to = scratch.data();
        IdRow* other = entries.data();
        const IdRow* from = nullptr;  // the source, before the first move
        Histogram at;
        for (int d = 0; d < digits; ++d) {
            if (shared[d]) {
                continue;
            }
            const auto pass = static_cast<std::size_t>(d);
            // After the first move the chunks hold other entries: count again.
            if (from != nullptr && m > 1) {
                Histogram& h = count[pass];
                h.fill(0);
                for (std::int64_t i = begin; i < end; ++i) {
                    ++h[digit(key(from[i]), d)];
                }
                sync();
            }
            std::int64_t offset = 0;
            for (std::size_t v = 0; v < digit.buckets(); ++v) {
                for (int u = 0; u < m; ++u) {
                    if (u == t) {
                        at[v] = offset;
                    }
                    offset += counts[static_cast<std::size_t>(u)][pass][v];
                }
            }
            if (from == nullptr) {
                for (std::int64_t i = begin; i < end; ++i) {
                    const IdRow e = source(i);
                    to[at[digit(key(e), d)]++] = e;
                }
            } else {
                for (std::int64_t i = begin; i < end; ++i) {
                    const IdRow& e = from[i];
                    to[at[digit(key(e), d)]++] = e;
                }
            }
            sync();
            from = to;
            std::swap(to, other);
        }
        if (t == 0) {
            in_scratch = from == scratch.data();
        }
    });
    if (in_scratch) {
        entries.swap(scratch);
    }
}

}  // namespace

void sort_by_id(IdRows& entries, Team& team, const IdRange& ids) {
    const IdRow* const e = entries.data();
    sort_entries(entries, static_cast<std::int64_t>(entries.size()),
                 [e](std::int64_t i) { return e[i]; }, true, team, ids);
}

IdRows sort_rows_by_id(const ObservationTable& observations, const IdRange& ids, Team& team) {
    const std::int64_t n = observations.size();
    IdRows entries(static_cast<std::size_t>(n));
    with_reader(observations.point_indices, [&](auto id) {
        const auto row = [&id](std::int64_t i) { return IdRow{id(i), i}; };
        sort_entries(entries, n, row, false, team, ids);
    });
    return entries;
}

IdRange id_range(const ObservationTable& observations) {
    IdRange ids;
    with_reader(observations.point_indices,
                [&](auto id) { ids = range_of(observations.size(), id); });
    return ids;
}

std::size_t dense_span(const IdRange& ids, std::int64_t rows) {
    const std::uint64_t width = id_offset(ids.highest, ids.lowest);
    if (rows == 0 || width >= static_cast<std::uint64_t>(rows)) {
        return 0;
    }
    return static_cast<std::size_t>(width) + 1;
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
