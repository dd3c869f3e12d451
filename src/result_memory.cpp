#include "result_memory.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define KESTRINE_HAVE_MMAP 1
#endif

// Under AddressSanitizer the arena keeps what the heap would: padding and
// released blocks are poisoned, so a result written past its end is caught.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KESTRINE_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define KESTRINE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define KESTRINE_POISON(p, n) ((void)(p), (void)(n))
#define KESTRINE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kestrine {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHeapHeader = 64;
constexpr std::size_t kReturnMinBytes = std::size_t{256} << 10;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

#if KESTRINE_HAVE_MMAP
std::size_t page_bytes() {
    static const std::size_t bytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return bytes;
}

// `bytes` of fresh memory starting on a huge page boundary, so every whole
// 2 MiB inside can be backed by one; nullptr when the mapping fails.
unsigned char* map_huge_aligned(std::size_t bytes) {
    void* raw = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    auto* start = static_cast<unsigned char*>(raw);
    auto* aligned = reinterpret_cast<unsigned char*>(
        round_up(reinterpret_cast<std::uintptr_t>(start), kHugePage));
    if (aligned > start) {
        munmap(start, static_cast<std::size_t>(aligned - start));
    }
    unsigned char* end = start + bytes + kHugePage;
    if (aligned + bytes < end) {
        munmap(aligned + bytes, static_cast<std::size_t>(end - (aligned + bytes)));
    }
#if defined(MADV_HUGEPAGE)
    // Only advice: without transparent huge pages the memory works the same.
    madvise(aligned, bytes, MADV_HUGEPAGE);
#endif
    return aligned;
}

// Gives back the whole pages inside [begin, end).
void return_pages(unsigned char* begin, unsigned char* end) {
    const std::size_t page = page_bytes();
    const auto lo = round_up(reinterpret_cast<std::uintptr_t>(begin), page);
    const auto hi = reinterpret_cast<std::uintptr_t>(end) / page * page;
    if (lo < hi) {
        madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
    }
}
#endif

}  // namespace

std::unique_ptr<Arena> Arena::open(std::size_t bytes, std::size_t blocks) {
#if KESTRINE_HAVE_MMAP
    if (bytes < kArenaMinBytes) {
        return nullptr;
    }
    // Each block on whole pages of its own.
    const std::size_t mapped = round_up(bytes + blocks * page_bytes(), page_bytes());
    unsigned char* mapping = map_huge_aligned(mapped);
    if (mapping == nullptr) {
        return nullptr;
    }
    KESTRINE_POISON(mapping, mapped);
    return std::unique_ptr<Arena>(new (std::nothrow) Arena(mapping, mapped, blocks));
#else
    (void)bytes;
    (void)blocks;
    return nullptr;
#endif
}

Arena::Arena(unsigned char* mapping, std::size_t mapped, std::size_t blocks)
    : mapping_(mapping), mapped_(mapped) {
    blocks_.reserve(blocks);
}

Arena::~Arena() {
#if KESTRINE_HAVE_MMAP
    KESTRINE_UNPOISON(mapping_, mapped_);
    munmap(mapping_, mapped_);
#endif
}

void* Arena::carve(std::size_t bytes) {
#if KESTRINE_HAVE_MMAP
    bytes = std::max<std::size_t>(bytes, 1);
    const std::size_t span = round_up(bytes, page_bytes());
    // The table was sized at opening: it never reallocates while blocks are
    // looked up.
    if (span > mapped_ - used_ || blocks_.size() == blocks_.capacity()) {
        return nullptr;
    }
    blocks_.push_back({used_, bytes, span});
    unsigned char* block = mapping_ + used_;
    used_ += span;
    KESTRINE_UNPOISON(block, bytes);
    return block;
#else
    (void)bytes;
    return nullptr;
#endif
}

bool Arena::holds(const void* p) const {
    const auto* q = static_cast<const unsigned char*>(p);
    return q >= mapping_ && q < mapping_ + used_;
}

const Arena::Block& Arena::block_at(const void* p) const {
    const auto offset = static_cast<std::size_t>(static_cast<const unsigned char*>(p) - mapping_);
    const auto after = std::upper_bound(blocks_.begin(), blocks_.end(), offset,
                                        [](std::size_t o, const Block& b) { return o < b.offset; });
    return *(after - 1);
}

Arena::Block& Arena::block_at(const void* p) {
    return const_cast<Block&>(static_cast<const Arena*>(this)->block_at(p));
}

std::size_t Arena::size_of(const void* block) const { return block_at(block).size; }

void Arena::release(void* block) {
#if KESTRINE_HAVE_MMAP
    Block& b = block_at(block);
    unsigned char* begin = mapping_ + b.offset;
    KESTRINE_POISON(begin, b.span);
    return_pages(begin, begin + b.span);
    b.size = 0;
#else
    (void)block;
#endif
}

bool Arena::resize_in_place(void* block, std::size_t bytes) {
    bytes = std::max<std::size_t>(bytes, 1);
    Block& b = block_at(block);
    if (bytes > b.span) {
        return false;
    }
    auto* data = static_cast<unsigned char*>(block);
    KESTRINE_POISON(data + bytes, b.span - bytes);
    KESTRINE_UNPOISON(data, bytes);
#if KESTRINE_HAVE_MMAP
    // A short tail stays until the block goes: returning it costs a system
    // call, and splitting a huge page, for little memory.
    if (bytes < b.size && b.span - bytes >= kReturnMinBytes) {
        return_pages(data + bytes, data + b.span);
    }
#endif
    b.size = bytes;
    return true;
}

void* heap_block(std::size_t bytes) {
    bytes = std::max<std::size_t>(bytes, 1);
    void* raw = std::aligned_alloc(kHeapHeader, kHeapHeader + round_up(bytes, kHeapHeader));
    if (raw == nullptr) {
        return nullptr;
    }
    std::memcpy(raw, &bytes, sizeof bytes);
    return static_cast<unsigned char*>(raw) + kHeapHeader;
}

void release_heap_block(void* block) {
    if (block != nullptr) {
        std::free(static_cast<unsigned char*>(block) - kHeapHeader);
    }
}

std::size_t heap_block_size(const void* block) {
    std::size_t bytes = 0;
    std::memcpy(&bytes, static_cast<const unsigned char*>(block) - kHeapHeader, sizeof bytes);
    return bytes;
}

namespace {

std::size_t scratch_mapping_bytes(std::size_t bytes) {
    // From 1 MiB on, whole huge pages: one fault instead of hundreds is worth
    // the untouched rest of the last one.
    return bytes >= kHugePage / 2 ? round_up(bytes, kHugePage) : bytes;
}

}  // namespace

void* map_scratch(std::size_t bytes) {
#if KESTRINE_HAVE_MMAP
    return map_huge_aligned(scratch_mapping_bytes(bytes));
#else
    return ::operator new(bytes, std::nothrow);
#endif
}

void unmap_scratch(void* p, std::size_t bytes) {
#if KESTRINE_HAVE_MMAP
    munmap(p, scratch_mapping_bytes(bytes));
#else
    (void)bytes;
    ::operator delete(p);
#endif
}

}  // namespace kestrine
