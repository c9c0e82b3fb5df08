#include "commands.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <chrono>
#include <fstream>
#include <mutex>
#include <ostream>
#include <sstream>
#include <thread>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <opencv2/core/utility.hpp>

#include "photo.h"
#include "report.h"
#include "tool_error.h"

namespace pcbinspect::tool {

namespace fs = std::filesystem;

std::vector<HoleRecord> readHolesCsv(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw InputError(path, "cannot open hole list");
    std::vector<HoleRecord> holes;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (number == 1 && line.rfind("kind", 0) == 0) continue;  // the header
        int v[4];
        char tail = 0;
        if (std::sscanf(line.c_str(), "%d,%d,%d,%d%c", &v[0], &v[1], &v[2], &v[3], &tail) != 4)
            throw InputError(path, "line " + std::to_string(number) +
                                       ": expected kind,x,y,r (four integers)");
        if (v[3] < 0)
            throw InputError(path, "line " + std::to_string(number) + ": radius " +
                                       std::to_string(v[3]) + " is negative");
        holes.push_back(HoleRecord{v[0], v[1], v[2], v[3]});
        if (v[0] == kHolePlated) holes.push_back(HoleRecord{kHoleMeasured, v[1], v[2], v[3]});
    }
    return holes;
}

std::array<int, 2> parsePosition(const std::string& subject, const std::string& text) {
    int x = 0, y = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%d,%d%c", &x, &y, &tail) != 2)
        throw InputError(subject, "expected X,Y (two integers), found '" + text + "'");
    return {x, y};
}

int effectiveThreshold(const ReadOptions& o) {
    return (o.golden || o.copperDark) && o.threshold == 0 ? kGoldenThreshold : o.threshold;
}

void finishInput(InspectionInput& in, const PhotoImage* golden, const PhotoImage* camera,
                 const ReadOptions& options, std::ostream* notes,
                 const PhotoSettings& photoSettings, double* photoMs) {
    using Clock = std::chrono::steady_clock;
    double spent = 0.0;
    // Adds the time of one front-end step to `spent`.
    auto timed = [&spent](auto&& step) {
        const Clock::time_point t = Clock::now();
        auto result = step();
        spent += std::chrono::duration<double, std::milli>(Clock::now() - t).count();
        return result;
    };
    // An explicit threshold keeps the global rule for every image.
    const bool frontEnd = options.threshold == 0;
    PhotoOptions photo;
    photo.copper = options.copperAuto   ? CopperPolarity::Auto
                   : options.copperDark ? CopperPolarity::Dark
                                        : CopperPolarity::Bright;
    photo.minDefectPx = photoSettings.minDefectPx;
    // The first photograph of a pair decides polarity and channel for both.
    auto binarise = [&](const PhotoImage& p, const char* what) {
        const PhotoResult r = timed([&] { return binarisePhoto(p, photo); });
        photo.copper = r.copperDark ? CopperPolarity::Dark : CopperPolarity::Bright;
        photo.channel = r.channel;
        if (notes) *notes << what << ": " << describePhotoResult(r) << '\n';
        return r.copper;
    };
    Image resampledOutside;
    if (options.golden) {
        if (frontEnd && golden && !isTwoLevel(in.reference))
            in.referenceCopper = binarise(*golden, "golden");
        if (frontEnd && camera && !isTwoLevel(in.camera))
            in.cameraCopper = binarise(*camera, "camera");
        // Two photographs of one size: the camera photo is resampled onto
        // the golden's geometry and binarised again, so that the search and
        // the inspection compare edges that lie in the same place rather
        // than leaving a turn or scale change to the local cell offsets.
        if (in.referenceCopper && in.cameraCopper && !in.at) {
            const std::optional<GeometryEstimate> e = timed(
                [&] { return estimateCameraGeometry(*in.referenceCopper, *in.cameraCopper); });
            if (e && e->reach >= kResampleFrom) {
                Image outside;
                const PhotoImage resampled =
                    timed([&] { return resamplePhoto(*camera, e->map, &outside); });
                in.cameraCopper = binarise(resampled,
                                           "camera resampled onto the golden photo");
                in.cameraGeometry = e->map;
                resampledOutside = std::move(outside);
            }
            if (notes && e)
                *notes << "camera geometry: " << describeGeometry(*e)
                       << (in.cameraGeometry ? ", resampled" : ", left as it is") << '\n';
        }
    } else if (frontEnd && camera) {
        in.cameraCopper = binarise(*camera, "camera (photograph)");
    } else if (frontEnd && looksLikePhoto(in.camera)) {
        PhotoImage gray;
        gray.width = in.camera.width;
        gray.height = in.camera.height;
        gray.samples.assign(in.camera.pixels.begin(), in.camera.pixels.end());
        in.cameraCopper = binarise(gray, "camera (more than 16 gray levels: a photograph)");
    }
    if (!options.golden && notes && looksLikePhoto(in.reference))
        *notes << in.referencePath
               << ": holds more than 16 gray levels and looks like a photo; did you mean "
                  "--golden?\n";
    // A resampled camera photo: its mask follows it, and what came from
    // off the photo is ignored.
    if (in.cameraGeometry) {
        if (in.cameraMask && in.cameraMask->width == in.camera.width &&
            in.cameraMask->height == in.camera.height)
            *in.cameraMask = resampleMask(*in.cameraMask, *in.cameraGeometry);
        if (in.cameraMask && in.cameraMask->pixels.size() == resampledOutside.pixels.size()) {
            for (std::size_t i = 0; i < resampledOutside.pixels.size(); ++i)
                in.cameraMask->pixels[i] |= resampledOutside.pixels[i];
        } else if (!in.cameraMask) {
            in.cameraMask = std::move(resampledOutside);
        }
    }
    in.threshold = effectiveThreshold(options);
    in.golden = options.golden;
    in.copperDark = options.copperDark;
    validate(in);
    if (photoMs) *photoMs = spent;
}

InspectionInput readPair(const PairPaths& paths, const ReadOptions& options,
                         std::ostream* notes, const PhotoSettings& photoSettings,
                         ReadTimes* times) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    InspectionInput in;
    in.referencePath = paths.reference;
    in.cameraPath = paths.camera;
    // Photographs may come in colour, with 16 bits a sample or as TIFF; the
    // pictures show them in gray, the front end reads them as they are.
    auto readPhotograph = [&](const std::string& path, Image& gray) {
        bool colour = false;
        PhotoImage photo = readPhoto(path, &gray, &colour);
        if (colour && notes) *notes << path << ": colour image turned into gray (luma)\n";
        return photo;
    };
    std::optional<PhotoImage> golden, camera;
    if (options.golden) {
        golden = readPhotograph(paths.reference, in.reference);
        camera = readPhotograph(paths.camera, in.camera);
    } else {
        in.reference = readGray(paths.reference);
        if (options.cameraPhoto) camera = readPhotograph(paths.camera, in.camera);
        else in.camera = readGray(paths.camera);
    }
    if (!paths.ignore.empty()) {
        in.ignorePath = paths.ignore;
        in.ignore = readGray(paths.ignore);
    }
    if (!paths.cameraMask.empty()) {
        in.maskPath = paths.cameraMask;
        in.cameraMask = readGray(paths.cameraMask);
    }
    if (!paths.holes.empty()) in.holes = readHolesCsv(paths.holes);
    in.at = paths.at;
    double photoMs = 0.0;
    finishInput(in, golden ? &*golden : nullptr, camera ? &*camera : nullptr, options, notes,
                photoSettings, &photoMs);
    if (times) {
        times->photoMs = photoMs;
        times->decodeMs =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count() - photoMs;
    }
    return in;
}

void saveBinaryImages(const InspectionInput& in, const fs::path& dir) {
    OutputFolder folder(dir);
    if (in.golden)
        writePng(folder.stage("golden-binary.png").string(),
                 in.referenceCopper ? *in.referenceCopper
                                    : binaryImage(in.reference, in.threshold, in.copperDark));
    writePng(folder.stage("camera-binary.png").string(),
             in.cameraCopper ? *in.cameraCopper
                             : binaryImage(in.camera, in.threshold, in.copperDark));
    folder.commit();
}

InspectionResult inspectPair(const PairPaths& paths, const ReadOptions& options,
                             const Preset& preset, const std::string& presetName,
                             const fs::path& out, std::ostream* notes) {
    const InspectionInput in = readPair(paths, options, notes, preset.photo);
    if (!options.saveBinary.empty()) saveBinaryImages(in, options.saveBinary);
    const InspectionResult result = runInspection(in, preset);
    ReportSources s{paths.reference,   paths.camera,       paths.ignore,
                    paths.cameraMask,  presetName,         in.reference.width,
                    in.reference.height, in.camera.width, in.camera.height};
    OutputFolder folder(out);
    writeReports(folder, s, in.camera, result, options.records);
    folder.commit();
    return result;
}

std::vector<PairPaths> readBatchList(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw InputError(path, "cannot open batch list");
    const fs::path base = fs::path(path).parent_path();
    auto resolve = [&](const std::string& p) {
        if (p == "-") return std::string();
        const fs::path q(p);
        return (q.is_absolute() ? q : base / q).string();
    };
    std::vector<PairPaths> pairs;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string s; words >> s;) w.push_back(s);
        if (w.empty() || w[0][0] == '#') continue;
        std::optional<std::array<int, 2>> at;
        if (w.size() > 2 && w.back()[0] == '@') {
            at = parsePosition(path + ": line " + std::to_string(number), w.back().substr(1));
            w.pop_back();
        }
        if (w.size() < 2 || w.size() > 4)
            throw InputError(path, "line " + std::to_string(number) +
                                       ": expected REFERENCE CAMERA [IGNORE [MASK]] [@X,Y], "
                                       "found " + std::to_string(w.size()) + " fields");
        if (w[0] == "-" || w[1] == "-")
            throw InputError(path, "line " + std::to_string(number) +
                                       ": the reference and the camera image are needed");
        pairs.push_back(PairPaths{resolve(w[0]), resolve(w[1]),
                                  w.size() > 2 ? resolve(w[2]) : std::string(),
                                  w.size() > 3 ? resolve(w[3]) : std::string(), std::string(),
                                  at});
    }
    if (pairs.empty()) throw InputError(path, "batch list names no pair");
    return pairs;
}

void keepWorkingMemory() {
#ifdef __GLIBC__
    // Blocks up to 32 MiB (the largest threshold glibc accepts) come from
    // the heap, and the heap's top is trimmed only beyond 256 MiB.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
#endif
}

int settleLibraryThreads(int jobs) {
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    int threads = 0;
    if (const char* text = std::getenv("PCBINSPECT_THREADS")) {
        char* end = nullptr;
        const long v = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && v > 0 && v <= 1024) threads = static_cast<int>(v);
    }
    // The tool's own image work (the defects' labelling) keeps to the same
    // count: OpenCV would otherwise start a pool of every core beside each
    // job.
    if (threads > 0) {
        cv::setNumThreads(threads);
        return threads;
    }
    threads = std::max(1, cores / std::max(1, jobs));
    cv::setNumThreads(threads);
#ifdef _WIN32
    _putenv_s("PCBINSPECT_THREADS", std::to_string(threads).c_str());
#else
    ::setenv("PCBINSPECT_THREADS", std::to_string(threads).c_str(), 1);
#endif
    return threads;
}

double runPairJobs(std::size_t n, int jobs, const std::function<void(std::size_t)>& job,
                   const std::function<void(std::size_t, std::size_t, double)>& report) {
    std::atomic<std::size_t> next{0}, done{0};
    std::mutex lock;
    const auto start = std::chrono::steady_clock::now();
    auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto worker = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < n;) {
            job(i);
            const std::size_t finished = ++done;
            std::lock_guard<std::mutex> g(lock);
            report(i, finished, seconds());
        }
    };
    const int threads = std::max(1, std::min<int>(jobs, static_cast<int>(n)));
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
    return seconds();
}

int runBatch(const std::vector<PairPaths>& pairs, const ReadOptions& options, const Preset& preset,
             const std::string& presetName, const fs::path& out, int jobs,
             std::ostream& progress) {
    struct Outcome {
        bool ok = false, placed = false;
        std::string error;
        std::size_t flaws = 0;
        double searchMs = 0, inspectMs = 0;
        std::string folder;
    };
    const std::size_t n = pairs.size();
    std::vector<Outcome> outcomes(n);
    auto job = [&](std::size_t i) {
        Outcome& o = outcomes[i];
        char name[32];
        std::snprintf(name, sizeof name, "%04zu-", i + 1);
        o.folder = name + fs::path(pairs[i].camera).stem().string();
        try {
            ReadOptions own = options;
            if (!own.saveBinary.empty()) own.saveBinary = (fs::path(own.saveBinary) / o.folder).string();
            const InspectionResult r =
                inspectPair(pairs[i], own, preset, presetName, out / o.folder, nullptr);
            o.ok = true;
            o.placed = r.placed;
            o.flaws = r.flaws.size();
            o.searchMs = r.searchMs;
            o.inspectMs = r.inspectMs;
        } catch (const InputError& e) {
            o.error = e.what();
        } catch (const std::exception& e) {
            o.error = pairs[i].camera + ": " + e.what();
        }
    };
    auto report = [&](std::size_t i, std::size_t finished, double t) {
        if (!outcomes[i].ok) progress << "\r\033[K" << outcomes[i].error << '\n';
        char line[160];
        std::snprintf(line, sizeof line, "\r[%zu/%zu] %.2f pairs per second", finished, n,
                      t > 0 ? finished / t : 0.0);
        progress << line << std::flush;
    };
    const int threads = std::max(1, std::min<int>(jobs, static_cast<int>(n)));
    const double total = runPairJobs(n, jobs, job, report);

    int failed = 0, notPlaced = 0;
    std::size_t flaws = 0;
    std::ostringstream csv;
    csv << "pair,reference,camera,status,flaws,search_ms,inspect_ms,folder,error\n";
    for (std::size_t i = 0; i < n; ++i) {
        const Outcome& o = outcomes[i];
        failed += o.ok ? 0 : 1;
        notPlaced += o.ok && !o.placed ? 1 : 0;
        flaws += o.flaws;
        csv << i + 1 << ',' << csvQuoted(pairs[i].reference) << ',' << csvQuoted(pairs[i].camera) << ','
            << (!o.ok ? "bad input" : o.placed ? "ok" : "not placed") << ',' << o.flaws << ','
            << o.searchMs << ','
            << o.inspectMs << ',' << csvQuoted(o.ok ? o.folder : "") << ',' << csvQuoted(o.error)
            << '\n';
    }
    OutputFolder folder(out);
    folder.writeText("summary.csv", csv.str());
    folder.commit();
    char line[200];
    std::snprintf(line, sizeof line,
                  "\n%zu pairs in %.2f s (%.2f pairs per second, %d threads): %zu flaws, %d "
                  "not placed, %d failed\n",
                  n, total, total > 0 ? n / total : 0.0, threads, flaws, notPlaced, failed);
    progress << line;
    return failed;
}

}  // namespace pcbinspect::tool
