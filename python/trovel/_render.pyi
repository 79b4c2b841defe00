# Signatures of the private native renderer; trovel.render checks every
# argument before calling it.  The arrays are converted to C-contiguous
# int32 or float64 on the way in; ``out`` is written in place and must
# already be a writable C-contiguous float64 array of the right shape.
import numpy as np
import numpy.typing as npt

def grid(
    kinds: npt.ArrayLike, starts: npt.ArrayLike, counts: npt.ArrayLike,
    coords: npt.ArrayLike, program: npt.ArrayLike,
    x0: float, y0: float, m00: float, m01: float, m10: float, m11: float,
    r0: int, r1: int, c0: int, c1: int, out: npt.NDArray[np.float64], threads: int,
) -> None: ...
def footprints(
    kinds: npt.ArrayLike, starts: npt.ArrayLike, counts: npt.ArrayLike,
    coords: npt.ArrayLike, program: npt.ArrayLike,
    qx: npt.ArrayLike, qy: npt.ArrayLike, j00: npt.ArrayLike, j01: npt.ArrayLike,
    j10: npt.ArrayLike, j11: npt.ArrayLike, out: npt.NDArray[np.float64], threads: int,
) -> None: ...
