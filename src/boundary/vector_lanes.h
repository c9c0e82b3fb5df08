// Where code may use AVX2 beyond the baseline x86-64 build, chosen at run
// time: PCBINSPECT_AVX2 guards hand-written AVX2 loops (each checks
// __builtin_cpu_supports("avx2") before it runs), PCBINSPECT_AVX2_CLONES marks
// a loop function of which the compiler builds an AVX2 copy as well, picked
// when the library is loaded. Both keep the arithmetic of the scalar code:
// integer operations, or single-precision operations in the same order
// (-ffp-contract=off holds in every copy), so every copy gives the same
// bytes. Not on Windows, where GCC does not keep the stack aligned for
// 32-byte vectors; clones only with GCC, which builds them for functions of
// any linkage, and not under ThreadSanitizer, whose runtime is not ready when
// the loader picks a copy.
#pragma once

#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define PCBINSPECT_AVX2 1
#endif

#if defined(__x86_64__) && !defined(_WIN32) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__)
#define PCBINSPECT_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define PCBINSPECT_AVX2_CLONES
#endif

#ifdef __SSE2__
#include <emmintrin.h>

#include <cstdint>

namespace pcbinspect {

// Bit i set where byte i of the sixteen from p holds `value`: scans pass
// over groups with none (0) or with all (0xFFFF) of them.
inline unsigned bytesEqual16(const std::uint8_t* p, std::uint8_t value) {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi8(static_cast<char>(value)))));
}

// Bit i set where byte i of the sixteen from p is above `value`.
inline unsigned bytesAbove16(const std::uint8_t* p, std::uint8_t value) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i atMost = _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(static_cast<char>(value))),
                                          _mm_setzero_si128());
    return static_cast<unsigned>(_mm_movemask_epi8(atMost)) ^ 0xFFFFu;
}

}  // namespace pcbinspect
#endif
