import numpy as np
import pytest


def addr(a: np.ndarray) -> int:
    """The address of a C-contiguous array, as the raw module takes it."""
    assert a.flags.c_contiguous
    return a.ctypes.data


def f64(*values) -> np.ndarray:
    return np.ascontiguousarray(np.array(values, dtype=np.float64).ravel())


def same_bits(a, b) -> bool:
    """Equal shapes and every float64 bit equal (NaNs and signed zeros too)."""
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def raw_cut(clipper, tris, fan, *args):
    """One raw clipper call over all of `tris`: the (m, 6) records written,
    and the dropped and clipped counts."""
    flat = f64(tris).reshape(-1, 6)
    out = np.empty((fan * len(flat), 6))
    counters = np.zeros(2, np.int32)
    n = clipper(addr(flat), len(flat), *args, addr(out), addr(counters), addr(counters) + 4)
    return out[:n], int(counters[0]), int(counters[1])


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


# --- running a call where a crash is a test failure ---------------------------

def in_child(fn) -> None:
    """Run fn() in a forked child process.  A crash there (a signal, or a
    sanitizer's abort) fails the calling test instead of ending the run; an
    exception in fn fails it with fn's traceback."""
    import os
    import traceback
    import warnings

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
