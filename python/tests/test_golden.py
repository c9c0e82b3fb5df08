"""Golden-board mode, the placement guard and evaluate, on a synthetic board
photographed with dark copper (tests/boards.py)."""

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
    r = pi.run_inspection(photo(golden, 1), camera, golden=True, copper="dark")
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
    again = pi.run_inspection(colour_photo(golden, 1), camera, golden=True, copper="dark")
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
    assert r == {
        "pairs": 2, "not_placed": 1, "defects": 7, "found": 5, "recall": 5 / 7,
        "records": records, "true_records": records - 1,  # all but the spurious copper
        "precision": (records - 1) / records,
        "f": pytest.approx(2 / (records / (records - 1) + 7 / 5)), "agreement": 4 / 5,
        "types": {
            "open": {"defects": 1, "found": 1, "recall": 1.0, "agreement": 1.0},
            "short": {"defects": 1, "found": 1, "recall": 1.0, "agreement": 1.0},
            "mousebite": {"defects": 2, "found": 1, "recall": 0.5, "agreement": 1.0},
            "spur": {"defects": 2, "found": 2, "recall": 1.0, "agreement": 0.5},
            "spurious copper": {"defects": 1, "found": 0, "recall": 0.0, "agreement": 0.0},
            "pin-hole": {"defects": 0, "found": 0, "recall": 0.0, "agreement": 0.0},
        },
        "confusion": {"open": {"missing copper": 1}, "short": {"short": 1},
                      "mousebite": {"missing copper": 1},
                      "spur": {"excess copper": 1, "void": 1}, "spurious copper": {},
                      "pin-hole": {}},
    }
    # The spur's record lies 4 pixels right of its box: a margin of 3 misses
    # the box, while the record stays true in the wide box.
    tight = pi.evaluate(tmp_path / "list.txt", golden=True, copper="dark", preset=preset,
                        margin=3)
    assert (tight["found"], tight["true_records"]) == (4, records - 1)
    assert tight["confusion"]["spur"] == {"void": 1}


@pytest.mark.parametrize("target, line, message", [
    ("list", "golden.png camera.png", r"list\.txt:4: expected REFERENCE CAMERA TRUTH"),
    ("list", "golden.png missing.png bad.txt", r"list\.txt:4: no file .*missing\.png"),
    ("list", None, r"list\.txt: no pairs listed"),
    ("truth", "1 2 3 4", r"bad\.txt:3: expected"),
    ("truth", "1 2 3 4.5 1", r"bad\.txt:3: expected"),
    ("truth", "1,2, 3 4 9", r"bad\.txt:3: type 9 is not"),
    ("truth", "450 10 460 20 1", r"bad\.txt:3: box .* outside the camera image of 460 x 340"),
])
def test_bad_lists_and_truth_files_are_refused_before_any_inspection(
        golden, tmp_path, monkeypatch, target, line, message):
    write_png(tmp_path / "golden.png", photo(golden, 1))
    write_png(tmp_path / "camera.png", photo(defective_camera(golden), 2))
    (tmp_path / "ok.txt").write_text("10 10 20 20 1\n")
    # Corners in either order, commas or spaces: line 2 is good.
    bad = "# x1 y1 x2 y2 type\n30, 40, 20, 10, 1\n"
    (tmp_path / "bad.txt").write_text(bad + (line + "\n" if target == "truth" else ""))
    pairs = "# pairs\ngolden.png camera.png ok.txt\n\n"
    if target == "truth":
        pairs += "golden.png camera.png bad.txt\n"
    elif line is not None:
        pairs += line + "\n"
    else:
        pairs = "# nothing\n\n"
    (tmp_path / "list.txt").write_text(pairs)

    def no_inspection(*args, **kwargs):
        raise AssertionError("an inspection ran before the files were checked")

    monkeypatch.setattr(pcbinspect.evaluation, "run_inspection", no_inspection)
    with pytest.raises(ValueError, match=message):
        pi.evaluate(tmp_path / "list.txt", golden=True, copper="dark")
