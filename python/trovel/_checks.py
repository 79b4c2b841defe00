"""Argument checks shared by the public functions.

Everything that reaches the native module passes through here first: shapes
and lengths are matched before any copy is made (so a huge broadcast view is
refused without being materialised), then arrays are converted to
C-contiguous float64.
"""
from __future__ import annotations

import numbers
from typing import Any

import numpy as np

INT32_MAX = 2**31 - 1


def _real_array(name: str, value: Any) -> np.ndarray:
    try:
        arr = np.asarray(value)
    except Exception as exc:  # ragged lists and the like
        raise TypeError(f"{name} must be an array of real numbers: {exc}") from None
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, got dtype {arr.dtype}")
    return arr


def float_array(name: str, value: Any) -> np.ndarray:
    """`value` as a C-contiguous float64 array (copied only when needed)."""
    return np.ascontiguousarray(_real_array(name, value), dtype=np.float64)


def finite_array(name: str, value: Any) -> np.ndarray:
    arr = float_array(name, value)
    if not np.isfinite(arr).all():
        raise ValueError(f"{name} must be finite")
    return arr


def real(name: str, value: Any) -> float:
    if not isinstance(value, numbers.Real) or isinstance(value, bool):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return float(value)


def finite(name: str, value: Any) -> float:
    v = real(name, value)
    if not np.isfinite(v):
        raise ValueError(f"{name} must be finite, got {v}")
    return v


def pair(name: str, value: Any, *, nonzero: bool = False) -> tuple[float, float]:
    """A point or a direction: two finite numbers."""
    arr = _real_array(name, value)
    if arr.shape != (2,):
        raise ValueError(f"{name} must be a pair of numbers (x, y), got shape {arr.shape}")
    x, y = (float(v) for v in arr)
    if not (np.isfinite(x) and np.isfinite(y)):
        raise ValueError(f"{name} must be finite, got ({x}, {y})")
    if nonzero and x == 0.0 and y == 0.0:
        raise ValueError(f"{name} must not be the zero vector")
    return x, y


def int32(name: str, value: Any, *, minimum: int = -INT32_MAX - 1) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    v = int(value)
    if not minimum <= v <= INT32_MAX:
        raise ValueError(f"{name} must lie in {minimum} .. {INT32_MAX}, got {v}")
    return v


def triangles(name: str, value: Any, *, fan: int = 1) -> tuple[np.ndarray, bool]:
    """Triangles given as (n, 3, 2) or (n, 6): the (n, 6) float64 records and
    whether the caller used the (n, 3, 2) layout.  The native side counts the
    triangles in a 32-bit int, and so the up to `fan` triangles that each
    input triangle becomes; the count is checked before anything is copied."""
    arr = _real_array(name, value)
    if arr.ndim == 3 and arr.shape[1:] == (3, 2):
        nested = True
    elif arr.ndim == 2 and arr.shape[1] == 6:
        nested = False
    else:
        raise ValueError(f"{name} must have shape (n, 3, 2) or (n, 6), got {arr.shape}")
    if arr.shape[0] * fan > INT32_MAX:
        raise ValueError(f"{name} holds {arr.shape[0]} triangles; at most {INT32_MAX // fan} "
                         "fit one native call")
    return np.ascontiguousarray(arr, dtype=np.float64).reshape(-1, 6), nested


def per_item(name: str, value: Any, n: int) -> np.ndarray:
    """A scalar or an array of n numbers, as n contiguous float64."""
    arr = _real_array(name, value)
    if arr.ndim == 0:
        return np.full(n, float(arr), dtype=np.float64)
    if arr.shape != (n,):
        raise ValueError(f"{name} must be a number or have shape ({n},), got {arr.shape}")
    return np.ascontiguousarray(arr, dtype=np.float64)


def output(name: str, out: Any, shape: tuple[int, ...], dtype: Any) -> np.ndarray:
    """A caller's output array: exactly the dtype and shape, C-contiguous and writable."""
    if not isinstance(out, np.ndarray):
        raise TypeError(f"{name} must be a numpy array, got {type(out).__name__}")
    if out.dtype != np.dtype(dtype):
        raise TypeError(f"{name} must have dtype {np.dtype(dtype)}, got {out.dtype}")
    if out.shape != tuple(shape):
        raise ValueError(f"{name} must have shape {tuple(shape)}, got {out.shape}")
    if not out.flags.c_contiguous:
        raise ValueError(f"{name} must be C-contiguous")
    if not out.flags.writeable:
        raise ValueError(f"{name} must be writable")
    return out


def disjoint(name: str, out: np.ndarray, *inputs: np.ndarray) -> None:
    for arr in inputs:
        if np.may_share_memory(out, arr):
            raise ValueError(f"{name} must not share memory with the inputs")


def address(arr: np.ndarray) -> int:
    return arr.ctypes.data
