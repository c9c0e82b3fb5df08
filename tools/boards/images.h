// Image buffers and drawing for the synthetic boards, the tests and the
// benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace pcbinspect::testing {

// An 8-bit image inside a larger allocation: `guard` bytes before and after,
// and `stride - width` padding bytes at the end of every row, all holding a
// known pattern so a test can prove that nothing outside width x height was
// written.
class GuardedImage {
public:
    static constexpr std::uint8_t kGuard = 0xA5;

    GuardedImage(int width, int height, int stride = -1, std::size_t guard = 64)
        : width_(width),
          height_(height),
          stride_(stride < 0 ? width : stride),
          guard_(guard),
          bytes_(guard * 2 + static_cast<std::size_t>(stride_) * height, kGuard) {}

    std::uint8_t* data() { return bytes_.data() + guard_; }
    const std::uint8_t* data() const { return bytes_.data() + guard_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return stride_; }

    std::uint8_t& at(int x, int y) { return data()[static_cast<std::size_t>(y) * stride_ + x]; }
    std::uint8_t at(int x, int y) const {
        return data()[static_cast<std::size_t>(y) * stride_ + x];
    }

    void fill(std::uint8_t v) {
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x) at(x, y) = v;
    }
    void fillRandom(std::uint32_t seed, int lo = 0, int hi = 255) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> dist(lo, hi);
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x) at(x, y) = static_cast<std::uint8_t>(dist(rng));
    }

    // True when every guard and padding byte still holds the pattern.
    bool guardsIntact() const {
        for (std::size_t i = 0; i < guard_; ++i) {
            if (bytes_[i] != kGuard || bytes_[bytes_.size() - 1 - i] != kGuard) return false;
        }
        for (int y = 0; y < height_; ++y)
            for (int x = width_; x < stride_; ++x)
                if (at(x, y) != kGuard) return false;
        return true;
    }

    // The width x height pixels, row by row, without padding.
    std::vector<std::uint8_t> pixels() const {
        std::vector<std::uint8_t> out;
        out.reserve(static_cast<std::size_t>(width_) * height_);
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x) out.push_back(at(x, y));
        return out;
    }

private:
    int width_, height_, stride_;
    std::size_t guard_;
    std::vector<std::uint8_t> bytes_;
};

// A square working image of side n with stride n.
struct Square {
    int n;
    std::vector<std::uint8_t> pixels;

    explicit Square(int side, std::uint8_t v = 0)
        : n(side), pixels(static_cast<std::size_t>(side) * side, v) {}
    std::uint8_t* data() { return pixels.data(); }
    std::uint8_t& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * n + x]; }

    void rect(int x0, int y0, int x1, int y1, std::uint8_t v) {  // inclusive corners
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) at(x, y) = v;
    }
    // The square in orientation k of the eight (turns and mirror images):
    // bit 0 mirrors x, bit 1 mirrors y, bit 2 then swaps the axes.
    Square oriented(int k) const {
        Square o(n);
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                int u = k & 1 ? n - 1 - x : x, v = k & 2 ? n - 1 - y : y;
                if (k & 4) std::swap(u, v);
                o.at(u, v) = pixels[static_cast<std::size_t>(y) * n + x];
            }
        return o;
    }
};

// Drawing on any 8-bit image given as pointer, stride and size; shapes are
// clipped to the image.
struct Canvas {
    std::uint8_t* data;
    int width, stride, height;

    Canvas(GuardedImage& img) : data(img.data()), width(img.width()), stride(img.stride()), height(img.height()) {}
    Canvas(Square& sq) : data(sq.data()), width(sq.n), stride(sq.n), height(sq.n) {}
    Canvas(std::uint8_t* d, int w, int s, int h) : data(d), width(w), stride(s), height(h) {}

    void set(int x, int y, std::uint8_t v) const {
        if (x >= 0 && y >= 0 && x < width && y < height)
            data[static_cast<std::size_t>(y) * stride + x] = v;
    }
    // Inclusive corners.
    void rect(int x0, int y0, int x1, int y1, std::uint8_t v) const {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) set(x, y, v);
    }
    // Pixels whose centre lies within `radius` of (cx, cy).
    void disc(double cx, double cy, double radius, std::uint8_t v) const {
        for (int y = static_cast<int>(cy - radius) - 1; y <= cy + radius + 1; ++y)
            for (int x = static_cast<int>(cx - radius) - 1; x <= cx + radius + 1; ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius) set(x, y, v);
    }
    // Pixels whose centre lies within radius of (cx, cy) but not within inner.
    void ring(double cx, double cy, double radius, double inner, std::uint8_t v) const {
        for (int y = static_cast<int>(cy - radius) - 1; y <= cy + radius + 1; ++y)
            for (int x = static_cast<int>(cx - radius) - 1; x <= cx + radius + 1; ++x) {
                const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                if (d2 <= radius * radius && d2 > inner * inner) set(x, y, v);
            }
    }
};

// Random labels drawn from a small alphabet, so that regions of every shape
// and size appear, with a fixed seed.
inline std::vector<std::uint8_t> randomLabels(int width, int height, std::uint32_t seed,
                                              std::vector<std::uint8_t> alphabet) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height);
    for (auto& v : out) v = alphabet[pick(rng)];
    return out;
}

}  // namespace pcbinspect::testing
