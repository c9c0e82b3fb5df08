// Work of one call spread over threads: the caller's and, for the length of
// the call, helper threads within a process-wide budget.
#pragma once

#include <functional>

namespace pcbinspect {

// Threads one call may use, the caller's included: PCBINSPECT_THREADS, read
// once (unset, 0 or unreadable: the hardware's threads), at least 1.
int threadBudget();

// Runs task(worker, index) for every index of [0, count), on at most
// `maxWorkers` threads. The caller is worker 0 and helpers are numbered from
// 1, so a task can keep scratch per worker; which worker takes which index
// is not fixed, so a task writes only its own index's results. Helpers are
// started for this call and joined before it returns, and all calls running
// at once share one budget of threadBudget() - 1 helpers: a concurrent call,
// or one made from inside a task, runs on fewer threads (down to the
// caller's alone) instead of oversubscribing. The first exception a task
// throws stops the handing out of indices and is rethrown here.
void parallelFor(int count, int maxWorkers, const std::function<void(int, int)>& task);

// Runs rows(first, end) over bands of consecutive rows that cover [0, rows)
// once, on as many threads as the budget allows with at least `minRows`
// rows a band. For work whose rows are independent: the result does not
// depend on the number of bands.
void parallelRows(int rows, int minRows, const std::function<void(int, int)>& band);

}  // namespace pcbinspect
