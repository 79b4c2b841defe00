"""Exact fractional coverage of pixel footprints by edges, circles and struts.

A pixel is a unit square around its position in the pixel grid; a 2x2
Jacobian carries it into the edge plane, where it becomes a parallelogram
footprint around its footprint centre.  The functions here give, per pixel,
the exact fraction of that footprint on one side of a straight edge, inside a
circle (whose rim is taken as straight across each footprint), or inside a
strut.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import _trovel

from . import _checks as chk
from .shapes import Strut


_ARRAY_FIELDS = ("px", "py", "qx", "qy", "j00", "j01", "j10", "j11")


@dataclass(frozen=True, eq=False)
class Pixels:
    """Pixels with their footprints in the edge plane, as flat float64 arrays.

    ``shape`` is the shape that results take (``(ny, nx)`` for a grid).
    Build one with :meth:`grid` for a regular grid under an affine map, or
    with :meth:`from_arrays` for any pixels.
    """

    px: np.ndarray
    py: np.ndarray
    qx: np.ndarray
    qy: np.ndarray
    j00: np.ndarray
    j01: np.ndarray
    j10: np.ndarray
    j11: np.ndarray
    shape: tuple[int, ...]

    def __post_init__(self) -> None:
        # The native functions read `size` elements of every array and write
        # as many results into an array of `shape`: made directly rather than
        # by grid() or from_arrays(), the fields must agree on that.
        n = None
        for name in _ARRAY_FIELDS:
            arr = getattr(self, name)
            if not (isinstance(arr, np.ndarray) and arr.dtype == np.float64 and arr.ndim == 1
                    and arr.flags.c_contiguous):
                raise TypeError(f"Pixels.{name} must be a 1-d C-contiguous float64 array")
            if n is not None and arr.shape[0] != n:
                raise ValueError(f"Pixels.{name} has {arr.shape[0]} elements, px has {n}")
            n = arr.shape[0]
        shape = self.shape
        if not (isinstance(shape, tuple) and all(isinstance(k, int) and not isinstance(k, bool)
                                                 and k >= 0 for k in shape)):
            raise TypeError("Pixels.shape must be a tuple of non-negative ints")
        if math.prod(shape) != n:
            raise ValueError(f"Pixels.shape {shape} does not hold {n} pixels")

    @property
    def size(self) -> int:
        return self.px.shape[0]

    @classmethod
    def from_arrays(cls, positions: npt.ArrayLike, centres: npt.ArrayLike,
                    jacobians: npt.ArrayLike) -> "Pixels":
        """Pixels from their grid positions ``(..., 2)``, footprint centres
        ``(..., 2)`` and Jacobians ``(..., 2, 2)`` or one ``(2, 2)`` for all.

        ``jacobians[..., r, c]`` is the change of edge-plane coordinate ``r``
        per unit of grid coordinate ``c``.  Every Jacobian must be finite and
        non-singular.

        Examples
        --------
        >>> p = Pixels.from_arrays([(0, 0), (1, 0)], [(0.0, 0.0), (1.0, 0.0)], np.eye(2))
        >>> p.shape
        (2,)
        """
        pos = chk.finite_array("positions", positions)
        cen = chk.finite_array("centres", centres)
        jac = chk.finite_array("jacobians", jacobians)
        if pos.ndim < 1 or pos.shape[-1] != 2:
            raise ValueError(f"positions must have shape (..., 2), got {pos.shape}")
        if cen.shape != pos.shape:
            raise ValueError(f"centres must have the shape of positions {pos.shape}, got {cen.shape}")
        shape = pos.shape[:-1]
        if jac.shape[-2:] != (2, 2) or jac.shape not in ((2, 2), shape + (2, 2)):
            raise ValueError(f"jacobians must have shape (2, 2) or {shape + (2, 2)}, got {jac.shape}")
        if np.any(jac[..., 0, 0] * jac[..., 1, 1] - jac[..., 0, 1] * jac[..., 1, 0] == 0.0):
            raise ValueError("jacobians must be non-singular")
        n = int(np.prod(shape))
        pos, cen = pos.reshape(n, 2), cen.reshape(n, 2)
        jac = np.broadcast_to(jac, shape + (2, 2)).reshape(n, 2, 2)
        col = lambda a, k: np.ascontiguousarray(a[:, k])  # noqa: E731
        return cls(col(pos, 0), col(pos, 1), col(cen, 0), col(cen, 1),
                   np.ascontiguousarray(jac[:, 0, 0]), np.ascontiguousarray(jac[:, 0, 1]),
                   np.ascontiguousarray(jac[:, 1, 0]), np.ascontiguousarray(jac[:, 1, 1]),
                   tuple(shape))

    @classmethod
    def grid(cls, shape: tuple[int, int], *, origin: tuple[float, float] = (0.0, 0.0),
             scale: float | tuple[float, float] = 1.0, rotation: float = 0.0,
             matrix: npt.ArrayLike | None = None) -> "Pixels":
        """A regular grid of ``shape = (ny, nx)`` pixels under an affine map.

        The pixel in row ``i`` and column ``k`` has grid position ``(k, i)``
        and footprint centre ``origin + M @ (k, i)``, with the same Jacobian
        ``M`` for every pixel: ``M = matrix`` when given, otherwise a rotation
        by ``rotation`` radians of the scaling ``diag(sx, sy)``.

        Examples
        --------
        >>> g = Pixels.grid((2, 3), origin=(-1.0, -0.5), scale=0.5)
        >>> g.qx.reshape(g.shape)[0]
        array([-1. , -0.5,  0. ])
        """
        if len(shape) != 2:
            raise ValueError(f"shape must be (ny, nx), got {shape!r}")
        ny = chk.int32("shape[0]", shape[0], minimum=0)
        nx = chk.int32("shape[1]", shape[1], minimum=0)
        ox, oy = chk.pair("origin", origin)
        if matrix is None:
            sx, sy = (scale, scale) if np.ndim(scale) == 0 else chk.pair("scale", scale)
            sx, sy = chk.finite("scale", sx), chk.finite("scale", sy)
            c, s = np.cos(chk.finite("rotation", rotation)), np.sin(rotation)
            m = np.array([[c * sx, -s * sy], [s * sx, c * sy]])
        else:
            m = chk.finite_array("matrix", matrix)
            if m.shape != (2, 2):
                raise ValueError(f"matrix must have shape (2, 2), got {m.shape}")
        if m[0, 0] * m[1, 1] - m[0, 1] * m[1, 0] == 0.0:
            raise ValueError("the grid's map must be non-singular")
        k, i = np.meshgrid(np.arange(nx, dtype=np.float64), np.arange(ny, dtype=np.float64))
        k, i = k.ravel(), i.ravel()
        n = k.shape[0]
        return cls(k, i, m[0, 0] * k + m[0, 1] * i + ox, m[1, 0] * k + m[1, 1] * i + oy,
                   np.full(n, m[0, 0]), np.full(n, m[0, 1]), np.full(n, m[1, 0]),
                   np.full(n, m[1, 1]), (ny, nx))

    def _arrays(self):
        return self.px, self.py, self.qx, self.qy, self.j00, self.j01, self.j10, self.j11

    def _out(self, out: np.ndarray | None) -> np.ndarray:
        if out is None:
            return np.empty(self.shape, dtype=np.float64)
        return chk.output("out", out, self.shape, np.float64)


def _pixels(pixels) -> Pixels:
    if not isinstance(pixels, Pixels):
        raise TypeError(f"pixels must be trovel.Pixels, got {type(pixels).__name__}")
    return pixels


def edge_coverage(pixels: Pixels, point: npt.ArrayLike, direction: npt.ArrayLike, *,
                  out: np.ndarray | None = None) -> np.ndarray:
    """Fraction of each footprint to the right of an edge line.

    The line runs through ``point`` along ``direction``; its right side is
    measured.  Give one line for all pixels as two pairs, or one per pixel as
    two arrays of shape ``pixels.shape + (2,)``.  Reversing the direction
    gives one minus the result.

    Examples
    --------
    >>> g = Pixels.grid((1, 1))
    >>> float(edge_coverage(g, (0.25, 0.0), (0.0, 1.0))[0, 0])
    0.25
    """
    p = _pixels(pixels)
    res = p._out(out)
    pt = chk.float_array("point", point)
    if pt.shape == (2,):
        x0, y0 = chk.pair("point", pt)
        dx, dy = chk.pair("direction", direction, nonzero=True)
        # the native pair (a, b) is the direction read as (dy, dx)
        arrays = (p.qx, p.qy, p.px, p.py, p.j00, p.j01, p.j10, p.j11, res)
        _trovel.pixel_frac(x0, y0, dy, dx, *map(chk.address, arrays), p.size)
        return res
    want = p.shape + (2,)
    dirs = chk.float_array("direction", direction)
    if pt.shape != want or dirs.shape != want:
        raise ValueError(f"point and direction must be pairs or arrays of shape {want}, "
                         f"got {pt.shape} and {dirs.shape}")
    if not (np.isfinite(pt).all() and np.isfinite(dirs).all()):
        raise ValueError("point and direction must be finite")
    if np.any((dirs[..., 0] == 0.0) & (dirs[..., 1] == 0.0)):
        raise ValueError("direction must not hold zero vectors")
    x0, y0 = (np.ascontiguousarray(pt[..., k]).ravel() for k in (0, 1))
    b, a = (np.ascontiguousarray(dirs[..., k]).ravel() for k in (0, 1))
    arrays = (x0, y0, a, b, p.qx, p.qy, p.px, p.py, p.j00, p.j01, p.j10, p.j11, res)
    _trovel.pixel_frac(*map(chk.address, arrays), p.size)
    return res


def circle_coverage(pixels: Pixels, center: npt.ArrayLike, radius: float, *,
                    out: np.ndarray | None = None) -> np.ndarray:
    """Fraction of each footprint inside a circle.

    Footprints near the rim are measured against the rim's tangent at the
    point nearest to their centre: exact for a straight rim, and the
    curvature across one footprint is neglected.

    Examples
    --------
    >>> g = Pixels.grid((1, 3), origin=(9.0, 0.0))
    >>> circle_coverage(g, (0, 0), 10.0).round(12)
    array([[1. , 0.5, 0. ]])
    """
    p = _pixels(pixels)
    res = p._out(out)
    cx, cy = chk.pair("center", center)
    r = chk.finite("radius", radius)
    if r < 0.0:
        raise ValueError(f"radius must not be negative, got {r}")
    a = tuple(map(chk.address, p._arrays()))
    _trovel.enclosed_circle(*a[:4], cx, cy, r, *a[4:], chk.address(res), p.size)
    return res


def strut_coverage(pixels: Pixels, strut: Strut, *, out: np.ndarray | None = None) -> np.ndarray:
    """Fraction of each footprint inside a strut.

    The strut is the band between its edge lines, limited to the disc of
    diameter ``strut.length`` about the midpoint of its two edge points; the
    cut at that disc's rim is sharp, decided by the footprint centre alone.

    Examples
    --------
    >>> s = Strut.across((0, 0), angle=0.0, width=0.6, length=100.0)
    >>> strut_coverage(Pixels.grid((1, 1)), s).round(12)
    array([[0.6]])
    """
    p = _pixels(pixels)
    res = p._out(out)
    if not isinstance(strut, Strut):
        raise TypeError(f"strut must be a trovel.Strut, got {type(strut).__name__}")
    a = tuple(map(chk.address, p._arrays()))
    _trovel.enclosed_strut(*a[:4], strut.length, *strut.native_edges(), *a[4:],
                           chk.address(res), p.size)
    return res
