"""Batch inspection and evaluation on a Dask cluster (two worker processes,
one thread each) against the command-line tool and the serial path, with a
worker killed during a run and pairs that cannot be read."""

import csv
import json
import logging
import os
import signal
import subprocess

import pytest

distributed = pytest.importorskip(
    "distributed", reason="dask.distributed is not installed (Debian: python3-distributed)")

import pcbinspect as pi  # noqa: E402
from pcbinspect import cluster  # noqa: E402
from pcbinspect.__main__ import main  # noqa: E402


def run_tool(tool, *args, check=True):
    return subprocess.run([str(tool), *map(str, args)], check=check, capture_output=True,
                          text=True)


def local_cluster():
    return distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                    dashboard_address=":0", silence_logs=logging.ERROR)


@pytest.fixture(scope="module")
def boards(tool, tmp_path_factory):
    """Four random boards of the tool's synth (40 defects each), their
    evaluation list and a batch list of the same pairs."""
    folder = tmp_path_factory.mktemp("boards")
    run_tool(tool, "synth", "--count", 4, "--out", folder)
    lines = (folder / "list.txt").read_text().split("\n")
    (folder / "batch.txt").write_text("\n".join(" ".join(w.split()[:2]) for w in lines))
    return folder


@pytest.fixture(scope="module")
def client():
    with local_cluster() as c, distributed.Client(c, set_as_default=False) as client:
        yield client


def without_timings(rows, *columns):
    return [{k: v for k, v in row.items() if k not in columns} for row in rows]


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def test_cluster_evaluate_and_batch_write_the_tools_figures_and_files(
        tool, boards, client, tmp_path, capsys):
    address = client.scheduler.address
    theirs = tmp_path / "tool"
    table = run_tool(tool, "evaluate", boards / "list.txt", "--jobs", 2, "--out",
                     theirs).stdout.splitlines()
    assert main(["evaluate", str(boards / "list.txt"), "--scheduler", address, "--out",
                 str(tmp_path / "ours")]) == 0
    ours = capsys.readouterr().out.splitlines()
    # The table but for the timing line, and the machine-readable last line.
    assert ours[-1] == table[-1] and ours[-1].startswith("evaluate: recall=")
    assert ours[:-2] == table[:-2] and ours[-2].startswith("4 pairs, 0 not placed, 0 failed;")
    summary = [json.loads((d / "summary.json").read_text()) for d in (tmp_path / "ours", theirs)]
    for s in summary:
        assert s.pop("search_ms") > 0 and s.pop("inspect_ms") > 0
        s.pop("defects_ms", None)
        s.pop("speed", None)
    assert summary[0] == summary[1] and summary[0]["defects"] == 160
    assert list(summary[0]["types"]) == list(summary[1]["types"])
    assert (without_timings(read_csv(tmp_path / "ours" / "pairs.csv"), "search_ms",
                            "inspect_ms")
            == without_timings(read_csv(theirs / "pairs.csv"), "search_ms", "inspect_ms"))
    assert ((tmp_path / "ours" / "confusion.csv").read_bytes()
            == (theirs / "confusion.csv").read_bytes())

    # batch: the tool's summary.csv and every pair's report.
    run_tool(tool, "batch", boards / "batch.txt", "--jobs", 2, "--out", theirs / "batch")
    assert main(["batch", str(boards / "batch.txt"), "--scheduler", address, "--out",
                 str(tmp_path / "ours" / "batch")]) == 0
    rows = [read_csv(d / "batch" / "summary.csv") for d in (tmp_path / "ours", theirs)]
    assert (without_timings(rows[0], "search_ms", "inspect_ms")
            == without_timings(rows[1], "search_ms", "inspect_ms"))
    assert [r["status"] for r in rows[0]] == ["ok"] * 4
    for row in rows[1]:
        reports = [json.loads((d / "batch" / row["folder"] / "report.json").read_text())
                   for d in (tmp_path / "ours", theirs)]
        for r in reports:  # the Python reports list records, not defects, for now
            r.pop("timing_ms")
            r.pop("defects", None)
            r.pop("defect_count", None)
        assert reports[0] == reports[1] and reports[0]["flaw_count"] > 0


def test_a_worker_killed_during_a_run_costs_no_pair(boards):
    pairs = [(boards / f"board-00{n}-reference.png", boards / f"board-00{n}-camera.png")
             for n in (1, 2, 3, 4)] * 2
    serial = [pi.run_inspection(pi.read_image(r), pi.read_image(c)) for r, c in pairs[:4]]
    killed = {}
    with local_cluster() as c, distributed.Client(c, set_as_default=False) as client:
        pids = client.run(os.getpid)

        def kill_a_busy_worker(index, result):
            if not killed:  # after the first result: a worker in the middle of a pair
                busy = [w for w, keys in client.processing().items() if keys]
                killed["pid"] = pids[busy[0]]
                os.kill(killed["pid"], signal.SIGKILL)

        results = cluster.inspect_many(pairs, client=client, progress=kill_a_busy_worker)
        assert killed["pid"] not in client.run(os.getpid).values()
    assert len(results) == len(pairs)
    for i, r in enumerate(results):
        assert r.status == "ok", r.error
        expected = serial[i % 4]
        assert r.run.position == expected.position
        assert r.run.flaws.tolist() == expected.flaws.tolist() and len(expected.flaws) > 0


def test_unreadable_pairs_are_reported_and_the_rest_counted(tool, boards, tmp_path, capsys):
    names = {n: (f"{boards}/board-00{n}-reference.png", f"{boards}/board-00{n}-camera.png",
                 f"{boards}/board-00{n}-truth.txt") for n in (1, 2)}
    damaged = tmp_path / "damaged.png"
    damaged.write_bytes((boards / "board-003-camera.png").read_bytes()[:200])
    bad_truth = tmp_path / "bad-truth.txt"
    bad_truth.write_text("10 10 20\n")
    (tmp_path / "list.txt").write_text("\n".join([
        " ".join(names[1]),
        f"{names[2][0]} {damaged} {names[2][2]}",
        f"{names[2][0]} {names[2][1]} {bad_truth}",
        " ".join(names[2]),
    ]) + "\n")
    theirs = tmp_path / "tool"
    told = run_tool(tool, "evaluate", tmp_path / "list.txt", "--out", theirs, check=False)
    assert told.returncode == 2
    # A local cluster of its own, closed at the end.
    assert main(["evaluate", str(tmp_path / "list.txt"), "--workers", "2", "--out",
                 str(tmp_path / "ours")]) == 2
    out, err = capsys.readouterr()
    assert f"{damaged}: " in err and "(skipped)" in err
    summary = [json.loads((d / "summary.json").read_text()) for d in (tmp_path / "ours", theirs)]
    serial = pi.evaluate(tmp_path / "list.txt")
    for s in (*summary, serial):
        s.pop("search_ms"), s.pop("inspect_ms"), s.pop("defects_ms", None)
        s.pop("speed", None)
    assert summary[0] == summary[1] == serial
    assert (serial["pairs"], serial["failed"], serial["defects"]) == (4, 2, 80)
    ours, tools = (read_csv(d / "pairs.csv") for d in (tmp_path / "ours", theirs))
    assert [r["status"] for r in ours] == [r["status"] for r in tools] == [
        "ok", "bad input", "bad input", "ok"]
    assert str(damaged) in ours[1]["error"] and "bad-truth.txt:1: expected" in ours[2]["error"]
    assert out.splitlines()[-1] == told.stdout.splitlines()[-1]
