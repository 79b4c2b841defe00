# Signatures of the native module _trovel.  Every "address" is the integer
# address of caller-owned, C-contiguous storage (numpy's arr.ctypes.data);
# nothing is checked.  Use the trovel package for checked calls.
import typing

_Int = typing.SupportsInt | typing.SupportsIndex
_Float = typing.SupportsFloat | typing.SupportsIndex

def poly_grid_contains(
    poly_x: _Int, poly_y: _Int, vertex_count: _Int, grid_x: _Int, grid_y: _Int,
    mask: _Int, nx: _Int, ny: _Int, /,
) -> None: ...
@typing.overload
def pixel_frac(
    x0: _Float, y0: _Float, a: _Float, b: _Float, qx: _Int, qy: _Int, px: _Int, py: _Int,
    j00: _Int, j01: _Int, j10: _Int, j11: _Int, out: _Int, n: _Int, /,
) -> None: ...
@typing.overload
def pixel_frac(
    x0: _Int, y0: _Int, a: _Int, b: _Int, qx: _Int, qy: _Int, px: _Int, py: _Int,
    j00: _Int, j01: _Int, j10: _Int, j11: _Int, out: _Int, n: _Int, /,
) -> None: ...
def enclosed_circle(
    px: _Int, py: _Int, qx: _Int, qy: _Int, cx: _Float, cy: _Float, r: _Float,
    j00: _Int, j01: _Int, j10: _Int, j11: _Int, out: _Int, n: _Int, /,
) -> None: ...
def enclosed_strut(
    px: _Int, py: _Int, qx: _Int, qy: _Int, length: _Float,
    x1: _Float, y1: _Float, a1: _Float, b1: _Float,
    x2: _Float, y2: _Float, a2: _Float, b2: _Float,
    j00: _Int, j01: _Int, j10: _Int, j11: _Int, out: _Int, n: _Int, /,
) -> None: ...
def clip_triangles_to_circle(
    triangles: _Int, count: _Int, cx: _Float, cy: _Float, radius: _Float,
    keep_inside: _Int, margin: _Float, out: _Int, dropped: _Int, clipped: _Int, /,
) -> int: ...
def clip_triangles_to_strut(
    triangles: _Int, count: _Int, x1: _Float, y1: _Float, a1: _Float, b1: _Float,
    x2: _Float, y2: _Float, a2: _Float, b2: _Float, cx: _Float, cy: _Float,
    length: _Float, margin: _Float, out: _Int, dropped: _Int, clipped: _Int, /,
) -> int: ...
def accumulate_triangles(
    triangles: _Int, values: _Int, divisors: _Int, image: _Int, count: _Int, size: _Int, /,
) -> None: ...
def clip_area(tri: _Int, i: _Int, j: _Int, /) -> float: ...
