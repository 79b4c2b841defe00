"""Grid points inside a polygon."""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

from . import _checks as chk
from . import _kernels


def polygon_mask(polygon: npt.ArrayLike, grid_x: npt.ArrayLike, grid_y: npt.ArrayLike, *,
                 out: npt.NDArray[np.bool_] | None = None) -> npt.NDArray[np.bool_]:
    """Which points of a grid lie inside a polygon (even-odd rule).

    Row ``i`` and column ``k`` of the result answer for the point
    ``(grid_x[k], grid_y[i])``.  The polygon is closed implicitly (its first
    vertex may also be repeated as its last).  A point exactly on a crossing
    of its row with the polygon counts to the side before the crossing, so of
    a square with corners (0, 0) and (2, 2) the points with ``0 < x <= 2``
    and ``0 < y <= 2`` are inside.  Every crossing below a point counts,
    however many fall between two neighbouring grid columns, so the mask is
    exactly the even-odd interior.

    Parameters
    ----------
    polygon : array_like, shape (n, 2)
        The vertices ``(x, y)`` in order, either orientation.
    grid_x : array_like, shape (nx,)
        The columns' x positions, ascending (repeats allowed).
    grid_y : array_like, shape (ny,)
        The rows' y positions, in any order.
    out : ndarray of bool, shape (ny, nx), optional
        A C-contiguous mask to write; it must not share memory with the inputs.

    Returns
    -------
    ndarray of bool, shape (ny, nx)
        True where the point lies inside; ``out`` when given.

    Raises
    ------
    TypeError
        When an input is not numeric or is a masked array, or ``out`` is not
        a bool array.
    ValueError
        When ``polygon`` is not of shape (n, 2), a vertex or a grid position
        is not finite (the message names the first), ``grid_x`` or ``grid_y``
        is not 1-d, ``grid_x`` is not ascending, or ``out`` does not fit.

    Examples
    --------
    >>> polygon_mask([(0, 0), (2, 0), (2, 2), (0, 2)], [0, 1, 2, 3], [0, 1, 2, 3]).astype(int)
    array([[0, 0, 0, 0],
           [0, 1, 1, 0],
           [0, 1, 1, 0],
           [0, 0, 0, 0]])
    """
    raw = [chk.array(name, v) for name, v in (("polygon", polygon), ("grid_x", grid_x),
                                               ("grid_y", grid_y))]
    poly = chk.points("polygon", raw[0])
    gx, gy = chk.positions("grid_x", raw[1]), chk.positions("grid_y", raw[2])
    # A NaN position would cross nothing (a row all outside) or break the
    # order of the columns: refused like a NaN vertex.
    gx = chk.ascending("grid_x", chk.contiguous("grid_x", gx, finite=True))
    gy = chk.contiguous("grid_y", gy, finite=True)
    # A vertex that is not finite gives no interior that means anything, and
    # which rows it spoils would depend on where it stands in the ring.
    poly = chk.contiguous("polygon", poly, finite=True)
    shape = (gy.shape[0], gx.shape[0])
    if out is None:
        mask = chk.new_array("the mask", shape, np.bool_, given_by="grid_x and grid_y")
    else:
        mask = chk.output("out", out, shape, np.bool_)
        chk.disjoint("out", mask, poly, gx, gy)
    _kernels.polygon_mask(poly, gx, gy, mask)
    return mask if out is None else out
