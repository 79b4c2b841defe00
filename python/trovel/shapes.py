"""Shapes of the edge plane that more than one function takes."""
from __future__ import annotations

import math
from dataclasses import dataclass

from . import _checks as chk


Pair = tuple[float, float]
Edges = tuple[float, float, float, float, float, float, float, float]


def _side(point: Pair, direction: Pair, p: Pair) -> float:
    """Positive when p lies left of the line through `point` along `direction`.
    The direction is normalised first, so no length of it overflows the test."""
    norm = math.hypot(*direction)
    ux, uy = direction[0] / norm, direction[1] / norm
    return ux * (p[1] - point[1]) - uy * (p[0] - point[0])


@dataclass(frozen=True)
class Strut:
    """A band between two edge lines, limited along its length.

    Each edge line runs through a point along a direction vector (any
    non-zero length: only its direction counts).  The strut is the band between the lines, ``length`` long and
    centred on ``center`` along its axis.  The directions are re-oriented on
    construction so that the band lies right of edge 1 and left of edge 2,
    whichever way they were given.

    Parameters
    ----------
    point1, point2 : (float, float)
        A point of each edge line.
    direction1, direction2 : (float, float)
        Each edge line's direction ``(dx, dy)``, non-zero.
    center : (float, float)
        The middle of the strut along its axis.
    length : float
        The strut's length, not negative.

    Raises
    ------
    TypeError
        When a field is not a number or a pair of numbers.
    ValueError
        When a value is not finite, a direction is zero, an edge line passes
        through the other's point, the points lie too far apart to orient
        the strut, or ``length`` is negative.

    Examples
    --------
    >>> s = Strut.across((0, 0), angle=0.0, width=0.2, length=2.0)
    >>> s.point1, s.point2
    ((0.0, 0.1), (0.0, -0.1))
    """

    point1: Pair
    direction1: Pair
    point2: Pair
    direction2: Pair
    center: Pair
    length: float

    def __post_init__(self) -> None:
        p1 = chk.pair("point1", self.point1)
        d1 = chk.pair("direction1", self.direction1, nonzero=True)
        p2 = chk.pair("point2", self.point2)
        d2 = chk.pair("direction2", self.direction2, nonzero=True)
        s1, s2 = _side(p1, d1, p2), _side(p2, d2, p1)
        if not (math.isfinite(s1) and math.isfinite(s2)):
            raise ValueError("point1 and point2 lie too far apart to orient the strut")
        if s1 == 0.0:
            raise ValueError("point2 lies on edge line 1 (point1, direction1): each edge "
                             "line must pass beside the other line's point")
        if s2 == 0.0:
            raise ValueError("point1 lies on edge line 2 (point2, direction2): each edge "
                             "line must pass beside the other line's point")
        if s1 > 0.0:
            d1 = (-d1[0], -d1[1])
        if s2 < 0.0:
            d2 = (-d2[0], -d2[1])
        length = chk.nonnegative("length", chk.finite("length", self.length))
        for name, value in (("point1", p1), ("direction1", d1), ("point2", p2),
                            ("direction2", d2), ("center", chk.pair("center", self.center)),
                            ("length", length)):
            object.__setattr__(self, name, value)

    @classmethod
    def across(cls, center: Pair, angle: float, width: float, length: float) -> Strut:
        """The rectangle of ``width`` by ``length`` centred on ``center``.

        Parameters
        ----------
        center : (float, float)
            The rectangle's centre.
        angle : float
            The axis's angle in radians from the x axis.
        width : float
            The distance between the edge lines, positive.
        length : float
            The extent along the axis, not negative.

        Returns
        -------
        Strut
            Both edge lines run along the axis, ``width / 2`` to either side.

        Raises
        ------
        TypeError
            When an argument is not a number (``center`` not a pair).
        ValueError
            When a value is not finite, ``width`` is not positive or lost to
            rounding at ``center``, the edges overflow, or ``length`` is
            negative.

        Examples
        --------
        >>> s = Strut.across((1.0, 2.0), angle=0.0, width=2.0, length=5.0)
        >>> s.point1, s.direction1, s.length
        ((1.0, 3.0), (1.0, 0.0), 5.0)
        """
        cx, cy = chk.pair("center", center)
        angle = chk.finite("angle", angle)
        w = chk.finite("width", width)
        size = chk.real("length", length)
        chk.positive("width", w)
        half = 0.5 * w
        d = (math.cos(angle), math.sin(angle))
        left = (-d[1], d[0])
        p1 = (cx + half * left[0], cy + half * left[1])
        p2 = (cx - half * left[0], cy - half * left[1])
        if not all(math.isfinite(v) for v in (*p1, *p2)):
            raise ValueError("center and width put the strut's edges beyond the range of doubles")
        if p1 == p2:
            raise ValueError(f"width {w} is lost to rounding at center {(cx, cy)}: "
                             "the strut's two edges coincide")
        return cls(p1, d, p2, d, (cx, cy), size)

    def native_args(self) -> tuple[float, Edges, Pair]:
        """The length, the eight native edge values and the centre, read from
        the fields again and checked, since a frozen dataclass can still be
        changed.  Each line's native pair (a, b) is its unit direction
        (dx, dy) read as (dy, dx): the native quick tests and the cut's
        margin compare side values with distances, so the directions are
        made unit (those already unit are passed as they are)."""
        (x1, y1), (x2, y2) = chk.pair("strut.point1", self.point1), chk.pair("strut.point2",
                                                                             self.point2)
        dx1, dy1 = chk.unit_direction(chk.pair("strut.direction1", self.direction1, nonzero=True))
        dx2, dy2 = chk.unit_direction(chk.pair("strut.direction2", self.direction2, nonzero=True))
        length = chk.finite("strut.length", self.length)
        center = chk.pair("strut.center", self.center)
        return length, (x1, y1, dy1, dx1, x2, y2, dy2, dx2), center

    def native_edges(self) -> Edges:
        """The edge lines as x1, y1, a1, b1, x2, y2, a2, b2, as the native
        functions take them (see `native_args`)."""
        return self.native_args()[1]
