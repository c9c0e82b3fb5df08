"""The flaw codes inspect writes: a readable name and a family per code, the
same table as the command-line tool's (``pcbinspect codes``)."""

from __future__ import annotations

from dataclasses import dataclass

FAMILIES = ("missing copper", "open", "short", "spacing", "excess copper", "width", "void",
            "pad", "hole")


@dataclass(frozen=True)
class FlawCode:
    code: int
    family: str
    name: str


FLAW_CODES: tuple[FlawCode, ...] = tuple(FlawCode(c, f, n) for c, f, n in (
    (1, "open", "copper interrupted (or camera window empty)"),
    (2, "short", "short between conductors"),
    (3, "void", "hole across a line"),
    (4, "void", "pin-hole in copper"),
    (5, "open", "line gap (line area)"),
    (6, "pad", "pad radius changed (relative)"),
    (7, "pad", "pad radius changed (pixels)"),
    (8, "pad", "pad edge bulges out"),
    (9, "pad", "pad edge bites in or pad missing"),
    (10, "hole", "hole off centre in its pad"),
    (11, "hole", "hole outline broken"),
    (12, "hole", "hole not open"),
    (14, "pad", "annular ring too thick"),
    (15, "pad", "annular ring too thin"),
    (16, "pad", "annular ring too thick (second kind)"),
    (17, "pad", "annular ring too thin (second kind)"),
    (18, "missing copper", "missing copper"),
    (19, "excess copper", "excess copper"),
    (20, "width", "line width out of shape"),
    (23, "spacing", "spacing reduced"),
    (24, "missing copper", "missing copper on pad"),
    (25, "excess copper", "excess copper on pad"),
    (26, "void", "pin-hole in pad"),
    (27, "width", "pad line width changed (relative)"),
    (28, "width", "pad line width changed (pixels)"),
    (29, "excess copper", "stray copper off the reference"),
    (180, "missing copper", "missing copper (isolated feature)"),
    (190, "excess copper", "excess copper (isolated feature)"),
    (200, "missing copper", "missing copper (relative)"),
    (201, "missing copper", "missing copper (extent)"),
    (210, "excess copper", "excess copper (relative)"),
    (211, "excess copper", "excess copper (extent)"),
    (220, "width", "line widened"),
    (221, "width", "line narrowed"),
    (1401, "hole", "hole too large (relative)"),
    (1402, "hole", "hole too small (relative)"),
    (1403, "hole", "hole too large (pixels)"),
    (1404, "hole", "hole too small (pixels)"),
))

_BY_CODE = {c.code: c for c in FLAW_CODES}


def describe_flaw(code: int) -> FlawCode:
    """The table's entry; codes outside it are family "unknown", "unknown flaw"."""
    return _BY_CODE.get(int(code), FlawCode(int(code), "unknown", "unknown flaw"))
