// Reads the values of a fuzz case from its bytes: geometry first, then
// contents. Reads past the end give zeros, so every input is a valid case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace pcbinspect::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) | (static_cast<std::uint32_t>(u16()) << 16); }
    bool flag() { return (byte() & 1) != 0; }
    // An int in lo..hi (inclusive).
    int range(int lo, int hi) {
        const std::uint32_t span = static_cast<std::uint32_t>(hi - lo) + 1;
        return lo + static_cast<int>(u32() % span);
    }
    // Any float bit pattern now and then (NaN, infinities, huge), else a
    // value in lo..hi.
    float real(float lo, float hi) {
        if ((byte() & 15) == 0) {
            const std::uint32_t bits = u32();
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
        return lo + (hi - lo) * static_cast<float>(u16()) / 65535.0f;
    }
    // One of the given values.
    template <std::size_t N>
    std::uint8_t pick(const std::uint8_t (&values)[N]) { return values[byte() % N]; }

    // An image of `stride` x `height` bytes filled from the rest of the
    // input: runs of values from `alphabet`, so that regions form.
    template <std::size_t N>
    std::vector<std::uint8_t> image(int stride, int height, const std::uint8_t (&alphabet)[N]) {
        std::vector<std::uint8_t> img(static_cast<std::size_t>(stride) * height);
        std::size_t i = 0;
        while (i < img.size()) {
            const std::uint8_t v = pick(alphabet);
            const std::size_t run = 1 + byte() % 64;
            for (std::size_t k = 0; k < run && i < img.size(); ++k) img[i++] = v;
        }
        return img;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A digest of every byte the targets' calls wrote, folded in call order:
// replaying the corpus with builds of different flags must give the same
// digest.
inline std::uint64_t& outputDigest() {
    static std::uint64_t digest = 1469598103934665603ull;
    return digest;
}

inline void fold(const void* bytes, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::uint64_t& d = outputDigest();
    for (std::size_t i = 0; i < size; ++i) d = (d ^ p[i]) * 1099511628211ull;
}

template <class T>
void fold(const std::vector<T>& v) {
    fold(v.data(), v.size() * sizeof(T));
}

// CAD labels and camera values as callers pass them.
inline constexpr std::uint8_t kLabels[] = {0, 0, 0, 100, 150, 151, 152, 154, 160, 170, 170, 180, 255};
inline constexpr std::uint8_t kBinary[] = {0, 0, 255, 255, 7};

}  // namespace pcbinspect::fuzz
