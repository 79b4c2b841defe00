"""What the test files share: addresses and exact inputs for the raw module,
bit-for-bit comparison, exact (rational) clipping and area references, the
guarded buffers of the clipper tests, and the forked child that turns a
crash into one failed test."""
import os
import re
import traceback
import warnings
from fractions import Fraction

import numpy as np
import pytest

import _trovel
from trovel.clip import CIRCLE_FAN, STRUT_FAN  # records per input triangle


def addr(a: np.ndarray) -> int:
    """The address of a C-contiguous array, as the raw module takes it."""
    assert a.flags.c_contiguous
    return a.ctypes.data


def f64(*values) -> np.ndarray:
    return np.ascontiguousarray(np.array(values, dtype=np.float64).ravel())


# --- running a call where a crash is a test failure ---------------------------

def in_child(fn) -> None:
    """Run fn() in a forked child process.  A crash there (a signal, or a
    sanitizer's abort) fails the calling test instead of ending the run; an
    exception in fn fails it with fn's traceback."""
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with idle BLAS threads
        pid = os.fork()
    if pid == 0:  # the child: report and leave without running pytest's exit code
        os.close(read)
        status = 0
        try:
            fn()
        except BaseException:
            os.write(write, traceback.format_exc().encode())
            status = 1
        os._exit(status)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        report = pipe.read().decode(errors="replace")
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        pytest.fail(f"the call crashed with signal {os.WTERMSIG(status)}")
    if os.WEXITSTATUS(status) != 0:
        pytest.fail(report or f"the child exited with status {os.WEXITSTATUS(status)}")


def raises(error, pattern, call):
    """A check that call() raises `error` with a message matching `pattern`
    (for `in_child`)."""
    def check():
        with pytest.raises(error) as info:
            call()
        assert re.search(pattern, str(info.value)), str(info.value)
    return check


# --- exact references: polygons clipped by half-planes, in rationals ----------------

def polygon_area(poly):
    """The unsigned area of a closed polygon of (x, y) vertices: exact when
    the coordinates are Fractions."""
    if len(poly) < 3:
        return 0
    return abs(sum(p[0] * q[1] - q[0] * p[1] for p, q in zip(poly[-1:] + poly[:-1], poly))) / 2


def clip_polygon(poly, side):
    """The part of a convex polygon where side(point) <= 0 (side affine):
    exact with Fraction vertices."""
    out = []
    for p, q in zip(poly[-1:] + poly[:-1], poly):
        sp, sq = side(p), side(q)
        if (sp < 0) != (sq < 0) and sp != sq:
            t = sp / (sp - sq)
            out.append((p[0] + (q[0] - p[0]) * t, p[1] + (q[1] - p[1]) * t))
        if sq <= 0:
            out.append(q)
    return out


def box_overlap(points, x_lo, x_hi, y_lo, y_hi):
    """The exact area of a convex polygon of float (x, y) vertices inside
    an axis-aligned rectangle, as a Fraction."""
    poly = [(Fraction(x), Fraction(y)) for x, y in points]
    for side in (lambda p: x_lo - p[0], lambda p: p[0] - x_hi,
                 lambda p: y_lo - p[1], lambda p: p[1] - y_hi):
        poly = clip_polygon(poly, side)
    return polygon_area(poly)


def convex_overlap(a, *others):
    """The exact area of convex polygon `a` inside every one of the convex
    polygons `others`, each given counter-clockwise by float (x, y)
    vertices, as a Fraction."""
    poly = [(Fraction(x), Fraction(y)) for x, y in a]
    for b in others:
        edges = [(Fraction(x), Fraction(y)) for x, y in b]
        for (px, py), (qx, qy) in zip(edges[-1:] + edges[:-1], edges):
            # keep the left of p -> q, where cross(q - p, v - p) >= 0
            poly = clip_polygon(poly, lambda v, px=px, py=py, qx=qx, qy=qy:
                                (qy - py) * (v[0] - px) - (qx - px) * (v[1] - py))
    return polygon_area(poly)


def triangle_area(t):
    """The area of a triangle given as six floats (x0, y0, x1, y1, x2, y2)."""
    x0, y0, x1, y1, x2, y2 = t
    return abs((x1 - x0) * (y2 - y0) - (x2 - x0) * (y1 - y0)) * 0.5


# --- scaffolding for the tests of the native callables ------------------------------

class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def bits(a) -> np.ndarray:
    """The float64 values of `a` as their bit patterns, to compare exactly."""
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def same_bits(a, b) -> bool:
    """The same shape, dtype and bytes."""
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def exact(values) -> np.ndarray:
    """An input array of exactly these float64 values, in its own allocation."""
    return np.array(values, dtype=np.float64).reshape(-1).copy()


def columns(rows, width=None) -> list:
    """Per-pixel tuples -> one exactly sized float64 array per field."""
    width = len(rows[0]) if width is None else width
    return [exact([r[k] for r in rows]) for k in range(width)]


GUARD_BYTES = 64
GUARD = 0xA5  # a byte that no routine writes on its own: not 0 or 1, and as a
              # double or int32 pattern a value no result takes


class Guarded:
    """n elements of `dtype` between two guard zones; the elements themselves
    start as the guard pattern unless `fill` is given."""

    def __init__(self, n, dtype=np.float64, fill=None):
        self.dtype = np.dtype(dtype)
        self.raw = np.full(2 * GUARD_BYTES + n * self.dtype.itemsize, GUARD, np.uint8)
        self.inner = self.raw[GUARD_BYTES:GUARD_BYTES + n * self.dtype.itemsize].view(self.dtype)
        if fill is not None:
            self.inner[...] = fill
        self.before = self.inner.copy()

    @property
    def address(self):
        return self.raw.ctypes.data + GUARD_BYTES

    def check_guards(self):
        assert (self.raw[:GUARD_BYTES] == GUARD).all(), "write before the output"
        assert (self.raw[-GUARD_BYTES:] == GUARD).all(), "write past the output"

    def unchanged(self, sl=slice(None)):
        return same_bits(self.inner[sl], self.before[sl])

    def all_written(self):
        pattern = bytes([GUARD]) * self.dtype.itemsize
        return all(e.tobytes() != pattern for e in self.inner)


def run_clipper(clipper, tris, shape, count=None, counters=(0, 0)):
    """Calls a clipper (list, count, *shape, out, dropped, clipped) with a guarded
    `out` of room for its fan per triangle and guarded counters starting at
    `counters`; checks that nothing outside the records it reports and no input
    was written, and returns (records, +dropped, +clipped)."""
    fan = CIRCLE_FAN if clipper is _trovel.clip_triangles_to_circle else STRUT_FAN
    flat = exact(tris) if len(tris) else np.empty(0)
    count = len(flat) // 6 if count is None else count
    records = max(count, 0) * fan
    before = flat.copy()
    out = Guarded(6 * records)
    dropped, clipped = (Guarded(1, np.int32, c) for c in counters)
    k = clipper(flat.ctypes.data, count, *shape, out.address, dropped.address, clipped.address)
    for g in (out, dropped, clipped):
        g.check_guards()
    assert same_bits(flat, before), "the input list was written"
    assert 0 <= k <= records
    assert out.unchanged(slice(6 * k, None)), "a record written past the count returned"
    # the counters wrap as int32; each grows by at most one per triangle
    d_drop = (int(dropped.inner[0]) - counters[0]) % 2**32
    d_clip = (int(clipped.inner[0]) - counters[1]) % 2**32
    assert d_drop + d_clip <= max(count, 0)
    return out.inner[: 6 * k].reshape(-1, 6).copy(), d_drop, d_clip
