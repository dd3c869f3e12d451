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

ObservedView make_view(const CameraSet& cameras, int c, const Vector2& uv_ref,
                       const DicSample& sample) {
    ObservedView view;
    view.uv_ref = uv_ref;
    view.uv_def = {uv_ref.x + sample.u, uv_ref.y + sample.v};
    const std::array<Vector2, 2> rays =
        normalize_pixels(cameras.K, cameras.dist, c, uv_ref, view.uv_def);
    view.ray_ref = rays[0];
    view.ray_def = rays[1];
    view.pose = pose_matrix(cameras.R, cameras.t, c);
    return view;
}

double pixel_error(const Vector2& p, const Vector2& q) {
    return std::sqrt(square(p.x - q.x) + square(p.y - q.y));
}

}  // namespace kestrine
