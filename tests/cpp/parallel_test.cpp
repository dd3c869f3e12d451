#include "parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

namespace kestrine {
namespace {

TEST(RunRanges, EveryElementExactlyOnceOnAlignedBoundaries) {
    for (const std::int64_t count : {0, 1, 63, 64, 65, 1000, 4099}) {
        for (const int threads : {1, 2, 3, 8}) {
            std::vector<std::atomic<int>> hits(static_cast<std::size_t>(count));
            std::atomic<int> misaligned{0};
            const auto hit = [&](std::int64_t begin, std::int64_t end) {
                if (begin % 64 != 0) {
                    ++misaligned;
                }
                for (std::int64_t i = begin; i < end; ++i) {
                    ++hits[static_cast<std::size_t>(i)];
                }
            };
            Team team(threads);
            team.run_ranges(threads, count, 64, hit);
            // Ranges outnumbering a team are taken by its members in turn.
            Team two(2);
            two.run_ranges(range_bounds(threads, count, 64),
                           [&](int, std::int64_t begin, std::int64_t end) { hit(begin, end); });
            EXPECT_EQ(misaligned, 0) << count << " elements, " << threads << " threads";
            for (std::int64_t i = 0; i < count; ++i) {
                ASSERT_EQ(hits[static_cast<std::size_t>(i)], 2) << "element " << i;
            }
        }
    }
}

TEST(RunRanges, ExceptionOfAnyRangeReachesTheCaller) {
    // The failing range is not the calling thread's, and every other range
    // still runs to its end before the exception is rethrown. The team then
    // runs its next pass as usual.
    Team team(3);
    std::atomic<std::int64_t> done{0};
    EXPECT_THROW(team.run_ranges(3, 3000, 1,
                                 [&](std::int64_t begin, std::int64_t end) {
                                     if (begin > 0 && begin < 2000) {
                                         throw std::bad_alloc();
                                     }
                                     done += end - begin;
                                 }),
                 std::bad_alloc);
    EXPECT_EQ(done, 2000);
    team.run_ranges(3, 3000, 1, [&](std::int64_t begin, std::int64_t end) { done += end - begin; });
    EXPECT_EQ(done, 5000);
}

TEST(RunTeamThreads, SyncSeparatesPassesAndAThrowingMemberLeaves) {
    // After sync() every member sees what every other wrote before it.
    // Passes of every size on one team, more members than CPUs included.
    Team team(4);
    for (const int members : {4, 2, 3, 4}) {
        std::vector<int> slots(4, 0);
        std::atomic<int> seen{0};
        team.run(members, [&](int t, int m, const auto& sync) {
            for (int round = 1; round <= 50; ++round) {
                slots[static_cast<std::size_t>(t)] = (t + 1) * round;
                sync();
                int sum = 0;
                for (int u = 0; u < m; ++u) {
                    sum += slots[static_cast<std::size_t>(u)];
                }
                seen += sum == round * m * (m + 1) / 2 ? 1 : 0;
                sync();
            }
        });
        EXPECT_EQ(seen, 50 * members) << members << " members";
    }
    // A member that throws before the first sync must not leave the others
    // waiting at either of theirs; its exception reaches the caller.
    std::atomic<int> finished{0};
    EXPECT_THROW(team.run(3, [&](int t, int, const auto& sync) {
                     if (t == 1) {
                         throw std::bad_alloc();
                     }
                     sync();
                     sync();
                     ++finished;
                 }),
                 std::bad_alloc);
    EXPECT_EQ(finished, 2);
    // Helpers that end with a pass still run all of it; the passes after it
    // run on the caller alone.
    team.end_with_next_pass();
    for (const int expected : {4, 1}) {
        std::atomic<int> ran{0};
        team.run(4, [&](int, int m, const auto& sync) {
            sync();
            ran += m == expected ? 1 : 0;
        });
        EXPECT_EQ(ran, expected);
    }
}

TEST(ThreadsFor, GrainAndRequestBoundTheCount) {
    EXPECT_EQ(threads_for(8, 100, 4096), 1);
    EXPECT_EQ(threads_for(8, 3 * 4096, 4096), 3);
    EXPECT_EQ(threads_for(2, 1 << 20, 4096), 2);
    EXPECT_GE(requested_threads(-1), 1);
    EXPECT_EQ(requested_threads(5), 5);
    EXPECT_EQ(requested_threads(0), 0);
    EXPECT_EQ(requested_threads(-2), 0);
}

}  // namespace
}  // namespace kestrine
