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
   `points`, `positions`, `pairs_per_item`, `footprint_arrays`, `triangles`:
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
    v = real(name, value)
    if not math.isfinite(v):
        raise ValueError(f"{name} must be finite, got {v}")
    return v


def pair(name: str, value: Any, *, nonzero: bool = False) -> tuple[float, float]:
    """A point or a direction: two finite numbers, as Python floats."""
    if isinstance(value, (tuple, list)) and len(value) == 2 and all(
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


def footprint_arrays(positions: AnyArray, centres: AnyArray,
                     jacobians: AnyArray) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Step 2 for the arrays from `array` that make per-pixel footprints:
    positions and centres (..., 2), Jacobians (..., 2, 2) or one (2, 2), all
    shapes checked before any copy; finite, and every Jacobian non-singular
    with a finite determinant."""
    pos, cen, jac = base("positions", positions), base("centres", centres), base("jacobians",
                                                                                   jacobians)
    if pos.ndim < 1 or pos.shape[-1] != 2:
        raise ValueError(f"positions must have shape (..., 2), got {pos.shape}")
    if cen.shape != pos.shape:
        raise ValueError(f"centres must have the shape of positions {pos.shape}, got {cen.shape}")
    each = pos.shape[:-1] + (2, 2)
    if jac.shape not in ((2, 2), each):
        raise ValueError(f"jacobians must have shape (2, 2) or {each}, got {jac.shape}")
    pos = contiguous("positions", pos, finite=True)
    cen = contiguous("centres", cen, finite=True)
    jac = contiguous("jacobians", jac, finite=True)
    with np.errstate(over="ignore", invalid="ignore"):
        det = jac[..., 0, 0] * jac[..., 1, 1] - jac[..., 0, 1] * jac[..., 1, 0]
    if not (np.isfinite(det).all() and (det != 0.0).all()):
        raise ValueError("jacobians must be non-singular, with a finite determinant")
    return pos, cen, jac


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
    if type(arrays) is not tuple or len(arrays) not in (6, 8):
        raise TypeError("pixels gave no footprint arrays")
    out = []
    for arr in arrays:
        if not isinstance(arr, np.ndarray):
            raise TypeError("pixels must hold numpy arrays")
        base = np.ndarray.view(arr, np.ndarray)
        if not (base.dtype == np.float64 and base.shape == (n,) and base.flags.c_contiguous
                and base.flags.aligned):
            raise ValueError(f"pixels were changed after construction: an array no longer "
                             f"holds {n} contiguous float64")
        out.append(base)
    return tuple(out)


def plain_shape(shape: Any) -> tuple[int, ...]:
    if type(shape) is not tuple or not all(type(k) is int and k >= 0 for k in shape):
        raise TypeError("pixels.shape must be a tuple of non-negative ints")
    return shape


def plain_affine(affine: Any) -> Affine:
    def plain(v: Any, n: int) -> tuple[Any, ...]:
        if type(v) is not tuple or len(v) != n:
            raise TypeError("pixels.affine must be ((x0, y0), ((m00, m01), (m10, m11))) of floats")
        return v
    origin, m = plain(affine, 2)
    (x0, y0), (row0, row1) = plain(origin, 2), plain(m, 2)
    (m00, m01), (m10, m11) = plain(row0, 2), plain(row1, 2)
    vals = (x0, y0, m00, m01, m10, m11)
    if not all(type(v) is float for v in vals):
        raise TypeError("pixels.affine must be ((x0, y0), ((m00, m01), (m10, m11))) of floats")
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
