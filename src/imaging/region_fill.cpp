#include "imaging/region_fill.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "boundary/vector_lanes.h"

namespace pcbinspect {
namespace {

// The caller's stack of 16-bit pairs. It never overflows: a pixel is
// repainted when it is pushed, so at most width * height points are pushed.
struct FixedStack {
    std::int16_t* base;
    std::size_t top = 0;  // in values, two per point

    explicit FixedStack(std::int16_t* b) : base(b) {}
    bool empty() const { return top == 0; }
    void push(int x, int y) {
        base[top] = static_cast<std::int16_t>(x);
        base[top + 1] = static_cast<std::int16_t>(y);
        top += 2;
    }
    void pop(int& x, int& y) {
        top -= 2;
        x = base[top];
        y = base[top + 1];
    }
};

// A stack of 32-bit pairs that grows by half of its size whenever a push
// finds it full. It starts small (2048 points), so the many small regions of
// a whole-image scan cost little; how it grows has no effect on the fill.
class GrowingStack {
public:
    GrowingStack() : capacity_(4096), data_(new std::int32_t[capacity_]) {}
    bool empty() const { return top_ == 0; }
    void push(int x, int y) {
        if (top_ + 2 > capacity_) grow();
        data_[top_] = x;
        data_[top_ + 1] = y;
        top_ += 2;
    }
    void pop(int& x, int& y) {
        top_ -= 2;
        x = data_[top_];
        y = data_[top_ + 1];
    }

private:
    void grow() {
        const std::size_t bigger = capacity_ + capacity_ / 2;
        std::unique_ptr<std::int32_t[]> next(new std::int32_t[bigger]);
        std::memcpy(next.get(), data_.get(), top_ * sizeof(std::int32_t));
        data_ = std::move(next);
        capacity_ = bigger;
    }

    std::size_t capacity_;
    std::size_t top_ = 0;
    std::unique_ptr<std::int32_t[]> data_;
};

struct Box {
    int bottom, top, left, right;
    void include(int x, int y) {
        if (y > bottom) bottom = y;
        if (y < top) top = y;
        if (x < left) left = x;
        if (x > right) right = x;
    }
};

// The fill shared by every variant. `Narrow` computes the coordinates of
// border neighbours in 16 bits, as the 16-bit stack stores them.
template <bool Narrow, class Pixel, class Stack, class Count>
Count fillRegion(Stack& stack, Pixel* image, int width, std::ptrdiff_t stride, int height, int x,
                 int y, Pixel newValue, int* boxOut) {
    if (width < 1 || height < 1) return 0;
    Pixel* const seed = image + y * stride + x;
    const Pixel oldValue = *seed;
    if (oldValue == newValue) return 0;

    const bool wantBox = boxOut != nullptr;
    Box box{y, y, x, x};
    *seed = newValue;
    stack.push(x, y);
    Count count = 1;

    // Below, left, right, above.
    constexpr int kDx[4] = {0, -1, 1, 0};
    constexpr int kDy[4] = {1, 0, 0, -1};

    while (!stack.empty()) {
        int px, py;
        stack.pop(px, py);
        Pixel* const p = image + py * stride + px;
        if (px >= 1 && px < width - 1 && py >= 1 && py < height - 1) {
            const std::ptrdiff_t offset[4] = {stride, -1, 1, -stride};
            for (int k = 0; k < 4; ++k) {
                Pixel* const q = p + offset[k];
                if (*q != oldValue) continue;
                *q = newValue;
                const int nx = px + kDx[k], ny = py + kDy[k];
                stack.push(nx, ny);
                ++count;
                if (wantBox) box.include(nx, ny);
            }
        } else {
            for (int k = 0; k < 4; ++k) {
                int nx = px + kDx[k], ny = py + kDy[k];
                if constexpr (Narrow) {
                    nx = static_cast<std::int16_t>(nx);
                    ny = static_cast<std::int16_t>(ny);
                }
                if (nx < 0 || nx >= width || ny < 0 || ny >= height) continue;
                Pixel* const q = image + ny * stride + nx;
                if (*q != oldValue) continue;
                *q = newValue;
                stack.push(nx, ny);
                ++count;
                if (wantBox) box.include(nx, ny);
            }
        }
    }
    if (wantBox) {
        boxOut[0] = box.bottom;
        boxOut[1] = box.top;
        boxOut[2] = box.left;
        boxOut[3] = box.right;
    }
    return count;
}

// The last column of the run of `old` that starts at column x of a row of
// `width` pixels (row[x] itself holds old).
int runEnd(const std::uint8_t* row, int x, int width, std::uint8_t old) {
#ifdef __SSE2__
    while (x + 17 <= width) {
        const unsigned other = ~bytesEqual16(row + x + 1, old) & 0xFFFFu;
        if (other != 0) return x + __builtin_ctz(other);
        x += 16;
    }
#endif
    while (x + 1 < width && row[x + 1] == old) ++x;
    return x;
}

// The first column of the run of `old` that ends at column x.
int runStart(const std::uint8_t* row, int x, std::uint8_t old) {
#ifdef __SSE2__
    while (x >= 16) {
        const unsigned other = ~bytesEqual16(row + x - 16, old) & 0xFFFFu;
        if (other != 0) return x - 16 + (31 - __builtin_clz(other)) + 1;
        x -= 16;
    }
#endif
    while (x > 0 && row[x - 1] == old) --x;
    return x;
}

// The same region, count and box by row spans. A listed pixel is repainted
// as it is listed, so no pixel is listed twice and the stack holds at most
// one point per pixel of the region, as in the fill above. A listed pixel
// claims the run of the old value around it in its row; each run of the old
// value above and below that span gets one listed pixel.
template <class Pixel, class Stack, class Count>
Count spanFillRegion(Stack& stack, Pixel* image, int width, std::ptrdiff_t stride, int height,
                     int x, int y, Pixel newValue, int* boxOut) {
    if (width < 1 || height < 1) return 0;
    Pixel* const seed = image + y * stride + x;
    const Pixel oldValue = *seed;
    if (oldValue == newValue) return 0;
    Box box{y, y, x, x};
    *seed = newValue;
    stack.push(x, y);
    Count count = 1;
    while (!stack.empty()) {
        int px, py;
        stack.pop(px, py);
        Pixel* const row = image + py * stride;
        int left = px, right = px;
        if constexpr (sizeof(Pixel) == 1) {
            if (left > 0 && row[left - 1] == oldValue) left = runStart(row, left - 1, oldValue);
            if (right < width - 1 && row[right + 1] == oldValue)
                right = runEnd(row, right + 1, width, oldValue);
            std::memset(row + left, newValue, static_cast<std::size_t>(px - left));
            std::memset(row + px + 1, newValue, static_cast<std::size_t>(right - px));
        } else {
            while (left > 0 && row[left - 1] == oldValue) row[--left] = newValue;
            while (right < width - 1 && row[right + 1] == oldValue) row[++right] = newValue;
        }
        count += static_cast<Count>(right - left);
        box.include(left, py);
        box.include(right, py);
        for (const int ny : {py + 1, py - 1}) {
            if (ny < 0 || ny >= height) continue;
            Pixel* const next = image + ny * stride;
            bool inRun = false;
            int i = left;
#ifdef __SSE2__
            if constexpr (sizeof(Pixel) == 1) {
                // Sixteen columns at a time, the run starts read before any
                // of them is repainted.
                for (; i + 16 <= right + 1; i += 16) {
                    const unsigned equal = bytesEqual16(next + i, oldValue);
                    unsigned starts = equal & ~((equal << 1) | (inRun ? 1u : 0u)) & 0xFFFFu;
                    inRun = (equal >> 15) != 0;
                    for (; starts != 0; starts &= starts - 1) {
                        const int at = i + __builtin_ctz(starts);
                        next[at] = newValue;
                        stack.push(at, ny);
                        ++count;
                    }
                }
            }
#endif
            for (; i <= right; ++i) {
                if (next[i] != oldValue) {
                    inRun = false;
                    continue;
                }
                if (inRun) continue;
                inRun = true;
                next[i] = newValue;
                stack.push(i, ny);
                ++count;
            }
        }
    }
    if (boxOut != nullptr) {
        boxOut[0] = box.bottom;
        boxOut[1] = box.top;
        boxOut[2] = box.left;
        boxOut[3] = box.right;
    }
    return count;
}

// The 16-bit stack's fill: by spans where every coordinate fits its 16 bits;
// beyond that, point by point with the coordinates kept to 16 bits.
template <class Pixel>
int fillFixed(std::int16_t* stack, Pixel* image, int width, int stride, int height, int x, int y,
              std::uint32_t newValue, int* box) {
    FixedStack s(stack);
    if (width <= 32767 && height <= 32767)
        return spanFillRegion<Pixel, FixedStack, int>(s, image, width, stride, height, x, y,
                                                      static_cast<Pixel>(newValue), box);
    return fillRegion<true, Pixel, FixedStack, int>(s, image, width, stride, height, x, y,
                                                    static_cast<Pixel>(newValue), box);
}

}  // namespace

int RegionFill(std::int16_t* stack, std::uint8_t* image, int width, int stride, int height, int x,
               int y, std::uint32_t newValue, int* box) {
    return fillFixed(stack, image, width, stride, height, x, y, newValue, box);
}

int RegionFill16(std::int16_t* stack, std::uint16_t* image, int width, int stride, int height,
                 int x, int y, std::uint32_t newValue, int* box) {
    return fillFixed(stack, image, width, stride, height, x, y, newValue, box);
}

namespace {

template <class Pixel>
std::int64_t fillLarge(Pixel* image, int width, int stride, int height, int x, int y,
                       std::uint32_t newValue, int* box) {
    if (width < 1 || height < 1) return 0;
    if (image[static_cast<std::ptrdiff_t>(y) * stride + x] == static_cast<Pixel>(newValue))
        return 0;  // no stack for a fill that does nothing
    GrowingStack s;
    return spanFillRegion<Pixel, GrowingStack, std::int64_t>(s, image, width, stride, height, x,
                                                             y, static_cast<Pixel>(newValue), box);
}

}  // namespace

std::int64_t RegionFillLarge(std::uint8_t* image, int width, int stride, int height, int x, int y,
                             std::uint32_t newValue, int* box) {
    return fillLarge(image, width, stride, height, x, y, newValue, box);
}

std::int64_t RegionFillLarge16(std::uint16_t* image, int width, int stride, int height, int x,
                               int y, std::uint32_t newValue, int* box) {
    return fillLarge(image, width, stride, height, x, y, newValue, box);
}

namespace {

// The caller's work list as a fill stack of (x, y) pairs.
struct ListStack {
    std::vector<std::int32_t>& list;
    bool empty() const { return list.empty(); }
    void push(int x, int y) {
        list.push_back(x);
        list.push_back(y);
    }
    void pop(int& x, int& y) {
        y = list.back();
        list.pop_back();
        x = list.back();
        list.pop_back();
    }
};

}  // namespace

std::int64_t SpanFill(std::vector<std::int32_t>& stack, std::uint8_t* image, int width,
                      int stride, int height, int x, int y, std::uint8_t newValue) {
    stack.clear();
    ListStack s{stack};
    return spanFillRegion<std::uint8_t, ListStack, std::int64_t>(s, image, width, stride, height,
                                                                 x, y, newValue, nullptr);
}

}  // namespace pcbinspect
