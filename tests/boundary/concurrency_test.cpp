// Exports called from several threads at once on disjoint buffers give the
// same bytes as when called one after another (and, under the tsan preset,
// no data race).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "boundary/parallel.h"
#include "pcbinspect/exports.h"
#include "support/board_builder.h"
#include "support/reference_builder.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;

// One call of an export on buffers of its own; returns the bytes it wrote.
using Job = std::function<std::vector<std::uint8_t>()>;

template <class T>
std::vector<std::uint8_t> bytesOf(const std::vector<T>& values, std::size_t count) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(values.data());
    return std::vector<std::uint8_t>(p, p + count * sizeof(T));
}

// The suspected-flaw search on a synthetic board; with `windowInIgnore` the
// camera window is the last 400 x 400 bytes of the ignore map's buffer.
std::vector<std::uint8_t> searchJob(bool windowInIgnore) {
    const testing::Board board = testing::syntheticBoard(600, 600, 11);
    std::vector<std::uint8_t> ref = board.labels, ignore(600 * 600, 0);
    testing::GuardedImage cam(400, 400);
    testing::renderCamera(board, 100, 100, cam);
    std::uint8_t* window = cam.data();
    if (windowInIgnore) {
        window = ignore.data() + 200 * 1000;
        for (int y = 0; y < 400; ++y) std::copy_n(cam.data() + y * cam.stride(), 400, window + y * 400);
    }
    std::vector<std::uint8_t> mask(400 * 400, 0);
    std::int32_t position[2] = {0, 0};
    float score = 0.0f;
    std::vector<std::int32_t> records(6 * 50, 0);
    const int n = findSuspectedFlaws(ref.data(), ignore.data(), 600, 600, 600, window, mask.data(),
                                     400, 400, 400, 1, 50, 0.9f, position, &score, 10, 50, 4, false,
                                     records.data(), 300, nullptr, false, 0);
    records.resize(6 * n);
    records.insert(records.end(), position, position + 2);
    return bytesOf(records, records.size());
}

const Job kJobs[] = {
    [] {
        std::vector<std::uint8_t> ref = testing::syntheticReference(512, 3);
        correctInvalidLines(ref.data(), 512, 512, 512);
        correctCAD(ref.data(), 512, 512, 512);
        return ref;
    },
    [] {
        std::vector<std::uint8_t> src(300 * 200), dst(2 * 64 * 48, 0);
        for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i * 7);
        // The first device request of the process may come from here.
        getSubGray(src.data(), 300, 300, 200, dst.data(), 64, 64, 48, 150.3f, 99.7f, 17.0f, true);
        getSubGrayNearest(src.data(), 300, 300, 200, dst.data() + 64 * 48, 64, 64, 48, 150.3f,
                          99.7f, 17.0f);
        return dst;
    },
    [] {
        PrebuildCudaEnv();  // 0.1 or 0.0, depending on which thread asked first
        std::vector<std::uint8_t> dib(100 * 3 * 60);
        for (std::size_t i = 0; i < dib.size(); ++i) dib[i] = static_cast<std::uint8_t>(i);
        skewDIB(dib.data(), 100, 300, 60, 4, true);
        return dib;
    },
    [] {
        std::vector<std::uint8_t> img(240 * 180, 0);
        Canvas(img.data(), 240, 240, 180).disc(80, 90, 30, 255);
        Canvas(img.data(), 240, 240, 180).disc(170, 80, 22, 255);
        std::vector<CircleRecord> out(21);
        return bytesOf(out, findCircles(img.data(), 240, 240, 180, 40, 10, 30, out.data(), 20));
    },
    [] {
        std::vector<std::uint8_t> img(150 * 120, 200);
        const std::int32_t pts[] = {10, 10, 100, 20, 60, 90};
        const std::int32_t counts[] = {3};
        getMaskGray(nullptr, nullptr, pts, counts, 1, nullptr, nullptr, 0, img.data(), 150, 150,
                    120, 0.0f, 0.0f, 0.0f);
        ZeroOutboundGray(img.data(), 150, 150, 120, 75, 60, 80, 50, 30.0f, 10, 10, 130, 100);
        return img;
    },
    [] {
        std::vector<std::uint8_t> ref(400 * 400, 0), cam(400 * 400, 0);
        Canvas(ref.data(), 400, 400, 400).rect(20, 20, 379, 379, 100);
        std::vector<float> params(35, 0.0f);
        std::int32_t control[5] = {0, 0, 0, 0, 0};
        std::vector<FlawCandidate> c{{200, 200, 200, 200, 0}, {100, 300, 100, 300, 0}};
        std::vector<std::int32_t> flaws(70, -1);
        const int n = inspect(ref.data(), nullptr, 400, 400, 400, cam.data(), 400, 400, 400, 0, 0,
                              params.data(), 35, c.data(), 2, 0, 0, flaws.data(), 70, nullptr,
                              false, nullptr, 0, nullptr, nullptr, 0, 0, control);
        return bytesOf(flaws, 7 * n);
    },
    [] { return searchJob(false); },
    // A caller whose camera window lies inside its ignore map's buffer: the
    // search keeps the steps that change and read them in order.
    [] { return searchJob(true); },
};

TEST(Concurrency, ExportsOnDisjointBuffersMatchSerialResults) {
    // Two threads per job, all started together.
    std::vector<std::vector<std::uint8_t>> results(2 * std::size(kJobs));
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] { results[i] = kJobs[i / 2](); });
    for (std::thread& t : threads) t.join();
    for (std::size_t j = 0; j < std::size(kJobs); ++j) {
        const std::vector<std::uint8_t> serial = kJobs[j]();
        EXPECT_FALSE(serial.empty()) << "job " << j;
        for (int k : {0, 1}) EXPECT_EQ(results[2 * j + k], serial) << "job " << j;
    }
}

// The call's own threads: every index exactly once, with worker numbers
// below the limit, also while other calls share the pool; a call from
// inside a task finishes (on fewer threads when the budget is taken); a
// task's exception reaches the caller.
TEST(Concurrency, ParallelForVisitsEveryIndexOnceAndNests) {
    const auto nested = [] {
        std::vector<std::atomic<int>> visits(500);
        std::atomic<int> inner{0};
        parallelFor(500, 4, [&](int worker, int i) {
            ++visits[static_cast<std::size_t>(i)];
            EXPECT_LT(worker, std::min(4, threadBudget()));
            if (i % 100 == 0) parallelFor(10, 4, [&](int, int) { ++inner; });
        });
        for (const std::atomic<int>& v : visits) EXPECT_EQ(v.load(), 1);
        EXPECT_EQ(inner.load(), 50);
    };
    nested();
    std::vector<std::thread> callers;
    for (int c = 0; c < 3; ++c) callers.emplace_back(nested);
    for (std::thread& t : callers) t.join();
    int single = 0;
    parallelFor(1, 4, [&](int, int i) { single += 1 + i; });
    EXPECT_EQ(single, 1);
    const auto failing = [](int, int i) {
        if (i == 37) throw std::runtime_error("task 37");
    };
    EXPECT_THROW(parallelFor(100, 4, failing), std::runtime_error);
}

}  // namespace
}  // namespace pcbinspect
