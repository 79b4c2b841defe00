import numpy as np
import pytest


def addr(a: np.ndarray) -> int:
    """The address of a C-contiguous array, as the raw module takes it."""
    assert a.flags.c_contiguous
    return a.ctypes.data


def f64(*values) -> np.ndarray:
    return np.ascontiguousarray(np.array(values, dtype=np.float64).ravel())


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)
