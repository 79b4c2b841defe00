"""Real telescope pupils as exact shapes.

One function per telescope builds its pupil from published figures: the
outline of the primary, the central obscuration, the spiders that hold the
secondary and, for a segmented primary, every segment with its gaps.  Each
returns a :class:`trovel.Shape` in metres, centred on the origin, with y up
as the telescope's usual pupil drawings show it, ready for
:func:`trovel.render`; :func:`collecting_area` gives its exact area.

Every function takes ``spiders=True``; those of segmented telescopes also
take ``gaps=True`` (``False`` grows the segments to fill the gaps, their
centres kept) and ``segments=False`` (``True`` gives the list of segments
instead, each with the spiders and obscurations that fall on it removed, for
per-segment piston and tip-tilt work).  Each docstring gives the geometry
and where each figure comes from.  Most figures are those of hcipy 0.7's
generators, which cite the observatories' documents; a docstring says where
the two differ.

Examples
--------
>>> print(f"{collecting_area(keck()):.3f} m²")
72.104 m²
>>> len(keck(segments=True))
36
"""
from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ._checks import FloatArray
from .shapes import Disc, Ellipse, Polygon, Rectangle, Shape

__all__ = ["collecting_area", "elt", "gmt", "tmt", "keck", "jwst", "hst", "vlt", "subaru",
           "magellan", "hale", "luvoir_a", "habex"]

Point = tuple[float, float]
Pupil = Shape | list[Shape]

def collecting_area(shape: Shape | Iterable[Shape]) -> float:
    """The exact area of a shape, or the sum of the exact areas of several.

    Each area is :meth:`trovel.Shape.area`, one exact measurement of the
    whole shape (true arcs, exact where boundaries meet), not a render.  For
    a list of segments (``segments=True``), which do not overlap, the sum is
    the collecting area of the whole.

    Parameters
    ----------
    shape : Shape or iterable of Shape
        A pupil, or the segments of one.

    Returns
    -------
    float
        The area in square metres for the telescopes of this module.

    Raises
    ------
    TypeError
        When ``shape`` is neither a shape nor an iterable of shapes.

    Examples
    --------
    >>> print(f"{collecting_area(habex()):.6f}")
    12.566371
    >>> round(collecting_area(jwst(segments=True)) / collecting_area(jwst()), 12)
    1.0
    """
    if isinstance(shape, Shape):
        return shape.area()
    try:
        shapes = list(shape)
    except TypeError:
        raise TypeError(f"shape must be a Shape or an iterable of shapes, not "
                        f"{type(shape).__name__}") from None
    for k, s in enumerate(shapes):
        if not isinstance(s, Shape):
            raise TypeError(f"shape[{k}] must be a Shape, not {type(s).__name__}")
    return math.fsum(s.area() for s in shapes)


# --- building blocks ------------------------------------------------------------------

def _flags(**values: Any) -> tuple[bool, ...]:
    """The flags, each checked to be a bool: a string or a number would
    pass a truth test and mean something it does not say."""
    for name, value in values.items():
        if not isinstance(value, (bool, np.bool_)):
            raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return tuple(bool(v) for v in values.values())


def _union(shapes: Sequence[Shape]) -> Shape:
    """The union of the shapes, combined pairwise: a tree of depth log2(n)
    rather than a chain of n."""
    level = list(shapes)
    while len(level) > 1:
        level = [level[i] | level[i + 1] if i + 1 < len(level) else level[i]
                 for i in range(0, len(level), 2)]
    return level[0]


def _at(radius: float, degrees: float) -> Point:
    a = math.radians(degrees)
    return radius * math.cos(a), radius * math.sin(a)


def _vane(start: Point, degrees: float, width: float, radius: float) -> Rectangle:
    """A spider: a band ``width`` wide from ``start`` along ``degrees`` from
    +x, its far end past the circle of ``radius`` about the origin (its
    length, the radius and the start's distance and a width more, puts the
    whole end outside)."""
    length = radius + math.hypot(*start) + width
    ux, uy = _at(1.0, degrees)
    centre = (start[0] + 0.5 * length * ux, start[1] + 0.5 * length * uy)
    return Rectangle(centre, math.radians(degrees), width, length)


def _rotated(points: npt.ArrayLike, degrees: float) -> FloatArray:
    """The points turned counter-clockwise about the origin."""
    c, s = _at(1.0, degrees)
    p = np.asarray(points, dtype=np.float64)
    return np.stack([c * p[:, 0] - s * p[:, 1], s * p[:, 0] + c * p[:, 1]], axis=1)


def _hexagon(centre: Point, flat_to_flat: float) -> Polygon:
    """A regular hexagon with a vertex on the +x side, flats along x."""
    r = flat_to_flat / math.sqrt(3.0)
    return Polygon([(centre[0] + x, centre[1] + y) for x, y in
                    (_at(r, 60.0 * k) for k in range(6))])


def _lattice(pitch: float, rings: int) -> Iterator[tuple[int, Point]]:
    """The centres of a hexagonal lattice of segments with flats along x
    (neighbours at 30 + 60 k degrees, ``pitch`` apart), ``rings`` rings
    about the centre, as (ring, centre): ring by ring outwards, and
    counter-clockwise from +x within a ring.  The half-integer row offset
    keeps the centres on the x axis at y = 0 exactly."""
    found = []
    for q in range(-rings, rings + 1):
        for r in range(max(-rings, -q - rings), min(rings, -q + rings) + 1):
            ring = max(abs(q), abs(r), abs(q + r))
            x, y = q * pitch * math.sqrt(3.0) / 2, (r + q / 2) * pitch
            found.append((ring, math.atan2(y, x) % (2 * math.pi), (x, y)))
    found.sort(key=lambda f: (f[0], f[1]))
    return ((ring, centre) for ring, _, centre in found)


def _hexagonal_array(pitch: float, gap: float, rings: int,
                     keep: Callable[[int, Point], bool], gaps: bool) -> list[Shape]:
    """The hexagons of the lattice that `keep` (ring, centre) keeps, ``gap``
    apart, or touching when `gaps` is False (the pitch unchanged)."""
    flat = pitch - gap if gaps else pitch
    return [_hexagon(c, flat) for ring, c in _lattice(pitch, rings) if keep(ring, c)]


def _outline(shape: Shape) -> tuple[FloatArray, float]:
    """Points and a margin: the shape lies within ``margin`` of their convex
    hull (a disc: its centre and radius; an ellipse: its centre and larger
    semi-axis; a polygon: its vertices and 0)."""
    if isinstance(shape, Disc):
        return np.array([shape.center]), shape.radius
    if isinstance(shape, Ellipse):
        return np.array([shape.center]), max(shape.a, shape.b)
    if isinstance(shape, Polygon):
        return shape.vertices, 0.0
    raise TypeError(f"no outline for {type(shape).__name__}")


def _edge_normals(points: FloatArray) -> FloatArray:
    if len(points) < 2:
        return np.empty((0, 2))
    d = np.roll(points, -1, axis=0) - points
    return np.stack([-d[:, 1], d[:, 0]], axis=1)


def _apart(a: Shape, b: Shape) -> bool:
    """True when a line separates the two primitives (discs or polygons):
    the edge normals of either and the line between their middles are
    tried.  False can still mean apart (a disc near a polygon's corner), so
    the test only spares work that changes nothing: removing a shape from
    one it does not meet."""
    pa, ma = _outline(a)
    pb, mb = _outline(b)
    axes = np.concatenate([_edge_normals(pa), _edge_normals(pb),
                           [pb.mean(axis=0) - pa.mean(axis=0)]])
    for axis in axes:
        norm = math.hypot(*axis)
        if norm == 0.0:
            continue
        sa, sb = pa @ (axis / norm), pb @ (axis / norm)
        if sa.max() + ma < sb.min() - mb or sb.max() + mb < sa.min() - ma:
            return True
    return False


def _assemble(pieces: Sequence[Shape], obstructions: Sequence[Shape], segments: bool) -> Pupil:
    """The pieces less the obstructions: their union, or (`segments`) each
    piece less the obstructions that may fall on it, in the pieces' order."""
    if not segments:
        whole = _union(pieces)
        return whole - _union(obstructions) if obstructions else whole
    out = []
    for piece in pieces:
        on_it = [o for o in obstructions if not _apart(piece, o)]
        out.append(piece - _union(on_it) if on_it else piece)
    return out


# --- segmented telescopes on a hexagonal lattice ---------------------------------------

def elt(spiders: bool = True, gaps: bool = True, segments: bool = False) -> Pupil:
    """The Extremely Large Telescope's pupil: 798 hexagonal segments.

    Geometry, in metres, y up:

    - 798 regular hexagons 1.45 corner to corner (1.2557 flat to flat),
      flats along x, on a hexagonal lattice of pitch 1.2597 (gaps of
      0.004 between flats);
    - the array: lattice rings 5 to 17 about the centre, less the ten
      outermost segments at each of the six corners (the centres kept lie
      within 19.38 of the origin across each pair of opposite sides at 30°,
      90° and 150°, 0.99 of the outer radius 19.573); the missing rings 0 to
      4 are the central hole, with no obscuration of its own;
    - outer diameter 39.146 nominal (the figure hcipy scales by); the
      array reaches 19.52 from the centre along y and 20.09 at its
      farthest corners;
    - spiders: six, 0.40 wide, from the centre at 30° + k 60° from +x.

    Sources: hcipy 0.7's ``make_elt_aperture``, after Figure 3.66 (the
    pupil) of ESO's *E-ELT Construction Proposal*; the segments' size (1.45
    corner to corner) and number are ESO's published figures.

    Parameters
    ----------
    spiders : bool, optional
        Remove the six spiders.
    gaps : bool, optional
        Leave the 4 mm gaps between segments; False grows the segments to
        the pitch, so that they touch.
    segments : bool, optional
        Return the 798 segments instead of their union, each with the
        spiders that cross it removed, ring by ring from the centre out and
        counter-clockwise from +x within a ring.

    Returns
    -------
    Shape or list of Shape
        The pupil, or its segments.

    Examples
    --------
    >>> print(f"{collecting_area(elt()):.2f} m²")
    1056.61 m²
    >>> len(elt(segments=True))
    798
    """
    spiders, gaps, segments = _flags(spiders=spiders, gaps=gaps, segments=segments)
    flat, gap, outer = 1.45 * math.sqrt(3.0) / 2, 0.004, 0.99 * 39.14634 / 2
    sides = [_at(1.0, a) for a in (30.0, 90.0, 150.0)]

    def keep(ring: int, c: Point) -> bool:
        return ring >= 5 and all(abs(c[0] * u + c[1] * v) < outer for u, v in sides)

    pieces = _hexagonal_array(flat + gap, gap, 17, keep, gaps)
    vanes = [_vane((0.0, 0.0), 30.0 + 60.0 * k, 0.40, 20.0) for k in range(6)] if spiders else []
    return _assemble(pieces, vanes, segments)


def tmt(spiders: bool = True, gaps: bool = True, segments: bool = False) -> Pupil:
    """The Thirty Meter Telescope's pupil: 492 hexagonal segments.

    Geometry, in metres, y up:

    - 492 regular hexagons 1.44 corner to corner (1.2471 flat to flat),
      flats along x, on a hexagonal lattice of pitch 1.2496 (gaps of
      0.0025);
    - the array: lattice rings 2 to 13 whose centres lie within 14.7 of the
      origin (0.98 of the 30 m diameter), so that the outline is nearly
      round (30.23 across its farthest corners); the centre and the first
      ring are missing;
    - the central obscuration: a disc 3.636 across (the secondary);
    - spiders: six, 0.22 wide, from the centre at 30° + k 60° from +x.

    Sources: hcipy 0.7's ``make_tmt_aperture``, after TMT's published optics
    (segments 1.44 corner to corner, 2.5 mm gaps, 492 segments) and, for
    the secondary and the spiders, Figure 5 of Jensen-Clem et al., "The
    Planetary Systems Imager Adaptive Optics System", Proc. SPIE 11823
    (2021).

    Parameters
    ----------
    spiders : bool, optional
        Remove the six spiders.
    gaps : bool, optional
        Leave the gaps between segments; False grows the segments to the
        pitch, so that they touch.
    segments : bool, optional
        Return the 492 segments instead, each less the spiders and the
        central obscuration where they fall on it, ring by ring from the
        centre out and counter-clockwise from +x within a ring.

    Returns
    -------
    Shape or list of Shape
        The pupil, or its segments.

    Examples
    --------
    >>> print(f"{collecting_area(tmt()):.2f} m²")
    644.95 m²
    >>> len(tmt(segments=True))
    492
    """
    spiders, gaps, segments = _flags(spiders=spiders, gaps=gaps, segments=segments)
    flat, gap = 1.44 * math.sqrt(3.0) / 2, 0.0025

    def keep(ring: int, c: Point) -> bool:
        return ring >= 2 and math.hypot(*c) < 0.98 * 30.0 / 2

    pieces = _hexagonal_array(flat + gap, gap, 13, keep, gaps)
    obstructions: list[Shape] = [Disc((0.0, 0.0), 3.636 / 2)]
    if spiders:
        obstructions += [_vane((0.0, 0.0), 30.0 + 60.0 * k, 0.22, 16.0) for k in range(6)]
    return _assemble(pieces, obstructions, segments)


def keck(spiders: bool = True, gaps: bool = True, segments: bool = False) -> Pupil:
    """A Keck telescope's pupil: 36 hexagonal segments.

    Geometry, in metres, y up:

    - 36 regular hexagons 1.8 corner to corner (1.5588 flat to flat), flats
      along x, on a hexagonal lattice of pitch 1.5618 (gaps of 0.003):
      three full rings about a missing central segment;
    - outer diameter 10.95 (the array spans 10.97 corner to corner);
    - the central obscuration: a disc 2.6 across;
    - spiders: six, 0.026 wide, from the centre at k 60° from +x, along the
      gaps between segments.

    Sources: hcipy 0.7's ``make_keck_aperture``, which matches the figures
    of van Kooten et al., JATIS 8, 029006 (2022) and ApJ 932, 109 (2022),
    checked by Keck's staff against their own simulations.  hcipy widens
    the gaps tenfold by default (``gap_padding=10``) so that they show on
    coarse grids; here the gaps are the real 3 mm, and the central segment,
    hidden behind the obscuration, is not one of the segments.

    Parameters
    ----------
    spiders : bool, optional
        Remove the six spiders.
    gaps : bool, optional
        Leave the gaps between segments; False grows the segments to the
        pitch, so that they touch.
    segments : bool, optional
        Return the 36 segments instead, each less the spiders and the
        central obscuration where they fall on it, ring by ring from the
        centre out and counter-clockwise from +x within a ring.

    Returns
    -------
    Shape or list of Shape
        The pupil, or its segments.

    Examples
    --------
    >>> print(f"{collecting_area(keck()):.3f} m²")
    72.104 m²
    >>> len(keck(segments=True))
    36
    """
    spiders, gaps, segments = _flags(spiders=spiders, gaps=gaps, segments=segments)
    flat, gap = 1.8 * math.sqrt(3.0) / 2, 0.003
    pieces = _hexagonal_array(flat + gap, gap, 3, lambda ring, c: ring >= 1, gaps)
    obstructions: list[Shape] = [Disc((0.0, 0.0), 2.6 / 2)]
    if spiders:
        obstructions += [_vane((0.0, 0.0), 60.0 * k, 0.026, 6.0) for k in range(6)]
    return _assemble(pieces, obstructions, segments)


def luvoir_a(spiders: bool = True, gaps: bool = True, segments: bool = False) -> Pupil:
    """The pupil of LUVOIR-A, the 15 m concept: 120 hexagonal segments.

    Geometry, in metres, y up:

    - 120 regular hexagons 1.2225 flat to flat, flats along x, on a
      hexagonal lattice of pitch 1.2285 (gaps of 0.006): six rings about a
      missing central segment, less the six corner segments of the sixth
      ring (the centres kept lie within 7.35 of the origin, 0.98 of the
      radius);
    - circumscribed diameter 15.0, inscribed 13.5;
    - spiders: an upside-down Y, 0.150 wide: one from the centre straight
      up, two from 0.30657 either side of it going down, each 12.7° off
      the vertical, away from the other.

    Sources: hcipy 0.7's ``make_luvoir_a_aperture``, after the dimensions of
    M. Bolcar, LUVOIR's lead engineer (as of 10 April 2019).

    Parameters
    ----------
    spiders : bool, optional
        Remove the three spiders.
    gaps : bool, optional
        Leave the gaps between segments; False grows the segments to the
        pitch, so that they touch.
    segments : bool, optional
        Return the 120 segments instead, each less the spiders that cross
        it, ring by ring from the centre out and counter-clockwise from +x
        within a ring.

    Returns
    -------
    Shape or list of Shape
        The pupil, or its segments.

    Examples
    --------
    >>> print(f"{collecting_area(luvoir_a()):.2f} m²")
    152.50 m²
    >>> len(luvoir_a(segments=True))
    120
    """
    spiders, gaps, segments = _flags(spiders=spiders, gaps=gaps, segments=segments)
    flat, gap = 1.2225, 0.006

    def keep(ring: int, c: Point) -> bool:
        return ring >= 1 and math.hypot(*c) < 0.98 * 15.0 / 2

    pieces = _hexagonal_array(flat + gap, gap, 6, keep, gaps)
    vanes = []
    if spiders:
        width, foot, splay = 0.150, 0.30657, 12.7
        vanes = [_vane((0.0, 0.0), 90.0, width, 8.0),
                 _vane((-foot, 0.0), 270.0 - splay, width, 8.0),
                 _vane((foot, 0.0), 270.0 + splay, width, 8.0)]
    return _assemble(pieces, vanes, segments)


# --- JWST: segments given by their vertices --------------------------------------------

# The pupil coordinates of the first segment of each ring of six (A1, B1,
# C1), in metres; each ring's others are the first turned clockwise by
# multiples of 60 degrees (A2 = A1 turned by -60 degrees, and so on).
_JWST_FIRST = (
    ((-0.38101, 0.667604), (-0.758826, 1.321999), (-0.38101, 1.976407),
     (0.38101, 1.976407), (0.758826, 1.321999), (0.38101, 0.667604)),
    ((0.38101, 3.279674), (0.758826, 2.631791), (0.38101, 1.98402),
     (-0.38101, 1.98402), (-0.758826, 2.631791), (-0.38101, 3.279674)),
    ((0.765201, 2.627516), (1.517956, 2.629178), (1.892896, 1.976441),
     (1.521076, 1.325812), (0.765454, 1.325807), (0.387649, 1.980196)),
)


def _facing(a: tuple[FloatArray, FloatArray], b: tuple[FloatArray, FloatArray],
            widest: float) -> bool:
    """Whether two edges (middle, unit direction) of counter-clockwise
    outlines face each other across a gap: antiparallel, at most `widest`
    apart, and side by side along their length."""
    (ma, da), (mb, db) = a, b
    if float(da @ db) > -math.cos(math.radians(1.0)):
        return False
    offset = mb - ma
    across = float(da[1] * offset[0] - da[0] * offset[1])   # along a's outward normal
    return 0.0 < across <= widest and abs(float(da @ offset)) < widest


def _meeting(p: FloatArray, d: FloatArray, q: FloatArray, e: FloatArray) -> FloatArray:
    """The point where the line through p along d meets the one through q along e."""
    t = ((q[0] - p[0]) * e[1] - (q[1] - p[1]) * e[0]) / (d[0] * e[1] - d[1] * e[0])
    return np.asarray(p + t * d, dtype=np.float64)


def _closed_gaps(outlines: list[FloatArray], widest: float) -> list[FloatArray]:
    """Convex counter-clockwise outlines grown over the gaps between them.
    Where an edge of one faces an edge of another, both move onto the line
    midway between them, one line shared by the two, so that they touch
    along it without overlapping; each vertex becomes the meeting point of
    its two edges' lines."""
    lines = []
    for v in outlines:
        d = np.roll(v, -1, axis=0) - v
        lines.append([(0.5 * (v[k] + v[(k + 1) % len(v)]), d[k] / math.hypot(*d[k]))
                      for k in range(len(v))])
    moved = [list(edges) for edges in lines]
    for i, j in ((i, j) for i in range(len(lines)) for j in range(i + 1, len(lines))):
        for k, a in enumerate(lines[i]):
            for m, b in enumerate(lines[j]):
                if _facing(a, b, widest):
                    middle, direction = 0.5 * (a[0] + b[0]), a[1] - b[1]
                    direction = direction / math.hypot(*direction)
                    moved[i][k], moved[j][m] = (middle, direction), (middle, -direction)
    return [np.array([_meeting(*edges[k - 1], *edges[k]) for k in range(len(edges))])
            for edges in moved]


def jwst(spiders: bool = True, gaps: bool = True, segments: bool = False) -> Pupil:
    """The James Webb Space Telescope's pupil: 18 hexagonal segments.

    Geometry, in metres, y up as WebbPSF draws it (the single strut
    points up):

    - 18 hexagonal segments 1.30 to 1.31 flat to flat, with gaps of 0.0076
      to 0.0077, in two rings about a missing centre: A1 to A6 (inner), B1 to
      B6 (outer, on the flats' normals) and C1 to C6 (outer, at the
      corners), each ring numbered clockwise from the top.  Each is the
      polygon of its six vertices as WebbPSF gives them: the
      segments of the curved primary seen along the axis are not quite
      regular hexagons;
    - circumscribed diameter 6.6035 (to the outer corners of B1 and B4);
    - struts: three from the centre, out past the rim: one straight up,
      0.11887 wide, with two wider fittings (0.16519 wide from 2.14627
      to 2.3645 from the centre, 0.13959 wide from 2.48335 to 2.54445), and
      two 0.12243 wide at 30° either side of straight down (at -60° and
      -120° from +x).

    Sources: the segment and strut coordinates of WebbPSF 1.0.0, as hcipy
    0.7's ``make_jwst_aperture`` gives them (A1, B1 and C1 here; the others
    are those turned by multiples of 60°, as in those tables).  WebbPSF took
    them from P. Lightsey's transmission-times-area budget (2010), after
    Ball Aerospace drawing 2220169 Rev B and the OTE cryogenic optics
    interface control document, Ball C327693.  This is the pupil before
    launch, without an instrument's masks.

    Parameters
    ----------
    spiders : bool, optional
        Remove the three struts.
    gaps : bool, optional
        Leave the gaps between segments; False grows each segment over half
        of every gap to a neighbour, so that neighbours share an edge on the
        gap's middle line (the outer and inner edges stay where they are).
    segments : bool, optional
        Return the 18 segments instead, A1 to A6, B1 to B6, C1 to C6, each
        less the struts that cross it.

    Returns
    -------
    Shape or list of Shape
        The pupil, or its segments.

    Examples
    --------
    >>> print(f"{collecting_area(jwst()):.3f} m²")
    25.779 m²
    >>> len(jwst(segments=True))
    18
    """
    spiders, gaps, segments = _flags(spiders=spiders, gaps=gaps, segments=segments)
    outlines = [Polygon(_rotated(first, -60.0 * k)).vertices
                for first in _JWST_FIRST for k in range(6)]
    if not gaps:
        outlines = _closed_gaps(outlines, widest=0.02)
    pieces: list[Shape] = [Polygon(v) for v in outlines]
    struts: list[Shape] = []
    if spiders:
        struts = [_vane((0.0, 0.0), 90.0, 0.11887, 3.4),
                  _vane((0.0, 0.0), -60.0, 0.12243, 3.4),
                  _vane((0.0, 0.0), -120.0, 0.12243, 3.4),
                  Rectangle((0.0, 0.5 * (2.14627 + 2.3645)), math.pi / 2, 0.16519,
                            2.3645 - 2.14627),
                  Rectangle((0.0, 0.5 * (2.48335 + 2.54445)), math.pi / 2, 0.13959,
                            2.54445 - 2.48335)]
    return _assemble(pieces, struts, segments)


# --- GMT: seven round mirrors ----------------------------------------------------------

def _flared_vane(start: Point, degrees: float, width: float, flare: float,
                 length: float) -> Polygon:
    """A spider ``width`` wide at ``start`` that widens along its length,
    each edge turned outward by ``flare`` degrees (half-width ``width / 2 +
    s sin(flare)`` at ``s`` from the start)."""
    ux, uy = _at(1.0, degrees)
    near, far = 0.5 * width, 0.5 * width + length * math.sin(math.radians(flare))
    ex, ey = start[0] + length * ux, start[1] + length * uy
    return Polygon([(start[0] + near * uy, start[1] - near * ux), (ex + far * uy, ey - far * ux),
                    (ex - far * uy, ey + far * ux), (start[0] - near * uy, start[1] + near * ux)])


def _gmt_truss(reach: float) -> list[Shape]:
    """The shadow of the secondary's truss on the central segment: a
    triangle with a corner straight down and, from near each corner, two
    flared spiders and one straight one, the three corners alike."""
    pieces: list[Shape] = [Polygon([_at(4.93 / 2, a) for a in (270.0, 30.0, 150.0)])]
    for turn in (0.0, 120.0, 240.0):
        corner = _rotated([_at(2.386, 270.0)], turn)[0]
        foot = _rotated([(0.05, -2.409)], turn)[0]
        pieces += [_flared_vane((corner[0], corner[1]), turn - 9.83, 0.119, 1.16, reach),
                   _flared_vane((corner[0], corner[1]), turn + 189.83, 0.119, 1.16, reach),
                   _vane((foot[0], foot[1]), turn + 11.2, 0.115, reach)]
    return pieces


def gmt(spiders: bool = True, gaps: bool = True, segments: bool = False) -> Pupil:
    """The Giant Magellan Telescope's pupil: seven round segments.

    Geometry, in metres, y up:

    - the central segment: a disc 8.293 across (8.365 less 0.072 of its
      rim), less a central hole 3.495 across;
    - six off-axis segments 8.350 across (8.365 less 0.015), tilted by
      13.522° to the axis, so that in the pupil each is an ellipse 8.1185
      across radially and 8.350 tangentially; their centres lie 8.6528 from
      the origin at k 60° from +x, leaving 0.447 between each and the
      central segment (0.359 and 0.088);
    - outer diameter 25.448 nominal (this outline spans 25.42);
    - the spiders' shadow, on the central segment only: a triangle with
      its corners 2.465 from the centre, one straight down, and from near
      each corner three spiders: for the lower corner, two from (0, -2.386)
      0.119 wide, widening by 1.16° a side, at -9.83° and 189.83° from +x
      (nearly along the rim), and one from (0.05, -2.409) 0.115 wide at
      11.2°; the other two corners alike, turned by 120° and 240°.

    Sources: hcipy 0.7's ``make_gmt_aperture``, after GMTO's Observatory
    Architecture Document (GMT-REQ-03215, Rev. F) with corrections from
    GMTO's own pupil files.

    Parameters
    ----------
    spiders : bool, optional
        Remove the spiders' shadow from the central segment.
    gaps : bool, optional
        Taken so that every segmented telescope has the same flags: the
        round mirrors' spacing is part of the outline, with no gap to close,
        so it changes nothing.
    segments : bool, optional
        Return the seven segments instead: the central one (less the
        spiders' shadow), then the off-axis ones counter-clockwise from +x.

    Returns
    -------
    Shape or list of Shape
        The pupil, or its segments.

    Examples
    --------
    >>> print(f"{collecting_area(gmt()):.2f} m²")
    358.48 m²
    >>> len(gmt(segments=True))
    7
    """
    spiders, _, segments = _flags(spiders=spiders, gaps=gaps, segments=segments)
    central, hole = 8.365 - 0.072, 3.495
    across, tilt = 8.365 - 0.015, math.radians(13.522)
    distance = 0.5 * central + 0.5 * across * math.cos(tilt) + 0.359 + 0.088
    middle = Disc((0.0, 0.0), central / 2) - Disc((0.0, 0.0), hole / 2)
    if spiders:
        middle = middle - _union(_gmt_truss(central / 2 + 3.0))
    outer = [Ellipse(_at(distance, 60.0 * k), 0.5 * across * math.cos(tilt), 0.5 * across,
                     math.radians(60.0 * k)) for k in range(6)]
    return _assemble([middle, *outer], [], segments)


# --- monolithic telescopes -------------------------------------------------------------

def _monolithic(diameter: float, obscuration: float, obstructions: Sequence[Shape]) -> Shape:
    """A disc of ``diameter`` less a central disc of ``obscuration`` across
    (none when 0) and the obstructions."""
    shape: Shape = Disc((0.0, 0.0), diameter / 2)
    if obscuration > 0.0:
        shape = shape - Disc((0.0, 0.0), obscuration / 2)
    return shape - _union(obstructions) if obstructions else shape


def hst(spiders: bool = True) -> Shape:
    """The Hubble Space Telescope's pupil.

    Geometry, in metres, y up (+V3, x along -V2); TinyTim gives the sizes
    in units of the primary's radius, 1.2:

    - the primary: a disc 2.4 across;
    - the secondary's obscuration: a disc 0.330 of the diameter, 0.792
      across;
    - spiders: four, 0.0264 wide (0.022 of the radius), from the centre at
      0°, 90°, 180° and 270° from +x;
    - the three pads that hold the primary, discs 0.156 across (radius
      0.065 of the primary's) at (V2, V3) = (0, 0.8921), (0.7555, -0.4615)
      and (-0.7606, -0.4564) in units of the radius; the first lies across
      the upper spider.  The pads are always there.

    Sources: hcipy 0.7's ``make_hst_aperture``, after the values of TinyTim
    (Krist, Hook and Stoehr, "20 years of Hubble Space Telescope optical
    modelling using Tiny Tim", Proc. SPIE 8127, 2011).  Only the telescope's
    own obstructions: no instrument's masks.

    Parameters
    ----------
    spiders : bool, optional
        Remove the four spiders.

    Returns
    -------
    Shape
        The pupil.

    Examples
    --------
    >>> print(f"{collecting_area(hst()):.4f} m²")
    3.8931 m²
    """
    (spiders,) = _flags(spiders=spiders)
    radius = 1.2
    # TinyTim's (V2, V3) frame, in units of the radius, has x along -V2
    obstructions: list[Shape] = [
        Disc((-v2 * radius, v3 * radius), 0.065 * radius)
        for v2, v3 in ((0.0, 0.8921), (0.7555, -0.4615), (-0.7606, -0.4564))]
    if spiders:
        obstructions += [_vane((0.0, 0.0), a, 0.022 * radius, radius)
                         for a in (0.0, 90.0, 180.0, 270.0)]
    return _monolithic(2 * radius, 0.330 * 2 * radius, obstructions)


def vlt(spiders: bool = True) -> Shape:
    """The pupil of one of the Very Large Telescope's unit telescopes (UT1 to UT3).

    Geometry, in metres, y up:

    - the primary: a disc 8.0 across;
    - the central obscuration: a disc 1.116 across;
    - spiders: four, 0.040 wide, in two pairs that meet at feet on the
      diagonal at 0.5244 either side of the centre; each pair opens by 101°
      about the diagonal, so that each spider's axis passes 0.4045 from the
      centre: from the upper right foot at -5.5° and 95.5° from +x, from the
      lower left one at 174.5° and 275.5°.

    Sources: hcipy 0.7's ``make_vlt_aperture``, after the ERIS pupil
    documentation (VLT-SPE-AES-11310-0006).  UT4 differs (8.1196 across, an
    obscuration 1.293 across) and is not this one; no M3 cover.

    Parameters
    ----------
    spiders : bool, optional
        Remove the four spiders.

    Returns
    -------
    Shape
        The pupil.

    Examples
    --------
    >>> print(f"{collecting_area(vlt()):.3f} m²")
    48.712 m²
    """
    (spiders,) = _flags(spiders=spiders)
    vanes: list[Shape] = []
    if spiders:
        # each axis passes 0.4045 from the centre, at half the opening from the diagonal
        half_opening = 0.5 * 101.0
        foot = 0.4045 / math.sin(math.radians(half_opening))
        for axis in (45.0, 225.0):
            start = _at(foot, axis)
            vanes += [_vane(start, axis + s * half_opening, 0.040, 4.0) for s in (-1, 1)]
    return _monolithic(8.0, 1.116, vanes)


def _offset_pairs(offset: float, opening: float, widths: tuple[float, float],
                  radius: float) -> list[Shape]:
    """Four spiders in two pairs: from feet ``offset`` right and left of
    the centre, each pair at ``opening`` degrees either side of its axis
    (+x for the right foot, -x for the left), ``widths`` right and left."""
    return [_vane((side * offset, 0.0), axis + s * opening, width, radius)
            for side, axis, width in ((1.0, 0.0, widths[0]), (-1.0, 180.0, widths[1]))
            for s in (-1, 1)]


def subaru(spiders: bool = True) -> Shape:
    """The pupil of the Subaru Telescope, as its Nasmyth infrared focus sees it.

    Geometry, in metres, y up:

    - the pupil: a disc 7.95 across;
    - the central obscuration: a disc 0.307 of the diameter, 2.441 across;
    - spiders: four, 0.184 wide, in two pairs from feet 0.659 right and
      left of the centre, each at 51.75° either side of the x axis: from
      the right foot at ±51.75° from +x, from the left one at 180° ±
      51.75°.

    Sources: hcipy 0.7's ``make_subaru_aperture``, after the Nasmyth-IR
    pupil of J. Lozi (private communication to hcipy's authors).

    Parameters
    ----------
    spiders : bool, optional
        Remove the four spiders.

    Returns
    -------
    Shape
        The pupil.

    Examples
    --------
    >>> print(f"{collecting_area(subaru()):.3f} m²")
    42.873 m²
    """
    (spiders,) = _flags(spiders=spiders)
    vanes = _offset_pairs(0.659, 51.75, (0.184, 0.184), 7.95 / 2) if spiders else []
    return _monolithic(7.95, 0.307 * 7.95, vanes)


def magellan(spiders: bool = True) -> Shape:
    """The pupil of one of the Magellan telescopes (Baade, Clay).

    Geometry, in metres, y up:

    - the primary: a disc 6.5 across;
    - the central obscuration: a disc 0.29 of the diameter, 1.885 across;
    - spiders: four, in two pairs from feet 0.34 right and left of the
      centre, each at 45° either side of the x axis: the right pair 0.75
      inch (0.01905) wide, at ±45° from +x, the left pair 1.5 inch (0.0381)
      wide, at 135° and 225°.

    Sources: hcipy 0.7's ``make_magellan_aperture``, which cites none.

    Parameters
    ----------
    spiders : bool, optional
        Remove the four spiders.

    Returns
    -------
    Shape
        The pupil.

    Examples
    --------
    >>> print(f"{collecting_area(magellan()):.3f} m²")
    30.126 m²
    """
    (spiders,) = _flags(spiders=spiders)
    inch = 0.0254
    vanes = _offset_pairs(0.34, 45.0, (0.75 * inch, 1.5 * inch), 6.5 / 2) if spiders else []
    return _monolithic(6.5, 0.29 * 6.5, vanes)


def hale(spiders: bool = True) -> Shape:
    """The pupil of the Hale Telescope at Palomar.

    Geometry, in metres, y up:

    - the primary: a disc 5.08 across;
    - the central obscuration: a disc 1.86 across;
    - spiders: four, 0.048 wide, from the centre at 0°, 90°, 180° and 270°
      from +x, each fixed to the obscuration by a block 0.12 wide reaching
      0.0932 beyond its rim.

    Sources: hcipy 0.7's ``make_hale_aperture``, after the pupil measured in
    Figure 2 of Galicher et al., "Minimization of non-common path
    aberrations at the Palomar telescope using a self-coherent camera",
    A&A 631, A143 (2019).

    Parameters
    ----------
    spiders : bool, optional
        Remove the four spiders and their blocks.

    Returns
    -------
    Shape
        The pupil.

    Examples
    --------
    >>> print(f"{collecting_area(hale()):.4f} m²")
    17.2149 m²
    """
    (spiders,) = _flags(spiders=spiders)
    obscuration = 1.86
    vanes: list[Shape] = []
    if spiders:
        block = obscuration + 2 * 0.0932
        vanes = [_vane((0.0, 0.0), a, 0.048, 2.54) for a in (0.0, 90.0, 180.0, 270.0)]
        vanes += [Rectangle((0.0, 0.0), a, 0.12, block) for a in (0.0, math.pi / 2)]
    return _monolithic(5.08, obscuration, vanes)


def habex(spiders: bool = True) -> Shape:
    """The pupil of HabEx, the 4 m off-axis concept.

    Geometry, in metres: a disc 4.0 across.  The telescope is off-axis, so
    nothing obscures it: no secondary's shadow and no spiders.

    Sources: hcipy 0.7's ``make_habex_aperture``, after the HabEx Final
    Report (2019).

    Parameters
    ----------
    spiders : bool, optional
        Taken so that every telescope has the flag; HabEx has no spiders,
        so it changes nothing.

    Returns
    -------
    Shape
        The pupil.

    Examples
    --------
    >>> print(f"{collecting_area(habex()):.4f} m²")
    12.5664 m²
    """
    _flags(spiders=spiders)
    return _monolithic(4.0, 0.0, [])
