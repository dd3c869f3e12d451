// Memory for the result arrays of one call. A call's results are written once
// into fresh memory, and with 4 KiB pages the page faults cost as much as the
// arithmetic (the surface function returns over 400 bytes per face). So a
// call with large results carves all of them from one mapping aligned to
// 2 MiB and advised for transparent huge pages: one fault per 2 MiB instead
// of one per 4 KiB.
//
// Each block is still released on its own: freeing one returns its pages to
// the system at once, so keeping one result array does not keep the others'
// memory; the mapping itself goes when its last block does. Blocks that do not
// fit the arena, or are asked for while no arena is open, come from the heap.
// Every block carries a header, so release_block and resize_block take any
// block that allocate_block gave.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace kestrine {

// Below this total an arena saves too little to be worth a mapping.
inline constexpr std::size_t kArenaMinBytes = std::size_t{4} << 20;

struct Arena;

// Scratch is mapped from a smaller size: below it, the heap's own mappings
// and reuse serve as well.
inline constexpr std::size_t kScratchMapBytes = std::size_t{256} << 10;

// An arena for `bytes` of blocks in `blocks` allocations, or nullptr when
// bytes is below min_bytes or the mapping fails (blocks then come from the
// heap). The scope that opened it carves from it until it closes; the
// mapping lives until the scope is closed and every block is released.
class ArenaScope {
public:
    ArenaScope(std::size_t bytes, std::size_t blocks, std::size_t min_bytes = kArenaMinBytes);
    ~ArenaScope();
    ArenaScope(const ArenaScope&) = delete;
    ArenaScope& operator=(const ArenaScope&) = delete;
    Arena* arena() const { return arena_; }

private:
    Arena* arena_ = nullptr;
};

// A block of at least `bytes` (0 is taken as 1), aligned to 64 bytes, from
// arena while it has room (arena may be nullptr), else from the heap; nullptr
// when no memory is left. Only the scope that opened arena may carve from it.
void* allocate_block(Arena* arena, std::size_t bytes);
// Frees a block of allocate_block or resize_block; nullptr is ignored. Any
// thread may release any block.
void release_block(void* block);
// Keeps the first min(old, new) bytes. A block shrinks or grows back within
// what it was given in place (an arena block returns the whole pages it no
// longer covers); beyond that it moves to the heap. nullptr when no memory is
// left, in which case the block is unchanged.
void* resize_block(void* block, std::size_t bytes);
// Whether the block lies in an arena (for tests and the benchmark).
bool block_in_arena(const void* block);

// Allocator for a call's large scratch vectors: from kScratchMapBytes on, each
// allocation is a mapping of its own (huge pages where whole), returned to the
// system when freed, so a call leaves no free heap behind it.
// resize() and the size constructor leave elements uninitialised: every
// vector using it is written before it is read.
template <typename T>
struct ScratchAllocator {
    using value_type = T;

    ScratchAllocator() = default;
    template <typename U>
    ScratchAllocator(const ScratchAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
            throw std::bad_alloc();
        }
        // From 1 MiB on, whole huge pages: one fault instead of hundreds is
        // worth the untouched rest of the last one.
        const std::size_t bytes = n * sizeof(T);
        const std::size_t huge = std::size_t{2} << 20;
        const ArenaScope scope(bytes >= huge / 2 ? (bytes + huge - 1) / huge * huge : bytes, 1,
                               kScratchMapBytes);
        void* block = allocate_block(scope.arena(), bytes);
        if (block == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(block);
    }
    void deallocate(T* p, std::size_t) noexcept { release_block(p); }

    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <typename U>
    bool operator==(const ScratchAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace kestrine
