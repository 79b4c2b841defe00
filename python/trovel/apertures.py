"""Aperture shapes for the exact renderer: discs and polygons combined with
``|`` (union), ``&`` (intersection) and ``-`` (difference) to any depth.

A shape is checked once, when it is made; :func:`trovel.render` turns it into
a flat description for the native kernel (a table of primitives and a postfix
program over them).

Examples
--------
>>> ring = Disc((0, 0), 2.0) - Disc((0, 0), 1.0)
>>> round(ring.area_bound(), 3)
12.566
"""
from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _checks as chk
from ._checks import FloatArray

IntArray = npt.NDArray[np.int32]
# (kinds, starts, counts, coords, program): a shape as the native kernel reads it.
Description = tuple[IntArray, IntArray, IntArray, FloatArray, IntArray]

# Primitive kinds and program operators, as the native kernel reads them.
_DISC, _POLYGON = 0, 1
_UNION, _INTERSECT, _DIFFERENCE = -1, -2, -3


class Shape:
    """A region of the plane; combine shapes with ``|``, ``&`` and ``-``."""

    def __or__(self, other: "Shape") -> "Shape":
        return _Combined(_UNION, self, _shape("other", other))

    def __and__(self, other: "Shape") -> "Shape":
        return _Combined(_INTERSECT, self, _shape("other", other))

    def __sub__(self, other: "Shape") -> "Shape":
        return _Combined(_DIFFERENCE, self, _shape("other", other))

    def area_bound(self) -> float:
        """An upper bound of the area (exact for a single primitive)."""
        raise NotImplementedError

    def description(self) -> Description:
        """(kinds, starts, counts, coords, program): the flat form the native
        kernel takes.  Every leaf becomes its own primitive; the walk is
        iterative so that no depth of combination can exhaust the stack."""
        kinds: list[int] = []
        starts: list[int] = []
        counts: list[int] = []
        coords: list[FloatArray] = []
        program: list[int] = []
        size = 0
        todo: list[Any] = [self]
        while todo:
            node = todo.pop()
            if isinstance(node, int):          # an operator, after its operands
                program.append(node)
            elif isinstance(node, _Combined):
                todo += [node.op, node.right, node.left]
            else:
                values = node._coords()
                kinds.append(node._kind)
                starts.append(size)
                counts.append(len(values) // 2 if node._kind == _POLYGON else 0)
                coords.append(values)
                program.append(len(kinds) - 1)
                size += len(values)
        if size > chk.INT32_MAX:
            raise ValueError("the shape is too large for one native call")
        def i32(v: list[int]) -> IntArray:
            return np.asarray(v, dtype=np.int32)

        return (i32(kinds), i32(starts), i32(counts),
                np.ascontiguousarray(np.concatenate(coords), dtype=np.float64), i32(program))


def _shape(name: str, value: Any) -> Shape:
    if not isinstance(value, Shape):
        raise TypeError(f"{name} must be a trovel shape (Disc, Polygon, Rectangle or a "
                        f"combination), got {type(value).__name__}")
    return value


class _Combined(Shape):
    __slots__ = ("op", "left", "right")

    def __init__(self, op: int, left: Shape, right: Shape) -> None:
        self.op, self.left, self.right = op, left, right

    def area_bound(self) -> float:
        # iterative, like description()
        total = 0.0
        todo: list[Shape] = [self]
        while todo:
            node = todo.pop()
            if isinstance(node, _Combined):
                todo.append(node.left)
                if node.op == _UNION:
                    todo.append(node.right)
            else:
                total += node.area_bound()
        return total

    def __repr__(self) -> str:
        sym = {_UNION: "|", _INTERSECT: "&", _DIFFERENCE: "-"}[self.op]
        return f"({self.left!r} {sym} {self.right!r})"


class Disc(Shape):
    """The open disc of ``radius`` about ``center``.

    Parameters
    ----------
    center : (float, float)
        The centre, in the plane of the footprints.
    radius : float
        Positive.

    Raises
    ------
    TypeError, ValueError
        When the centre or the radius is not finite, or the radius is not
        positive.

    Examples
    --------
    >>> Disc((1.0, 2.0), 0.5)
    Disc(center=(1.0, 2.0), radius=0.5)
    """

    _kind = _DISC

    def __init__(self, center: npt.ArrayLike, radius: float) -> None:
        self.center = chk.pair("center", center)
        self.radius = chk.finite("radius", radius)
        if self.radius <= 0.0:
            raise ValueError(f"radius must be positive, got {self.radius}")

    def _coords(self) -> FloatArray:
        return np.array([*self.center, self.radius])

    def area_bound(self) -> float:
        return math.pi * self.radius * self.radius

    def __repr__(self) -> str:
        return f"Disc(center={self.center}, radius={self.radius})"


def _segments_cross(p: FloatArray, q: FloatArray, r: FloatArray,
                    s: FloatArray) -> npt.NDArray[np.bool_]:
    """Whether the closed segments p-q and r-s share a point (broadcast)."""
    def orient(a: FloatArray, b: FloatArray, c: FloatArray) -> FloatArray:
        return np.sign((b[..., 0] - a[..., 0]) * (c[..., 1] - a[..., 1])
                       - (b[..., 1] - a[..., 1]) * (c[..., 0] - a[..., 0]))

    def within(a: FloatArray, b: FloatArray, c: FloatArray) -> npt.NDArray[np.bool_]:
        # c on the line of a-b: inside its bounding box
        return ((np.minimum(a[..., 0], b[..., 0]) <= c[..., 0])
                & (c[..., 0] <= np.maximum(a[..., 0], b[..., 0]))
                & (np.minimum(a[..., 1], b[..., 1]) <= c[..., 1])
                & (c[..., 1] <= np.maximum(a[..., 1], b[..., 1])))

    o1, o2, o3, o4 = orient(p, q, r), orient(p, q, s), orient(r, s, p), orient(r, s, q)
    proper = (o1 * o2 < 0) & (o3 * o4 < 0)
    touch: npt.NDArray[np.bool_] = (
        ((o1 == 0) & within(p, q, r)) | ((o2 == 0) & within(p, q, s))
        | ((o3 == 0) & within(r, s, p)) | ((o4 == 0) & within(r, s, q)))
    return proper | touch


# Pairs of edges tested at a time: bounds the memory of the test.
_PAIRS_AT_ONCE = 1 << 18


def _first_meeting_edges(a: FloatArray, b: FloatArray) -> tuple[int, int] | None:
    """The first pair (i, j), i < j, in the order (i, then j), of edges a-b
    that meet, neighbours (which share a vertex) left out; None when no two
    meet.  Only edges whose bounding boxes overlap can meet: the edges are
    sorted by their left ends, so that the edges whose boxes may overlap an
    edge's in x are a run after it, and only those pairs are tested."""
    n = len(a)
    lo, hi = np.minimum(a, b), np.maximum(a, b)
    order = np.argsort(lo[:, 0], kind="stable")
    ends = np.searchsorted(lo[order, 0], hi[order, 0], side="right")
    later = np.maximum(ends - np.arange(1, n + 1), 0)   # run after each, in x order
    first: tuple[int, int] | None = None
    done = np.cumsum(later)
    start = 0
    while start < n:
        stop = max(int(np.searchsorted(done, (done[start - 1] if start else 0) + _PAIRS_AT_ONCE,
                                       side="right")), start + 1)
        ks = np.repeat(np.arange(start, stop), later[start:stop])
        runs = np.cumsum(later[start:stop]) - later[start:stop]
        step = np.arange(ks.size) - np.repeat(runs, later[start:stop])
        i, j = order[ks], order[ks + 1 + step]
        i, j = np.minimum(i, j), np.maximum(i, j)
        near = ((lo[i, 1] <= hi[j, 1]) & (lo[j, 1] <= hi[i, 1]) & (j - i >= 2)
                & ~((i == 0) & (j == n - 1)))
        i, j = i[near], j[near]
        meet = _segments_cross(a[i], b[i], a[j], b[j])
        if meet.any():
            pairs = sorted(zip(i[meet].tolist(), j[meet].tolist()))
            first = pairs[0] if first is None else min(first, pairs[0])
        start = stop
    return first


def _check_simple(name: str, v: FloatArray) -> None:
    """Refuse repeated consecutive vertices and edges that meet anywhere but
    at the vertex two neighbours share."""
    n = len(v)
    a, b = v, np.roll(v, -1, axis=0)
    if np.any(np.all(a == b, axis=1)):
        raise ValueError(f"{name} must not repeat a vertex consecutively")
    meeting = _first_meeting_edges(a, b)
    if meeting is not None:
        raise ValueError(f"{name} must be a simple polygon: edges {meeting[0]} and "
                         f"{meeting[1]} meet")
    # neighbours meet only at their shared vertex: no fold back along a line
    nxt = np.roll(b, -1, axis=0)
    d1, d2 = b - a, nxt - b
    folded = ((d1[:, 0] * d2[:, 1] - d1[:, 1] * d2[:, 0]) == 0) & (np.sum(d1 * d2, axis=1) < 0)
    if np.any(folded):
        raise ValueError(f"{name} must be a simple polygon: it folds back at vertex "
                         f"{(int(np.argmax(folded)) + 1) % n}")


def _exponent(v: FloatArray) -> int:
    """The binary exponent of the largest magnitude among finite `v` (0 when
    all are zero)."""
    return int(np.frexp(np.max(np.abs(v)))[1])


def _scaled(value: float, e: int) -> float:
    """value * 2**e, infinite when that overflows."""
    try:
        return math.ldexp(value, e)
    except OverflowError:
        return math.inf


class Polygon(Shape):
    """The inside of a simple polygon.

    Parameters
    ----------
    vertices : array_like, shape (n, 2)
        At least three vertices in either orientation, the ring closed
        implicitly; no two edges may cross.

    Raises
    ------
    TypeError, ValueError
        When a vertex is not finite, there are fewer than three, the polygon
        crosses itself or encloses no area.

    Examples
    --------
    >>> Polygon([(0, 0), (0, 1), (1, 0)]).area_bound()
    0.5
    """

    _kind = _POLYGON

    def __init__(self, vertices: npt.ArrayLike, *, _name: str = "vertices") -> None:
        v = chk.finite_array(_name, vertices)
        if v.ndim != 2 or v.shape[1] != 2:
            raise ValueError(f"{_name} must have shape (n, 2), got {v.shape}")
        if v.shape[0] < 3:
            raise ValueError(f"{_name} must hold at least 3 vertices, got {v.shape[0]}")
        # The tests below multiply coordinates: they run on the vertices
        # scaled by a power of two (exactly) to a largest coordinate near 1,
        # so that no product overflows or underflows, whatever their range.
        e = _exponent(v)
        w = np.ldexp(v, -e)
        _check_simple(_name, w)
        x, y = w[:, 0], w[:, 1]
        twice_area = float(np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y))
        if twice_area == 0.0:
            raise ValueError(f"{_name} must enclose a positive area")
        # Counter-clockwise, so that the inside lies left of every edge; a
        # copy of its own, so that the caller's array can change no longer.
        self.vertices = np.array(v if twice_area > 0 else v[::-1], dtype=np.float64, order="C")
        self.vertices.flags.writeable = False
        self._area = _scaled(abs(twice_area) / 2, 2 * e)

    def _coords(self) -> FloatArray:
        return self.vertices.ravel()

    def area_bound(self) -> float:
        return self._area

    def __repr__(self) -> str:
        return f"Polygon({len(self.vertices)} vertices)"


class Rectangle(Polygon):
    """A rectangle about a centre, turned by an angle.

    Parameters
    ----------
    center : (float, float)
        The rectangle's centre.
    angle : float
        The direction of its long axis, in radians from +x.
    width, length : float
        The short side and the long side (along ``angle``), both positive.

    Raises
    ------
    TypeError, ValueError
        When the centre, the angle or a side is not finite, or a side is not
        positive.

    Examples
    --------
    >>> Rectangle((0, 0), 0.0, 1.0, 4.0).vertices.tolist()
    [[-2.0, -0.5], [2.0, -0.5], [2.0, 0.5], [-2.0, 0.5]]
    """

    def __init__(self, center: npt.ArrayLike, angle: float, width: float, length: float) -> None:
        cx, cy = chk.pair("center", center)
        angle = chk.finite("angle", angle)
        width = chk.finite("width", width)
        length = chk.finite("length", length)
        if width <= 0.0:
            raise ValueError(f"width must be positive, got {width}")
        if length <= 0.0:
            raise ValueError(f"length must be positive, got {length}")
        ux, uy = math.cos(angle), math.sin(angle)
        hl, hw = 0.5 * length, 0.5 * width
        corners = [(cx + s * hl * ux - t * hw * uy, cy + s * hl * uy + t * hw * ux)
                   for s, t in ((-1, -1), (1, -1), (1, 1), (-1, 1))]
        super().__init__(corners, _name="rectangle")
        self.center, self.angle, self.width, self.length = (cx, cy), angle, width, length

    def __repr__(self) -> str:
        return (f"Rectangle(center={self.center}, angle={self.angle}, width={self.width}, "
                f"length={self.length})")


def pupil(diameter: float, obscuration: float = 0.0, struts: int = 0,
          strut_width: float = 0.0, strut_angle: float = 0.0) -> Shape:
    """A telescope pupil about the origin.

    A disc of ``diameter``, less a central disc of ``obscuration`` times that
    diameter, less ``struts`` vanes of ``strut_width`` running from the centre
    out past the rim, the first at ``strut_angle`` radians from +x and the
    others evenly spaced.  Each vane is a half-line from the centre, so four
    vanes make a cross and two opposite vanes one bar across the pupil.

    Parameters
    ----------
    diameter : float
        The outer diameter, positive.
    obscuration : float, optional
        The central obscuration's diameter as a fraction of ``diameter``
        (not a length), in [0, 1).
    struts : int, optional
        The number of vanes, a whole number (3 or 3.0).
    strut_width : float, optional
        The vanes' width, a length, positive when there are vanes.
    strut_angle : float, optional
        The first vane's direction in radians from +x (``math.pi / 4``,
        not 45).

    Returns
    -------
    Shape
        Ready for :func:`trovel.render`.

    Raises
    ------
    TypeError, ValueError
        When a size is not finite or out of its range, or ``struts`` is not
        a whole number.

    Examples
    --------
    >>> p = pupil(2.0, obscuration=0.3, struts=4, strut_width=0.05)
    >>> isinstance(p, Shape)
    True
    """
    diameter = chk.finite("diameter", diameter)
    if diameter <= 0.0:
        raise ValueError(f"diameter must be positive, got {diameter}")
    obscuration = chk.finite("obscuration", obscuration)
    if not 0.0 <= obscuration < 1.0:
        raise ValueError(f"obscuration must lie in [0, 1), got {obscuration}")
    struts = chk.whole("struts", struts, minimum=0)
    strut_angle = chk.finite("strut_angle", strut_angle)
    radius = 0.5 * diameter
    shape: Shape = Disc((0.0, 0.0), radius)
    if obscuration > 0.0:
        shape = shape - Disc((0.0, 0.0), obscuration * radius)
    if struts:
        strut_width = chk.finite("strut_width", strut_width)
        if strut_width <= 0.0:
            raise ValueError(f"strut_width must be positive when struts > 0, got {strut_width}")
        # Each vane starts half a width behind the centre, so that the vanes
        # cover the centre between them, and ends a width beyond the rim.
        start, end = -0.5 * strut_width, radius + strut_width
        for k in range(struts):
            a = strut_angle + 2.0 * math.pi * k / struts
            mid = 0.5 * (start + end)
            shape = shape - Rectangle((mid * math.cos(a), mid * math.sin(a)), a,
                                      strut_width, end - start)
    return shape


def hexagonal_segments(rings: int, flat_to_flat: float, gap: float) -> Shape:
    """A segmented mirror of regular hexagons about the origin.

    A central hexagon and ``rings`` rings of hexagons around it (1 + 3 rings
    (rings + 1) in all), the flats of neighbours parallel and ``gap`` apart.
    The hexagons have a vertex on the +x axis.

    Parameters
    ----------
    rings : int
        The number of rings around the central segment, a whole number, 0 or
        more.
    flat_to_flat : float
        Each segment's width across its flats, positive.
    gap : float
        The distance between the flats of neighbours, 0 or more.

    Returns
    -------
    Shape
        The union of the segments, ready for :func:`trovel.render`.

    Raises
    ------
    TypeError, ValueError
        When ``rings`` is not a whole number of 0 or more, or a size is not
        finite or out of its range.

    Examples
    --------
    >>> h = hexagonal_segments(1, 1.0, 0.1)
    >>> round(h.area_bound(), 6)  # seven hexagons of area (sqrt(3)/2) f^2
    6.062178
    """
    rings = chk.whole("rings", rings, minimum=0)
    flat = chk.finite("flat_to_flat", flat_to_flat)
    if flat <= 0.0:
        raise ValueError(f"flat_to_flat must be positive, got {flat}")
    gap = chk.finite("gap", gap)
    if gap < 0.0:
        raise ValueError(f"gap must not be negative, got {gap}")
    pitch = flat + gap
    circum = flat / math.sqrt(3.0)   # centre-to-vertex distance
    corners = [(circum * math.cos(k * math.pi / 3), circum * math.sin(k * math.pi / 3))
               for k in range(6)]
    # Axial lattice: neighbours across the flats lie at 30 + 60 k degrees.
    e1 = (pitch * math.cos(math.pi / 6), pitch * math.sin(math.pi / 6))
    e2 = (0.0, pitch)
    shape: Shape | None = None
    for q in range(-rings, rings + 1):
        for r in range(max(-rings, -q - rings), min(rings, -q + rings) + 1):
            cx, cy = q * e1[0] + r * e2[0], q * e1[1] + r * e2[1]
            hexagon = Polygon([(cx + x, cy + y) for x, y in corners])
            shape = hexagon if shape is None else shape | hexagon
    assert shape is not None
    return shape
