"""Each export through the binding, on generated images."""

import numpy as np
import pytest

import pcbinspect as pi


def gradient(h, w):
    y, x = np.mgrid[0:h, 0:w]
    return ((x * 3 + y * 5 + (x * y) % 29 * 4) & 0xFF).astype(np.uint8)


def disc_image(h, w, cx, cy, r):
    y, x = np.mgrid[0:h, 0:w]
    return np.where((x - cx) ** 2 + (y - cy) ** 2 <= r * r, 255, 0).astype(np.uint8)


def test_build_time_and_prebuild():
    text = pi.build_time()
    assert len(text) == 20 and text[11] == " " and text[14] == ":"
    first = pi.prebuild_cuda_env()
    assert pi.prebuild_cuda_env() == 0.0
    assert first >= 0.0


def test_sub_gray_is_the_same_for_a_view_and_a_copy_of_the_source():
    big = gradient(200, 300)
    view = big[10:190, 20:277]
    a = pi.get_sub_gray(view, (100.25, 80.5), 17.5, shape=(48, 64))
    b = pi.get_sub_gray(np.ascontiguousarray(view), (100.25, 80.5), 17.5, shape=(48, 64))
    np.testing.assert_array_equal(a, b)
    assert a.shape == (48, 64) and a.any()


def test_sub_gray_at_angle_zero_cuts_the_window_around_the_centre():
    src = gradient(100, 120)
    # A 31 x 21 window centred at (60, 50) starts (15, 10) pixels before the
    # centre: whole pixels, so bilinear and nearest both copy.
    for fn in (pi.get_sub_gray, pi.get_sub_gray_nearest):
        out = fn(src, (60.0, 50.0), 0.0, shape=(21, 31))
        np.testing.assert_array_equal(out, src[40:61, 45:76], err_msg=fn.__name__)


def test_sub_gray_writes_into_out_with_its_stride():
    src = gradient(100, 120)
    big = np.full((30, 50), 7, np.uint8)
    out = big[5:26, 10:41]
    assert pi.get_sub_gray(src, (60.0, 50.0), 0.0, out=out) is out
    np.testing.assert_array_equal(out, src[40:61, 45:76])
    assert (big[:5] == 7).all() and (big[26:] == 7).all()
    assert (big[:, :10] == 7).all() and (big[:, 41:] == 7).all()
    with pytest.raises(ValueError, match="shape"):
        pi.get_sub_gray(src, (1, 1))


def test_skew_dib_reads_both_colour_layouts_alike():
    rng = np.random.default_rng(5)
    a = rng.integers(0, 256, (40, 30, 3), dtype=np.uint8)
    b = a.reshape(40, 90).copy()
    pi.skew_dib(a, 6)
    pi.skew_dib(b, 6)
    np.testing.assert_array_equal(a.reshape(40, 90), b)
    unskewed = rng.integers(0, 256, (10, 8, 3), dtype=np.uint8)
    before = unskewed.copy()
    pi.skew_dib(unskewed, 0)
    np.testing.assert_array_equal(unskewed, before)
    with pytest.raises(ValueError, match="whole pixels"):
        pi.skew_dib(np.zeros((4, 10), np.uint8), 1)


def test_mask_paints_and_erases_polygon_insides():
    # A 30 x 30 image is worked on reduced 3 : 1 with board point (0, 0) at
    # reduced (5, 5): the board square (-9, -9)-(6, 6) is reduced (2, 2)-(7, 7),
    # whose inside, 3..6, is image rows and columns 9..20.
    square = [(-9, -9), (6, -9), (6, 6), (-9, 6)]
    inside = np.zeros((30, 30), np.uint8)
    inside[9:21, 9:21] = 255
    big = np.full((30, 40), 5, np.uint8)
    img = big[:, :30]
    img[:] = 0
    pi.get_mask_gray(img, paint=[square])
    np.testing.assert_array_equal(img, inside)
    assert (big[:, 30:] == 5).all()
    img[:] = 255
    pi.get_mask_gray(img, erase=[square])
    np.testing.assert_array_equal(img, 255 - inside)


def test_zero_outbound_clears_outside_the_rectangle_in_the_window():
    # The image is the 20 x 20 window at (wx, wy) of a larger picture; the
    # 20 x 20 rectangle centred on the window's corner (wx + 20, wy + 20)
    # keeps the pixels with both coordinates above 10.
    rng = np.random.default_rng(2)
    for wx, wy in ((0, 0), (100, 50)):
        img = rng.integers(1, 256, (20, 20), dtype=np.uint8)
        before = img.copy()
        pi.zero_outbound_gray(img, center=(wx + 20, wy + 20), size=(20, 20), angle=0.0,
                              window=(wx, wy, 20, 20))
        want = np.zeros_like(before)
        want[11:, 11:] = before[11:, 11:]
        np.testing.assert_array_equal(img, want)


def test_find_circles_finds_a_drawn_disc():
    img = disc_image(150, 200, 90, 70, 25)
    # The centre collects about 135 votes; smaller circles inside the disc
    # collect far fewer.
    found = pi.find_circles(img, 40, 10, 120, max_count=5)
    assert found.dtype == pi.CIRCLE_RECORD and len(found) >= 1
    assert abs(found["x"][0] - 90) <= 2 and abs(found["y"][0] - 70) <= 2
    assert abs(found["radius"][0] - 25) <= 2
    pi.test(img)  # writes nothing; must come back


def test_cad_corrections_work_in_place_on_views():
    # An L of pad label 160 boxes 10..50 x 10..50; the line (170) through it
    # takes the pad's label inside the box only.
    big = np.zeros((80, 110), np.uint8)
    img = big[:, :100]
    img[10:51, 10:15] = 160
    img[46:51, 10:51] = 160
    img[30:33, 20:91] = 170
    pi.correct_invalid_lines(img)  # no wide network: nothing to repaint
    assert img[30, 20] == 170
    pi.correct_cad(img)
    assert img[30, 20] == 160 and img[32, 50] == 160
    assert img[31, 51] == 170 and img[32, 90] == 170
    assert img[20, 30] == 0
    assert (big[:, 100:] == 0).all()


def test_search_finds_where_the_window_was_cut():
    rng = np.random.default_rng(11)
    ref = np.zeros((600, 600), np.uint8)
    for _ in range(100):
        x, y = rng.integers(0, 600, 2)
        kind = rng.integers(0, 3)
        if kind == 0:
            r = rng.integers(6, 14)
            ref[max(y - r, 0):y + r, max(x - r, 0):x + r] = 160
        elif kind == 1:
            ref[y:y + rng.integers(3, 8), x:x + rng.integers(30, 120)] = 170
        else:
            ref[y:y + rng.integers(30, 120), x:x + rng.integers(3, 8)] = 170
    window = np.where(ref[97:497, 131:531] > 0, 255, 0).astype(np.uint8)
    window[150:156, 200:206] ^= 255     # one planted difference
    result = pi.find_suspected_flaws(ref, np.zeros_like(ref), window, np.zeros_like(window),
                                     threshold=0.8)
    assert result.position == (131, 97)
    assert result.offsets.shape == (25, 2)
    assert result.suspects.dtype == pi.SUSPECT_RECORD
    near = [(r["windowX"], r["windowY"]) for r in result.suspects
            if abs(r["windowX"] - 203) <= 8 and abs(r["windowY"] - 153) <= 8]
    assert near, result.suspects


def test_search_needs_one_stride_for_window_and_mask():
    ref = np.zeros((100, 100), np.uint8)
    with pytest.raises(ValueError, match="one stride"):
        pi.find_suspected_flaws(ref, np.zeros_like(ref), np.zeros((40, 40), np.uint8),
                                np.zeros((40, 48), np.uint8)[:, :40])


def test_inspect_takes_the_control_block_as_a_record_or_five_ints():
    # A clean 200 x 200 board: one pad, camera identical; a candidate on its
    # edge finds nothing, whichever way the control block is given.
    ref = np.zeros((200, 200), np.uint8)
    ref[80:120, 80:120] = 160
    cam = np.where(ref > 0, 255, 0).astype(np.uint8)
    params = np.full(35, 3.0, np.float32)
    tolerances = [[99.0, 0.25, 0.25, 4.0, 4.0, 0.5, 0.2, 0.2, 0.2]]
    candidates = np.zeros(1, pi.FLAW_CANDIDATE)
    candidates[0] = (119.0, 100.0, 119.0, 100.0, 0.0)
    record = np.zeros(1, pi.INSPECT_CONTROL)
    record[0] = (10, 0, 0, 3, 2)
    results = []
    for control in (record, record[0], [10, 0, 0, 3, 2]):
        r = pi.inspect(ref.copy(), cam, (0, 0), params, candidates.copy(), tolerances, control)
        assert r.flaws.dtype == pi.FLAW_RECORD
        results.append(r.flaws.tobytes())
    assert results[0] == results[1] == results[2]
    with pytest.raises(ValueError, match="5 values"):
        pi.inspect(ref.copy(), cam, (0, 0), params, candidates, tolerances, [1, 2, 3])


def test_inspect_rejection_carries_the_librarys_text():
    ref = np.zeros((0, 50), np.uint8)
    cam = np.zeros((60, 60), np.uint8)
    with pytest.raises(pi.PcbInspectError) as caught:
        pi.inspect(ref, cam, (0, 0), np.zeros(35, np.float32), np.zeros(1, pi.FLAW_CANDIDATE),
                   np.zeros(0, pi.WIDTH_TOLERANCE), [10, 0, 0, 3, 2])
    assert str(caught.value) == "inspect: reference height 0 is below 1"
