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
# The labels go in the bands of the cells above and below their values.
ax.annotate("", point + 0.8 * direction, point, arrowprops=dict(arrowstyle="-|>", lw=1.5))
ax.text(-2.9, 2.8, "left side", fontsize=9, va="center")
ax.text(2.9, -2.8, "right side: measured", fontsize=9, color="C0", ha="right", va="center")
ax.text(*(point + (-0.08, 0.28)), "point", fontsize=8, ha="right", va="bottom")
ax.text(*(point + 0.8 * direction + (0.1, -0.24)), "direction", fontsize=8, va="bottom")
ax.set(xlim=(-3, 3), ylim=(-3, 3), aspect="equal",
       title="edge_coverage(pixels, point, direction)")
ax.set_xticks(np.arange(-3, 4))
ax.set_yticks(np.arange(-3, 4))
ax.grid(color="0.6", lw=0.4)
fig.tight_layout()
