// Memory for the result arrays of one call. A call's results are written once
// into fresh memory, and with 4 KiB pages the page faults cost as much as the
// arithmetic (the surface function returns over 400 bytes per face). So a
// call with large results carves all of them from one mapping aligned to
// 2 MiB and advised for transparent huge pages: one fault per 2 MiB instead
// of one per 4 KiB.
//
// Each block starts on a page and owns whole pages, so releasing one returns
// its pages to the system at once without touching its neighbours: keeping
// one result array does not keep the others' memory. The arena's bookkeeping
// lives on the heap, never in the mapping, so carving touches no page: each
// page is first touched, and zeroed, by the thread that writes the results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace kestrine {

// Below this total an arena saves too little to be worth a mapping.
inline constexpr std::size_t kArenaMinBytes = std::size_t{4} << 20;

// One mapping carved into blocks in order; unmapped when destroyed.
class Arena {
public:
    // An arena for `bytes` in at most `blocks` blocks, or nullptr when bytes
    // is below kArenaMinBytes or the mapping fails.
    static std::unique_ptr<Arena> open(std::size_t bytes, std::size_t blocks);
    ~Arena();
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // A page-aligned block of at least `bytes` (0 is taken as 1), or nullptr
    // when it does not fit. Only one thread may carve.
    void* carve(std::size_t bytes);
    // Whether p lies in a block of this arena.
    bool holds(const void* p) const;
    // Returns the block's pages; its bytes read as zero if touched again.
    void release(void* block);
    // The block's new size when it fits what the block was given (shrinking
    // by 256 KiB or more returns the whole pages past it); false otherwise,
    // block unchanged.
    bool resize_in_place(void* block, std::size_t bytes);
    // Bytes the caller holds in the block now.
    std::size_t size_of(const void* block) const;

private:
    struct Block {
        std::size_t offset;
        std::size_t size;
        std::size_t span;  // whole pages
    };
    Arena(unsigned char* mapping, std::size_t mapped, std::size_t blocks);
    Block& block_at(const void* p);
    const Block& block_at(const void* p) const;

    unsigned char* mapping_;
    std::size_t mapped_;
    std::size_t used_ = 0;
    std::vector<Block> blocks_;  // in address order
};

// Heap blocks that remember their size, for what does not fit an arena:
// aligned to 64 bytes, nullptr when no memory is left.
void* heap_block(std::size_t bytes);
void release_heap_block(void* block);
std::size_t heap_block_size(const void* block);

// Anonymous mappings for large scratch, advised for huge pages from 1 MiB on
// (rounded up to whole ones), returned to the system when freed.
void* map_scratch(std::size_t bytes);
void unmap_scratch(void* p, std::size_t bytes);

// Scratch is mapped from this size: below it, the heap's own mappings and
// reuse serve as well.
inline constexpr std::size_t kScratchMapBytes = std::size_t{256} << 10;

// Allocator for a call's large scratch vectors: from kScratchMapBytes on, each
// allocation is a mapping of its own, returned to the system when freed, so a
// call leaves no free heap behind it. resize() and the size constructor leave
// elements uninitialised: every vector using it is written before it is read.
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
        void* p = n * sizeof(T) >= kScratchMapBytes ? map_scratch(n * sizeof(T))
                                                     : ::operator new(n * sizeof(T), std::nothrow);
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) >= kScratchMapBytes) {
            unmap_scratch(p, n * sizeof(T));
        } else {
            ::operator delete(p);
        }
    }

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
