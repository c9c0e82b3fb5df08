"""Batch inspection and evaluation on a Dask cluster: one pair a task.

Every task gets the paths of its pair's files (made absolute here) and
reads them itself, so every worker must see the files under the same paths
(an archive on shared storage); only results travel back. Each worker
process loads the library once, when it starts (a worker plugin), and keeps
it. Results come back to the client in the input order.

Faults: a pair whose files cannot be read is a failed pair in the results,
and the run goes on. When a worker dies, the scheduler runs its tasks again
on the others; a task under which more than
distributed.scheduler.allowed-failures workers died (a pair that crashes
the library, say) becomes a failed pair. A task that raises is tried
RETRIES more times, then stops the run. Results never depend on which
worker ran what.

Needs dask.distributed (Debian: python3-dask, python3-distributed)."""

from __future__ import annotations

import logging
import os
import uuid
from contextlib import contextmanager

try:
    import dask
    from distributed import Client, LocalCluster, as_completed
    from distributed.diagnostics.plugin import WorkerPlugin
    from distributed.scheduler import KilledWorker
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError("pcbinspect.cluster needs dask.distributed (Debian: python3-distributed)"
                      ) from e

from . import batch as _batch
from . import evaluation as _evaluation
from ._library import library
from .batch import BAD_INPUT, BatchPair, PairRun
from .evaluation import EvaluationPair, PairOutcome
from .presets import Preset

#: Further tries of a task that raised (not of one whose worker died).
RETRIES = 2


class LoadLibrary(WorkerPlugin):
    """Loads libpcbinspect in every worker process as it starts, so that a
    worker that cannot load it says so at once."""

    name = "pcbinspect-library"

    def setup(self, worker):
        library()


@contextmanager
def connected(client: Client | None = None, workers: int | None = None):
    """The client given, or one of a LocalCluster of `workers` processes (one
    thread each: the library's calls in one process take turns) closed again
    at the end."""
    if client is not None:
        yield client
        return
    # No statistical profiling in the workers: it takes a tenth of a pair's
    # time, for a dashboard this cluster does not show.
    with dask.config.set({"distributed.worker.profile.enabled": False}):
        cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                               processes=True, dashboard_address=":0",
                               silence_logs=logging.ERROR)
    try:
        with Client(cluster, set_as_default=False) as own:
            yield own
    finally:
        cluster.close()


def run_tasks(client: Client, function, items: list, arguments: dict, failed, progress=None):
    """function(item, **arguments) on the cluster for every item, one task
    each; the results in the order of the items. failed(message) makes the
    result of a task whose workers kept dying; progress(index, result) is
    called here as each result arrives."""
    client.register_worker_plugin(LoadLibrary(), name=LoadLibrary.name)
    run = uuid.uuid4().hex[:12]
    futures = [client.submit(function, item, **arguments, key=f"pcbinspect-pair-{i}-{run}",
                             retries=RETRIES, pure=False)
               for i, item in enumerate(items)]
    where = {f.key: i for i, f in enumerate(futures)}
    results: list = [None] * len(items)
    try:
        for future in as_completed(futures, loop=client.loop):
            i = where[future.key]
            try:
                results[i] = future.result()
            except KilledWorker:
                deaths = dask.config.get("distributed.scheduler.allowed-failures") + 1
                results[i] = failed(f"{deaths} workers died inspecting it")
            futures[i] = None  # the worker may let the result go
            if progress is not None:
                progress(i, results[i])
    except BaseException:
        client.cancel([f for f in futures if f is not None])
        raise
    return results


def inspect_many(pairs, preset: Preset | str | os.PathLike | None = None,
                 client: Client | None = None, golden: bool = False, copper: str = "bright",
                 threshold: int | None = None, *, workers: int | None = None,
                 progress=None) -> list[PairRun]:
    """Inspects every pair, one task each, and returns a batch.PairRun per
    pair in their order (status "bad input" and the reason for a pair whose
    files cannot be read). A pair is a batch.BatchPair or a (reference,
    camera[, ignore[, mask]]) sequence of paths. Without a client, a
    LocalCluster of `workers` processes (default: one per core) runs them.
    progress(index, result) is called as each result arrives."""
    preset = _evaluation.prepare(preset, copper, threshold)
    items = [_batch.absolute(_batch.as_pair(p)) for p in pairs]
    with connected(client, workers) as c:
        return run_tasks(c, _batch.inspect_files, items,
                         dict(preset=preset, golden=golden, copper=copper, threshold=threshold),
                         lambda message: PairRun(BAD_INPUT, message), progress)


def evaluate_pairs(pairs: list[EvaluationPair], preset: Preset, *, golden: bool = False,
                   copper: str = "bright", threshold: int | None = None, margin: int = 4,
                   client: Client | None = None, workers: int | None = None,
                   progress=None) -> list[PairOutcome]:
    """evaluation.evaluate_pair of every pair on the cluster, in their order."""
    items = [_evaluation.absolute(p) for p in pairs]
    with connected(client, workers) as c:
        return run_tasks(c, _evaluation.evaluate_pair, items,
                         dict(preset=preset, golden=golden, copper=copper, threshold=threshold,
                              margin=margin),
                         lambda message: PairOutcome(BAD_INPUT, message), progress)


def evaluate(list_path: str | os.PathLike, *, golden: bool = False, copper: str = "bright",
             threshold: int | None = None, preset: Preset | str | os.PathLike | None = None,
             margin: int = 4, client: Client | None = None, workers: int | None = None,
             progress=None) -> dict:
    """pcbinspect.evaluate with one task a pair: the same summary (the
    tool's summary.json), computed from the pairs' outcomes by
    evaluation.summarize."""
    preset = _evaluation.prepare(preset, copper, threshold, margin)
    pairs = _evaluation.read_evaluation_list(list_path)
    outcomes = evaluate_pairs(pairs, preset, golden=golden, copper=copper, threshold=threshold,
                              margin=margin, client=client, workers=workers, progress=progress)
    return _evaluation.summarize(outcomes, preset, margin)


__all__ = ["RETRIES", "BatchPair", "EvaluationPair", "LoadLibrary", "PairOutcome", "PairRun",
           "connected", "evaluate", "evaluate_pairs", "inspect_many", "run_tasks"]
