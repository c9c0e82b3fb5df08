/*
 * pcbinspect — automated optical inspection of printed circuit boards.
 *
 * The one public header of the library. Every function here has C linkage and
 * an undecorated name. Images are passed as caller-owned buffers in groups of
 * four arguments: pointer to the first byte of the top row, width in pixels,
 * stride (bytes from one row to the next, at least the width) and height in
 * rows. Pixel (x, y) is the byte at pointer + y * stride + x. The library reads
 * and writes only inside width x height of a buffer and keeps no pointer to it
 * after a call returns.
 *
 * Bad input (a null buffer the call needs, a size below 1, a stride below the
 * width, sizes whose product overflows) makes a call do nothing and return its
 * "nothing done" result (0, 0.0f or nothing); a one-line message naming the
 * function and the problem is then left in the text of getLastError().
 * Successful calls leave that text as it was. No exception leaves a call.
 *
 * Concurrent calls are safe on disjoint buffers.
 */
#ifndef PCBINSPECT_EXPORTS_H
#define PCBINSPECT_EXPORTS_H

#include <stdint.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

/* PCBINSPECT_API marks the exported functions. Building the shared library
 * defines PCBINSPECT_BUILDING; a static build defines PCBINSPECT_STATIC. */
#if defined(PCBINSPECT_STATIC)
#define PCBINSPECT_API
#elif defined(_WIN32)
#if defined(PCBINSPECT_BUILDING)
#define PCBINSPECT_API __declspec(dllexport)
#else
#define PCBINSPECT_API __declspec(dllimport)
#endif
#else
#define PCBINSPECT_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Records that cross the boundary
 * ------------------------------------------------------------------------- */

/* A point where the camera image may differ from the reference. Positions are
 * rounded to whole pixels as trunc(value + 0.5). `carried` moves with the
 * record when inspect reorders the list but is never read. */
typedef struct FlawCandidate {
    float refX, refY; /* position in the reference image */
    float camX, camY; /* the same point in the camera image */
    float carried;
} FlawCandidate;

/* A drilled hole of the hole list, in hole-list coordinates. Kind 12 marks
 * holes whose size is measured; the hole pass skips kinds 11 and 12. */
typedef struct HoleRecord {
    int32_t kind;
    int32_t x, y;
    int32_t radius;
} HoleRecord;

/* One flaw written by inspect, seven ints. */
typedef struct FlawRecord {
    int32_t code;   /* flaw code, 1 to 99998; 12 and 1401..1404 for holes */
    int32_t score;  /* trunc(score * 100) of the deciding check */
    int32_t refX, refY;
    int32_t camX, camY;
    int32_t region; /* region class at the candidate: -1 none, 0 to 4 */
} FlawRecord;

/* The control block of inspect, five ints. */
typedef struct InspectControl {
    int32_t tolerancePercent; /* t = value / 100, clamped to [0, 1] */
    int32_t unused;
    int32_t padAreaLimit;     /* limit of the pad-area test */
    int32_t lineWidthBound;   /* reference width at or below which ... */
    int32_t cameraWidthBound; /* ... a camera width at or below this is narrowed */
} InspectControl;

/* A record of the width-tolerance table, nine floats, looked up by the
 * smallest key above a measured width. Limits are ratios of the reference
 * measure; fields 1 to 5 are limits of the re-check stages. */
typedef struct WidthTolerance {
    float key;             /* nominal line width in pixels */
    float excessLimit1;    /* field 1 */
    float missingLimit1;   /* field 2 */
    float excessLimit2;    /* field 3 */
    float missingLimit2;   /* field 4 */
    float differenceLimit; /* field 5 */
    float widenLimit;      /* field 6 */
    float narrowLimit;     /* field 7 */
    float spacingLimit;    /* field 8 */
} WidthTolerance;

/* Local corrections of the camera shift over a 5 x 5 division of the camera
 * image, row-major: cell (column, row) starts at camera x = column *
 * (camWidth / 5) and camera y = row * (camHeight / 5). */
typedef struct OffsetGrid {
    int32_t cells[25][2]; /* (dx, dy) per cell */
} OffsetGrid;

/* One suspected flaw written by findSuspectedFlaws, six ints. */
typedef struct SuspectRecord {
    int32_t refX, refY;    /* position in the reference */
    int32_t windowX, windowY; /* position in the camera window */
    int32_t agreement;     /* trunc(patch agreement * 100) */
    int32_t zero;          /* always 0 */
} SuspectRecord;

/* One circle written by findCircles, four floats. */
typedef struct CircleRecord {
    float x, y;
    float radius;
    float vote;
} CircleRecord;

/* ---------------------------------------------------------------------------
 * Process-wide texts and copies
 * ------------------------------------------------------------------------- */

/* The last-error text: NUL-terminated, at most 255 characters, empty until a
 * call rejects its input. The pointer is the same for the life of the process. */
PCBINSPECT_API const char *getLastError(void);

/* The library's build date and time, "Mmm dd yyyy hh:mm:ss" (day padded with a
 * blank). Rewrites one process-wide 30-byte text on every call and returns the
 * same pointer every time. */
PCBINSPECT_API const char *getBuildTime(void);

/* Copies src into dst with their top-left corners aligned, clipped to both.
 * Bytes of dst outside the copied rectangle, and between width and stride,
 * are left as they were. */
PCBINSPECT_API void copyGray(uint8_t *dst, int32_t dstWidth, int32_t dstStride, int32_t dstHeight,
                             const uint8_t *src, int32_t srcWidth, int32_t srcStride,
                             int32_t srcHeight);

/* ---------------------------------------------------------------------------
 * Inspection
 * ------------------------------------------------------------------------- */

/* Examines the camera and reference windows around each candidate and writes
 * one FlawRecord (7 ints) per flaw into `flaws`, then checks the hole list when
 * checkHoles is non-zero. The reference is corrected in place first
 * (correctInvalidLines, correctCAD); the candidate list is reordered by the
 * suppression of candidates within suppressRadius of a recorded flaw. Stops
 * before a record that would not fit in flawCapacity ints. `params` holds up to
 * 35 floats (entries at and beyond paramCount read as 0); `toleranceTable`
 * holds toleranceCount WidthTolerance records; `control` is an InspectControl;
 * `offsetGrid` may be null. reserved1 and reserved2 are never read.
 * Returns the number of records written. */
PCBINSPECT_API int32_t inspect(uint8_t *ref, const void *reserved1, int32_t refWidth,
                               int32_t refStride, int32_t refHeight, const uint8_t *cam,
                               int32_t camWidth, int32_t camStride, int32_t camHeight,
                               int32_t camShiftX, int32_t camShiftY, const float *params,
                               int32_t paramCount, FlawCandidate *candidates,
                               int32_t candidateCount, int32_t suppressRadius, int64_t reserved2,
                               int32_t *flaws, int32_t flawCapacity, const OffsetGrid *offsetGrid,
                               bool checkLines, const float *toleranceTable,
                               int32_t toleranceCount, const int32_t *holeOrigin,
                               const HoleRecord *holes, int32_t holeCount, int32_t checkHoles,
                               const int32_t *control);

/* ---------------------------------------------------------------------------
 * CAD preparation (in place on the reference label image)
 * ------------------------------------------------------------------------- */

/* Repaints with 255 every wide line network of label 170 that has at least
 * four ends far apart. */
PCBINSPECT_API void correctInvalidLines(uint8_t *image, int32_t width, int32_t stride,
                                        int32_t height);

/* Absorbs pixels of label 170 into the pads of labels 160 and 180 around them. */
PCBINSPECT_API void correctCAD(uint8_t *image, int32_t width, int32_t stride, int32_t height);

/* ---------------------------------------------------------------------------
 * GPU environment and resampling
 * ------------------------------------------------------------------------- */

/* Sets up the graphics processor once and warms it up. Returns the warm-up
 * figure (0.1 on the first call) or 0.0 when the set-up was already tried. */
PCBINSPECT_API float PrebuildCudaEnv(void);

/* Cuts a dst-sized window centred at (centerX, centerY) of src, rotated by
 * angle degrees, sampling bilinearly; on the device when useGpu and a device
 * is usable. */
PCBINSPECT_API void getSubGray(const uint8_t *src, int32_t srcWidth, int32_t srcStride,
                               int32_t srcHeight, uint8_t *dst, int32_t dstWidth,
                               int32_t dstStride, int32_t dstHeight, float centerX,
                               float centerY, float angle, bool useGpu);

/* As getSubGray with nearest-pixel sampling, on the CPU; clears dst first. */
PCBINSPECT_API void getSubGrayNearest(const uint8_t *src, int32_t srcWidth, int32_t srcStride,
                                      int32_t srcHeight, uint8_t *dst, int32_t dstWidth,
                                      int32_t dstStride, int32_t dstHeight, float centerX,
                                      float centerY, float angle);

/* Removes a vertical skew in place from a 24-bit colour image (blue, green,
 * red per pixel): `skew` is the displacement in rows of the rightmost column
 * against the leftmost one. */
PCBINSPECT_API void skewDIB(uint8_t *pixels, int32_t width, int32_t stride, int32_t height,
                            int32_t skew, bool useGpu);

/* ---------------------------------------------------------------------------
 * Suspected-flaw search
 * ------------------------------------------------------------------------- */

/* Locates the camera window C (mask D) in the reference R (ignore map G),
 * writes the window's top-left corner to positionOut and its alignment score to
 * scoreOut, and writes one SuspectRecord (6 ints) per suspected flaw into
 * records (capacity in ints). G grows around label 152 and C, D are
 * normalised in place. offsetsOut, when not null, receives 25 (dx, dy) pairs.
 * Returns the number of records written. */
PCBINSPECT_API int32_t findSuspectedFlaws(
    const uint8_t *reference, uint8_t *ignoreMap, int32_t refWidth, int32_t refStride,
    int32_t refHeight, uint8_t *window, uint8_t *windowMask, int32_t windowWidth,
    int32_t windowStride, int32_t windowHeight, int32_t grow, int32_t border, float threshold,
    int32_t *positionOut, float *scoreOut, int32_t spacing, int32_t emptySpacing,
    int32_t exclusionRadius, bool code151Excludes, int32_t *records, int32_t capacity,
    int32_t *offsetsOut, bool exhaustive, int32_t mode);

/* ---------------------------------------------------------------------------
 * Masks
 * ------------------------------------------------------------------------- */

/* Turns the image into a 0/255 mask: thresholded at one third of its
 * resolution, insides of the erase polygons cleared, insides of the paint
 * polygons set. Polygons are packed (x, y) int pairs with a count per polygon,
 * in board coordinates shifted by (offsetX, offsetY) and rotated by angle
 * degrees against the image. reserved0 and reserved1 are never read. */
PCBINSPECT_API void getMaskGray(const void *reserved0, const void *reserved1,
                                const int32_t *erasePoints, const int32_t *eraseCounts,
                                int32_t eraseCount, const int32_t *paintPoints,
                                const int32_t *paintCounts, int32_t paintCount, uint8_t *image,
                                int32_t width, int32_t stride, int32_t height, float offsetX,
                                float offsetY, float angle);

/* Clears every pixel of the window (windowX, windowY, windowWidth,
 * windowHeight) of the image that lies outside the rectangle of the given
 * centre and size rotated by angle degrees. */
PCBINSPECT_API void ZeroOutboundGray(uint8_t *image, int32_t width, int32_t stride,
                                     int32_t height, int32_t centerX, int32_t centerY,
                                     int32_t rectWidth, int32_t rectHeight, float angle,
                                     int32_t windowX, int32_t windowY, int32_t windowWidth,
                                     int32_t windowHeight);

/* ---------------------------------------------------------------------------
 * Circle finding
 * ------------------------------------------------------------------------- */

/* Finds circles of radii minRadius..maxRadius with a Hough transform and
 * writes CircleRecords into out, which must hold maxCount + 1 records.
 * Returns the number of circles written. */
PCBINSPECT_API int32_t findCircles(const uint8_t *image, int32_t width, int32_t stride,
                                   int32_t height, int32_t maxRadius, int32_t minRadius,
                                   int32_t voteThreshold, CircleRecord *out, int32_t maxCount);

/* Runs the circle detector with fixed settings and discards the result. */
PCBINSPECT_API void test(const uint8_t *image, int32_t width, int32_t stride, int32_t height);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(FlawCandidate) == 20, "FlawCandidate is 5 floats");
static_assert(sizeof(HoleRecord) == 16, "HoleRecord is 4 ints");
static_assert(sizeof(FlawRecord) == 28, "FlawRecord is 7 ints");
static_assert(sizeof(InspectControl) == 20, "InspectControl is 5 ints");
static_assert(sizeof(WidthTolerance) == 36, "WidthTolerance is 9 floats");
static_assert(sizeof(OffsetGrid) == 200, "OffsetGrid is 25 int pairs");
static_assert(sizeof(SuspectRecord) == 24, "SuspectRecord is 6 ints");
static_assert(sizeof(CircleRecord) == 16, "CircleRecord is 4 floats");
#else
_Static_assert(sizeof(FlawCandidate) == 20, "FlawCandidate is 5 floats");
_Static_assert(sizeof(HoleRecord) == 16, "HoleRecord is 4 ints");
_Static_assert(sizeof(FlawRecord) == 28, "FlawRecord is 7 ints");
_Static_assert(sizeof(InspectControl) == 20, "InspectControl is 5 ints");
_Static_assert(sizeof(WidthTolerance) == 36, "WidthTolerance is 9 floats");
_Static_assert(sizeof(OffsetGrid) == 200, "OffsetGrid is 25 int pairs");
_Static_assert(sizeof(SuspectRecord) == 24, "SuspectRecord is 6 ints");
_Static_assert(sizeof(CircleRecord) == 16, "CircleRecord is 4 floats");
#endif

#endif /* PCBINSPECT_EXPORTS_H */
