"""Images and records as the binding hands them to the library: strides,
copies, rejections and the layout of the records."""

import re

import numpy as np
import pytest

import pcbinspect as pi
from pcbinspect import records
from pcbinspect._library import SIGNATURES
from conftest import ROOT


def header_exports():
    text = (ROOT / "include" / "pcbinspect" / "exports.h").read_text()
    return sorted(re.findall(r"PCBINSPECT_API [^(\n]*?[ *](\w+)\(", text))


def test_every_export_of_the_header_has_a_signature_and_loads():
    assert sorted(SIGNATURES) == header_exports()
    lib = pi.library()
    for name in SIGNATURES:
        assert getattr(lib, name).argtypes is not None or SIGNATURES[name][1] == []


def test_record_layouts_match_the_c_structs():
    # The header's static assertions fix these sizes.
    text = (ROOT / "include" / "pcbinspect" / "exports.h").read_text()
    sizes = dict(re.findall(r"_Static_assert\(sizeof\((\w+)\) == (\d+)", text))
    ours = {"FlawCandidate": records.FLAW_CANDIDATE, "HoleRecord": records.HOLE_RECORD,
            "FlawRecord": records.FLAW_RECORD, "InspectControl": records.INSPECT_CONTROL,
            "WidthTolerance": records.WIDTH_TOLERANCE, "SuspectRecord": records.SUSPECT_RECORD,
            "CircleRecord": records.CIRCLE_RECORD}
    for name, dtype in ours.items():
        assert dtype.itemsize == int(sizes[name]), name


def pattern(h, w, seed=3):
    return np.random.default_rng(seed).integers(0, 256, (h, w), dtype=np.uint8)


def test_copy_gray_takes_strides_from_views_and_writes_nothing_else():
    big_src = pattern(40, 50)
    big_dst = np.full((30, 60), 0xEE, np.uint8)
    src = big_src[5:25, 7:40]   # 20 x 33, stride 50
    dst = big_dst[2:20, 10:35]  # 18 x 25, stride 60
    before = big_dst.copy()
    pi.copy_gray(dst, src)
    want = before.copy()
    want[2:20, 10:35] = src[:18, :25]
    np.testing.assert_array_equal(big_dst, want)


@pytest.mark.parametrize("make", [lambda a: a[:, ::2], lambda a: a.T, lambda a: a[::-1]],
                         ids=["every-other-column", "transposed", "rows-reversed"])
def test_read_only_inputs_without_contiguous_rows_are_copied(make):
    base = pattern(24, 24)
    src = make(base)
    dst = np.zeros(src.shape, np.uint8)
    pi.copy_gray(dst, src)
    np.testing.assert_array_equal(dst, src)


def test_written_images_without_contiguous_rows_are_rejected():
    dst = np.zeros((10, 20), np.uint8)
    with pytest.raises(ValueError, match="contiguous"):
        pi.copy_gray(dst[:, ::2], pattern(10, 10))
    frozen = np.zeros((4, 4), np.uint8)
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        pi.correct_cad(frozen)


def test_wrong_types_and_shapes_are_rejected_before_the_call():
    with pytest.raises(TypeError, match="uint8"):
        pi.copy_gray(np.zeros((4, 4), np.uint16), pattern(4, 4))
    with pytest.raises(ValueError, match="2-D"):
        pi.correct_cad(np.zeros((4, 4, 2), np.uint8))
    with pytest.raises(TypeError, match="numpy"):
        pi.test([[1, 2], [3, 4]])


def test_rejected_input_raises_with_the_librarys_text():
    dst = np.zeros((3, 0), np.uint8)
    with pytest.raises(pi.PcbInspectError) as caught:
        pi.copy_gray(dst, pattern(4, 4))
    message = str(caught.value)
    assert message.startswith("copyGray: ") and "width 0 is below 1" in message
    assert caught.value.function == "copyGray"
    assert pi.last_error() == message
    # A good call afterwards succeeds and leaves no text behind to raise on.
    out = pi.copy_gray(np.zeros((4, 4), np.uint8), pattern(4, 4))
    np.testing.assert_array_equal(out, pattern(4, 4))


def test_the_same_rejection_twice_raises_twice():
    for _ in range(2):
        with pytest.raises(pi.PcbInspectError):
            pi.correct_cad(np.zeros((0, 5), np.uint8))


def test_records_from_plain_rows_fill_the_fields_in_order():
    holes = records.as_records([[1, 10, 20, 5], [12, 30, 40, 6]], records.HOLE_RECORD, "holes")
    assert holes["kind"].tolist() == [1, 12]
    assert holes["radius"].tolist() == [5, 6]
    with pytest.raises(ValueError, match="4 fields"):
        records.as_records([[1, 2, 3]], records.HOLE_RECORD, "holes")
