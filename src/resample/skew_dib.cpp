#include "resample/skew_dib.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "boundary/parallel.h"
#include "gpu/cuda_env.h"
#include "gpu/device_runtime.h"
#include "gpu/launch_shape.h"
#include "gpu/resample_pixels.h"
#include "pcbinspect/exports.h"

// Row loops with AVX2 lanes, chosen at run time where the processor has them.
// Not on Windows, where GCC does not keep the stack aligned for 32-byte
// vectors.
#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define PCBINSPECT_AVX2_ROWS 1
#endif

namespace pcbinspect {
namespace {

std::size_t dibSpan(int width, int stride, int height) {
    return static_cast<std::size_t>(height - 1) * static_cast<std::size_t>(stride) +
           static_cast<std::size_t>(width) * 3;
}

// Pixels of an output row handled together.
constexpr int kChunk = 256;

#ifdef PCBINSPECT_AVX2_ROWS
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

__attribute__((target("avx2"))) int shearRowAvx2(const SkewDibArgs& a, int r) {
    std::uint8_t* out = a.dst + static_cast<std::ptrdiff_t>(r) * a.dstStride;
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
        const __m256i back = _mm256_and_si256(_mm256_cmpgt_epi32(column, _mm256_setzero_si256()), _mm256_set1_epi32(1));
        const __m256i offset = _mm256_sub_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(iy, stride), _mm256_mullo_epi32(column, _mm256_set1_epi32(3))), back);
        const __m256i shift = _mm256_slli_epi32(back, 3);
        const int* base = reinterpret_cast<const int*>(a.src);
        const __m256i up = _mm256_srlv_epi32(
            _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), base, offset, inside, 1), shift);
        const __m256i down = _mm256_srlv_epi32(
            _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), base, _mm256_add_epi32(offset, stride), inside, 1),
            shift);
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

// Output row r of the shear from column `first` on, byte for byte the
// values of skewDibPixel: sample rows and fractions first, then the source
// bytes (the only part that cannot run in vector lanes), then the mix of
// every channel, each a loop over the chunk.
void shearRow(const SkewDibArgs& a, int r) {
    int first = 0;
#ifdef PCBINSPECT_AVX2_ROWS
    if (avx2Shear(a)) first = shearRowAvx2(a, r);
#endif
    float sy[kChunk], f3[3 * kChunk];
    std::uint8_t upper[3 * kChunk], lower[3 * kChunk], value[3 * kChunk];
    bool ok[kChunk];
    std::uint8_t* out = a.dst + static_cast<std::ptrdiff_t>(r) * a.dstStride;
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
        for (int r = first; r < end; ++r) shearRow(a, r);
    });
}

void skewDibInPlace(std::uint8_t* pixels, int width, int stride, int height, int skew,
                    bool onDevice) {
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
