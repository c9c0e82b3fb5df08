#include "evaluate.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "flaw_codes.h"
#include "overlay.h"
#include "report.h"
#include "tool_error.h"

namespace pcbinspect::tool {

namespace fs = std::filesystem;

namespace {

std::string lineOf(int number) { return "line " + std::to_string(number) + ": "; }

// The whitespace- or comma-separated fields of a line.
std::vector<std::string> fields(const std::string& line) {
    std::string spaced = line;
    std::replace(spaced.begin(), spaced.end(), ',', ' ');
    std::istringstream words(spaced);
    std::vector<std::string> out;
    for (std::string w; words >> w;) out.push_back(w);
    return out;
}

bool skipped(const std::vector<std::string>& w) { return w.empty() || w[0][0] == '#'; }

bool parseInt(const std::string& text, int* value) {
    try {
        std::size_t used = 0;
        const long v = std::stol(text, &used);
        if (used != text.size() || v < -1000000 || v > 1000000) return false;
        *value = static_cast<int>(v);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

const EvaluationType* typeOf(const Preset& preset, int type) {
    for (const EvaluationType& t : preset.evaluationTypes)
        if (t.type == type) return &t;
    return nullptr;
}

bool inFamilies(const EvaluationType& t, int code) {
    const std::string family(familyName(describeFlaw(code).family));
    return std::find(t.families.begin(), t.families.end(), family) != t.families.end();
}

void add(TypeTally& to, const TypeTally& from) {
    to.defects += from.defects;
    to.found += from.found;
    to.records += from.records;
    to.trueRecords += from.trueRecords;
    to.agreeing += from.agreeing;
}

void add(BoxCounts& to, const BoxCounts& from) {
    to.truths += from.truths;
    to.detections += from.detections;
    to.correct += from.correct;
}

void add(BoxTally& to, const BoxTally& from) {
    add(to.all, from.all);
    for (const auto& [name, c] : from.types) add(to.types[name], c);
    for (const auto& [truth, row] : from.confusion)
        for (const auto& [found, n] : row) to.confusion[truth][found] += n;
    to.scored.insert(to.scored.end(), from.scored.begin(), from.scored.end());
    to.boxesWithRecords += from.boxesWithRecords;
    to.recordsOnBoxes += from.recordsOnBoxes;
    to.boxesWithDefects += from.boxesWithDefects;
    to.defectsOnBoxes += from.defectsOnBoxes;
}

void add(PairTally& to, const PairTally& from) {
    add(to.box, from.box);
    add(to.all, from.all);
    for (const auto& [type, t] : from.types) add(to.types[type], t);
    for (const auto& [type, row] : from.confusion)
        for (const auto& [family, n] : row) to.confusion[type][family] += n;
}

std::string typeName(const Preset& preset, int type) {
    const EvaluationType* t = typeOf(preset, type);
    return t ? t->name : std::to_string(type);
}

nlohmann::ordered_json tallyJson(const TypeTally& t) {
    return {{"defects", t.defects},         {"found", t.found},
            {"recall", t.recall()},         {"records", t.records},
            {"true_records", t.trueRecords}, {"precision", t.precision()},
            {"f", t.f()},                   {"agreement", t.agreement()}};
}

// The camera overlay with every truth box outlined in white.
Image truthOverlay(const Image& camera, const std::vector<FlawRecord>& flaws,
                   const std::vector<TruthBox>& boxes, int margin) {
    Image rgb = drawOverlay(camera, flaws);
    for (const TruthBox& b : boxes)
        drawRectangle(rgb, b.x1 - margin, b.y1 - margin, b.x2 + margin, b.y2 + margin, 1,
                      Rgb{255, 255, 255});
    return rgb;
}

// The defect overlay with every truth box outlined in white.
Image truthBoxOverlay(const Image& camera, const std::vector<Defect>& defects,
                      const std::vector<TruthBox>& boxes) {
    Image rgb = drawDefectOverlay(camera, defects);
    for (const TruthBox& b : boxes)
        drawRectangle(rgb, b.x1, b.y1, b.x2, b.y2, 1, Rgb{255, 255, 255});
    return rgb;
}

nlohmann::ordered_json boxJson(const BoxCounts& c) {
    return {{"truths", c.truths},       {"detections", c.detections}, {"correct", c.correct},
            {"precision", c.precision()}, {"recall", c.recall()},       {"f", c.f()}};
}

}  // namespace

std::vector<EvaluationPair> readEvaluationList(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw InputError(path, "cannot open evaluation list");
    const fs::path base = fs::path(path).parent_path();
    std::vector<EvaluationPair> pairs;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::vector<std::string> w = fields(line);
        if (skipped(w)) continue;
        if (w.size() != 3)
            throw InputError(path, lineOf(number) + "expected REFERENCE CAMERA TRUTH, found " +
                                       std::to_string(w.size()) + " fields");
        std::string resolved[3];
        for (int k = 0; k < 3; ++k) {
            const fs::path p(w[k]);
            resolved[k] = (p.is_absolute() ? p : base / p).string();
            // A name the file system refuses (too long, say) does not exist
            // either.
            std::error_code ec;
            if (!fs::is_regular_file(resolved[k], ec))
                throw InputError(path, lineOf(number) + resolved[k] + " does not exist");
        }
        pairs.push_back(EvaluationPair{PairPaths{resolved[0], resolved[1], "", "", "", std::nullopt}, resolved[2]});
    }
    if (pairs.empty()) throw InputError(path, "evaluation list names no pair");
    return pairs;
}

std::vector<TruthBox> readTruth(const std::string& path, const Preset& preset, int cameraWidth,
                                int cameraHeight) {
    std::ifstream in(path);
    if (!in) throw InputError(path, "cannot open truth file");
    std::vector<TruthBox> boxes;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::vector<std::string> w = fields(line);
        if (skipped(w)) continue;
        int v[5];
        bool ok = w.size() == 5;
        for (std::size_t k = 0; ok && k < 5; ++k) ok = parseInt(w[k], &v[k]);
        if (!ok)
            throw InputError(path, lineOf(number) + "expected five integers x1 y1 x2 y2 type");
        TruthBox b{std::min(v[0], v[2]), std::min(v[1], v[3]), std::max(v[0], v[2]),
                   std::max(v[1], v[3]), v[4]};
        if (!typeOf(preset, b.type))
            throw InputError(path, lineOf(number) + "type " + std::to_string(b.type) +
                                       " is not among the preset's evaluation types");
        if (b.x1 < 0 || b.y1 < 0 || b.x2 >= cameraWidth || b.y2 >= cameraHeight)
            throw InputError(path, lineOf(number) + "box lies outside the " +
                                       std::to_string(cameraWidth) + " x " +
                                       std::to_string(cameraHeight) + " camera image");
        boxes.push_back(b);
    }
    return boxes;
}

double boxIoU(const MatchBox& a, const MatchBox& b) {
    const long long iw = std::min(a.x2, b.x2) - std::max(a.x1, b.x1) + 1;
    const long long ih = std::min(a.y2, b.y2) - std::max(a.y1, b.y1) + 1;
    if (iw <= 0 || ih <= 0) return 0.0;
    auto area = [](const MatchBox& m) {
        return static_cast<long long>(m.x2 - m.x1 + 1) * (m.y2 - m.y1 + 1);
    };
    const long long inter = iw * ih;
    return static_cast<double>(inter) / static_cast<double>(area(a) + area(b) - inter);
}

std::vector<int> matchBoxes(const std::vector<MatchBox>& truth,
                            const std::vector<MatchBox>& detections, double minIoU,
                            bool sameType) {
    std::vector<std::size_t> order(detections.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return detections[a].confidence > detections[b].confidence;
    });
    std::vector<int> match(detections.size(), -1);
    std::vector<bool> taken(truth.size(), false);
    for (std::size_t d : order) {
        double best = minIoU;
        int chosen = -1;
        for (std::size_t t = 0; t < truth.size(); ++t) {
            if (taken[t]) continue;
            if (sameType && (truth[t].type < 0 || truth[t].type != detections[d].type)) continue;
            const double iou = boxIoU(truth[t], detections[d]);
            if (iou > best) {
                best = iou;
                chosen = static_cast<int>(t);
            }
        }
        if (chosen >= 0) {
            taken[static_cast<std::size_t>(chosen)] = true;
            match[d] = chosen;
        }
    }
    return match;
}

double averagePrecision(std::vector<std::pair<float, bool>> scored, int truthCount) {
    if (truthCount <= 0 || scored.empty()) return 0.0;
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    const std::size_t n = scored.size();
    std::vector<double> precision(n), recall(n);
    int correct = 0;
    for (std::size_t i = 0; i < n; ++i) {
        correct += scored[i].second ? 1 : 0;
        precision[i] = static_cast<double>(correct) / static_cast<double>(i + 1);
        recall[i] = static_cast<double>(correct) / truthCount;
    }
    // Precision at each recall: the best precision at that recall or beyond.
    for (std::size_t i = n - 1; i > 0; --i) precision[i - 1] = std::max(precision[i - 1], precision[i]);
    double ap = 0.0, previous = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        ap += (recall[i] - previous) * precision[i];
        previous = recall[i];
    }
    return ap;
}

BoxTally scoreBoxes(const std::vector<TruthBox>& boxes, const std::vector<Defect>& defects,
                    const std::vector<FlawRecord>& flaws, const Preset& preset, int margin) {
    BoxTally t;
    std::vector<MatchBox> truth, found;
    std::vector<std::string> truthNames;
    for (const TruthBox& b : boxes) {
        const EvaluationType* e = typeOf(preset, b.type);
        const std::optional<DefectType> d = e ? defectTypeFromName(e->defect) : std::nullopt;
        truth.push_back(MatchBox{b.x1, b.y1, b.x2, b.y2, d ? static_cast<int>(*d) : -1, 0.0f});
        truthNames.push_back(d ? std::string(defectTypeName(*d)) : typeName(preset, b.type));
    }
    for (const Defect& d : defects)
        found.push_back(MatchBox{d.x1, d.y1, d.x2, d.y2, static_cast<int>(d.type), d.confidence});
    const std::vector<int> match = matchBoxes(truth, found, kBoxMinIoU, true);
    t.all.truths = static_cast<int>(truth.size());
    t.all.detections = static_cast<int>(found.size());
    for (const std::string& n : truthNames) ++t.types[n].truths;
    for (std::size_t d = 0; d < found.size(); ++d) {
        const bool ok = match[d] >= 0;
        const std::string name(defectTypeName(defects[d].type));
        ++t.types[name].detections;
        t.types[name].correct += ok ? 1 : 0;
        t.all.correct += ok ? 1 : 0;
        t.scored.emplace_back(found[d].confidence, ok);
    }
    // The confusion: the same matching with the types left out.
    const std::vector<int> any = matchBoxes(truth, found, kBoxMinIoU, false);
    std::vector<bool> seen(truth.size(), false);
    for (std::size_t d = 0; d < found.size(); ++d) {
        const std::string name(defectTypeName(defects[d].type));
        if (any[d] < 0) {
            ++t.confusion["(none)"][name];
            continue;
        }
        seen[static_cast<std::size_t>(any[d])] = true;
        ++t.confusion[truthNames[static_cast<std::size_t>(any[d])]][name];
    }
    for (std::size_t b = 0; b < truth.size(); ++b)
        if (!seen[b]) ++t.confusion[truthNames[b]]["missed"];
    // Reports per found defect: records, and defects by their centre,
    // within a box grown by the margin.
    auto inside = [&](const TruthBox& b, int x, int y) {
        return x >= b.x1 - margin && x <= b.x2 + margin && y >= b.y1 - margin &&
               y <= b.y2 + margin;
    };
    for (const TruthBox& b : boxes) {
        int records = 0, onIt = 0;
        for (const FlawRecord& f : flaws) records += inside(b, f.camX, f.camY) ? 1 : 0;
        for (const Defect& d : defects)
            onIt += inside(b, (d.x1 + d.x2) / 2, (d.y1 + d.y2) / 2) ? 1 : 0;
        t.boxesWithRecords += records > 0 ? 1 : 0;
        t.recordsOnBoxes += records;
        t.boxesWithDefects += onIt > 0 ? 1 : 0;
        t.defectsOnBoxes += onIt;
    }
    return t;
}

PairTally scorePair(const std::vector<TruthBox>& boxes, const std::vector<FlawRecord>& flaws,
                    const Preset& preset, int margin) {
    PairTally t;
    auto matches = [&](const FlawRecord& f, const TruthBox& b) {
        return f.camX >= b.x1 - margin && f.camX <= b.x2 + margin && f.camY >= b.y1 - margin &&
               f.camY <= b.y2 + margin;
    };
    for (const TruthBox& b : boxes) {
        TypeTally& type = t.types[b.type];
        ++type.defects;
        ++t.all.defects;
        // The nearest matching record to the box centre speaks for the box.
        const FlawRecord* nearest = nullptr;
        double best = 0.0;
        for (const FlawRecord& f : flaws) {
            if (!matches(f, b)) continue;
            const double d = std::hypot(f.camX - (b.x1 + b.x2) / 2.0, f.camY - (b.y1 + b.y2) / 2.0);
            if (!nearest || d < best) {
                nearest = &f;
                best = d;
            }
        }
        if (!nearest) continue;
        ++type.found;
        ++t.all.found;
        const bool agrees = inFamilies(*typeOf(preset, b.type), nearest->code);
        type.agreeing += agrees ? 1 : 0;
        t.all.agreeing += agrees ? 1 : 0;
        ++t.confusion[b.type][std::string(familyName(describeFlaw(nearest->code).family))];
    }
    for (const FlawRecord& f : flaws) {
        bool onAny = false;
        for (const TruthBox& b : boxes) onAny = onAny || matches(f, b);
        ++t.all.records;
        t.all.trueRecords += onAny ? 1 : 0;
        // By type: a record counts for every type whose families hold its
        // code, and is true there when it lies on a box whose type accepts
        // its family (types may share families: a spur and spurious copper
        // are both excess copper).
        bool explains = false;
        for (const TruthBox& b : boxes)
            explains = explains || (matches(f, b) && inFamilies(*typeOf(preset, b.type), f.code));
        for (const EvaluationType& e : preset.evaluationTypes) {
            if (!inFamilies(e, f.code)) continue;
            TypeTally& type = t.types[e.type];
            ++type.records;
            type.trueRecords += explains ? 1 : 0;
        }
    }
    return t;
}

EvaluationSummary runEvaluation(const std::vector<EvaluationPair>& pairs,
                                const EvaluationOptions& options, const Preset& preset,
                                const fs::path& out, std::ostream& progress) {
    struct Outcome {
        enum { Failed, NotPlaced, Inspected } status = Failed;
        std::string error;
        PairTally tally;
        double searchMs = 0.0, inspectMs = 0.0, defectsMs = 0.0;
        double decodeMs = 0.0, photoMs = 0.0, pairMs = 0.0;
        int suspects = 0;
    };
    const std::size_t n = pairs.size();
    std::vector<Outcome> outcomes(n);
    std::mutex pictureLock;
    OutputFolder folder(out);
    std::optional<OutputFolder> pictures;
    if (options.pictures) pictures.emplace(out / "pictures");
    auto job = [&](std::size_t i) {
        Outcome& o = outcomes[i];
        const EvaluationPair& pair = pairs[i];
        std::vector<FlawRecord> flaws;
        std::vector<Defect> defects;
        std::vector<TruthBox> boxes;
        Image camera;
        try {
            const auto start = std::chrono::steady_clock::now();
            ReadTimes read;
            const InspectionInput in =
                readPair(pair.images, options.read, nullptr, preset.photo, &read);
            boxes = readTruth(pair.truth, preset, in.camera.width, in.camera.height);
            if (!options.read.saveBinary.empty()) {  // one folder per pair, as batch does
                char number[16];
                std::snprintf(number, sizeof number, "%04zu-", i + 1);
                saveBinaryImages(in, fs::path(options.read.saveBinary) /
                                         (number + fs::path(pair.images.camera).stem().string()));
            }
            const InspectionResult r = runInspection(in, preset);
            o.pairMs = std::chrono::duration<double, std::milli>(
                           std::chrono::steady_clock::now() - start).count();
            o.decodeMs = read.decodeMs;
            o.photoMs = read.photoMs;
            o.suspects = r.suspects;
            o.status = r.placed ? Outcome::Inspected : Outcome::NotPlaced;
            o.searchMs = r.searchMs;
            o.inspectMs = r.inspectMs;
            o.defectsMs = r.defectsMs;
            flaws = r.flaws;
            defects = r.defects;
            // A pair not placed has no records: its boxes count as missed.
            o.tally = scorePair(boxes, flaws, preset, options.margin);
            o.tally.box = scoreBoxes(boxes, defects, flaws, preset, options.margin);
            if (options.pictures) camera = in.camera;
        } catch (const std::exception& e) {
            o.status = Outcome::Failed;
            o.error = e.what();
        }
        if (options.pictures && o.status != Outcome::Failed) {
            char name[48];
            std::snprintf(name, sizeof name, "%04zu-", i + 1);
            const std::string file = name + fs::path(pair.images.camera).stem().string() + ".png";
            const Image picture = options.boxes ? truthBoxOverlay(camera, defects, boxes)
                                                : truthOverlay(camera, flaws, boxes, options.margin);
            fs::path staged;
            {
                std::lock_guard<std::mutex> g(pictureLock);
                staged = pictures->stage(file);
            }
            writePng(staged.string(), picture);
        }
    };
    auto report = [&](std::size_t i, std::size_t finished, double t) {
        if (outcomes[i].status == Outcome::Failed)
            progress << "\r\033[K" << outcomes[i].error << " (skipped)\n";
        const double rate = t > 0 ? finished / t : 0.0;
        const int width = 30, filled = static_cast<int>(width * finished / n);
        char line[200];
        std::snprintf(line, sizeof line, "\r[%s%s] %zu/%zu pairs, %.2f per second, %.0f s left",
                      std::string(static_cast<std::size_t>(filled), '#').c_str(),
                      std::string(static_cast<std::size_t>(width - filled), '.').c_str(), finished,
                      n, rate, rate > 0 ? (n - finished) / rate : 0.0);
        progress << line << std::flush;
    };
    const double wallSeconds = runPairJobs(n, options.jobs, job, report);
    progress << '\n';

    EvaluationSummary s;
    s.pairs = static_cast<int>(n);
    s.jobs = std::max(1, std::min<int>(options.jobs, static_cast<int>(n)));
    s.libraryThreads = options.libraryThreads;
    s.pairsPerSecond = wallSeconds > 0 ? n / wallSeconds : 0.0;
    std::vector<double> pairMs;
    int inspected = 0;
    std::ostringstream csv;
    csv << "pair,reference,camera,truth,status,defects,found,records,true_records,search_ms,"
           "inspect_ms,error\n";
    for (std::size_t i = 0; i < n; ++i) {
        const Outcome& o = outcomes[i];
        if (o.status == Outcome::Failed) ++s.failed;
        if (o.status == Outcome::NotPlaced) ++s.notPlaced;
        if (o.status != Outcome::Failed) {
            add(s.tally, o.tally);
            ++inspected;
            s.searchMs += o.searchMs;
            s.inspectMs += o.inspectMs;
            s.defectsMs += o.defectsMs;
            s.decodeMs += o.decodeMs;
            s.photoMs += o.photoMs;
            s.suspectsMean += o.suspects;
            s.suspectsMax = std::max(s.suspectsMax, o.suspects);
            pairMs.push_back(o.pairMs);
        }
        const char* status = o.status == Outcome::Failed      ? "bad input"
                              : o.status == Outcome::NotPlaced ? "not placed"
                                                               : "ok";
        csv << i + 1 << ',' << csvQuoted(pairs[i].images.reference) << ','
            << csvQuoted(pairs[i].images.camera) << ',' << csvQuoted(pairs[i].truth) << ',' << status
            << ',' << o.tally.all.defects << ',' << o.tally.all.found << ','
            << o.tally.all.records << ',' << o.tally.all.trueRecords << ',' << o.searchMs << ','
            << o.inspectMs << ',' << csvQuoted(o.error) << '\n';
    }
    if (inspected > 0) {
        s.searchMs /= inspected;
        s.inspectMs /= inspected;
        s.defectsMs /= inspected;
        s.decodeMs /= inspected;
        s.photoMs /= inspected;
        s.suspectsMean /= inspected;
        // Nearest-rank percentiles of the pairs' times.
        std::sort(pairMs.begin(), pairMs.end());
        auto rank = [&](double q) {
            const std::size_t k = static_cast<std::size_t>(std::ceil(q * pairMs.size()));
            return pairMs[std::min(std::max<std::size_t>(k, 1), pairMs.size()) - 1];
        };
        s.pairMedianMs = rank(0.5);
        s.pairP90Ms = rank(0.9);
        s.pairMaxMs = pairMs.back();
    }
    s.boxes = options.boxes;

    nlohmann::ordered_json j = tallyJson(s.tally.all);
    j["pairs"] = s.pairs;
    j["not_placed"] = s.notPlaced;
    j["failed"] = s.failed;
    j["margin"] = options.margin;
    j["search_ms"] = s.searchMs;
    j["inspect_ms"] = s.inspectMs;
    j["defects_ms"] = s.defectsMs;
    // The run's speed: the rest of the split, the rate, the spread of a
    // pair's time and the suspects handed to the inspection.
    j["speed"] = {{"decode_ms", s.decodeMs},
                  {"photo_ms", s.photoMs},
                  {"jobs", s.jobs},
                  {"library_threads", s.libraryThreads},
                  {"pairs_per_second", s.pairsPerSecond},
                  {"pair_median_ms", s.pairMedianMs},
                  {"pair_p90_ms", s.pairP90Ms},
                  {"pair_max_ms", s.pairMaxMs},
                  {"suspects_mean", s.suspectsMean},
                  {"suspects_max", s.suspectsMax}};
    nlohmann::ordered_json types = nlohmann::ordered_json::object();
    for (const auto& [type, t] : s.tally.types) types[typeName(preset, type)] = tallyJson(t);
    j["types"] = types;
    nlohmann::ordered_json confusion = nlohmann::ordered_json::object();
    std::ostringstream ccsv;
    ccsv << "type";
    for (int f = 0; f < kFamilyCount; ++f) ccsv << ',' << familyName(static_cast<Family>(f));
    ccsv << '\n';
    for (const EvaluationType& e : preset.evaluationTypes) {
        const auto row = s.tally.confusion.find(e.type);
        nlohmann::ordered_json r = nlohmann::ordered_json::object();
        ccsv << csvQuoted(e.name);
        for (int f = 0; f < kFamilyCount; ++f) {
            const std::string family(familyName(static_cast<Family>(f)));
            int count = 0;
            if (row != s.tally.confusion.end() && row->second.count(family))
                count = row->second.at(family);
            if (count) r[family] = count;
            ccsv << ',' << count;
        }
        ccsv << '\n';
        confusion[e.name] = r;
    }
    j["confusion"] = confusion;
    if (!options.boxes) folder.writeText("summary.json", j.dump(2) + "\n");
    folder.writeText("pairs.csv", csv.str());
    folder.writeText("confusion.csv", ccsv.str());
    if (options.boxes) {
        // Box matching: overall, by defect type, and the confusion of truth
        // type against detected type.
        const BoxTally& b = s.tally.box;
        nlohmann::ordered_json box = boxJson(b.all);
        box["min_iou"] = kBoxMinIoU;
        box["average_precision"] = averagePrecision(b.scored, b.all.truths);
        box["records_per_found_defect"] =
            b.boxesWithRecords ? double(b.recordsOnBoxes) / b.boxesWithRecords : 0.0;
        box["defects_per_found_defect"] =
            b.boxesWithDefects ? double(b.defectsOnBoxes) / b.boxesWithDefects : 0.0;
        nlohmann::ordered_json bt = nlohmann::ordered_json::object();
        for (const auto& [name, c] : b.types) bt[name] = boxJson(c);
        box["types"] = bt;
        box["confusion"] = b.confusion;
        j["box"] = box;
        std::vector<std::string> columns;
        for (const auto& [truth, row] : b.confusion)
            for (const auto& [found, n] : row)
                if (std::find(columns.begin(), columns.end(), found) == columns.end())
                    columns.push_back(found);
        std::sort(columns.begin(), columns.end());
        std::ostringstream bcsv;
        bcsv << "truth";
        for (const std::string& c : columns) bcsv << ',' << csvQuoted(c);
        bcsv << '\n';
        for (const auto& [truth, row] : b.confusion) {
            bcsv << csvQuoted(truth);
            for (const std::string& c : columns)
                bcsv << ',' << (row.count(c) ? row.at(c) : 0);
            bcsv << '\n';
        }
        folder.writeText("box_confusion.csv", bcsv.str());
        folder.writeText("summary.json", j.dump(2) + "\n");
    }
    folder.commit();
    if (pictures) pictures->commit();
    return s;
}

std::string evaluationReport(const EvaluationSummary& s, const Preset& preset) {
    std::ostringstream out;
    char line[240];
    std::snprintf(line, sizeof line, "%-18s %8s %7s %7s %8s %6s %9s %6s %9s\n", "type", "defects",
                  "found", "recall", "records", "true", "precision", "F", "agreement");
    out << line;
    auto row = [&](const std::string& name, const TypeTally& t) {
        std::snprintf(line, sizeof line, "%-18s %8d %7d %7.3f %8d %6d %9.3f %6.3f %9.3f\n",
                      name.c_str(), t.defects, t.found, t.recall(), t.records, t.trueRecords,
                      t.precision(), t.f(), t.agreement());
        out << line;
    };
    for (const auto& [type, t] : s.tally.types) row(typeName(preset, type), t);
    row("all", s.tally.all);
    std::snprintf(line, sizeof line,
                  "%d pairs, %d not placed, %d failed; search %.1f ms, inspection %.1f ms, "
                  "defects %.1f ms, photo front end %.1f ms, decode %.1f ms a pair; ",
                  s.pairs, s.notPlaced, s.failed, s.searchMs, s.inspectMs, s.defectsMs,
                  s.photoMs, s.decodeMs);
    out << line;
    std::snprintf(line, sizeof line,
                  "%.2f pairs a second (%d jobs x %d threads), a pair %.1f ms median, %.1f "
                  "p90, %.1f max; %.1f suspects a pair, %d at most\n",
                  s.pairsPerSecond, s.jobs, s.libraryThreads, s.pairMedianMs, s.pairP90Ms,
                  s.pairMaxMs, s.suspectsMean, s.suspectsMax);
    out << line;
    const BoxTally& b = s.tally.box;
    const double ap = averagePrecision(b.scored, b.all.truths);
    if (s.boxes) {
        std::snprintf(line, sizeof line, "\n%-18s %8s %10s %8s %9s %7s %6s\n", "defect type",
                      "truths", "detections", "correct", "precision", "recall", "F");
        out << line;
        auto boxRow = [&](const std::string& name, const BoxCounts& c) {
            std::snprintf(line, sizeof line, "%-18s %8d %10d %8d %9.3f %7.3f %6.3f\n",
                          name.c_str(), c.truths, c.detections, c.correct, c.precision(),
                          c.recall(), c.f());
            out << line;
        };
        for (const auto& [name, c] : b.types) boxRow(name, c);
        boxRow("all", b.all);
        std::snprintf(line, sizeof line,
                      "boxes at IoU > %.2f with types: average precision %.3f; %.2f records "
                      "and %.2f defects per found defect\n",
                      kBoxMinIoU, ap,
                      b.boxesWithRecords ? double(b.recordsOnBoxes) / b.boxesWithRecords : 0.0,
                      b.boxesWithDefects ? double(b.defectsOnBoxes) / b.boxesWithDefects : 0.0);
        out << line;
    }
    const TypeTally& a = s.tally.all;
    std::snprintf(line, sizeof line,
                  "evaluate: recall=%.4f precision=%.4f f=%.4f agreement=%.4f pairs=%d "
                  "notplaced=%d",
                  a.recall(), a.precision(), a.f(), a.agreement(), s.pairs, s.notPlaced);
    out << line;
    if (s.boxes) {
        std::snprintf(line, sizeof line, " box_f=%.4f box_ap=%.4f", b.all.f(), ap);
        out << line;
    }
    out << '\n';
    return out.str();
}

}  // namespace pcbinspect::tool
