"""Cutting triangle lists by circles and struts."""
from __future__ import annotations

from collections.abc import Callable
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import _trovel

from . import _checks as chk
from ._checks import FloatArray
from .shapes import Strut

Clipper = Callable[..., int]


class ClipResult(NamedTuple):
    """What a cut gives back: the triangles written and two counts.

    Attributes
    ----------
    triangles : ndarray of float64
        The triangles written, of shape (m, 3, 2) or (m, 6) as the input
        was given; a view of ``out`` when one was given.
    dropped : int
        Input triangles that left nothing.
    clipped : int
        Input triangles that were cut (the rest were copied unchanged).

    Examples
    --------
    >>> r = clip_to_circle([[(-2, -2), (2, -2), (0, 2)]], (5, 5), 1.0)
    >>> r.dropped, r.clipped, len(r.triangles)
    (1, 0, 0)
    """

    triangles: FloatArray
    dropped: int
    clipped: int


# The most triangles that one input triangle can become.
CIRCLE_FAN = 4
STRUT_FAN = 7
# Input triangles per native call when the output is allocated here: the
# result keeps room for at most 7 * 8192 records (2.75 MB) beyond what is written.
CHUNK = 8192


def _run(clipper: Clipper, tris: FloatArray, nested: bool, fan: int, args: tuple[float | int, ...],
         out: Any) -> ClipResult:
    """Cut `tris` chunk by chunk straight into a result that keeps room for
    the worst case of one chunk beyond what is written, growing by half when
    that room runs out and trimmed in place to what was written at the end:
    memory follows the output, not the worst case of all triangles.  Triangles are
    cut one by one and the counters only grow, so the records and counters
    are those of one call over all of them.  Into a caller's `out`, one call."""
    n, chunk = tris.shape[0], CHUNK
    counters = np.zeros(2, dtype=np.int32)
    c = chk.address(counters)
    if out is not None:
        flat = chk.output_flat("out", out, np.float64)
        buf = chk.room("out", flat, fan * n, 6)
        chk.disjoint("out", flat, tris)
        kept = buf[: clipper(chk.address(tris), n, *args, chk.address(buf), c, c + 4)]
    else:
        # Room for one record per triangle (most are copied or dropped) and
        # the worst case of a chunk; untouched pages of it cost no memory.
        kept = chk.new_array("the cut triangles", (n + fan * min(n, chunk), 6), np.float64)
        t, used = chk.address(tris), 0
        for start in range(0, n, chunk):
            count = min(chunk, n - start)
            if kept.shape[0] - used < fan * count:
                # realloc: the data owner is ours and no view of it exists
                kept.resize((max(used + fan * count, kept.shape[0] * 3 // 2), 6), refcheck=False)
            used += clipper(t + start * 48, count, *args, chk.address(kept) + used * 48,
                            c, c + 4)
        kept.resize((used, 6), refcheck=False)
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
    out: FloatArray | None = None,
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
        The triangles to cut.
    center : (float, float)
        The circle's centre.
    radius : float
        The circle's radius, not negative.
    keep : {"inside", "outside"}
        Which side of the rim is kept.
    margin : float
        Half-width of the band around the rim within which vertices count as
        on either side for the quick tests.
    out : ndarray of float64, optional
        Room for at least ``4 * n`` triangles, not sharing memory with
        ``triangles``; the result is a view of it.

    Returns
    -------
    ClipResult
        The kept triangles and the counts of dropped and cut ones.

    Raises
    ------
    TypeError
        When ``triangles`` is not numeric, ``keep`` is not a string, or
        ``out`` is not a float64 array.
    ValueError
        When ``triangles`` has the wrong shape, a number or a vertex is not
        finite (the message names the first vertex), ``radius`` is negative,
        ``keep`` is unknown, or ``out`` is too small, read-only or overlaps
        ``triangles``.

    Examples
    --------
    >>> r = clip_to_circle([[(0.1, 0.1), (0.3, 0.1), (0.1, 0.3)]], (0, 0), 1.0)
    >>> r.triangles.shape, r.dropped, r.clipped
    ((1, 3, 2), 0, 0)
    """
    cx, cy = chk.pair("center", center)
    r = chk.finite("radius", radius)
    m = chk.finite("margin", margin)
    mode = chk.keyword("keep", keep, ("inside", "outside"))
    raw = chk.array("triangles", triangles)
    chk.nonnegative("radius", r)
    tris, nested = chk.triangles("triangles", raw, fan=CIRCLE_FAN)
    args = (cx, cy, r, 1 if mode == "inside" else 0, m)
    return _run(_trovel.clip_triangles_to_circle, tris, nested, CIRCLE_FAN, args, out)


def clip_to_strut(
    triangles: npt.ArrayLike,
    strut: Strut,
    *,
    margin: float = 0.0,
    out: FloatArray | None = None,
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
        The mesh to cut the strut out of.
    strut : Strut
        The rectangle removed.
    margin : float
        How far beyond or inside the four lines a vertex must lie to count
        as clear of them in the quick tests.
    out : ndarray of float64, optional
        At least ``7 * n`` triangles of room, apart from ``triangles``;
        the triangles written are a view of it.

    Returns
    -------
    ClipResult
        What is left of the mesh, with the counts of triangles removed whole
        and cut.

    Raises
    ------
    TypeError
        When ``strut`` is not a `Strut`, or ``triangles`` or ``out`` hold no
        real numbers.
    ValueError
        When ``triangles`` is misshapen or too many or holds a vertex that
        is not finite (the message names the first), ``margin`` is not
        finite, or ``out`` is short of room, not writable or shares memory
        with the input.

    Examples
    --------
    >>> s = Strut.across((0, 0), angle=0.0, width=0.2, length=2.0)
    >>> r = clip_to_strut([[(-0.5, -0.05), (0.5, -0.05), (0, 0.05)]], s)
    >>> r.triangles.shape, r.dropped
    ((0, 3, 2), 1)
    """
    line1, line2, center, length = chk.instance("strut", strut, Strut).checked()
    m = chk.finite("margin", margin)
    tris, nested = chk.triangles("triangles", triangles, fan=STRUT_FAN)
    args = (*chk.native_pair(line1), *chk.native_pair(line2), *center, length, m)
    return _run(_trovel.clip_triangles_to_strut, tris, nested, STRUT_FAN, args, out)
