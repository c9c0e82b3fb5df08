// pcbinspect: inspect a camera image of a board against its CAD reference,
// run the built-in demo board, or inspect many pairs at once.
//
// Exit status: 0 done, 2 bad input (one line on standard error naming the
// file and the problem; nothing half-written), 3 the camera image could not
// be placed in its reference (the report says so, without flaws), 1 any
// other failure.
#include <cstdio>
#include <filesystem>
#include <iostream>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "demo.h"
#include "evaluate.h"
#ifdef PCBINSPECT_HAVE_RENDER
#include "render.h"
#endif
#include "flaw_codes.h"
#include "preset.h"
#include "report.h"
#include "tool_error.h"

namespace {

using namespace pcbinspect::tool;

Preset presetFrom(const std::string& path) {
    return path.empty() ? defaultPreset() : loadPreset(path);
}

std::string presetName(const std::string& path) { return path.empty() ? "default" : path; }

int run(int argc, char** argv) {
    CLI::App app{"pcbinspect: automated optical inspection of printed circuit boards"};
    app.require_subcommand(1);

    std::string reference, camera, ignore, mask, presetPath, out, list, copper = "auto";
    std::string saveBinary;
    bool cameraPhoto = false;
    int threshold = 0, jobs = 1, margin = 4, count = 10;
    bool describe = false, golden = false, pictures = false;
    app.footer("Exit status: 0 done, 1 failure, 2 bad input, 3 camera image not placed "
               "(alignment score below search.min_alignment_score, or too little copper).");
    // How the images of a pair are read, for inspect, batch and evaluate.
    auto addReading = [&](CLI::App* c) {
        c->add_option("--threshold", threshold,
                      "camera gray level at and above which a pixel is copper (default: any "
                      "non-zero pixel; 128 with --golden or --copper dark)");
        c->add_flag("--golden", golden,
                    "REFERENCE is an image of a good board (gray or colour PNG/JPEG), not CAD "
                    "labels: it is binarised like the camera image");
        c->add_option("--copper", copper,
                      "bright: copper at or above the threshold; dark: at or below it; auto "
                      "(default): photographs' copper is the class covering less of the golden "
                      "image, other images keep bright copper")
            ->check(CLI::IsMember({"auto", "bright", "dark"}));
        c->add_flag("--camera-photo", cameraPhoto,
                    "the camera image is a photograph (gray or colour, 8 or 16 bits, PNG, TIFF "
                    "or JPEG), binarised by the photo front end; a gray camera image of more "
                    "than 16 gray levels is taken for one anyway (unless --threshold is given)");
        c->add_option("--save-binary", saveBinary,
                      "write the binarised golden and camera images (golden-binary.png, "
                      "camera-binary.png) into this folder (batch: one folder per pair)");
    };

    CLI::App* inspect = app.add_subcommand(
        "inspect", "place a camera image in its reference, find and classify the flaws");
    inspect->add_option("REFERENCE", reference, "reference label image, 8-bit gray PNG")
        ->required();
    inspect->add_option("CAMERA", camera, "camera image, 8-bit gray PNG or JPEG")->required();
    inspect->add_option("--ignore", ignore, "ignore map of the reference's size, non-zero ignored");
    inspect->add_option("--camera-mask", mask,
                        "mask of the camera image's size, non-zero ignored");
    addReading(inspect);
    std::string holes;
    inspect->add_option("--holes", holes,
                        "hole list as `render` writes it (holes.csv: kind,x,y,r in reference "
                        "pixels); plated holes are checked for being open and for their size");
    inspect->add_option("--preset", presetPath, "preset JSON (default: the built-in preset)");
    std::string at;
    inspect->add_option("--at", at,
                        "X,Y: the camera frame's top-left corner in reference pixels, roughly "
                        "(looked for within 150 pixels); without it a reference much larger "
                        "than the frame is searched for the frame");
    inspect->add_option("--out", out, "output folder")->default_val("pcbinspect-report");

    CLI::App* demo = app.add_subcommand(
        "demo", "build a synthetic board with planted flaws, inspect it, compare");
    demo->add_option("--out", out, "output folder")->default_val("pcbinspect-demo");
    demo->add_option("--preset", presetPath, "preset JSON (default: the built-in preset)");
    int randomBoards = 0;
    unsigned seed = 1;
    demo->add_option("--random", randomBoards,
                     "instead: inspect this many random boards with 40 planted defects each "
                     "and print recall and precision by defect kind")
        ->check(CLI::Range(1, 10000));
    demo->add_option("--seed", seed, "seed of the first random board")->default_val(1);
    bool listMisses = false;
    demo->add_flag("--misses", listMisses, "with --random: list every missed defect and every false call");

    // Defects (one box and type each) or the library's flaw records in the
    // table, report.csv and overlay.png.
    bool recordView = false;
    inspect->add_flag("--records", recordView,
                      "table, report.csv and overlay.png list the flaw records instead of the "
                      "defects");
    std::string match = "point";
    CLI::App* batch = app.add_subcommand("batch", "inspect many pairs listed in a file");
    batch->add_option("LIST", list,
                      "one pair per line: REFERENCE CAMERA [IGNORE [MASK]], '-' for none")
        ->required();
    batch->add_option("--out", out, "output folder")->default_val("pcbinspect-batch");
    batch->add_flag("--records", recordView,
                    "each report.csv and overlay.png list the flaw records instead of the "
                    "defects");
    batch->add_option("--jobs", jobs, "pairs inspected at once")->default_val(1)
        ->check(CLI::Range(1, 256));
    addReading(batch);
    batch->add_option("--preset", presetPath, "preset JSON (default: the built-in preset)");

    CLI::App* evaluate = app.add_subcommand(
        "evaluate", "inspect annotated pairs and measure recall, precision and family agreement");
    evaluate->add_option("LIST", list,
                         "one pair per line: REFERENCE CAMERA TRUTH; TRUTH has one defect per "
                         "line, x1 y1 x2 y2 type (camera pixels)")
        ->required();
    addReading(evaluate);
    evaluate->add_option("--preset", presetPath, "preset JSON (default: the built-in preset)");
    evaluate->add_option("--margin", margin, "pixels a flaw may lie outside its box")
        ->default_val(4)
        ->check(CLI::Range(0, 1000));
    evaluate->add_option("--jobs", jobs, "pairs inspected at once")->default_val(1)
        ->check(CLI::Range(1, 256));
    evaluate->add_flag("--pictures", pictures, "one overlay per pair with the truth boxes");
    evaluate->add_option("--match", match,
                         "point: a record on a box finds it; box: also match the defects' "
                         "boxes one to one at IoU > 0.33 with their types (precision, average "
                         "precision, box_confusion.csv)")
        ->check(CLI::IsMember({"point", "box"}));
    evaluate->add_option("--out", out, "output folder")->default_val("pcbinspect-evaluation");

    CLI::App* synth = app.add_subcommand(
        "synth", "write random boards with planted defects and truth files for evaluate");
    synth->add_option("--count", count, "boards")->default_val(10)->check(CLI::Range(1, 10000));
    synth->add_option("--seed", seed, "seed of the first board")->default_val(1);
    std::string photoLevel;
    synth->add_option("--photo", photoLevel,
                      "also write golden and camera photographs (JPEG: uneven light, blur, "
                      "noise; the camera turned, scaled and shifted): mild (the default) or hard")
        ->expected(0, 1)
        ->check(CLI::IsMember({"", "true", "mild", "hard"}));
    bool field = false;
    synth->add_flag("--field", field,
                    "field-like boards: 640 x 640 camera windows of dense fine lines (4 to 8 "
                    "pixels wide and apart) with five to seven defects each");
    synth->add_option("--out", out, "output folder")->required();

#ifdef PCBINSPECT_HAVE_RENDER
    RenderOptions render;
    double dpi = 0.0;
    CLI::App* renderCommand = app.add_subcommand(
        "render", "draw a Gerber copper layer and Excellon drill files into a reference of CAD "
                  "labels with its hole list");
    renderCommand->add_option("--copper", render.copper, "Gerber (RS-274X) copper layer")
        ->required();
    renderCommand->add_option("--drill", render.drills, "Excellon drill file (repeatable)");
    CLI::Option* pixel = renderCommand->add_option("--pixel-um", render.pixelMicrons,
                                                   "pixel size in micrometres (default 25.4)");
    renderCommand->add_option("--dpi", dpi, "pixels per inch instead of --pixel-um")
        ->excludes(pixel)
        ->check(CLI::PositiveNumber);
    renderCommand->add_option("--margin-px", render.margin,
                              "background around the board, pixels")
        ->default_val(60);
    renderCommand->add_option("--parse-limit-s", render.parseSeconds,
                              "refuse a file libgerbv does not parse within this many seconds")
        ->default_val(60.0)
        ->check(CLI::PositiveNumber);
    renderCommand->add_flag("--verbose", render.verbose, "show libgerbv's own messages");
    renderCommand->add_flag("--mirror", render.mirror,
                            "mirror left to right (columns reversed): a bottom layer as the "
                            "camera sees it");
    renderCommand->add_option("--out", out, "output folder")->default_val("pcbinspect-render");
#else
    CLI::App* renderCommand =
        app.add_subcommand("render", "(not built: this pcbinspect was built without libgerbv)");
    renderCommand->allow_extras();
#endif

    CLI::App* preset = app.add_subcommand("preset", "print the default preset as JSON");
    preset->add_flag("--describe", describe, "print the meaning of every key instead");
    CLI::App* codes = app.add_subcommand("codes", "print the table of flaw codes");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "pcbinspect: " << e.what() << " (see --help)\n";
        return 2;
    }

    ReadOptions reading;
    reading.threshold = threshold;
    reading.golden = golden;
    reading.copperDark = copper == "dark";
    reading.copperAuto = copper == "auto";
    reading.cameraPhoto = cameraPhoto;
    reading.saveBinary = saveBinary;
    reading.records = recordView;
    if (*inspect) {
        const Preset p = presetFrom(presetPath);
        const InspectionResult r =
            inspectPair(PairPaths{reference, camera, ignore, mask, holes,
                                  at.empty() ? std::optional<std::array<int, 2>>() : parsePosition("--at", at)},
                        reading, p,
                        presetName(presetPath), out, &std::cerr);
        if (!r.placed) {
            std::cerr << "pcbinspect: " << camera << ": not placed (";
            if (r.belowMinimum)
                std::fprintf(stderr, "alignment score %.3f is below %.3f)\n", r.alignmentScore,
                             r.minAlignmentScore);
            else
                std::cerr << "too little copper to align)\n";
            std::cout << "report: " << (std::filesystem::path(out) / "report.json").string()
                      << '\n';
            return 3;
        }
        if (r.framing == "found" || r.framing == "at")
            std::printf("frame found at %d,%d in the reference (%s, %.0f ms)\n", r.positionX,
                        r.positionY, r.framing == "at" ? "near --at" : "registration on the whole reference",
                        r.registrationMs);
        std::cout << flawTable(r, recordView);
        std::printf("search %.0f ms, inspection %.0f ms, defects %.1f ms\n", r.searchMs,
                    r.inspectMs, r.defectsMs);
        std::cout << "report: " << (std::filesystem::path(out) / "report.json").string()
                  << ", picture: " << (std::filesystem::path(out) / "overlay.png").string()
                  << '\n';
        return 0;
    }
    if (*demo && randomBoards > 0) {
        inspectRandomBoards(presetFrom(presetPath), seed, randomBoards, &std::cout, listMisses);
        return 0;
    }
    if (*demo) return runDemo(presetFrom(presetPath), presetName(presetPath), out, std::cout);
    if (*batch) {
        const Preset p = presetFrom(presetPath);
        const auto pairs = readBatchList(list);
        settleLibraryThreads(std::min<int>(jobs, static_cast<int>(pairs.size())));
        return runBatch(pairs, reading, p, presetName(presetPath), out, jobs, std::cerr) > 0
                   ? 2
                   : 0;
    }
    if (*evaluate) {
        const Preset p = presetFrom(presetPath);
        const auto pairs = readEvaluationList(list);
        EvaluationOptions o;
        o.read = reading;
        o.margin = margin;
        o.jobs = jobs;
        o.libraryThreads = settleLibraryThreads(std::min<int>(jobs, static_cast<int>(pairs.size())));
        o.pictures = pictures;
        o.boxes = match == "box";
        const EvaluationSummary s = runEvaluation(pairs, o, p, out, std::cerr);
        std::cout << evaluationReport(s, p);
        return s.failed > 0 ? 2 : 0;
    }
    if (*synth)
        return writeSyntheticBoards(count, seed,
                                    synth->count("--photo") == 0 ? PhotoLevel::None
                                    : photoLevel == "hard"       ? PhotoLevel::Hard
                                                                 : PhotoLevel::Mild,
                                    out, std::cout, field);
#ifndef PCBINSPECT_HAVE_RENDER
    if (*renderCommand) {
        std::cerr << "pcbinspect: render: this pcbinspect was built without libgerbv (Debian: "
                     "gerbv libgtk2.0-dev libcairo2-dev)\n";
        return 2;
    }
#else
    if (*renderCommand) {
        if (dpi > 0.0) render.pixelMicrons = 25400.0 / dpi;
        const RenderedBoard b = renderBoard(render, &std::cerr);
        writeRender(b, render, out);
        std::printf("%d x %d reference at %.2f um a pixel, %zu holes", b.labels.width,
                    b.labels.height, b.pixelMicrons, b.holes.size());
        if (b.messages > 0 && !render.verbose)
            std::printf(" (libgerbv said %d things; --verbose shows them)", b.messages);
        std::printf("\nreference: %s\n", (std::filesystem::path(out) / "reference.png").c_str());
        return 0;
    }
#endif
    if (*preset) {
        if (describe)
            std::cout << describePresetKeys();
        else
            std::cout << presetToJson(defaultPreset()).dump(2) << '\n';
        return 0;
    }
    if (*codes) {
        std::printf("%6s  %-38s %s\n", "code", "flaw", "family");
        for (const FlawCode& c : flawCodes())
            std::printf("%6d  %-38s %s\n", c.code, std::string(c.name).c_str(),
                        std::string(familyName(c.family)).c_str());
        return 0;
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    keepWorkingMemory();
    try {
        return run(argc, argv);
    } catch (const InputError& e) {
        std::cerr << "pcbinspect: " << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "pcbinspect: failed: " << e.what() << '\n';
        return 1;
    }
}
