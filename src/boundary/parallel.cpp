#include "boundary/parallel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "boundary/scratch_memory.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace pcbinspect {
namespace {

// Helpers taken by the calls running in the whole process.
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

// One parallelFor call: indices are handed out one at a time to its caller
// and to the pool workers that take one of its places.
struct Job {
    const std::function<void(int, int)>* task = nullptr;
    // The scratch blocks of the call: its tasks allocate from them on
    // whichever thread runs them.
    ScratchArena* scratch = currentScratchArena();
    int count = 0;
    std::atomic<int> next{0};
    std::atomic<bool> stop{false};
    std::exception_ptr failure;
    std::mutex failureLock;
    // Guarded by the pool's lock; `running` may also be read without it.
    int open = 0;     // places offered and not yet taken
    int joined = 0;   // places taken, so the next helper's worker number
    std::atomic<int> running{0};  // helpers still working on it

    void work(int worker) {
        const AdoptedScratchArena adopted(scratch);
        for (int i; !stop.load() && (i = next.fetch_add(1)) < count;) {
            try {
                (*task)(worker, i);
            } catch (...) {
                std::lock_guard<std::mutex> g(failureLock);
                if (!failure) failure = std::current_exception();
                stop = true;
            }
        }
    }
};

// The process-wide workers. A worker is started when a call offers more
// places than there are idle workers, and ends after a while without work,
// so an idle process holds no threads. It is never destroyed: workers may
// still wait on its lock while the process exits, and nothing joins them.
class Pool {
public:
    static Pool& instance() {
        static Pool* const pool = new Pool;
        return *pool;
    }

    // Offers `places` helper places of `job` to the workers.
    void offer(Job& job, int places) {
        std::lock_guard<std::mutex> g(lock_);
        job.open = places;
        jobs_.push_back(&job);
        setOpen(open_ + places);
        while (open_ > idle_ + starting_ && workers_ < threadBudget() - 1 && start()) {
        }
        if (places == 1) {
            wake_.notify_one();
        } else {
            wake_.notify_all();
        }
    }

    // Withdraws the places of `job` nobody took and waits until the helpers
    // working on it are done.
    void finish(Job& job) {
        std::unique_lock<std::mutex> g(lock_);
        if (job.open > 0) {
            jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
            setOpen(open_ - job.open);
            job.open = 0;
        }
        // Helpers mostly end within microseconds of the caller: it looks
        // for a short while before it sleeps.
        if (job.running > 0) {
            g.unlock();
            spinUntil([&] { return job.running.load() == 0; });
            g.lock();
        }
        left_.wait(g, [&] { return job.running == 0; });
    }

private:
    // Starts one worker (lock held); false when the system refuses.
    bool start() {
        try {
#ifdef _WIN32
            // The worker holds a reference on this DLL and drops it as it
            // ends, so unloading the DLL waits for idle workers to leave
            // instead of joining them under the loader lock.
            HMODULE self = nullptr;
            if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                    reinterpret_cast<LPCWSTR>(&helpersInUse), &self))
                return false;
            HANDLE thread = CreateThread(nullptr, 0, &Pool::threadMain, self, 0, nullptr);
            if (!thread) {
                FreeLibrary(self);
                return false;
            }
            CloseHandle(thread);
#else
            std::thread([this] { serve(); }).detach();
#endif
        } catch (...) {
            return false;
        }
        ++workers_;
        ++starting_;
        return true;
    }

#ifdef _WIN32
    static DWORD WINAPI threadMain(LPVOID self) {
        instance().serve();
        FreeLibraryAndExitThread(static_cast<HMODULE>(self), 0);
    }
#endif

    // A worker's life: take a place, help with its job, repeat; end after
    // kIdleEnd without work.
    void serve() {
        std::unique_lock<std::mutex> g(lock_);
        --starting_;
        for (;;) {
            ++idle_;
            // A call's next job usually follows its last within
            // microseconds: a worker looks for one for a short while before
            // it sleeps, and counts as idle meanwhile.
            if (jobs_.empty()) {
                g.unlock();
                spinUntil([&] { return offered_.load() > 0; });
                g.lock();
            }
            const bool offered = wake_.wait_for(g, kIdleEnd, [&] { return !jobs_.empty(); });
            --idle_;
            if (!offered) break;
            Job& job = *jobs_.front();
            const int worker = ++job.joined;
            ++job.running;
            setOpen(open_ - 1);
            if (--job.open == 0) jobs_.pop_front();
            g.unlock();
            job.work(worker);
            g.lock();
            if (--job.running == 0) left_.notify_all();
        }
        --workers_;
    }

    static constexpr std::chrono::seconds kIdleEnd{2};
    static constexpr std::chrono::microseconds kSpin{100};

    // Polls `done` for up to kSpin, without the lock.
    template <class Done>
    static void spinUntil(Done done) {
        const auto until = std::chrono::steady_clock::now() + kSpin;
        while (!done()) {
            for (int i = 0; i < 64; ++i) cpuRelax();
            if (std::chrono::steady_clock::now() >= until) return;
        }
    }
    static void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#else
        std::this_thread::yield();
#endif
    }
    // open_, mirrored where workers look for places without the lock.
    void setOpen(int places) {
        open_ = places;
        offered_.store(places);
    }

    std::mutex lock_;
    std::condition_variable wake_;  // places were offered
    std::condition_variable left_;  // a helper left its job
    std::deque<Job*> jobs_;         // jobs with open places, oldest first
    int open_ = 0;                  // open places of all jobs
    std::atomic<int> offered_{0};   // the same, read without the lock
    int workers_ = 0;               // workers alive
    int idle_ = 0;                  // workers waiting for a place
    int starting_ = 0;              // workers started that have not yet waited
};

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
    Job job;
    job.task = &task;
    job.count = count;
    Pool& pool = Pool::instance();
    pool.offer(job, helpers);
    job.work(0);
    pool.finish(job);
    helpersInUse -= helpers;
    if (job.failure) std::rethrow_exception(job.failure);
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
