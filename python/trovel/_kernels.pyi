# Signatures of the project's private native drivers; the public functions
# check every argument before calling them.  Every `out` is written in place
# and must already be a writable C-contiguous float64 array: (rows, cols) of
# a GridWindow, or one value per pixel of FootprintArrays.  The drivers
# release the interpreter lock and split the work over `threads` threads.
import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

# Pixel sets: a window of a lazy grid, or per-pixel footprints (eight 1-d
# C-contiguous float64 arrays of one length, not converted).
class GridWindow:
    def __init__(self, x0: float, y0: float, m00: float, m01: float, m10: float, m11: float,
                 r0: int, r1: int, c0: int, c1: int) -> None: ...

class FootprintArrays:
    def __init__(self, px: FloatArray, py: FloatArray, qx: FloatArray, qy: FloatArray,
                 j00: FloatArray, j01: FloatArray, j10: FloatArray, j11: FloatArray,
                 keep_bounds: bool = False) -> None: ...

# Corner footprints: the corners' x and y, two C-contiguous float64 arrays
# of one shape (ny + 1, nx + 1), not converted.
class CornerArrays:
    def __init__(self, x: FloatArray, y: FloatArray) -> None: ...

PixelSet = GridWindow | FootprintArrays | CornerArrays

# The first pixel, row-major, whose quadrilateral is not simple (kind 1) or
# runs against pixel 0's orientation (kind 2): (index, kind, orientation of
# pixel 0), or (-1, 0, orientation) when none.
def corner_fault(corners: CornerArrays) -> tuple[int, int, int]: ...
def sound_corner_copies(corners: CornerArrays, threads: int) -> tuple[FloatArray, FloatArray] | None: ...
def corner_areas(corners: CornerArrays, threads: int) -> FloatArray: ...
# The eight columns of per-pixel footprints split from flat positions,
# centres (2 a pixel) and Jacobians (4 a pixel, or 4 for all), checked
# finite and non-singular; None when a check fails.
def sound_footprint_columns(positions: FloatArray, centres: FloatArray, jacobians: FloatArray,
                            threads: int) -> list[FloatArray] | None: ...

def materialize(pixels: GridWindow, px: FloatArray, py: FloatArray, qx: FloatArray,
                qy: FloatArray, j00: FloatArray, j01: FloatArray, j10: FloatArray,
                j11: FloatArray) -> None: ...

# Coverage: an edge line (point, direction), one line per pixel, a circle, a
# strut (two lines with unit directions, the disc's centre and diameter).  `fresh`:
# out is a new array, never written (its pages are then faulted in at once
# before it is written).
def edge_coverage(pixels: PixelSet, x: float, y: float, dx: float, dy: float,
                  out: FloatArray, threads: int, fresh: bool = ...) -> None: ...
def edges_coverage(pixels: PixelSet, x: FloatArray, y: FloatArray, dx: FloatArray,
                   dy: FloatArray, out: FloatArray, threads: int, fresh: bool = ...) -> None: ...
def circle_coverage(pixels: PixelSet, cx: float, cy: float, radius: float,
                    out: FloatArray, threads: int, fresh: bool = ...) -> None: ...
def strut_coverage(pixels: PixelSet, x1: float, y1: float, dx1: float, dy1: float,
                   x2: float, y2: float, dx2: float, dy2: float, cx: float, cy: float,
                   length: float, out: FloatArray, threads: int, fresh: bool = ...) -> None: ...

# The exact renderer: a shape's description (converted to C-contiguous int32
# and float64 on the way in), read and indexed once.
class ShapeDescription:
    def __init__(self, kinds: npt.ArrayLike, starts: npt.ArrayLike, counts: npt.ArrayLike,
                 coords: npt.ArrayLike, program: npt.ArrayLike) -> None: ...

# `fresh`: out is a new array of zeros, never written, whose zeros the
# renderer may leave as they are.
def render(shape: ShapeDescription, pixels: PixelSet, out: FloatArray, threads: int,
           fresh: bool = ...) -> None: ...
def shape_area(shape: ShapeDescription) -> float: ...
def shape_box(shape: ShapeDescription) -> tuple[float, float, float, float]: ...

# Photometry of many sources: one aperture and (n, 2) offsets, or one per
# source (offsets empty); the image and error float64 or float32 alike, the
# mask one byte per pixel.  Returns (sum, error2, area, partial).
def photometry(shapes: list[ShapeDescription], offsets: FloatArray, pixels: PixelSet,
               *args: object) -> tuple[FloatArray, FloatArray, FloatArray,
                                       npt.NDArray[np.bool_]]: ...

# The polygon mask: C-contiguous float64 arrays, not converted (anything
# else is a TypeError); `mask` a writable C-contiguous bool array of shape
# (len(grid_y), len(grid_x)), written in place.
def polygon_mask(
    polygon: FloatArray, grid_x: FloatArray, grid_y: FloatArray, mask: npt.NDArray[np.bool_],
) -> None: ...

# Buffer helpers of the checked layer: `array` must be a C-contiguous
# float64 ndarray (anything else is a TypeError), or for data_address any
# C-contiguous buffer.
def data_address(array: object) -> int: ...
def all_finite(array: FloatArray) -> bool: ...
def ascending(array: FloatArray) -> bool: ...
# The first fault of a polygon as a simple one: (kind, i, j); kind 0 none,
# 1 vertex i repeated, 2 edges i and j meet, 3 a fold back at vertex i.
def polygon_fault(vertices: FloatArray) -> tuple[int, int, int]: ...

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

# Resampling by exact overlap onto a whole lazy grid `target`: `values` (and
# `variance`) one float64 per source pixel, C-contiguous, not converted; the
# outputs (target rows, cols) float64, added to in place (zeroed first when
# `fresh`), `variance_out` given exactly when `variance` is.  Returns the
# flux beyond the target.
def resample(pixels: PixelSet, target: GridWindow, values: FloatArray,
             variance: FloatArray | None, image: FloatArray, weight: FloatArray,
             variance_out: FloatArray | None, fresh: bool, threads: int) -> float: ...

# Sky positions (degrees, float64, one size, not converted) in the gnomonic
# tangent plane about (lon0, lat0), into x and y (arcseconds).
def sky_to_plane(lon: FloatArray, lat: FloatArray, lon0: float, lat0: float, x: FloatArray,
                 y: FloatArray, threads: int) -> None: ...
