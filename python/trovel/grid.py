"""Pixel sets: where each pixel lies in the pixel grid and where its footprint
lies in the edge plane.

Conventions.  The pixel in row ``i`` and column ``k`` has grid position
``(k, i)``: the first grid coordinate runs along the columns, the second along
the rows, and rows run along +y (``imshow(..., origin="lower")`` shows a result
upright).  A grid's ``origin`` is the footprint centre of pixel ``[0, 0]``; the
footprint of pixel ``[i, k]`` is the parallelogram ``centre + M @ (s, t)`` for
``s, t`` in ``[-0.5, 0.5]``, with centre ``(m00*k + m01*i) + x0`` and
``(m10*k + m11*i) + y0``, evaluated in exactly that order.

Three kinds of pixel set share the type `Pixels`:

- a lazy grid (`Pixels.grid`) stores only its shape and affine map; the
  native drivers evaluate it row by row, with the same centre formula that
  `materialize` uses, so the results are bit for bit those of the
  materialised grid;
- per-pixel footprints (`Pixels.from_arrays`) keep private copies of their
  arrays: a parallelogram per pixel, a centre and a Jacobian;
- corner footprints (`Pixels.from_corners`, `Pixels.from_mapping`,
  `trovel.sky.from_wcs`) keep the plane positions of the pixel corners, of
  shape ``(ny + 1, nx + 1)``: corner ``[i, k]`` is the image of grid
  position ``(k - 0.5, i - 0.5)`` and pixel ``[i, k]``'s footprint is the
  quadrilateral through corners ``[i, k]``, ``[i, k + 1]``,
  ``[i + 1, k + 1]``, ``[i + 1, k]``.  Neighbours share their corners, so
  the footprints tile the plane with no gap and no overlap under any
  mapping, curved or not.  `render`, `photometry` and `resample` take
  them; the coverage functions, whose kernels take parallelograms, do not.

Every capability reads a pixel set the one way, `trovel._checks.pixel_set`,
which trusts nothing a pixel set reports until it has checked it.
"""
from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _checks as chk
from . import _kernels
from ._checks import Affine, FloatArray

_FIELDS = ("px", "py", "qx", "qy", "j00", "j01", "j10", "j11")


def _read_only(arr: FloatArray) -> FloatArray:
    view = arr.view()
    view.flags.writeable = False
    return view


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

    def corners(self) -> tuple[FloatArray, FloatArray] | None:
        """The corner positions ``(x, y)`` of corner footprints, two read-only
        float64 arrays of shape ``(ny + 1, nx + 1)``; ``None`` for a grid or
        per-pixel footprints, whose footprints are parallelograms."""
        return None

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
                    jacobians: npt.ArrayLike, *, threads: int = 1) -> Pixels:
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
        threads : int, optional
            Threads that copy and check float64 C-ordered arrays (any other
            input is converted and checked on one).  The result is the same
            for any count.

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
        n = chk.threads(threads)
        columns, shape = chk.footprint_columns(chk.array("positions", positions),
                                               chk.array("centres", centres),
                                               chk.array("jacobians", jacobians), threads=n)
        return _ArrayPixels._owning(columns, tuple(shape))

    @classmethod
    def from_corners(cls, x: npt.ArrayLike, y: npt.ArrayLike, *, threads: int = 1) -> Pixels:
        """Pixels whose footprints are the quadrilaterals through their mapped
        corners.

        Corner ``[i, k]`` is the plane position of grid position
        ``(k - 0.5, i - 0.5)``; pixel ``[i, k]``'s footprint is the
        quadrilateral through corners ``[i, k]``, ``[i, k + 1]``,
        ``[i + 1, k + 1]`` and ``[i + 1, k]``.  Neighbouring pixels share
        corners, so under any mapping the footprints tile the plane without
        gaps or overlaps, and totals conserve to rounding.  The arrays are
        copied.

        Parameters
        ----------
        x, y : array_like, shape (ny + 1, nx + 1)
            The corners' plane coordinates, finite.
        threads : int, optional
            Threads that copy and check float64 C-ordered corners (any
            other input is converted and checked on one).  The result is
            the same for any count.

        Returns
        -------
        Pixels
            Corner footprints of shape ``(ny, nx)``.

        Raises
        ------
        TypeError
            When an array holds no real numbers or is a masked array.
        ValueError
            When the shapes differ or are not 2-d, a value is not finite, or
            the map folds: a footprint that is not a simple quadrilateral
            (its sides cross, or it has no area), or one oriented against
            pixel ``[0, 0]``'s (a mirrored map is fine, as long as every
            footprint is mirrored).  The message names the first such pixel.

        Examples
        --------
        >>> v, u = np.mgrid[-0.5:2, -0.5:3]
        >>> p = Pixels.from_corners(u + 0.25 * v, v)
        >>> p.shape, p.areas().tolist()
        ((2, 3), [[1.0, 1.0, 1.0], [1.0, 1.0, 1.0]])
        """
        n = chk.threads(threads)
        cx, cy = chk.corner_arrays(chk.array("x", x), chk.array("y", y), threads=n)
        return _CornerPixels._owning(cx, cy)

    @classmethod
    def from_mapping(cls, f: Any, shape: tuple[int, int], *, threads: int = 1) -> Pixels:
        """Corner footprints from a mapping of grid coordinates to the plane.

        ``f(u, v)`` takes two float64 arrays of grid positions (``u`` along
        the columns, ``v`` along the rows, pixel ``[i, k]`` centred on
        ``(k, i)``) and returns the plane positions ``(x, y)``, arrays of
        their shape; it is called once, vectorised, on the corners
        ``(k - 0.5, i - 0.5)`` for ``i`` in ``0 .. ny`` and ``k`` in
        ``0 .. nx``.  See `from_corners`.

        Parameters
        ----------
        f : callable
            ``f(u, v) -> (x, y)``.
        shape : (int, int)
            ``(ny, nx)``, rows and columns.
        threads : int, optional
            Threads that copy and check the corners (see `from_corners`).

        Returns
        -------
        Pixels
            Corner footprints of shape ``(ny, nx)``.

        Raises
        ------
        TypeError
            When ``f`` is not callable or does not return a pair of arrays.
        ValueError
            When its arrays do not have the corners' shape, a value is not
            finite, or the map folds (see `from_corners`).

        Examples
        --------
        >>> p = Pixels.from_mapping(lambda u, v: (2.0 * u, v + 0.01 * u * u), (2, 2))
        >>> float(p.areas().sum())
        8.0
        """
        if not callable(f):
            raise TypeError(f"f must be callable, got {type(f).__name__}")
        ny, nx = chk.int_pair("shape", shape, minimum=0)
        n = chk.threads(threads)
        u = np.arange(nx + 1, dtype=np.float64) - 0.5
        v = np.arange(ny + 1, dtype=np.float64) - 0.5
        uu, vv = np.meshgrid(u, v)
        out = f(uu, vv)
        if not (isinstance(out, (tuple, list)) and len(out) == 2):
            raise TypeError("f(u, v) must return a pair (x, y)")
        cx, cy = chk.corner_arrays(chk.array("f(u, v)[0]", out[0]),
                                   chk.array("f(u, v)[1]", out[1]),
                                   names=("f(u, v)[0]", "f(u, v)[1]"), shape=(ny + 1, nx + 1),
                                   threads=n)
        return _CornerPixels._owning(cx, cy)

    @classmethod
    def from_wcs(cls, wcs: Any, shape: tuple[int, int], *, center: Any = None,
                 threads: int = 1) -> Pixels:
        """Corner footprints of an image's pixels on the sky, from its WCS.

        The plane is the gnomonic tangent plane about the sky position
        ``center`` (default: that of the image's centre), in arcseconds, x
        toward increasing longitude and y toward increasing latitude (see
        `trovel.sky_to_plane`).  The corners come from the WCS's
        ``pixel_to_world_values``; a pixel whose sides are great-circle arcs
        (any gnomonic WCS without distortion) is exactly its quadrilateral
        there.  Apertures and other images placed with `trovel.sky_to_plane`
        about the same ``center`` share the plane.  For the optional extra
        ``astro`` (astropy), though any WCS with that method will do.

        Parameters
        ----------
        wcs : WCS
            The image's celestial WCS (two pixel and two world axes).
        shape : (int, int)
            The image's ``(ny, nx)``.
        center : (float, float), optional
            The tangent point ``(lon, lat)`` in degrees.
        threads : int, optional
            Threads that evaluate the WCS (each on a copy of it, in
            stretches of at least 64 corner rows), project the corners and
            check them.  The result is the same for any count.

        Returns
        -------
        Pixels
            Corner footprints of shape ``(ny, nx)``.

        Raises
        ------
        TypeError
            When ``wcs`` has no ``pixel_to_world_values``.
        ValueError
            When a corner lies 90 degrees or more from ``center``, or the
            map folds (see `from_corners`).
        """
        from .sky import from_wcs

        pixels: Pixels = from_wcs(wcs, shape, center=center, threads=threads)
        return pixels

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
        chk.not_both("origin", origin, "center", center)
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
        if center is not None:
            hk, hi = (nx - 1) * 0.5, (ny - 1) * 0.5
            place = (place[0] - (m[0][0] * hk + m[0][1] * hi),
                     place[1] - (m[1][0] * hk + m[1][1] * hi))
        return _GridPixels._checked((ny, nx), (place, m), given)


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
    __slots__ = ("_affine", "_pixel_set")
    _shape: tuple[int, int]
    _affine: Affine
    _pixel_set: chk.PixelSet

    @classmethod
    def _checked(cls, shape: tuple[int, int], affine: Affine, given: str) -> _GridPixels:
        chk.grid_map(shape, affine, given=given)
        g = object.__new__(cls)
        object.__setattr__(g, "_shape", shape)
        object.__setattr__(g, "_affine", affine)
        # what the drivers read, made once: the grid is immutable
        window = chk.grid_window(affine, (0, shape[0]), (0, shape[1]))
        object.__setattr__(g, "_pixel_set", chk.PixelSet(shape, window, affine, ()))
        return g

    def __reduce__(self) -> tuple[Any, ...]:
        return _GridPixels._checked, (self._shape, self._affine, "the grid's map")

    def _checked_set(self) -> chk.PixelSet:
        return self._pixel_set

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
        arrays = [chk.new_array("the materialised grid", (ny * nx,), np.float64,
                                given_by="the grid's shape") for _ in _FIELDS]
        _kernels.materialize(chk.grid_window(self._affine, (0, ny), (0, nx)), *arrays)
        return _ArrayPixels._owning(arrays, self._shape)


class _ArrayPixels(_Frozen):
    """Per-pixel footprints: private arrays, checked when made and read-only
    since, so that the drivers take them as they are (their shapes checked
    again at each use), with the renderer's bounds of their runs kept beside
    them."""

    __slots__ = ("_arrays", "_pixel_set")
    _arrays: tuple[FloatArray, ...]
    _pixel_set: chk.PixelSet

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
        for a in arrays:
            a.flags.writeable = False   # owned here: no view of them can write
        object.__setattr__(self, "_arrays", tuple(arrays))
        object.__setattr__(self, "_shape", shape)
        object.__setattr__(self, "_pixel_set", chk.footprint_set(shape, self._arrays))

    def __reduce__(self) -> tuple[Any, ...]:
        # rebuilt, and checked again, from the eight arrays
        return _ArrayPixels, (*self._arrays, self._shape)

    def _checked_set(self) -> chk.PixelSet:
        chk.native_arrays(self._arrays, math.prod(self._shape))
        return self._pixel_set

    def __repr__(self) -> str:
        return f"<Pixels of shape {self._shape} with per-pixel footprints>"

    def _native_arrays(self) -> tuple[FloatArray, ...]:
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


class _CornerPixels(_Frozen):
    """Corner footprints: the corners' private, checked arrays."""

    __slots__ = ("_x", "_y", "_pixel_set")
    _x: FloatArray
    _y: FloatArray
    _pixel_set: chk.PixelSet

    @classmethod
    def _owning(cls, x: FloatArray, y: FloatArray) -> _CornerPixels:
        """From arrays checked by `chk.corner_arrays`, owned from now on."""
        p = object.__new__(cls)
        shape = (x.shape[0] - 1, x.shape[1] - 1)
        object.__setattr__(p, "_shape", shape)
        object.__setattr__(p, "_x", x)
        object.__setattr__(p, "_y", y)
        object.__setattr__(p, "_pixel_set", chk.corner_set(shape, x, y))
        return p

    def __reduce__(self) -> tuple[Any, ...]:
        return Pixels.from_corners, (self._x, self._y)

    def _checked_set(self) -> chk.PixelSet:
        ny, nx = self._shape
        chk.unchanged((self._x, self._y), (ny + 1, nx + 1))
        return self._pixel_set

    def __repr__(self) -> str:
        return f"<Pixels of shape {self._shape} with corner footprints>"

    def corners(self) -> tuple[FloatArray, FloatArray]:
        return _read_only(self._x), _read_only(self._y)

    def areas(self) -> FloatArray:
        """Each quadrilateral's area, by the shoelace formula about its first
        corner."""
        return self._areas(1)

    def _areas(self, threads: int) -> FloatArray:
        return _kernels.corner_areas(self._pixel_set.native, threads)

    def positions(self) -> tuple[FloatArray, FloatArray]:
        ny, nx = self._shape
        v, u = np.mgrid[0:ny, 0:nx]
        return (_read_only(u.astype(np.float64).reshape(-1)),
                _read_only(v.astype(np.float64).reshape(-1)))

    def footprints(self) -> tuple[FloatArray, ...]:
        raise TypeError("corner footprints are quadrilaterals, not parallelograms: read them "
                        "with corners()")

    def materialize(self) -> Pixels:
        return self
