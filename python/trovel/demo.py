"""A first look at trovel: the exact overlap of a few triangles with pixels."""
import numpy as np

import _trovel

TRIANGLES = {
    "covers pixel (0, 0)": ((-10, -10, 10, -10, 0, 10), 0, 0),
    "halves pixel (1, 1) along its diagonal": ((0, 0, 2, 0, 0, 2), 1, 1),
    "cuts a hexagon out of pixel (0, 0)": ((0, -1.2, 1.2, 0.8, -1.2, 0.8), 0, 0),
    "touches pixel (0, 0) along a side only": ((0.5, -0.5, 1.5, -0.5, 0.5, 0.5), 0, 0),
}


def main() -> None:
    for what, (tri, i, j) in TRIANGLES.items():
        record = np.array(tri, dtype=np.float64)
        a = _trovel.clip_area(record.ctypes.data, i, j)
        print(f"{what:42s} area {a:.15g}")


if __name__ == "__main__":
    main()
