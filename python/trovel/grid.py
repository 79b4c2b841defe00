"""Pixel sets: where each pixel lies in the pixel grid and where its footprint
lies in the edge plane.

Conventions.  The pixel in row ``i`` and column ``k`` has grid position
``(k, i)``: the first grid coordinate runs along the columns, the second along
the rows, and rows run along +y (``imshow(..., origin="lower")`` shows a result
upright).  A grid's ``origin`` is the footprint centre of pixel ``[0, 0]``; the
footprint of pixel ``[i, k]`` is the parallelogram ``centre + M @ (s, t)`` for
``s, t`` in ``[-0.5, 0.5]``, with centre ``(m00*k + m01*i) + x0`` and
``(m10*k + m11*i) + y0``, evaluated in exactly that order.

Two kinds of pixel set share the type `Pixels`:

- a lazy grid (`Pixels.grid`) stores only its shape and affine map; the
  coverage functions evaluate it in blocks of rows that stay in cache, filling
  reused buffers with the same centre formula that `materialize` uses, so the
  results are bit for bit those of the materialised grid;
- per-pixel footprints (`Pixels.from_arrays`) keep private copies of their
  arrays.

Nothing read from a pixel set is trusted: `read` takes what the native code
needs (this may run a subclass's code) and `Plan` checks it afterwards.
"""
from __future__ import annotations

import math
import threading
from collections.abc import Iterator
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _checks as chk
from ._checks import Affine, FloatArray

# Pixels per block: eight float64 buffers of this many elements (2 MiB) and
# the block of the output stay in a core's L2 cache.
BLOCK_PIXELS = 32768

_FIELDS = ("px", "py", "qx", "qy", "j00", "j01", "j10", "j11")



def footprint_centres(m_k: float, m_i: float, o: float, k: FloatArray, i: FloatArray,
                      out: FloatArray) -> None:
    """One coordinate of the footprint centres of the pixels in rows `i` (a
    column, shape (h, 1)) and columns `k` (shape (w,)): ``(m_k*k + m_i*i) + o``
    into `out` (h, w).  The only place the formula is evaluated, so a block of
    a grid and the materialised grid agree bit for bit."""
    np.add(m_k * k, m_i * i, out=out)
    out += o


class PixelBlock(NamedTuple):
    """A run of pixels ready for the native code: eight validated 1-d float64
    arrays (px, py, qx, qy, j00, j01, j10, j11) of `n` elements and their
    addresses."""

    arrays: tuple[FloatArray, ...]
    addresses: tuple[int, ...]
    n: int


def _read_only(arr: FloatArray) -> FloatArray:
    view = arr.view()
    view.flags.writeable = False
    return view


def _block_of(arrays: tuple[FloatArray, ...]) -> PixelBlock:
    return PixelBlock(arrays, tuple(chk.address(a) for a in arrays), arrays[0].shape[0])


class Pixels:
    """A set of pixels and their footprints in the edge plane.

    ``shape`` is the shape of results, ``size`` the number of pixels.  Build
    one with :meth:`grid` (a regular grid under an affine map, stored lazily)
    or :meth:`from_arrays` (any pixels).  ``Pixels(px, py, qx, qy, j00, j01,
    j10, j11, shape)`` makes per-pixel footprints from eight 1-d float64
    arrays, as the native functions take them.

    Attributes
    ----------
    shape : tuple of int
        The shape of results.
    size : int
        The number of pixels.
    affine : tuple or None
        A lazy grid's map (see `affine`); ``None`` for per-pixel footprints.
    px, py, qx, qy, j00, j01, j10, j11 : ndarray of float64, shape (size,)
        Read-only per-pixel arrays: grid positions, footprint centres and
        Jacobian entries (a lazy grid materialises them on each access).

    Examples
    --------
    >>> g = Pixels.grid((2, 2), scale=0.5)
    >>> g.shape, g.size, g.qy
    ((2, 2), 4, array([0. , 0. , 0.5, 0.5]))
    """

    __slots__ = ()

    def __new__(cls, *args: Any, **kwargs: Any) -> Pixels:
        # Made directly, a pixel set holds its arrays.
        return object.__new__(_ArrayPixels if cls is Pixels else cls)

    @property
    def shape(self) -> tuple[int, ...]:
        raise NotImplementedError

    @property
    def size(self) -> int:
        return math.prod(self.shape)

    @property
    def affine(self) -> Affine | None:
        """The map ``((x0, y0), ((m00, m01), (m10, m11)))`` of a lazy grid;
        ``None`` for per-pixel footprints."""
        return None

    def positions(self) -> tuple[FloatArray, FloatArray]:
        """The grid positions ``(px, py)``, two 1-d float64 arrays."""
        raise NotImplementedError

    def footprints(self) -> tuple[FloatArray, ...]:
        """The footprints ``(qx, qy, j00, j01, j10, j11)``: six 1-d C-contiguous
        float64 arrays of ``size`` elements, checked, read-only views of
        private arrays (a lazy grid materialises them)."""
        raise NotImplementedError

    def materialize(self) -> Pixels:
        """The same pixels as per-pixel arrays (``px``, ``qx``, ... attributes)."""
        raise NotImplementedError

    def areas(self) -> float | FloatArray:
        """Each footprint's area in plane units, ``|det J|``: one number for
        a lazy grid, whose footprints are all alike, else an array of
        ``shape``.  A result of the coverage functions or of `render` is a
        fraction of each footprint; weight it by these to form an area, as
        in ``(render(shape, pixels) * pixels.areas()).sum()``.

        Examples
        --------
        >>> Pixels.grid((2, 3), scale=(0.5, 0.25)).areas()
        0.125
        >>> Pixels.from_arrays([(0, 0), (1, 0)], [(0, 0), (1, 0)],
        ...                    [[[2, 0], [0, 1]], [[1, 1], [0, 3]]]).areas()
        array([2., 3.])
        """
        raise NotImplementedError

    def _native_arrays(self) -> tuple[FloatArray, ...]:
        """px, py, qx, qy, j00, j01, j10, j11 as the coverage functions take
        them (checked again by them, after the last caller code)."""
        return (*self.positions(), *self.footprints())

    # The per-pixel arrays, read-only, for callers who want them (a lazy grid
    # materialises them on every access).
    px = property(lambda self: self.materialize().positions()[0])
    py = property(lambda self: self.materialize().positions()[1])
    qx = property(lambda self: self.materialize().footprints()[0])
    qy = property(lambda self: self.materialize().footprints()[1])
    j00 = property(lambda self: self.materialize().footprints()[2])
    j01 = property(lambda self: self.materialize().footprints()[3])
    j10 = property(lambda self: self.materialize().footprints()[4])
    j11 = property(lambda self: self.materialize().footprints()[5])

    @classmethod
    def from_arrays(cls, positions: npt.ArrayLike, centres: npt.ArrayLike,
                    jacobians: npt.ArrayLike) -> Pixels:
        """Pixels from their grid positions, footprint centres and Jacobians.

        ``jacobians[..., r, c]`` is the change of edge-plane coordinate ``r``
        per unit of grid coordinate ``c``.  The arrays are copied.

        Parameters
        ----------
        positions : array_like, shape (..., 2)
            Each pixel's grid position ``(k, i)``: the centre of its unit
            square in the pixel grid, column ``k`` along x and row ``i``
            along y (for the pixel ``[i, k]`` of an image, simply
            ``(k, i)``).  The footprint itself is given by ``centres`` and
            ``jacobians``; the coverage kernels measure each edge relative
            to this position, so it changes their results only by rounding,
            and `render` does not use it.
        centres : array_like, shape (..., 2)
            Each footprint's centre in the edge plane, shaped as ``positions``.
        jacobians : array_like, shape (..., 2, 2) or (2, 2)
            Each footprint's Jacobian, or one for all; finite, non-singular.

        Returns
        -------
        Pixels
            Per-pixel footprints of shape ``positions.shape[:-1]``.

        Raises
        ------
        TypeError
            When an array holds no real numbers or is a masked array.
        ValueError
            When the shapes do not match, a value is not finite, or a
            Jacobian is singular or its determinant overflows.

        Examples
        --------
        >>> p = Pixels.from_arrays([(0, 0), (1, 0)], [(0.0, 0.0), (1.0, 0.0)], np.eye(2))
        >>> p.shape
        (2,)
        """
        raw = [chk.array(name, v) for name, v in (("positions", positions), ("centres", centres),
                                                   ("jacobians", jacobians))]
        pos, cen, jac = chk.footprint_arrays(*raw)
        shape = pos.shape[:-1]
        n = math.prod(shape)
        pos, cen = pos.reshape(n, 2), cen.reshape(n, 2)
        jac = np.broadcast_to(jac, shape + (2, 2)).reshape(n, 4)
        cols = [pos[:, 0], pos[:, 1], cen[:, 0], cen[:, 1], *(jac[:, c] for c in range(4))]
        return _ArrayPixels._owning([np.array(c, dtype=np.float64, order="C") for c in cols],
                                    tuple(shape))

    @classmethod
    def grid(cls, shape: tuple[int, int], *, origin: tuple[float, float] | None = None,
             center: tuple[float, float] | None = None,
             scale: float | tuple[float, float] = 1.0, rotation: float = 0.0,
             matrix: npt.ArrayLike | None = None) -> Pixels:
        """A regular grid of pixels under an affine map, stored lazily.

        Only the shape and the map are kept.  The pixel in row ``i`` and column ``k`` has grid position ``(k, i)``
        and footprint centre ``origin + M @ (k, i)``, with the same Jacobian
        ``M`` for every pixel: ``M = matrix`` when given, otherwise a rotation
        by ``rotation`` radians of the scaling ``diag(sx, sy)``.  Rows run
        along +y.  Place the grid by ``origin``, the footprint centre of pixel
        ``[0, 0]`` (default ``(0, 0)``), or by ``center``, the image of the
        grid's middle ``((nx - 1) / 2, (ny - 1) / 2)``: the centre pixel of an
        odd size, the corner between the four middle pixels of an even one.

        Parameters
        ----------
        shape : (int, int)
            ``(ny, nx)``, rows and columns.
        origin : (float, float), optional
            The footprint centre of pixel ``[0, 0]``.
        center : (float, float), optional
            The image of the grid's middle; instead of ``origin``.
        scale : float or (float, float)
            The pixel's sides ``(sx, sy)`` in the edge plane, or one for both.
        rotation : float
            The angle in radians by which the scaled grid is turned.
        matrix : array_like, shape (2, 2), optional
            The Jacobian ``M`` itself, replacing ``scale`` and ``rotation``.

        Returns
        -------
        Pixels
            A lazy grid of shape ``(ny, nx)``.

        Raises
        ------
        TypeError
            When ``origin`` and ``center`` are both given, or an argument has
            the wrong type.
        ValueError
            When a number is not finite, ``shape`` is negative, the map is
            singular, or the footprint centres overflow.

        Examples
        --------
        >>> g = Pixels.grid((2, 3), origin=(-1.0, -0.5), scale=0.5)
        >>> g.qx.reshape(g.shape)[0]
        array([-1. , -0.5,  0. ])
        >>> Pixels.grid((4, 4), center=(0.0, 0.0)).affine[0]
        (-1.5, -1.5)
        """
        ny, nx = chk.int_pair("shape", shape, minimum=0)
        if origin is not None and center is not None:
            raise TypeError("give origin or center, not both")
        place = chk.pair("center" if center is not None else "origin",
                         center if center is not None else (origin or (0.0, 0.0)))
        if matrix is None:
            sx, sy = chk.number_or_pair("scale", scale)
            rot = chk.finite("rotation", rotation)
            c, s = float(np.cos(rot)), float(np.sin(rot))
            m = ((c * sx, -s * sy), (s * sx, c * sy))
            given = f"scale {scale!r:.40}"
        else:
            raw = chk.one_of_shapes("matrix", chk.array("matrix", matrix), (2, 2))
            arr = chk.contiguous("matrix", raw, finite=True)
            m = ((float(arr[0, 0]), float(arr[0, 1])), (float(arr[1, 0]), float(arr[1, 1])))
            given = f"matrix {m}"
        det = m[0][0] * m[1][1] - m[0][1] * m[1][0]
        if not math.isfinite(det) or det == 0.0:
            raise ValueError(f"{given} gives a singular map or one whose determinant "
                             "overflows: the map must be non-singular, with a finite "
                             "determinant")
        if center is not None:
            hk, hi = (nx - 1) * 0.5, (ny - 1) * 0.5
            place = (place[0] - (m[0][0] * hk + m[0][1] * hi),
                     place[1] - (m[1][0] * hk + m[1][1] * hi))
        return _GridPixels._checked((ny, nx), (place, m))


def check_affine(shape: tuple[int, int], affine: Affine) -> None:
    """A grid's map must be non-singular with a finite determinant, and every
    footprint centre finite (the centres are affine in (k, i), so the extreme
    ones are at the corners)."""
    (x0, y0), ((m00, m01), (m10, m11)) = affine
    if not all(math.isfinite(v) for v in (x0, y0, m00, m01, m10, m11)):
        raise ValueError("the grid's origin and map must be finite")
    det = m00 * m11 - m01 * m10
    if not math.isfinite(det) or det == 0.0:
        raise ValueError("the grid's map must be non-singular, with a finite determinant")
    ny, nx = shape
    if ny and nx:
        k = np.array([0.0, nx - 1.0])
        i = np.array([[0.0], [ny - 1.0]])
        q = np.empty((2, 2, 2))
        with np.errstate(over="ignore"):
            footprint_centres(m00, m01, x0, k, i, q[0])
            footprint_centres(m10, m11, y0, k, i, q[1])
        if not np.isfinite(q).all():
            raise ValueError(f"the footprint centres of a {ny} x {nx} grid under this map "
                             "overflow; use a smaller scale or origin")


class _Frozen(Pixels):
    """The pixel sets made here: their fields are set once, on construction."""

    __slots__ = ("_shape",)
    _shape: tuple[int, ...]

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("pixels cannot be changed")

    @property
    def shape(self) -> tuple[int, ...]:
        return self._shape


class _GridPixels(_Frozen):
    __slots__ = ("_affine",)
    _shape: tuple[int, int]
    _affine: Affine

    @classmethod
    def _checked(cls, shape: tuple[int, int], affine: Affine) -> _GridPixels:
        check_affine(shape, affine)
        g = object.__new__(cls)
        object.__setattr__(g, "_shape", shape)
        object.__setattr__(g, "_affine", affine)
        return g

    def __repr__(self) -> str:
        return f"Pixels.grid({self._shape}, affine={self._affine})"

    @property
    def affine(self) -> Affine:
        return self._affine

    def areas(self) -> float:
        _, ((m00, m01), (m10, m11)) = self._affine
        return abs(m00 * m11 - m01 * m10)

    def positions(self) -> tuple[FloatArray, FloatArray]:
        return self.materialize().positions()

    def footprints(self) -> tuple[FloatArray, ...]:
        return self.materialize().footprints()

    def materialize(self) -> Pixels:
        ny, nx = self._shape
        filler = BlockFiller(self._affine, ny * nx)
        arrays = filler.fill(0, ny, 0, nx).arrays
        return _ArrayPixels._owning(list(arrays), self._shape)


class BlockFiller:
    """Buffers for blocks of up to `capacity` pixels of one grid, reused from
    block to block.  The Jacobian buffers are filled once; what depends only
    on the columns (the positions k, and a centre coordinate whose row term
    is a zero times i) is filled again only when the block's columns or shape
    change; the rest per block.  A zero coefficient times a row or column
    index (never negative) has the same bits for every index, so these
    shortcuts give the bits of the full formula."""

    def __init__(self, affine: Affine, capacity: int,
                 buffers: tuple[FloatArray, ...] | None = None) -> None:
        self.affine = affine
        self.buffers = buffers or tuple(
            chk.new_array("a block of the grid", (capacity,), np.float64) for _ in _FIELDS)
        (_, _), ((m00, m01), (m10, m11)) = affine
        for buf, v in zip(self.buffers[4:], (m00, m01, m10, m11)):
            buf.fill(v)
        self.addresses = tuple(chk.address(b) for b in self.buffers)
        self._layout: tuple[int, int] | None = None
        self._columns: tuple[int, int] | None = None

    def _lay_out(self, h: int, w: int) -> None:
        n = h * w
        self._views = tuple(b[:n].reshape(h, w) for b in self.buffers[:4])
        self._block = PixelBlock(tuple(b[:n] for b in self.buffers), self.addresses, n)
        self._layout, self._columns = (h, w), None

    def fill(self, r0: int, r1: int, c0: int, c1: int) -> PixelBlock:
        """Rows [r0, r1) by columns [c0, c1) of the grid, row-major."""
        h, w = r1 - r0, c1 - c0
        if self._layout != (h, w):
            self._lay_out(h, w)
        px, py, qx, qy = self._views
        (x0, y0), ((m00, m01), (m10, m11)) = self.affine
        coords = ((m00, m01, x0, qx), (m10, m11, y0, qy))
        if self._columns != (c0, c1):
            self._k = np.arange(c0, c1, dtype=np.float64)
            px[...] = self._k
            rows = np.zeros((h, 1))
            for m_k, m_i, o, q in coords:
                if m_i == 0.0:
                    footprint_centres(m_k, m_i, o, self._k, rows, q)
            self._columns = (c0, c1)
        k = self._k
        i = np.arange(r0, r1, dtype=np.float64)[:, None]
        py[...] = i
        for m_k, m_i, o, q in coords:
            if m_i == 0.0:
                continue
            if m_k == 0.0:  # the same in every column: one per row, then spread
                column = np.empty((h, 1))
                footprint_centres(m_k, m_i, o, k[:1], i, column)
                q[...] = column
            else:
                footprint_centres(m_k, m_i, o, k, i, q)
        return self._block


def grid_pixels(affine: Affine, rows: npt.NDArray[np.int64],
                cols: npt.NDArray[np.int64]) -> PixelBlock:
    """The pixels (rows[j], cols[j]) of a grid under the (checked) map
    `affine`, gathered into one block: the same footprints, bit for bit, as
    the grid's blocks give them, since the centre formula is the same."""
    (x0, y0), ((m00, m01), (m10, m11)) = affine
    k, i = cols.astype(np.float64), rows.astype(np.float64)
    n = k.shape[0]
    qx, qy = np.empty(n), np.empty(n)
    footprint_centres(m00, m01, x0, k, i, qx)
    footprint_centres(m10, m11, y0, k, i, qy)
    arrays = (k, i, qx, qy, *(np.full(n, m) for m in (m00, m01, m10, m11)))
    return _block_of(arrays)


class _ArrayPixels(_Frozen):
    __slots__ = ("_arrays",)
    _arrays: tuple[FloatArray, ...]

    def __init__(self, px: Any, py: Any, qx: Any, qy: Any, j00: Any, j01: Any, j10: Any,
                 j11: Any, shape: Any) -> None:
        fields = chk.pixel_fields("Pixels", _FIELDS, (px, py, qx, qy, j00, j01, j10, j11), shape)
        self._set([np.array(a, order="C") for a in fields], shape)

    @classmethod
    def _owning(cls, arrays: list[FloatArray], shape: tuple[int, ...]) -> _ArrayPixels:
        p = object.__new__(cls)
        p._set(arrays, shape)
        return p

    def _set(self, arrays: list[FloatArray], shape: tuple[int, ...]) -> None:
        object.__setattr__(self, "_arrays", tuple(arrays))
        object.__setattr__(self, "_shape", shape)

    def __repr__(self) -> str:
        return f"<Pixels of shape {self._shape} with per-pixel footprints>"

    def _native_arrays(self) -> tuple[FloatArray, ...]:
        # the private arrays themselves, not views: the coverage functions
        # take their views after the last caller code has run
        chk.native_arrays(self._arrays, math.prod(self._shape))
        return self._arrays

    def positions(self) -> tuple[FloatArray, FloatArray]:
        a = self._native_arrays()
        return _read_only(a[0]), _read_only(a[1])

    def footprints(self) -> tuple[FloatArray, ...]:
        return tuple(_read_only(a) for a in self._native_arrays()[2:])

    def materialize(self) -> Pixels:
        return self

    def areas(self) -> FloatArray:
        _, _, j00, j01, j10, j11 = self.footprints()
        area: FloatArray = np.abs(j00 * j11 - j01 * j10).reshape(self._shape)
        return area


# --- evaluation -----------------------------------------------------------------------

class Plan:
    """A pixel set read (step 1) and then checked (step 2), ready to be
    evaluated block by block.  Blocks are runs of whole rows, or parts of one
    row when a row holds more than `block` pixels, so each is a contiguous
    run [start, stop) of the flattened result."""

    def __init__(self, pixels: Any) -> None:
        chk.instance("pixels", pixels, Pixels)
        # Step 1: whatever a subclass runs, it runs here, and what it gives is
        # turned into plain tuples, floats and ints.
        self._shape = chk.plain_shape(pixels.shape)
        affine = pixels.affine
        self._affine = None if affine is None else chk.plain_affine(affine)
        self._arrays: Any = None
        if affine is None:
            self._arrays = pixels._native_arrays()

    def check(self) -> None:
        """Step 2: no caller code runs from here to the end of the evaluation."""
        self.shape: tuple[int, ...] = self._shape
        self.size = math.prod(self._shape)
        self.affine: Affine | None = self._affine
        self.arrays: tuple[FloatArray, ...] = ()
        if self.affine is not None:
            if len(self.shape) != 2:
                raise ValueError("a pixel grid must have a 2-d shape")
            check_affine((self.shape[0], self.shape[1]), self.affine)
        else:
            self.arrays = chk.native_arrays(self._arrays, self.size)
            if len(self.arrays) != 8:
                raise TypeError("pixels gave no positions or no footprints")

    def blocks(self, block: int | None = None) -> Iterator[tuple[int, int, PixelBlock]]:
        block = block or BLOCK_PIXELS
        if self.affine is None:
            if self.size:
                yield 0, self.size, _block_of(self.arrays)
            return
        ny, nx = self.shape
        yield from tile_blocks(self.affine, (0, ny), (0, nx), block)


def tile_blocks(affine: Affine, rows: tuple[int, int], cols: tuple[int, int],
                block: int | None = None) -> Iterator[tuple[int, int, PixelBlock]]:
    """The blocks of the tile rows [r0, r1) by columns [c0, c1) of a grid
    under the (checked) map `affine`: runs of whole tile rows, or parts of
    one row when a row holds more than `block` pixels, each with its run
    [start, stop) of the tile's flattened result.  A footprint depends only
    on its row, its column and the map, so tiles evaluated apart and put
    together are the whole grid, bit for bit."""
    block = block or BLOCK_PIXELS
    (r0, r1), (c0, c1) = rows, cols
    w = c1 - c0
    if r1 <= r0 or w <= 0:
        return
    buffers = _take_buffers(block)
    try:
        filler = BlockFiller(affine, block, buffers)
        step, width = max(1, block // w), min(w, block)
        for a in range(r0, r1, step):
            b = min(r1, a + step)
            for c in range(c0, c1, width):
                d = min(c1, c + width)
                yield (a - r0) * w + (c - c0), (b - 1 - r0) * w + (d - c0), filler.fill(a, b, c, d)
    finally:
        _give_back(buffers)


# Block buffers kept from call to call, one set per thread: fresh ones would
# cost a page fault per 4 KiB on every call, more than a small grid's work.
# A set is taken out while a grid is evaluated, so nothing else can use it.
_pool = threading.local()


def _take_buffers(capacity: int) -> tuple[FloatArray, ...]:
    free = getattr(_pool, "free", None)
    _pool.free = None
    if free is None or free[0].shape[0] != capacity:
        free = tuple(chk.new_array("a block of the grid", (capacity,), np.float64)
                     for _ in _FIELDS)
    return free


def _give_back(buffers: tuple[FloatArray, ...]) -> None:
    _pool.free = buffers
