// The two-window comparison, the empty test and the nearest-blob test.
#include <cstring>

#include "inspect/window_checks.h"
#include "inspect/window_rings.h"
#include "imaging/region_fill.h"

namespace pcbinspect {
namespace {

constexpr int kPixels = kWindowSide * kWindowSide;
// A reference feature counts as bridged only when it is larger than this.
constexpr int kBridgeFeaturePixels = 225;

}  // namespace

int bridgeCount(const std::uint8_t* camera, const std::uint8_t* reference, CheckScratch& scratch,
                int* features) {
    std::uint8_t* cam = scratch.work(0, kPixels);
    std::uint8_t* ref = scratch.work(1, kPixels);
    std::memcpy(cam, camera, kPixels);
    std::memcpy(ref, reference, kPixels);

    // The first set camera pixel along the eight principal directions, nearest
    // the centre first; at each distance the directions turn from the right
    // counter-clockwise (up is -y).
    static constexpr int kDx[8] = {1, 1, 0, -1, -1, -1, 0, 1};
    static constexpr int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};
    int sx = kWindowCentre, sy = kWindowCentre;
    bool found = false;
    for (int k = 0; k < kWindowCentre && !found; ++k) {
        for (int dir = 0; dir < 8; ++dir) {
            const int x = kWindowCentre + k * kDx[dir], y = kWindowCentre + k * kDy[dir];
            if (cam[y * kWindowSide + x] != 0) {
                sx = x;
                sy = y;
                found = true;
                break;
            }
        }
    }
    if (cam[sy * kWindowSide + sx] == 0) {
        if (features) *features = 1;
        return 0;
    }

    std::int16_t* stack = scratch.fillStack(kWindowSide, kWindowSide);
    RegionFill(stack, cam, kWindowSide, kWindowSide, kWindowSide, sx, sy, 128, nullptr);
    int count = 0;
    for (int y = 0; y < kWindowSide; ++y) {
        for (int x = 0; x < kWindowSide; ++x) {
            const int i = y * kWindowSide + x;
            if (ref[i] != 255 || cam[i] != 128) continue;
            // Repainting the feature with 128 visits each feature once.
            const int size = RegionFill(stack, ref, kWindowSide, kWindowSide, kWindowSide, x, y,
                                        128, nullptr);
            if (size > kBridgeFeaturePixels) ++count;
        }
    }
    if (features) *features = count;
    return count >= 2 ? 2 : 0;
}

bool isEmptyWindow(const std::uint8_t* window) {
    for (int i = 0; i < kPixels; ++i)
        if (window[i] != 0) return false;
    return true;
}

int missingFeatureCode(int regionClass) {
    switch (regionClass) {
        case 1:
            return kMissingClass1;
        case 2:
            return kMissingClass2;
        case 3:
            return kMissingClass3;
        default:
            return kMissingClass0;
    }
}

NearestBlob keepNearestBlob(std::uint8_t* window, int mx, int my, int regionClass,
                            CheckScratch& scratch) {
    NearestBlob result;
    int box[4] = {kWindowCentre, kWindowCentre, kWindowCentre, kWindowCentre};
    bool found = false;
    for (int d = 0; d <= 29 && !found; ++d) {
        found = visitRing(kHorizontalFirst, kWindowCentre, kWindowCentre, d, kWindowSide,
                          kWindowSide, [&](int x, int y) {
                              if (window[y * kWindowSide + x] == 0) return false;
                              // The seed's own box, kept when the blob already
                              // holds the fill value.
                              box[0] = box[1] = y;
                              box[2] = box[3] = x;
                              RegionFill(scratch.fillStack(kWindowSide, kWindowSide), window,
                                         kWindowSide, kWindowSide, kWindowSide, x, y, 128, box);
                              return true;
                          });
    }
    for (int i = 0; i < kPixels; ++i) window[i] = window[i] == 128 ? 255 : 0;
    if (!found) {
        result.code = missingFeatureCode(regionClass);
        result.score = 999.0f;
        return result;
    }
    const int height = box[0] - box[1] + 1;
    const int width = box[3] - box[2] + 1;
    result.spansWindow = height == (kWindowCentre - my) * 2 || width == (kWindowCentre - mx) * 2;
    return result;
}

}  // namespace pcbinspect
