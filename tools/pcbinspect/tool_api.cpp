#include "tool_api.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "tool_api_guard.h"

namespace pcbinspect::tool {

thread_local std::string lastToolError;

}  // namespace pcbinspect::tool

extern "C" const char* pcbtool_last_error(void) {
    return pcbinspect::tool::lastToolError.c_str();
}

// ---------------------------------------------------------------------------
// Defects
// ---------------------------------------------------------------------------

#include "defects.h"
#include "evaluate.h"
#include "photo.h"
#include "tool_error.h"

namespace {

using pcbinspect::tool::InputError;

void require(bool ok, const std::string& what) {
    if (!ok) throw InputError("arguments", what);
}

// Writes `found` as PcbtoolDefect records and their record indices, at
// most `capacity` of them, and the number found into *count.
void writeDefects(const std::vector<pcbinspect::tool::Defect>& found, PcbtoolDefect* defects,
                  int32_t capacity, int32_t* record_indices, int32_t* count) {
    *count = static_cast<int32_t>(found.size());
    int32_t next = 0;
    for (std::size_t i = 0; i < found.size() && static_cast<int32_t>(i) < capacity; ++i) {
        const pcbinspect::tool::Defect& d = found[i];
        defects[i] = PcbtoolDefect{d.x1, d.y1, d.x2, d.y2, static_cast<int32_t>(d.type),
                                   d.confidence, next, static_cast<int32_t>(d.records.size())};
        for (int r : d.records) record_indices[next++] = r;
    }
}

// A photograph from a caller's buffer of `height` rows of `stride` samples
// (uint8 when bits is 8, uint16 when 16), `channels` a pixel; `what` names
// it in the messages.
pcbinspect::tool::PhotoImage photoFrom(const void* samples, int32_t width, int32_t height,
                                       int32_t stride, int32_t channels, int32_t bits,
                                       const std::string& what) {
    require(samples != nullptr, what + " pointer is null");
    require(channels == 1 || channels == 3, what + ": channels must be 1 or 3");
    require(bits == 8 || bits == 16, what + ": bits must be 8 or 16");
    require(width > 0 && height > 0 && width <= 32767 && height <= 32767 &&
                stride >= width * channels,
            what + ": sizes out of range or stride below width times channels");
    pcbinspect::tool::PhotoImage photo;
    photo.width = width;
    photo.height = height;
    photo.channels = channels;
    photo.bits = bits;
    photo.samples.resize(static_cast<std::size_t>(width) * height * channels);
    std::size_t k = 0;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width * channels; ++x) {
            const std::size_t at = static_cast<std::size_t>(y) * stride + x;
            photo.samples[k++] = bits == 16 ? static_cast<const std::uint16_t*>(samples)[at]
                                            : static_cast<const std::uint8_t*>(samples)[at];
        }
    return photo;
}

}  // namespace

extern "C" const char* pcbtool_defect_type_name(int32_t type) {
    if (type < 0 || type >= pcbinspect::tool::kDefectTypeCount) return nullptr;
    return pcbinspect::tool::defectTypeName(static_cast<pcbinspect::tool::DefectType>(type)).data();
}

extern "C" int pcbtool_reference_window(const uint8_t* labels, int32_t labels_width,
                                        int32_t labels_stride, int32_t labels_height,
                                        const uint8_t* camera, int32_t width,
                                        int32_t camera_stride, int32_t height,
                                        int32_t position_x, int32_t position_y,
                                        const int32_t* offsets, uint8_t* out,
                                        int32_t out_stride) {
    using namespace pcbinspect::tool;
    return guardedToolCall("pcbtool_reference_window", [&] {
        require(labels && camera && out, "an image pointer is null");
        require(labels_width > 0 && labels_height > 0 && labels_stride >= labels_width,
                "labels of " + std::to_string(labels_width) + " x " +
                    std::to_string(labels_height) + ", stride " + std::to_string(labels_stride));
        require(width > 0 && height > 0 && camera_stride >= width && out_stride >= width,
                "camera window of " + std::to_string(width) + " x " + std::to_string(height) +
                    " with strides " + std::to_string(camera_stride) + " and " +
                    std::to_string(out_stride));
        OffsetGrid grid{};
        if (offsets)
            for (int i = 0; i < 25; ++i) {
                grid.cells[i][0] = offsets[2 * i];
                grid.cells[i][1] = offsets[2 * i + 1];
            }
        const Image window =
            referenceCopperWindow(BinaryView{labels, labels_width, labels_stride, labels_height},
                                  BinaryView{camera, width, camera_stride, height}, position_x,
                                  position_y, offsets ? &grid : nullptr);
        for (int y = 0; y < height; ++y)
            std::copy_n(window.row(y), width, out + static_cast<std::size_t>(y) * out_stride);
    });
}

extern "C" int pcbtool_find_defects(const uint8_t* camera, int32_t camera_stride,
                                    const uint8_t* reference, int32_t reference_stride,
                                    int32_t width, int32_t height, const int32_t* records,
                                    int32_t record_count, int32_t box_margin, int32_t cad,
                                    PcbtoolDefect* defects, int32_t capacity,
                                    int32_t* record_indices, int32_t* count) {
    using namespace pcbinspect::tool;
    return guardedToolCall("pcbtool_find_defects", [&] {
        require(camera && reference && count, "an image or the count pointer is null");
        require(width > 0 && height > 0 && camera_stride >= width && reference_stride >= width,
                "window of " + std::to_string(width) + " x " + std::to_string(height) +
                    " with strides " + std::to_string(camera_stride) + " and " +
                    std::to_string(reference_stride));
        require(record_count >= 0 && (record_count == 0 || records),
                "record count " + std::to_string(record_count));
        require(capacity >= 0 && (capacity == 0 || (defects && (record_count == 0 || record_indices))),
                "capacity " + std::to_string(capacity) + " without arrays");
        require(box_margin >= 0 && box_margin <= 1000,
                "box margin " + std::to_string(box_margin) + " is outside 0 to 1000");
        std::vector<FlawRecord> list(static_cast<std::size_t>(record_count));
        if (record_count > 0)
            std::memcpy(list.data(), records, sizeof(FlawRecord) * list.size());
        DefectSettings s;
        s.boxMargin = box_margin;
        s.cadFamilies = cad != 0;
        const std::vector<Defect> found =
            findDefects(BinaryView{camera, width, camera_stride, height},
                        BinaryView{reference, width, reference_stride, height}, list, s);
        writeDefects(found, defects, capacity, record_indices, count);
    });
}

extern "C" int pcbtool_match_boxes(const int32_t* truth_boxes, const int32_t* truth_types,
                                   int32_t truth_count, const int32_t* boxes,
                                   const int32_t* types, const float* confidences,
                                   int32_t count, double min_iou, int32_t same_type,
                                   int32_t* match) {
    using namespace pcbinspect::tool;
    return guardedToolCall("pcbtool_match_boxes", [&] {
        require(truth_count >= 0 && count >= 0, "negative box count");
        require((truth_count == 0 || (truth_boxes && truth_types)) &&
                    (count == 0 || (boxes && types && confidences && match)),
                "a box array is null");
        std::vector<MatchBox> truth, found;
        for (int32_t i = 0; i < truth_count; ++i)
            truth.push_back(MatchBox{truth_boxes[4 * i], truth_boxes[4 * i + 1],
                                     truth_boxes[4 * i + 2], truth_boxes[4 * i + 3],
                                     truth_types[i], 0.0f});
        for (int32_t i = 0; i < count; ++i)
            found.push_back(MatchBox{boxes[4 * i], boxes[4 * i + 1], boxes[4 * i + 2],
                                     boxes[4 * i + 3], types[i], confidences[i]});
        const std::vector<int> m = matchBoxes(truth, found, min_iou, same_type != 0);
        std::copy(m.begin(), m.end(), match);
    });
}

extern "C" int pcbtool_average_precision(const float* confidences, const uint8_t* correct,
                                         int32_t count, int32_t truth_count, double* ap) {
    using namespace pcbinspect::tool;
    return guardedToolCall("pcbtool_average_precision", [&] {
        require(ap && count >= 0 && (count == 0 || (confidences && correct)),
                "a null array or a negative count");
        std::vector<std::pair<float, bool>> scored;
        for (int32_t i = 0; i < count; ++i) scored.emplace_back(confidences[i], correct[i] != 0);
        *ap = averagePrecision(scored, truth_count);
    });
}

// ---------------------------------------------------------------- photo front end

extern "C" int pcbtool_binarise_photo(const void* samples, int32_t width, int32_t height,
                                      int32_t stride, int32_t channels, int32_t bits,
                                      int32_t copper, int32_t channel, int32_t min_defect_px,
                                      uint8_t* out, int32_t* decision, double* levels) {
    using namespace pcbinspect::tool;
    return guardedToolCall("pcbtool_binarise_photo", [&] {
        require(out != nullptr, "the output pointer is null");
        require(copper >= 0 && copper <= 2, "copper must be 0 (auto), 1 (bright) or 2 (dark)");
        require(channel >= kChannelAuto && channel <= kChannelBlue, "channel must be -1 to 3");
        require(min_defect_px >= 1 && min_defect_px <= 10000, "min_defect_px must be 1 to 10000");
        const PhotoImage photo = photoFrom(samples, width, height, stride, channels, bits, "photo");
        PhotoOptions o;
        o.copper = copper == 0 ? CopperPolarity::Auto
                   : copper == 1 ? CopperPolarity::Bright
                                 : CopperPolarity::Dark;
        o.channel = channel;
        o.minDefectPx = min_defect_px;
        const PhotoResult r = binarisePhoto(photo, o);
        std::copy(r.copper.pixels.begin(), r.copper.pixels.end(), out);
        if (decision) {
            decision[0] = r.copperDark ? 1 : 0;
            decision[1] = r.channel;
            decision[2] = r.specksRemoved;
            decision[3] = r.holesFilled;
        }
        if (levels) {
            levels[0] = r.copperLevel;
            levels[1] = r.substrateLevel;
            levels[2] = r.noise;
            levels[3] = r.smoothing;
        }
    });
}

// ---------------------------------------------------------------------------
// Whole inspections
// ---------------------------------------------------------------------------

#include <sstream>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "report.h"

struct PcbtoolRun {
    pcbinspect::tool::InspectionResult result;
    std::string report;
};

namespace {

// A gray image of the photo's size: its one 8-bit channel as it is, else
// its luma (the pictures' gray).
pcbinspect::tool::Image grayOf(const pcbinspect::tool::PhotoImage& photo) {
    if (photo.channels == 1 && photo.bits == 8) {
        pcbinspect::tool::Image gray(photo.width, photo.height, 1);
        std::copy(photo.samples.begin(), photo.samples.end(), gray.pixels.begin());
        return gray;
    }
    return pcbinspect::tool::grayOfPhoto(photo);
}

pcbinspect::tool::Image mapFrom(const uint8_t* pixels, int32_t width, int32_t height) {
    pcbinspect::tool::Image map(width, height, 1);
    std::copy(pixels, pixels + static_cast<std::size_t>(width) * height, map.pixels.begin());
    return map;
}

}  // namespace

extern "C" int pcbtool_inspect_pair(const void* reference, int32_t reference_width,
                                    int32_t reference_height, int32_t reference_stride,
                                    int32_t reference_channels, int32_t reference_bits,
                                    const void* camera, int32_t camera_width,
                                    int32_t camera_height, int32_t camera_stride,
                                    int32_t camera_channels, int32_t camera_bits,
                                    const uint8_t* ignore, const uint8_t* camera_mask,
                                    const int32_t* holes, int32_t hole_count,
                                    const char* options_json, const char* preset_json,
                                    PcbtoolRun** run) {
    using namespace pcbinspect::tool;
    return guardedToolCall("pcbtool_inspect_pair", [&] {
        require(run != nullptr, "the run pointer is null");
        *run = nullptr;
        require(hole_count >= 0 && (hole_count == 0 || holes),
                "hole count " + std::to_string(hole_count));
        ReadOptions options;
        std::optional<std::array<int, 2>> at;
        if (options_json) {
            const nlohmann::json o = nlohmann::json::parse(options_json, nullptr, false);
            require(o.is_object(), "options are not a JSON object");
            for (const auto& [key, value] : o.items()) {
                if (key == "golden" && value.is_boolean()) {
                    options.golden = value.get<bool>();
                } else if (key == "camera_photo" && value.is_boolean()) {
                    options.cameraPhoto = value.get<bool>();
                } else if (key == "copper" && value.is_string()) {
                    const std::string c = value.get<std::string>();
                    require(c == "auto" || c == "bright" || c == "dark",
                            "copper must be auto, bright or dark, not " + c);
                    options.copperAuto = c == "auto";
                    options.copperDark = c == "dark";
                } else if (key == "threshold" && value.is_number_integer()) {
                    const int v = value.get<int>();
                    require(v >= 0 && v <= 255, "threshold " + std::to_string(v) +
                                                    " is outside 0 to 255");
                    options.threshold = v;
                } else if (key == "at" && value.is_array() && value.size() == 2 &&
                           value[0].is_number_integer() && value[1].is_number_integer()) {
                    at = std::array<int, 2>{value[0].get<int>(), value[1].get<int>()};
                } else if (!(key == "at" && value.is_null())) {
                    require(false, "option \"" + key + "\" is unknown or of the wrong kind");
                }
            }
        }
        Preset preset = defaultPreset();
        if (preset_json) {
            const nlohmann::json p = nlohmann::json::parse(preset_json, nullptr, false);
            require(!p.is_discarded(), "the preset is not JSON");
            preset = presetFromJson(p, "preset");
        }
        const PhotoImage ref = photoFrom(reference, reference_width, reference_height,
                                         reference_stride, reference_channels, reference_bits,
                                         "reference");
        const PhotoImage cam = photoFrom(camera, camera_width, camera_height, camera_stride,
                                         camera_channels, camera_bits, "camera");
        require(options.golden || (ref.channels == 1 && ref.bits == 8),
                "CAD labels must be one channel of 8 bits");
        InspectionInput in;
        in.reference = grayOf(ref);
        in.camera = grayOf(cam);
        if (ignore) in.ignore = mapFrom(ignore, reference_width, reference_height);
        if (camera_mask) in.cameraMask = mapFrom(camera_mask, camera_width, camera_height);
        for (int32_t i = 0; i < hole_count; ++i)
            in.holes.push_back(HoleRecord{holes[4 * i], holes[4 * i + 1], holes[4 * i + 2],
                                          holes[4 * i + 3]});
        in.at = at;
        const bool cameraIsPhoto = options.golden || options.cameraPhoto;
        std::ostringstream notes;
        finishInput(in, options.golden ? &ref : nullptr, cameraIsPhoto ? &cam : nullptr, options,
                    &notes, preset.photo);
        auto made = std::make_unique<PcbtoolRun>();
        made->result = runInspection(in, preset);
        ReportSources sources;
        sources.reference = "reference";
        sources.camera = "camera";
        sources.preset = "preset";
        sources.referenceWidth = reference_width;
        sources.referenceHeight = reference_height;
        sources.cameraWidth = camera_width;
        sources.cameraHeight = camera_height;
        nlohmann::json report = reportJson(sources, made->result);
        report["below_minimum"] = made->result.belowMinimum;
        report["notes"] = notes.str();
        made->report = report.dump();
        *run = made.release();
    });
}

extern "C" const char* pcbtool_run_report(const PcbtoolRun* run) {
    return run ? run->report.c_str() : "";
}

extern "C" int pcbtool_run_records(const PcbtoolRun* run, int32_t what, int32_t* out,
                                   int32_t capacity, int32_t* count) {
    using namespace pcbinspect::tool;
    return guardedToolCall("pcbtool_run_records", [&] {
        require(run && count, "the run or the count pointer is null");
        require(what >= 0 && what <= 2, "what must be 0 (flaws), 1 (suspects) or 2 (offsets)");
        require(capacity >= 0 && (capacity == 0 || out), "capacity without an array");
        const InspectionResult& r = run->result;
        const int32_t* data = what == 0   ? reinterpret_cast<const int32_t*>(r.flaws.data())
                              : what == 1 ? reinterpret_cast<const int32_t*>(r.suspectList.data())
                                          : &r.offsets.cells[0][0];
        const std::size_t n = what == 0 ? r.flaws.size() : what == 1 ? r.suspectList.size() : 1;
        const std::size_t ints = what == 0 ? 7 : what == 1 ? 6 : 50;
        *count = static_cast<int32_t>(n);
        const std::size_t written = std::min<std::size_t>(n, static_cast<std::size_t>(capacity));
        if (written > 0) std::memcpy(out, data, written * ints * sizeof(int32_t));
    });
}

extern "C" int pcbtool_run_defects(const PcbtoolRun* run, PcbtoolDefect* defects,
                                   int32_t capacity, int32_t* record_indices, int32_t* count) {
    using namespace pcbinspect::tool;
    return guardedToolCall("pcbtool_run_defects", [&] {
        require(run && count, "the run or the count pointer is null");
        require(capacity >= 0 && (capacity == 0 || (defects && record_indices)),
                "capacity " + std::to_string(capacity) + " without arrays");
        writeDefects(run->result.defects, defects, capacity, record_indices, count);
    });
}

extern "C" void pcbtool_run_free(PcbtoolRun* run) { delete run; }
