"""Exact overlap of triangles with the pixels of an image."""
from __future__ import annotations

from typing import Any, NamedTuple, overload

import numpy as np
import numpy.typing as npt

import _trovel

from . import _checks as chk
from . import _kernels
from ._checks import AnyArray, FloatArray

class Deposit(NamedTuple):
    """What a deposit onto an image in a chosen frame gives back.

    Attributes
    ----------
    image : ndarray of float64, shape (ny, nx)
        The image (``out`` when given).
    outside : float
        The value that fell outside the image, ``sum(value * area /
        divisor)`` over the parts of the triangles beyond its border.

    Examples
    --------
    >>> d = deposit_triangles([[(-1, -1), (1, -1), (-1, 1)]], 1.0, shape=(1, 1))
    >>> float(d.image.sum() + d.outside)
    2.0
    """

    image: FloatArray
    outside: float


# --- one triangle, one pixel ---------------------------------------------------

def overlap_area(triangle: npt.ArrayLike, pixel: tuple[int, int]) -> float:
    """Exact area of a triangle inside one pixel.

    Pixel ``(i, j)`` is the closed unit square centred on the point ``(i, j)``;
    ``i`` runs along x and ``j`` along y.

    Parameters
    ----------
    triangle : array_like, shape (3, 2) or (6,)
        The three vertices, in either orientation.
    pixel : (int, int)
        The pixel's indices ``(i, j)``.

    Returns
    -------
    float
        The overlap area; a whole pixel is 1.0.

    Raises
    ------
    TypeError
        When ``pixel`` is not a pair of integers or ``triangle`` not numeric.
    ValueError
        When ``triangle`` has another shape or a pixel index exceeds 32 bits.

    Examples
    --------
    >>> overlap_area([(0, 0), (2, 0), (0, 2)], (1, 1))
    0.5
    """
    i, j = chk.int_pair("pixel", pixel)
    raw = chk.array("triangle", triangle)
    tri = chk.contiguous("triangle", chk.one_of_shapes("triangle", raw, (3, 2), (6,)),
                         finite=True)
    return _trovel.clip_area(chk.address(tri), i, j)


def triangle_areas(triangles: npt.ArrayLike) -> FloatArray:
    """The area of each triangle.

    Divide a per-triangle value by its triangle's area to deposit it as a
    density: ``deposit_triangles(t, flux, triangle_areas(t), ...)`` spreads
    each ``flux`` evenly over its triangle.

    Parameters
    ----------
    triangles : array_like, shape (n, 3, 2) or (n, 6)
        The triangles' vertices.

    Returns
    -------
    ndarray of float64, shape (n,)
        Half the absolute cross product of two edges; 0 for collinear vertices.

    Raises
    ------
    TypeError
        When ``triangles`` holds no real numbers or is a masked array.
    ValueError
        When ``triangles`` has another shape.

    Examples
    --------
    >>> triangle_areas([[(0, 0), (2, 0), (0, 3)]])
    array([3.])
    """
    tris, _ = chk.triangles("triangles", triangles)
    return _areas(tris)


def _areas(tris: FloatArray) -> FloatArray:
    ax, ay = tris[:, 2] - tris[:, 0], tris[:, 3] - tris[:, 1]
    bx, by = tris[:, 4] - tris[:, 0], tris[:, 5] - tris[:, 1]
    result: FloatArray = 0.5 * np.abs(ax * by - bx * ay)
    return result


def triangulate(polygon: npt.ArrayLike,
                holes: tuple[npt.ArrayLike, ...] | list[npt.ArrayLike] = ()) -> FloatArray:
    """Triangles that cover a simple polygon exactly (ear clipping).

    Needs the optional package mapbox-earcut (``pip install 'trovel[mesh]'``).

    Parameters
    ----------
    polygon : array_like, shape (m, 2)
        The outer ring's vertices in order, either orientation; a closing
        vertex equal to the first may be given.
    holes : sequence of array_like, shape (h, 2)
        Rings that lie inside the polygon and are left out.

    Returns
    -------
    ndarray of float64, shape (t, 3, 2)
        Triangles whose union is the polygon less its holes; their areas add
        up to the polygon's area within rounding.

    Raises
    ------
    ValueError
        When a ring has fewer than 3 vertices or is not finite, or when the
        triangles do not add up to the polygon's area (a ring that crosses
        itself or another), so that a deposit never silently misses a part.

    Examples
    --------
    >>> t = triangulate([(0, 0), (4, 0), (4, 3), (0, 3)])  # doctest: +SKIP
    >>> t.shape, float(triangle_areas(t).sum())  # doctest: +SKIP
    ((2, 3, 2), 12.0)
    """
    try:
        import mapbox_earcut  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise ImportError("trovel.triangulate needs the optional package mapbox-earcut: "
                          "pip install 'trovel[mesh]'") from None
    rings = [_ring("polygon", polygon)]
    rings += [_ring(f"holes[{h}]", hole) for h, hole in enumerate(holes)]
    vertices = np.ascontiguousarray(np.concatenate(rings), dtype=np.float64)
    ends = np.cumsum([len(r) for r in rings]).astype(np.uint32)
    index = np.asarray(mapbox_earcut.triangulate_float64(vertices, ends), dtype=np.intp)
    tris = vertices[index].reshape(-1, 3, 2)
    expected = _ring_area(rings[0]) - sum(_ring_area(r) for r in rings[1:])
    got = float(_areas(tris.reshape(-1, 6)).sum())
    scale = float(np.abs(vertices).max()) ** 2 * len(vertices)
    if abs(got - expected) > 1e-9 * max(abs(expected), scale * 1e-6):
        raise ValueError(f"the polygon could not be triangulated: its triangles cover "
                         f"{got:.17g} of its area {expected:.17g} (do its rings cross?)")
    return tris


def _ring(name: str, ring: npt.ArrayLike) -> FloatArray:
    arr = chk.contiguous(name, chk.points(name, chk.array(name, ring)), finite=True)
    if len(arr) > 1 and (arr[0] == arr[-1]).all():
        arr = arr[:-1]
    if len(arr) < 3:
        raise ValueError(f"{name} must have at least 3 distinct vertices")
    return arr


def _ring_area(ring: FloatArray) -> float:
    x, y = ring[:, 0], ring[:, 1]
    return abs(float(np.dot(x, np.roll(y, -1)) - np.dot(np.roll(x, -1), y))) * 0.5


# --- deposit onto an image -----------------------------------------------------

@overload
def deposit_triangles(
    triangles: npt.ArrayLike, values: npt.ArrayLike, divisors: npt.ArrayLike = ...,
    *, shape: tuple[int, int], origin: tuple[float, float] = ...,
    scale: float | tuple[float, float] = ..., out: FloatArray | None = ..., threads: int = ...,
) -> Deposit: ...


@overload
def deposit_triangles(
    triangles: npt.ArrayLike, values: npt.ArrayLike, divisors: npt.ArrayLike = ...,
    *, size: int | None = ..., out: FloatArray | None = ..., threads: int = ...,
) -> FloatArray: ...


def deposit_triangles(
    triangles: npt.ArrayLike,
    values: npt.ArrayLike,
    divisors: npt.ArrayLike = 1.0,
    *,
    shape: tuple[int, int] | None = None,
    origin: tuple[float, float] | None = None,
    scale: float | tuple[float, float] | None = None,
    size: int | None = None,
    out: FloatArray | None = None,
    threads: int = 1,
) -> Deposit | FloatArray:
    """Add triangles to an image by their exact overlap with each pixel.

    Every pixel that triangle ``t`` overlaps gains ``area * values[t] /
    divisors[t]``, the area in the triangles' units.  With a triangle's own
    area as its divisor (see `triangle_areas`) its value is spread evenly
    over it.  The image is added to, never cleared.

    Triangles whose divisor is zero or negative are skipped: they add
    nothing anywhere, neither to the image nor to ``outside``.  A NaN divisor
    or value is not skipped: it turns the pixels it overlaps NaN (and
    ``outside`` when it reaches past the border), so that it cannot go
    unseen.  A vertex that is not finite is refused.

    Two forms, told apart by ``shape=``:

    With ``shape=(ny, nx)``, the image's own frame: pixel (row ``i``, column
    ``k``) is the axis-aligned rectangle of sides ``(sx, sy)`` centred on
    ``origin + (sx * k, sy * i)``; rows run along +y.  Any shape, odd or
    even, square or not.  Returns ``Deposit(image, outside)``, ``outside``
    being the value of the triangles' parts beyond the image's border
    (exact up to rounding, whole triangles included however far they lie),
    so that ``image.sum() + outside`` is the deposited total within 1e-12
    relative.  Each triangle is measured in pixel units about a pixel near
    it, so each pixel is its exact overlap sum up to about 1e-16 of its
    area times the width in pixels of the triangles over it: below 1e-13
    for triangles up to several hundred pixels across, whatever the image's
    size and the triangles' distance from the origin.  The work runs in native
    code without the interpreter lock, on ``threads`` threads (bands of
    rows); the result has the same bits for every thread count.  A triangle
    that reaches into the image with a vertex more than 2**52 pixels from
    the origin is refused: no fraction of a pixel is held there.

    Without ``shape=``, the centred square form: the image has ``size`` rows
    and columns (or is ``out``, square), pixel ``(k, j)`` is the unit square
    centred on ``(k, j)`` in element ``[c + j, c + k]``, ``c = (size - 1) //
    2``, and only pixels with ``-c <= k, j <= c`` are written (for an even
    size the last row and column stay untouched).  Returns the image alone;
    what falls outside it is dropped unreported, as it always was.  This
    form is bit for bit the native ``accumulate_triangles`` call, which
    holds the interpreter lock and runs on one thread.  ``size=`` cannot be
    combined with ``shape``, ``origin`` or ``scale``, nor ``threads`` other
    than 1.

    Parameters
    ----------
    triangles : array_like, shape (n, 3, 2) or (n, 6)
        Vertices, in the frame's units (pixel units in the centred form).
    values, divisors : float or array_like, shape (n,)
        Each triangle's value and the divisor of its value.
    shape : (int, int), optional
        ``(ny, nx)``: selects the image's own frame.
    origin : (float, float), optional
        The centre of pixel (row 0, column 0); ``(0, 0)`` by default.
    scale : float or (float, float), optional
        The pixel's side, or its sides ``(sx, sy)``; 1 by default.
    size : int, optional
        The centred form's side; required there unless ``out`` is given.
    out : ndarray of float64, optional
        A C-contiguous image to add to, of shape ``shape`` (or square in the
        centred form); it must not share memory with the inputs.  A new zero
        image otherwise.  Masked arrays are refused; a subclass is written
        through its plain ndarray view.
    threads : int, optional
        Threads of the frame form's native deposit, 1 by default.

    Returns
    -------
    Deposit or ndarray of float64
        ``Deposit(image, outside)`` with ``shape=``; the image otherwise.

    Raises
    ------
    TypeError
        When the two forms' arguments are mixed, neither ``size`` nor ``out``
        is given in the centred form, or an argument has the wrong type
        (``out`` a masked array or not float64, ``threads`` not an integer).
    ValueError
        When a shape, size, count or ``threads`` is out of range (``threads``
        other than 1 in the centred form), ``scale`` is not positive, a
        vertex is not finite (the message names the first), ``values`` or
        ``divisors`` do not match the triangles, a triangle reaching into
        the image overflows in pixel units, or ``out`` does not fit or
        shares memory with an input.

    Examples
    --------
    >>> img = deposit_triangles([[(-0.5, -0.5), (0.5, -0.5), (-0.5, 0.5)]], 2.0, size=3)
    >>> float(img[1, 1])
    1.0
    >>> d = deposit_triangles([[(0, 0), (4, 0), (0, 4)]], 1.0, shape=(2, 3), scale=2.0)
    >>> d.image
    array([[1. , 2. , 0.5],
           [2. , 2. , 0. ]])
    >>> d.outside
    0.5
    """
    if shape is None:
        if origin is not None or scale is not None:
            raise TypeError("origin= and scale= go with shape=; give the image's shape (ny, nx)")
        return _deposit_centred(triangles, values, divisors, size, out, threads)
    if size is not None:
        raise TypeError("give either size= (the centred square form) or shape=, not both")
    # Every argument is converted first: no caller code runs after the checks.
    ny, nx = chk.int_pair("shape", shape, minimum=1)
    x0, y0 = (0.0, 0.0) if origin is None else chk.pair("origin", origin)
    sides = (1.0, 1.0) if scale is None else chk.number_or_pair("scale", scale)
    nthreads = chk.int32("threads", threads, minimum=1)
    raw = _raw_inputs(triangles, values, divisors)
    sx, sy = chk.positive_pair("scale", sides)
    tris, vals, divs = _inputs(*raw)
    if out is None:
        image = chk.new_array("the image", (ny, nx), np.float64, zero=True, given_by="shape")
    else:
        image = chk.output("out", out, (ny, nx), np.float64)
        chk.disjoint("out", image, tris, vals, divs)
    outside = _kernels.deposit(tris, vals, divs, image, x0, y0, sx, sy, nthreads)
    return Deposit(image if out is None else out, outside)


def _raw_inputs(triangles: Any, values: Any,
                divisors: Any) -> tuple[AnyArray, AnyArray, AnyArray]:
    return (chk.array("triangles", triangles), chk.array("values", values),
            chk.array("divisors", divisors))


def _inputs(triangles: AnyArray, values: AnyArray,
            divisors: AnyArray) -> tuple[FloatArray, FloatArray, FloatArray]:
    tris, _ = chk.triangles("triangles", triangles)
    n = tris.shape[0]
    return (tris, chk.per_item("values", values, n, items="triangles"),
            chk.per_item("divisors", divisors, n, items="triangles"))


def _deposit_centred(triangles: Any, values: Any, divisors: Any, size: Any,
                     out: Any, threads: Any) -> FloatArray:
    side = None if size is None else chk.int32("size", size, minimum=1)
    if chk.int32("threads", threads, minimum=1) != 1:
        raise ValueError("threads= goes with shape= (the frame form): the centred size= form "
                         "is the native call, which holds the interpreter lock on one thread")
    if out is None and side is None:
        raise TypeError("give the image size, or an image as out")
    raw = _raw_inputs(triangles, values, divisors)
    tris, vals, divs = _inputs(*raw)
    if out is None:
        assert side is not None
        image = chk.new_array("the image", (side, side), np.float64, zero=True,
                              given_by="size")
    else:
        image = chk.square_output("out", out, side, np.float64)
        chk.disjoint("out", image, tris, vals, divs)
    _accumulate(tris, vals, divs, image)
    return image if out is None else out


def _accumulate(tris: FloatArray, vals: FloatArray, divs: FloatArray,
                image: FloatArray) -> None:
    """The native centred deposit onto the square C-contiguous `image`.
    Counts and addresses come from the arrays themselves, checked once more
    here: the native window reaches element 2c * side + 2c, c = (side - 1) // 2."""
    n = tris.shape[0]
    side = image.shape[0]
    if (tris.shape != (n, 6) or vals.shape != (n,) or divs.shape != (n,)
            or not tris.flags.c_contiguous or not image.flags.c_contiguous
            or image.shape != (side, side)):
        raise ValueError("an argument changed shape while the others were converted")
    _trovel.accumulate_triangles(chk.address(tris), chk.address(vals), chk.address(divs),
                                 chk.address(image), n, side)
