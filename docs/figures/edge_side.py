# edge_coverage measures the side to the RIGHT of the line's direction.
import matplotlib.pyplot as plt
import numpy as np

import trovel

point, direction = np.array([0.3, -0.2]), np.array([1.0, 0.6])
n = 6
pixels = trovel.Pixels.grid((n, n), origin=(-2.5, -2.5))
frac = trovel.edge_coverage(pixels, point, direction)

fig, ax = plt.subplots(figsize=(5.2, 4.6))
ax.imshow(frac, origin="lower", extent=(-3, 3, -3, 3), cmap="Blues", vmin=0, vmax=1.6)
for i in range(n):
    for k in range(n):
        ax.text(k - 2.5, i - 2.5, f"{frac[i, k]:.2f}", ha="center", va="center", fontsize=7)
t = np.array([-6.0, 6.0])
ax.plot(point[0] + t * direction[0], point[1] + t * direction[1], "k-", lw=1.5)
ax.plot(*point, "ko", ms=4)
ax.annotate("", point + 1.6 * direction, point, arrowprops=dict(arrowstyle="-|>", lw=1.5))
right = np.array([direction[1], -direction[0]]) / np.hypot(*direction)
ax.annotate("right side: measured", point + 1.2 * right + (-1.0, -0.2), fontsize=9, color="C0")
ax.text(*(point + (-2.6, 1.0)), "left side", fontsize=9)
ax.text(*(point + (0.05, 0.15)), "point", fontsize=8)
ax.text(*(point + 1.6 * direction + (0.05, -0.05)), "direction", fontsize=8, va="top")
ax.set(xlim=(-3, 3), ylim=(-3, 3), aspect="equal",
       title="edge_coverage(pixels, point, direction)")
ax.set_xticks(np.arange(-3, 4))
ax.set_yticks(np.arange(-3, 4))
ax.grid(color="0.6", lw=0.4)
fig.tight_layout()
