#include "observations.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace kestrine {

void sort_by_id(std::vector<IdRow>& entries) {
    const std::size_t n = entries.size();
    if (n < 2) {
        return;
    }
    const bool sorted = std::is_sorted(entries.begin(), entries.end(),
                                       [](const IdRow& a, const IdRow& b) { return a.id < b.id; });
    if (sorted) {
        return;
    }
    // Flipping the sign bit makes unsigned byte order equal signed order.
    const auto key = [](const IdRow& e) {
        return static_cast<std::uint64_t>(e.id) ^ (std::uint64_t{1} << 63);
    };
    std::vector<std::array<std::size_t, 256>> counts(8);
    for (auto& c : counts) {
        c.fill(0);
    }
    for (const IdRow& e : entries) {
        const std::uint64_t k = key(e);
        for (int b = 0; b < 8; ++b) {
            ++counts[static_cast<std::size_t>(b)][(k >> (8 * b)) & 0xFF];
        }
    }
    std::vector<IdRow> scratch(n);
    for (int b = 0; b < 8; ++b) {
        auto& count = counts[static_cast<std::size_t>(b)];
        // A byte that every key shares leaves the order as it is.
        if (std::find(count.begin(), count.end(), n) != count.end()) {
            continue;
        }
        std::size_t offset = 0;
        for (std::size_t& c : count) {
            const std::size_t here = c;
            c = offset;
            offset += here;
        }
        for (const IdRow& e : entries) {
            scratch[count[(key(e) >> (8 * b)) & 0xFF]++] = e;
        }
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
