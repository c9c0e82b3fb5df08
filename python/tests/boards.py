"""Synthetic boards for the golden-mode and evaluation tests: a copper map
drawn with numpy, rendered as a photo (dark copper on a light background,
small deterministic noise), and a PNG writer."""

import json
import struct
import zlib

import numpy as np

import pcbinspect as pi

COPPER, BACKGROUND = 60, 200


def rect(copper, x1, y1, x2, y2, value=True):
    copper[y1:y2 + 1, x1:x2 + 1] = value


def disc(copper, cx, cy, r, value=True):
    y, x = np.ogrid[:copper.shape[0], :copper.shape[1]]
    copper[(x - cx) ** 2 + (y - cy) ** 2 <= r * r] = value


def board(height=360, width=480):
    """Traces, pads and a pour: a golden board's copper."""
    c = np.zeros((height, width), bool)
    for y in (70, 94, 118):                     # a bus of close traces
        rect(c, 40, y, width - 41, y + 9)
    for x in (80, 160, 240, 320):               # vertical traces ending in pads
        rect(c, x, 150, x + 7, 270)
        disc(c, x + 3, 280, 14)
    rect(c, 370, 150, 430, 230)                 # a pour
    disc(c, 400, 275, 16)
    return c


#: Where the camera image lies in the golden image, and its size.
OFFSET = (7, 5)
CAMERA_SHAPE = (340, 460)

#: Planted defects: name, box in golden pixels (x1, y1, x2, y2), the family
#: the library reports for it, and how it is drawn.
DEFECTS = (
    ("open", (160, 200, 167, 209), "missing copper", lambda c: rect(c, 160, 200, 167, 209, False)),
    ("short", (250, 80, 257, 93), "short", lambda c: rect(c, 250, 80, 257, 93)),
    ("pin-hole", (390, 180, 400, 190), "void", lambda c: disc(c, 395, 185, 5, False)),
    ("spur", (248, 230, 255, 235), "excess copper", lambda c: rect(c, 248, 230, 255, 235)),
    ("spurious copper", (115, 215, 125, 225), "excess copper", lambda c: disc(c, 120, 220, 5)),
)


def camera_box(name):
    """A planted defect's box in camera pixels."""
    x1, y1, x2, y2 = next(d[1] for d in DEFECTS if d[0] == name)
    return x1 - OFFSET[0], y1 - OFFSET[1], x2 - OFFSET[0], y2 - OFFSET[1]


def defective_camera(golden):
    """The golden copper with every defect planted, cut to the camera's view."""
    c = golden.copy()
    for *_, draw in DEFECTS:
        draw(c)
    (x, y), (h, w) = OFFSET, CAMERA_SHAPE
    return c[y:y + h, x:x + w]


def unrelated_camera(golden):
    """A view of no place of the golden board: the board turned on its side."""
    return np.ascontiguousarray(golden.T[:CAMERA_SHAPE[0], :golden.shape[0]])


def photo(copper, seed):
    """Dark copper on a light background with +-8 of noise."""
    noise = np.random.default_rng(seed).integers(-8, 9, copper.shape)
    return (np.where(copper, COPPER, BACKGROUND) + noise).astype(np.uint8)


def colour_photo(copper, seed):
    """The same in colour: reddish copper (gray about 63) on a buff background
    (gray about 200)."""
    noise = np.random.default_rng(seed).integers(-8, 9, copper.shape + (3,))
    tint = np.where(copper[..., None], (120, 40, 30), (230, 200, 120))
    return (tint + noise).astype(np.uint8)


def write_png(path, image):
    """An 8-bit gray (2-D) or RGB (height, width, 3) PNG, rows unfiltered."""
    h, w = image.shape[:2]
    kind = 0 if image.ndim == 2 else 2

    def chunk(tag, body):
        return (struct.pack(">I", len(body)) + tag + body
                + struct.pack(">I", zlib.crc32(tag + body) & 0xFFFFFFFF))

    rows = np.hstack([np.zeros((h, 1), np.uint8), image.reshape(h, -1)])
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, kind,
                                                                  0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows.tobytes())) + chunk(b"IEND", b""))


def strict_preset(folder, score):
    """A preset file that sets only the minimum alignment score."""
    f = folder / f"min-{score}.json"
    f.write_text(json.dumps({"search": {"min_alignment_score": score}}))
    return f


def write_evaluation(folder, golden):
    """Two pairs and their truth (types: 1 open, 2 short, 3 mousebite, 4 spur,
    5 spurious copper): the defective board (golden image in colour), whose
    spurious copper is left unannotated, and an unrelated camera image.
    Returns the defective pair's flaws."""
    write_png(folder / "golden.png", colour_photo(golden, 1))
    camera = photo(defective_camera(golden), 2)
    write_png(folder / "camera.png", camera)
    write_png(folder / "unrelated.png", photo(unrelated_camera(golden), 3))
    flaws = pi.run_inspection(colour_photo(golden, 1), camera, golden=True, copper="dark").flaws
    sx, sy = camera_box("spur")[:2]
    spur = flaws[np.argmin(np.hypot(flaws["camX"] - sx, flaws["camY"] - sy))]

    ox, oy = camera_box("open")[:2]
    px, py = camera_box("spur")[2:]

    def grown(name):
        x1, y1, x2, y2 = camera_box(name)
        return f"{x1 - 3} {y1 - 3} {x2 + 3} {y2 + 3}"

    (folder / "truth.txt").write_text("\n".join([
        "# x1 y1 x2 y2 type",
        f"{grown('open')} 1",
        f"{grown('short')} 2",                                 # several records in one box
        f"{spur['camX'] - 9}, {spur['camY'] - 2}, {spur['camX'] - 4}, {spur['camY'] + 2}, 4",
        f"{grown('pin-hole')} 4",                              # found, by the wrong family
        "",
        f"{ox - 23} {oy - 3} {px + 3} {py + 3} 3",  # the open and the spur, the open nearer
        "60 300 70 310 3",                                     # nothing there
    ]) + "\n")
    (folder / "unrelated.txt").write_text("100 100 120 120 5\n")
    (folder / "list.txt").write_text("# golden camera truth\ngolden.png camera.png truth.txt\n\n"
                                     "golden.png unrelated.png unrelated.txt\n")
    return flaws
