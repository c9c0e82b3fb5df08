// Argument checks of the exported functions.
//
// Every export checks its arguments once, here, and reports the first problem
// as one line in the last-error text. Internal routines trust what passed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "boundary/image_view.h"

namespace pcbinspect {

class ArgumentCheck {
public:
    explicit ArgumentCheck(const char* function) : function_(function) {}

    // True while no check has failed.
    bool ok() const { return ok_; }
    const char* function() const { return function_; }

    // A pointer the call needs.
    ArgumentCheck& notNull(const char* what, const void* pointer);
    // A count or size that must be at least `minimum`.
    ArgumentCheck& atLeast(const char* what, std::int64_t value, std::int64_t minimum);
    // An image group: pointer not null, width and height at least 1, stride at
    // least the width, and stride * height addressable. `bytesPerPixel` is 3
    // for colour rows.
    ArgumentCheck& image(const char* what, const void* pixels, int width, int stride, int height,
                         int bytesPerPixel = 1);

    // Reports a problem found by the caller's own test.
    ArgumentCheck& fail(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    const char* function_;
    bool ok_ = true;
};

// width * height as a size, or false when it does not fit the address space
// (with a margin for the `factor` bytes per pixel of a scratch buffer).
bool checkedArea(int width, int height, std::size_t factor, std::size_t& bytes);

template <class T>
ImageView<T> viewOf(T* pixels, int width, int stride, int height) {
    return ImageView<T>{pixels, width, stride, height};
}

}  // namespace pcbinspect
