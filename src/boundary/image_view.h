// Small non-owning views of caller images: pointer, width, stride, height.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pcbinspect {

// A 2-D image of T with rows `stride` elements apart. Row offsets are
// computed in pointer-sized arithmetic so that images of any checked size
// address correctly.
template <class T>
struct ImageView {
    T* data = nullptr;
    int width = 0;
    int stride = 0;
    int height = 0;

    T* row(int y) const { return data + static_cast<std::ptrdiff_t>(y) * stride; }
    T& at(int x, int y) const { return row(y)[x]; }
    bool contains(int x, int y) const { return x >= 0 && y >= 0 && x < width && y < height; }
    bool empty() const { return width < 1 || height < 1; }
};

// Whether the rows of two images share a byte.
template <class A, class B>
bool sharesBytes(const ImageView<A>& a, const ImageView<B>& b) {
    const auto first = [](const auto& v) { return reinterpret_cast<std::uintptr_t>(v.data); };
    const auto end = [](const auto& v) {
        return reinterpret_cast<std::uintptr_t>(v.data) +
               (static_cast<std::uintptr_t>(v.height) - 1) * static_cast<std::uintptr_t>(v.stride) *
                   sizeof(*v.data) +
               static_cast<std::uintptr_t>(v.width) * sizeof(*v.data);
    };
    return first(a) < end(b) && first(b) < end(a);
}

using GrayView = ImageView<std::uint8_t>;
using ConstGrayView = ImageView<const std::uint8_t>;
using Gray16View = ImageView<std::uint16_t>;

}  // namespace pcbinspect
