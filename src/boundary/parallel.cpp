#include "boundary/parallel.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace pcbinspect {
namespace {

// Helpers running in the whole process.
std::atomic<int> helpersInUse{0};

// Takes up to `wanted` helpers from the budget; returns how many it got.
int reserveHelpers(int wanted) {
    const int limit = threadBudget() - 1;
    int inUse = helpersInUse.load();
    for (;;) {
        const int granted = std::max(0, std::min(wanted, limit - inUse));
        if (granted == 0) return 0;
        if (helpersInUse.compare_exchange_weak(inUse, inUse + granted)) return granted;
    }
}

}  // namespace

int threadBudget() {
    static const int budget = [] {
        int n = 0;
        if (const char* text = std::getenv("PCBINSPECT_THREADS")) {
            char* end = nullptr;
            const long v = std::strtol(text, &end, 10);
            if (end != text && *end == '\0' && v > 0 && v <= 1024) n = static_cast<int>(v);
        }
        if (n == 0) n = static_cast<int>(std::thread::hardware_concurrency());
        return std::max(n, 1);
    }();
    return budget;
}

void parallelFor(int count, int maxWorkers, const std::function<void(int, int)>& task) {
    if (count <= 0) return;
    const int helpers = count > 1 ? reserveHelpers(std::min(maxWorkers, count) - 1) : 0;
    if (helpers == 0) {
        for (int i = 0; i < count; ++i) task(0, i);
        return;
    }
    std::atomic<int> next{0};
    std::atomic<bool> stop{false};
    std::exception_ptr failure;
    std::mutex failureLock;
    auto work = [&](int worker) {
        for (int i; !stop.load() && (i = next.fetch_add(1)) < count;) {
            try {
                task(worker, i);
            } catch (...) {
                std::lock_guard<std::mutex> g(failureLock);
                if (!failure) failure = std::current_exception();
                stop = true;
            }
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(helpers));
    try {
        for (int h = 1; h <= helpers; ++h) threads.emplace_back(work, h);
    } catch (...) {
        // A helper that could not be started leaves its share to the others.
    }
    work(0);
    for (std::thread& t : threads) t.join();
    helpersInUse -= helpers;
    if (failure) std::rethrow_exception(failure);
}

void parallelRows(int rows, int minRows, const std::function<void(int, int)>& band) {
    if (rows < 1) return;
    const int bands = std::max(1, std::min(threadBudget(), rows / std::max(minRows, 1)));
    parallelFor(bands, bands, [&](int, int b) {
        const int first = static_cast<int>(static_cast<long long>(rows) * b / bands);
        const int end = static_cast<int>(static_cast<long long>(rows) * (b + 1) / bands);
        band(first, end);
    });
}

}  // namespace pcbinspect
