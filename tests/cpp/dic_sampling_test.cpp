#include "dic_sampling.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fixtures.hpp"
#include "simd/targets.hpp"

namespace kestrine {
namespace {

using namespace kestrine::testing;

TEST(SampleDic, BilinearWeightsAtCellCentre) {
    Dic dic(1, 4, 6);
    // Spacing 4: nodes every 5 pixels; (12.5, 7.5) is the centre of columns 2-3, rows 1-2.
    const DicSample s = sample_dic(dic.stack(4), 0, 12.5, 7.5, 0.5);
    ASSERT_TRUE(s.valid);
    const double expected = dic.u[dic.at(0, 1, 2)] * 0.25 + dic.u[dic.at(0, 1, 3)] * 0.25 +
                            dic.u[dic.at(0, 2, 2)] * 0.25 + dic.u[dic.at(0, 2, 3)] * 0.25;
    EXPECT_EQ(s.u, expected);
    EXPECT_DOUBLE_EQ(s.corr, 0.9);
}

TEST(SampleDic, OnANodeReturnsTheNode) {
    Dic dic(2, 4, 6);
    const DicSample s = sample_dic(dic.stack(0), 1, 2.0, 1.0, 0.5);
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.u, dic.u[dic.at(1, 1, 2)]);
    EXPECT_EQ(s.v, dic.v[dic.at(1, 1, 2)]);
}

TEST(SampleDic, FallbackRoundingAtTheGridEdges) {
    Dic dic(1, 3, 5);
    const DicFieldStack s = dic.stack(0);
    // Last column cannot interpolate: nearest node.
    DicSample last = sample_dic(s, 0, 4.0, 1.2, 0.5);
    ASSERT_TRUE(last.valid);
    EXPECT_EQ(last.u, dic.u[dic.at(0, 1, 4)]);
    // -0.3 rounds to column 0; -0.5 rounds away from zero to -1.
    DicSample left = sample_dic(s, 0, -0.3, 1.0, 0.5);
    ASSERT_TRUE(left.valid);
    EXPECT_EQ(left.u, dic.u[dic.at(0, 1, 0)]);
    EXPECT_FALSE(sample_dic(s, 0, -0.5, 1.0, 0.5).valid);
    // reduced_width - 0.5 rounds to reduced_width: off the grid.
    EXPECT_FALSE(sample_dic(s, 0, 4.5, 1.0, 0.5).valid);
    const DicSample below = sample_dic(s, 0, 4.49, 1.0, 0.5);
    EXPECT_TRUE(below.valid);
}

TEST(SampleDic, InvalidNodeFallsBackToNearest) {
    Dic dic(1, 4, 6);
    dic.valid[dic.at(0, 1, 3)] = 0;
    // Nearest node (2, 1) is fine: its values, not interpolated.
    DicSample s = sample_dic(dic.stack(0), 0, 2.2, 1.3, 0.5);
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.u, dic.u[dic.at(0, 1, 2)]);
    // Nearest node is the invalid one: no other neighbour is searched.
    EXPECT_FALSE(sample_dic(dic.stack(0), 0, 2.8, 1.3, 0.5).valid);
    // A non-zero byte other than 1 is a valid node.
    dic.valid[dic.at(0, 1, 3)] = 7;
    EXPECT_TRUE(sample_dic(dic.stack(0), 0, 2.8, 1.3, 0.5).valid);
}

TEST(SampleDic, CorrelationThresholdOnBothPaths) {
    Dic dic(1, 4, 6);
    dic.corr[dic.at(0, 2, 3)] = 0.1;
    // Low minimum among the four: nearest node alone decides.
    DicSample s = sample_dic(dic.stack(0), 0, 2.2, 1.2, 0.5);
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.u, dic.u[dic.at(0, 1, 2)]);
    EXPECT_EQ(s.corr, 0.9);
    EXPECT_FALSE(sample_dic(dic.stack(0), 0, 2.8, 1.8, 0.5).valid);
    // NaN threshold: never bilinear, the nearest valid node always passes.
    DicSample nan = sample_dic(dic.stack(0), 0, 2.8, 1.8, kNaN);
    ASSERT_TRUE(nan.valid);
    EXPECT_EQ(nan.u, dic.u[dic.at(0, 2, 3)]);
    // The pairwise minimum keeps its first operand against NaN: a NaN in the
    // last node drops out of m and the cell interpolates (with a NaN corr);
    // a NaN in the first node makes m NaN and sends the pixel to the fallback,
    // which accepts the nearest node.
    dic.corr[dic.at(0, 2, 3)] = kNaN;
    DicSample nan_last = sample_dic(dic.stack(0), 0, 2.8, 1.8, 0.5);
    ASSERT_TRUE(nan_last.valid);
    EXPECT_TRUE(std::isnan(nan_last.corr));
    dic.corr[dic.at(0, 2, 3)] = 0.9;
    dic.corr[dic.at(0, 1, 2)] = kNaN;
    DicSample nan_first = sample_dic(dic.stack(0), 0, 2.8, 1.8, 0.5);
    ASSERT_TRUE(nan_first.valid);
    EXPECT_EQ(nan_first.u, dic.u[dic.at(0, 2, 3)]);
}

TEST(SampleDic, HostilePixelsAndGridSteps) {
    Dic dic(1, 4, 6);
    const DicFieldStack s = dic.stack(0);
    for (double bad : {kNaN, kInf, -kInf, 1e300, -1e300, 2147483647.0, 2147483647.6, -2147483648.6}) {
        EXPECT_FALSE(sample_dic(s, 0, bad, 1.0, 0.5).valid) << bad;
        EXPECT_FALSE(sample_dic(s, 0, 1.0, bad, 0.5).valid) << bad;
    }
    // The largest legal spacing: a step of 2^31 pixels, everything near the origin is node 0.
    DicFieldStack wide = dic.stack(2147483647);
    const DicSample origin = sample_dic(wide, 0, 0.0, 0.0, 0.5);
    ASSERT_TRUE(origin.valid);
    EXPECT_EQ(origin.u, dic.u[dic.at(0, 0, 0)]);
    EXPECT_TRUE(sample_dic(wide, 0, 1e6, 1e6, 0.5).valid);
    // Grid coordinate 2147483647 exactly: x0 + 1 must not wrap around.
    EXPECT_FALSE(sample_dic(wide, 0, 2147483647.0 * 2147483648.0, 0.0, 0.5).valid);
    // A zero or negative step is not a grid: nothing samples, nothing overflows.
    EXPECT_FALSE(sample_dic(dic.stack(-1), 0, 1.0, 1.0, 0.5).valid);
    EXPECT_FALSE(sample_dic(dic.stack(-2), 0, 1.0, 1.0, 0.5).valid);
}

// Every target's lanes sample as sample_dic does, bit for bit: random and
// edge pixels (nodes, halves between nodes, -0, the last column, non-finite
// and huge values), cameras outside the arrays, grid steps from none to the
// largest, thresholds that pass all or nothing, fields read backwards.
TEST(DicSamples, EveryTargetMatchesSampleDic) {
    Dic dic(3, 24, 20);
    std::mt19937_64 rng(21);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::size_t k = 0; k < dic.u.size(); ++k) {
        const double roll = unit(rng);
        dic.u[k] = roll < 0.05 ? -0.0 : unit(rng) - 0.5;
        dic.v[k] = roll < 0.05 ? 0.0 : unit(rng) - 0.5;
        dic.corr[k] = roll > 0.97 ? (roll > 0.99 ? kNaN : 0.2) : 0.6 + 0.4 * unit(rng);
        dic.valid[k] = (roll > 0.1 && roll < 0.14) ? 0 : 1;
    }
    // The first cell: -0 at the origin, then 0.25, 0.25 and -0.25. A sample
    // at (-0, -0) sums four zeros, and its sign is right only if every
    // weight's zero has the sign sample_dic gives it.
    for (int c = 0; c < 3; ++c) {
        for (const auto& [j, i] : {std::pair{0, 0}, std::pair{0, 1}, std::pair{1, 0}, std::pair{1, 1}}) {
            const std::size_t k = dic.at(c, j, i);
            dic.u[k] = dic.v[k] = (j == 0 && i == 0) ? -0.0 : (j == 1 && i == 1) ? -0.25 : 0.25;
            dic.corr[k] = 0.9;
            dic.valid[k] = 1;
        }
    }
    constexpr std::int64_t kPixels = 20000;
    for (const int spacing : {4, 0, -1, -2, 2147483647}) {
        for (const bool backwards : {false, true}) {
            DicFieldStack s = dic.stack(spacing);
            if (backwards) {
                for (auto* view : {&s.corrcoef, &s.v}) {
                    view->data += (view->shape[2] - 1) * view->strides[2];
                    view->strides[2] = -view->strides[2];
                }
                s.valid.data += (s.valid.shape[2] - 1) * s.valid.strides[2];
                s.valid.strides[2] = -s.valid.strides[2];
            }
            const double step = static_cast<double>(spacing) + 1.0;
            const double edges[] = {kNaN, kInf, -kInf, -0.0, 0.0, 1e300, -1e300,
                                    step * static_cast<double>(dic.cols - 1), step * static_cast<double>(dic.rows - 1), step * 2.5,
                                    -0.5 * step, 2147483647.5 * step, -2147483648.5 * step};
            std::vector<std::int32_t> cams(kPixels);
            std::vector<double> px(kPixels), py(kPixels);
            for (std::int64_t i = 0; i < kPixels; ++i) {
                cams[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(rng() % 4) - 1;
                if (i < 3) {
                    cams[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(i);
                    px[static_cast<std::size_t>(i)] = py[static_cast<std::size_t>(i)] = -0.0;
                    continue;
                }
                for (double* p : {&px[static_cast<std::size_t>(i)], &py[static_cast<std::size_t>(i)]}) {
                    const double roll = unit(rng);
                    const double node = std::floor(unit(rng) * static_cast<double>(dic.cols + 2)) - 1.0;
                    *p = roll < 0.6   ? (unit(rng) * static_cast<double>(dic.cols + 1) - 1.0) * step
                         : roll < 0.7 ? node * step
                         : roll < 0.8 ? (node + 0.5) * step
                                      : edges[rng() % std::size(edges)];
                }
            }
            for (const double min_corr : {0.5, kNaN, -kInf}) {
                std::vector<DicSample> expected(kPixels);
                for (std::size_t i = 0; i < expected.size(); ++i) {
                    if (cams[i] >= 0) {
                        expected[i] = sample_dic(s, cams[i], px[i], py[i], min_corr);
                    }
                }
                for (const KernelTarget& target : kernel_targets()) {
                    if (!target.supported()) continue;
                    std::vector<DicSample> got(kPixels);
                    target.dic_samples(s, cams.data(), px.data(), py.data(), kPixels, min_corr, got.data());
                    for (std::size_t i = 0; i < got.size(); ++i) {
                        const DicSample& a = got[i];
                        const DicSample& b = expected[i];
                        const bool same = a.valid == b.valid && std::bit_cast<std::uint64_t>(a.u) == std::bit_cast<std::uint64_t>(b.u) &&
                                          std::bit_cast<std::uint64_t>(a.v) == std::bit_cast<std::uint64_t>(b.v) &&
                                          std::bit_cast<std::uint64_t>(a.corr) == std::bit_cast<std::uint64_t>(b.corr);
                        ASSERT_TRUE(same) << target.name << ": spacing " << spacing << (backwards ? " backwards" : "")
                                          << ", min " << min_corr << ", camera " << cams[i] << " at (" << px[i]
                                          << ", " << py[i] << "): valid " << a.valid << " vs " << b.valid
                                          << ", u " << a.u << " vs " << b.u;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace kestrine
