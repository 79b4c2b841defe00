"""Exact overlap of triangles with the pixels of an image."""
from __future__ import annotations

from typing import Any, NamedTuple, overload

import numpy as np
import numpy.typing as npt

import _trovel

from . import _checks as chk
from ._checks import AnyArray, FloatArray

# The native deposit writes a square window of odd side whose middle element
# is its pixel (0, 0).  An image that cannot be written in place is covered
# by scratch windows of one side; the largest keeps a scratch near 32 MiB.
MAX_WINDOW = 2049
# Below this side an image is always one window: a few spare rows cost less
# than another pass over the triangles.
MIN_WINDOW = 255
# A narrow image is written in place only if a few bands cover it.
MAX_BANDS = 8


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
    scale: float | tuple[float, float] = ..., out: FloatArray | None = ...,
) -> Deposit: ...


@overload
def deposit_triangles(
    triangles: npt.ArrayLike, values: npt.ArrayLike, divisors: npt.ArrayLike = ...,
    *, size: int | None = ..., out: FloatArray | None = ...,
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
    being what fell beyond the image's border, so that ``image.sum() +
    outside`` is the deposited total (within 1e-12 relative for moderate
    coordinates).  Each pixel is its exact overlap sum up to the rounding of
    the native area routine, which measures in a window's own coordinates:
    about 1e-16 * r**2 of a pixel's area at r pixels from the window's
    centre (below 1e-12 within 60 pixels, near 1e-10 at 1000).  With
    ``scale=1`` and ``origin=(-c, -c)``, ``c = (n - 1) // 2``, on an odd
    square ``(n, n)`` the result has the same bits as the centred form with
    ``size=n``.

    Without ``shape=``, the centred square form: the image has ``size`` rows
    and columns (or is ``out``, square), pixel ``(k, j)`` is the unit square
    centred on ``(k, j)`` in element ``[c + j, c + k]``, ``c = (size - 1) //
    2``, and only pixels with ``-c <= k, j <= c`` are written (for an even
    size the last row and column stay untouched).  Returns the image alone;
    what falls outside it is dropped unreported, as it always was.  ``size=``
    cannot be combined with ``shape``, ``origin`` or ``scale``.

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

    Returns
    -------
    Deposit or ndarray of float64
        ``Deposit(image, outside)`` with ``shape=``; the image otherwise.

    Raises
    ------
    TypeError
        When the two forms' arguments are mixed, neither ``size`` nor ``out``
        is given in the centred form, or an argument has the wrong type
        (``out`` a masked array or not float64).
    ValueError
        When a shape, size or count is out of range, ``scale`` is not
        positive, a vertex is not finite (the message names the first),
        ``values`` or ``divisors`` do not match the triangles, the triangles
        overflow in pixel units, or ``out`` does not fit or shares memory
        with an input.

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
        return _deposit_centred(triangles, values, divisors, size, out)
    if size is not None:
        raise TypeError("give either size= (the centred square form) or shape=, not both")
    # Every argument is converted first: no caller code runs after the checks.
    ny, nx = chk.int_pair("shape", shape, minimum=1)
    x0, y0 = (0.0, 0.0) if origin is None else chk.pair("origin", origin)
    sides = (1.0, 1.0) if scale is None else chk.number_or_pair("scale", scale)
    raw = _raw_inputs(triangles, values, divisors)
    sx, sy = chk.positive_pair("scale", sides)
    tris, vals, divs = _inputs(*raw)
    image = None if out is None else chk.output("out", out, (ny, nx), np.float64)
    if image is not None:
        chk.disjoint("out", image, tris, vals, divs)
    frame = _Frame(ny, nx, x0, y0, sx, sy)
    image, outside = frame.deposit(tris, vals, divs, image)
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
                     out: Any) -> FloatArray:
    side = None if size is None else chk.int32("size", size, minimum=1)
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
                image: FloatArray, side: int | None = None) -> None:
    """The native deposit onto a window of `side` (the image's, by default)
    held in `image`, a C-contiguous block of rows `side` elements long.
    Counts and addresses come from the arrays themselves, checked once more
    here: the native window reaches element 2c * side + 2c, c = (side - 1) // 2."""
    n = tris.shape[0]
    side = image.shape[0] if side is None else side
    c = (side - 1) // 2
    if (tris.shape != (n, 6) or vals.shape != (n,) or divs.shape != (n,)
            or not tris.flags.c_contiguous or not image.flags.c_contiguous
            or image.ndim != 2 or image.shape[1] != side or image.shape[0] < 2 * c + 1):
        raise ValueError("an argument changed shape while the others were converted")
    _trovel.accumulate_triangles(chk.address(tris), chk.address(vals), chk.address(divs),
                                 chk.address(image), n, side)


def window_side(ny: int, nx: int) -> int:
    """The odd side of the square scratch windows that cover an (ny, nx)
    image that cannot be written in bands.

    One window when it wastes at most the image's own area (or the image is
    small); otherwise the windows run along the longer side in a single strip
    where the shorter side allows, as few and as even as MAX_WINDOW permits.
    """
    long_side, short_side = max(ny, nx), min(ny, nx)
    if long_side <= MIN_WINDOW or (long_side <= MAX_WINDOW
                                   and long_side * long_side <= 2 * ny * nx):
        return long_side | 1
    side = min(max(short_side, MIN_WINDOW), MAX_WINDOW)
    side = max(-(-ny // -(-ny // side)), -(-nx // -(-nx // side)))
    return side | 1


def _bounds(p: FloatArray) -> tuple[FloatArray, FloatArray]:
    """Each triangle's smallest and largest x and y, as rows (x, y); NaN
    where a vertex is NaN.  Pairwise over single columns: numpy reduces
    along the short axis of each record, or over (n, 2) slices, many times
    slower."""
    lo = np.empty((2, p.shape[0]))
    hi = np.empty((2, p.shape[0]))
    for axis in (0, 1):
        a, b, c = p[:, axis], p[:, axis + 2], p[:, axis + 4]
        np.minimum(np.minimum(a, b, out=lo[axis]), c, out=lo[axis])
        np.maximum(np.maximum(a, b, out=hi[axis]), c, out=hi[axis])
    return lo, hi


class _Frame:
    """An (ny, nx) image whose pixel (row i, column k) is centred on
    origin + (sx * k, sy * i), written by the native deposit in windows.

    A native window of side m is a block of rows m elements long whose
    middle pixel (0, 0) sits c = (m - 1) // 2 rows and columns in.  With
    m = nx the image's own rows serve: the image is written in place in
    bands of 2c + 1 rows, the whole width for odd nx and all but the last
    column for even nx.  The rest (the rows past the last whole band, and
    an even width's last column) goes through square scratch windows that
    are added into the image; so does all of an image too narrow or too
    short for bands.  Every pixel belongs to one window, and a window gets
    only the triangles whose pixel box meets its part of the image.

    The triangles are carried once into the frame whose pixel (0, 0) is
    image pixel (ref, ref); other windows shift them by whole pixels.
    """

    def __init__(self, ny: int, nx: int, x0: float, y0: float, sx: float, sy: float) -> None:
        self.ny, self.nx = ny, nx
        self.x0, self.y0, self.sx, self.sy = x0, y0, sx, sy

    def plan(self, image_given: bool) -> tuple[int, int]:
        """(band, rows): the band height and the image rows written in place
        in bands (the rows of the buffer, when a new image is padded to one
        band); (0, 0) when no band serves."""
        band = (self.nx - 1) // 2 * 2 + 1
        whole = self.ny // band
        if 0 < whole <= MAX_BANDS:  # each band is a pass over the triangles
            return band, whole * band
        if whole == 0 and not image_given and 2 * band <= 3 * self.ny:
            return band, band  # a new image padded to one band
        return 0, 0

    def to_pixels(self, tris: FloatArray, ref: int) -> FloatArray:
        # For the centred frame (origin -ref, scale 1) the shift is exactly
        # 0 and the triangles pass through unchanged, keeping every bit of
        # the native call.
        shift = np.array([self.x0 + self.sx * ref, self.y0 + self.sy * ref] * 3)
        unit = np.array([self.sx, self.sy] * 3)
        if (shift == 0.0).all() and (unit == 1.0).all():
            return tris
        with np.errstate(over="ignore"):  # overflow is refused once the bounds are known
            p: FloatArray = tris - shift
            if (unit != 1.0).any():
                p /= unit
        return p

    def deposit(self, tris: FloatArray, vals: FloatArray, divs: FloatArray,
                image: FloatArray | None) -> tuple[FloatArray, float]:
        ny, nx = self.ny, self.nx
        if self.sx * self.sy != 1.0:
            # The native areas are in pixels; the values count triangle units.
            vals = vals * (self.sx * self.sy)
        band, banded = self.plan(image is not None)
        ref = (band if band else window_side(ny, nx)) // 2
        p = self.to_pixels(tris, ref)
        lo, hi = _bounds(p)
        with np.errstate(invalid="ignore"):
            finite = np.isfinite(lo).all(axis=0) & np.isfinite(hi).all(axis=0)
        if not finite.all() and np.isfinite(tris[~finite]).all(axis=1).any():
            # The native deposit would skip them, losing their value unsaid.
            raise ValueError("triangles lie too far from the image for its pixel size: "
                             "their coordinates in pixels overflow")
        outside = self.outside(p, ref, vals, divs, lo, hi, finite)
        # Pixel index boxes in image columns and rows (still doubles), as
        # the native deposit forms them.
        batch = _Batch(p, vals, divs, np.floor(lo + 0.5) + ref, np.floor(hi + 0.5) + ref)
        # A new image is left unwritten only where the scratch windows copy
        # into it, that is when no band serves.
        fresh = image is None and banded == 0
        if image is not None:
            buf = image
        else:
            buf = chk.new_array("the image", (max(banded, ny), nx), np.float64, zero=not fresh,
                                given_by="shape")
        for r0 in range(0, banded, max(band, 1)):
            rows = (r0, min(r0 + band, ny))
            sub = batch.meeting(rows, (0, band))
            if sub is not None:
                _accumulate(sub.moved(0, r0), sub.vals, sub.divs, buf[r0:r0 + band], nx)
        if band and band < nx:  # the last column of an even width
            self.scratch_windows(batch, ref, buf, (0, min(banded, ny)), (nx - 1, nx), fresh=False)
        if banded < ny:
            self.scratch_windows(batch, ref, buf, (banded, ny), (0, nx), fresh=fresh)
        return (buf[:ny] if image is None else buf), outside

    def scratch_windows(self, batch: _Batch, ref: int, target: FloatArray,
                        rows: tuple[int, int], cols: tuple[int, int], fresh: bool) -> None:
        """Deposit the image rows and columns [start, stop) through square
        scratch windows and add them to `target` (or copy them, when `fresh`
        says that it holds nothing yet)."""
        sub = batch.meeting(rows, cols)
        if sub is None:
            if fresh:
                target[rows[0]:rows[1], cols[0]:cols[1]] = 0.0
            return
        side = window_side(rows[1] - rows[0], cols[1] - cols[0])
        half = side // 2
        scratch = np.zeros((side, side))
        used = False
        for r0 in range(rows[0], rows[1], side):
            r1 = min(r0 + side, rows[1])
            for k0 in range(cols[0], cols[1], side):
                k1 = min(k0 + side, cols[1])
                view = target[r0:r1, k0:k1]
                win = sub.meeting((r0, r1), (k0, k1))
                if win is None:
                    if fresh:
                        view.fill(0.0)
                    continue
                if used:
                    scratch.fill(0.0)
                _accumulate(win.moved(k0 + half - ref, r0 + half - ref), win.vals, win.divs,
                            scratch)
                used = True
                if fresh:
                    view[...] = scratch[:r1 - r0, :k1 - k0]
                else:
                    view += scratch[:r1 - r0, :k1 - k0]

    def outside(self, p: FloatArray, ref: int, vals: FloatArray, divs: FloatArray,
                lo: FloatArray, hi: FloatArray, finite: npt.NDArray[np.bool_]) -> float:
        """The value of the triangles' parts beyond the image's border, from
        their coordinates p in the frame whose unit pixel (0, 0) is image
        pixel (ref, ref); `finite` marks the triangles the native deposit
        takes."""
        left = bottom = -ref - 0.5
        right, top = self.nx - ref - 0.5, self.ny - ref - 0.5
        with np.errstate(invalid="ignore"):
            live = ~(divs <= 0.0) & finite  # NaN divisors are deposited
            inside = (lo[0] >= left) & (hi[0] <= right) & (lo[1] >= bottom) & (hi[1] <= top)
            away = (hi[0] <= left) | (lo[0] >= right) | (hi[1] <= bottom) | (lo[1] >= top)
        whole = live & away
        cut = live & ~inside & ~away
        total = 0.0
        if whole.any():
            total += float(np.sum(vals[whole] / divs[whole] * _areas(p[whole])))
        if cut.any():
            # The image as a single pixel: squeeze it onto the unit square
            # around (0, 0) and let the native deposit measure what is inside.
            pc = p[cut]
            mid = np.array([(left + right) * 0.5, (bottom + top) * 0.5] * 3)
            span = np.array([float(self.nx), float(self.ny)] * 3)
            unit = np.ascontiguousarray((pc - mid) / span)
            one = np.zeros((1, 1))
            cv, cd = np.ascontiguousarray(vals[cut]), np.ascontiguousarray(divs[cut])
            _accumulate(unit, cv, cd, one)
            total += float(np.sum(cv / cd * _areas(pc))) - float(one[0, 0]) * self.nx * self.ny
        return total


class _Batch:
    """Triangles in one frame with their values, divisors and pixel boxes
    in image (column, row) indices."""

    def __init__(self, p: FloatArray, vals: FloatArray, divs: FloatArray,
                 lo: FloatArray, hi: FloatArray) -> None:
        self.p, self.vals, self.divs = p, vals, divs
        self.lo, self.hi = lo, hi

    def meeting(self, rows: tuple[int, int], cols: tuple[int, int]) -> _Batch | None:
        """The triangles whose box meets image rows and columns [start, stop);
        itself when that is all of them, None when none."""
        lo, hi = self.lo, self.hi
        with np.errstate(invalid="ignore"):
            take = ((hi[1] >= rows[0]) & (lo[1] < rows[1])
                    & (hi[0] >= cols[0]) & (lo[0] < cols[1]))
        if take.all():
            return self
        if not take.any():
            return None
        return _Batch(self.p[take], self.vals[take], self.divs[take], lo[:, take], hi[:, take])

    def moved(self, columns: int, rows: int) -> FloatArray:
        """The triangles carried `columns` and `rows` whole pixels back."""
        if columns == 0 and rows == 0:
            return self.p
        moved: FloatArray = self.p - np.array([columns, rows] * 3, dtype=np.float64)
        return moved
