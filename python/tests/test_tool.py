"""The binding against the command-line tool: its flaw-code table, its
presets, and the demo board inspected through the binding with the tool's
report as the answer."""

import json
import subprocess

import numpy as np
import pytest

import pcbinspect as pi
from pcbinspect.presets import LIMIT_NAMES
from boards import board, strict_preset, write_evaluation
from conftest import ROOT


def run(tool, *args):
    return subprocess.run([str(tool), *map(str, args)], check=True, capture_output=True,
                          text=True).stdout


def test_flaw_code_table_is_the_tools(tool):
    rows = run(tool, "codes").splitlines()[1:]
    theirs = []
    for row in rows:
        code, rest = row.split(None, 1)
        # A long name pushes the family column out: the family ends the row.
        family = max((f for f in (*pi.FAMILIES, "unknown") if rest.endswith(" " + f)), key=len)
        theirs.append((int(code), rest[:-len(family)].rstrip(), family))
    ours = [(c.code, c.name, c.family) for c in pi.FLAW_CODES]
    assert ours == theirs
    assert pi.describe_flaw(221).name == "line narrowed"
    assert pi.describe_flaw(13).family == "unknown"


def test_default_preset_is_the_tools_built_in_one(tool):
    theirs = pi.preset_from_dict(json.loads(run(tool, "preset")), "tool")
    ours = pi.load_preset("default")
    assert ours.search == theirs.search and ours.candidates == theirs.candidates
    np.testing.assert_array_equal(ours.params, theirs.params)
    assert ours.control.tobytes() == theirs.control.tobytes()
    assert ours.tolerances.tobytes() == theirs.tolerances.tobytes()
    assert ours.evaluation_types == theirs.evaluation_types and ours.evaluation_types
    # The limit names are the tool's, in entry order.
    assert list(json.loads(run(tool, "preset"))["limits"]) == list(LIMIT_NAMES)


def test_preset_files_change_only_what_they_name(tmp_path):
    base = pi.load_preset("default")
    f = tmp_path / "strict.json"
    f.write_text(json.dumps({"limits": {"pin_hole": 1.5}, "control": {"thin_line_px": 4},
                             "search": {"narrow_vertical_search": False}}))
    p = pi.load_preset(f)
    assert p.params[LIMIT_NAMES.index("pin_hole")] == np.float32(1.5)
    assert p.control["lineWidthBound"][0] == 4
    assert p.search_arguments()["mode"] == 0
    changed = np.flatnonzero(p.params != base.params)
    assert changed.tolist() == [LIMIT_NAMES.index("pin_hole")]
    f.write_text(json.dumps({"limits": {"pin_holes": 1}}))
    with pytest.raises(ValueError, match='unknown key "limits.pin_holes"'):
        pi.load_preset(f)
    f.write_text(json.dumps({"search": {"border_px": 2.5}}))
    with pytest.raises(ValueError, match="whole number"):
        pi.load_preset(f)
    ok = {"type": 1, "name": "open", "families": ["open"]}
    for bad, message in (
            ({"search": {"min_alignment_score": 1.5}}, "between 0.0 and 1.0"),
            ({"evaluation": {"types": [{**ok, "families": ["opens"]}]}}, "not a flaw family"),
            ({"evaluation": {"types": [ok, {**ok, "name": "again"}]}}, "listed twice"),
            ({"evaluation": {"types": [{**ok, "colour": "red"}]}}, "must hold"),
            ({"evaluation": {"kinds": []}}, 'unknown key "evaluation.kinds"')):
        f.write_text(json.dumps(bad))
        with pytest.raises(ValueError, match=message):
            pi.load_preset(f)


def report_flaws(report):
    return [(f["code"], round(f["score"] * 100), f["reference"]["x"], f["reference"]["y"],
             f["camera"]["x"], f["camera"]["y"], f["region_class"]) for f in report["flaws"]]


def test_demo_board_through_the_binding_matches_the_tools_report(tool, tmp_path):
    demo = tmp_path / "demo"
    run(tool, "demo", "--out", demo)
    again = tmp_path / "again"
    preset_file = ROOT / "tools" / "presets" / "default.json"
    run(tool, "inspect", demo / "reference.png", demo / "camera.png", "--preset", preset_file,
        "--out", again)
    report = json.loads((again / "report.json").read_text())

    reference = pi.read_image(demo / "reference.png")
    camera = pi.read_image(demo / "camera.png")
    before = (reference.copy(), camera.copy())
    r = pi.run_inspection(reference, camera, pi.load_preset(preset_file))
    np.testing.assert_array_equal(reference, before[0])  # inputs untouched
    np.testing.assert_array_equal(camera, before[1])

    assert r.placed and report["placed"]
    assert r.position == (report["position"]["x"], report["position"]["y"])
    assert np.float32(r.score) == np.float32(report["alignment_score"])
    assert len(r.suspects) == report["suspect_count"]
    ours_suspects = [(int(s["refX"]), int(s["refY"]), int(s["windowX"]), int(s["windowY"]))
                     for s in r.suspects]
    theirs_suspects = [(s["reference"]["x"], s["reference"]["y"], s["camera"]["x"],
                        s["camera"]["y"]) for s in report["suspects"]]
    assert ours_suspects == theirs_suspects
    ours = [tuple(int(v) for v in f) for f in r.flaws.tolist()]
    assert ours == report_flaws(report)
    assert len(ours) > 0  # the board has planted flaws

    # The demo's own run (with its hole list) placed the camera and listed
    # the same suspects.
    own = json.loads((demo / "report.json").read_text())
    assert (own["position"]["x"], own["position"]["y"]) == r.position
    assert own["suspect_count"] == len(r.suspects)


def test_golden_mode_and_evaluate_through_the_binding_match_the_tool(tool, tmp_path):
    write_evaluation(tmp_path, board())
    preset = strict_preset(tmp_path, 0.95)
    golden, camera = tmp_path / "golden.png", tmp_path / "camera.png"
    run(tool, "inspect", golden, camera, "--golden", "--copper", "dark", "--preset", preset,
        "--out", tmp_path / "one")
    report = json.loads((tmp_path / "one" / "report.json").read_text())
    r = pi.run_inspection(pi.read_image(golden), pi.read_image(camera), pi.load_preset(preset),
                          golden=True, copper="dark")
    assert r.placed and report["placed"]
    assert r.position == (report["position"]["x"], report["position"]["y"])
    assert np.float32(r.score) == np.float32(report["alignment_score"])
    assert [tuple(int(v) for v in f) for f in r.flaws.tolist()] == report_flaws(report)

    run(tool, "evaluate", tmp_path / "list.txt", "--golden", "--copper", "dark", "--preset",
        preset, "--out", tmp_path / "evaluation")
    theirs = json.loads((tmp_path / "evaluation" / "summary.json").read_text())
    ours = pi.evaluate(tmp_path / "list.txt", golden=True, copper="dark", preset=preset)
    for summary in (ours, theirs):  # timings differ; every count and share is the tool's
        assert summary.pop("search_ms") > 0 and summary.pop("inspect_ms") > 0
        summary.pop("defects_ms", None)
        summary.pop("speed", None)
    assert ours == theirs and list(ours["types"]) == list(theirs["types"])


def test_photographs_through_the_binding_match_the_tool(tool, tmp_path):
    # A hard photograph pair (uneven light, noise, blur, JPEG, the camera
    # turned and shifted): the binding runs the tool's own pipeline, the
    # camera photo resampled onto the golden one included.
    run(tool, "synth", "--count", "1", "--seed", "5", "--photo", "hard", "--out", tmp_path)
    golden, camera = tmp_path / "board-001-golden.jpg", tmp_path / "board-001-photo.jpg"
    run(tool, "inspect", golden, camera, "--golden", "--out", tmp_path / "one")
    report = json.loads((tmp_path / "one" / "report.json").read_text())
    r = pi.run_inspection(pi.read_image(golden), pi.read_image(camera), golden=True,
                          copper="auto")
    assert r.placed and report["placed"]
    assert "resampled" in r.notes
    assert [tuple(int(v) for v in f) for f in r.flaws.tolist()] == report_flaws(report)
    boxes = [[int(d["x1"]), int(d["y1"]), int(d["x2"]), int(d["y2"])] for d in r.defects]
    assert boxes == [d["box"] for d in report["defects"]]
    assert list(r.defects["type"]) == [d["type"] for d in report["defects"]]
    assert len(boxes) >= 30  # 40 planted


def test_render_wrapper_reads_the_labels_and_the_hole_list(tool, tmp_path, monkeypatch):
    if "render" not in run(tool, "--help"):
        pytest.skip("the tool was built without libgerbv")
    monkeypatch.setenv("PCBINSPECT_TOOL", str(tool))
    data = ROOT / "tests" / "tools" / "data"
    board = pi.render(data / "labels.gbr", [data / "labels.drl"], dpi=1000, margin_px=10)
    assert board.reference.shape == (461, 481)
    counts = dict(zip(*np.unique(board.reference, return_counts=True)))
    assert counts[255] == 200 * 200 - 40 * 40 and counts[154] == 704
    # The plated hole, and the same hole again for the size check.
    assert board.holes.tolist() == [(0, 440, 420, 15), (12, 440, 420, 15)]
    assert board.info["holes"] == 1
    with pytest.raises(ValueError, match="is not a text file"):
        bad = tmp_path / "photo.gbr"
        bad.write_bytes(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00")
        pi.render(bad)
