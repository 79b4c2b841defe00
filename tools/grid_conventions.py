"""Draw the pixel-grid conventions of trovel.Pixels.grid into
docs/img/grid_conventions.png, the README's figure (needs matplotlib; run by
hand after `make docs` has installed it):

    .venv/bin/python tools/grid_conventions.py

It refuses to write a figure whose text collides (docs/figure_text.py).
"""
from __future__ import annotations

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.patches import Polygon  # noqa: E402

import trovel  # noqa: E402
from trovel import Pixels  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "docs" / "img" / "grid_conventions.png"
sys.path.insert(0, str(ROOT / "docs"))
from figure_text import collisions  # noqa: E402


def footprints(ax: plt.Axes) -> None:
    shape = (3, 4)
    g = Pixels.grid(shape, center=(3.0, 2.0), scale=1.5, rotation=0.2)
    (x0, y0), m = g.affine
    mat = np.array(m)
    corners = np.array([(-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5)])
    qx, qy = (a.reshape(shape) for a in g.footprints()[:2])
    for i in range(shape[0]):
        for k in range(shape[1]):
            c = np.array([qx[i, k], qy[i, k]])
            ax.add_patch(Polygon(c + corners @ mat.T, closed=True, fill=(i, k) == (0, 0),
                                 facecolor="#cde", edgecolor="#345"))
            # above and below the centre, clear of the origin's dot
            ax.text(c[0], c[1] + 0.4, f"[{i}, {k}]", ha="center", va="center", fontsize=8)
            ax.text(c[0], c[1] - 0.4, f"({k}, {i})", ha="center", va="center", fontsize=7,
                    color="#666")
    ax.plot([x0], [y0], "o", color="#c33", ms=4, label="origin: footprint centre of [0, 0]")
    ax.plot([3.0], [2.0], "x", color="#282", ms=7, mew=1.5, label="center: the grid's middle")
    ax.legend(loc="upper left", fontsize=8, labelcolor="linecolor", frameon=False)
    # the directions of k and i, drawn beside the grid
    start = np.array([x0, y0]) + mat @ (-0.5, -0.5) + mat @ (0.0, -0.35)
    for col, name, off in ((0, "+k: next column", (0.1, -0.45)),
                           (1, "+i: next row", (-1.5, 0.2))):
        d = mat[:, col] * 1.3
        s0 = start if col == 0 else np.array([x0, y0]) + mat @ (-0.5, -0.5) + mat @ (-0.35, 0.0)
        ax.annotate("", s0 + d, s0, arrowprops={"arrowstyle": "->", "color": "#a60", "lw": 1.5})
        ax.text(*(s0 + d + off), name, fontsize=8, color="#a60")
    ax.set_title("Pixels.grid((3, 4), center=(3, 2), scale=1.5, rotation=0.2)\n"
                 "pixel [i, k] (grey: its grid position (k, i))", fontsize=8)
    ax.set_aspect("equal")
    ax.set_xlim(-2.2, 7.6)
    ax.set_ylim(-2.3, 6.0)
    ax.set_xlabel("x")
    ax.set_ylabel("y")


def upright(ax: plt.Axes) -> None:
    g = Pixels.grid((9, 9), center=(0.0, 0.0), scale=0.5)
    cover = trovel.circle_coverage(g, (0.5, 0.75), 1.6)
    ax.imshow(cover, origin="lower", extent=(-2.25, 2.25, -2.25, 2.25), cmap="Blues")
    ax.plot([0.5], [0.75], "+", color="#c33", ms=10)
    ax.set_title('circle_coverage on a 9 x 9 grid centred on (0, 0)\n'
                 'shown upright by imshow(..., origin="lower")', fontsize=8)
    ax.set_xlabel("x")
    ax.set_ylabel("y")


def main() -> None:
    fig, (a, b) = plt.subplots(1, 2, figsize=(9, 4), width_ratios=(1.3, 1))
    footprints(a)
    upright(b)
    fig.tight_layout()
    found = collisions(fig)
    if found:
        sys.exit("the figure's text collides:\n  " + "\n  ".join(found))
    OUT.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(OUT, dpi=90)
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
