"""trovel.dask against the in-memory calls, through worker processes."""
import pickle

import numpy as np
import pytest

pytest.importorskip("dask")
pytest.importorskip("distributed")

import dask  # noqa: E402
import dask.array as da  # noqa: E402

import trovel  # noqa: E402
import trovel.dask as td  # noqa: E402
from helpers import same_bits  # noqa: E402

# Wide enough that tiles of 70 columns are filled as runs, from column 70 on too.
GRID = trovel.Pixels.grid((37, 150), center=(0.3, -0.2), scale=0.7, rotation=0.3)
SHAPE = trovel.Disc((0.0, 0.0), 12.0) - trovel.Disc((1.0, 0.0), 3.0) - trovel.Rectangle(
    (0.0, 0.0), 0.4, 0.5, 30.0)
STRUT = trovel.Strut.across((0.1, 0.2), 0.4, 0.9, 30.0)

# name: (the dask call, the in-memory call), both of (pixels, **kwargs)
CALLS = {
    "render": (lambda p, **k: td.render(SHAPE, p, **k), lambda p: trovel.render(SHAPE, p)),
    "circle": (lambda p, **k: td.circle_coverage(p, (1.0, 2.0), 9.5, **k),
               lambda p: trovel.circle_coverage(p, (1.0, 2.0), 9.5)),
    "strut": (lambda p, **k: td.strut_coverage(p, STRUT, **k),
              lambda p: trovel.strut_coverage(p, STRUT)),
    "edge": (lambda p, **k: td.edge_coverage(p, (0.5, 0.1), (1.0, 2.0), **k),
             lambda p: trovel.edge_coverage(p, (0.5, 0.1), (1.0, 2.0))),
}


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as c:
        yield c


@pytest.mark.parametrize("chunks", [(10, 70), 7, (37, 150)])  # not dividing, and one chunk
@pytest.mark.parametrize("name", CALLS)
def test_tiles_give_the_in_memory_bits(client, name, chunks):
    lazy, eager = CALLS[name]
    got = lazy(GRID, chunks=chunks)
    assert got.chunks == da.core.normalize_chunks(chunks, GRID.shape)
    assert same_bits(client.compute(got).result(), eager(GRID))


def test_tiles_wider_than_a_block(client):
    # a tile row longer than a block of the grid is evaluated in parts
    wide = trovel.Pixels.grid((3, 70001), origin=(-35000.0, -1.0), scale=1.0, rotation=1e-5)
    lazy, eager = CALLS["circle"]
    got = client.compute(lazy(wide, chunks=(2, 40000))).result()
    assert same_bits(got, trovel.circle_coverage(wide, (1.0, 2.0), 9.5))


def test_render_scales_on_threads_with_the_same_bits():
    got = td.render(SHAPE, GRID, chunks=(9, 13)).compute(scheduler="threads")
    assert same_bits(got, trovel.render(SHAPE, GRID))


def test_a_tile_task_holds_the_map_not_the_pixels():
    big = trovel.Pixels.grid((4096, 4096), scale=0.01)
    for lazy, _ in CALLS.values():
        graph = dict(lazy(big, chunks=1024).__dask_graph__())
        assert len(graph) == 16 and len(pickle.dumps(graph)) < 64 * 1024


@pytest.mark.parametrize("name", CALLS)
def test_frames_one_image_each(client, name, rng):
    lazy, eager = CALLS[name]
    jac = np.eye(2) * 0.7 + rng.uniform(-0.1, 0.1, GRID.shape + (2, 2))
    ii, kk = np.indices(GRID.shape)
    pos = np.stack([kk, ii], axis=-1).astype(float)
    field = trovel.Pixels.from_arrays(pos, pos * 0.7 - 15.0, jac)  # a Jacobian field
    frames = [GRID, field, trovel.Pixels.grid(GRID.shape, scale=0.5, rotation=-1.0)]
    got = lazy(frames, chunks=(20, 20))
    assert got.shape == (3,) + GRID.shape
    out = client.compute(got).result()
    for frame, image in zip(frames, out):
        assert same_bits(image, eager(frame))


@pytest.mark.parametrize("parts, scale", [((300, 250), 1.1), ((1000, 1000), 1.0)])
def test_deposit_sums_the_partitions(client, rng, parts, scale):
    tris = rng.uniform(-5.0, 45.0, (1000, 3, 2))
    vals = rng.uniform(0.0, 1.0, 1000)
    lazy = td.deposit_triangles(da.from_array(tris, chunks=parts[0]),
                                da.from_array(vals, chunks=parts[1]), 2.0,
                                shape=(30, 41), origin=(0.5, 0.5), scale=scale)
    image, outside = client.compute(list(lazy), sync=True)
    ref = trovel.deposit_triangles(tris, vals, 2.0, shape=(30, 41), origin=(0.5, 0.5),
                                   scale=scale)
    np.testing.assert_allclose(image, ref.image, rtol=0, atol=1e-12 * ref.image.max())
    assert outside == pytest.approx(ref.outside, rel=1e-12)
    # the deposit releases the lock: partitions on the threaded scheduler,
    # each on two threads of its own, give the same bits
    lazy = td.deposit_triangles(da.from_array(tris, chunks=parts[0]),
                                da.from_array(vals, chunks=parts[1]), 2.0, shape=(30, 41),
                                origin=(0.5, 0.5), scale=scale, threads=2)
    threaded = dask.compute(*lazy, scheduler="threads")
    assert same_bits(threaded[0], image) and same_bits(threaded[1], outside)


def test_a_failing_task_raises_its_own_error_in_the_client(client):
    # finite, but reaching into the image from beyond doubles in pixels of 1e-10
    far = np.tile([[0.0, 0.0], [1e300, 0.0], [0.0, 1.0]], (4, 1, 1))
    lazy = td.deposit_triangles(da.from_array(far, chunks=2), 1.0, shape=(8, 8), scale=1e-10)
    with pytest.raises(ValueError, match="overflow"):
        dask.compute(*lazy)


@pytest.mark.parametrize("call, error", [
    (lambda: td.circle_coverage(GRID, (0, 0), -1.0), ValueError),
    (lambda: td.render(SHAPE, "grid"), TypeError),
    (lambda: td.strut_coverage([GRID, trovel.Pixels.grid((3, 3))], STRUT), ValueError),
    (lambda: td.edge_coverage(GRID, np.zeros(GRID.shape + (2,)), (1, 0)), ValueError),
    (lambda: td.deposit_triangles(np.zeros((4, 3, 2)), np.ones(3), shape=(4, 4)), ValueError),
])
def test_bad_arguments_fail_at_the_call(call, error):
    with pytest.raises(error):
        call()
