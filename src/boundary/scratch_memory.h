// Memory for a call's large scratch images. A call that works on whole
// images allocates several of them afresh and touches every page; where the
// system maps fresh memory a 4 KiB page at a time, those page faults can
// cost as much as the work itself. On Linux, blocks of 256 KiB and more are
// mapped on their own, aligned to 2 MiB, and offered to transparent huge
// pages, so that touching them faults once per 2 MiB where the system grants
// them. Elsewhere, and below that size, the ordinary allocator serves. The
// memory is returned when the image goes, so nothing outlives the call.
//
// Within a ScratchScope (every export runs in one), blocks of up to 16 MiB
// are packed into shared mappings instead: several images then share the
// huge pages that are faulted in, and a block released during the call
// serves a later request of the call without being faulted in again. The
// scope's mappings go when it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace pcbinspect {

// `bytes` of memory for scratch (throws std::bad_alloc); release with the
// same size.
void* allocateScratch(std::size_t bytes);
void releaseScratch(void* p, std::size_t bytes) noexcept;

class ScratchArena;

// The blocks of one call: while a scope lives on a thread, the scratch
// blocks allocated on that thread, and by the workers helping its parallel
// loops, come from its mappings. No block allocated under a scope may
// outlive it. Scopes nest; the innermost serves.
class ScratchScope {
public:
    ScratchScope();
    ~ScratchScope();
    ScratchScope(const ScratchScope&) = delete;
    ScratchScope& operator=(const ScratchScope&) = delete;

private:
    ScratchArena* arena_;
    ScratchArena* outer_;
};

// The blocks the calling thread allocates from (null: mappings of their own
// or the ordinary allocator); a worker adopts the one of the call it helps
// for as long as an AdoptedScratchArena lives.
ScratchArena* currentScratchArena() noexcept;
class AdoptedScratchArena {
public:
    explicit AdoptedScratchArena(ScratchArena* arena) noexcept;
    ~AdoptedScratchArena();
    AdoptedScratchArena(const AdoptedScratchArena&) = delete;
    AdoptedScratchArena& operator=(const AdoptedScratchArena&) = delete;

private:
    ScratchArena* outer_;
};

template <class T>
struct ScratchAllocator {
    using value_type = T;
    ScratchAllocator() = default;
    template <class U>
    ScratchAllocator(const ScratchAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocateScratch(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { releaseScratch(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const ScratchAllocator<U>&) const noexcept {
        return true;
    }
};

// A scratch image's pixels.
using ScratchImage = std::vector<std::uint8_t, ScratchAllocator<std::uint8_t>>;

// n elements of a trivial type, left uninitialised, for planes that are
// written before they are read.
template <class T>
class ScratchArray {
public:
    ScratchArray() = default;
    explicit ScratchArray(std::size_t n) : n_(n), data_(ScratchAllocator<T>().allocate(n)) {}
    ScratchArray(ScratchArray&& other) noexcept : n_(other.n_), data_(other.data_) {
        other.n_ = 0;
        other.data_ = nullptr;
    }
    ScratchArray& operator=(ScratchArray&& other) noexcept {
        if (this != &other) {
            release();
            n_ = other.n_;
            data_ = other.data_;
            other.n_ = 0;
            other.data_ = nullptr;
        }
        return *this;
    }
    ~ScratchArray() { release(); }
    T* get() const { return data_; }
    std::size_t size() const { return n_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    void release() {
        if (data_ != nullptr) ScratchAllocator<T>().deallocate(data_, n_);
    }

    std::size_t n_ = 0;
    T* data_ = nullptr;
};

}  // namespace pcbinspect
