#include "dic_sampling.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fixtures.hpp"

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

}  // namespace
}  // namespace kestrine
