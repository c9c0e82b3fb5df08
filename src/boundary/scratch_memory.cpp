#include "boundary/scratch_memory.h"

#include <cstdint>
#include <new>

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
namespace {

#if PCBINSPECT_SCRATCH_MAPPINGS
constexpr std::size_t kOwnMapping = 256 * 1024;  // smallest block mapped on its own
constexpr std::size_t kHugePage = 2 * 1024 * 1024;
constexpr std::size_t kColours = 64, kLine = 64;  // block starts spread over a 4 KiB page

// A block's mapping: its bytes and room to start up to a page further in.
std::size_t mappedLength(std::size_t bytes) {
    return (bytes + kColours * kLine + kHugePage - 1) / kHugePage * kHugePage;
}
#endif

}  // namespace

void* allocateScratch(std::size_t bytes) {
#if PCBINSPECT_SCRATCH_MAPPINGS
    if (bytes >= kOwnMapping && bytes <= static_cast<std::size_t>(-1) / 2) {
        // Map one huge page more than needed and trim the ends so that the
        // mapping starts on a 2 MiB boundary.
        const std::size_t length = mappedLength(bytes);
        void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        const auto start = reinterpret_cast<std::uintptr_t>(raw);
        const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
        if (aligned > start) munmap(raw, aligned - start);
        const std::uintptr_t end = start + length + kHugePage;
        if (end > aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
        // Only a request: without transparent huge pages the block is mapped
        // as ordinary pages.
        madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
        // Blocks that all started on 2 MiB boundaries would put the same
        // pixel of two images in the same cache set; the mapping's place
        // picks a different cache line to start from for each block.
        const std::uintptr_t colour = (aligned / kHugePage) % kColours;
        return reinterpret_cast<void*>(aligned + colour * kLine);
    }
#endif
    return ::operator new(bytes);
}

void releaseScratch(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
#if PCBINSPECT_SCRATCH_MAPPINGS
    if (bytes >= kOwnMapping && bytes <= static_cast<std::size_t>(-1) / 2) {
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(p) / kHugePage * kHugePage;
        munmap(reinterpret_cast<void*>(start), mappedLength(bytes));
        return;
    }
#endif
    ::operator delete(p);
}

}  // namespace pcbinspect
