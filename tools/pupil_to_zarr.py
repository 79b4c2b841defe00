"""Render a pupil larger than memory, tile by tile, into a zarr store.

    .venv/bin/python tools/pupil_to_zarr.py pupil.zarr --size 16384 --chunk 2048
    .venv/bin/python tools/pupil_to_zarr.py pupil.zarr --workers 2   # worker processes

Each tile is rendered by its own task (from the grid's map and the tile's
rows and columns alone) and written straight to the store's chunk of the
same shape, so no process holds more than a few tiles: a 16384 x 16384
float64 image (2 GiB) goes through in a few hundred MiB.  The renderer
releases the interpreter lock, so the default threaded scheduler already
uses every core; ``--workers N`` runs N worker processes instead, the way the
coverage functions (which hold the lock) want to be run.  Afterwards one
tile is read back and checked bit for bit against the in-memory renderer.
"""
from __future__ import annotations

import argparse
import time

import dask
import dask.array as da
import numpy as np

import trovel
import trovel.dask as td
from trovel.render import render_grid_tile


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("store", help="the zarr store to write (a directory)")
    ap.add_argument("--size", type=int, default=16384, help="pixels per side")
    ap.add_argument("--chunk", type=int, default=2048, help="pixels per tile side")
    ap.add_argument("--workers", type=int, default=0,
                    help="worker processes of dask.distributed (0: threads in this process)")
    a = ap.parse_args()

    shape = trovel.pupil(8.0, obscuration=0.3, struts=4, strut_width=0.05)
    grid = trovel.Pixels.grid((a.size, a.size), center=(0.0, 0.0), scale=8.4 / a.size)
    lazy = td.render(shape, grid, chunks=a.chunk)

    client = None
    if a.workers:
        from distributed import Client, LocalCluster
        client = Client(LocalCluster(n_workers=a.workers, threads_per_worker=1,
                                     processes=True, dashboard_address=None))
    try:
        t0 = time.perf_counter()
        lazy.to_zarr(a.store, overwrite=True)
        took = time.perf_counter() - t0
        stored = da.from_zarr(a.store)
        r0, c0 = (a.size // 2 // a.chunk) * a.chunk, 0
        tile = (slice(r0, min(r0 + a.chunk, a.size)), slice(c0, min(c0 + a.chunk, a.size)))
        back = stored[tile].compute()
        want = render_grid_tile(shape, grid.affine, (tile[0].start, tile[0].stop),
                                (tile[1].start, tile[1].stop))
        (total,) = dask.compute(stored.sum())
    finally:
        if client is not None:
            client.close()
            client.cluster.close()
    print(f"wrote {a.store}: {a.size} x {a.size} float64 in {lazy.npartitions} tiles of "
          f"{a.chunk} in {took:.1f} s")
    print(f"pupil area from the image: {float(total) * (8.4 / a.size) ** 2:.9f}")
    print(f"tile at rows {tile[0].start}: {'the same bits' if np.array_equal(back, want) else 'DIFFERENT'}"
          " as the in-memory renderer")


if __name__ == "__main__":
    main()
