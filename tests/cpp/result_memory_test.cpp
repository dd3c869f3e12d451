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

// Blocks of odd sizes carved side by side; releasing some, in any order and
// from another thread, must return only their own pages: every neighbour
// still holds its bytes. Beyond what the arena was sized for, carving fails.
TEST(ResultMemory, ReleasingABlockLeavesItsNeighboursIntact) {
    EXPECT_EQ(Arena::open(kArenaMinBytes - 1, 4), nullptr);
    const std::vector<std::size_t> sizes = {3 * kMiB + 5, 1, 4096 * 3 + 17, 2 * kMiB, 777, kMiB};
    std::size_t total = 0;
    for (std::size_t s : sizes) {
        total += s;
    }
    const std::unique_ptr<Arena> arena = Arena::open(total, sizes.size());
    ASSERT_NE(arena, nullptr);
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        void* block = arena->carve(sizes[i]);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(arena->holds(block));
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 4096, 0u);
        EXPECT_EQ(arena->size_of(block), sizes[i]);
        fill(block, sizes[i], static_cast<unsigned char>(i));
        blocks.push_back(block);
    }
    EXPECT_EQ(arena->carve(1), nullptr);
    int x = 0;
    EXPECT_FALSE(arena->holds(&x));

    std::thread([&] {
        for (std::size_t i : {2u, 0u, 5u}) {
            arena->release(blocks[i]);
            blocks[i] = nullptr;
        }
    }).join();
    for (std::size_t j = 0; j < sizes.size(); ++j) {
        if (blocks[j] != nullptr) {
            EXPECT_TRUE(holds(blocks[j], sizes[j], static_cast<unsigned char>(j))) << j;
        }
    }
}

// Shrinking keeps the prefix in place and returns the pages past it without
// touching the next block; growing back within the block's pages stays in
// place; growing beyond is refused, block unchanged.
TEST(ResultMemory, ResizeInPlaceKeepsThePrefix) {
    const std::size_t bytes = 3 * kMiB + 100;
    const std::unique_ptr<Arena> arena = Arena::open(kArenaMinBytes, 2);
    ASSERT_NE(arena, nullptr);
    void* block = arena->carve(bytes);
    void* neighbour = arena->carve(4096);
    ASSERT_NE(neighbour, nullptr);
    fill(block, bytes, 1);
    fill(neighbour, 4096, 9);

    EXPECT_TRUE(arena->resize_in_place(block, 5000));
    EXPECT_EQ(arena->size_of(block), 5000u);
    EXPECT_TRUE(holds(block, 5000, 1));
    EXPECT_TRUE(arena->resize_in_place(block, bytes));
    EXPECT_TRUE(holds(block, 5000, 1));
    EXPECT_FALSE(arena->resize_in_place(block, 4 * kMiB));
    EXPECT_EQ(arena->size_of(block), bytes);
    EXPECT_TRUE(holds(neighbour, 4096, 9));

    void* heap = heap_block(12345);
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(heap) % 64, 0u);
    EXPECT_EQ(heap_block_size(heap), 12345u);
    EXPECT_FALSE(arena->holds(heap));
    release_heap_block(heap);
    release_heap_block(nullptr);
}

}  // namespace
}  // namespace kestrine
