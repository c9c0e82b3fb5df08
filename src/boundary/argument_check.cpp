#include "boundary/argument_check.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include "boundary/last_error.h"

namespace pcbinspect {

ArgumentCheck& ArgumentCheck::notNull(const char* what, const void* pointer) {
    if (ok_ && pointer == nullptr) fail("%s is null", what);
    return *this;
}

ArgumentCheck& ArgumentCheck::atLeast(const char* what, std::int64_t value, std::int64_t minimum) {
    if (ok_ && value < minimum)
        fail("%s %" PRId64 " is below %" PRId64, what, value, minimum);
    return *this;
}

ArgumentCheck& ArgumentCheck::image(const char* what, const void* pixels, int width, int stride,
                                    int height, int bytesPerPixel) {
    if (!ok_) return *this;
    if (pixels == nullptr) return fail("%s pixels are null", what);
    if (width < 1) return fail("%s width %d is below 1", what, width);
    if (height < 1) return fail("%s height %d is below 1", what, height);
    const std::int64_t rowBytes = static_cast<std::int64_t>(width) * bytesPerPixel;
    if (stride < rowBytes) {
        if (bytesPerPixel == 1) return fail("%s stride %d is below its width %d", what, stride, width);
        return fail("%s stride %d is below its row of %" PRId64 " bytes", what, stride, rowBytes);
    }
    // The last byte addressed is (height - 1) * stride + rowBytes - 1; with
    // 32-bit sizes this fits 64 bits, but not every address space.
    const std::uint64_t span =
        static_cast<std::uint64_t>(height - 1) * static_cast<std::uint64_t>(stride) +
        static_cast<std::uint64_t>(rowBytes);
    if (span > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()))
        return fail("%s of %d x %d with stride %d does not fit in memory", what, width, height,
                    stride);
    return *this;
}

ArgumentCheck& ArgumentCheck::fail(const char* format, ...) {
    if (!ok_) return *this;
    ok_ = false;
    char message[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    setLastError(function_, "%s", message);
    return *this;
}

bool checkedArea(int width, int height, std::size_t factor, std::size_t& bytes) {
    if (width < 0 || height < 0) return false;
    std::size_t area = 0;
    if (__builtin_mul_overflow(static_cast<std::size_t>(width), static_cast<std::size_t>(height),
                               &area))
        return false;
    if (__builtin_mul_overflow(area, factor, &bytes)) return false;
    return bytes <= static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
}

}  // namespace pcbinspect
