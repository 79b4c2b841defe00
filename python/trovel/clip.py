"""Cutting triangle lists by circles and struts."""
from __future__ import annotations

from typing import NamedTuple

import numpy as np
import numpy.typing as npt

import _trovel

from . import _checks as chk
from .shapes import Strut

# The most triangles that one input triangle can become.
CIRCLE_FAN = 4
STRUT_FAN = 7


class ClipResult(NamedTuple):
    """What a cut gives back.

    triangles : the triangles written, in the input's layout ((m, 3, 2) or (m, 6)).
    dropped : input triangles that left nothing.
    clipped : input triangles that were cut (the rest were copied unchanged).
    """

    triangles: np.ndarray
    dropped: int
    clipped: int


def _run(clipper, tris: np.ndarray, nested: bool, fan: int, args: tuple,
         out: np.ndarray | None) -> ClipResult:
    n = tris.shape[0]
    if out is None:
        buf = np.empty((fan * n, 6), dtype=np.float64)
    else:
        if not isinstance(out, np.ndarray) or out.dtype != np.float64:
            raise TypeError("out must be a float64 numpy array")
        if out.size < fan * n * 6:
            raise ValueError(f"out must hold at least {fan} * {n} triangles")
        chk.output("out", out, out.shape, np.float64)
        chk.disjoint("out", out, tris)
        buf = out.reshape(-1)[: fan * n * 6].reshape(-1, 6)
    counters = np.zeros(2, dtype=np.int32)
    written = clipper(chk.address(tris), n, *args, chk.address(buf),
                      chk.address(counters), chk.address(counters) + 4)
    kept = buf[:written]
    if out is None and written < len(buf):
        kept = kept.copy()  # let the spare capacity go
    if nested:
        kept = kept.reshape(-1, 3, 2)
    return ClipResult(kept, int(counters[0]), int(counters[1]))


def clip_to_circle(
    triangles: npt.ArrayLike,
    center: tuple[float, float],
    radius: float,
    *,
    keep: str = "inside",
    margin: float = 0.0,
    out: np.ndarray | None = None,
) -> ClipResult:
    """Keep the part of each triangle inside (or outside) a circle.

    Triangles with all three vertices on the kept side, widened by ``margin``,
    are copied unchanged; those with all three on the other side (widened the
    same way) are dropped; the others are cut along the circle's chords and
    re-triangulated as a fan.  Only the vertices decide the quick tests: a
    triangle whose vertices all lie outside is dropped in ``keep="inside"``
    mode even if an edge passes through the circle.

    Parameters
    ----------
    triangles : array_like, shape (n, 3, 2) or (n, 6)
    center : (float, float)
    radius : float
    keep : {"inside", "outside"}
    margin : float
        Half-width of the band around the rim within which vertices count as
        on either side for the quick tests.
    out : ndarray of float64, optional
        Room for at least ``4 * n`` triangles; the result is a view of it.

    Returns
    -------
    ClipResult

    Examples
    --------
    >>> r = clip_to_circle([[(0.1, 0.1), (0.3, 0.1), (0.1, 0.3)]], (0, 0), 1.0)
    >>> r.triangles.shape, r.dropped, r.clipped
    ((1, 3, 2), 0, 0)
    """
    tris, nested = chk.triangles("triangles", triangles, fan=CIRCLE_FAN)
    cx, cy = chk.pair("center", center)
    r = chk.finite("radius", radius)
    m = chk.finite("margin", margin)
    if keep not in ("inside", "outside"):
        raise ValueError(f"keep must be 'inside' or 'outside', got {keep!r}")
    args = (cx, cy, r, 1 if keep == "inside" else 0, m)
    return _run(_trovel.clip_triangles_to_circle, tris, nested, CIRCLE_FAN, args, out)


def clip_to_strut(
    triangles: npt.ArrayLike,
    strut: Strut,
    *,
    margin: float = 0.0,
    out: np.ndarray | None = None,
) -> ClipResult:
    """Remove from each triangle the part inside a strut rectangle.

    The strut is the band between its two edge lines, cut off by two end
    lines perpendicular to its axis at ``length / 2`` either side of its
    centre.  Triangles wholly beyond one of the four lines by ``margin`` are
    copied; those inside all four by ``margin`` are dropped; the rest are cut
    exactly and re-triangulated.

    Parameters
    ----------
    triangles : array_like, shape (n, 3, 2) or (n, 6)
    strut : Strut
    margin : float
    out : ndarray of float64, optional
        Room for at least ``7 * n`` triangles; the result is a view of it.

    Returns
    -------
    ClipResult

    Examples
    --------
    >>> s = Strut.across((0, 0), angle=0.0, width=0.2, length=2.0)
    >>> r = clip_to_strut([[(-0.5, -0.05), (0.5, -0.05), (0, 0.05)]], s)
    >>> r.triangles.shape, r.dropped
    ((0, 3, 2), 1)
    """
    tris, nested = chk.triangles("triangles", triangles, fan=STRUT_FAN)
    if not isinstance(strut, Strut):
        raise TypeError(f"strut must be a trovel.Strut, got {type(strut).__name__}")
    m = chk.finite("margin", margin)
    args = (*strut.native_edges(), *strut.center, strut.length, m)
    return _run(_trovel.clip_triangles_to_strut, tris, nested, STRUT_FAN, args, out)
