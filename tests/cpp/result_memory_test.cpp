#include "result_memory.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace kestrine {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

void fill(void* block, std::size_t bytes, unsigned char seed) {
    auto* p = static_cast<unsigned char*>(block);
    for (std::size_t i = 0; i < bytes; ++i) {
        p[i] = static_cast<unsigned char>(seed + i * 7);
    }
}

bool holds(const void* block, std::size_t bytes, unsigned char seed) {
    const auto* p = static_cast<const unsigned char*>(block);
    for (std::size_t i = 0; i < bytes; ++i) {
        if (p[i] != static_cast<unsigned char>(seed + i * 7)) {
            return false;
        }
    }
    return true;
}

TEST(ResultMemory, SmallTotalsOpenNoArena) {
    const ArenaScope scope(kArenaMinBytes - 1, 4);
    EXPECT_EQ(scope.arena(), nullptr);
    void* block = allocate_block(scope.arena(), 100);
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(block_in_arena(block));
    release_block(block);
}

// Blocks of odd sizes carved side by side; releasing some, in any order, must
// return only their own pages: every neighbour still holds its bytes.
TEST(ResultMemory, ReleasingABlockLeavesItsNeighboursIntact) {
    const std::vector<std::size_t> sizes = {3 * kMiB + 5, 1, 4096 * 3 + 17, 2 * kMiB, 777, kMiB};
    std::size_t total = 0;
    for (std::size_t s : sizes) {
        total += s;
    }
    std::vector<void*> blocks;
    {
        const ArenaScope scope(total, sizes.size());
        ASSERT_NE(scope.arena(), nullptr);
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            void* block = allocate_block(scope.arena(), sizes[i]);
            ASSERT_NE(block, nullptr);
            EXPECT_TRUE(block_in_arena(block));
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 64, 0u);
            fill(block, sizes[i], static_cast<unsigned char>(i));
            blocks.push_back(block);
        }
        // Beyond what the scope was sized for, blocks come from the heap.
        void* extra = allocate_block(scope.arena(), kMiB);
        ASSERT_NE(extra, nullptr);
        EXPECT_FALSE(block_in_arena(extra));
        release_block(extra);
    }
    for (std::size_t i : {2u, 0u, 5u}) {
        release_block(blocks[i]);
        blocks[i] = nullptr;
        for (std::size_t j = 0; j < sizes.size(); ++j) {
            if (blocks[j] != nullptr) {
                EXPECT_TRUE(holds(blocks[j], sizes[j], static_cast<unsigned char>(j))) << i << " " << j;
            }
        }
    }
    // The last blocks go from another thread, as numpy may free them there.
    std::thread([&] {
        for (void* block : blocks) {
            release_block(block);
        }
    }).join();
}

// Shrinking keeps the prefix in place; growing within what the block was
// given stays in place (the bytes past the shrunk size are unspecified);
// growing beyond moves the prefix to the heap. For arena and heap blocks.
TEST(ResultMemory, ResizeKeepsThePrefix) {
    for (const std::size_t total : {kArenaMinBytes, std::size_t{0}}) {
        const std::size_t bytes = 3 * kMiB + 100;
        void* block = nullptr;
        void* neighbour = nullptr;
        {
            const ArenaScope scope(total + bytes, 2);
            block = allocate_block(scope.arena(), bytes);
            neighbour = allocate_block(scope.arena(), 4096);
            ASSERT_NE(block, nullptr);
            ASSERT_NE(neighbour, nullptr);
            EXPECT_EQ(block_in_arena(block), total != 0);
        }
        fill(block, bytes, 1);
        fill(neighbour, 4096, 9);

        void* shrunk = resize_block(block, 5000);
        EXPECT_EQ(shrunk, block);
        EXPECT_TRUE(holds(shrunk, 5000, 1));
        void* regrown = resize_block(shrunk, bytes);
        EXPECT_EQ(regrown, block);
        EXPECT_TRUE(holds(regrown, 5000, 1));
        void* moved = resize_block(regrown, 2 * bytes);
        ASSERT_NE(moved, nullptr);
        EXPECT_FALSE(block_in_arena(moved));
        EXPECT_TRUE(holds(moved, 5000, 1));
        EXPECT_TRUE(holds(neighbour, 4096, 9));
        release_block(moved);
        release_block(neighbour);
    }
    void* fresh = resize_block(nullptr, 10);
    ASSERT_NE(fresh, nullptr);
    release_block(fresh);
    release_block(nullptr);
}

}  // namespace
}  // namespace kestrine
