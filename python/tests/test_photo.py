"""The photo front end through pcbinspect.photo.binarise: the same compiled
code as the tool's (libpcbinspect_tool)."""

import numpy as np
import pytest

from pcbinspect._tool_library import ToolLibraryNotFound, tool_library

try:
    tool_library()
except ToolLibraryNotFound as missing:  # an installed wheel carries the core library only
    pytest.skip(f"libpcbinspect_tool not found ({missing})", allow_module_level=True)

import pcbinspect as pi


def _photo(copper_map: np.ndarray, dark: bool, seed: int, bits: int = 8) -> np.ndarray:
    """Copper 70 on substrate 180 (or the other way round), a light ramp of a
    third left to right, noise of 6 levels; no blur, so the map is the truth."""
    rng = np.random.default_rng(seed)
    h, w = copper_map.shape
    c, s = (70.0, 180.0) if dark else (180.0, 70.0)
    level = np.where(copper_map, c, s) * (1 + 0.33 * np.linspace(-1, 1, w))[None, :]
    level = np.clip(np.rint(level + rng.normal(0, 6, (h, w))), 0, 255)
    return (level * 257).astype(np.uint16) if bits == 16 else level.astype(np.uint8)


@pytest.mark.parametrize("dark, bits", [(True, 8), (False, 16)])
def test_binarise_finds_polarity_and_line_widths(dark, bits):
    truth = np.zeros((200, 300), bool)
    widths = [5, 8, 11]
    for i, width in enumerate(widths):
        truth[20:180, 40 + 80 * i:40 + 80 * i + width] = True
    truth[100:103, 250:253] = True  # a 3 x 3 speck, above the size limit
    r = pi.photo.binarise(_photo(truth, dark, 1, bits))
    assert (r.copper_dark, r.channel) == (dark, "luma")
    got = r.copper > 0
    for i, width in enumerate(widths):
        cut = got[30:170, 30 + 80 * i:60 + 80 * i]
        assert np.abs(cut.sum(axis=1) - width).max() <= 1
    assert got[101, 251]
    # Below the size limit the speck is taken for noise.
    assert not (pi.photo.binarise(_photo(truth, dark, 1, bits), min_defect_px=10).copper[101, 251])
    with pytest.raises(ValueError):
        pi.photo.binarise(np.zeros((4, 4), np.float32))
