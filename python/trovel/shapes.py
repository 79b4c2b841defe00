"""The shapes of the plane: struts, which the coverage and the cuts take,
and the aperture shapes of the exact renderer, discs, ellipses and polygons
combined with ``|`` (union), ``&`` (intersection), ``-`` (difference) and
``^`` (symmetric difference) to any depth, and carried by any non-singular
affine map (`Shape.transformed`).

Every shape is checked once, when it is made, and cannot be changed after;
:func:`trovel.render` reads its native description, built on the first
render and kept.

Examples
--------
>>> ring = Disc((0, 0), 2.0) - Disc((0, 0), 1.0)
>>> round(ring.area_bound(), 3)
12.566
>>> round(annulus((0, 0), 1.0, 2.0).scaled((2.0, 0.5)).area() / math.pi, 12)
3.0
"""
from __future__ import annotations

import math
import typing
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _checks as chk
from . import _kernels
from ._checks import FloatArray

Pair = tuple[float, float]
# An edge line (x, y, dx, dy): a point and a direction.
Line = tuple[float, float, float, float]
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
        s1, s2 = chk.strut_sides(_side(p1, d1, p2), _side(p2, d2, p1))
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
        chk.strut_edges_apart(p1, p2, w, (cx, cy))
        return cls(p1, d, p2, d, (cx, cy), size)

    def checked(self) -> tuple[Line, Line, Pair, float]:
        """The two edge lines as (x, y, dx, dy) with unit directions, the
        centre and the length, read from the fields again and checked, since
        a frozen dataclass can still be changed.  Native side values grow
        with a direction's length, and the quick tests and margins compare
        them with distances, so the directions are made unit (those already
        unit are passed as they are)."""
        lines = []
        for k, (point, direction) in enumerate(((self.point1, self.direction1),
                                                (self.point2, self.direction2)), 1):
            x, y = chk.pair(f"strut.point{k}", point)
            dx, dy = chk.unit_direction(chk.pair(f"strut.direction{k}", direction, nonzero=True))
            lines.append((x, y, dx, dy))
        return (lines[0], lines[1], chk.pair("strut.center", self.center),
                chk.finite("strut.length", self.length))

    def native_edges(self) -> Edges:
        """The edge lines as x1, y1, a1, b1, x2, y2, a2, b2, as `_trovel`'s
        callables take them: each line's unit direction as its native pair."""
        line1, line2, _, _ = self.checked()
        return (*chk.native_pair(line1), *chk.native_pair(line2))


# --- aperture shapes -------------------------------------------------------------------

IntArray = npt.NDArray[np.int32]
# (kinds, starts, counts, coords, program): a shape as the native kernel reads it.
Description = tuple[IntArray, IntArray, IntArray, FloatArray, IntArray]

# Primitive kinds and program operators, as the native kernel reads them.
_DISC, _POLYGON, _ELLIPSE = 0, 1, 2
_UNION, _INTERSECT, _DIFFERENCE, _SYMMETRIC_DIFFERENCE = -1, -2, -3, -5
_SYMBOLS = {_UNION: "|", _INTERSECT: "&", _DIFFERENCE: "-", _SYMMETRIC_DIFFERENCE: "^"}

# A 2x2 matrix ((m00, m01), (m10, m11)) and an offset: the map x -> M x + o.
Matrix = tuple[tuple[float, float], tuple[float, float]]
_IDENTITY: Matrix = ((1.0, 0.0), (0.0, 1.0))


def _apply(m: Matrix, o: Pair, p: Pair) -> Pair:
    """M p + o, each row in the one order."""
    return (m[0][0] * p[0] + m[0][1] * p[1] + o[0], m[1][0] * p[0] + m[1][1] * p[1] + o[1])


def _product(m: Matrix, n: Matrix) -> Matrix:
    """M N."""
    return ((m[0][0] * n[0][0] + m[0][1] * n[1][0], m[0][0] * n[0][1] + m[0][1] * n[1][1]),
            (m[1][0] * n[0][0] + m[1][1] * n[1][0], m[1][0] * n[0][1] + m[1][1] * n[1][1]))


# A matrix whose columns are equally long and orthogonal within this part of
# their squared length is a similarity (a rotation's cos and sin round to
# a few ulps of one): it carries a disc to a disc.
_SIMILARITY_SLACK = 16 * 2.0**-52


def _similarity_factor(m: Matrix) -> float | None:
    """The factor s of a similarity M (M^T M = s^2 I), or None."""
    c0 = m[0][0] * m[0][0] + m[1][0] * m[1][0]
    c1 = m[0][1] * m[0][1] + m[1][1] * m[1][1]
    dot = m[0][0] * m[0][1] + m[1][0] * m[1][1]
    if abs(c0 - c1) <= _SIMILARITY_SLACK * c0 and abs(dot) <= _SIMILARITY_SLACK * c0:
        return math.sqrt(abs(m[0][0] * m[1][1] - m[0][1] * m[1][0]))
    return None


class Shape:
    """A region of the plane; combine shapes with ``|``, ``&``, ``-`` and
    ``^``, and carry them by affine maps with `transformed`, `shifted`,
    `rotated` and `scaled`.

    Shapes cannot be changed once made: each is checked once, and its
    native description, built on its first render, is kept and reused."""

    __slots__ = ("_native",)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"{type(self).__name__} cannot be changed; make a new shape")

    def _set(self, **fields: Any) -> None:
        for name, value in fields.items():
            object.__setattr__(self, name, value)

    def __or__(self, other: "Shape") -> "Shape":
        return _Combined(_UNION, self, _shape("other", other))

    def __and__(self, other: "Shape") -> "Shape":
        return _Combined(_INTERSECT, self, _shape("other", other))

    def __sub__(self, other: "Shape") -> "Shape":
        return _Combined(_DIFFERENCE, self, _shape("other", other))

    def __xor__(self, other: "Shape") -> "Shape":
        return _Combined(_SYMMETRIC_DIFFERENCE, self, _shape("other", other))

    def transformed(self, matrix: npt.ArrayLike, offset: npt.ArrayLike = (0.0, 0.0)) -> "Shape":
        """The image of the shape under ``x -> matrix @ x + offset``.

        Discs become ellipses (discs still under a rotation and a uniform
        scaling), ellipses stay ellipses and polygons polygons, counter-clockwise
        again when the matrix mirrors; combinations keep their structure.

        Parameters
        ----------
        matrix : array_like, shape (2, 2)
            A finite, non-singular matrix.
        offset : (float, float), optional
            Added after the matrix.

        Returns
        -------
        Shape

        Raises
        ------
        TypeError, ValueError
            When the matrix is not a finite non-singular 2x2 matrix, or the
            offset not a finite pair.

        Examples
        --------
        >>> e = Disc((0, 0), 1.0).transformed(((2.0, 0.0), (0.0, 0.5)), offset=(1.0, 0.0))
        >>> e
        Ellipse(center=(1.0, 0.0), a=2.0, b=0.5, angle=0.0)
        """
        return _transform(self, chk.transform_matrix("matrix", matrix), chk.pair("offset", offset))

    def shifted(self, offset: npt.ArrayLike) -> "Shape":
        """The shape moved by ``offset``.

        Examples
        --------
        >>> Disc((0, 0), 1.0).shifted((2.0, 3.0))
        Disc(center=(2.0, 3.0), radius=1.0)
        """
        return _transform(self, _IDENTITY, chk.pair("offset", offset))

    def rotated(self, angle: float, about: npt.ArrayLike = (0.0, 0.0)) -> "Shape":
        """The shape turned by ``angle`` radians counter-clockwise about ``about``.

        Examples
        --------
        >>> r = Rectangle((1, 0), 0.0, 1.0, 2.0).rotated(math.pi / 2)
        >>> np.round(r.vertices, 12).tolist() == [[0.5, 0], [0.5, 2], [-0.5, 2], [-0.5, 0]]
        True
        """
        a = chk.finite("angle", angle)
        p = chk.pair("about", about)
        c, s = math.cos(a), math.sin(a)
        m: Matrix = ((c, -s), (s, c))
        return _transform(self, m, (p[0] - (c * p[0] - s * p[1]), p[1] - (s * p[0] + c * p[1])))

    def scaled(self, factor: float | npt.ArrayLike, about: npt.ArrayLike = (0.0, 0.0)) -> "Shape":
        """The shape scaled by ``factor`` (one number, or ``(sx, sy)`` along
        x and y) about ``about``; a negative factor mirrors.

        Examples
        --------
        >>> Disc((1, 1), 1.0).scaled((3.0, 1.0), about=(1.0, 1.0))
        Ellipse(center=(1.0, 1.0), a=3.0, b=1.0, angle=0.0)
        """
        sx, sy = chk.nonzero_factors("factor", chk.number_or_pair("factor", factor))
        p = chk.pair("about", about)
        return _transform(self, ((sx, 0.0), (0.0, sy)), (p[0] - sx * p[0], p[1] - sy * p[1]))

    def _mapped(self, m: Matrix, o: Pair) -> "Shape":
        """A primitive's image under x -> M x + o."""
        raise NotImplementedError

    def area_bound(self) -> float:
        """An upper bound of the area (exact for a single primitive)."""
        raise NotImplementedError

    def box(self) -> tuple[float, float, float, float]:
        """``(xmin, ymin, xmax, ymax)``: a box holding the shape (and every
        primitive of it).

        Examples
        --------
        >>> (Disc((1, 0), 1.0) | Disc((3, 0), 0.5)).box()
        (0.0, -1.0, 3.5, 1.0)
        """
        return _kernels.shape_box(self.native())

    def area(self) -> float:
        """The shape's exact area, to rounding: combinations included, with
        true arcs and exact where boundaries meet (one exact measurement of
        a region holding the whole shape, not a render).

        Examples
        --------
        >>> ring = Disc((0, 0), 2.0) - Disc((0, 0), 1.0)
        >>> round(ring.area() / math.pi, 12)
        3.0
        >>> round((Rectangle((0, 0), 0.0, 1.0, 4.0) | Disc((2, 0), 0.5)).area(), 12)
        4.392699081699
        """
        return _kernels.shape_area(self.native())

    def native(self) -> _kernels.ShapeDescription:
        """The description the renderer reads, built once and kept."""
        try:
            return typing.cast(_kernels.ShapeDescription, object.__getattribute__(self, "_native"))
        except AttributeError:
            native = _kernels.ShapeDescription(*self.description())
            object.__setattr__(self, "_native", native)
            return native

    def description(self) -> Description:
        """(kinds, starts, counts, coords, program): the flat form the native
        kernel takes.  Every leaf becomes its own primitive; the walk is
        iterative so that no depth of combination can exhaust the stack."""
        if not isinstance(self, _Combined):    # one primitive: apertures by the thousand
            leaf: Any = self
            values = np.ascontiguousarray(leaf._coords(), dtype=np.float64)
            chk.native_size("the shape", len(values))
            count = len(values) // 2 if leaf._kind == _POLYGON else 0
            return (np.array([leaf._kind], np.int32), np.zeros(1, np.int32),
                    np.array([count], np.int32), values, np.zeros(1, np.int32))
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
        chk.native_size("the shape", size)

        def i32(v: list[int]) -> IntArray:
            return np.asarray(v, dtype=np.int32)

        return (i32(kinds), i32(starts), i32(counts),
                np.ascontiguousarray(np.concatenate(coords), dtype=np.float64), i32(program))


def _shape(name: str, value: Any) -> Shape:
    return chk.instance(name, value, Shape)


def _transform(shape: Shape, m: Matrix, o: Pair) -> Shape:
    """The image of `shape` under x -> M x + o, combinations rebuilt in the
    same structure; iterative, like description(), so that no depth of
    combination exhausts the stack."""
    todo: list[Any] = [shape]
    done: list[Shape] = []
    while todo:
        node = todo.pop()
        if isinstance(node, tuple):           # an operator, once its operands are done
            right, left = done.pop(), done.pop()
            done.append(_Combined(node[0], left, right))
        elif isinstance(node, _Combined):
            todo += [(node.op,), node.right, node.left]
        else:
            done.append(node._mapped(m, o))
    return done[0]


class _Combined(Shape):
    __slots__ = ("op", "left", "right")
    op: int
    left: Shape
    right: Shape

    def __init__(self, op: int, left: Shape, right: Shape) -> None:
        self._set(op=op, left=left, right=right)

    def __reduce__(self) -> tuple[Any, ...]:
        return _Combined, (self.op, self.left, self.right)

    def area_bound(self) -> float:
        # iterative, like description()
        total = 0.0
        todo: list[Shape] = [self]
        while todo:
            node = todo.pop()
            if isinstance(node, _Combined):
                todo.append(node.left)
                if node.op in (_UNION, _SYMMETRIC_DIFFERENCE):
                    todo.append(node.right)
            else:
                total += node.area_bound()
        return total

    def __repr__(self) -> str:
        return f"({self.left!r} {_SYMBOLS[self.op]} {self.right!r})"


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

    __slots__ = ("center", "radius")
    _kind = _DISC
    center: tuple[float, float]
    radius: float

    def __init__(self, center: npt.ArrayLike, radius: float) -> None:
        c = chk.pair("center", center)
        self._set(center=c, radius=chk.positive("radius", chk.finite("radius", radius)))

    def __reduce__(self) -> tuple[Any, ...]:
        return Disc, (self.center, self.radius)

    def _coords(self) -> FloatArray:
        return np.array([*self.center, self.radius])

    def area_bound(self) -> float:
        return math.pi * self.radius * self.radius

    def _mapped(self, m: Matrix, o: Pair) -> Shape:
        c = _apply(m, o, self.center)
        s = _similarity_factor(m)
        if s is not None:
            return Disc(c, self.radius * s)
        r = self.radius
        return _ellipse_of_map(c, ((m[0][0] * r, m[0][1] * r), (m[1][0] * r, m[1][1] * r)))

    def __repr__(self) -> str:
        return f"Disc(center={self.center}, radius={self.radius})"


class Ellipse(Shape):
    """The open ellipse of semi-axes ``a`` and ``b`` about ``center``.

    Parameters
    ----------
    center : (float, float)
        The centre, in the plane of the footprints.
    a : float
        The semi-axis along the direction ``angle``, positive.
    b : float
        The semi-axis across it, positive.
    angle : float, optional
        The direction of ``a`` in radians from +x.

    Raises
    ------
    TypeError, ValueError
        When a value is not finite, a semi-axis is not positive, or the two
        are too far apart (a ratio beyond 2**600) to render.

    Examples
    --------
    >>> e = Ellipse((1.0, 2.0), 3.0, 1.0, angle=math.pi / 6)
    >>> round(e.area() / math.pi, 12)
    3.0
    """

    __slots__ = ("center", "a", "b", "angle")
    _kind = _ELLIPSE
    center: tuple[float, float]
    a: float
    b: float
    angle: float

    def __init__(self, center: npt.ArrayLike, a: float, b: float, angle: float = 0.0) -> None:
        c = chk.pair("center", center)
        a, b = chk.ellipse_axes(chk.finite("a", a), chk.finite("b", b))
        self._set(center=c, a=a, b=b, angle=chk.finite("angle", angle))

    def __reduce__(self) -> tuple[Any, ...]:
        return Ellipse, (self.center, self.a, self.b, self.angle)

    def _map(self) -> Matrix:
        """A = R(angle) diag(a, b): the ellipse is the image of the unit disc
        under u -> center + A u."""
        c, s = math.cos(self.angle), math.sin(self.angle)
        return ((self.a * c, -self.b * s), (self.a * s, self.b * c))

    def _coords(self) -> FloatArray:
        (a00, a01), (a10, a11) = self._map()
        return np.array([*self.center, a00, a01, a10, a11])

    def area_bound(self) -> float:
        return math.pi * self.a * self.b

    def _mapped(self, m: Matrix, o: Pair) -> Shape:
        return _ellipse_of_map(_apply(m, o, self.center), _product(m, self._map()))

    def __repr__(self) -> str:
        return f"Ellipse(center={self.center}, a={self.a}, b={self.b}, angle={self.angle})"


def _ellipse_of_map(center: Pair, m: Matrix) -> Ellipse:
    """The ellipse center + M (unit disc): its semi-axes are the singular
    values of M, the longer along the leading eigenvector of S = M M^T.
    With S = [[p, q], [q, r]], that direction is at 0.5 atan2(2q, p - r),
    a^2 = (p + r) / 2 + hypot((p - r) / 2, q), and b = |det M| / a (not the
    difference of the eigenvalues, which loses the digits of a thin
    ellipse).  M is scaled by a power of two first, so no square overflows."""
    biggest = max(abs(v) for row in m for v in row)
    e = math.frexp(biggest)[1]
    (m00, m01), (m10, m11) = ((math.ldexp(m[0][0], -e), math.ldexp(m[0][1], -e)),
                              (math.ldexp(m[1][0], -e), math.ldexp(m[1][1], -e)))
    p, q, r = m00 * m00 + m01 * m01, m00 * m10 + m01 * m11, m10 * m10 + m11 * m11
    a = math.sqrt(0.5 * (p + r) + math.hypot(0.5 * (p - r), q))
    b = abs(m00 * m11 - m01 * m10) / a
    return Ellipse(center, math.ldexp(a, e), math.ldexp(b, e), 0.5 * math.atan2(2.0 * q, p - r))


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

    __slots__ = ("vertices", "_area")
    _kind = _POLYGON
    vertices: FloatArray
    _area: float

    def __init__(self, vertices: npt.ArrayLike, *, _name: str = "vertices") -> None:
        v = chk.polygon_vertices(_name, chk.finite_array(_name, vertices))
        # The tests below multiply coordinates: they run on the vertices
        # scaled by a power of two (exactly) to a largest coordinate near 1,
        # so that no product overflows or underflows, whatever their range.
        e = _exponent(v)
        w = np.ldexp(v, -e)
        chk.simple_polygon(_name, w)
        x, y = w[:, 0], w[:, 1]
        x1, y1 = np.concatenate((x[1:], x[:1])), np.concatenate((y[1:], y[:1]))   # next vertex
        twice_area = chk.polygon_area(_name, float(np.sum(x * y1 - x1 * y)))
        # Counter-clockwise, so that the inside lies left of every edge; a
        # copy of its own, so that the caller's array can change no longer.
        kept = np.array(v if twice_area > 0 else v[::-1], dtype=np.float64, order="C")
        kept.flags.writeable = False
        self._set(vertices=kept, _area=_scaled(abs(twice_area) / 2, 2 * e))

    def __reduce__(self) -> tuple[Any, ...]:
        return Polygon, (np.array(self.vertices),)

    def _coords(self) -> FloatArray:
        return self.vertices.ravel()

    def area_bound(self) -> float:
        return self._area

    def _mapped(self, m: Matrix, o: Pair) -> Shape:
        v = self.vertices
        x = m[0][0] * v[:, 0] + m[0][1] * v[:, 1] + o[0]
        y = m[1][0] * v[:, 0] + m[1][1] * v[:, 1] + o[1]
        return Polygon(np.column_stack([x, y]))

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

    __slots__ = ("center", "angle", "width", "length")
    center: tuple[float, float]
    angle: float
    width: float
    length: float

    def __init__(self, center: npt.ArrayLike, angle: float, width: float, length: float) -> None:
        cx, cy = chk.pair("center", center)
        angle = chk.finite("angle", angle)
        width = chk.positive("width", chk.finite("width", width))
        length = chk.positive("length", chk.finite("length", length))
        ux, uy = math.cos(angle), math.sin(angle)
        hl, hw = 0.5 * length, 0.5 * width
        corners = [(cx + s * hl * ux - t * hw * uy, cy + s * hl * uy + t * hw * ux)
                   for s, t in ((-1, -1), (1, -1), (1, 1), (-1, 1))]
        super().__init__(corners, _name="rectangle")
        self._set(center=(cx, cy), angle=angle, width=width, length=length)

    def __reduce__(self) -> tuple[Any, ...]:
        return Rectangle, (self.center, self.angle, self.width, self.length)

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
    diameter = chk.positive("diameter", chk.finite("diameter", diameter))
    obscuration = chk.fraction("obscuration", chk.finite("obscuration", obscuration))
    struts = chk.whole("struts", struts, minimum=0)
    strut_angle = chk.finite("strut_angle", strut_angle)
    radius = 0.5 * diameter
    shape: Shape = Disc((0.0, 0.0), radius)
    if obscuration > 0.0:
        shape = shape - Disc((0.0, 0.0), obscuration * radius)
    if struts:
        strut_width = chk.positive("strut_width", chk.finite("strut_width", strut_width))
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
    flat = chk.positive("flat_to_flat", chk.finite("flat_to_flat", flat_to_flat))
    gap = chk.nonnegative("gap", chk.finite("gap", gap))
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


# --- annuli and the stadium ------------------------------------------------------------

def annulus(center: npt.ArrayLike, r_in: float, r_out: float) -> Shape:
    """The ring between two circles about ``center``.

    Parameters
    ----------
    center : (float, float)
        The common centre.
    r_in : float
        The inner radius, 0 or more (0 gives the whole disc).
    r_out : float
        The outer radius, more than ``r_in``.

    Returns
    -------
    Shape
        ``Disc(center, r_out) - Disc(center, r_in)``.

    Raises
    ------
    TypeError, ValueError
        When a value is not finite, ``r_in`` is negative or ``r_out`` not
        more than it.

    Examples
    --------
    >>> round(annulus((0, 0), 1.0, 2.0).area() / math.pi, 12)
    3.0
    """
    c = chk.pair("center", center)
    r_in = chk.nonnegative("r_in", chk.finite("r_in", r_in))
    r_out = chk.finite("r_out", r_out)
    chk.inner_within_outer("r_in", r_in, "r_out", r_out)
    outer = Disc(c, r_out)
    return outer - Disc(c, r_in) if r_in > 0.0 else outer


def elliptical_annulus(center: npt.ArrayLike, a_in: float, a_out: float, b_out: float,
                       angle: float = 0.0, b_in: float | None = None) -> Shape:
    """The ring between two ellipses of one centre and one orientation.

    Parameters
    ----------
    center : (float, float)
        The common centre.
    a_in, a_out : float
        The inner and outer semi-axes along ``angle``, ``0 < a_in < a_out``.
    b_out : float
        The outer semi-axis across ``angle``, positive.
    angle : float, optional
        The direction of the ``a`` semi-axes in radians from +x.
    b_in : float, optional
        The inner semi-axis across ``angle``, less than ``b_out``; by default
        ``b_out * a_in / a_out``, the inner ellipse a scaled copy of the outer.

    Returns
    -------
    Shape
        ``Ellipse(center, a_out, b_out, angle) - Ellipse(center, a_in, b_in, angle)``.

    Raises
    ------
    TypeError, ValueError
        When a value is not finite, a semi-axis is not positive, or an inner
        one is not less than its outer one.

    Examples
    --------
    >>> ring = elliptical_annulus((0, 0), 1.0, 2.0, 1.0)
    >>> round(ring.area() / math.pi, 12)
    1.5
    """
    c = chk.pair("center", center)
    a_in = chk.positive("a_in", chk.finite("a_in", a_in))
    a_out, b_out = chk.finite("a_out", a_out), chk.positive("b_out", chk.finite("b_out", b_out))
    chk.inner_within_outer("a_in", a_in, "a_out", a_out)
    b_in = b_out * a_in / a_out if b_in is None else chk.positive("b_in", chk.finite("b_in", b_in))
    chk.inner_within_outer("b_in", b_in, "b_out", b_out)
    angle = chk.finite("angle", angle)
    return Ellipse(c, a_out, b_out, angle) - Ellipse(c, a_in, b_in, angle)


def rectangular_annulus(center: npt.ArrayLike, w_in: float, w_out: float, h_out: float,
                        angle: float = 0.0, h_in: float | None = None) -> Shape:
    """The frame between two rectangles of one centre and one orientation.

    Parameters
    ----------
    center : (float, float)
        The common centre.
    w_in, w_out : float
        The inner and outer full widths along ``angle``, ``0 < w_in < w_out``.
    h_out : float
        The outer full height across ``angle``, positive.
    angle : float, optional
        The direction of the widths in radians from +x.
    h_in : float, optional
        The inner full height, less than ``h_out``; by default
        ``h_out * w_in / w_out``.

    Returns
    -------
    Shape
        The outer rectangle less the inner one (`Rectangle` takes the side
        along ``angle`` as its ``length``).

    Raises
    ------
    TypeError, ValueError
        When a value is not finite, a side is not positive, or an inner one
        is not less than its outer one.

    Examples
    --------
    >>> round(rectangular_annulus((0, 0), 2.0, 4.0, 2.0).area(), 12)  # 4 x 2 less 2 x 1
    6.0
    """
    c = chk.pair("center", center)
    w_in = chk.positive("w_in", chk.finite("w_in", w_in))
    w_out, h_out = chk.finite("w_out", w_out), chk.positive("h_out", chk.finite("h_out", h_out))
    chk.inner_within_outer("w_in", w_in, "w_out", w_out)
    h_in = h_out * w_in / w_out if h_in is None else chk.positive("h_in", chk.finite("h_in", h_in))
    chk.inner_within_outer("h_in", h_in, "h_out", h_out)
    angle = chk.finite("angle", angle)
    return Rectangle(c, angle, h_out, w_out) - Rectangle(c, angle, h_in, w_in)


def stadium(center: npt.ArrayLike, angle: float, width: float, length: float) -> Shape:
    """A rectangle with semicircular ends (a pill box).

    Parameters
    ----------
    center : (float, float)
        The middle.
    angle : float
        The direction of its length in radians from +x.
    width : float
        The width across it, and the diameter of the round ends; positive.
    length : float
        The overall length, ends included, at least ``width`` (equal to it:
        a disc).

    Returns
    -------
    Shape
        The rectangle between the ends' centres joined with the two discs:
        of area ``width * (length - width) + pi * width**2 / 4``.

    Raises
    ------
    TypeError, ValueError
        When a value is not finite, ``width`` is not positive or ``length``
        less than it.

    Examples
    --------
    >>> round(stadium((0, 0), 0.0, 2.0, 6.0).area(), 12)
    11.14159265359
    """
    cx, cy = chk.pair("center", center)
    angle = chk.finite("angle", angle)
    width = chk.positive("width", chk.finite("width", width))
    length = chk.finite("length", length)
    chk.stadium_sides(width, length)
    r = 0.5 * width
    if length == width:
        return Disc((cx, cy), r)
    half = 0.5 * (length - width)
    ux, uy = math.cos(angle), math.sin(angle)
    return (Rectangle((cx, cy), angle, width, length - width)
            | Disc((cx - half * ux, cy - half * uy), r) | Disc((cx + half * ux, cy + half * uy), r))
