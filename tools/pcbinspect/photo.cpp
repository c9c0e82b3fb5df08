#include "photo.h"

#include "pipeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace pcbinspect::tool {
namespace {

// The light fields are estimated on a grid this many times coarser than the
// image (box means of the full-resolution sums), which is plenty for light
// that changes over hundreds of pixels.
constexpr int kReduce = 4;
// Spread of the neighbourhood over which local levels are averaged, in
// full-resolution pixels.
constexpr double kLevelSigma = 32.0;
// Side of the neighbourhood whose median gives the first flat field, in
// full-resolution pixels: wider than the copper areas of a board.
constexpr int kBroadMedian = 260;
// Share of a neighbourhood that one class must cover before its own local
// level outweighs the level predicted from the other class by the global
// copper-to-substrate ratio.
constexpr double kOwnLevelWeight = 0.02;
// Smoothing before the comparison: enough that the noise left is about a
// fifth of half the contrast, within these bounds. At least 1 pixel: the
// ragged edges of less smoothing cost more false calls along lines than
// the smallest pin-holes it keeps (synthetic mild photos: F 0.935 at 0.6,
// 0.949 at 1.0; hard 0.854 and 0.881; 1.4 loses a fifth of the pin-holes).
constexpr double kMinSmoothing = 1.0, kMaxSmoothing = 1.5;
// The light smoothing that finds the true extent of small regions, and the
// size below which a region is small.
constexpr double kFineSmoothing = 0.5;
constexpr int kRestoreBelow = 64;
// A faint spot stands out from its class's local level by at least this
// share of the contrast and this many times the noise left after smoothing.
constexpr double kSpotShare = 0.25;
constexpr double kSpotNoise = 4.0;
// Side of the square against whose opening a spot is measured: spots up to
// about 7 pixels across stand out of it whole.
constexpr int kSpotSide = 9;

// The working sample of every pixel, 0..255 whatever the bit depth.
cv::Mat1f channelOf(const PhotoImage& p, int channel) {
    cv::Mat1f out(p.height, p.width);
    const float scale = p.bits == 16 ? 1.0f / 257.0f : 1.0f;
    const std::uint16_t* s = p.samples.data();
    for (int y = 0; y < p.height; ++y) {
        float* row = out.ptr<float>(y);
        for (int x = 0; x < p.width; ++x, s += p.channels) {
            float v;
            if (p.channels == 1)
                v = s[0];
            else if (channel == kChannelLuma)
                v = 0.299f * s[0] + 0.587f * s[1] + 0.114f * s[2];
            else
                v = s[channel - 1];
            row[x] = v * scale;
        }
    }
    return out;
}

struct Grid {
    int reduce;
    cv::Size full, small;
};

Grid gridFor(const cv::Mat& image) {
    Grid g;
    g.reduce = std::min(image.cols, image.rows) >= 16 * kReduce ? kReduce : 1;
    g.full = image.size();
    g.small = cv::Size((image.cols + g.reduce - 1) / g.reduce,
                       (image.rows + g.reduce - 1) / g.reduce);
    return g;
}

// The neighbourhood mean of a full-resolution map, on the coarse grid.
cv::Mat1f lowpass(const Grid& g, const cv::Mat1f& full) {
    cv::Mat1f small;
    if (g.reduce == 1)
        small = full.clone();
    else
        cv::resize(full, small, g.small, 0, 0, cv::INTER_AREA);
    const double sigma = kLevelSigma / g.reduce;
    cv::GaussianBlur(small, small, cv::Size(0, 0), sigma, sigma, cv::BORDER_REFLECT);
    return small;
}

cv::Mat1f upsample(const Grid& g, const cv::Mat1f& small) {
    if (g.reduce == 1) return small;
    cv::Mat1f full;
    cv::resize(small, full, g.full, 0, 0, cv::INTER_LINEAR);
    return full;
}

double median(std::vector<float>& v) {
    if (v.empty()) return 0.0;
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// Otsu's threshold of a float image, over 256 bins between its 1st and
// 99th percentile (so that a few saturated pixels do not squeeze the rest).
float otsu(const cv::Mat1f& image) {
    std::vector<float> sample;
    const int step = std::max(1, static_cast<int>(image.total() / 200000));
    for (std::size_t i = 0, end = image.total(); i < end; i += static_cast<std::size_t>(step))
        sample.push_back(image(static_cast<int>(i)));
    const auto lowAt = sample.begin() + static_cast<std::ptrdiff_t>(sample.size() / 100);
    const auto highAt = sample.begin() + static_cast<std::ptrdiff_t>(sample.size() * 99 / 100);
    std::nth_element(sample.begin(), lowAt, sample.end());
    const float lo = *lowAt;
    std::nth_element(lowAt, highAt, sample.end());
    const float hi = *highAt;
    if (!(hi > lo)) return lo;
    double hist[256] = {0};
    for (float v : sample) hist[std::clamp(static_cast<int>((v - lo) / (hi - lo) * 255.0f), 0, 255)]++;
    double total = 0, sum = 0;
    for (int i = 0; i < 256; ++i) total += hist[i], sum += i * hist[i];
    double w0 = 0, s0 = 0, best = -1;
    int cut = 128;
    for (int i = 0; i < 255; ++i) {
        w0 += hist[i];
        s0 += i * hist[i];
        const double w1 = total - w0;
        if (w0 == 0 || w1 == 0) continue;
        const double m0 = s0 / w0, m1 = (sum - s0) / w1;
        const double between = w0 * w1 * (m0 - m1) * (m0 - m1);
        if (between > best) best = between, cut = i;
    }
    return lo + (cut + 0.5f) * (hi - lo) / 255.0f;
}

// The light model of one photograph: the local dark and bright levels and
// their midpoint, and how far the classes stand apart for their noise.
struct Levels {
    cv::Mat1f threshold;       // full resolution
    cv::Mat1b dark;            // pixels below the threshold (of the smoothed image)
    cv::Mat1f darkLocal, brightLocal;  // the classes' local levels, full resolution
    double darkLevel = 0, brightLevel = 0, noise = 0;
    double separation() const { return noise > 0 ? (brightLevel - darkLevel) / noise : 0.0; }
};

// The spread of `image` around its class's local level, over the inner
// pixels of the classes (a robust standard deviation).
double spreadAroundLevels(const cv::Mat1f& image, const Levels& L) {
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5));
    cv::Mat1b darkIn, brightIn;
    cv::erode(L.dark, darkIn, kernel, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
    cv::erode(~L.dark, brightIn, kernel, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
    std::vector<float> residual;
    const int step = std::max<int>(1, static_cast<int>(image.total() / 100000));
    for (std::size_t i = 0, end = image.total(); i < end; i += static_cast<std::size_t>(step)) {
        const int k = static_cast<int>(i);
        if (darkIn(k)) residual.push_back(std::abs(image(k) - L.darkLocal(k)));
        else if (brightIn(k)) residual.push_back(std::abs(image(k) - L.brightLocal(k)));
    }
    return 1.4826 * median(residual);
}

Levels estimateLevels(const cv::Mat1f& raw, const cv::Mat1f& smooth) {
    const Grid g = gridFor(raw);
    Levels L;
    // A first split: the image divided by its broad median, the level of
    // the class covering most of each wide neighbourhood (a flat field), cut
    // at Otsu's threshold. A mean would mix the classes, and a light ramp
    // left in would split the majority class rather than the two.
    {
        cv::Mat1f small;
        cv::resize(smooth, small, g.small, 0, 0, cv::INTER_AREA);
        double lo = 0, hi = 0;
        cv::minMaxLoc(small, &lo, &hi);
        const double scale = hi > lo ? 255.0 / (hi - lo) : 1.0;
        cv::Mat1b bytes;
        small.convertTo(bytes, CV_8U, scale, -lo * scale);
        const int side = std::min({kBroadMedian / g.reduce, small.cols, small.rows});
        const int k = std::max(3, side - (side % 2 == 0 ? 1 : 0));
        cv::medianBlur(bytes, bytes, k);
        cv::Mat1f broad;
        bytes.convertTo(broad, CV_32F, 1.0 / scale, lo);
        cv::Mat1f flat = smooth / cv::max(upsample(g, broad), 1e-3f);
        L.dark = flat < otsu(flat);
    }
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5));
    cv::Mat1f threshold, darkLocal, brightLocal;
    for (int round = 0; round < 3; ++round) {
        // Inner pixels of each class, two pixels away from every edge, so
        // that the blur of the edges does not pull the levels together.
        cv::Mat1b darkIn, brightIn;
        cv::erode(L.dark, darkIn, kernel, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
        cv::erode(~L.dark, brightIn, kernel, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
        cv::Mat1f dw, bw;
        darkIn.convertTo(dw, CV_32F, 1.0 / 255);
        brightIn.convertTo(bw, CV_32F, 1.0 / 255);
        // Global levels, then the light as the local mean over the local
        // mean of what the classes would show under even light.
        const double dn = cv::sum(dw)[0], bn = cv::sum(bw)[0];
        if (dn < 1 || bn < 1) break;  // one class only: nothing to compare
        const cv::Mat1f darkPixels = smooth.mul(dw), brightPixels = smooth.mul(bw);
        const cv::Mat1f darkSum = lowpass(g, darkPixels), darkWeight = lowpass(g, dw);
        const cv::Mat1f brightSum = lowpass(g, brightPixels), brightWeight = lowpass(g, bw);
        const double darkMean = cv::sum(darkPixels)[0] / dn;
        const double brightMean = cv::sum(brightPixels)[0] / bn;
        cv::Mat1f light = (darkSum + brightSum) /
                          cv::max(darkWeight * darkMean + brightWeight * brightMean, 1e-6f);
        // Each class's local level: its own mean where it is present, else
        // the light times its global level.
        darkLocal = (darkSum + light * (kOwnLevelWeight * darkMean)) /
                    (darkWeight + kOwnLevelWeight);
        brightLocal = (brightSum + light * (kOwnLevelWeight * brightMean)) /
                      (brightWeight + kOwnLevelWeight);
        threshold = upsample(g, (darkLocal + brightLocal) * 0.5f);
        L.dark = smooth < threshold;
    }
    if (threshold.empty()) {
        L.threshold = cv::Mat1f(raw.size(), static_cast<float>(otsu(smooth)));
        return L;
    }
    L.threshold = threshold;
    // Levels and noise: medians over the image, the noise from the raw
    // pixels of the class interiors around their local level.
    std::vector<float> d(darkLocal.begin(), darkLocal.end()), b(brightLocal.begin(), brightLocal.end());
    L.darkLevel = median(d);
    L.brightLevel = median(b);
    L.darkLocal = upsample(g, darkLocal);
    L.brightLocal = upsample(g, brightLocal);
    L.noise = spreadAroundLevels(raw, L);
    return L;
}

// Regions (islands of either class) of `fine` smaller than `below` pixels
// that share a pixel with the same class in `binary` are set in `binary`
// whole.
void restoreSmallRegions(Image& binary, const cv::Mat1b& fineDark, bool copperDark, int below) {
    for (int pass = 0; pass < 2; ++pass) {
        // Pass 0: copper; pass 1: substrate.
        const std::uint8_t value = pass == 0 ? 255 : 0;
        const bool wantDark = pass == 0 ? copperDark : !copperDark;
        cv::Mat1b mask = wantDark ? fineDark.clone() : cv::Mat1b(~fineDark);
        cv::Mat1i labels;
        cv::Mat stats, centroids;
        const int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
        std::vector<char> take(static_cast<std::size_t>(n), 0);
        for (int i = 0, end = static_cast<int>(mask.total()); i < end; ++i) {
            const int l = labels(i);
            if (l > 0 && binary.pixels[static_cast<std::size_t>(i)] == value &&
                stats.at<int>(l, cv::CC_STAT_AREA) < below)
                take[static_cast<std::size_t>(l)] = 1;
        }
        for (int i = 0, end = static_cast<int>(mask.total()); i < end; ++i)
            if (take[static_cast<std::size_t>(labels(i))]) binary.pixels[static_cast<std::size_t>(i)] = value;
    }
}

// Spots too faint to cross the midpoint: a pin-hole or speck of a few
// pixels, blurred by the lens, keeps only part of the contrast at its
// centre. Inside either class (two pixels from its edge), a small group of
// pixels standing out of its surroundings towards the other class by more
// than kSpotShare of the contrast, and by kSpotNoise times the noise left
// after the smoothing, is given to the other class. Returns the spots found.
int markFaintSpots(Image& binary, const cv::Mat1f& smooth, const Levels& L, bool copperDark) {
    if (L.darkLocal.empty()) return 0;
    const double contrast = std::max(L.brightLevel - L.darkLevel, 1.0);
    const double noiseLeft = spreadAroundLevels(smooth, L);
    const float step = static_cast<float>(std::max(kSpotShare * contrast, kSpotNoise * noiseLeft));
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5));
    const cv::Mat square = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(kSpotSide, kSpotSide));
    int found = 0;
    for (int pass = 0; pass < 2; ++pass) {
        // Pass 0: bright spots inside the dark class; pass 1: the reverse.
        const bool inDark = pass == 0;
        cv::Mat1b inside(binary.height, binary.width);
        const std::uint8_t darkValue = copperDark ? 255 : 0;
        for (int i = 0, end = static_cast<int>(inside.total()); i < end; ++i)
            inside(i) = (binary.pixels[static_cast<std::size_t>(i)] == darkValue) == inDark ? 255 : 0;
        cv::erode(inside, inside, kernel, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
        // How far each pixel stands out of its surroundings towards the
        // other class: the top-hat (or for dark spots the black-hat) of a
        // square a little wider than the spots looked for, which leaves
        // straight edges and the light's slow changes out.
        cv::Mat1f rise;
        cv::morphologyEx(smooth, rise, inDark ? cv::MORPH_TOPHAT : cv::MORPH_BLACKHAT, square,
                         cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
        cv::Mat1b spot(inside.size(), std::uint8_t{0});
        for (int i = 0, end = static_cast<int>(spot.total()); i < end; ++i)
            if (inside(i)) spot(i) = rise(i) > step ? 255 : 0;
        if (cv::countNonZero(spot) == 0) continue;
        cv::Mat1i labels;
        cv::Mat stats, centroids;
        const int n = cv::connectedComponentsWithStats(spot, labels, stats, centroids, 8, CV_32S);
        std::vector<char> take(static_cast<std::size_t>(n), 0);
        for (int l = 1; l < n; ++l)
            if (stats.at<int>(l, cv::CC_STAT_AREA) < kRestoreBelow) take[l] = 1, ++found;
        const std::uint8_t other = inDark ? 255 - darkValue : darkValue;
        for (int i = 0, end = static_cast<int>(spot.total()); i < end; ++i)
            if (take[static_cast<std::size_t>(labels(i))]) binary.pixels[static_cast<std::size_t>(i)] = other;
    }
    return found;
}

}  // namespace

const char* channelName(int channel) {
    switch (channel) {
        case kChannelRed: return "red";
        case kChannelGreen: return "green";
        case kChannelBlue: return "blue";
        default: return "luma";
    }
}

bool isTwoLevel(const Image& gray) {
    const std::vector<std::uint8_t>& p = gray.pixels;
    const auto other = std::find_if(p.begin(), p.end(), [&](std::uint8_t v) { return v != p[0]; });
    if (other == p.end()) return true;
    const std::uint8_t a = p[0], b = *other;
    // Blocks of 4 KiB without a branch inside (the compiler vectorises
    // them); a photograph stops at its first block.
    constexpr std::size_t kBlock = 4096;
    for (std::size_t i = static_cast<std::size_t>(other - p.begin()); i < p.size(); i += kBlock) {
        const std::size_t end = std::min(p.size(), i + kBlock);
        unsigned char third = 0;
        for (std::size_t k = i; k < end; ++k) third |= (p[k] != a) & (p[k] != b);
        if (third) return false;
    }
    return true;
}

std::pair<int, int> removeSmallRegions(Image& binary, int minPixels) {
    if (minPixels <= 1) return {0, 0};
    int removed[2] = {0, 0};
    for (int pass = 0; pass < 2; ++pass) {
        // Pass 0: copper islands; pass 1: holes, as islands of substrate.
        const std::uint8_t island = pass == 0 ? 255 : 0;
        cv::Mat1b mask(binary.height, binary.width);
        for (int i = 0; i < static_cast<int>(binary.pixels.size()); ++i)
            mask(i) = binary.pixels[static_cast<std::size_t>(i)] == island ? 255 : 0;
        cv::Mat1i labels;
        cv::Mat stats, centroids;
        const int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
        std::vector<char> small(static_cast<std::size_t>(n), 0);
        for (int l = 1; l < n; ++l)
            if (stats.at<int>(l, cv::CC_STAT_AREA) < minPixels) small[l] = 1, ++removed[pass];
        if (removed[pass] == 0) continue;
        for (int i = 0; i < static_cast<int>(binary.pixels.size()); ++i)
            if (small[static_cast<std::size_t>(labels(i))])
                binary.pixels[static_cast<std::size_t>(i)] = 255 - island;
    }
    return {removed[0], removed[1]};
}

PhotoResult binarisePhoto(const PhotoImage& photo, const PhotoOptions& options) {
    PhotoResult r;
    // The channel: the one whose classes stand farthest apart for their noise.
    int channel = photo.channels == 1 ? kChannelLuma : options.channel;
    if (channel == kChannelAuto) {
        double best = -1.0;
        for (int c = kChannelLuma; c <= kChannelBlue; ++c) {
            const cv::Mat1f raw = channelOf(photo, c);
            cv::Mat1f smooth;
            cv::GaussianBlur(raw, smooth, cv::Size(0, 0), 1.0, 1.0, cv::BORDER_REFLECT);
            const double s = estimateLevels(raw, smooth).separation();
            if (s > best * 1.05) best = s, channel = c;  // luma unless clearly beaten
        }
    }
    r.channel = channel;
    const cv::Mat1f raw = channelOf(photo, channel);
    cv::Mat1f smooth;
    cv::GaussianBlur(raw, smooth, cv::Size(0, 0), 1.0, 1.0, cv::BORDER_REFLECT);
    const Levels L = estimateLevels(raw, smooth);
    r.copperLevel = L.darkLevel;
    r.substrateLevel = L.brightLevel;
    r.noise = L.noise;
    // Smoothing for the noise: after a Gaussian of sigma s, white noise of
    // spread n keeps about n / (2 sqrt(pi) s); a fifth of half the contrast
    // leaves a stray pixel a rare event, and the size rule takes the rest.
    const double contrast = std::max(L.brightLevel - L.darkLevel, 1.0);
    r.smoothing = std::clamp(10.0 * L.noise / (2.0 * std::sqrt(M_PI) * contrast), kMinSmoothing,
                             kMaxSmoothing);
    cv::GaussianBlur(raw, smooth, cv::Size(0, 0), r.smoothing, r.smoothing, cv::BORDER_REFLECT);
    const cv::Mat1b dark = smooth < L.threshold;
    const double darkShare = cv::countNonZero(dark) / static_cast<double>(dark.total());
    switch (options.copper) {
        case CopperPolarity::Dark: r.copperDark = true; break;
        case CopperPolarity::Bright: r.copperDark = false; break;
        case CopperPolarity::Auto:
            r.copperDark = darkShare <= 0.5;
            r.polarityFound = true;
            break;
    }
    if (!r.copperDark) std::swap(r.copperLevel, r.substrateLevel);
    r.copper = Image(photo.width, photo.height, 1);
    for (int i = 0, end = static_cast<int>(dark.total()); i < end; ++i)
        r.copper.pixels[static_cast<std::size_t>(i)] = (dark(i) != 0) == r.copperDark ? 255 : 0;
    // The smoothing shrinks a speck or pin-hole of a few pixels to fewer
    // (a 3 x 3 square to its centre). Small regions of a lightly smoothed
    // comparison that meet a region of the smoothed one are taken at their
    // own size; those that meet none are noise.
    const cv::Mat1f spotSmooth = smooth.clone();
    cv::GaussianBlur(raw, smooth, cv::Size(0, 0), kFineSmoothing, kFineSmoothing,
                     cv::BORDER_REFLECT);
    const cv::Mat1b fine = smooth < L.threshold;
    restoreSmallRegions(r.copper, fine, r.copperDark, kRestoreBelow);
    r.faintSpots = markFaintSpots(r.copper, spotSmooth, L, r.copperDark);
    const auto [specks, holes] = removeSmallRegions(r.copper, options.minDefectPx);
    r.specksRemoved = specks;
    r.holesFilled = holes;
    std::size_t copper = 0;
    for (std::uint8_t v : r.copper.pixels) copper += v ? 1 : 0;
    r.copperShare = static_cast<double>(copper) / static_cast<double>(r.copper.pixels.size());
    return r;
}

namespace {

// Tiles of the geometry estimate: side, spacing and the search reach
// around the global shift, in pixels.
constexpr int kTileSide = 96;
constexpr int kTileSpacing = 150;
constexpr int kTileReach = 5;
// A tile is measured on an axis when its edges cross that axis (gradient
// energy that way at least this share of the other way's), and only when
// its best match correlates at least this well.
constexpr double kTileIsotropy = 0.05;
constexpr double kTileMinCorrelation = 0.6;
// Tiles straying farther than this from the fitted map are dropped.
constexpr double kTileMaxResidual = 1.0;

cv::Mat1f copperFloat(const Image& copper) {
    cv::Mat1f out(copper.height, copper.width);
    for (int i = 0, end = static_cast<int>(out.total()); i < end; ++i)
        out(i) = copper.pixels[static_cast<std::size_t>(i)] ? 1.0f : 0.0f;
    // A little blur so that the correlation peak is smooth enough for the
    // sub-pixel fit.
    cv::GaussianBlur(out, out, cv::Size(0, 0), 1.0, 1.0, cv::BORDER_REFLECT);
    return out;
}

// Offset of the vertex of the parabola through (-1, a), (0, b), (1, c).
double vertex(double a, double b, double c) {
    const double d = a - 2 * b + c;
    return d < 0 ? std::clamp(0.5 * (a - c) / d, -0.5, 0.5) : 0.0;
}

// Which ways a tile's edges pin its position down: across vertical edges
// (x) when their gradient energy is at least kTileIsotropy of the other
// way's, likewise y.
std::pair<bool, bool> edgeWays(const cv::Mat1f& tile) {
    cv::Mat1f gx, gy;
    cv::Sobel(tile, gx, CV_32F, 1, 0);
    cv::Sobel(tile, gy, CV_32F, 0, 1);
    const double xx = gx.dot(gx), yy = gy.dot(gy);
    const double enough = 0.5 * kTileSide;  // edges over a good part of the tile
    return {xx > enough && xx >= kTileIsotropy * yy, yy > enough && yy >= kTileIsotropy * xx};
}

// One tile's measured position: golden (gx, gy) seen at camera (cx, cy);
// a coordinate is valid only where the tile's edges pin it down.
struct TilePair {
    double gx, gy, cx, cy;
    bool hasX, hasY;
};

// Least squares of camera x (axis 0) or y (axis 1) as an affine function of
// the golden position, over the tiles valid on that axis.
bool fitAxis(const std::vector<TilePair>& pairs, int axis, double* row) {
    std::vector<const TilePair*> use;
    for (const TilePair& p : pairs)
        if (axis == 0 ? p.hasX : p.hasY) use.push_back(&p);
    if (use.size() < 4) return false;
    cv::Mat1d a(static_cast<int>(use.size()), 3), b(a.rows, 1);
    for (int i = 0; i < a.rows; ++i) {
        const TilePair& p = *use[static_cast<std::size_t>(i)];
        a(i, 0) = p.gx, a(i, 1) = p.gy, a(i, 2) = 1.0;
        b(i) = axis == 0 ? p.cx : p.cy;
    }
    cv::Mat1d r;
    if (!cv::solve(a, b, r, cv::DECOMP_SVD)) return false;
    row[0] = r(0), row[1] = r(1), row[2] = r(2);
    return true;
}

bool fitAffine(const std::vector<TilePair>& pairs, CameraGeometry& m) {
    return fitAxis(pairs, 0, m.data()) && fitAxis(pairs, 1, m.data() + 3);
}

std::pair<double, double> apply(const CameraGeometry& m, double x, double y) {
    return {m[0] * x + m[1] * y + m[2], m[3] * x + m[4] * y + m[5]};
}

}  // namespace

std::optional<GeometryEstimate> estimateCameraGeometry(const Image& goldenCopper,
                                                       const Image& cameraCopper) {
    if (goldenCopper.width != cameraCopper.width || goldenCopper.height != cameraCopper.height)
        return std::nullopt;
    const cv::Mat1f g = copperFloat(goldenCopper), c = copperFloat(cameraCopper);
    const int w = g.cols, h = g.rows;
    if (w < kTileSide * 2 || h < kTileSide * 2) return std::nullopt;
    // The global shift, camera against golden.
    cv::Mat1f window;
    cv::createHanningWindow(window, g.size(), CV_32F);
    const cv::Point2d global = cv::phaseCorrelate(g, c, window);
    const int sx = static_cast<int>(std::lround(global.x)), sy = static_cast<int>(std::lround(global.y));
    std::vector<TilePair> pairs;
    const int nx = std::max(2, (w - kTileSide) / kTileSpacing + 1);
    const int ny = std::max(2, (h - kTileSide) / kTileSpacing + 1);
    const int border = kTileReach + 2;
    cv::Mat1f scores;
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            const int x0 = border + (w - kTileSide - 2 * border) * i / (nx - 1);
            const int y0 = border + (h - kTileSide - 2 * border) * j / (ny - 1);
            const cv::Rect search(x0 + sx - kTileReach, y0 + sy - kTileReach,
                                  kTileSide + 2 * kTileReach, kTileSide + 2 * kTileReach);
            if ((search & cv::Rect(0, 0, w, h)) != search) continue;
            const cv::Mat1f tile = g(cv::Rect(x0, y0, kTileSide, kTileSide));
            const auto [hasX, hasY] = edgeWays(tile);
            if (!hasX && !hasY) continue;
            cv::matchTemplate(c(search), tile, scores, cv::TM_CCOEFF_NORMED);
            double best = 0;
            cv::Point at;
            cv::minMaxLoc(scores, nullptr, &best, nullptr, &at);
            if (best < kTileMinCorrelation) continue;
            // A peak on the border of the search is no peak on that axis.
            const bool okX = hasX && at.x > 0 && at.x < scores.cols - 1;
            const bool okY = hasY && at.y > 0 && at.y < scores.rows - 1;
            if (!okX && !okY) continue;
            const double fx = okX ? vertex(scores(at.y, at.x - 1), scores(at.y, at.x),
                                           scores(at.y, at.x + 1)) : 0.0;
            const double fy = okY ? vertex(scores(at.y - 1, at.x), scores(at.y, at.x),
                                           scores(at.y + 1, at.x)) : 0.0;
            // The tile's centre (x0 + (side - 1) / 2, ...) lies in the camera
            // photo displaced by the match's offset within the search.
            const double gx = x0 + (kTileSide - 1) / 2.0, gy = y0 + (kTileSide - 1) / 2.0;
            pairs.push_back({gx, gy, gx + sx - kTileReach + at.x + fx,
                             gy + sy - kTileReach + at.y + fy, okX, okY});
        }
    GeometryEstimate e;
    for (int round = 0; round < 3; ++round) {
        if (!fitAffine(pairs, e.map)) return std::nullopt;
        bool dropped = false;
        for (TilePair& p : pairs) {
            const auto [x, y] = apply(e.map, p.gx, p.gy);
            if (p.hasX && std::abs(x - p.cx) > kTileMaxResidual) p.hasX = false, dropped = true;
            if (p.hasY && std::abs(y - p.cy) > kTileMaxResidual) p.hasY = false, dropped = true;
        }
        if (!dropped) break;
    }
    if (!fitAffine(pairs, e.map)) return std::nullopt;
    e.residual = 0.0;
    for (const TilePair& p : pairs) {
        const auto [x, y] = apply(e.map, p.gx, p.gy);
        if (p.hasX) e.residual = std::max(e.residual, std::abs(x - p.cx));
        if (p.hasY) e.residual = std::max(e.residual, std::abs(y - p.cy));
        e.tiles += p.hasX || p.hasY ? 1 : 0;
    }
    for (double x : {0.0, w - 1.0})
        for (double y : {0.0, h - 1.0}) {
            const auto [u, v] = apply(e.map, x, y);
            e.reach = std::max(e.reach, std::hypot(u - x, v - y));
        }
    return e;
}

std::string describeGeometry(const GeometryEstimate& e) {
    const CameraGeometry& m = e.map;
    const double scale = std::sqrt(std::abs(m[0] * m[4] - m[1] * m[3]));
    const double turn = std::atan2(m[3] - m[1], m[0] + m[4]) * 180.0 / M_PI;
    char text[200];
    std::snprintf(text, sizeof text,
                  "shift %.1f, %.1f px, turn %.3f degrees, scale %.4f, %d tiles within %.2f px, "
                  "largest displacement %.1f px",
                  m[2], m[5], turn, scale, e.tiles, e.residual, e.reach);
    return text;
}

PhotoImage resamplePhoto(const PhotoImage& photo, const CameraGeometry& map, Image* outside) {
    PhotoImage out = photo;
    const cv::Mat src(photo.height, photo.width, CV_16UC(photo.channels),
                      const_cast<std::uint16_t*>(photo.samples.data()));
    cv::Mat dst(photo.height, photo.width, CV_16UC(photo.channels), out.samples.data());
    const cv::Matx23d m(map[0], map[1], map[2], map[3], map[4], map[5]);
    cv::warpAffine(src, dst, m, dst.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                   cv::BORDER_REPLICATE);
    if (outside) {
        *outside = Image(photo.width, photo.height, 1);
        for (int y = 0; y < photo.height; ++y)
            for (int x = 0; x < photo.width; ++x) {
                const auto [u, v] = apply(map, x, y);
                const bool off = !(u >= 0 && v >= 0 && u <= photo.width - 1 && v <= photo.height - 1);
                outside->pixels[static_cast<std::size_t>(y) * photo.width + x] = off ? 255 : 0;
            }
    }
    return out;
}

Image resampleMask(const Image& mask, const CameraGeometry& map) {
    Image out(mask.width, mask.height, 1);
    for (int y = 0; y < mask.height; ++y)
        for (int x = 0; x < mask.width; ++x) {
            const auto [u, v] = apply(map, x, y);
            const long ix = std::lround(u), iy = std::lround(v);
            if (ix >= 0 && iy >= 0 && ix < mask.width && iy < mask.height)
                out.pixels[static_cast<std::size_t>(y) * mask.width + x] =
                    mask.pixels[static_cast<std::size_t>(iy) * mask.width + ix];
        }
    return out;
}

void mapCameraPositions(InspectionResult& result, const CameraGeometry& map) {
    for (FlawRecord& f : result.flaws) {
        const auto [u, v] = apply(map, f.camX, f.camY);
        f.camX = static_cast<std::int32_t>(std::lround(u));
        f.camY = static_cast<std::int32_t>(std::lround(v));
    }
    for (Defect& d : result.defects) {
        double x1 = 1e18, y1 = 1e18, x2 = -1e18, y2 = -1e18;
        for (int x : {d.x1, d.x2})
            for (int y : {d.y1, d.y2}) {
                const auto [u, v] = apply(map, x, y);
                x1 = std::min(x1, u), x2 = std::max(x2, u);
                y1 = std::min(y1, v), y2 = std::max(y2, v);
            }
        d.x1 = static_cast<int>(std::floor(x1));
        d.y1 = static_cast<int>(std::floor(y1));
        d.x2 = static_cast<int>(std::ceil(x2));
        d.y2 = static_cast<int>(std::ceil(y2));
    }
}

std::string describePhotoResult(const PhotoResult& r) {
    char text[280];
    std::snprintf(text, sizeof text,
                  "%s copper%s, %s, copper %.0f and substrate %.0f, noise %.1f, smoothing %.2f, "
                  "%d faint spots kept, %d specks and %d holes below the size limit removed",
                  r.copperDark ? "dark" : "bright",
                  r.polarityFound ? " (auto: the smaller class)" : "", channelName(r.channel),
                  r.copperLevel, r.substrateLevel, r.noise, r.smoothing, r.faintSpots,
                  r.specksRemoved, r.holesFilled);
    return text;
}

}  // namespace pcbinspect::tool
