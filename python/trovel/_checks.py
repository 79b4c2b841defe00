"""Argument checks shared by the public functions: the only place arguments
are converted and validated.

Every public function works in three steps, and nothing but these helpers
touches an argument in between:

1. convert: every scalar becomes a Python float or int (`real`, `finite`,
   `pair`, `number_or_pair`, `int32`, `int_pair`, `keyword`), every array
   argument a numpy array (`array`), and what a pixel set reports plain
   tuples (`plain_shape`, `plain_affine`).  These are the only steps that can
   run a caller's code (``__float__``, ``__array__``, ``__index__``, a
   property of a subclass), so all of them come before any check.
2. validate: shapes are matched before anything is copied (`one_of_shapes`,
   `points`, `positions`, `pairs_per_item`, `footprint_columns`, `triangles`:
   a huge broadcast view is refused without being materialised), then the
   arrays are made C-contiguous float64 (`contiguous`, `per_item`), numbers
   are bounded (`nonnegative`, `positive_pair`), outputs are checked through
   the base class (`output`, `output_flat`, `square_output`, `room`), arrays
   read from a pixel set checked again (`native_arrays`) and overlaps refused
   (`disjoint`).  No caller code runs here, so what was checked is what the
   native code gets.
3. call the native function with addresses (`address`) and counts taken from
   the validated arrays.
"""
from __future__ import annotations

import math
import numbers
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from . import _kernels

INT32_MAX = 2**31 - 1

FloatArray = npt.NDArray[np.float64]
AnyArray = npt.NDArray[Any]
# A lazy grid's map: ((x0, y0), ((m00, m01), (m10, m11))).
Affine = tuple[tuple[float, float], tuple[tuple[float, float], tuple[float, float]]]


def refuse_masked(name: str, value: Any) -> None:
    """Masked arrays are refused: the native code would ignore their mask."""
    if isinstance(value, np.ma.MaskedArray):
        raise TypeError(f"{name} must not be a masked array (its mask would be ignored); "
                        "pass value.filled(...) or the unmasked data")


def array(name: str, value: Any) -> AnyArray:
    """Step 1 for an array argument: `value` as some numpy array, not copied.

    An ndarray (of any subclass) is returned as it is, so that a later step
    sees its state after all the caller's code has run; anything else goes
    through ``np.asarray`` (which may run the caller's ``__array__``).
    """
    refuse_masked(name, value)
    if isinstance(value, np.ndarray):
        return value
    try:
        arr = np.asarray(value)
    except Exception as exc:  # ragged lists, failing __array__ and the like
        raise TypeError(f"{name} must be an array of real numbers: {exc}") from None
    refuse_masked(name, arr)
    return arr


def base(name: str, arr: AnyArray) -> AnyArray:
    """Step 2 for an array from `array`: a plain ndarray holding real
    numbers, so that no method of a subclass runs from here on: the array
    itself when it is one, else a plain view of its data."""
    plain = arr if type(arr) is np.ndarray else np.ndarray.view(arr, np.ndarray)
    if plain.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, got dtype {plain.dtype}")
    return plain


def contiguous(name: str, arr: AnyArray, *, finite: bool = False) -> FloatArray:
    """An array from `array` (or `base`), its shape already checked, as
    C-contiguous float64 (copied only when needed, 0-d kept 0-d)."""
    # aligned too: native code reads whole doubles (an array made from a
    # buffer at an odd offset, or unpickled, may not be)
    out = base(name, arr)
    flags = out.flags
    if not (out.dtype == np.float64 and flags.c_contiguous and flags.aligned):
        out = np.require(out, dtype=np.float64, requirements=["C", "A"])
    if finite:
        refuse_non_finite(name, out)
    return out


def refuse_non_finite(name: str, arr: FloatArray, *, item: str = "") -> None:
    """Refuse a float64 array from `contiguous` that holds a NaN or an
    infinity, naming the first such element (and the item it belongs to,
    the first axis, when `item` names that)."""
    if _kernels.all_finite(arr):
        return
    at = np.unravel_index(int(np.argmin(np.isfinite(arr).reshape(-1))), arr.shape)
    index = ", ".join(str(int(k)) for k in at)
    where = f"{item} {int(at[0])} ({name}[{index}])" if item else f"{name}[{index}]"
    raise ValueError(f"{name} must be finite: {where} is {float(arr[at])}")


def finite_array(name: str, value: Any) -> FloatArray:
    """`value` as a finite C-contiguous float64 array (copied only when
    needed), for callers that accept any shape."""
    return contiguous(name, array(name, value), finite=True)


def real(name: str, value: Any) -> float:
    """A real number as a Python float; numpy scalars, Fractions and ints of
    any size are converted once here and only the float is used after."""
    if type(value) is float:   # the common case, without the checks below
        return value
    if not isinstance(value, numbers.Real) or isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    try:
        v = float(value)
    except OverflowError:
        raise ValueError(f"{name} is too large for a double, got {value!r:.40}") from None
    if type(v) is not float:  # a __float__ that lies about its type
        raise TypeError(f"{name} must convert to float, got {type(v).__name__}")
    return v


def finite(name: str, value: Any) -> float:
    v = value if type(value) is float else real(name, value)
    if not math.isfinite(v):
        raise ValueError(f"{name} must be finite, got {v}")
    return v


def pair(name: str, value: Any, *, nonzero: bool = False) -> tuple[float, float]:
    """A point or a direction: two finite numbers, as Python floats."""
    if type(value) is tuple and len(value) == 2 and all(type(v) in (float, int) for v in value):
        # the common case at once: plain floats and ints run no caller code
        x, y = finite(name, value[0]), finite(name, value[1])
    elif isinstance(value, (tuple, list)) and len(value) == 2 and all(
            isinstance(v, numbers.Real) and not isinstance(v, np.ndarray) for v in value):
        x, y = finite(name, value[0]), finite(name, value[1])
    else:
        arr = base(name, array(name, value))
        if arr.shape != (2,):
            raise ValueError(f"{name} must be a pair of numbers (x, y), got shape {arr.shape}")
        x, y = (float(v) for v in arr.astype(np.float64))
        if not (math.isfinite(x) and math.isfinite(y)):
            raise ValueError(f"{name} must be finite, got ({x}, {y})")
    if nonzero and x == 0.0 and y == 0.0:
        raise ValueError(f"{name} must not be the zero vector")
    return x, y


def int32(name: str, value: Any, *, minimum: int = -INT32_MAX - 1) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    v = int(value)
    if not minimum <= v <= INT32_MAX:
        raise ValueError(f"{name} must lie in {minimum} .. {INT32_MAX}, got {v}")
    return v


def whole(name: str, value: Any, *, minimum: int = -INT32_MAX - 1) -> int:
    """A count given as an integer or as a whole real number (3 or 3.0),
    as a 32-bit int."""
    if isinstance(value, numbers.Real) and not isinstance(value, (numbers.Integral, bool,
                                                                  np.bool_)):
        v = real(name, value)
        if not (math.isfinite(v) and v == math.floor(v)):
            raise ValueError(f"{name} must be a whole number, got {v}")
        value = int(v)
    return int32(name, value, minimum=minimum)


def int_pair(name: str, value: Any, *, minimum: int = -INT32_MAX - 1) -> tuple[int, int]:
    """Two 32-bit ints given as a tuple, a list or an array, such as a shape or
    a pixel index."""
    if isinstance(value, np.ndarray) and value.dtype.kind in "iu":
        value = np.ndarray.view(value, np.ndarray).tolist()
    if not isinstance(value, (tuple, list)):
        raise TypeError(f"{name} must be a pair of integers, got {value!r:.60}")
    if len(value) != 2:
        raise ValueError(f"{name} must be a pair of integers, got {len(value)} values")
    return (int32(f"{name}[0]", value[0], minimum=minimum),
            int32(f"{name}[1]", value[1], minimum=minimum))


def keyword(name: str, value: Any, choices: tuple[str, ...]) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be one of {choices}, got {type(value).__name__}")
    if value not in choices:
        raise ValueError(f"{name} must be one of {choices}, got {value!r}")
    return value


def number_or_pair(name: str, value: Any) -> tuple[float, float]:
    """One finite number used for both axes, or a pair of them (x, y)."""
    if isinstance(value, (tuple, list)) or (isinstance(value, np.ndarray) and value.ndim != 0):
        return pair(name, value)
    if isinstance(value, np.ndarray):
        value = np.ndarray.view(value, np.ndarray)[()]
    v = finite(name, value)
    return v, v


# A direction whose length is within this of 1 is taken as unit and kept as
# it is: (cos a, sin a) rounds to a length a few ulps from 1.
_UNIT_SLACK = 4 * 2.0**-52


def unit_direction(direction: tuple[float, float]) -> tuple[float, float]:
    """A non-zero finite direction from `pair`, scaled to unit length.

    Native side values grow with a direction's length, and the quick tests
    and margins compare them with distances; a unit direction makes them
    distances.  A direction already unit is returned as it is, so its bits
    are kept; any other is first brought near unit length by a power of two
    (exact, so that directions a power of two apart give the same bits),
    then divided by its length."""
    dx, dy = direction
    if abs(math.hypot(dx, dy) - 1.0) <= _UNIT_SLACK:
        return direction
    e = math.frexp(max(abs(dx), abs(dy)))[1]
    dx, dy = math.ldexp(dx, -e), math.ldexp(dy, -e)
    n = math.hypot(dx, dy)
    return dx / n, dy / n


def nonnegative(name: str, value: float) -> float:
    """Step 2 for a number from `finite`."""
    if value < 0.0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return value


def positive(name: str, value: float) -> float:
    """Step 2 for a number from `finite`."""
    if not value > 0.0:
        raise ValueError(f"{name} must be positive, got {value}")
    return value


def positive_pair(name: str, sides: tuple[float, float]) -> tuple[float, float]:
    """Step 2 for the sides of a pixel from `number_or_pair`: both positive,
    and their product (the pixel's area) a finite positive float."""
    sx, sy = sides
    if not (sx > 0.0 and sy > 0.0):
        raise ValueError(f"{name} must be positive, got ({sx}, {sy})")
    if not 0.0 < sx * sy < math.inf:
        raise ValueError(f"{name} ({sx}, {sy}) gives a pixel area that is not a finite "
                         "positive float")
    return sx, sy


T = TypeVar("T")


def instance(name: str, value: Any, cls: type[T]) -> T:
    """`value` itself when it is a `cls` (a subclass too)."""
    if not isinstance(value, cls):
        raise TypeError(f"{name} must be a trovel.{cls.__name__}, got {type(value).__name__}")
    return value


def one_of_shapes(name: str, arr: AnyArray, *shapes: tuple[int, ...]) -> AnyArray:
    """Step 2 for an array from `array`: its plain view, of one of `shapes`,
    checked before anything is copied."""
    plain = base(name, arr)
    if plain.shape not in shapes:
        raise ValueError(f"{name} must have shape {' or '.join(map(str, shapes))}, "
                         f"got {plain.shape}")
    return plain


def positions(name: str, arr: AnyArray) -> AnyArray:
    """Step 2 for an array from `array`: its plain view, 1-d."""
    plain = base(name, arr)
    if plain.ndim != 1:
        raise ValueError(f"{name} must be a 1-d array of positions, got shape {plain.shape}")
    return plain


def ascending(name: str, arr: FloatArray) -> FloatArray:
    """A 1-d array from `contiguous`, checked to be in ascending order."""
    if not _kernels.ascending(arr):
        raise ValueError(f"{name} must be ascending")
    return arr


def pairs_per_item(names: tuple[str, ...], arrays: tuple[AnyArray, ...],
                   shape: tuple[int, ...]) -> tuple[FloatArray, ...]:
    """Step 2 for arrays from `array` that hold one pair per item of `shape`:
    every shape is checked before any array is copied, then each becomes
    finite C-contiguous float64 of shape ``shape + (2,)``."""
    want = shape + (2,)
    plain = tuple(base(name, arr) for name, arr in zip(names, arrays))
    if any(p.shape != want for p in plain):
        got = " and ".join(str(p.shape) for p in plain)
        raise ValueError(f"{' and '.join(names)} must be pairs or arrays of shape {want}, "
                         f"got {got}")
    return tuple(contiguous(name, p, finite=True) for name, p in zip(names, plain))


def nonzero_pairs(name: str, pairs: FloatArray) -> FloatArray:
    """Step 2 for directions from `pairs_per_item`: no zero vector among them."""
    if np.any((pairs[..., 0] == 0.0) & (pairs[..., 1] == 0.0)):
        raise ValueError(f"{name} must not hold zero vectors")
    return pairs


def room(name: str, flat: AnyArray, records: int, width: int) -> AnyArray:
    """The first `records` rows of `width` elements of a flat output from
    `output_flat`, which must hold at least that many."""
    if flat.shape[0] < records * width:
        raise ValueError(f"{name} must hold at least {records} records of {width} values, "
                         f"got {flat.shape[0]} values")
    return flat[: records * width].reshape(-1, width)


def footprint_columns(positions: AnyArray, centres: AnyArray, jacobians: AnyArray,
                      threads: int = 1) -> tuple[list[FloatArray], tuple[int, ...]]:
    """Step 2 for the arrays from `array` that make per-pixel footprints:
    positions and centres (..., 2), Jacobians (..., 2, 2) or one (2, 2), all
    shapes checked before any copy; finite, and every Jacobian non-singular
    with a finite determinant.  Their eight columns as private C-contiguous
    copies (positions x, y, centres x, y, j00, j01, j10, j11), and the
    pixels' shape."""
    pos, cen, jac = base("positions", positions), base("centres", centres), base("jacobians",
                                                                                   jacobians)
    if pos.ndim < 1 or pos.shape[-1] != 2:
        raise ValueError(f"positions must have shape (..., 2), got {pos.shape}")
    if cen.shape != pos.shape:
        raise ValueError(f"centres must have the shape of positions {pos.shape}, got {cen.shape}")
    shape = pos.shape[:-1]
    if jac.shape not in ((2, 2), shape + (2, 2)):
        raise ValueError(f"jacobians must have shape (2, 2) or {shape + (2, 2)}, got {jac.shape}")
    if all(a.dtype == np.float64 and a.flags.c_contiguous for a in (pos, cen, jac)):
        # split and checked in one native pass; any fault is found and worded below
        columns = _kernels.sound_footprint_columns(pos.reshape(-1), cen.reshape(-1),
                                                   jac.reshape(-1), threads)
        if columns is not None:
            return columns, shape
    pos = contiguous("positions", pos, finite=True)
    cen = contiguous("centres", cen, finite=True)
    jac = contiguous("jacobians", jac, finite=True)
    with np.errstate(over="ignore", invalid="ignore"):
        det = jac[..., 0, 0] * jac[..., 1, 1] - jac[..., 0, 1] * jac[..., 1, 0]
    if not (np.isfinite(det).all() and (det != 0.0).all()):
        raise ValueError("jacobians must be non-singular, with a finite determinant")
    n = math.prod(shape)
    pos, cen = pos.reshape(n, 2), cen.reshape(n, 2)
    each = np.broadcast_to(jac, shape + (2, 2)).reshape(n, 4)
    cols = [pos[:, 0], pos[:, 1], cen[:, 0], cen[:, 1], *(each[:, c] for c in range(4))]
    return [np.array(c, dtype=np.float64, order="C") for c in cols], shape


def pixel_fields(owner: str, names: tuple[str, ...], given: tuple[Any, ...],
                 shape: Any) -> list[FloatArray]:
    """Arrays given as they are to the native code: plain views of 1-d
    C-contiguous float64 arrays of one length, which `shape`, a tuple of
    non-negative ints, holds.  Each is refused before any is viewed, since
    the type test may run the caller's code (a ``__class__`` property)."""
    names = tuple(f"{owner}.{name}" for name in names)
    for name, arr in zip(names, given):
        refuse_masked(name, arr)
        if not isinstance(arr, np.ndarray):
            raise TypeError(f"{name} must be a 1-d C-contiguous float64 array")
    fields: list[FloatArray] = []
    for name, arr in zip(names, given):
        plain = np.ndarray.view(arr, np.ndarray)
        if not (plain.dtype == np.float64 and plain.ndim == 1 and plain.flags.c_contiguous):
            raise TypeError(f"{name} must be a 1-d C-contiguous float64 array")
        if fields and plain.shape[0] != fields[0].shape[0]:
            raise ValueError(f"{name} has {plain.shape[0]} elements, {names[0]} has "
                             f"{fields[0].shape[0]}")
        fields.append(plain)
    if not (isinstance(shape, tuple) and all(isinstance(k, int) and not isinstance(k, bool)
                                             and k >= 0 for k in shape)):
        raise TypeError(f"{owner}.shape must be a tuple of non-negative ints")
    if fields and math.prod(shape) != fields[0].shape[0]:
        raise ValueError(f"{owner}.shape {shape} does not hold "
                         f"{fields[0].shape[0]} pixels")
    return fields


def points(name: str, arr: AnyArray) -> AnyArray:
    """Step 2 for an array from `array`: its plain view, of shape (n, 2),
    checked before anything is copied."""
    plain = base(name, arr)
    if plain.ndim != 2 or plain.shape[1] != 2:
        raise ValueError(f"{name} must have shape (n, 2), got {plain.shape}")
    return plain


def triangles(name: str, value: Any, *, fan: int = 1) -> tuple[FloatArray, bool]:
    """Finite triangles given as (n, 3, 2) or (n, 6): the (n, 6) float64
    records and whether the caller used the (n, 3, 2) layout.  The native side counts the
    triangles in a 32-bit int, and so the up to `fan` triangles that each
    input triangle becomes; the count is checked before anything is copied.
    Takes the raw argument or an array from `array`."""
    arr = base(name, array(name, value))
    if arr.ndim == 3 and arr.shape[1:] == (3, 2):
        nested = True
    elif arr.ndim == 2 and arr.shape[1] == 6:
        nested = False
    else:
        raise ValueError(f"{name} must have shape (n, 3, 2) or (n, 6), got {arr.shape}")
    if arr.shape[0] * fan > INT32_MAX:
        raise ValueError(f"{name} holds {arr.shape[0]} triangles; at most {INT32_MAX // fan} "
                         "fit one native call")
    records = contiguous(name, arr)
    # A vertex that is not finite has no overlap, no side of a line and no
    # area: such a triangle could only vanish without a word.
    refuse_non_finite(name, records, item="triangle")
    return records.reshape(-1, 6), nested


def per_item(name: str, value: Any, n: int, *, items: str = "items") -> FloatArray:
    """A scalar or an array of n numbers, one per item of `items`, as n
    contiguous float64.  Takes the raw argument or an array from `array`."""
    arr = base(name, array(name, value))
    if arr.ndim == 0:
        return np.full(n, float(arr), dtype=np.float64)
    if arr.shape != (n,):
        raise ValueError(f"{name} must be a number or one per item of {items}, and {items} "
                         f"holds {n}: got shape {arr.shape}")
    return contiguous(name, arr)


def new_array(name: str, shape: tuple[int, ...], dtype: Any, *, zero: bool = False,
              given_by: str | None = None) -> AnyArray:
    """A fresh output; a shape numpy cannot allocate is a ValueError naming
    it and `given_by`, the argument that set the shape."""
    try:
        return (np.zeros if zero else np.empty)(shape, dtype=dtype)
    except ValueError:
        cause = f" (set by {given_by})" if given_by else ""
        raise ValueError(f"{name} of shape {shape}{cause} is too large to allocate") from None


def plain_output(name: str, out: Any, dtype: Any) -> AnyArray:
    """A caller's output array as a plain ndarray view of it, exactly of
    `dtype`: the checks and the address come from the base class whatever a
    subclass claims.  Masked arrays are refused.  Its shape is not checked."""
    refuse_masked(name, out)
    if not isinstance(out, np.ndarray):
        raise TypeError(f"{name} must be a numpy array, got {type(out).__name__}")
    plain = np.ndarray.view(out, np.ndarray)
    if plain.dtype != np.dtype(dtype):
        raise TypeError(f"{name} must have dtype {np.dtype(dtype)}, got {plain.dtype}")
    return plain


def output(name: str, out: Any, shape: tuple[int, ...], dtype: Any) -> AnyArray:
    """A caller's output array, exactly of `dtype` and `shape`, C-contiguous and
    writable: step 2.  Returns a plain ndarray view of it (`plain_output`)."""
    plain = plain_output(name, out, dtype)
    if plain.shape != tuple(shape):
        raise ValueError(f"{name} must have shape {tuple(shape)}, got {plain.shape}")
    return _writable_block(name, plain)


def output_flat(name: str, out: Any, dtype: Any) -> AnyArray:
    """A caller's output of any shape, as a plain 1-d view of all its elements."""
    return _writable_block(name, plain_output(name, out, dtype)).reshape(-1)


def square_output(name: str, out: Any, side: int | None, dtype: Any) -> AnyArray:
    """A caller's square 2-d image, of side `side` when that is given."""
    plain = plain_output(name, out, dtype)
    if plain.ndim != 2 or plain.shape[0] != plain.shape[1]:
        raise ValueError(f"{name} must be a square 2-d image, got shape {plain.shape}")
    if side is None:
        side = int32(f"the side of {name}", plain.shape[0], minimum=1)
    return output(name, plain, (side, side), dtype)


def _writable_block(name: str, base: AnyArray) -> AnyArray:
    if not (base.flags.c_contiguous and base.flags.aligned):
        raise ValueError(f"{name} must be C-contiguous and aligned")
    if not base.flags.writeable:
        raise ValueError(f"{name} must be writable")
    return base


def native_arrays(arrays: Any, n: int) -> tuple[FloatArray, ...]:
    """Eight (or six) arrays read from a pixel set, checked for what the
    native code takes: plain 1-d C-contiguous float64 arrays of n elements."""
    if type(arrays) is not tuple or len(arrays) != 8:
        raise TypeError("pixels gave no footprint arrays")
    return unchanged(arrays, (n,))


def unchanged(arrays: tuple[Any, ...], shape: tuple[int, ...]) -> tuple[FloatArray, ...]:
    """A pixel set's arrays, as the native code takes them: plain
    C-contiguous aligned float64 arrays of `shape`.  An array can be resized
    in place after its pixel set was made (through the base of a view of
    it), so they are checked again at each use."""
    out = []
    for arr in arrays:
        if not isinstance(arr, np.ndarray):
            raise TypeError("pixels must hold numpy arrays")
        base = np.ndarray.view(arr, np.ndarray)
        if not (base.dtype == np.float64 and base.shape == shape and base.flags.c_contiguous
                and base.flags.aligned):
            raise ValueError(f"pixels were changed after construction: an array no longer "
                             f"holds {shape} contiguous float64")
        out.append(base)
    return tuple(out)


def plain_shape(shape: Any) -> tuple[int, ...]:
    if type(shape) is not tuple or not all(type(k) is int and k >= 0 for k in shape):
        raise TypeError("pixels.shape must be a tuple of non-negative ints")
    return shape


def plain_affine(affine: Any, *, name: str = "pixels.affine") -> Affine:
    def plain(v: Any, n: int) -> tuple[Any, ...]:
        if type(v) is not tuple or len(v) != n:
            raise TypeError(f"{name} must be ((x0, y0), ((m00, m01), (m10, m11))) of floats")
        return v
    origin, m = plain(affine, 2)
    (x0, y0), (row0, row1) = plain(origin, 2), plain(m, 2)
    (m00, m01), (m10, m11) = plain(row0, 2), plain(row1, 2)
    vals = (x0, y0, m00, m01, m10, m11)
    if not all(type(v) is float for v in vals):
        raise TypeError(f"{name} must be ((x0, y0), ((m00, m01), (m10, m11))) of floats")
    return (x0, y0), ((m00, m01), (m10, m11))


def disjoint(name: str, out: AnyArray, *inputs: AnyArray) -> None:
    """Refuse an output that shares memory with any input.  No exact aliasing
    is allowed either: the native loops read ahead in blocks and cache values
    derived from earlier elements, so no overlap is proven safe."""
    for arr in inputs:
        if np.may_share_memory(out, arr):
            raise ValueError(f"{name} must not share memory with the inputs")


def address(arr: AnyArray) -> int:
    """The address of a validated C-contiguous array, taken through the base
    class (a subclass may define its own buffer)."""
    if type(arr) is not np.ndarray:
        arr = np.ndarray.view(arr, np.ndarray)
    return _kernels.data_address(arr)


# --- pixel sets, as the drivers read them ------------------------------------------------

def grid_map(shape: tuple[int, int], affine: Affine, *, given: str = "the grid's map",
             rows: tuple[int, int] | None = None,
             cols: tuple[int, int] | None = None) -> Affine:
    """A lazy grid's map, checked: finite, non-singular with a finite
    determinant, and every footprint centre of the grid (or of its `rows`
    and `cols`) finite: the centres are affine in (k, i), so the extreme ones
    are at the corners.  `given` names what set the map, for the messages."""
    (x0, y0), ((m00, m01), (m10, m11)) = affine
    if not all(math.isfinite(v) for v in (x0, y0, m00, m01, m10, m11)):
        raise ValueError(f"the grid's origin and map must be finite, got {affine}")
    det = m00 * m11 - m01 * m10
    if not math.isfinite(det) or det == 0.0:
        raise ValueError(f"{given} gives a singular map or one whose determinant overflows: "
                         "the map must be non-singular, with a finite determinant")
    ny, nx = shape
    (r0, r1), (c0, c1) = rows or (0, ny), cols or (0, nx)
    for k in (float(c0), c1 - 1.0) if c1 > c0 else ():
        for i in (float(r0), r1 - 1.0) if r1 > r0 else ():
            # the centre formula of the drivers, (m00 k + m01 i) + x0
            if not (math.isfinite((m00 * k + m01 * i) + x0)
                    and math.isfinite((m10 * k + m11 * i) + y0)):
                raise ValueError(f"the footprint centres of a {ny} x {nx} grid under this map "
                                 "overflow; use a smaller scale or origin")
    return affine


def tile(name: str, affine: Any, rows: Any, cols: Any) -> tuple[Any, tuple[int, int]]:
    """Rows and columns [start, stop) of a lazy grid under the map `affine`,
    as a driver's window, checked, and the tile's shape."""
    plain = plain_affine(affine, name=name)
    r0, r1 = int_pair("rows", rows, minimum=0)
    c0, c1 = int_pair("cols", cols, minimum=0)
    if r1 < r0 or c1 < c0:
        raise ValueError(f"rows and cols must be increasing ranges, got {rows} and {cols}")
    grid_map((r1, c1), plain, given=name, rows=(r0, r1), cols=(c0, c1))
    return grid_window(plain, (r0, r1), (c0, c1)), (r1 - r0, c1 - c0)


def grid_window(affine: Affine, rows: tuple[int, int],
                cols: tuple[int, int]) -> _kernels.GridWindow:
    """Rows and columns [start, stop) of a lazy grid under a checked map, as
    the drivers take them."""
    (x0, y0), ((m00, m01), (m10, m11)) = affine
    return _kernels.GridWindow(x0, y0, m00, m01, m10, m11, rows[0], rows[1], cols[0], cols[1])


class PixelSet:
    """A pixel set read and checked once, ready for a driver: its result
    shape, the native object the drivers read (a grid window, footprint
    arrays or corner arrays), the map of a lazy grid (else None), the arrays
    that an output must not overlap, and whether its footprints are the
    quadrilaterals of a corner grid (`corners`: then `arrays` are x and y)."""

    __slots__ = ("shape", "native", "affine", "arrays", "corners")

    def __init__(self, shape: tuple[int, ...], native: Any, affine: Affine | None,
                 arrays: tuple[FloatArray, ...], corners: bool = False) -> None:
        self.shape, self.native, self.affine, self.arrays = shape, native, affine, arrays
        self.corners = corners

    def result(self, out: Any, *inputs: AnyArray) -> tuple[FloatArray, FloatArray]:
        """A new result, or the caller's `out` checked (shape, dtype, writable,
        apart from the pixels' arrays and `inputs`); and the view of it that
        the driver writes: (rows, cols) for a grid, flat for footprints."""
        if out is None:
            # zeros: a large array of them costs no more than an empty one
            # (the system's new pages are zero), and the renderer leaves
            # them unwritten
            res = new_array("the result", self.shape, np.float64, zero=True, given_by="pixels")
        else:
            res = output("out", out, self.shape, np.float64)
            disjoint("out", res, *self.arrays, *inputs)
        return res, (res if self.affine is not None else res.reshape(-1))


def corner_arrays(x: AnyArray, y: AnyArray, *, names: tuple[str, str] = ("x", "y"),
                  shape: tuple[int, int] | None = None,
                  threads: int = 1) -> tuple[FloatArray, FloatArray]:
    """Step 2 for the corners of corner footprints, from `array`: 2-d, of
    one shape (of `shape` when given) at least 1 x 1, finite, as private
    C-contiguous float64 copies; and the map they make checked not to fold
    (`corner_map`), float64 C-ordered corners on `threads` threads."""
    px, py = base(names[0], x), base(names[1], y)
    for name, a in zip(names, (px, py)):
        if a.ndim != 2 or a.shape[0] < 1 or a.shape[1] < 1:
            raise ValueError(f"{name} must be a 2-d array of corners, (ny + 1, nx + 1), "
                             f"got shape {a.shape}")
    if py.shape != px.shape:
        raise ValueError(f"{names[1]} must have the shape of {names[0]} {px.shape}, "
                         f"got {py.shape}")
    if shape is not None and px.shape != shape:
        raise ValueError(f"{names[0]} and {names[1]} must have the corners' shape {shape}, "
                         f"got {px.shape}")
    if all(a.dtype == np.float64 and a.flags.c_contiguous for a in (px, py)):
        # copied and checked in one native pass; any fault is found and
        # worded below
        copies = _kernels.sound_corner_copies(_kernels.CornerArrays(px, py), threads)
        if copies is not None:
            return copies
    cx = np.array(px, dtype=np.float64, order="C")
    cy = np.array(py, dtype=np.float64, order="C")
    refuse_non_finite(names[0], cx)
    refuse_non_finite(names[1], cy)
    corner_map(names, cx, cy)
    return cx, cy


def corner_map(names: tuple[str, str], x: FloatArray, y: FloatArray) -> None:
    """Refuse corners whose footprints are not all simple quadrilaterals of
    one orientation, naming the first pixel (row-major) that is not."""
    bad, kind, _ = _kernels.corner_fault(_kernels.CornerArrays(x, y))
    if bad < 0:
        return
    i, k = divmod(int(bad), x.shape[1] - 1)
    if kind == 1:
        raise ValueError(f"{names[0]} and {names[1]} fold the map: pixel [{i}, {k}]'s "
                         "footprint is not a simple quadrilateral (its sides cross, or it "
                         "has no area)")
    raise ValueError(f"{names[0]} and {names[1]} fold the map: pixel [{i}, {k}]'s footprint "
                     "runs against pixel [0, 0]'s orientation")


def footprint_set(shape: tuple[int, ...], arrays: tuple[FloatArray, ...]) -> PixelSet:
    """What the drivers read of a pixel set's own footprint arrays, checked
    and read-only for good: the renderer's bounds of their runs are found
    once and kept with them."""
    checked = native_arrays(arrays, math.prod(shape))
    return PixelSet(shape, footprint_arrays_of(checked, keep_bounds=True), None, checked)


def footprint_arrays_of(checked: tuple[FloatArray, ...], *,
                        keep_bounds: bool = False) -> _kernels.FootprintArrays:
    """The native pixel set of eight arrays from `native_arrays`."""
    px, py, qx, qy, j00, j01, j10, j11 = checked
    return _kernels.FootprintArrays(px, py, qx, qy, j00, j01, j10, j11, keep_bounds)


def corner_set(shape: tuple[int, int], x: FloatArray, y: FloatArray) -> PixelSet:
    """What the drivers read of checked corners from `corner_arrays`."""
    return PixelSet(shape, _kernels.CornerArrays(x, y), None, (x, y), corners=True)


def parallelograms(pix: PixelSet, capability: str) -> PixelSet:
    """A pixel set for a capability whose kernels take parallelogram
    footprints: corner footprints refused, pointing to `render`."""
    if pix.corners:
        raise TypeError(f"{capability} takes parallelogram footprints (a grid or per-pixel "
                        "Jacobians); for corner footprints use trovel.render with the shape "
                        "(a Disc, a Polygon, a Strut's rectangle ...)")
    return pix


# The pixel sets whose checked reading they hold themselves (set on the first
# call: grid.py imports this module, so it cannot be imported at the top).
_trusted_pixels: tuple[type, ...] = ()


def pixel_set(pixels: Any) -> PixelSet:
    """The one reader of pixel sets, for every capability.  Whatever a
    subclass's code does, it runs here, first; the values it gave are then
    checked, and only those are used.  Call it after every other argument is
    converted.  A lazy grid made by `Pixels.grid` holds a map checked when it
    was made and immutable since, and the footprints of `Pixels.from_arrays`
    and `Pixels.from_corners` hold arrays checked when they were made,
    private and read-only since: they are used as they are."""
    global _trusted_pixels
    if type(pixels) in _trusted_pixels:
        return pixels._checked_set()   # type: ignore[no-any-return]
    from .grid import Pixels, _ArrayPixels, _CornerPixels, _GridPixels

    _trusted_pixels = (_GridPixels, _CornerPixels, _ArrayPixels)
    if type(pixels) in _trusted_pixels:
        return pixels._checked_set()   # type: ignore[no-any-return]
    instance("pixels", pixels, Pixels)
    shape = plain_shape(pixels.shape)
    raw_affine = pixels.affine
    raw_corners = pixels.corners() if raw_affine is None else None
    arrays = None if raw_affine is not None or raw_corners is not None else (
        pixels._native_arrays())
    if raw_corners is not None:
        if not (isinstance(raw_corners, tuple) and len(raw_corners) == 2):
            raise TypeError("pixels.corners() must give a pair of arrays (x, y)")
        x, y = corner_arrays(array("pixels.corners()[0]", raw_corners[0]),
                             array("pixels.corners()[1]", raw_corners[1]),
                             names=("pixels.corners()[0]", "pixels.corners()[1]"))
        if len(shape) != 2 or (shape[0] + 1, shape[1] + 1) != x.shape:
            raise ValueError(f"pixels.shape {shape} does not match its corners {x.shape}")
        return corner_set((shape[0], shape[1]), x, y)
    if raw_affine is not None:
        affine = plain_affine(raw_affine)
        if len(shape) != 2:
            raise ValueError("a pixel grid must have a 2-d shape")
        grid_map((shape[0], shape[1]), affine)
        return PixelSet(shape, grid_window(affine, (0, shape[0]), (0, shape[1])), affine, ())
    checked = native_arrays(arrays, math.prod(shape))
    return PixelSet(shape, footprint_arrays_of(checked), None, checked)


def not_both(name: str, value: Any, other_name: str, other: Any) -> None:
    """Two arguments that say the same thing another way: one at most."""
    if value is not None and other is not None:
        raise TypeError(f"give {name} or {other_name}, not both")


def one_shape(name: str, shapes: list[tuple[int, ...]]) -> None:
    """The pixel sets of a batch: at least one, all of one shape."""
    if not shapes:
        raise ValueError(f"{name} must hold at least one pixel set")
    if len(set(shapes)) != 1:
        raise ValueError(f"every pixel set of {name} must have one shape, "
                         f"got {sorted(set(shapes))}")


def threads(value: Any) -> int:
    """A thread count: a positive 32-bit int (the drivers use at most 64)."""
    if type(value) is int and 1 <= value <= INT32_MAX:   # the common case, at once
        return value
    return int32("threads", value, minimum=1)


# --- shapes ------------------------------------------------------------------------------

def native_pair(line: tuple[float, float, float, float]) -> tuple[float, float, float, float]:
    """An edge line (x, y, dx, dy) as `_trovel`'s callables take it: the
    point and the pair (a, b), the direction read y part first."""
    x, y, dx, dy = line
    return x, y, dy, dx


def strut_sides(s1: float, s2: float) -> tuple[float, float]:
    """The side of each of a strut's edge points against the other edge line
    (s1: point2 against line 1), refused when they orient nothing."""
    if not (math.isfinite(s1) and math.isfinite(s2)):
        raise ValueError("point1 and point2 lie too far apart to orient the strut")
    if s1 == 0.0:
        raise ValueError("point2 lies on edge line 1 (point1, direction1): each edge "
                         "line must pass beside the other line's point")
    if s2 == 0.0:
        raise ValueError("point1 lies on edge line 2 (point2, direction2): each edge "
                         "line must pass beside the other line's point")
    return s1, s2


def strut_edges_apart(p1: tuple[float, float], p2: tuple[float, float], width: float,
                      center: tuple[float, float]) -> None:
    """The two edge points of a strut made across its axis: finite and apart."""
    if not all(math.isfinite(v) for v in (*p1, *p2)):
        raise ValueError("center and width put the strut's edges beyond the range of doubles")
    if p1 == p2:
        raise ValueError(f"width {width} is lost to rounding at center {center}: "
                         "the strut's two edges coincide")


def native_size(name: str, size: int) -> int:
    """A count of values that one native call indexes with 32-bit ints."""
    if size > INT32_MAX:
        raise ValueError(f"{name} is too large for one native call")
    return size


def fraction(name: str, value: float) -> float:
    """Step 2 for a number from `finite` that must lie in [0, 1)."""
    if not 0.0 <= value < 1.0:
        raise ValueError(f"{name} must lie in [0, 1), got {value}")
    return value


def polygon_area(name: str, twice_area: float) -> float:
    """Twice a polygon's signed area from its vertices, refused at zero."""
    if twice_area == 0.0:
        raise ValueError(f"{name} must enclose a positive area")
    return twice_area


def polygon_vertices(name: str, v: FloatArray) -> FloatArray:
    """Finite vertices from `finite_array`: shape (n, 2), n >= 3."""
    if v.ndim != 2 or v.shape[1] != 2:
        raise ValueError(f"{name} must have shape (n, 2), got {v.shape}")
    if v.shape[0] < 3:
        raise ValueError(f"{name} must hold at least 3 vertices, got {v.shape[0]}")
    return v


def simple_polygon(name: str, v: FloatArray) -> None:
    """Refuse repeated consecutive vertices and edges that meet anywhere but
    at the vertex two neighbours share (`v` float64 C-ordered (n, 2))."""
    kind, i, j = _kernels.polygon_fault(np.ascontiguousarray(v, dtype=np.float64))
    if kind == 1:
        raise ValueError(f"{name} must not repeat a vertex consecutively")
    if kind == 2:
        raise ValueError(f"{name} must be a simple polygon: edges {i} and {j} meet")
    if kind == 3:   # neighbours meet only at their shared vertex: no fold back along a line
        raise ValueError(f"{name} must be a simple polygon: it folds back at vertex {i}")


# --- photometry --------------------------------------------------------------------------

def image_values(name: str, value: Any, *, like: AnyArray | None = None) -> AnyArray:
    """A 2-d image of real numbers (of the shape and dtype of the image
    `like`, when given), as C-contiguous aligned float32 or float64: float32
    is read as it is, other dtypes become float64.  Not-finite values are
    allowed: the sums leave them out."""
    arr = base(name, array(name, value))
    if arr.ndim != 2:
        raise ValueError(f"{name} must be a 2-d image, got shape {arr.shape}")
    if like is not None and arr.shape != like.shape:
        raise ValueError(f"{name} must have the image's shape {like.shape}, got {arr.shape}")
    dtype = like.dtype if like is not None else (np.float32 if arr.dtype == np.float32
                                                 else np.float64)
    if not (arr.dtype == dtype and arr.flags.c_contiguous and arr.flags.aligned):
        arr = np.require(arr, dtype=dtype, requirements=["C", "A"])
    return arr


def image_mask(name: str, value: Any, shape: tuple[int, ...]) -> AnyArray:
    """A boolean mask of the image's shape, C-contiguous."""
    refuse_masked(name, value)
    arr = np.ndarray.view(value, np.ndarray) if isinstance(value, np.ndarray) else np.asarray(value)
    if arr.dtype != np.bool_:
        raise TypeError(f"{name} must be a boolean array, got dtype {arr.dtype}")
    if arr.shape != shape:
        raise ValueError(f"{name} must have the image's shape {shape}, got {arr.shape}")
    return np.require(arr, requirements=["C", "A"])


def same_shape(name: str, shape: tuple[int, ...], other: str, want: tuple[int, ...]) -> None:
    if shape != want:
        raise ValueError(f"{name} must have the shape of {other} {want}, got {shape}")


def apertures(value: Any, positions: Any) -> tuple[list[Any], FloatArray]:
    """The apertures of photometry: one shape and its (n, 2) finite offsets,
    or, without positions, a list of shapes (offsets empty)."""
    from .shapes import Shape

    if positions is None:
        shapes = [value] if isinstance(value, Shape) else list(value) if isinstance(
            value, (list, tuple)) else None
        if shapes is None or not all(isinstance(s, Shape) for s in shapes):
            raise TypeError("apertures must be a trovel Shape or a sequence of them")
        if not shapes:
            raise ValueError("apertures must hold at least one shape")
        return shapes, np.empty((0, 2))
    if not isinstance(value, Shape):
        raise ValueError("with positions, apertures must be one trovel Shape, placed at each")
    pos = contiguous("positions", points("positions", array("positions", positions)),
                     finite=True)
    return [value], pos


# --- ellipses, transformed shapes and annuli ---------------------------------------------

# The narrowest ratio of an ellipse's semi-axes: far inside the range where
# the native map's inverse (entries ~ 1 / b) and determinant stay normal.
_NARROWEST_ELLIPSE = 2.0**-600


def ellipse_axes(a: float, b: float) -> tuple[float, float]:
    """Step 2 for the semi-axes from `finite`: both positive, their ratio
    within the range the renderer inverts."""
    positive("a", a)
    positive("b", b)
    if min(a, b) < _NARROWEST_ELLIPSE * max(a, b):
        raise ValueError(f"the semi-axes a={a} and b={b} are too far apart to render")
    return a, b


def transform_matrix(name: str, value: Any) -> tuple[tuple[float, float], tuple[float, float]]:
    """A finite, non-singular 2x2 matrix ((m00, m01), (m10, m11)); the
    determinant is taken on the matrix scaled by a power of two, so that
    matrices of any finite size are judged alike."""
    m = finite_array(name, value)
    if m.shape != (2, 2):
        raise ValueError(f"{name} must be a 2x2 matrix, got shape {m.shape}")
    biggest = float(np.max(np.abs(m)))
    e = math.frexp(biggest)[1] if biggest > 0.0 else 0
    s = np.ldexp(m, -e)
    if not float(s[0, 0] * s[1, 1] - s[0, 1] * s[1, 0]) != 0.0:
        raise ValueError(f"{name} must be non-singular, got {m.tolist()}")
    return ((float(m[0, 0]), float(m[0, 1])), (float(m[1, 0]), float(m[1, 1])))


def nonzero_factors(name: str, factors: tuple[float, float]) -> tuple[float, float]:
    """Step 2 for the factors of a scaling from `number_or_pair`: neither zero."""
    if factors[0] == 0.0 or factors[1] == 0.0:
        raise ValueError(f"{name} must not be zero, got {factors}")
    return factors


def inner_within_outer(inner_name: str, inner: float, outer_name: str, outer: float) -> None:
    """An annulus's inner size below its outer one."""
    if not inner < outer:
        raise ValueError(f"{inner_name} must be less than {outer_name}, got {inner} >= {outer}")


def stadium_sides(width: float, length: float) -> None:
    """A stadium's overall length no shorter than its width (its two round ends)."""
    if not length >= width:
        raise ValueError(f"a stadium's length ({length}) must be at least its width ({width})")
