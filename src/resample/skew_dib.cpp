#include "resample/skew_dib.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "boundary/parallel.h"
#include "boundary/vector_lanes.h"
#include "gpu/cuda_env.h"
#include "gpu/device_runtime.h"
#include "gpu/launch_shape.h"
#include "gpu/resample_pixels.h"
#include "pcbinspect/exports.h"

namespace pcbinspect {
namespace {

std::size_t dibSpan(int width, int stride, int height) {
    return static_cast<std::size_t>(height - 1) * static_cast<std::size_t>(stride) +
           static_cast<std::size_t>(width) * 3;
}

// Pixels of an output row handled together.
constexpr int kChunk = 256;

#ifdef PCBINSPECT_AVX2
// Eight columns at a time with AVX2, each lane doing what skewDibPixel does
// in the same order and precision: the single-precision sample row, the
// upper sample weighted in double, the lower one's product with the
// fraction in single, the sum truncated and clamped. A pixel's three bytes
// come from a gather of four, taken one byte early (inside the row) from the
// second column on; a lane whose row pair lies outside the source reads
// nothing and leaves its pixel as it was. Returns the first column left to
// the scalar loop.
bool avx2Shear(const SkewDibArgs& a) {
    return a.width >= 8 && static_cast<long long>(a.height) * a.srcStride <= INT_MAX - 8 &&
           __builtin_cpu_supports("avx2");
}

// One channel of eight lanes: trunc(upper (1 - f) + (double)(lower f)),
// clamped to bytes in the low eight bytes.
__attribute__((target("avx2"))) inline __m128i shearChannel(__m256i upper, __m256i lower, __m256 f) {
    const __m256 lowerF = _mm256_mul_ps(_mm256_cvtepi32_ps(lower), f);
    const __m256d one = _mm256_set1_pd(1.0);
    __m128i half[2];
    for (int h = 0; h < 2; ++h) {
        const __m128i u = h == 0 ? _mm256_castsi256_si128(upper) : _mm256_extracti128_si256(upper, 1);
        const __m128 fh = h == 0 ? _mm256_castps256_ps128(f) : _mm256_extractf128_ps(f, 1);
        const __m128 lh = h == 0 ? _mm256_castps256_ps128(lowerF) : _mm256_extractf128_ps(lowerF, 1);
        const __m256d v = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(u), _mm256_sub_pd(one, _mm256_cvtps_pd(fh))),
                                        _mm256_cvtps_pd(lh));
        half[h] = _mm256_cvttpd_epi32(v);
    }
    const __m128i words = _mm_packs_epi32(half[0], half[1]);
    return _mm_packus_epi16(words, words);
}

// The three bytes of each of the eight pixels at p, one pixel a lane, in its
// low three bytes.
__attribute__((target("avx2"))) inline __m256i pixelLanes(const std::uint8_t* p) {
    const __m256i bytes = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 8),
                                              reinterpret_cast<const __m128i*>(p));
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                            4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1);
    return _mm256_shuffle_epi8(bytes, spread);
}

// Stores eight pixels from their channels' bytes (the low eight of each).
__attribute__((target("avx2"))) inline void storePixels(std::uint8_t* out, const std::uint8_t (*value)[16]) {
    const __m128i firstTwo = _mm_unpacklo_epi64(_mm_load_si128(reinterpret_cast<const __m128i*>(value[0])),
                                                _mm_load_si128(reinterpret_cast<const __m128i*>(value[1])));
    const __m128i third = _mm_load_si128(reinterpret_cast<const __m128i*>(value[2]));
    const __m128i head = _mm_or_si128(
        _mm_shuffle_epi8(firstTwo, _mm_setr_epi8(0, 8, -1, 1, 9, -1, 2, 10, -1, 3, 11, -1, 4, 12, -1, 5)),
        _mm_shuffle_epi8(third, _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1)));
    const __m128i rest = _mm_or_si128(
        _mm_shuffle_epi8(firstTwo, _mm_setr_epi8(13, -1, 6, 14, -1, 7, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1)),
        _mm_shuffle_epi8(third, _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), head);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), rest);
}

__attribute__((target("avx2"))) int shearRowAvx2(const SkewDibArgs& a, int r, std::uint8_t* out) {
    const __m256 row = _mm256_set1_ps(static_cast<float>(a.firstRow + r));
    const __m256 k = _mm256_set1_ps(a.k);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i stride = _mm256_set1_epi32(a.srcStride);
    const __m256i byte = _mm256_set1_epi32(0xFF);
    int x = 0;
    for (; x + 8 <= a.width; x += 8) {
        const __m256i column = _mm256_add_epi32(_mm256_set1_epi32(x), lanes);
        const __m256 sy = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(column), k), row);
        const __m256i iy = _mm256_cvttps_epi32(sy);
        const __m256i inside = _mm256_and_si256(_mm256_cmpgt_epi32(iy, _mm256_set1_epi32(-1)),
                                                _mm256_cmpgt_epi32(_mm256_set1_epi32(a.height - 1), iy));
        if (_mm256_testz_si256(inside, inside)) continue;
        const __m256 f = _mm256_sub_ps(sy, _mm256_cvtepi32_ps(iy));
        // The sample row changes every 1 / |k| columns, so the eight lanes
        // mostly share one row pair: then plain loads replace the gathers.
        const int iy0 = _mm256_cvtsi256_si32(iy);
        const __m256i same = _mm256_and_si256(_mm256_cmpeq_epi32(iy, _mm256_set1_epi32(iy0)), inside);
        const bool allInside = _mm256_movemask_ps(_mm256_castsi256_ps(inside)) == 0xFF;
        __m256i up, down;
        if (_mm256_movemask_ps(_mm256_castsi256_ps(same)) == 0xFF) {
            const std::uint8_t* p = a.src + static_cast<std::ptrdiff_t>(iy0) * a.srcStride + 3 * x;
            up = pixelLanes(p);
            down = pixelLanes(p + a.srcStride);
        } else {
            const __m256i back =
                _mm256_and_si256(_mm256_cmpgt_epi32(column, _mm256_setzero_si256()), _mm256_set1_epi32(1));
            const __m256i offset = _mm256_sub_epi32(
                _mm256_add_epi32(_mm256_mullo_epi32(iy, stride), _mm256_mullo_epi32(column, _mm256_set1_epi32(3))),
                back);
            const __m256i shift = _mm256_slli_epi32(back, 3);
            const int* base = reinterpret_cast<const int*>(a.src);
            up = _mm256_srlv_epi32(_mm256_mask_i32gather_epi32(_mm256_setzero_si256(), base, offset, inside, 1),
                                   shift);
            down = _mm256_srlv_epi32(
                _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), base, _mm256_add_epi32(offset, stride), inside, 1),
                shift);
        }
        alignas(16) std::uint8_t value[3][16];
        alignas(32) int use[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(value[0]),
                        shearChannel(_mm256_and_si256(up, byte), _mm256_and_si256(down, byte), f));
        _mm_store_si128(reinterpret_cast<__m128i*>(value[1]),
                        shearChannel(_mm256_and_si256(_mm256_srli_epi32(up, 8), byte),
                                     _mm256_and_si256(_mm256_srli_epi32(down, 8), byte), f));
        _mm_store_si128(reinterpret_cast<__m128i*>(value[2]),
                        shearChannel(_mm256_and_si256(_mm256_srli_epi32(up, 16), byte),
                                     _mm256_and_si256(_mm256_srli_epi32(down, 16), byte), f));
        if (allInside) {
            storePixels(out + 3 * x, value);
            continue;
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(use), inside);
        for (int t = 0; t < 8; ++t) {
            if (use[t] == 0) continue;
            std::uint8_t* p = out + 3 * (x + t);
            p[0] = value[0][t];
            p[1] = value[1][t];
            p[2] = value[2][t];
        }
    }
    return x;
}
#endif

// Output row r of the shear into `out`, byte for byte the values of
// skewDibPixel: sample rows and fractions first, then the source bytes (the
// only part that cannot run in vector lanes), then the mix of every channel,
// each a loop over the chunk. Pixels without a sample keep their value.
void shearRow(const SkewDibArgs& a, int r, std::uint8_t* out) {
    int first = 0;
#ifdef PCBINSPECT_AVX2
    if (avx2Shear(a)) first = shearRowAvx2(a, r, out);
#endif
    float sy[kChunk], f3[3 * kChunk];
    std::uint8_t upper[3 * kChunk], lower[3 * kChunk], value[3 * kChunk];
    bool ok[kChunk];
    const float row = static_cast<float>(a.firstRow + r);
    for (int x0 = first; x0 < a.width; x0 += kChunk) {
        const int n = std::min(kChunk, a.width - x0);
        for (int t = 0; t < n; ++t) sy[t] = static_cast<float>(x0 + t) * a.k + row;
        for (int t = 0; t < n; ++t) {
            const int iy = truncToInt(sy[t]);
            ok[t] = iy >= 0 && iy < a.height - 1;
            const float f = ok[t] ? sy[t] - static_cast<float>(iy) : 0.0f;
            const std::uint8_t* p0 =
                a.src + static_cast<std::ptrdiff_t>(ok[t] ? iy : 0) * a.srcStride + 3 * (x0 + t);
            const std::uint8_t* p1 = ok[t] ? p0 + a.srcStride : p0;
            for (int ch = 0; ch < 3; ++ch) {
                upper[3 * t + ch] = p0[ch];
                lower[3 * t + ch] = p1[ch];
                f3[3 * t + ch] = f;
            }
        }
        for (int i = 0; i < 3 * n; ++i) value[i] = skewMix(upper[i], lower[i], f3[i]);
        for (int t = 0; t < n; ++t)
            if (ok[t]) std::memcpy(out + 3 * (x0 + t), value + 3 * t, 3);
    }
}

}  // namespace

bool shearDibOnDevice(const std::uint8_t* src, int width, int srcStride, int height,
                      std::uint8_t* dst, int dstStride, int dstHeight, float k) {
    CudaEnv* env = getCudaEnv();
    if (!cudaEnvCreated(env)) return false;
    LaunchShape shape;
    if (!launchShape(cudaEnvMaxThreadsPerBlock(env), width, dstHeight, shape)) return false;
    const std::size_t srcBytes = dibSpan(width, srcStride, height);
    const std::size_t dstBytes = dibSpan(width, dstStride, dstHeight);
    DeviceSlots slots(env);
    auto* deviceSrc = static_cast<std::uint8_t*>(slots.take(srcBytes));
    auto* deviceDst = static_cast<std::uint8_t*>(slots.take(dstBytes));
    if (deviceSrc == nullptr || deviceDst == nullptr) return false;
    DeviceRuntime& rt = deviceRuntime();
    if (rt.copyToDevice(deviceSrc, src, srcBytes) != kDeviceSuccess) return false;
    // The result starts as the destination, so pixels the shear does not
    // write come back as they were, as on the CPU.
    if (rt.copyToDevice(deviceDst, dst, dstBytes) != kDeviceSuccess) return false;
    const SkewDibArgs args{deviceSrc, width, srcStride, height, 0, deviceDst, dstStride,
                           dstHeight, k};
    if (rt.skewDib(shape, args) != kDeviceSuccess) return false;
    // Every byte that comes down is either unchanged or the value the CPU
    // would write, so even a copy that stops midway leaves dst fit for the
    // CPU path.
    return rt.copyToHost(dst, deviceDst, dstBytes) == kDeviceSuccess;
}

void shearDibVertical(const std::uint8_t* src, int width, int srcStride, int height,
                      std::uint8_t* dst, int dstWidth, int dstStride, int dstHeight, float skew,
                      bool onDevice) {
    if (width < 1 || height < 1 || dstWidth < 1 || dstHeight < 1) return;
    if (std::fabs(skew) < 0.1f) {
        const int rows = std::min(height, dstHeight);
        const std::size_t rowBytes = static_cast<std::size_t>(std::min(width, dstWidth)) * 3;
        for (int r = 0; r < rows; ++r)
            std::memcpy(dst + static_cast<std::ptrdiff_t>(r) * dstStride,
                        src + static_cast<std::ptrdiff_t>(r) * srcStride, rowBytes);
        return;
    }
    const int columns = std::min(width, dstWidth);
    const float k = -(skew / static_cast<float>(width));
    if (onDevice && columns == width &&
        shearDibOnDevice(src, width, srcStride, height, dst, dstStride, dstHeight, k))
        return;
    const SkewDibArgs args{src, columns, srcStride, height, 0, dst, dstStride, dstHeight, k};
    // Rows in bands over the worker threads; each output row is independent.
    parallelRows(dstHeight, 32, [&args](int first, int end) {
        // A copy of the arguments the byte stores cannot alias.
        const SkewDibArgs a = args;
        for (int r = first; r < end; ++r) shearRow(a, r, a.dst + static_cast<std::ptrdiff_t>(r) * a.dstStride);
    });
}

namespace {

// The shear of skewDIB in place on the CPU, with a few rows of scratch per
// band of rows instead of a copy of the image. Output row r lands on row
// r - up, and reads source rows r - up - 2 .. r + down + 2 only. Within a
// band the output rows are made in order and each is written three rows
// later, when no later row of the band reads the row it replaces. The rows
// near a band's ends read rows other bands replace, so every band makes
// those first, before any row is written.
void shearInPlace(std::uint8_t* pixels, int width, int stride, int height, int skew) {
    const int up = std::max(skew, 0), down = std::max(-skew, 0);
    const int head = 2, tail = up + down + 3;
    constexpr int kDelay = 3;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    const SkewDibArgs args{pixels, width, stride, height, 0, nullptr, stride, height,
                           -(static_cast<float>(skew) / static_cast<float>(width))};
    // Output rows up .. height - 1; those above fall off the top, and the
    // last `up` rows of the picture keep their content.
    const int rows = height - up;
    const int bands = std::max(1, std::min(threadBudget(), rows / std::max(64, 4 * (head + tail))));
    const auto bandStart = [&](int b) {
        return up + static_cast<int>(static_cast<long long>(rows) * b / bands);
    };
    const int edgeRows = std::min(head + tail, rows / bands + 1);
    std::unique_ptr<std::uint8_t[]> edges(
        new std::uint8_t[static_cast<std::size_t>(bands) * edgeRows * rowBytes]);
    std::unique_ptr<std::uint8_t[]> rings(
        new std::uint8_t[static_cast<std::size_t>(bands) * (kDelay + 1) * rowBytes]);
    // Where band b keeps output row r when it is made early; null otherwise.
    const auto early = [&](int b, int r) -> std::uint8_t* {
        const int first = bandStart(b), end = bandStart(b + 1);
        const int n = std::min(end - first, head + tail);
        int slot = -1;
        if (r < first + head) {
            slot = r - first;
        } else if (r >= end - tail) {
            slot = n - (end - r);
        }
        return slot < 0 ? nullptr : edges.get() + (static_cast<std::size_t>(b) * edgeRows + slot) * rowBytes;
    };
    // Output row r into `out`, which starts as the row it will replace.
    const auto make = [&](int r, std::uint8_t* out) {
        std::memcpy(out, pixels + static_cast<std::ptrdiff_t>(r - up) * stride, rowBytes);
        shearRow(args, r, out);
    };
    parallelFor(bands, bands, [&](int, int b) {
        for (int r = bandStart(b); r < bandStart(b + 1); ++r)
            if (std::uint8_t* out = early(b, r)) make(r, out);
    });
    parallelFor(bands, bands, [&](int, int b) {
        const int first = bandStart(b), end = bandStart(b + 1);
        std::uint8_t* const ring = rings.get() + static_cast<std::size_t>(b) * (kDelay + 1) * rowBytes;
        std::uint8_t* made[kDelay + 1] = {};
        const auto put = [&](int r) {
            std::memcpy(pixels + static_cast<std::ptrdiff_t>(r - up) * stride, made[r % (kDelay + 1)], rowBytes);
        };
        for (int r = first; r < end; ++r) {
            std::uint8_t*& out = made[r % (kDelay + 1)];
            out = early(b, r);
            if (out == nullptr) {
                out = ring + static_cast<std::size_t>(r % (kDelay + 1)) * rowBytes;
                make(r, out);
            }
            if (r - kDelay >= first) put(r - kDelay);
        }
        for (int r = std::max(first, end - kDelay); r < end; ++r) put(r);
    });
}

}  // namespace

void skewDibInPlace(std::uint8_t* pixels, int width, int stride, int height, int skew,
                    bool onDevice) {
    if (!onDevice) {
        shearInPlace(pixels, width, stride, height, skew);
        return;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    // A positive skew moves the picture up by `skew` rows when the result is
    // copied back. Scratch row r starts as the caller's row r - up, the row
    // it will land on, so a pixel the shear does not write keeps its
    // previous value.
    const int up = skew > 0 ? skew : 0;
    std::vector<std::uint8_t> scratch(dibSpan(width, stride, height));
    for (int r = 0; r < height; ++r) {
        std::uint8_t* row = scratch.data() + static_cast<std::size_t>(r) * stride;
        if (r - up >= 0) {
            std::memcpy(row, pixels + static_cast<std::ptrdiff_t>(r - up) * stride, rowBytes);
        } else {
            std::memset(row, 0, rowBytes);  // never copied back
        }
    }
    shearDibVertical(pixels, width, stride, height, scratch.data(), width, stride, height,
                     static_cast<float>(skew), onDevice);
    // Rows 0 .. up - 1 of the scratch fall off the top; the caller's last
    // `up` rows keep their content.
    for (int r = up; r < height; ++r)
        std::memcpy(pixels + static_cast<std::ptrdiff_t>(r - up) * stride,
                    scratch.data() + static_cast<std::size_t>(r) * stride, rowBytes);
}

}  // namespace pcbinspect

extern "C" PCBINSPECT_API void skewDIB(std::uint8_t* pixels, std::int32_t width,
                                       std::int32_t stride, std::int32_t height,
                                       std::int32_t skew, bool useGpu) {
    using namespace pcbinspect;
    guardedExport("skewDIB", [&] {
        if (skew == 0) return;  // nothing to correct; the device is not set up
        const bool onDevice = ensureCudaDevice(useGpu);
        ArgumentCheck check("skewDIB");
        check.image("image", pixels, width, stride, height, 3);
        if (check.ok() && std::llabs(static_cast<long long>(skew)) >= height)
            check.fail("skew %d does not stay below the height %d", skew, height);
        if (!check.ok()) return;
        skewDibInPlace(pixels, width, stride, height, skew, onDevice);
    });
}
