// The tool's own C interface: what the command-line tool and the Python
// package both need beyond the library's exports (grouping records into
// defects, the photo front end, finding a frame on a whole board), compiled
// once into libpcbinspect_tool and called from both. Every function returns
// a status: 0 done, 1 bad input (pcbtool_last_error() says why in one line),
// 2 any other failure. No exception crosses this interface.
#pragma once

#include <stdint.h>

#if defined(_WIN32)
#define PCBTOOL_API __declspec(dllexport)
#else
#define PCBTOOL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The last failure's message on the calling thread ("function: problem").
PCBTOOL_API const char* pcbtool_last_error(void);

// ---------------------------------------------------------------------------
// Defects: one box and one type per flaw (defects.h).
// ---------------------------------------------------------------------------

// One defect: box corners in camera pixels (inclusive), the type (0 open,
// 1 mousebite, 2 short, 3 spur, 4 spurious_copper, 5 pin_hole, 6 width,
// 7 spacing, 8 pad, 9 hole, 10 missing_feature, 11 extra_feature), the
// confidence (0 to 1) and its records: record_count indices starting at
// record_indices[first_record].
typedef struct PcbtoolDefect {
    int32_t x1, y1, x2, y2;
    int32_t type;
    float confidence;
    int32_t first_record, record_count;
} PcbtoolDefect;

// The name of a defect type ("open", ...), or NULL for a number outside 0
// to 11.
PCBTOOL_API const char* pcbtool_defect_type_name(int32_t type);

// The reference copper seen through a placed camera window: `labels` (CAD
// labels, or 0/255 golden copper) is read at the camera pixel plus the
// position plus the offset-grid cell's correction (`offsets`: 25 (dx, dy)
// pairs or NULL), kept per cell only where it brings the copper closer to
// the camera's; writes 0/255 into `out` (the camera's size).
PCBTOOL_API int pcbtool_reference_window(const uint8_t* labels, int32_t labels_width,
                                         int32_t labels_stride, int32_t labels_height,
                                         const uint8_t* camera, int32_t width,
                                         int32_t camera_stride, int32_t height,
                                         int32_t position_x, int32_t position_y,
                                         const int32_t* offsets, uint8_t* out,
                                         int32_t out_stride);

// The defects of a placed inspection from the camera's binary window and
// the reference copper in its frame (both width x height, non-zero copper)
// and `record_count` flaw records (7 ints each, as inspect writes them).
// `cad` non-zero: the width, spacing, pad and hole families name types.
// Writes at most `capacity` defects and their record indices (at most
// record_count of them) and *count, the number of defects found (more than
// capacity: none written beyond it).
PCBTOOL_API int pcbtool_find_defects(const uint8_t* camera, int32_t camera_stride,
                                     const uint8_t* reference, int32_t reference_stride,
                                     int32_t width, int32_t height, const int32_t* records,
                                     int32_t record_count, int32_t box_margin, int32_t cad,
                                     PcbtoolDefect* defects, int32_t capacity,
                                     int32_t* record_indices, int32_t* count);

// Box matching: detections (x1, y1, x2, y2, type per box, `confidences`)
// against truth boxes one to one at IoU above min_iou, greedy by falling
// confidence, types agreeing when same_type is non-zero. Writes, per
// detection, its truth box's index or -1 into `match`.
PCBTOOL_API int pcbtool_match_boxes(const int32_t* truth_boxes, const int32_t* truth_types,
                                    int32_t truth_count, const int32_t* boxes,
                                    const int32_t* types, const float* confidences,
                                    int32_t count, double min_iou, int32_t same_type,
                                    int32_t* match);

// Average precision (all-point interpolated) of `count` detections with
// their confidences and correct flags against truth_count boxes.
PCBTOOL_API int pcbtool_average_precision(const float* confidences, const uint8_t* correct,
                                          int32_t count, int32_t truth_count, double* ap);

// ---------------------------------------------------------------- photo front end

// Binarises a photograph of a bare board as the tool does (photo.h): the
// light flattened, each pixel compared with the midpoint of the local copper
// and substrate levels, islands and holes below min_defect_px removed.
// `samples` holds `height` rows of `stride` samples (uint8 when bits is 8,
// uint16 when 16), `channels` (1 gray, 3 red-green-blue) a pixel. copper:
// 0 auto (the smaller class), 1 bright, 2 dark; channel: -1 auto, 0 luma,
// 1 red, 2 green, 3 blue. Writes width * height bytes, 255 copper and 0
// elsewhere, rows packed, into `out`; `decision` (4 entries, may be null):
// copper dark (0 or 1), the channel read, islands removed, holes filled;
// `levels` (4 entries, may be null): copper level, substrate level, noise,
// smoothing sigma.
PCBTOOL_API int pcbtool_binarise_photo(const void* samples, int32_t width, int32_t height,
                                       int32_t stride, int32_t channels, int32_t bits,
                                       int32_t copper, int32_t channel, int32_t min_defect_px,
                                       uint8_t* out, int32_t* decision, double* levels);

// ---------------------------------------------------------------- whole inspections

// One pair inspected as the tool's inspect command does it (pipeline.h):
// the photo front end for photographs, the camera photo resampled onto the
// golden's geometry, the frame found on a larger reference, the search, the
// inspection and the defects. Images are given as for
// pcbtool_binarise_photo (a CAD reference: one channel of 8 bits, its gray
// levels the labels). `ignore` (the reference's size) and `camera_mask`
// (the camera's), rows packed, may be NULL; `holes` holds hole_count
// records of four ints (kind, x, y, radius) in reference pixels.
// `options_json` (may be NULL) is an object of: "golden" (bool), "copper"
// ("auto", "bright", "dark"), "threshold" (0 to 255, 0: the default rule),
// "camera_photo" (bool), "at" ([x, y]: the frame's rough place).
// `preset_json` (may be NULL: the built-in preset) is a preset as the
// tool's --preset reads it. On success *run receives the result, to be
// read with the pcbtool_run_* functions and released by pcbtool_run_free.
typedef struct PcbtoolRun PcbtoolRun;
PCBTOOL_API int pcbtool_inspect_pair(const void* reference, int32_t reference_width,
                                     int32_t reference_height, int32_t reference_stride,
                                     int32_t reference_channels, int32_t reference_bits,
                                     const void* camera, int32_t camera_width,
                                     int32_t camera_height, int32_t camera_stride,
                                     int32_t camera_channels, int32_t camera_bits,
                                     const uint8_t* ignore, const uint8_t* camera_mask,
                                     const int32_t* holes, int32_t hole_count,
                                     const char* options_json, const char* preset_json,
                                     PcbtoolRun** run);

// The run's report as the tool writes report.json (placement, framing,
// timings, flaws, suspects, defects), with "below_minimum" (placed with a
// score below the preset's minimum) and "notes" (the photo front end's
// messages). The text lives as long as the run.
PCBTOOL_API const char* pcbtool_run_report(const PcbtoolRun* run);

// The run's records as ints: what 0, the flaw records (7 ints each, as
// inspect writes them, in reference and camera pixels); 1, the suspects
// the search handed on (6 ints each); 2, the offset grid (50 ints).
// Writes at most `capacity` records and *count, how many there are.
PCBTOOL_API int pcbtool_run_records(const PcbtoolRun* run, int32_t what, int32_t* out,
                                    int32_t capacity, int32_t* count);

// The run's defects, written as by pcbtool_find_defects.
PCBTOOL_API int pcbtool_run_defects(const PcbtoolRun* run, PcbtoolDefect* defects,
                                    int32_t capacity, int32_t* record_indices,
                                    int32_t* count);

PCBTOOL_API void pcbtool_run_free(PcbtoolRun* run);

#ifdef __cplusplus
}
#endif
