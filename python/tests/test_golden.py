"""Golden-board mode, the placement guard and evaluate, on a synthetic board
photographed with dark copper (tests/boards.py)."""

import re

import numpy as np
import pytest

import pcbinspect as pi
import pcbinspect.evaluation
from boards import (DEFECTS, OFFSET, board, camera_box, colour_photo, defective_camera, photo,
                    strict_preset, unrelated_camera, write_evaluation, write_png)

MARGIN = 60  # the golden reference's padding


@pytest.fixture(scope="module")
def golden():
    return board()


def test_golden_mode_finds_the_planted_defects_in_golden_coordinates(golden):
    camera = photo(defective_camera(golden), 2)
    # With a threshold the photos keep the global rule, as CAD mode reads them.
    r = pi.run_inspection(photo(golden, 1), camera, golden=True, copper="dark", threshold=128)
    assert r.placed and r.position == OFFSET

    # Every planted defect is reported, with its family, and nothing else is.
    cam = np.stack([r.flaws["camX"], r.flaws["camY"]], 1)
    near = np.zeros(len(cam), bool)
    for name, _, family, _ in DEFECTS:
        x1, y1, x2, y2 = camera_box(name)
        close = ((cam[:, 0] >= x1 - 8) & (cam[:, 0] <= x2 + 8) & (cam[:, 1] >= y1 - 8)
                 & (cam[:, 1] <= y2 + 8))
        families = {pi.describe_flaw(c).family for c in r.flaws["code"][close]}
        assert family in families, (name, families)
        near |= close
    assert near.all(), r.flaws[~near]

    # The same as CAD labels made by hand: copper 255 in 60 pixels of
    # background, the camera binarised; positions moved back by the padding.
    labels = np.pad(np.where(golden, 255, 0).astype(np.uint8), MARGIN)
    cad = pi.run_inspection(labels, np.where(camera <= 128, 255, 0).astype(np.uint8))
    assert cad.position == (OFFSET[0] + MARGIN, OFFSET[1] + MARGIN)
    for ours, theirs in ((r.flaws, cad.flaws), (r.suspects, cad.suspects)):
        moved = theirs.copy()
        moved["refX"] -= MARGIN
        moved["refY"] -= MARGIN
        assert ours.tolist() == moved.tolist()

    # A colour golden image is read through its luma.
    again = pi.run_inspection(colour_photo(golden, 1), camera, golden=True, copper="dark",
                              threshold=128)
    assert again.flaws.tolist() == r.flaws.tolist()


def test_a_placement_below_the_minimum_score_lists_no_flaws(golden, tmp_path):
    args = (photo(golden, 1), photo(unrelated_camera(golden), 2))
    loose = pi.run_inspection(*args, pi.load_preset(strict_preset(tmp_path, 0.0)), golden=True,
                              copper="dark")
    assert loose.placed and len(loose.flaws) > 0
    guarded = pi.run_inspection(*args, pi.load_preset(strict_preset(tmp_path, 0.95)), golden=True,
                                copper="dark")
    assert loose.score < 0.95
    assert not guarded.placed and guarded.below_minimum and len(guarded.flaws) == 0
    assert (guarded.position, guarded.score) == (loose.position, loose.score)
    # A good pair passes the same guard.
    good = pi.run_inspection(args[0], photo(defective_camera(golden), 2),
                             pi.load_preset(strict_preset(tmp_path, 0.95)), golden=True,
                             copper="dark")
    assert good.placed and good.score >= 0.95 and len(good.flaws) > 0


def test_evaluate_counts_boxes_and_records(golden, tmp_path):
    flaws = write_evaluation(tmp_path, golden)
    preset = strict_preset(tmp_path, 0.95)
    r = pi.evaluate(tmp_path / "list.txt", golden=True, copper="dark", preset=preset)
    timing = (r.pop("search_ms"), r.pop("inspect_ms"))
    assert all(t > 0 for t in timing)
    records = len(flaws)

    def counts(defects, found, records, true_records, agreeing):
        recall = found / defects if defects else 0.0
        precision = true_records / records if records else 1.0
        return {"defects": defects, "found": found, "recall": recall, "records": records,
                "true_records": true_records, "precision": precision,
                "f": pytest.approx(2 * precision * recall / (precision + recall)
                                   if precision + recall else 0.0),
                "agreement": agreeing / found if found else 0.0}

    assert r == {
        **counts(7, 5, records, records - 1, 4),  # all records true but the spurious copper
        "pairs": 2, "not_placed": 1, "failed": 0, "margin": 4,
        # By type, a record counts for every type whose families hold its
        # family, and is true there when a box that accepts its family holds
        # it: the spur's record is true for spurious copper too, and the void
        # record on the box typed spur is false for pin-holes.
        "types": {
            "open": counts(1, 1, 1, 1, 1),             # the missing-copper record
            "short": counts(1, 1, 4, 4, 1),
            "mousebite": counts(2, 1, 1, 1, 1),
            "spur": counts(2, 2, 2, 1, 1),             # the two excess-copper records
            "spurious copper": counts(1, 0, 2, 1, 0),
            "pin-hole": counts(0, 0, 1, 0, 0),         # listed for its record alone
        },
        "confusion": {"open": {"missing copper": 1}, "short": {"short": 1},
                      "mousebite": {"missing copper": 1},
                      "spur": {"excess copper": 1, "void": 1}, "spurious copper": {},
                      "pin-hole": {}},
    }
    assert sorted(pi.describe_flaw(c).family for c in flaws["code"]) == [
        "excess copper", "excess copper", "missing copper", "short", "short", "short", "short",
        "void"]
    # The spur's record lies 4 pixels right of its box: a margin of 3 misses
    # the box, while the record stays true in the wide box.
    tight = pi.evaluate(tmp_path / "list.txt", golden=True, copper="dark", preset=preset,
                        margin=3)
    assert (tight["found"], tight["true_records"]) == (4, records - 1)
    assert tight["confusion"]["spur"] == {"void": 1}


@pytest.mark.parametrize("line, message", [
    ("golden.png camera.png", r"list\.txt:4: expected REFERENCE CAMERA TRUTH"),
    ("golden.png missing.png ok.txt", r"list\.txt:4: no file .*missing\.png"),
    (None, r"list\.txt: no pairs listed"),
])
def test_bad_lists_are_refused_before_any_inspection(tmp_path, monkeypatch, line, message):
    for name in ("golden.png", "camera.png", "ok.txt"):
        (tmp_path / name).write_text("")
    pairs = "# pairs\ngolden.png camera.png ok.txt\n\n" + (line + "\n" if line else "")
    (tmp_path / "list.txt").write_text(pairs if line else "# nothing\n\n")

    def no_inspection(*args, **kwargs):
        raise AssertionError("an inspection ran before the list was checked")

    monkeypatch.setattr(pcbinspect.evaluation, "run_inspection", no_inspection)
    with pytest.raises(ValueError, match=message):
        pi.evaluate(tmp_path / "list.txt", golden=True, copper="dark")


def test_a_bad_truth_file_fails_its_pair_and_the_others_are_scored(golden, tmp_path):
    write_png(tmp_path / "golden.png", photo(golden, 1))
    write_png(tmp_path / "camera.png", photo(defective_camera(golden), 2))
    # Corners in either order, commas or spaces: line 2 is good.
    good = "# x1 y1 x2 y2 type\n30, 40, 20, 10, 1\n"
    bad = {"1 2 3 4": r"bad0\.txt:3: expected",
           "1 2 3 4.5 1": r"bad1\.txt:3: expected",
           "1,2, 3 4 9": r"bad2\.txt:3: type 9 is not",
           "450 10 460 20 1": r"bad3\.txt:3: box .* outside the camera image of 460 x 340"}
    lines = ["golden.png camera.png ok.txt"]
    for i, line in enumerate(bad):
        (tmp_path / f"bad{i}.txt").write_text(good + line + "\n")
        lines.append(f"golden.png camera.png bad{i}.txt")
    (tmp_path / "ok.txt").write_text(good)
    (tmp_path / "list.txt").write_text("\n".join(lines) + "\n")
    ev = pcbinspect.evaluation
    preset = pi.load_preset("default")
    outcomes = ev.run_evaluation(ev.read_evaluation_list(tmp_path / "list.txt"), preset,
                                 golden=True, copper="dark")
    assert [o.status for o in outcomes] == ["ok"] + ["bad input"] * 4
    for o, message in zip(outcomes[1:], bad.values()):
        assert re.search(message, o.error), o.error
    s = ev.summarize(outcomes, preset, 4)
    assert (s["pairs"], s["failed"], s["defects"]) == (5, 4, 1)
    assert s["records"] == outcomes[0].tally.all.records > 0
