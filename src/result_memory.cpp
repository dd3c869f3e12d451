#include "result_memory.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define KESTRINE_HAVE_MMAP 1
#endif

// Under AddressSanitizer the arena keeps what the heap would: headers, padding
// and released blocks are poisoned, so a result written past its end is caught.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KESTRINE_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define KESTRINE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define KESTRINE_POISON(p, n) ((void)(p), (void)(n))
#define KESTRINE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kestrine {

struct Arena {
    unsigned char* mapping;
    std::size_t mapped;
    std::size_t used;  // offset of the next block's header
    // Blocks not yet released, plus one while the opening scope is alive.
    std::atomic<std::size_t> live;
};

namespace {

constexpr std::size_t kHeaderBytes = 64;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

struct BlockHeader {
    Arena* arena;           // nullptr for a heap block
    std::size_t size;       // bytes the caller holds now
    std::size_t capacity;   // bytes the block was given
    std::size_t span;       // arena blocks: whole pages from the header on
};
static_assert(sizeof(Arena) <= kHeaderBytes && sizeof(BlockHeader) <= kHeaderBytes);

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

unsigned char* header_of(const void* block) {
    return const_cast<unsigned char*>(static_cast<const unsigned char*>(block)) - kHeaderBytes;
}

BlockHeader read_header(const void* block) {
    unsigned char* at = header_of(block);
    KESTRINE_UNPOISON(at, sizeof(BlockHeader));
    BlockHeader header;
    std::memcpy(&header, at, sizeof header);
    KESTRINE_POISON(at, sizeof(BlockHeader));
    return header;
}

void write_header(void* block, const BlockHeader& header) {
    unsigned char* at = header_of(block);
    KESTRINE_UNPOISON(at, sizeof(BlockHeader));
    std::memcpy(at, &header, sizeof header);
    KESTRINE_POISON(at, sizeof(BlockHeader));
}

#if KESTRINE_HAVE_MMAP
std::size_t page_bytes() {
    static const std::size_t bytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return bytes;
}

// Gives back the whole pages inside [begin, end); they read as zero if touched
// again, and nothing else lives on them.
void return_pages(unsigned char* begin, unsigned char* end) {
    const std::size_t page = page_bytes();
    const auto lo = round_up(reinterpret_cast<std::uintptr_t>(begin), page);
    const auto hi = reinterpret_cast<std::uintptr_t>(end) / page * page;
    if (lo < hi) {
        madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
    }
}
#endif

void drop_reference(Arena* arena) {
#if KESTRINE_HAVE_MMAP
    if (arena->live.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        unsigned char* mapping = arena->mapping;
        const std::size_t mapped = arena->mapped;
        arena->~Arena();
        KESTRINE_UNPOISON(mapping, mapped);
        munmap(mapping, mapped);
    }
#else
    (void)arena;
#endif
}

void* heap_block(std::size_t bytes) {
    const std::size_t capacity = round_up(bytes, kHeaderBytes);
    void* raw = std::aligned_alloc(kHeaderBytes, kHeaderBytes + capacity);
    if (raw == nullptr) {
        return nullptr;
    }
    void* block = static_cast<unsigned char*>(raw) + kHeaderBytes;
    write_header(block, BlockHeader{nullptr, bytes, capacity, 0});
    return block;
}

}  // namespace

ArenaScope::ArenaScope(std::size_t bytes, std::size_t blocks, std::size_t min_bytes) {
#if KESTRINE_HAVE_MMAP
    if (bytes < min_bytes) {
        return;
    }
    const std::size_t page = page_bytes();
    // The arena's own page, then each block on whole pages of its own, its
    // header first: a released block gives back every page it had, and no
    // page is shared between blocks.
    const std::size_t mapped = page + round_up(bytes + blocks * (kHeaderBytes + page), page);
    // Over-map by one huge page and trim, so the arena starts on a huge page
    // boundary and every whole 2 MiB inside it can be backed by one.
    void* raw = mmap(nullptr, mapped + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
    if (raw == MAP_FAILED) {
        return;
    }
    auto* start = static_cast<unsigned char*>(raw);
    auto* mapping = reinterpret_cast<unsigned char*>(
        round_up(reinterpret_cast<std::uintptr_t>(start), kHugePage));
    if (mapping > start) {
        munmap(start, static_cast<std::size_t>(mapping - start));
    }
    unsigned char* tail = mapping + mapped;
    unsigned char* end = start + mapped + kHugePage;
    if (tail < end) {
        munmap(tail, static_cast<std::size_t>(end - tail));
    }
#if defined(MADV_HUGEPAGE)
    // Only advice: without transparent huge pages the arena still works.
    madvise(mapping, mapped, MADV_HUGEPAGE);
#endif
    arena_ = new (mapping) Arena{mapping, mapped, page, {1}};
    KESTRINE_POISON(mapping + sizeof(Arena), mapped - sizeof(Arena));
#else
    (void)bytes;
    (void)blocks;
    (void)min_bytes;
#endif
}

ArenaScope::~ArenaScope() {
    if (arena_ != nullptr) {
        drop_reference(arena_);
    }
}

void* allocate_block(Arena* arena, std::size_t bytes) {
    bytes = std::max<std::size_t>(bytes, 1);
    const std::size_t capacity = round_up(bytes, kHeaderBytes);
#if KESTRINE_HAVE_MMAP
    if (arena != nullptr) {
        const std::size_t span = round_up(kHeaderBytes + capacity, page_bytes());
        if (span <= arena->mapped - arena->used) {
            void* block = arena->mapping + arena->used + kHeaderBytes;
            arena->used += span;
            arena->live.fetch_add(1, std::memory_order_relaxed);
            write_header(block, BlockHeader{arena, bytes, capacity, span});
            KESTRINE_UNPOISON(block, bytes);
            return block;
        }
    }
#endif
    return heap_block(bytes);
}

void release_block(void* block) {
    if (block == nullptr) {
        return;
    }
    const BlockHeader header = read_header(block);
    if (header.arena == nullptr) {
        std::free(header_of(block));
        return;
    }
#if KESTRINE_HAVE_MMAP
    unsigned char* begin = header_of(block);
    KESTRINE_POISON(begin, header.span);
    return_pages(begin, begin + header.span);
#endif
    drop_reference(header.arena);
}

void* resize_block(void* block, std::size_t bytes) {
    if (block == nullptr) {
        return allocate_block(nullptr, bytes);
    }
    bytes = std::max<std::size_t>(bytes, 1);
    BlockHeader header = read_header(block);
    if (bytes <= header.capacity) {
        auto* data = static_cast<unsigned char*>(block);
        KESTRINE_POISON(data + bytes, header.capacity - bytes);
        KESTRINE_UNPOISON(data, bytes);
#if KESTRINE_HAVE_MMAP
        if (header.arena != nullptr && bytes < header.size) {
            return_pages(data + bytes, header_of(block) + header.span);
        }
#endif
        header.size = bytes;
        write_header(block, header);
        return block;
    }
    void* moved = heap_block(bytes);
    if (moved != nullptr) {
        std::memcpy(moved, block, header.size);
        release_block(block);
    }
    return moved;
}

bool block_in_arena(const void* block) { return block != nullptr && read_header(block).arena != nullptr; }

}  // namespace kestrine
