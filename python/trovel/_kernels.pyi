# Signatures of the project's private native kernels; the public functions
# check every argument before calling them.  The renderer's arrays are
# converted to C-contiguous int32 or float64 on the way in; its ``out`` is
# written in place and must already be a writable C-contiguous float64
# array of the right shape.
import numpy as np
import numpy.typing as npt

def grid(
    kinds: npt.ArrayLike, starts: npt.ArrayLike, counts: npt.ArrayLike,
    coords: npt.ArrayLike, program: npt.ArrayLike,
    x0: float, y0: float, m00: float, m01: float, m10: float, m11: float,
    r0: int, r1: int, c0: int, c1: int, out: npt.NDArray[np.float64], threads: int,
) -> None: ...
def footprints(
    kinds: npt.ArrayLike, starts: npt.ArrayLike, counts: npt.ArrayLike,
    coords: npt.ArrayLike, program: npt.ArrayLike,
    qx: npt.ArrayLike, qy: npt.ArrayLike, j00: npt.ArrayLike, j01: npt.ArrayLike,
    j10: npt.ArrayLike, j11: npt.ArrayLike, out: npt.NDArray[np.float64], threads: int,
) -> None: ...

# The polygon mask: C-contiguous float64 arrays, not converted (anything
# else is a TypeError); `mask` a writable C-contiguous bool array of shape
# (len(grid_y), len(grid_x)), written in place.
def polygon_mask(
    polygon: npt.NDArray[np.float64], grid_x: npt.NDArray[np.float64],
    grid_y: npt.NDArray[np.float64], mask: npt.NDArray[np.bool_],
) -> None: ...

# Buffer helpers of the checked layer: `array` must be a C-contiguous
# float64 ndarray (anything else is a TypeError), or for data_address any
# C-contiguous buffer.
def data_address(array: object) -> int: ...
def all_finite(array: npt.NDArray[np.float64]) -> bool: ...
def ascending(array: npt.NDArray[np.float64]) -> bool: ...

# The frame deposit: triangles (n, 6), values and divisors (n,), all
# C-contiguous float64, not converted (anything else is a TypeError); `image`
# a writable C-contiguous float64 (ny, nx) array, added to in place, whose
# pixel (row i, column k) is centred on (x0 + sx * k, y0 + sy * i).  Returns
# the value beyond the image's border.  Releases the interpreter lock.
def deposit(
    triangles: npt.NDArray[np.float64], values: npt.NDArray[np.float64],
    divisors: npt.NDArray[np.float64], image: npt.NDArray[np.float64],
    x0: float, y0: float, sx: float, sy: float, threads: int,
) -> float: ...
