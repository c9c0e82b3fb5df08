#include "boundary/scratch_memory.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

// Under AddressSanitizer every block comes from the ordinary allocator, so
// that reads and writes past an image's end are still caught.
#if defined(__SANITIZE_ADDRESS__)
#define PCBINSPECT_SCRATCH_MAPPINGS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PCBINSPECT_SCRATCH_MAPPINGS 0
#endif
#endif
#if !defined(PCBINSPECT_SCRATCH_MAPPINGS) && defined(__linux__) && defined(MADV_HUGEPAGE)
#define PCBINSPECT_SCRATCH_MAPPINGS 1
#elif !defined(PCBINSPECT_SCRATCH_MAPPINGS)
#define PCBINSPECT_SCRATCH_MAPPINGS 0
#endif

namespace pcbinspect {

#if PCBINSPECT_SCRATCH_MAPPINGS
namespace {

constexpr std::size_t kOwnMapping = 256 * 1024;         // smallest block mapped
constexpr std::size_t kLargestPacked = 16 * 1024 * 1024;  // larger blocks map their own
constexpr std::size_t kHugePage = 2 * 1024 * 1024;
constexpr std::size_t kColours = 64, kLine = 64;  // block starts spread over a 4 KiB page
constexpr std::size_t kHeader = kLine;            // each block's header: the line before it
constexpr std::size_t kArenaMapping = 32 * 1024 * 1024;  // address space until touched

// What releasing a block needs to know.
struct BlockHeader {
    ScratchArena* arena;    // null: the block has a mapping of its own
    std::uintptr_t start;   // own mapping: where it starts
    std::size_t length;     // own mapping: its length; arena block: its capacity
};
BlockHeader* headerOf(void* p) {
    return reinterpret_cast<BlockHeader*>(static_cast<char*>(p) - kHeader);
}

bool mappedSize(std::size_t bytes) {
    return bytes >= kOwnMapping && bytes <= static_cast<std::size_t>(-1) / 4;
}
std::size_t hugePages(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// `length` bytes (whole huge pages) starting on a 2 MiB boundary, offered to
// transparent huge pages: one huge page more is mapped and the ends trimmed.
std::uintptr_t mapHugePages(std::size_t length) {
    void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start) munmap(raw, aligned - start);
    const std::uintptr_t end = start + length + kHugePage;
    if (end > aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
    // Only a request: without transparent huge pages the memory is mapped
    // as ordinary pages.
    madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return aligned;
}

thread_local ScratchArena* currentArena = nullptr;

}  // namespace

// The packed blocks of one scope: placed one after another in large
// mappings, each starting on one of 64 cache lines in turn (blocks that all
// started on the same line of a page would put the same pixel of two images
// in the same cache set); a released block is kept for the next request it
// can hold.
class ScratchArena {
public:
    ScratchArena() = default;
    ScratchArena(const ScratchArena&) = delete;
    ScratchArena& operator=(const ScratchArena&) = delete;
    ~ScratchArena() {
        for (const Mapping& m : mappings_) munmap(reinterpret_cast<void*>(m.start), m.length);
    }

    void* allocate(std::size_t bytes) {
        const std::lock_guard<std::mutex> hold(lock_);
        // The smallest released block that holds the request.
        std::size_t best = released_.size();
        for (std::size_t i = 0; i < released_.size(); ++i) {
            const std::size_t capacity = headerOf(released_[i])->length;
            if (capacity >= bytes && (best == released_.size() || capacity < headerOf(released_[best])->length))
                best = i;
        }
        if (best < released_.size()) {
            void* p = released_[best];
            released_[best] = released_.back();
            released_.pop_back();
            return p;
        }
        const std::size_t colour = (next_++ % kColours) * kLine;
        const std::size_t need = colour + kHeader + bytes;
        if (mappings_.empty() || mappings_.back().length - mappings_.back().used < need) {
            const std::size_t length = std::max(kArenaMapping, hugePages(need));
            mappings_.reserve(mappings_.size() + 1);
            mappings_.push_back(Mapping{mapHugePages(length), length, 0});
        }
        Mapping& m = mappings_.back();
        const std::uintptr_t at = m.start + m.used + colour + kHeader;
        m.used = (m.used + need + kLine - 1) / kLine * kLine;
        *headerOf(reinterpret_cast<void*>(at)) = BlockHeader{this, 0, bytes};
        return reinterpret_cast<void*>(at);
    }

    void release(void* p) noexcept {
        const std::lock_guard<std::mutex> hold(lock_);
        // Without room to keep it, the block stays unused until the scope
        // ends.
        try {
            released_.push_back(p);
        } catch (...) {
        }
    }

private:
    struct Mapping {
        std::uintptr_t start;
        std::size_t length, used;
    };
    std::mutex lock_;
    std::vector<Mapping> mappings_;
    std::vector<void*> released_;
    std::size_t next_ = 0;
};

ScratchScope::ScratchScope() : arena_(new (std::nothrow) ScratchArena), outer_(currentArena) {
    // Without memory for the arena the blocks map their own.
    if (arena_ != nullptr) currentArena = arena_;
}
ScratchScope::~ScratchScope() {
    currentArena = outer_;
    delete arena_;
}
ScratchArena* currentScratchArena() noexcept { return currentArena; }
AdoptedScratchArena::AdoptedScratchArena(ScratchArena* arena) noexcept : outer_(currentArena) {
    currentArena = arena;
}
AdoptedScratchArena::~AdoptedScratchArena() { currentArena = outer_; }

void* allocateScratch(std::size_t bytes) {
    if (!mappedSize(bytes)) return ::operator new(bytes);
    if (bytes <= kLargestPacked && currentArena != nullptr) return currentArena->allocate(bytes);
    const std::size_t length = hugePages(bytes + kHeader + kColours * kLine);
    const std::uintptr_t start = mapHugePages(length);
    // The mapping's place picks the cache line the block starts on.
    const std::uintptr_t at = start + (start / kHugePage) % kColours * kLine + kHeader;
    *headerOf(reinterpret_cast<void*>(at)) = BlockHeader{nullptr, start, length};
    return reinterpret_cast<void*>(at);
}

void releaseScratch(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
    if (!mappedSize(bytes)) {
        ::operator delete(p);
        return;
    }
    const BlockHeader header = *headerOf(p);
    if (header.arena != nullptr)
        header.arena->release(p);
    else
        munmap(reinterpret_cast<void*>(header.start), header.length);
}

#else

// Without mappings of their own every block comes from the ordinary
// allocator, and scopes change nothing.
ScratchScope::ScratchScope() : arena_(nullptr), outer_(nullptr) {}
ScratchScope::~ScratchScope() = default;
ScratchArena* currentScratchArena() noexcept { return nullptr; }
AdoptedScratchArena::AdoptedScratchArena(ScratchArena*) noexcept : outer_(nullptr) {}
AdoptedScratchArena::~AdoptedScratchArena() = default;

void* allocateScratch(std::size_t bytes) { return ::operator new(bytes); }
void releaseScratch(void* p, std::size_t) noexcept { ::operator delete(p); }

#endif

}  // namespace pcbinspect
