// Drawing a libgerbv image into CAD labels. Every object (a flash, a stroke,
// a region) is first drawn alone, without antialiasing, into a scratch
// coverage mask with cairo; its covered pixels are then merged into the
// label image by the label rules. libgerbv works in inches, with y upwards;
// the cairo transformation maps that onto reference pixels.
#include "render.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cairo.h>
#include <gerbv.h>
#include <nlohmann/json.hpp>

#include "report.h"
#include "tool_error.h"

namespace pcbinspect::tool {

namespace fs = std::filesystem;

namespace {

// Pours are plain copper (255): the search reads them as copper whatever
// lies left of them, and the inspection as copper of class 0, as it reads
// the wide networks its own correction repaints.
constexpr std::uint8_t kTrace = 170, kRegion = 255, kPad = 160, kDrilledPad = 180,
                       kHoleInterior = 154;

// Which label keeps a pixel that two objects cover: pads over regions over
// traces.
int rank(std::uint8_t label) {
    switch (label) {
        case kDrilledPad: return 4;
        case kPad: return 3;
        case kRegion: return 2;
        case kTrace: return 1;
        default: return 0;
    }
}

// libgerbv reports through GLib's log; its messages are collected here and
// passed on only when asked. An error message would end the process (GLib
// stops it after the handler returns): while a file is parsed, the handler
// jumps back to the parsing call instead, which refuses the file. The
// frames it leaves are libgerbv's and GLib's C frames, none with anything to
// destroy; what libgerbv had allocated for that file is lost.
struct MessageSink {
    std::ostream* out = nullptr;
    bool verbose = false;
    int count = 0;
    std::jmp_buf* escape = nullptr;  // set while libgerbv parses
    char fatal[240] = {0};           // the error that stopped it
};

void collectMessage(const gchar*, GLogLevelFlags level, const gchar* message, gpointer data) {
    auto* sink = static_cast<MessageSink*>(data);
    ++sink->count;
    if (sink->verbose && sink->out) *sink->out << "libgerbv: " << message << '\n';
    if ((level & G_LOG_LEVEL_ERROR) != 0 && sink->escape != nullptr) {
        std::snprintf(sink->fatal, sizeof sink->fatal, "%s", message ? message : "?");
        std::jmp_buf* escape = sink->escape;
        sink->escape = nullptr;
        std::longjmp(*escape, 1);
    }
}

// Gerber and Excellon files are text: a file with NUL bytes or mostly
// unprintable bytes (an image renamed .gbr) is refused before libgerbv sees
// it.
void checkText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path, std::string("cannot open: ") + std::strerror(errno));
    char buffer[65536];
    in.read(buffer, sizeof buffer);
    const std::streamsize n = in.gcount();
    if (n == 0) throw InputError(path, "file is empty");
    std::streamsize odd = 0;
    for (std::streamsize i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(buffer[i]);
        if (c == 0) throw InputError(path, "is not a text file (Gerber and Excellon files are)");
        if (c < 9 || (c > 13 && c < 32) || c == 127) ++odd;
    }
    if (odd * 20 > n) throw InputError(path, "is not a text file (Gerber and Excellon files are)");
}

// libgerbv stops the whole process (a GLib error) when an aperture names a
// macro that the file never defines. Such a file is refused beforehand:
// every aperture definition %ADD<code><name>... must name a standard shape
// (C, R, O, P) or a macro defined before it with %AM<name>*.
void checkApertureMacros(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> macros;
    for (std::size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 1)) {
        if (text.compare(at + 1, 2, "AM") == 0) {
            const std::size_t end = text.find('*', at + 3);
            if (end != std::string::npos) macros.push_back(text.substr(at + 3, end - at - 3));
            continue;
        }
        if (text.compare(at + 1, 2, "AD") != 0) continue;
        std::size_t i = at + 3;
        if (i < text.size() && text[i] == 'D') ++i;
        const std::size_t digits = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        const std::string code = text.substr(digits, i - digits);
        std::size_t end = i;
        while (end < text.size() && text[end] != ',' && text[end] != '*' && text[end] != '%') ++end;
        const std::string name = text.substr(i, end - i);
        if (name.empty() || name == "C" || name == "R" || name == "O" || name == "P") continue;
        if (std::find(macros.begin(), macros.end(), name) == macros.end())
            throw InputError(path, "aperture D" + code + " uses the macro \"" + name +
                                       "\", which the file does not define");
    }
}

// libgerbv's parser never returns from a step-and-repeat parameter with
// stray characters in it (%SRX2Y1I0.2J0d%). Such a file is refused
// beforehand: every %SR block is either empty (the end of a repeat) or
// X<count>Y<count>I<distance>J<distance>, then an optional '*'.
void checkStepAndRepeat(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::size_t at = text.find("%SR"); at != std::string::npos; at = text.find("%SR", at + 1)) {
        std::size_t i = at + 3;
        auto digits = [&] {
            const std::size_t from = i;
            while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
            return i > from;
        };
        auto number = [&] {
            if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
            const bool whole = digits();
            bool fraction = false;
            if (i < text.size() && text[i] == '.') {
                ++i;
                fraction = digits();
            }
            return whole || fraction;
        };
        auto field = [&](char name, bool count) {
            if (i >= text.size() || text[i] != name) return false;
            ++i;
            return count ? digits() : number();
        };
        bool fine = true;
        if (i < text.size() && text[i] != '*' && text[i] != '%')
            fine = field('X', true) && field('Y', true) && field('I', false) && field('J', false);
        if (fine && i < text.size() && text[i] == '*') ++i;
        if (!fine || i >= text.size() || text[i] != '%') {
            const std::size_t close = text.find('%', at + 1);
            const std::size_t shown = close == std::string::npos ? 40 : std::min<std::size_t>(40, close - at + 1);
            std::string block(text.data() + at, std::min(shown, text.size() - at));
            throw InputError(path, "a step-and-repeat parameter is malformed: " + block);
        }
    }
}

struct ProjectDeleter {
    void operator()(gerbv_project_t* p) const { gerbv_destroy_project(p); }
};
using Project = std::unique_ptr<gerbv_project_t, ProjectDeleter>;

// Parses one file into the project; nothing in this frame needs destroying
// when libgerbv's error jumps back to it.
bool parseLayer(gerbv_project_t* project, const char* path, MessageSink& sink) {
    std::jmp_buf escape;
    if (setjmp(escape) != 0) return false;
    sink.escape = &escape;
    gerbv_open_layer_from_filename(project, path);
    sink.escape = nullptr;
    return true;
}

// The parse runs on a thread of its own: GLib counts nested messages per
// thread, and a jump out of its message handler leaves that count raised, so
// that thread's later messages would be taken for nested ones (which GLib
// treats as fatal). The thread ends with the parse.
bool parseLayerApart(gerbv_project_t* project, const char* path, MessageSink& sink) {
    bool parsed = false;
    std::thread parser([&] { parsed = parseLayer(project, path, sink); });
    parser.join();
    return parsed;
}

// libgerbv's parser can spin for ever on malformed text (mangled
// coordinates inside a region, for one), and no textual check covers every
// such case. So each file is parsed first in a child process: a child that
// has not finished within the limit is killed and the file refused, and one
// that died on a signal means libgerbv would crash this process too. Only a
// file the child got through is parsed here for real. The child's memory is
// its own, so nothing it did reaches this process's project.
void parseOnTrial(const std::string& path, MessageSink& sink, double seconds) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        throw InputError(path, std::string("cannot start the trial parse: ") + std::strerror(errno));
    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        throw InputError(path, std::string("cannot start the trial parse: ") + std::strerror(error));
    }
    if (child == 0) {
        // The write end stays open until the child ends: its closing is what
        // the parent waits for.
        // The sink is the one GLib's handler was given; changing it here
        // changes only the child's copy of it.
        close(pipeEnds[0]);
        sink.verbose = false;
        gerbv_project_t* trial = gerbv_create_project();
        const bool parsed = parseLayerApart(trial, path.c_str(), sink);
        _exit(parsed ? 0 : 1);
    }
    close(pipeEnds[1]);
    seconds = std::min(seconds, 86400.0);  // keeps the deadline arithmetic in range
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    bool finished = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd end{pipeEnds[0], POLLIN, 0};
        const int ready = poll(&end, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready > 0) {
            finished = true;
            break;
        }
        if (ready < 0 && errno != EINTR) break;
    }
    close(pipeEnds[0]);
    if (!finished) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!finished) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", seconds);
        throw InputError(path, std::string("libgerbv did not finish parsing it within ") + limit + " s");
    }
    if (WIFSIGNALED(status))
        throw InputError(path, "libgerbv crashed on it (signal " + std::to_string(WTERMSIG(status)) + ")");
}

gerbv_image_t* openLayer(gerbv_project_t* project, const std::string& path, MessageSink& sink,
                         double parseSeconds) {
    checkText(path);
    parseOnTrial(path, sink, parseSeconds);
    const int before = project->last_loaded;
    if (!parseLayerApart(project, path.c_str(), sink))
        throw InputError(path, std::string("libgerbv stopped on it: ") + sink.fatal);
    if (project->last_loaded == before || !project->file[project->last_loaded] ||
        !project->file[project->last_loaded]->image)
        throw InputError(path, "libgerbv cannot parse it as Gerber or Excellon");
    return project->file[project->last_loaded]->image;
}

struct Hole {
    double x, y, radius;  // inches
};

// The pixel box a path covers on the surface, from cairo's own extents.
struct Box {
    int x0 = 0, y0 = 0, x1 = -1, y1 = -1;
    bool empty() const { return x1 < x0 || y1 < y0; }
};

class Painter {
public:
    Painter(int width, int height, double pixelsPerInch, double minX, double maxY, int margin)
        : width_(width), height_(height) {
        surface_ = cairo_image_surface_create(CAIRO_FORMAT_A8, width, height);
        cr_ = cairo_create(surface_);
        cairo_set_antialias(cr_, CAIRO_ANTIALIAS_NONE);
        cairo_translate(cr_, margin - minX * pixelsPerInch, margin + maxY * pixelsPerInch);
        cairo_scale(cr_, pixelsPerInch, -pixelsPerInch);
        cairo_set_source_rgba(cr_, 0, 0, 0, 1);
        mask_ = cairo_image_surface_get_data(surface_);
        stride_ = cairo_image_surface_get_stride(surface_);
    }
    ~Painter() {
        cairo_destroy(cr_);
        cairo_surface_destroy(surface_);
    }
    Painter(const Painter&) = delete;
    Painter& operator=(const Painter&) = delete;

    cairo_t* cr() { return cr_; }

    // Fills (or strokes) the current path into the mask, adding its extents
    // to the object's box; `clear` erases instead (a macro's clear parts).
    void fill(bool clear = false) { paint(clear, false); }
    void stroke(bool clear = false) { paint(clear, true); }

    // Merges the object drawn since the last merge into the labels and
    // clears the mask again.
    void merge(Image& labels, std::uint8_t label, bool clear) {
        if (box_.empty()) return;
        cairo_surface_flush(surface_);
        for (int y = box_.y0; y <= box_.y1; ++y) {
            std::uint8_t* m = mask_ + static_cast<std::size_t>(y) * stride_;
            std::uint8_t* l = labels.row(y);
            for (int x = box_.x0; x <= box_.x1; ++x) {
                if (m[x] < 128) continue;
                m[x] = 0;
                if (clear)
                    l[x] = 0;
                else if (rank(label) >= rank(l[x]))
                    l[x] = label;
            }
        }
        cairo_surface_mark_dirty(surface_);
        box_ = Box{};
    }

private:
    void paint(bool clear, bool stroke) {
        double x0, y0, x1, y1;
        if (stroke)
            cairo_stroke_extents(cr_, &x0, &y0, &x1, &y1);
        else
            cairo_fill_extents(cr_, &x0, &y0, &x1, &y1);
        cairo_user_to_device(cr_, &x0, &y0);
        cairo_user_to_device(cr_, &x1, &y1);
        const int bx0 = std::max(static_cast<int>(std::floor(std::min(x0, x1))) - 1, 0);
        const int by0 = std::max(static_cast<int>(std::floor(std::min(y0, y1))) - 1, 0);
        const int bx1 = std::min(static_cast<int>(std::ceil(std::max(x0, x1))) + 1, width_ - 1);
        const int by1 = std::min(static_cast<int>(std::ceil(std::max(y0, y1))) + 1, height_ - 1);
        if (bx0 <= bx1 && by0 <= by1) {
            if (box_.empty()) {
                box_ = Box{bx0, by0, bx1, by1};
            } else {
                box_.x0 = std::min(box_.x0, bx0);
                box_.y0 = std::min(box_.y0, by0);
                box_.x1 = std::max(box_.x1, bx1);
                box_.y1 = std::max(box_.y1, by1);
            }
        }
        cairo_set_operator(cr_, clear ? CAIRO_OPERATOR_CLEAR : CAIRO_OPERATOR_OVER);
        if (stroke)
            cairo_stroke(cr_);
        else
            cairo_fill(cr_);
        cairo_set_operator(cr_, CAIRO_OPERATOR_OVER);
    }

    int width_, height_;
    cairo_surface_t* surface_;
    cairo_t* cr_;
    std::uint8_t* mask_;
    int stride_;
    Box box_;
};

constexpr double kPi = 3.14159265358979323846;

double radians(double degrees) { return degrees * kPi / 180.0; }

// A regular polygon of n corners on a circle of the given diameter.
void polygonPath(cairo_t* cr, double cx, double cy, double diameter, int corners,
                 double rotationDegrees) {
    corners = std::clamp(corners, 3, 64);
    for (int i = 0; i < corners; ++i) {
        const double a = radians(rotationDegrees) + 2.0 * kPi * i / corners;
        const double x = cx + diameter / 2.0 * std::cos(a), y = cy + diameter / 2.0 * std::sin(a);
        if (i == 0)
            cairo_move_to(cr, x, y);
        else
            cairo_line_to(cr, x, y);
    }
    cairo_close_path(cr);
}

// A rectangle of w x h centred at the origin of the current (rotated) frame.
void centredRectangle(cairo_t* cr, double w, double h) { cairo_rectangle(cr, -w / 2, -h / 2, w, h); }

// The aperture's shape flashed at (x, y): standard shapes and the
// primitives of macros as libgerbv simplified them.
void flash(Painter& p, const gerbv_aperture_t& ap, double x, double y) {
    cairo_t* cr = p.cr();
    const double* a = ap.parameter;
    cairo_save(cr);
    cairo_translate(cr, x, y);
    switch (ap.type) {
        case GERBV_APTYPE_CIRCLE:
            cairo_arc(cr, 0, 0, a[0] / 2.0, 0, 2 * kPi);
            p.fill();
            break;
        case GERBV_APTYPE_RECTANGLE:
            centredRectangle(cr, a[0], a[1]);
            p.fill();
            break;
        case GERBV_APTYPE_OVAL: {
            // A stroke of the smaller side's width between the two centres.
            const double w = a[0], h = a[1], d = std::min(w, h);
            cairo_set_line_width(cr, d);
            cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
            if (w >= h) {
                cairo_move_to(cr, -(w - d) / 2, 0);
                cairo_line_to(cr, (w - d) / 2, 0);
            } else {
                cairo_move_to(cr, 0, -(h - d) / 2);
                cairo_line_to(cr, 0, (h - d) / 2);
            }
            p.stroke();
            break;
        }
        case GERBV_APTYPE_POLYGON:
            polygonPath(cr, 0, 0, a[0], static_cast<int>(a[1]), a[2]);
            p.fill();
            break;
        case GERBV_APTYPE_MACRO:
            for (const gerbv_simplified_amacro_t* m = ap.simplified; m; m = m->next) {
                const double* q = m->parameter;
                cairo_save(cr);
                switch (m->type) {
                    case GERBV_APTYPE_MACRO_CIRCLE:
                        cairo_arc(cr, q[CIRCLE_CENTER_X], q[CIRCLE_CENTER_Y],
                                  q[CIRCLE_DIAMETER] / 2.0, 0, 2 * kPi);
                        p.fill(q[CIRCLE_EXPOSURE] == 0.0);
                        break;
                    case GERBV_APTYPE_MACRO_OUTLINE: {
                        const int n = static_cast<int>(q[OUTLINE_NUMBER_OF_POINTS]);
                        if (n < 1 || OUTLINE_ROTATION_IDX(q) >= APERTURE_PARAMETERS_MAX) break;
                        cairo_rotate(cr, radians(q[OUTLINE_ROTATION_IDX(q)]));
                        for (int i = 0; i <= n; ++i) {
                            const double px = q[OUTLINE_X_IDX_OF_POINT(i)],
                                         py = q[OUTLINE_Y_IDX_OF_POINT(i)];
                            if (i == 0)
                                cairo_move_to(cr, px, py);
                            else
                                cairo_line_to(cr, px, py);
                        }
                        cairo_close_path(cr);
                        p.fill(q[OUTLINE_EXPOSURE] == 0.0);
                        break;
                    }
                    case GERBV_APTYPE_MACRO_POLYGON:
                        cairo_rotate(cr, radians(q[POLYGON_ROTATION]));
                        polygonPath(cr, q[POLYGON_CENTER_X], q[POLYGON_CENTER_Y],
                                    q[POLYGON_DIAMETER], static_cast<int>(q[POLYGON_NUMBER_OF_POINTS]),
                                    0.0);
                        p.fill(q[POLYGON_EXPOSURE] == 0.0);
                        break;
                    case GERBV_APTYPE_MACRO_MOIRE: {
                        cairo_rotate(cr, radians(q[MOIRE_ROTATION]));
                        cairo_translate(cr, q[MOIRE_CENTER_X], q[MOIRE_CENTER_Y]);
                        double outer = q[MOIRE_OUTSIDE_DIAMETER] / 2.0;
                        const double ring = q[MOIRE_CIRCLE_THICKNESS], gap = q[MOIRE_GAP_WIDTH];
                        for (int i = 0; i < static_cast<int>(q[MOIRE_NUMBER_OF_CIRCLES]) &&
                                        outer > 0;
                             ++i) {
                            cairo_new_sub_path(cr);
                            cairo_arc(cr, 0, 0, outer, 0, 2 * kPi);
                            if (outer - ring > 0) {
                                cairo_new_sub_path(cr);
                                cairo_arc_negative(cr, 0, 0, outer - ring, 2 * kPi, 0);
                            }
                            p.fill();
                            outer -= ring + gap;
                        }
                        const double t = q[MOIRE_CROSSHAIR_THICKNESS], l = q[MOIRE_CROSSHAIR_LENGTH];
                        centredRectangle(cr, l, t);
                        centredRectangle(cr, t, l);
                        p.fill();
                        break;
                    }
                    case GERBV_APTYPE_MACRO_THERMAL: {
                        cairo_rotate(cr, radians(q[THERMAL_ROTATION]));
                        cairo_translate(cr, q[THERMAL_CENTER_X], q[THERMAL_CENTER_Y]);
                        const double outer = q[THERMAL_OUTSIDE_DIAMETER] / 2.0,
                                     inner = q[THERMAL_INSIDE_DIAMETER] / 2.0;
                        cairo_new_sub_path(cr);
                        cairo_arc(cr, 0, 0, outer, 0, 2 * kPi);
                        cairo_new_sub_path(cr);
                        cairo_arc_negative(cr, 0, 0, inner, 2 * kPi, 0);
                        p.fill();
                        // The four spokes' gaps are cut out again.
                        const double t = q[THERMAL_CROSSHAIR_THICKNESS];
                        centredRectangle(cr, 2 * outer + 2, t);
                        centredRectangle(cr, t, 2 * outer + 2);
                        p.fill(true);
                        break;
                    }
                    case GERBV_APTYPE_MACRO_LINE20: {
                        cairo_rotate(cr, radians(q[LINE20_ROTATION]));
                        cairo_set_line_width(cr, q[LINE20_WIDTH]);
                        cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
                        cairo_move_to(cr, q[LINE20_START_X], q[LINE20_START_Y]);
                        cairo_line_to(cr, q[LINE20_END_X], q[LINE20_END_Y]);
                        p.stroke(q[LINE20_EXPOSURE] == 0.0);
                        break;
                    }
                    case GERBV_APTYPE_MACRO_LINE21:
                        cairo_rotate(cr, radians(q[LINE21_ROTATION]));
                        cairo_translate(cr, q[LINE21_CENTER_X], q[LINE21_CENTER_Y]);
                        centredRectangle(cr, q[LINE21_WIDTH], q[LINE21_HEIGHT]);
                        p.fill(q[LINE21_EXPOSURE] == 0.0);
                        break;
                    case GERBV_APTYPE_MACRO_LINE22:
                        cairo_rotate(cr, radians(q[LINE22_ROTATION]));
                        cairo_rectangle(cr, q[LINE22_LOWER_LEFT_X], q[LINE22_LOWER_LEFT_Y],
                                        q[LINE22_WIDTH], q[LINE22_HEIGHT]);
                        p.fill(q[LINE22_EXPOSURE] == 0.0);
                        break;
                    default: break;
                }
                cairo_restore(cr);
            }
            break;
        default: break;
    }
    cairo_restore(cr);
}

// The path of a stroke from the net's start to its stop, straight or along
// its arc.
void strokePath(cairo_t* cr, const gerbv_net_t& net, double dx, double dy) {
    if ((net.interpolation == GERBV_INTERPOLATION_CW_CIRCULAR ||
         net.interpolation == GERBV_INTERPOLATION_CCW_CIRCULAR) &&
        net.cirseg) {
        const gerbv_cirseg_t& c = *net.cirseg;
        const double r = c.width / 2.0;
        const double a1 = radians(c.angle1), a2 = radians(c.angle2);
        cairo_new_sub_path(cr);
        if (c.angle2 >= c.angle1)
            cairo_arc(cr, c.cp_x + dx, c.cp_y + dy, r, a1, a2);
        else
            cairo_arc_negative(cr, c.cp_x + dx, c.cp_y + dy, r, a1, a2);
    } else {
        cairo_move_to(cr, net.start_x + dx, net.start_y + dy);
        cairo_line_to(cr, net.stop_x + dx, net.stop_y + dy);
    }
}

// A stroke drawn with the aperture: round apertures as round-capped lines,
// others as the aperture swept along a straight stroke (its shape at both
// ends and the hull between).
void stroke(Painter& p, const gerbv_net_t& net, const gerbv_aperture_t* ap, double dx,
            double dy) {
    cairo_t* cr = p.cr();
    if (!ap) return;
    if (ap->type == GERBV_APTYPE_CIRCLE || net.cirseg) {
        cairo_set_line_width(cr, std::max(ap->parameter[0], 1e-6));
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
        strokePath(cr, net, dx, dy);
        p.stroke();
        return;
    }
    flash(p, *ap, net.start_x + dx, net.start_y + dy);
    flash(p, *ap, net.stop_x + dx, net.stop_y + dy);
    if (ap->type == GERBV_APTYPE_RECTANGLE) {
        const double w = ap->parameter[0] / 2, h = ap->parameter[1] / 2;
        const double sx = net.start_x + dx, sy = net.start_y + dy, ex = net.stop_x + dx,
                     ey = net.stop_y + dy;
        // The swept rectangle is the hull of both rectangles: draw the four
        // quadrilaterals between corresponding corners' edges.
        const double cx[4] = {-w, w, w, -w}, cy[4] = {-h, -h, h, h};
        for (int i = 0; i < 4; ++i) {
            const int j = (i + 1) % 4;
            cairo_move_to(cr, sx + cx[i], sy + cy[i]);
            cairo_line_to(cr, sx + cx[j], sy + cy[j]);
            cairo_line_to(cr, ex + cx[j], ey + cy[j]);
            cairo_line_to(cr, ex + cx[i], ey + cy[i]);
            cairo_close_path(cr);
            p.fill();
        }
    } else {
        cairo_set_line_width(cr, std::max(ap->parameter[0], 1e-6));
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
        strokePath(cr, net, dx, dy);
        p.stroke();
    }
}

// Drawing objects one by one without antialiasing leaves slivers no camera
// resolves: a single bare pixel between a stroke and a region that touch, a
// single copper pixel where an outline grazes the grid. A bare pixel whose
// four neighbours are copper becomes copper (the label of the best-ranked
// neighbour), and a copper pixel whose four neighbours are bare becomes
// bare, each judged on the image as drawn.
void closeRasterSpecks(Image& labels) {
    const Image drawn = labels;
    for (int y = 1; y + 1 < drawn.height; ++y)
        for (int x = 1; x + 1 < drawn.width; ++x) {
            const std::uint8_t n[4] = {drawn.at(x - 1, y), drawn.at(x + 1, y), drawn.at(x, y - 1),
                                       drawn.at(x, y + 1)};
            const int copper = (n[0] != 0) + (n[1] != 0) + (n[2] != 0) + (n[3] != 0);
            if (drawn.at(x, y) == 0 && copper == 4) {
                std::uint8_t best = n[0];
                for (std::uint8_t v : n)
                    if (rank(v) > rank(best)) best = v;
                labels.at(x, y) = best;
            } else if (drawn.at(x, y) != 0 && copper == 0) {
                labels.at(x, y) = 0;
            }
        }
}

bool roundPad(const gerbv_aperture_t* ap) {
    return ap && (ap->type == GERBV_APTYPE_CIRCLE || ap->type == GERBV_APTYPE_OVAL);
}

// True when a drill hole's centre lies inside the round or obround pad.
bool drilled(const gerbv_aperture_t& ap, double x, double y, const std::vector<Hole>& holes) {
    const double w = ap.parameter[0] / 2.0,
                 h = (ap.type == GERBV_APTYPE_OVAL ? ap.parameter[1] : ap.parameter[0]) / 2.0;
    for (const Hole& hole : holes)
        if (std::fabs(hole.x - x) <= w && std::fabs(hole.y - y) <= h) return true;
    return false;
}

}  // namespace

RenderedBoard renderBoard(const RenderOptions& o, std::ostream* messages) {
    if (!(o.pixelMicrons > 0.0) || !std::isfinite(o.pixelMicrons))
        throw InputError("--pixel-um", "pixel size must be positive");
    if (o.margin < 0 || o.margin > 10000)
        throw InputError("--margin-px", "margin " + std::to_string(o.margin) +
                                            " is outside 0 to 10000");
    MessageSink sink{messages, o.verbose, 0};
    const guint handler = g_log_set_handler(nullptr,
                                            static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK |
                                                                        G_LOG_FLAG_FATAL |
                                                                        G_LOG_FLAG_RECURSION),
                                            collectMessage, &sink);
    struct Restore {
        guint id;
        ~Restore() { g_log_remove_handler(nullptr, id); }
    } restore{handler};

    Project project(gerbv_create_project());
    checkText(o.copper);
    checkApertureMacros(o.copper);
    checkStepAndRepeat(o.copper);
    gerbv_image_t* copper = openLayer(project.get(), o.copper, sink, o.parseSeconds);
    if (copper->layertype != GERBV_LAYERTYPE_RS274X)
        throw InputError(o.copper, "is not a Gerber copper layer");
    std::vector<Hole> holes;
    for (const std::string& path : o.drills) {
        gerbv_image_t* drill = openLayer(project.get(), path, sink, o.parseSeconds);
        if (drill->layertype != GERBV_LAYERTYPE_DRILL)
            throw InputError(path, "is not an Excellon drill file");
        const std::size_t before = holes.size();
        for (gerbv_net_t* net = drill->netlist; net; net = net->next) {
            if (net->aperture_state != GERBV_APERTURE_STATE_FLASH) continue;
            if (net->aperture < 0 || net->aperture >= APERTURE_MAX) continue;
            const gerbv_aperture_t* ap = drill->aperture[net->aperture];
            if (!ap) continue;
            holes.push_back(Hole{net->stop_x, net->stop_y, ap->parameter[0] / 2.0});
        }
        if (holes.size() == before) throw InputError(path, "drill file holds no hole");
    }

    RenderedBoard b;
    b.pixelMicrons = o.pixelMicrons;
    const gerbv_image_info_t& info = *copper->info;
    b.minX = info.min_x;
    b.minY = info.min_y;
    b.maxX = info.max_x;
    b.maxY = info.max_y;
    if (!(b.maxX > b.minX) || !(b.maxY > b.minY) || !std::isfinite(b.maxX - b.minX) ||
        !std::isfinite(b.maxY - b.minY))
        throw InputError(o.copper, "layer draws nothing");
    const double ppi = 25400.0 / o.pixelMicrons;
    const double w = std::ceil((b.maxX - b.minX) * ppi) + 1 + 2.0 * o.margin;
    const double h = std::ceil((b.maxY - b.minY) * ppi) + 1 + 2.0 * o.margin;
    if (w > 32767 || h > 32767 || w * h > o.maxPixels)
        throw InputError(o.copper, "a pixel size of " + std::to_string(o.pixelMicrons) +
                                       " um gives a reference of " + std::to_string(w) + " x " +
                                       std::to_string(h) + " pixels, beyond 32767 a side or " +
                                       (o.maxPixels == 2147483648.0 ? std::string("2^31")
                                                                    : std::to_string(static_cast<long long>(o.maxPixels))) +
                                       " in all");
    if (w - 2.0 * o.margin < 16 || h - 2.0 * o.margin < 16)
        throw InputError(o.copper, "a pixel size of " + std::to_string(o.pixelMicrons) +
                                       " um leaves the board under 16 pixels across");
    b.labels = Image(static_cast<int>(w), static_cast<int>(h), 1, 0);
    b.originX = o.margin;
    b.originY = o.margin;
    auto toPixel = [&](double x, double y) {
        return std::pair<double, double>{o.margin + (x - b.minX) * ppi,
                                         o.margin + (b.maxY - y) * ppi};
    };

    Painter p(b.labels.width, b.labels.height, ppi, b.minX, b.maxY, o.margin);
    cairo_t* cr = p.cr();
    bool drewSomething = false;
    for (gerbv_net_t* net = copper->netlist; net; net = net->next) {
        if (net->interpolation == GERBV_INTERPOLATION_DELETED) continue;
        const gerbv_layer_t* layer = net->layer;
        const bool clear = layer && layer->polarity == GERBV_POLARITY_CLEAR;
        const int repeatX = layer ? std::max(layer->stepAndRepeat.X, 1) : 1;
        const int repeatY = layer ? std::max(layer->stepAndRepeat.Y, 1) : 1;
        const double stepX = layer ? layer->stepAndRepeat.dist_X : 0.0;
        const double stepY = layer ? layer->stepAndRepeat.dist_Y : 0.0;

        if (net->interpolation == GERBV_INTERPOLATION_PAREA_START) {
            // A region: every outline up to the end of the area, filled.
            gerbv_net_t* last = net;
            for (int ix = 0; ix < repeatX; ++ix)
                for (int iy = 0; iy < repeatY; ++iy) {
                    const double dx = ix * stepX, dy = iy * stepY;
                    bool open = false;
                    for (gerbv_net_t* e = net->next;
                         e && e->interpolation != GERBV_INTERPOLATION_PAREA_END; e = e->next) {
                        last = e;
                        if (e->aperture_state != GERBV_APERTURE_STATE_ON) {
                            open = false;  // a move starts a new outline
                            continue;
                        }
                        if (!open) {
                            cairo_new_sub_path(cr);
                            cairo_move_to(cr, e->start_x + dx, e->start_y + dy);
                            open = true;
                        }
                        if ((e->interpolation == GERBV_INTERPOLATION_CW_CIRCULAR ||
                             e->interpolation == GERBV_INTERPOLATION_CCW_CIRCULAR) &&
                            e->cirseg) {
                            const gerbv_cirseg_t& c = *e->cirseg;
                            if (c.angle2 >= c.angle1)
                                cairo_arc(cr, c.cp_x + dx, c.cp_y + dy, c.width / 2.0,
                                          radians(c.angle1), radians(c.angle2));
                            else
                                cairo_arc_negative(cr, c.cp_x + dx, c.cp_y + dy, c.width / 2.0,
                                                   radians(c.angle1), radians(c.angle2));
                        } else {
                            cairo_line_to(cr, e->stop_x + dx, e->stop_y + dy);
                        }
                    }
                    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
                    p.fill();
                    p.merge(b.labels, kRegion, clear);
                }
            drewSomething = true;
            // Skip the area's outline and its end marker.
            net = last;
            if (net->next && net->next->interpolation == GERBV_INTERPOLATION_PAREA_END)
                net = net->next;
            continue;
        }
        if (net->aperture_state == GERBV_APERTURE_STATE_OFF) continue;
        const gerbv_aperture_t* ap =
            net->aperture >= 0 && net->aperture < APERTURE_MAX ? copper->aperture[net->aperture]
                                                               : nullptr;
        if (!ap) continue;
        for (int ix = 0; ix < repeatX; ++ix)
            for (int iy = 0; iy < repeatY; ++iy) {
                const double dx = ix * stepX, dy = iy * stepY;
                std::uint8_t label = kTrace;
                if (net->aperture_state == GERBV_APERTURE_STATE_FLASH) {
                    flash(p, *ap, net->stop_x + dx, net->stop_y + dy);
                    label = roundPad(ap) && drilled(*ap, net->stop_x + dx, net->stop_y + dy, holes)
                                ? kDrilledPad
                                : kPad;
                } else {
                    stroke(p, *net, ap, dx, dy);
                }
                p.merge(b.labels, label, clear);
            }
        drewSomething = true;
    }
    if (!drewSomething) throw InputError(o.copper, "layer draws nothing");
    closeRasterSpecks(b.labels);

    // Hole interiors in copper, and the hole list.
    int onBoard = 0;
    for (const Hole& hole : holes) {
        const auto [px, py] = toPixel(hole.x, hole.y);
        const double r = hole.radius * ppi;
        const int cx = static_cast<int>(std::lround(px)), cy = static_cast<int>(std::lround(py));
        if (cx < 0 || cy < 0 || cx >= b.labels.width || cy >= b.labels.height) continue;
        ++onBoard;
        const bool plated = b.labels.at(cx, cy) != 0;
        for (int y = std::max(static_cast<int>(py - r) - 1, 0);
             y <= std::min(static_cast<int>(py + r) + 1, b.labels.height - 1); ++y)
            for (int x = std::max(static_cast<int>(px - r) - 1, 0);
                 x <= std::min(static_cast<int>(px + r) + 1, b.labels.width - 1); ++x) {
                const double ex = x - px, ey = y - py;
                if (ex * ex + ey * ey <= r * r && b.labels.at(x, y) != 0)
                    b.labels.at(x, y) = kHoleInterior;
            }
        b.holes.push_back(HoleRecord{plated ? kHolePlated : kHoleUnplated, cx, cy,
                                     static_cast<int>(std::lround(r))});
    }
    if (!holes.empty() && onBoard == 0)
        throw InputError(o.drills.front(), "every hole lies outside the board (units or "
                                           "coordinates of the drill file?)");
    if (o.mirror) {
        // The bottom side as a camera looking at it sees it: columns
        // reversed, x → width − 1 − x.
        for (int y = 0; y < b.labels.height; ++y)
            std::reverse(b.labels.row(y), b.labels.row(y) + b.labels.width);
        for (HoleRecord& hole : b.holes) hole.x = b.labels.width - 1 - hole.x;
        b.originX = b.labels.width - 1 - b.originX;
    }
    b.mirrored = o.mirror;
    for (std::uint8_t v : b.labels.pixels) ++b.counts[v];
    b.messages = sink.count;
    return b;
}

void writeRender(const RenderedBoard& b, const RenderOptions& o, const fs::path& out) {
    OutputFolder folder(out);
    writePng(folder.stage("reference.png").string(), b.labels);
    std::string csv = "kind,x,y,r\n";
    for (const HoleRecord& h : b.holes)
        csv += std::to_string(h.kind) + "," + std::to_string(h.x) + "," + std::to_string(h.y) +
               "," + std::to_string(h.radius) + "\n";
    folder.writeText("holes.csv", csv);

    nlohmann::ordered_json j;
    j["pixel_um"] = b.pixelMicrons;
    j["dpi"] = 25400.0 / b.pixelMicrons;
    j["width"] = b.labels.width;
    j["height"] = b.labels.height;
    j["extent_inch"] = {{"min_x", b.minX}, {"min_y", b.minY}, {"max_x", b.maxX}, {"max_y", b.maxY}};
    j["extent_mm"] = {{"min_x", b.minX * 25.4},
                      {"min_y", b.minY * 25.4},
                      {"max_x", b.maxX * 25.4},
                      {"max_y", b.maxY * 25.4}};
    j["origin"] = {{"x", b.originX},
                   {"y", b.originY},
                   {"about", b.mirrored
                                 ? "reference pixel of the Gerber point (min_x, max_y); the "
                                   "image is mirrored: Gerber x grows leftwards, y downwards"
                                 : "reference pixel of the Gerber point (min_x, max_y); x grows "
                                   "rightwards, y downwards"}};
    j["mirror"] = b.mirrored ? "x" : "none";
    j["mirror_about"] = "x: columns reversed (pixel x becomes width - 1 - x), as a camera sees "
                        "the bottom side; none: as seen from the top";
    nlohmann::ordered_json counts = nlohmann::ordered_json::object();
    for (int v = 0; v < 256; ++v)
        if (b.counts[v]) counts[std::to_string(v)] = b.counts[v];
    j["label_counts"] = counts;
    j["holes"] = b.holes.size();
    j["files"] = {{"copper", o.copper}, {"drills", o.drills}};
    j["libgerbv_messages"] = b.messages;
    folder.writeText("render.json", j.dump(2) + "\n");

    // The labels in colours a person tells apart.
    Image preview(b.labels.width, b.labels.height, 3, 0);
    for (std::size_t i = 0; i < b.labels.pixels.size(); ++i) {
        std::uint8_t* c = &preview.pixels[3 * i];
        switch (b.labels.pixels[i]) {
            case 0: c[0] = 20, c[1] = 20, c[2] = 30; break;
            case kTrace: c[0] = 230, c[1] = 160, c[2] = 40; break;
            case kRegion: c[0] = 60, c[1] = 150, c[2] = 230; break;
            case kPad: c[0] = 60, c[1] = 200, c[2] = 80; break;
            case kDrilledPad: c[0] = 220, c[1] = 60, c[2] = 60; break;
            case kHoleInterior: c[0] = 250, c[1] = 250, c[2] = 250; break;
            default: c[0] = 160, c[1] = 160, c[2] = 160; break;
        }
    }
    writePng(folder.stage("preview.png").string(), preview);
    folder.commit();
}

}  // namespace pcbinspect::tool
