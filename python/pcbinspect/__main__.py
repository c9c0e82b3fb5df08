"""python3 -m pcbinspect evaluate|batch LIST ...: the command-line tool's
`evaluate` and `batch` with one pair a task on a Dask cluster (a scheduler
given with --scheduler, or a local cluster of --workers processes).

evaluate writes the tool's summary.json, pairs.csv and confusion.csv and
prints its table; batch writes report.json and report.csv per pair and
summary.csv. A progress bar goes to standard error. Exit status as the
tool's: 0 done, 2 bad input (a bad list, or pairs that failed), 1 any other
failure."""

from __future__ import annotations

import argparse
import sys
import time

from ._library import LibraryNotFound
from .evaluation import BAD_INPUT


class ProgressBar:
    """The tool's progress line: "[####......] 12/40 pairs, 3.10 per second,
    9 s left", and a line for each failed pair."""

    WIDTH = 30

    def __init__(self, total: int, stream=None):
        self.total, self.done = total, 0
        self.stream = stream if stream is not None else sys.stderr
        self.start = time.monotonic()

    def __call__(self, index, result):
        self.done += 1
        if result.status == BAD_INPUT:
            self.stream.write(f"\r\033[K{result.error} (skipped)\n")
        seconds = time.monotonic() - self.start
        rate = self.done / seconds if seconds > 0 else 0.0
        filled = self.WIDTH * self.done // self.total
        left = (self.total - self.done) / rate if rate > 0 else 0.0
        self.stream.write(f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] {self.done}/"
                          f"{self.total} pairs, {rate:.2f} per second, {left:.0f} s left")
        self.stream.flush()

    def close(self):
        self.stream.write("\n")
        self.stream.flush()


def _threshold(value: str) -> int:
    n = int(value)
    if not 0 <= n <= 255:
        raise argparse.ArgumentTypeError(f"{n} is outside 0 to 255")
    return n


def _positive(value: str) -> int:
    n = int(value)
    if n < 1:
        raise argparse.ArgumentTypeError(f"{n} is not a positive number")
    return n


def _margin(value: str) -> int:
    n = int(value)
    if not 0 <= n <= 1000:
        raise argparse.ArgumentTypeError(f"{n} is outside 0 to 1000")
    return n


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python3 -m pcbinspect",
        description="pcbinspect's evaluate and batch on a Dask cluster, one pair a task. The "
                    "workers read the images themselves: every worker must see the list's "
                    "files under the same paths.",
        epilog="Exit status: 0 done, 1 failure, 2 bad input (or pairs that failed).")
    commands = p.add_subparsers(dest="command", required=True)
    evaluate = commands.add_parser(
        "evaluate", help="inspect annotated pairs and measure recall, precision and family "
                         "agreement")
    evaluate.add_argument("list", metavar="LIST",
                          help="one pair per line: REFERENCE CAMERA TRUTH; TRUTH has one defect "
                               "per line, x1 y1 x2 y2 type (camera pixels)")
    evaluate.add_argument("--margin", type=_margin, default=4,
                          help="pixels a flaw may lie outside its box (default 4)")
    evaluate.add_argument("--out", default="pcbinspect-evaluation", help="output folder")
    batch = commands.add_parser("batch", help="inspect many pairs listed in a file")
    batch.add_argument("list", metavar="LIST",
                       help="one pair per line: REFERENCE CAMERA [IGNORE [MASK]], '-' for none")
    batch.add_argument("--out", default="pcbinspect-batch", help="output folder")
    for c in (evaluate, batch):
        c.add_argument("--scheduler", metavar="ADDRESS",
                       help="the scheduler of a running cluster, e.g. tcp://HOST:8786 (default: "
                            "a local cluster)")
        c.add_argument("--workers", type=_positive,
                       help="worker processes of the local cluster (default: one per core)")
        c.add_argument("--golden", action="store_true",
                       help="REFERENCE is an image of a good board, binarised like the camera "
                            "image")
        c.add_argument("--copper", choices=("bright", "dark"), default="bright",
                       help="bright: copper at or above the threshold; dark: at or below it")
        c.add_argument("--threshold", type=_threshold, default=0,
                       help="gray level of copper (default: any non-zero pixel; 128 with "
                            "--golden or --copper dark)")
        c.add_argument("--preset", help="preset JSON (default: the built-in preset)")
    return p


def main(argv=None) -> int:
    args = parser().parse_args(argv)
    if args.scheduler and args.workers:
        print("pcbinspect: --workers is for a local cluster, not with --scheduler",
              file=sys.stderr)
        return 2
    from . import batch, cluster, evaluation  # dask is imported here, not for --help

    # As the tool: a threshold of 0 means the mode's default.
    threshold = None if args.threshold == 0 and (args.golden or args.copper == "dark") else (
        args.threshold)
    try:
        preset = evaluation.prepare(args.preset, args.copper, threshold,
                                    getattr(args, "margin", 0))
        if args.command == "evaluate":
            pairs = evaluation.read_evaluation_list(args.list)
        else:
            pairs = batch.read_batch_list(args.list)
    except (ValueError, OSError) as e:
        print(f"pcbinspect: {e}", file=sys.stderr)
        return 2

    settings = dict(golden=args.golden, copper=args.copper, threshold=threshold)
    client = None
    if args.scheduler:
        from distributed import Client
        try:
            client = Client(args.scheduler, set_as_default=False)
        except OSError as e:
            print(f"pcbinspect: cannot reach the scheduler {args.scheduler}: {e}",
                  file=sys.stderr)
            return 1
    try:
        with cluster.connected(client, args.workers) as c:
            workers = sum(c.nthreads().values())
            bar = ProgressBar(len(pairs))
            start = time.monotonic()
            try:
                if args.command == "evaluate":
                    outcomes = cluster.evaluate_pairs(pairs, preset, margin=args.margin,
                                                      client=c, progress=bar, **settings)
                else:
                    outcomes = cluster.inspect_many(pairs, preset, client=c, progress=bar,
                                                    **settings)
            finally:
                bar.close()
            seconds = time.monotonic() - start
    except LibraryNotFound as e:  # raised by a worker as it starts
        print(f"pcbinspect: a worker cannot load the library: {e}", file=sys.stderr)
        return 1
    finally:
        if client is not None:
            client.close()

    if args.command == "evaluate":
        summary = evaluation.summarize(outcomes, preset, args.margin)
        evaluation.write_evaluation(args.out, pairs, outcomes, summary)
        sys.stdout.write(evaluation.report_text(summary))
        failed = summary["failed"]
    else:
        batch.write_batch(args.out, pairs, outcomes, preset, args.preset or "default")
        sys.stderr.write(batch.batch_line(outcomes, seconds, workers) + "\n")
        failed = sum(r.status == BAD_INPUT for r in outcomes)
    return 2 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
