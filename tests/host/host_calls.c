/* A host program, in C as the library's hosts are, that loads the library at
 * run time (dlopen here, LoadLibrary on Windows), looks every export up by its
 * plain name and runs end-to-end calls on inputs it generates itself. For
 * each call it prints one line: the call's name and a 64-bit FNV-1a digest of
 * every byte the call wrote (outputs, in-place images, return values).
 *
 *   host_calls LIBRARY [EXPECTED]
 *
 * Without EXPECTED the lines go to stdout; the Linux build's run is saved
 * that way. With EXPECTED (a saved run) each digest is compared with the
 * saved one, so the Windows build proves it writes the same bytes. A few
 * results are also checked on their own (copy bytes, rejection text, the
 * circle's centre, the window's position) so that the program fails on a
 * broken library even without a saved run. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "pcbinspect/exports.h"

static int failures = 0;

static void expect(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "host_calls: check failed: %s\n", what);
        ++failures;
    }
}

/* ------------------------------------------------------------------------
 * Loading
 * ---------------------------------------------------------------------- */

#ifdef _WIN32
static HMODULE library;
static int openLibrary(const char *path) {
    library = LoadLibraryA(path);
    if (!library) fprintf(stderr, "LoadLibrary(%s) failed: error %lu\n", path, GetLastError());
    return library != NULL;
}
static void *lookUp(const char *name) { return (void *)GetProcAddress(library, name); }
#else
static void *library;
static int openLibrary(const char *path) {
    library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!library) fprintf(stderr, "dlopen: %s\n", dlerror());
    return library != NULL;
}
static void *lookUp(const char *name) { return dlsym(library, name); }
#endif

/* One pointer per export, typed from its declaration in the public header. */
#define EXPORTS(X)                                                                  \
    X(getLastError) X(getBuildTime) X(copyGray) X(inspect) X(correctInvalidLines)   \
    X(correctCAD) X(PrebuildCudaEnv) X(getSubGray) X(getSubGrayNearest) X(skewDIB) \
    X(findSuspectedFlaws) X(getMaskGray) X(ZeroOutboundGray) X(findCircles) X(test)
#define DECLARE(name) static __typeof__(&name) p_##name;
EXPORTS(DECLARE)

static int resolveExports(void) {
    int found = 0, all = 0;
#define RESOLVE(name)                                                   \
    ++all;                                                              \
    p_##name = (__typeof__(&name))lookUp(#name);                        \
    if (p_##name) ++found;                                              \
    else fprintf(stderr, "host_calls: export %s not found\n", #name);
    EXPORTS(RESOLVE)
#undef RESOLVE
    printf("exports found by plain name: %d of %d\n", found, all);
    return found == all;
}

/* ------------------------------------------------------------------------
 * Digests and the saved run
 * ---------------------------------------------------------------------- */

typedef struct Digest {
    unsigned long long h;
} Digest;

static Digest digestStart(void) { Digest d = {1469598103934665603ull}; return d; }
static void digestAdd(Digest *d, const void *p, size_t n) {
    const unsigned char *b = (const unsigned char *)p;
    for (size_t i = 0; i < n; ++i) {
        d->h ^= b[i];
        d->h *= 1099511628211ull;
    }
}
static void digestInt(Digest *d, int32_t v) { digestAdd(d, &v, sizeof v); }

static FILE *expected = NULL;

/* Prints "name digest" and, with a saved run, compares it with the saved
 * line of the same name. */
static void report(const char *name, Digest d) {
    char line[128];
    snprintf(line, sizeof line, "%s %016llx", name, d.h);
    if (!expected) {
        printf("%s\n", line);
        return;
    }
    char saved[128];
    int matched = 0;
    rewind(expected);
    while (fgets(saved, sizeof saved, expected)) {
        saved[strcspn(saved, "\r\n")] = '\0';
        size_t n = strlen(name);
        if (strncmp(saved, name, n) == 0 && saved[n] == ' ') {
            matched = strcmp(saved, line) == 0;
            printf("%-22s %016llx  %s\n", name, d.h, matched ? "same bytes" : "DIFFERS");
            if (!matched) fprintf(stderr, "host_calls: %s: Linux build wrote %s\n", name, saved);
            expect(matched, name);
            return;
        }
    }
    printf("%-22s %016llx  no saved result\n", name, d.h);
    expect(0, "saved result present");
}

/* ------------------------------------------------------------------------
 * Generated inputs
 * ---------------------------------------------------------------------- */

static uint32_t seed = 12345u;
static int uniform(int lo, int hi) {
    seed = seed * 1664525u + 1013904223u;
    return lo + (int)((seed >> 8) % (uint32_t)(hi - lo + 1));
}

static void rect(uint8_t *img, int w, int h, int x0, int y0, int x1, int y1, uint8_t v) {
    for (int y = y0 < 0 ? 0 : y0; y <= y1 && y < h; ++y)
        for (int x = x0 < 0 ? 0 : x0; x <= x1 && x < w; ++x) img[(size_t)y * w + x] = v;
}

static void disc(uint8_t *img, int w, int h, int cx, int cy, int r, uint8_t v) {
    for (int y = cy - r; y <= cy + r; ++y)
        for (int x = cx - r; x <= cx + r; ++x)
            if (x >= 0 && y >= 0 && x < w && y < h && (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r)
                img[(size_t)y * w + x] = v;
}

/* A gray test picture: smooth gradients with a texture, stride > width. */
static void grayPicture(uint8_t *img, int w, int stride, int h) {
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < stride; ++x)
            img[(size_t)y * stride + x] = (uint8_t)((x * 3 + y * 5 + ((x * y) % 29) * 4) & 0xFF);
    (void)w;
}

enum { kBoard = 600, kWindow = 400, kCutX = 131, kCutY = 97, kHoleMax = 64 };

/* A 600 x 600 CAD label board of pads (180 round with a drilled 154 centre,
 * 160 square), lines (170) and copper areas (100), about one feature per
 * 60 x 60 pixels at generated places so that no two places look alike, and
 * its hole list. */
static int buildBoard(uint8_t *labels, HoleRecord *holes) {
    int holeCount = 0;
    memset(labels, 0, (size_t)kBoard * kBoard);
    for (int i = 0; i < kBoard * kBoard / 3600; ++i) {
        const int x = uniform(0, kBoard - 1), y = uniform(0, kBoard - 1);
        switch (uniform(0, 4)) {
            case 0: {
                disc(labels, kBoard, kBoard, x, y, uniform(8, 16), 180);
                disc(labels, kBoard, kBoard, x, y, 4, 154);
                if (holeCount < kHoleMax)
                    holes[holeCount++] = (HoleRecord){1, x + 1000, y + 2000, 4};
                break;
            }
            case 1: {
                const int r = uniform(5, 12);
                rect(labels, kBoard, kBoard, x - r, y - r, x + r, y + r, 160);
                break;
            }
            case 2:
                rect(labels, kBoard, kBoard, x, y, x + uniform(30, 120), y + uniform(3, 8), 170);
                break;
            case 3:
                rect(labels, kBoard, kBoard, x, y, x + uniform(3, 8), y + uniform(30, 120), 170);
                break;
            default:
                rect(labels, kBoard, kBoard, x, y, x + uniform(15, 40), y + uniform(15, 40), 100);
                break;
        }
    }
    return holeCount;
}

/* The camera window: copper (every label but 0, 152 and 154) as 255, cut at
 * (kCutX, kCutY) from the board, with a break, a bridge and a void planted. */
static void renderWindow(const uint8_t *labels, uint8_t *window, int stride) {
    for (int y = 0; y < kWindow; ++y)
        for (int x = 0; x < kWindow; ++x) {
            const uint8_t l = labels[(size_t)(y + kCutY) * kBoard + x + kCutX];
            window[(size_t)y * stride + x] = (l != 0 && l != 152 && l != 154) ? 255 : 0;
        }
    for (int y = 0; y < kWindow; ++y) {
        for (int x = 0; x < kWindow; ++x) {
            uint8_t *p = &window[(size_t)y * stride + x];
            if (x >= 60 && x < 67 && y >= 150 && y < 200) *p = 0;      /* break */
            if (x >= 200 && x < 212 && y >= 40 && y < 52) *p = 255;    /* extra copper */
            if (x >= 300 && x < 306 && y >= 300 && y < 306) *p ^= 255; /* void or speck */
        }
    }
}

/* ------------------------------------------------------------------------
 * The calls
 * ---------------------------------------------------------------------- */

static void runCopyGray(void) {
    uint8_t src[21], dst[24];
    for (int i = 0; i < 21; ++i) src[i] = (uint8_t)(i * 11 + 3);
    memset(dst, 0xEE, sizeof dst);
    p_copyGray(dst, 4, 6, 4, src, 5, 7, 3);
    int same = 1;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
            same &= dst[y * 6 + x] == ((y < 3 && x < 4) ? src[y * 7 + x] : 0xEE);
    expect(same, "copyGray copies the clipped rectangle and nothing else");
    Digest d = digestStart();
    digestAdd(&d, dst, sizeof dst);
    report("copyGray", d);

    p_copyGray(dst, 4, 3, 4, src, 5, 7, 3);
    const char *message = p_getLastError();
    expect(strcmp(message, "copyGray: destination stride 3 is below its width 4") == 0,
           "rejection text");
    expect(p_getLastError() == message, "last-error text keeps its address");
    d = digestStart();
    digestAdd(&d, message, strlen(message));
    report("getLastError", d);
}

static void runResampling(void) {
    enum { W = 257, S = 263, H = 181 };
    static uint8_t src[S * H];
    grayPicture(src, W, S, H);
    static uint8_t dst[70 * 48];
    Digest d = digestStart();
    const float angles[] = {0.0f, 17.5f, -90.0f, 233.25f};
    for (int i = 0; i < 4; ++i) {
        memset(dst, 0x5A, sizeof dst);
        p_getSubGray(src, W, S, H, dst, 64, 70, 48, 100.25f + 7.0f * i, 80.5f - 3.0f * i,
                     angles[i], false);
        digestAdd(&d, dst, sizeof dst);
    }
    report("getSubGray", d);

    d = digestStart();
    for (int i = 0; i < 4; ++i) {
        memset(dst, 0x5A, sizeof dst);
        p_getSubGrayNearest(src, W, S, H, dst, 63, 70, 47, 120.75f - 5.0f * i, 60.0f + 9.0f * i,
                            angles[i]);
        digestAdd(&d, dst, sizeof dst);
    }
    report("getSubGrayNearest", d);

    enum { CW = 90, CS = 3 * 90 + 6, CH = 60 };
    static uint8_t colour[CS * CH];
    d = digestStart();
    const int skews[] = {7, -11};
    for (int i = 0; i < 2; ++i) {
        for (int k = 0; k < CS * CH; ++k) colour[k] = (uint8_t)((k * 7 + (k / CS) * 13) & 0xFF);
        p_skewDIB(colour, CW, CS, CH, skews[i], false);
        digestAdd(&d, colour, sizeof colour);
    }
    report("skewDIB", d);
}

static void runMasks(void) {
    enum { W = 160, S = 168, H = 120 };
    static uint8_t image[S * H];
    grayPicture(image, W, S, H);
    const int32_t erase[] = {10, 10, 60, 12, 55, 50, 12, 45};
    const int32_t eraseCounts[] = {4};
    const int32_t paint[] = {100, 20, 140, 20, 120, 90};
    const int32_t paintCounts[] = {3};
    p_getMaskGray(NULL, NULL, erase, eraseCounts, 1, paint, paintCounts, 1, image, W, S, H, 3.5f,
                  -2.25f, 12.0f);
    Digest d = digestStart();
    digestAdd(&d, image, sizeof image);
    report("getMaskGray", d);

    grayPicture(image, W, S, H);
    p_ZeroOutboundGray(image, W, S, H, 80, 60, 90, 50, 31.0f, 5, 5, 150, 110);
    d = digestStart();
    digestAdd(&d, image, sizeof image);
    report("ZeroOutboundGray", d);
}

static void runCircles(void) {
    enum { W = 200, S = 208, H = 150 };
    static uint8_t image[S * H];
    memset(image, 0, sizeof image);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const int dx = x - 90, dy = y - 70;
            if (dx * dx + dy * dy <= 25 * 25) image[y * S + x] = 255;
        }
    CircleRecord out[6];
    memset(out, 0, sizeof out);
    /* The drawn circle's centre collects about 135 votes; 120 keeps it alone. */
    const int n = p_findCircles(image, W, S, H, 40, 10, 120, out, 5);
    expect(n >= 1 && fabsf(out[0].x - 90.0f) <= 2.0f && fabsf(out[0].y - 70.0f) <= 2.0f &&
               fabsf(out[0].radius - 25.0f) <= 2.0f,
           "findCircles finds the drawn circle");
    Digest d = digestStart();
    digestInt(&d, n);
    digestAdd(&d, out, sizeof out);
    report("findCircles", d);
    p_test(image, W, S, H); /* writes nothing; must come back */
}

static void runBoard(void) {
    static uint8_t labels[kBoard * kBoard];
    static HoleRecord holes[kHoleMax];
    const int holeCount = buildBoard(labels, holes);

    /* CAD preparation on a copy, stride above the width. */
    enum { RS = kBoard + 8 };
    static uint8_t prepared[RS * kBoard];
    memset(prepared, 0x33, sizeof prepared);
    for (int y = 0; y < kBoard; ++y) memcpy(prepared + (size_t)y * RS, labels + (size_t)y * kBoard, kBoard);
    p_correctInvalidLines(prepared, kBoard, RS, kBoard);
    p_correctCAD(prepared, kBoard, RS, kBoard);
    Digest d = digestStart();
    digestAdd(&d, prepared, sizeof prepared);
    report("correctCAD", d);

    /* The suspected-flaw search of the window in the board. */
    enum { WS = kWindow + 4 };
    static uint8_t ignore[RS * kBoard], window[WS * kWindow], mask[WS * kWindow];
    static uint8_t reference[RS * kBoard];
    for (int y = 0; y < kBoard; ++y) memcpy(reference + (size_t)y * RS, labels + (size_t)y * kBoard, kBoard);
    memset(ignore, 0, sizeof ignore);
    memset(mask, 0, sizeof mask);
    renderWindow(labels, window, WS);
    int32_t position[2] = {-7, -7}, offsets[50], suspects[6 * 100];
    float score = -7.0f;
    memset(offsets, 0, sizeof offsets);
    memset(suspects, 0, sizeof suspects);
    const int found = p_findSuspectedFlaws(reference, ignore, kBoard, RS, kBoard, window, mask,
                                           kWindow, WS, kWindow, 3, 50, 0.8f, position, &score,
                                           10, 50, 0, false, suspects, 6 * 100, offsets, false, 2);
    /* Within a pixel or two of where it was cut: the planted differences and
     * the drilled holes (open in the camera) pull on the fine alignment. */
    expect(abs(position[0] - kCutX) <= 2 && abs(position[1] - kCutY) <= 2,
           "findSuspectedFlaws finds the window");
    expect(found > 0, "findSuspectedFlaws lists the planted flaws");
    d = digestStart();
    digestInt(&d, found);
    digestAdd(&d, position, sizeof position);
    digestAdd(&d, &score, sizeof score);
    digestAdd(&d, suspects, sizeof suspects);
    digestAdd(&d, offsets, sizeof offsets);
    digestAdd(&d, ignore, sizeof ignore);
    digestAdd(&d, window, sizeof window);
    digestAdd(&d, mask, sizeof mask);
    report("findSuspectedFlaws", d);

    /* inspect on the suspects: the reference as drawn, the camera window
     * re-rendered (the search normalised it in place). */
    static FlawCandidate candidates[100];
    const int count = found < 100 ? found : 100;
    for (int i = 0; i < count; ++i) {
        const int32_t *r = suspects + 6 * i;
        candidates[i] = (FlawCandidate){(float)r[0], (float)r[1], (float)r[2], (float)r[3], (float)i};
    }
    for (int y = 0; y < kBoard; ++y) memcpy(reference + (size_t)y * RS, labels + (size_t)y * kBoard, kBoard);
    renderWindow(labels, window, WS);
    float params[35];
    const float limits[35] = {0.30f, 0.30f, 3, 3, 0.5f, 0.25f, 0.25f, 0.25f, 3, 0, 3, 3,
                              3, 0.15f, 3, 3, 3, 3, 36, 3, 3, 3, 3, 3, 3, 3, 3, 3, 0.25f,
                              0.30f, 0.30f, 2, 2, 3, 3};
    memcpy(params, limits, sizeof params);
    const WidthTolerance tolerances[3] = {
        {10.0f, 0.35f, 0.35f, 3.0f, 3.0f, 0.5f, 0.30f, 0.30f, 0.30f},
        {20.0f, 0.30f, 0.30f, 3.0f, 3.0f, 0.5f, 0.25f, 0.25f, 0.25f},
        {99.0f, 0.25f, 0.25f, 4.0f, 4.0f, 0.5f, 0.20f, 0.20f, 0.20f}};
    const InspectControl control = {10, 0, 0, 3, 2};
    const int32_t holeOrigin[2] = {1000 + kCutX, 2000 + kCutY};
    int32_t flaws[7 * 128];
    memset(flaws, 0, sizeof flaws);
    const int written = p_inspect(reference, NULL, kBoard, RS, kBoard, window, kWindow, WS, kWindow,
                                  position[0], position[1], params, 35, candidates, count, 5, 0,
                                  flaws, 7 * 128, NULL, true, (const float *)tolerances, 3,
                                  holeOrigin, holes, holeCount, 1, (const int32_t *)&control);
    expect(written > 0, "inspect records flaws on the planted defects");
    d = digestStart();
    digestInt(&d, written);
    digestAdd(&d, flaws, sizeof flaws);
    digestAdd(&d, candidates, sizeof candidates);
    digestAdd(&d, reference, sizeof reference);
    report("inspect", d);
    fprintf(stderr, "host_calls: board: %d suspects at (%d, %d) score %.4f, %d flaws\n", found,
            position[0], position[1], score, written);
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: host_calls LIBRARY [EXPECTED]\n");
        return 2;
    }
    if (argc > 2 && !(expected = fopen(argv[2], "r"))) {
        fprintf(stderr, "host_calls: cannot read %s\n", argv[2]);
        return 2;
    }
    if (!openLibrary(argv[1]) || !resolveExports()) return 1;

    const char *built = p_getBuildTime();
    expect(built == p_getBuildTime() && strlen(built) == 20, "build time text");
    expect(p_getLastError()[0] == '\0', "last-error text empty at load");
    const float warmUp = p_PrebuildCudaEnv();
    expect(warmUp > 0.0f && p_PrebuildCudaEnv() == 0.0f, "GPU set-up tried once");

    runCopyGray();
    runResampling();
    runMasks();
    runCircles();
    runBoard();

    /* The library stays loaded to the end, as in a host: unloading it would
     * hide its process-wide set-up from the leak checker of the asan build. */
    if (expected) fclose(expected);
    fprintf(stderr, "host_calls: %s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
