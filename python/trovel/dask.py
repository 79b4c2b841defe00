"""trovel's results as Dask arrays: a lazy grid in tiles, a mesh in
partitions, many frames at once.  Needs the optional extra:
``pip install 'trovel[dask]'``.

Every function here checks its arguments at once, like its in-memory
namesake, and returns a lazy array; nothing is computed until ``.compute()``
(or ``.to_zarr()``, ``dask.compute``, ...).

- Over a lazy grid (`Pixels.grid`), the result is chunked in tiles.  A tile's
  task holds only the grid's map and its own row and column ranges; it
  builds its footprints itself and runs the same block function as the
  in-memory call, so the tiles put together are that call's result bit for
  bit, whatever the chunks.
- Over per-pixel footprints (`Pixels.from_arrays`) the result is one chunk,
  computed by the in-memory function.
- A list of pixel sets is a batch of frames: the result gains a leading axis,
  one frame per index, each frame chunked as above.

Which scheduler: `render`, the coverage functions, `deposit_triangles` and
`photometry` run native drivers that release the interpreter lock, so Dask's
default threaded scheduler runs their tiles and partitions on every core;
worker processes (``dask.distributed.Client``) spread them over machines.

Examples
--------
>>> import trovel, trovel.dask
>>> g = trovel.Pixels.grid((5, 7), center=(0.0, 0.0))
>>> lazy = trovel.dask.render(trovel.Disc((0, 0), 2.5), g, chunks=(2, 3))
>>> lazy.chunks
((2, 2, 1), (3, 3, 1))
>>> bool((lazy.compute() == trovel.render(trovel.Disc((0, 0), 2.5), g)).all())
True
"""
from __future__ import annotations

import functools
import math
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

try:
    import dask.array as da
    from dask.base import tokenize
    from dask.delayed import delayed
except ImportError:  # pragma: no cover - depends on the environment
    raise ImportError("trovel.dask needs the optional packages dask and distributed: "
                      "pip install 'trovel[dask]'") from None

from . import _checks as chk
from . import area, coverage
from .render import render_grid_tile
from .render import render as _render_pixels
from ._checks import FloatArray
from .area import Deposit
from .grid import Pixels, _ArrayPixels, _CornerPixels
from .shapes import Description, Shape, Strut

__all__ = ["circle_coverage", "deposit_triangles", "edge_coverage", "photometry", "render",
           "strut_coverage"]

Chunks = Any  # what dask takes: "auto", an int, a pair, or explicit block sizes
Frames = Pixels | Sequence[Pixels]


# --- frames: what a task needs of a pixel set --------------------------------------------

class _ReadPixels:
    """One pixel set, read and checked once in the client: a grid's shape and
    map, or per-pixel arrays (private copies the caller cannot reach)."""

    def __init__(self, pixels: Any) -> None:
        pix = chk.pixel_set(pixels)
        self.shape, self.affine = pix.shape, pix.affine
        self.arrays = None if pix.affine is not None else tuple(a.copy() for a in pix.arrays)


def _frames(pixels: Frames) -> tuple[list[_ReadPixels], bool]:
    """The frames and whether a batch (a list or tuple of pixel sets) was given."""
    if isinstance(pixels, (list, tuple)):
        frames = [_ReadPixels(p) for p in pixels]
        chk.one_shape("pixels", [f.shape for f in frames])
        return frames, True
    return [_ReadPixels(pixels)], False


def _on_pixels(function: Callable[[Pixels], FloatArray], shape: tuple[int, ...],
               arrays: tuple[FloatArray, ...]) -> FloatArray:
    # arrays that came through pickle may sit at any offset: aligned copies
    aligned = [np.require(a, np.float64, ["C", "A"]) for a in arrays]
    if len(aligned) == 2:   # the corners of corner footprints, checked in the client
        return function(_CornerPixels._owning(aligned[0], aligned[1]))
    return function(_ArrayPixels._owning(aligned, shape))


def _in_frame(function: Callable[..., FloatArray], *args: Any) -> FloatArray:
    """A block of a batch: one frame along the leading axis."""
    return function(*args)[np.newaxis]


def _lazy(label: str, frames: list[_ReadPixels], batch: bool, chunks: Chunks, key: Any,
          tile: Callable[..., Callable[[tuple[int, int], tuple[int, int]], FloatArray]],
          whole: Callable[[Pixels], FloatArray]) -> da.Array:
    """The dask array of frames: a grid frame's tiles by `tile(frame)(rows,
    cols)`, a per-pixel frame whole by `whole(pixels)`."""
    shape = frames[0].shape
    if all(f.affine is not None for f in frames):
        tiles = da.core.normalize_chunks(  # type: ignore[no-untyped-call]
            chunks, shape, dtype=np.float64)
    else:  # per-pixel footprints come whole, and so does a grid batched with them
        tiles = tuple((n,) for n in shape)
    name = f"trovel-{label}-" + tokenize(key, tiles, [(f.shape, f.affine, f.arrays)
                                                        for f in frames])
    bounds = [np.concatenate([[0], np.cumsum(c, dtype=np.int64)]).tolist() for c in tiles]
    graph: dict[Any, Any] = {}
    call: tuple[Any, ...] = (_in_frame,) if batch else ()
    for n, f in enumerate(frames):
        prefix = (name, n) if batch else (name,)
        if f.affine is None:
            graph[prefix + (0,) * len(shape)] = call + (_on_pixels, whole, f.shape, f.arrays)
            continue
        run = tile(f)
        (rb, cb) = bounds
        for i in range(len(rb) - 1):
            for j in range(len(cb) - 1):
                graph[prefix + (i, j)] = call + (run, (rb[i], rb[i + 1]), (cb[j], cb[j + 1]))
    out_chunks = (((1,) * len(frames),) if batch else ()) + tiles
    meta = np.empty((0,) * len(out_chunks), dtype=np.float64)
    return da.Array(graph, name, out_chunks, meta=meta)  # type: ignore[no-untyped-call]


# --- the exact renderer ------------------------------------------------------------------

class _Flat(Shape):
    """A shape already in the native kernel's flat form: what a task is
    given, so that no depth of combination has to be pickled."""

    __slots__ = ("_description",)
    _description: Description

    def __init__(self, description: Description) -> None:
        self._set(_description=description)

    def __reduce__(self) -> tuple[Any, ...]:
        return _Flat, (self._description,)

    def description(self) -> Description:
        return self._description


def _render_tile(shape: Shape, affine: Any, threads: int, rows: tuple[int, int],
                 cols: tuple[int, int]) -> FloatArray:
    return render_grid_tile(shape, affine, rows, cols, threads=threads)


def render(shape: Shape, pixels: Frames, *, chunks: Chunks = "auto",
           threads: int = 1) -> da.Array:
    """`trovel.render` as a dask array, bit for bit the same result.

    ``pixels`` is a pixel set or a list of them (one frame each: the result
    has shape ``(len(pixels),) + shape``).  A lazy grid is rendered in tiles
    of ``chunks`` (any form dask takes, sizes that need not divide the grid);
    ``threads`` is each task's own thread count.  The renderer releases the
    interpreter lock: the default threaded scheduler suffices.
    """
    flat = _Flat(chk.instance("shape", shape, Shape).description())
    nthreads = chk.threads(threads)
    frames, batch = _frames(pixels)
    return _lazy("render", frames, batch, chunks, (flat.description(), nthreads),
                 lambda f: functools.partial(_render_tile, flat, f.affine, nthreads),
                 functools.partial(_render_pixels, flat))


# --- coverage ----------------------------------------------------------------------------

def _coverage(label: str, pixels: Frames, chunks: Chunks, args: tuple[float, ...],
              function: Callable[..., FloatArray], public_args: tuple[Any, ...]) -> da.Array:
    """A coverage's dask array: a grid frame's tiles by the driver `label`
    with its checked `args`, a per-pixel frame whole by `function`."""
    frames, batch = _frames(pixels)
    return _lazy(label, frames, batch, chunks, args,
                 lambda f: functools.partial(coverage.grid_tile, label, args, f.affine),
                 functools.partial(_pixels_first, function, public_args))


def _pixels_first(function: Callable[..., FloatArray], args: tuple[Any, ...],
                  pixels: Pixels) -> FloatArray:
    return function(pixels, *args)


def circle_coverage(pixels: Frames, center: npt.ArrayLike, radius: float, *,
                    chunks: Chunks = "auto") -> da.Array:
    """`trovel.circle_coverage` as a dask array, bit for bit the same result
    (``pixels`` and ``chunks`` as for `render`)."""
    cx, cy = chk.pair("center", center)
    r = chk.nonnegative("radius", chk.finite("radius", radius))
    return _coverage("circle", pixels, chunks, (cx, cy, r), coverage.circle_coverage,
                     ((cx, cy), r))


def strut_coverage(pixels: Frames, strut: Strut, *, chunks: Chunks = "auto") -> da.Array:
    """`trovel.strut_coverage` as a dask array, bit for bit the same result
    (``pixels`` and ``chunks`` as for `render`)."""
    line1, line2, center, length = chk.instance("strut", strut, Strut).checked()
    return _coverage("strut", pixels, chunks, (*line1, *line2, *center, length),
                     coverage.strut_coverage, (strut,))


def edge_coverage(pixels: Frames, point: npt.ArrayLike, direction: npt.ArrayLike, *,
                  chunks: Chunks = "auto") -> da.Array:
    """`trovel.edge_coverage` with one line for all pixels, as a dask array,
    bit for bit the same result (``pixels`` and ``chunks`` as for `render`)."""
    x0, y0 = chk.pair("point", point)
    dx, dy = chk.pair("direction", direction, nonzero=True)
    return _coverage("edge", pixels, chunks, (x0, y0, dx, dy), coverage.edge_coverage,
                     ((x0, y0), (dx, dy)))


# --- photometry --------------------------------------------------------------------------

def _photometry_block(image: Any, error: Any, mask: Any, shapes: list[Shape],
                      offsets: FloatArray, origin: tuple[int, int], affine: Any,
                      threads: int) -> FloatArray:
    """One block of the mosaic (with its halo), whose pixel [0, 0] is the
    mosaic's pixel `origin` (row, column): photometry of its sources, as
    rows (sum, error2, area, partial)."""
    (x0, y0), ((m00, m01), (m10, m11)) = affine
    r, c = origin
    grid = Pixels.grid(image.shape, origin=((m00 * c + m01 * r) + x0, (m10 * c + m11 * r) + y0),
                       matrix=((m00, m01), (m10, m11)))
    from .photometry import photometry as measure

    if len(shapes) == 1 and offsets.size:
        got = measure(image, shapes[0], offsets, pixels=grid, error=error, mask=mask,
                      threads=threads)
    else:
        got = measure(image, shapes, pixels=grid, error=error, mask=mask, threads=threads)
    error2 = np.zeros_like(got.sum) if got.sum_error is None else got.sum_error ** 2
    return np.stack([got.sum, error2, got.area, got.partial.astype(np.float64)])


def _reach_in_pixels(shapes: list[Shape], matrix: FloatArray) -> tuple[int, int]:
    """How far (rows, columns) a source's window reaches from its centre: the
    largest half-extent of the apertures' boxes in grid coordinates, and two
    pixels more."""
    inverse = np.linalg.inv(matrix)
    reach = np.zeros(2)
    for shape in shapes:
        (x0, y0, x1, y1) = shape.box()
        half = np.abs(inverse) @ np.array([(x1 - x0) / 2, (y1 - y0) / 2])
        reach = np.maximum(reach, half)
    return int(math.ceil(reach[1])) + 2, int(math.ceil(reach[0])) + 2


def photometry(image: Any, apertures: Shape | Sequence[Shape], positions: Any = None, *,
               pixels: Pixels | None = None, error: Any = None, mask: Any = None,
               threads: int = 1) -> Any:
    """`trovel.photometry` over a dask array image, for mosaics larger than
    memory: each chunk, with a halo as wide as an aperture's window, measures
    the sources whose windows are centred in it, so no task holds more than
    a chunk and its halo.  The sums equal the in-memory call's within the
    rounding of a grid moved to each chunk.  ``pixels`` must be a lazy grid
    (default ``Pixels.grid(image.shape)``); ``error`` and ``mask`` may be
    dask arrays too.  Returns a `trovel.Photometry` of dask arrays.
    """
    from .photometry import Photometry

    img = image if isinstance(image, da.Array) else da.from_array(image)  # type: ignore[no-untyped-call]
    if img.ndim != 2:
        raise ValueError(f"image must be a 2-d image, got shape {img.shape}")
    shapes, offsets = chk.apertures(apertures, positions)
    nthreads = chk.threads(threads)
    pix = chk.pixel_set(Pixels.grid(img.shape) if pixels is None else pixels)
    chk.same_shape("pixels", pix.shape, "image", img.shape)
    if pix.affine is None:
        raise TypeError("trovel.dask.photometry takes a lazy grid (Pixels.grid) as pixels")
    (x0, y0), matrix = pix.affine
    m = np.array(matrix)
    depth = _reach_in_pixels(shapes, m)
    # each source's window centre, in grid coordinates, picks its chunk
    boxes = np.array([s.box() for s in shapes])
    centres = np.column_stack([(boxes[:, 0] + boxes[:, 2]) / 2, (boxes[:, 1] + boxes[:, 3]) / 2])
    centres = centres + offsets if offsets.size else centres
    grid_at = (np.linalg.inv(m) @ (centres - np.array([x0, y0])).T).T
    bounds = [np.cumsum((0,) + c) for c in img.chunks]
    row_of = np.clip(np.searchsorted(bounds[0], grid_at[:, 1] + 0.5, "right") - 1, 0,
                     len(img.chunks[0]) - 1)
    col_of = np.clip(np.searchsorted(bounds[1], grid_at[:, 0] + 0.5, "right") - 1, 0,
                     len(img.chunks[1]) - 1)
    halo = {0: depth[0], 1: depth[1]}
    over = [None if a is None else da.overlap.overlap(  # type: ignore[no-untyped-call]
        (a if isinstance(a, da.Array) else da.from_array(a)).rechunk(img.chunks),  # type: ignore[no-untyped-call]
        depth=halo, boundary="none") for a in (img, error, mask)]
    blocks = [None if o is None else o.to_delayed() for o in over]
    parts, order = [], []
    block = delayed(_photometry_block, pure=True)
    for bi in range(len(img.chunks[0])):
        for bj in range(len(img.chunks[1])):
            here = np.flatnonzero((row_of == bi) & (col_of == bj))
            if not here.size:
                continue
            origin = (int(max(bounds[0][bi] - depth[0], 0)), int(max(bounds[1][bj] - depth[1], 0)))
            mine = [shapes[k] for k in here] if not offsets.size else shapes
            offs = offsets[here] if offsets.size else offsets
            args = [b[bi, bj] if b is not None else None for b in blocks]
            parts.append(da.from_delayed(  # type: ignore[no-untyped-call]
                block(*args, mine, offs, origin, pix.affine, nthreads), (4, here.size),
                dtype=np.float64))
            order.append(here)
    if not parts:
        raise ValueError("apertures must hold at least one source")
    rows = da.concatenate(parts, axis=1)  # type: ignore[no-untyped-call]
    back = np.argsort(np.concatenate(order), kind="stable")
    rows = rows[:, back]
    err = None if error is None else da.sqrt(rows[1])
    return Photometry(rows[0], err, rows[2], rows[3] > 0.5)


# --- deposit -----------------------------------------------------------------------------

class _Part(NamedTuple):
    """One partition's image and outside total, each with a leading axis of
    one, to be stacked with the others'."""
    image: FloatArray
    outside: FloatArray


def _deposit_part(tris: FloatArray, vals: Any, divs: Any, shape: tuple[int, int],
                  origin: tuple[float, float], scale: tuple[float, float],
                  threads: int) -> _Part:
    d = area.deposit_triangles(tris, vals, divs, shape=shape, origin=origin, scale=scale,
                               threads=threads)
    return _Part(d.image[np.newaxis], np.array([d.outside]))


def _per_triangle(name: str, value: Any, tris: da.Array) -> Any:
    """A scalar as a float, an array as a dask array partitioned like the
    triangles."""
    if np.ndim(value) == 0 and not isinstance(value, da.Array):
        return chk.real(name, value)
    arr = da.asarray(value)  # type: ignore[no-untyped-call]
    if arr.shape != tris.shape[:1]:
        raise ValueError(f"{name} must be a number or have shape {tris.shape[:1]}: one number "
                         f"per triangle, got shape {arr.shape}")
    return arr.rechunk((tris.chunks[0],))


def deposit_triangles(triangles: Any, values: Any, divisors: Any = 1.0, *,
                      shape: tuple[int, int], origin: tuple[float, float] | None = None,
                      scale: float | tuple[float, float] | None = None,
                      split_every: int = 4, threads: int = 1) -> Deposit:
    """`trovel.deposit_triangles` in the image's own frame, over a dask array
    of triangles ``(n, 3, 2)`` or ``(n, 6)`` (a numpy array is one partition).

    Each partition of the triangles is deposited into an image of its own
    and the images are summed in a tree of ``split_every`` at a time.
    Returns ``Deposit(image, outside)`` of two lazy arrays (an ``(ny, nx)``
    image and a 0-d total); compute them together, ``dask.compute(*d)``, so
    that each partition is deposited once.  Equal to the in-memory call
    within the rounding of the sums; ``values`` and ``divisors`` are numbers
    or one per triangle (arrays, partitioned like the triangles).  Each
    partition's deposit releases the interpreter lock, so the threaded
    scheduler runs partitions side by side; ``threads`` is each partition's
    own thread count (1: the scheduler's threads are the parallelism).
    """
    ny, nx = chk.int_pair("shape", shape, minimum=1)
    x0, y0 = (0.0, 0.0) if origin is None else chk.pair("origin", origin)
    sx, sy = chk.positive_pair("scale", (1.0, 1.0) if scale is None
                               else chk.number_or_pair("scale", scale))
    every = chk.int32("split_every", split_every, minimum=2)
    nthreads = chk.int32("threads", threads, minimum=1)
    tris = da.asarray(triangles)  # type: ignore[no-untyped-call]
    if tris.ndim == 3 and tris.shape[1:] == (3, 2):
        tris = tris.rechunk({1: -1, 2: -1}).reshape(tris.shape[0], 6)
    elif not (tris.ndim == 2 and tris.shape[1] == 6):
        raise ValueError(f"triangles must have shape (n, 3, 2) or (n, 6), got {tris.shape}")
    tris = tris.rechunk({1: -1})
    if math.isnan(tris.shape[0]):
        raise ValueError("triangles must have known partition sizes (compute_chunk_sizes())")
    vals, divs = _per_triangle("values", values, tris), _per_triangle("divisors", divisors, tris)
    parts = tris.to_delayed().ravel()
    pieces = [v.to_delayed().ravel()  # type: ignore[no-untyped-call]
              if isinstance(v, da.Array) else [v] * len(parts) for v in (vals, divs)]
    deposit = delayed(_deposit_part, pure=True)
    done = [deposit(t, v, d, (ny, nx), (x0, y0), (sx, sy), nthreads)
            for t, v, d in zip(parts, *pieces)]
    if not done:  # no triangles: nothing deposited
        return Deposit(da.zeros((ny, nx)), da.zeros(()))
    images = da.concatenate([  # type: ignore[no-untyped-call]
        da.from_delayed(d.image, (1, ny, nx), dtype=np.float64)  # type: ignore[no-untyped-call]
        for d in done])
    outside = da.concatenate([  # type: ignore[no-untyped-call]
        da.from_delayed(d.outside, (1,), dtype=np.float64)  # type: ignore[no-untyped-call]
        for d in done])
    return Deposit(images.sum(axis=0, split_every=every), outside.sum(split_every=every))
